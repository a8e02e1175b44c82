// End to end: the built executable on whole input files, each run in a fresh
// temporary folder, with standard output, exit status and the output file's
// bytes compared exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "e2e_support.h"

namespace fs = std::filesystem;

namespace {

struct outcome {
  int status = -1;  // the exit status, or -1 when a signal ended the run
  int signal = 0;   // the signal that ended the run, or 0
  std::string out;  // standard output
  std::string err;  // standard error
};

struct run_options {
  std::string stdin_data{};        // fed through a pipe
  rlim_t address_space_limit = 0;  // bytes; 0 for none
  rlim_t data_limit = 0;           // bytes; 0 for none
  rlim_t file_size_limit = 0;      // bytes; 0 for none
  std::vector<int> ignored{};      // signals that the run inherits as ignored
  int signal = 0;                  // sent to the run signal_delay after it started; 0 for none
  std::chrono::microseconds signal_delay{0};
  std::chrono::microseconds pause{
      0};                           // the run is stopped this long, signal_delay after it started
  bool stderr_on_terminal = false;  // standard error on a pseudo-terminal
};

run_options on_terminal() {
  run_options options;
  options.stderr_on_terminal = true;
  return options;
}

// Sets the soft and hard limit of resource to bytes, unless bytes is 0.
void set_limit(int resource, rlim_t bytes) {
  if (bytes == 0) return;
  rlimit limit{bytes, bytes};
  setrlimit(resource, &limit);
  rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
}

// Waits, for two seconds at most, until child has become natjoin: on a busy machine the
// exec can take longer than a delay meant to fall inside natjoin's own run.
void wait_for_exec(pid_t child) {
  const fs::path exe = "/proc/" + std::to_string(child) + "/exe";
  std::error_code error;
  const fs::path natjoin = fs::canonical(NATJOIN_BINARY, error);
  for (int waited = 0; waited < 2000; ++waited) {
    if (fs::read_symlink(exe, error) == natjoin) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Runs natjoin with args in folder, standard output and error into files.
outcome run_natjoin(const fs::path& folder, const std::vector<std::string>& args,
                    const run_options& options = {}) {
  int feed[2];
  if (pipe(feed) != 0) return {};
  int terminal = -1;
  int terminal_end = -1;
  if (options.stderr_on_terminal && openpty(&terminal, &terminal_end, nullptr, nullptr, nullptr)) {
    return {};
  }
  // The signals to ignore stay blocked from before the fork until the child
  // ignores them, so that one sent early cannot end it before.
  sigset_t ignored;
  sigset_t mask;
  sigemptyset(&ignored);
  for (int s : options.ignored) sigaddset(&ignored, s);
  sigprocmask(SIG_BLOCK, &ignored, &mask);
  pid_t child = fork();
  if (child == 0) {
    // The signal to send acts as it would on a run from a terminal, whatever this test inherited.
    if (options.signal != 0) std::signal(options.signal, SIG_DFL);
    for (int s : options.ignored) std::signal(s, SIG_IGN);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (chdir(folder.c_str()) != 0) _exit(127);
    int out = open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err =
        terminal_end >= 0 ? terminal_end : open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(feed[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    close(feed[1]);
    set_limit(RLIMIT_AS, options.address_space_limit);
    set_limit(RLIMIT_DATA, options.data_limit);
    set_limit(RLIMIT_FSIZE, options.file_size_limit);
    std::vector<char*> argv{const_cast<char*>(NATJOIN_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(NATJOIN_BINARY, argv.data());
    _exit(127);
  }
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  close(feed[0]);
  if (!options.stdin_data.empty() &&
      write(feed[1], options.stdin_data.data(), options.stdin_data.size()) < 0) {
    ADD_FAILURE() << "cannot feed standard input";
  }
  close(feed[1]);
  if (options.signal != 0) {
    // A child that has already ended stays a zombie until the wait: the signal cannot reach
    // another process.
    std::this_thread::sleep_for(options.signal_delay);
    kill(child, options.signal);
  }
  if (options.pause.count() != 0) {
    // A run held still outlasts its own work, as a long run would.
    wait_for_exec(child);
    std::this_thread::sleep_for(options.signal_delay);
    kill(child, SIGSTOP);
    std::this_thread::sleep_for(options.pause);
    kill(child, SIGCONT);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  outcome result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  result.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
  result.out = read_file(folder / ".stdout");
  if (terminal >= 0) {
    // The child has ended; what it wrote waits in the terminal's buffer.
    close(terminal_end);
    char buffer[4096];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;)
      result.err.append(buffer, got);
    close(terminal);
  } else {
    result.err = read_file(folder / ".stderr");
  }
  fs::remove(folder / ".stdout");
  fs::remove(folder / ".stderr");
  return result;
}

// A fresh temporary folder per test, removed afterwards.
class E2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "natjoin-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

// ---------------------------------------------------------------------------
// The case folders: input.txt, and the expectations stdout.txt, status and
// output.txt.

class Case : public E2E, public ::testing::WithParamInterface<std::string> {};

TEST_P(Case, MatchesItsExpectations) {
  const fs::path source = fs::path(NATJOIN_CASES) / GetParam();
  fs::copy_file(source / "input.txt", dir / "in.txt");
  const case_expectations expected = expectations_of(source);

  outcome got = run_natjoin(dir, {"in.txt", "out.txt"});
  EXPECT_EQ(got.status, int(expected.status));
  EXPECT_EQ(got.out, expected.out);
  EXPECT_EQ(got.err, "");
  ASSERT_TRUE(fs::exists(dir / "out.txt"));
  EXPECT_EQ(read_file(dir / "out.txt"), expected.output);
  EXPECT_EQ(read_file(dir / "in.txt"), read_file(source / "input.txt"));
}

INSTANTIATE_TEST_SUITE_P(Files, Case, ::testing::ValuesIn(case_names()),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------------------
// The command line and the files around a run

TEST_F(E2E, IgnoresArgumentsAfterTheSecond) {
  write_file(dir / "in.txt", small_input);
  outcome got = run_natjoin(dir, {"in.txt", "out.txt", "extra", "--help"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(read_file(dir / "out.txt"), small_output);
}

TEST_F(E2E, RefusesFewerThanTwoArgumentsWithoutCreatingAFile) {
  write_file(dir / "in.txt", small_input);
  for (const auto& args : {std::vector<std::string>{}, {"in.txt"}}) {
    outcome got = run_natjoin(dir, args);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, files_message);
    EXPECT_NE(got.err.find("usage"), std::string::npos);
    EXPECT_EQ(std::count(got.err.begin(), got.err.end(), '\n'), 1);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(E2E, PrintsUsageAndVersionOnRequest) {
  for (std::string option : {"--help", "-h"}) {
    outcome got = run_natjoin(dir, {option});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out.rfind("Usage: natjoin INPUT OUTPUT\n"
                            "       natjoin -h | --help | --version\n",
                            0),
              0u)
        << option;
    EXPECT_EQ(got.err, "");
  }
  outcome got = run_natjoin(dir, {"--version"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "natjoin 1.0.0\n");
}

TEST_F(E2E, EmptiesAnOldOutputFileAlsoOnFailure) {
  write_file(dir / "in.txt", "join(A)\nA(x char(1))\n'toolong'\n");
  write_file(dir / "out.txt", "old content\n");
  outcome got = run_natjoin(dir, {"in.txt", "out.txt"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out, "Hiba a tablak feldolgozasa kozben!\n");
  EXPECT_EQ(read_file(dir / "out.txt"), "");
}

TEST_F(E2E, CreatesAnEmptyOutputForAMissingInput) {
  outcome got = run_natjoin(dir, {"missing.txt", "out.txt"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out, files_message);
  ASSERT_TRUE(fs::exists(dir / "out.txt"));
  EXPECT_EQ(fs::file_size(dir / "out.txt"), 0u);
}

TEST_F(E2E, RefusesAnOutputThatCannotBeOpened) {
  write_file(dir / "in.txt", small_input);
  fs::create_directory(dir / "folder");
  for (std::string output : {"no/such/folder/out.txt", "folder"}) {
    outcome got = run_natjoin(dir, {"in.txt", output});
    EXPECT_EQ(got.status, 1) << output;
    EXPECT_EQ(got.out, files_message) << output;
  }
  EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST_F(E2E, RefusesAnInputThatCannotBeRead) {
  fs::create_directory(dir / "folder");
  outcome got = run_natjoin(dir, {"folder", "out.txt"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out, files_message);
  EXPECT_EQ(read_file(dir / "out.txt"), "");
}

TEST_F(E2E, ReportsAFullDiskAsAFailure) {
  write_file(dir / "in.txt", small_input);
  outcome got = run_natjoin(dir, {"in.txt", "/dev/full"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out, files_message);
}

TEST_F(E2E, NeverTruncatesTheInputWhenItIsAlsoTheOutput) {
  write_file(dir / "in.txt", small_input);
  fs::create_symlink("in.txt", dir / "link.txt");
  fs::create_hard_link(dir / "in.txt", dir / "hard.txt");
  for (std::string output :
       std::vector<std::string>{"in.txt", "./in.txt", "link.txt", "hard.txt", dir / "in.txt"}) {
    outcome got = run_natjoin(dir, {"in.txt", output});
    EXPECT_EQ(got.status, 1) << output;
    EXPECT_EQ(got.out, files_message) << output;
    EXPECT_EQ(read_file(dir / "in.txt"), small_input) << output;
  }
  // Also when the input is named through the link and cannot be opened.
  fs::permissions(dir / "in.txt", fs::perms::owner_write);
  outcome got = run_natjoin(dir, {"link.txt", "in.txt"});
  fs::permissions(dir / "in.txt", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(read_file(dir / "in.txt"), small_input);
}

TEST_F(E2E, ReadsAnInputThatCanBeReadOnlyOnce) {
  outcome got = run_natjoin(dir, {"/dev/stdin", "out.txt"}, {std::string(small_input)});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(read_file(dir / "out.txt"), small_output);
}

TEST_F(E2E, FailsCleanlyWhenAProductDoesNotFitInMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer reserves address space of its own";
#endif
  // Under either limit of 256 MiB: 20,000 x 20,000 rows, far beyond it, and 5,000 x 5,000
  // rows, whose 200 MB of row numbers are beyond the half of it that a result may take. The
  // join must refuse both on its figures, before it builds them, as the detail line tells,
  // rather than run out of memory partway.
  struct {
    const char* limit;
    run_options options;
  } limits[] = {{"address space", {.address_space_limit = 256u << 20}},
                {"data", {.data_limit = 256u << 20}}};
  for (const auto& [limit, options] : limits) {
    for (int rows : {20000, 5000}) {
      SCOPED_TRACE(std::string(limit) + " limit, " + std::to_string(rows) + " rows a table");
      write_file(dir / "in.txt", product_input(rows));
      outcome got = run_natjoin(dir, {"in.txt", "out.txt"}, options);
      EXPECT_EQ(got.status, 1);
      EXPECT_EQ(got.out, "Hiba a tablak osszekapcsolasakor!\n");
      EXPECT_EQ(got.err, "");
      EXPECT_EQ(read_file(dir / "out.txt"), "");
      run_options at_terminal = options;
      at_terminal.stderr_on_terminal = true;
      outcome seen = run_natjoin(dir, {"in.txt", "out.txt"}, at_terminal);
      EXPECT_EQ(seen.out, got.out);
      EXPECT_NE(seen.err.find("too large for memory"), std::string::npos) << seen.err;
    }
  }
}

// ---------------------------------------------------------------------------
// Endings from outside the run: the file-size limit and signals

TEST_F(E2E, FailsCleanlyAtTheFileSizeLimit) {
  std::string output;
  write_file(dir / "in.txt", product_input(100, &output));
  struct {
    rlim_t limit;
    bool fits;
  } cases[] = {{10240, false}, {output.size() - 1, false}, {output.size(), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("a limit of " + std::to_string(c.limit) + " bytes");
    run_options options{.file_size_limit = c.limit};
    outcome got = run_natjoin(dir, {"in.txt", "out.txt"}, options);
    EXPECT_EQ(got.status, c.fits ? 0 : 1);
    EXPECT_EQ(got.out, c.fits ? "" : files_message);
    EXPECT_EQ(got.err, "");
    EXPECT_TRUE(read_file(dir / "out.txt") == (c.fits ? output : "")) << "output differs";
    if (c.fits) continue;
    options.stderr_on_terminal = true;
    outcome seen = run_natjoin(dir, {"in.txt", "out.txt"}, options);
    EXPECT_EQ(
        seen.err.rfind("natjoin: out.txt: cannot write it: the file-size limit was reached", 0), 0u)
        << seen.err;
  }
}

// The seed of the random tests: NATJOIN_TEST_SEED where it is set, to replay a failure.
unsigned test_seed() {
  const char* given = std::getenv("NATJOIN_TEST_SEED");
  return given != nullptr ? std::stoul(given) : std::random_device{}();
}

// Writes in.txt with a product of 1,000 x 1,000 rows, whose 22 MB of output take long enough
// to write that a signal can arrive halfway. Runs it once whole, puts its output in output and
// returns how long the run took.
std::chrono::microseconds time_a_long_run(const fs::path& dir, std::string& output) {
  write_file(dir / "in.txt", product_input(1000, &output));
  const auto start = std::chrono::steady_clock::now();
  outcome got = run_natjoin(dir, {"in.txt", "out.txt"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(got.status, 0);
  EXPECT_TRUE(read_file(dir / "out.txt") == output) << "output differs";
  return std::chrono::duration_cast<std::chrono::microseconds>(took);
}

TEST_F(E2E, EmptiesTheOutputWhenASignalEndsTheRun) {
  const unsigned seed = test_seed();
  SCOPED_TRACE("NATJOIN_TEST_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::string output;
  const auto took = time_a_long_run(dir, output);
  std::uniform_int_distribution<long> moment(0, took.count() * 5 / 4);
  int ended = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (int send = 0; send < 4; ++send) {
      run_options options{.signal = signal,
                          .signal_delay = std::chrono::microseconds(moment(random))};
      SCOPED_TRACE(std::string(strsignal(signal)) + " after " +
                   std::to_string(options.signal_delay.count()) + " us");
      fs::remove(dir / "out.txt");
      outcome got = run_natjoin(dir, {"in.txt", "out.txt"}, options);
      const std::string written = read_file(dir / "out.txt");
      EXPECT_EQ(got.out, "");
      if (got.signal == signal) {
        // After the close the complete result may remain; a part of it never.
        ++ended;
        EXPECT_TRUE(written.empty() || written == output)
            << "a partial output of " << written.size() << " bytes";
      } else {
        EXPECT_EQ(got.status, 0);
        EXPECT_TRUE(written == output) << "output of " << written.size() << " bytes differs";
      }
    }
  }
  EXPECT_GT(ended, 0) << "no signal arrived before the end of its run";
}

TEST_F(E2E, LeavesAnInheritedIgnoredHangupIgnored) {
  std::string output;
  const auto took = time_a_long_run(dir, output);
  for (int quarter = 1; quarter <= 3; ++quarter) {
    run_options options{.ignored = {SIGHUP}, .signal = SIGHUP, .signal_delay = took * quarter / 4};
    outcome got = run_natjoin(dir, {"in.txt", "out.txt"}, options);
    EXPECT_EQ(got.signal, 0) << "at " << quarter << " quarters";
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(read_file(dir / "out.txt") == output) << "output differs";
  }
}

// ---------------------------------------------------------------------------
// The detail line that a person at a terminal gets after a failure

struct detail_case {
  const char* name;
  std::string_view input;
  std::string_view message;             // on standard output, as without a terminal
  std::vector<std::string_view> shows;  // what the detail line must hold
};

const detail_case detail_cases[] = {
    {"StatementWord", "select(A)\n", "Hiba a joinban!\n", {"in.txt:1:1: ", "\"join\""}},
    {"StatementOpen", "join A\n", "Hiba a joinban!\n", {"in.txt:1: ", "\"(\""}},
    {"StatementClose", "join(A\n", "Hiba a joinban!\n", {"in.txt:1:5: ", "\")\""}},
    {"ByteOrderMark",
     "\xEF\xBB\xBFjoin(A)\nA(x int)\n",
     "Hiba a joinban!\n",
     {"in.txt:1:1: ", "byte order mark"}},
    {"DeclarationOpen",
     "join(A)\n\nA x int\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:3: ", "\"(\""}},
    {"DeclarationClose",
     "join(A)\nA(x int\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:7: ", "table \"A\"", "\")\""}},
    {"TypeWord",
     "join(A)\nA(x number)\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:3: ", "\"x number\"", "no type"}},
    {"NameBlank",
     "join(A)\nA(first name int)\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:8: ", "\"first name\"", "blank"}},
    {"WidthZeros",
     "join(A)\nA(s char(00))\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:10: ", "\"s\"", "zeros"}},
    {"WidthRange",
     "join(A)\nA(s char(99999999999))\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:10: ", "\"s\"", "99999999999", "out of range"}},
    {"RepeatedName",
     "join(A)\nA(a int, b int, a char(3))\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:17: ", "\"a\" is declared twice"}},
    {"NoName",
     "join(A)\nA(id int, char(5))\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:11: ", "\"char(5)\" has no name"}},
    {"TooFewFields",
     "join(A)\nA(x int, y int)\n1,2\n3\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:4:2: ", "table \"A\"", "2 columns", "1 fields"}},
    {"NoClosingQuote",
     "join(A)\nA(x int, s char(3))\n1,'ab\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:3:3: ", "table \"A\"", "column \"s\"", "closing quote"}},
    {"NotQuoted",
     "join(A)\nA(x int, s char(3))\n1, 'ab'c\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:3:8: ", "column \"s\"", "\"'ab'c\""}},
    {"TooWide",
     "join(A)\n\nA(x int, s char(3))\n1,'abcd'\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:4:3: ", "column \"s\"", "\"abcd\"", "4 bytes", "char(3)"}},
    {"TooWideAfterBlanksAndAComma",
     "join(A)\nA(x int, s char(3), t char(2))\n  1, 'a,b', 'abc'\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:3:13: ", "column \"t\"", "\"abc\"", "char(2)"}},
    {"TooWideOnALineEndedByCRLF",
     "join(A)\r\nA(x int, s char(1))\r\n1,'ab'\r\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:3:3: ", "column \"s\"", "\"ab\""}},
    {"NoBlankBeforeTheType",
     "join(A)\nA(x int,sint)\n",
     "Hiba a tablak feldolgozasa kozben!\n",
     {"in.txt:2:10: ", "\"sint\"", "no blank"}},
    {"UndefinedTable",
     "join(A, Missing)\nA(x int)\n",
     "Hiba a tablak osszekapcsolasakor!\n",
     {"in.txt:1:9: ", "\"Missing\"", "defined nowhere"}},
    {"UndefinedTableDiffersInCase",
     "join(Emp, dept)\nEmp(id int, dept_id int)\n\nDept(dept_id int)\n\ndepth(x int)\n",
     "Hiba a tablak osszekapcsolasakor!\n",
     {"in.txt:1:11: table \"dept\" is not defined; \"Dept\" is (names are compared exactly, case "
      "included)\r\n"}},
    {"UndefinedTableOneEditAway",
     "join(Emp, Dpet)\nEmp(id int, dept_id int)\n\nDept(dept_id int)\n",
     "Hiba a tablak osszekapcsolasakor!\n",
     {"in.txt:1:11: table \"Dpet\" is not defined; \"Dept\" is, one edit away\r\n"}},
    {"UndefinedTableNearNone",
     "join(A ,\tB,  Emp)\nA(x int)\n\nB(x int)\n\nEmpire(x int)\n",
     "Hiba a tablak osszekapcsolasakor!\n",
     {"in.txt:1:14: table \"Emp\" of the join statement is defined nowhere"}},
    {"UndefinedTableWithoutAName",
     "join(A,,B)\nA(x int)\n\nB(x int)\n",
     "Hiba a tablak osszekapcsolasakor!\n",
     {"in.txt:1:8: table \"\" of the join statement is defined nowhere"}},
    {"DeclarationConflict",
     "join(A, B)\nA(x int)\n\nB(y int, x char(5))\n",
     "Oszlopokban deklaracios kulonbseg!\nHiba a tablak osszekapcsolasakor!\n",
     {"in.txt: ", "column \"x\"", "int in table \"A\"", "char(5) in table \"B\""}},
};

// GoogleTest prints a parameter in the test list; a case prints as its name.
void PrintTo(const detail_case& c, std::ostream* os) {
  *os << c.name;
}

class Detail : public E2E, public ::testing::WithParamInterface<detail_case> {};

TEST_P(Detail, NamesThePlaceOnATerminalOnly) {
  const detail_case& c = GetParam();
  write_file(dir / "in.txt", c.input);
  outcome plain = run_natjoin(dir, {"in.txt", "out.txt"});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.out, c.message);
  EXPECT_EQ(plain.err, "");

  outcome seen = run_natjoin(dir, {"in.txt", "out.txt"}, on_terminal());
  EXPECT_EQ(seen.status, plain.status);
  EXPECT_EQ(seen.out, plain.out);
  EXPECT_EQ(read_file(dir / "out.txt"), "");
  EXPECT_EQ(seen.err.rfind("natjoin: in.txt:", 0), 0u) << seen.err;
  EXPECT_EQ(std::count(seen.err.begin(), seen.err.end(), '\n'), 1) << seen.err;
  for (std::string_view part : c.shows) {
    EXPECT_NE(seen.err.find(part), std::string::npos) << "no " << part << " in " << seen.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Reasons, Detail, ::testing::ValuesIn(detail_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2E, NamesTheFileThatFailedOnATerminal) {
  write_file(dir / "in.txt", small_input);
  fs::create_directory(dir / "folder");
  struct {
    std::vector<std::string> args;
    std::string_view shows;
  } cases[] = {
      {{"missing.txt", "out.txt"},
       "natjoin: missing.txt: cannot open it for reading: No such file"},
      {{"folder", "out.txt"}, "natjoin: folder: cannot read it: Is a directory"},
      {{"in.txt", "no/out.txt"}, "natjoin: no/out.txt: cannot open it for writing: No such file"},
      {{"in.txt", "/dev/full"}, "natjoin: /dev/full: cannot write it: No space left on device"},
      {{"in.txt", "./in.txt"}, "natjoin: ./in.txt: it is the input file itself"},
  };
  for (const auto& c : cases) {
    outcome plain = run_natjoin(dir, c.args);
    outcome seen = run_natjoin(dir, c.args, on_terminal());
    EXPECT_EQ(seen.out, files_message);
    EXPECT_EQ(seen.out, plain.out);
    EXPECT_EQ(seen.status, plain.status);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(seen.err.rfind(c.shows, 0), 0u) << seen.err;
  }
  EXPECT_EQ(read_file(dir / "in.txt"), small_input);
}

TEST_F(E2E, TellsNothingMoreOnSuccess) {
  write_file(dir / "in.txt", small_input);
  outcome seen = run_natjoin(dir, {"in.txt", "out.txt"}, on_terminal());
  EXPECT_EQ(seen.status, 0);
  EXPECT_EQ(seen.err, "");
}

// ---------------------------------------------------------------------------
// The notes that a person at a terminal gets after a successful run

struct note_case {
  const char* name;
  const char* folder;      // the case folder whose input is run, or null
  std::string_view input;  // the input where no folder is given
  std::string_view notes;  // standard error on a terminal, lines ending in "\n"
};

const note_case note_cases[] = {
    {"ColumnsDifferInCase",
     "columns_differ_only_in_case",
     {},
     "natjoin: note: columns \"ID\" of \"B\" and \"id\" of \"A\" differ only in case, so they "
     "were not joined on\n"},
    {"ProductStep",
     "product_of_tables_sharing_no_column",
     {},
     "natjoin: note: \"Shape\" shares no column with the result so far; every pairing was kept "
     "(2 x 3 = 6 rows)\n"},
    {"EmptyFromAStep",
     "empty_result_from_a_step",
     {},
     "natjoin: note: the result is empty from \"Dept\" on: no value of dept_id in \"Dept\" matches "
     "the result so far (10 values there, 4 here)\n"},
    {"EmptyForABlankInsideTheQuotes",
     "empty_result_blank_inside_quotes",
     {},
     "natjoin: note: the result is empty from \"Part\" on: no value of part in \"Part\" matches "
     "the result so far (2 values there, 2 here); '7' there and '7 ' here differ only in blanks "
     "or leading zeros inside the quotes\n"},
    {"EmptyForLeadingZerosInsideTheQuotes",
     "empty_result_leading_zeros_inside_quotes",
     {},
     "natjoin: note: the result is empty from \"Part\" on: no value of part in \"Part\" matches "
     "the result so far (1 value there, 1 here); '7' there and '007' here differ only in blanks "
     "or leading zeros inside the quotes\n"},
    {"CaseAndProductInOneStep", nullptr,
     "join(Emp, Dept)\nEmp(id int, Dept_id int)\n1,1\n1,1\n2,1\n\nDept(dept_id int)\n1\n2\n",
     "natjoin: note: columns \"dept_id\" of \"Dept\" and \"Dept_id\" of \"Emp\" differ only in "
     "case, so they were not joined on\n"
     "natjoin: note: \"Dept\" shares no column with the result so far; every pairing was kept "
     "(3 x 2 = 6 rows, 4 of them distinct)\n"},
    {"TooManyNotes", nullptr,
     "join(A, B, C, D, E, F)\nA(a int)\n1\n\nB(b int)\n1\n\nC(c int)\n1\n\nD(d int)\n1\n\n"
     "E(e int)\n1\n\nF(f int, A int)\n1,1\n",
     "natjoin: note: \"B\" shares no column with the result so far; every pairing was kept "
     "(1 x 1 = 1 row)\n"
     "natjoin: note: \"C\" shares no column with the result so far; every pairing was kept "
     "(1 x 1 = 1 row)\n"
     "natjoin: note: \"D\" shares no column with the result so far; every pairing was kept "
     "(1 x 1 = 1 row)\n"
     "natjoin: note: \"E\" shares no column with the result so far; every pairing was kept "
     "(1 x 1 = 1 row)\n"
     "natjoin: note: 2 more notes like these left out\n"},
    {"EmptyFirstTable", nullptr, "join(A, B)\nA(x int)\n\nB(x int)\n1\n",
     "natjoin: note: the result is empty from \"A\" on: \"A\" has no rows\n"},
    {"EmptyTableOfAProduct", nullptr, "join(A, B)\nA(x int)\n1\n\nB(y int)\n",
     "natjoin: note: the result is empty from \"B\" on: \"B\" has no rows\n"},
    {"EmptyOnTwoColumnsAtOnce", nullptr,
     "join(A, B, C)\nA(x int, y int)\n1,1\n2,2\n\nB(z int)\n5\n\nC(y int, x int)\n1,2\n",
     "natjoin: note: \"B\" shares no column with the result so far; every pairing was kept "
     "(2 x 1 = 2 rows)\n"
     "natjoin: note: the result is empty from \"C\" on: no row of \"C\" agrees with a row of the "
     "result so far on y, x at once, though each of them alone has values in common\n"},
    {"EmptyWithBlanksThereAndHere", nullptr,
     "join(A, B)\nA(k char(4))\n'x'\n' 07'\n\nB(k char(4), v int)\n'7\t',1\n",
     "natjoin: note: the result is empty from \"B\" on: no value of k in \"B\" matches the result "
     "so far (1 value there, 2 here); '7\t' there and ' 07' here differ only in blanks or leading "
     "zeros inside the quotes\n"},
    {"NothingToSay", nullptr, small_input, ""},
};

void PrintTo(const note_case& c, std::ostream* os) {
  *os << c.name;
}

class Notes : public E2E, public ::testing::WithParamInterface<note_case> {};

// The notes come on a terminal only, after the output is written, and change nothing else.
TEST_P(Notes, FollowASuccessfulRunOnATerminalOnly) {
  const note_case& c = GetParam();
  write_file(dir / "in.txt", c.folder != nullptr
                                 ? read_file(fs::path(NATJOIN_CASES) / c.folder / "input.txt")
                                 : std::string(c.input));
  outcome plain = run_natjoin(dir, {"in.txt", "out.txt"});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "");
  EXPECT_EQ(plain.err, "");
  const std::string output = read_file(dir / "out.txt");

  outcome seen = run_natjoin(dir, {"in.txt", "out.txt"}, on_terminal());
  EXPECT_EQ(seen.status, 0);
  EXPECT_EQ(seen.out, "");
  EXPECT_TRUE(read_file(dir / "out.txt") == output) << "output differs";
  std::string notes;  // the terminal ends each line with "\r\n"
  for (char ch : c.notes) notes += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  EXPECT_EQ(seen.err, notes);
}

INSTANTIATE_TEST_SUITE_P(Runs, Notes, ::testing::ValuesIn(note_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A product of 4,000 rows by b_rows narrowed by a third table: about a second
// of joining at 4,000, and a small result.
std::string long_join_input(int b_rows = 4000) {
  std::string input = "join(A, B, C)\n\nA(x int, p int)\n";
  for (int i = 0; i < 4000; ++i) input += std::to_string(i) + "," + std::to_string(i % 50) + "\n";
  input += "\nB(y int, q int)\n";
  for (int i = 0; i < b_rows; ++i) input += std::to_string(i) + "," + std::to_string(i % 70) + "\n";
  return input + "\nC(p int, q int, z int)\n1,1,7\n";
}

// A run that lasts more than a second shows a person at a terminal how far it
// has got, on one line that it redraws in place and erases at the end; the
// run is held still for a while, early, so that it lasts that long.
TEST_F(E2E, ShowsProgressOnATerminalAndErasesIt) {
  write_file(dir / "in.txt", long_join_input());
  outcome plain = run_natjoin(dir, {"in.txt", "out.txt"});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");
  const std::string expected = read_file(dir / "out.txt");

  run_options options = on_terminal();
  options.signal_delay = std::chrono::milliseconds(20);
  options.pause = std::chrono::milliseconds(1200);
  outcome seen = run_natjoin(dir, {"in.txt", "out.txt"}, options);
  EXPECT_EQ(seen.status, 0);
  EXPECT_EQ(seen.out, "");
  EXPECT_TRUE(read_file(dir / "out.txt") == expected);
  // The progress line, then the note on the product of A and B, once it is erased.
  const std::string note =
      "natjoin: note: \"B\" shares no column with the result so far; every pairing was kept "
      "(4,000 x 4,000 = 16,000,000 rows)\r\n";
  ASSERT_TRUE(seen.err.ends_with(note)) << seen.err;
  const std::string progress = seen.err.substr(0, seen.err.size() - note.size());
  EXPECT_EQ(progress.rfind("\rnatjoin: ", 0), 0u) << seen.err;
  EXPECT_NE(progress.find(" rows\033[K"), std::string::npos) << seen.err;
  EXPECT_EQ(progress.find('\n'), std::string::npos) << seen.err;
  // Erased at the end: the cursor is back at the start of an empty line.
  EXPECT_TRUE(progress.ends_with("\r\033[K")) << seen.err;
}

// A failure erases the line before its message and detail line: here a
// full disk met once the long join is done.
TEST_F(E2E, ErasesProgressBeforeTheDetailLine) {
  // The output fails at its first write, after the join: the run must be held still while it
  // joins, once its start is surely over (a sanitizer's takes tens of milliseconds) and before
  // the join's last report (a product twice as large keeps an optimised build joining that long).
  write_file(dir / "in.txt", long_join_input(8000));
  run_options options = on_terminal();
  options.signal_delay = std::chrono::milliseconds(100);
  options.pause = std::chrono::milliseconds(1200);
  outcome seen = run_natjoin(dir, {"in.txt", "/dev/full"}, options);
  EXPECT_EQ(seen.status, 1);
  EXPECT_EQ(seen.out, files_message);
  const std::size_t detail = seen.err.find("\r\033[Knatjoin: /dev/full: cannot write it");
  EXPECT_NE(detail, std::string::npos) << seen.err;
  EXPECT_EQ(seen.err.find("\rnatjoin: joining"), 0u) << seen.err;
  EXPECT_EQ(std::count(seen.err.begin(), seen.err.end(), '\n'), 1) << seen.err;
}

// ---------------------------------------------------------------------------
// Inputs of extreme shapes: each must give the exact result, not a crash

// Runs natjoin on input and checks a clean success with the expected output.
void expect_result(const fs::path& dir, const std::string& input, const std::string& result) {
  write_file(dir / "in.txt", input);
  outcome got = run_natjoin(dir, {"in.txt", "out.txt"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "");
  EXPECT_TRUE(read_file(dir / "out.txt") == input + "\n\n" + result) << "output differs";
  EXPECT_TRUE(read_file(dir / "in.txt") == input);
}

TEST_F(E2E, CarriesAHundredMegabyteLine) {
  const std::string value(100 << 20, 'x');
  expect_result(dir, "join(A)\nA(s char(200000000))\n'" + value + "'\n",
                "result(s char(200000000))\n'" + value + "'\n");
}

// An input this large is mapped, and given back as it is read: what is read again must come
// back as it was, in the reader, the join and the writer alike.
TEST_F(E2E, JoinsAnInputLargeEnoughToBeGivenBack) {
  std::string input = "join(A, B)\nA(k int, s char(220))\n";
  const std::string pad(200, 'x');
  std::string found[2];
  for (int i = 0; input.size() < (std::size_t{270} << 20); ++i) {
    const std::string row = std::to_string(i % 1000) + ",'" + pad + std::to_string(i) + "'\n";
    input += row;
    if (i % 1000 == 7) found[0] += row;
    if (i % 1000 == 999) found[1] += row;
  }
  input += "\nB(k int)\n7\n999\n";
  expect_result(dir, input, "result(k int, s char(220))\n" + found[0] + found[1]);
}

TEST_F(E2E, ReadsTenThousandTables) {
  std::string input = "join(T0, T9999)\n";
  for (int t = 0; t < 10000; ++t) {
    input += "\nT" + std::to_string(t) + "(k int, v" + std::to_string(t) + " int)\n1," +
             std::to_string(t) + "\n";
  }
  expect_result(dir, input, "result(k int, v0 int, v9999 int)\n1,0,9999\n");
}

TEST_F(E2E, JoinsAThousandTables) {
  std::string statement = "join(";
  std::string blocks;
  std::vector<std::string> columns = {"k"};
  for (int t = 0; t < 1000; ++t) {
    const std::string n = std::to_string(t);
    statement += (t ? ", T" : "T") + n;
    blocks += "\nT" + n + "(k int, c" + n + " int)\n1," + n + "\n2," + n + "\n3," + n + "\n";
    columns.push_back("c" + n);
  }
  std::sort(columns.begin(), columns.end());
  std::string header = "result(";
  std::string rows[3];
  for (const std::string& name : columns) {
    header += (name == columns.front() ? "" : ", ") + name + " int";
    for (int r = 0; r < 3; ++r) {
      rows[r] += (name == columns.front() ? "" : ",") +
                 (name == "k" ? std::to_string(r + 1) : name.substr(1));
    }
  }
  expect_result(dir, statement + ")\n" + blocks,
                header + ")\n" + rows[0] + "\n" + rows[1] + "\n" + rows[2] + "\n");
}

TEST_F(E2E, ReadsAHundredThousandColumns) {
  std::vector<std::string> names;
  for (int c = 0; c < 100000; ++c) names.push_back("c" + std::to_string(c));
  std::string declaration = "A(";
  std::string row;
  for (const std::string& name : names) {
    declaration += (name == names.front() ? "" : ", ") + name + " int";
    row += (name == names.front() ? "" : ",") + name.substr(1);
  }
  std::sort(names.begin(), names.end());
  std::string header = "result(";
  std::string result_row;
  for (const std::string& name : names) {
    header += (name == names.front() ? "" : ", ") + name + " int";
    result_row += (name == names.front() ? "" : ",") + name.substr(1);
  }
  expect_result(dir, "join(A, A)\n" + declaration + ")\n" + row + "\n",
                header + ")\n" + result_row + "\n");
}

TEST_F(E2E, CarriesOddBytesThrough) {
  const std::string value("\0\xff\xfe\r\x80 \t", 7);
  expect_result(dir, "join(A, B)\nA(k int, s char(9))\n1,'" + value + "'\n\nB(k int)\n1\n",
                "result(k int, s char(9))\n1,'" + value + "'\n");
}

}  // namespace
