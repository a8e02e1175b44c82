// End to end: the built executable on whole input files, each run in a fresh
// temporary folder, with standard output, exit status and the output file's
// bytes compared exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

struct outcome {
  int status = -1;  // the exit status, or -1 when a signal ended the run
  std::string out;  // standard output
  std::string err;  // standard error
};

struct run_options {
  std::string stdin_data;          // fed through a pipe
  rlim_t address_space_limit = 0;  // bytes; 0 for none
};

// Runs natjoin with args in folder, standard output and error into files.
outcome run_natjoin(const fs::path& folder, const std::vector<std::string>& args,
                    const run_options& options = {}) {
  int feed[2];
  if (pipe(feed) != 0) return {};
  pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    int out = open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(feed[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    close(feed[1]);
    if (options.address_space_limit != 0) {
      rlimit limit{options.address_space_limit, options.address_space_limit};
      setrlimit(RLIMIT_AS, &limit);
      rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
    }
    std::vector<char*> argv{const_cast<char*>(NATJOIN_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(NATJOIN_BINARY, argv.data());
    _exit(127);
  }
  close(feed[0]);
  if (!options.stdin_data.empty() &&
      write(feed[1], options.stdin_data.data(), options.stdin_data.size()) < 0) {
    ADD_FAILURE() << "cannot feed standard input";
  }
  close(feed[1]);
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  outcome result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  result.out = read_file(folder / ".stdout");
  result.err = read_file(folder / ".stderr");
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
// output.txt; an absent expectation means empty output, status 0 and an
// empty output file.

class Case : public E2E, public ::testing::WithParamInterface<std::string> {};

TEST_P(Case, MatchesItsExpectations) {
  const fs::path source = fs::path(NATJOIN_CASES) / GetParam();
  fs::copy_file(source / "input.txt", dir / "in.txt");
  auto expected = [&](const char* name) {
    return fs::exists(source / name) ? read_file(source / name) : std::string();
  };
  const std::string status_text = expected("status");
  const int status = status_text.empty() ? 0 : std::stoi(status_text);

  outcome got = run_natjoin(dir, {"in.txt", "out.txt"});
  EXPECT_EQ(got.status, status);
  EXPECT_EQ(got.out, expected("stdout.txt"));
  EXPECT_EQ(got.err, "");
  ASSERT_TRUE(fs::exists(dir / "out.txt"));
  EXPECT_EQ(read_file(dir / "out.txt"), expected("output.txt"));
  EXPECT_EQ(read_file(dir / "in.txt"), read_file(source / "input.txt"));
}

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(NATJOIN_CASES)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Files, Case, ::testing::ValuesIn(case_names()),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------------------
// The command line and the files around a run

constexpr std::string_view small_input =
    "join(A, B)\nA(x int)\n1\n2\n\nB(x int, y char(1))\n2,'b'\n";
constexpr std::string_view small_output =
    "join(A, B)\nA(x int)\n1\n2\n\nB(x int, y char(1))\n2,'b'\n\n\nresult(x int, y "
    "char(1))\n2,'b'\n";
constexpr std::string_view files_message = "Nem sikerult megnyitni a file(oka)t!\n";

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
    EXPECT_EQ(got.out.rfind("Usage: natjoin INPUT OUTPUT\n", 0), 0u) << option;
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
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves address space of its own";
#endif
  // 20,000 x 20,000 rows: far beyond a 256 MiB address space.
  std::string input = "join(A, B)\nA(x int)\n";
  for (int i = 0; i < 20000; ++i) input += std::to_string(i) + "\n";
  input += "\nB(y int)\n";
  for (int i = 0; i < 20000; ++i) input += std::to_string(i) + "\n";
  write_file(dir / "in.txt", input);
  outcome got = run_natjoin(dir, {"in.txt", "out.txt"}, {"", 256u << 20});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out, "Hiba a tablak osszekapcsolasakor!\n");
  EXPECT_EQ(got.err, "");
  EXPECT_EQ(read_file(dir / "out.txt"), "");
}

}  // namespace
