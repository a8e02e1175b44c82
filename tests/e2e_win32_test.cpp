// End to end on Windows: natjoin.exe on whole input files, each run in a fresh temporary
// folder, with standard output and error captured in files, and the exit status and the output
// file's bytes compared exactly. Every line natjoin.exe writes ends with CR LF; otherwise it
// must give the bytes that natjoin gives on Linux. Cross-built with mingw-w64 and run under wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "e2e_support.h"

namespace {

// text with every "\n" made "\r\n": what natjoin.exe writes where natjoin on Linux writes text.
// Every "\n" that natjoin writes ends a line, since a value never holds one.
std::string crlf(std::string_view text) {
  std::string windows;
  for (char c : text) {
    if (c == '\n') windows += '\r';
    windows += c;
  }
  return windows;
}

struct outcome {
  DWORD status = 0;  // the exit code
  std::string out;   // standard output
  std::string err;   // standard error
};

struct run_options {
  DWORD event = 0;  // a console control event to send; 0 for none (CTRL_C_EVENT is sent as 1000)
  std::chrono::microseconds delay{0};  // when to send it after the start
  HANDLE job = nullptr;                // a job object to run natjoin.exe in
};

constexpr DWORD ctrl_c = 1000;                    // stands for CTRL_C_EVENT, which is 0
constexpr DWORD interrupted_status = 0xC000013A;  // STATUS_CONTROL_C_EXIT

// A file that the child inherits as a standard stream.
HANDLE inheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The command line of natjoin.exe with args, each quoted.
std::wstring command_line(const std::wstring& binary, const std::vector<std::wstring>& args) {
  std::wstring line = L"\"" + binary + L"\"";
  for (const std::wstring& arg : args) line += L" \"" + arg + L"\"";
  return line;
}

// Delivers a console control event to process as Windows does: a thread of its own there runs
// kernel32's CtrlRoutine, which calls the process's handlers.
void send_event(HANDLE process, DWORD event) {
  const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
  ASSERT_NE(routine, nullptr);
  const DWORD code = event == ctrl_c ? CTRL_C_EVENT : event;
  HANDLE thread =
      CreateRemoteThread(process, nullptr, 0, routine,
                         reinterpret_cast<void*>(static_cast<UINT_PTR>(code)), 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

// Removes path, all of it where it is a folder. wine may still hold a child's standard streams for
// a moment after the child has ended (a sharing violation then), most of all after an
// interruption: the removal is tried again for up to a second.
void remove_when_released(const fs::path& path) {
  std::error_code error;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (attempt != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    error.clear();
    fs::remove_all(path, error);
    if (!error) return;
  }
  ADD_FAILURE() << "cannot remove " << path << ": " << error.message();
}

// Runs natjoin.exe with args in folder, standard output and error into files there.
outcome run_natjoin(const fs::path& folder, const std::vector<std::wstring>& args,
                    const run_options& options = {}) {
  std::wstring binary = fs::path(NATJOIN_BINARY).make_preferred().wstring();
  HANDLE in = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = inheritable((folder / ".stdout").c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = inheritable((folder / ".stderr").c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command = command_line(binary, args);
  PROCESS_INFORMATION process = {};
  // wine now and then fails to start a process at all ("failed to map the shared user data",
  // ERROR_INTERNAL_ERROR), which is none of natjoin's doing: a start is tried a few times.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    started = CreateProcessW(binary.c_str(), command.data(), nullptr, nullptr, TRUE,
                             CREATE_SUSPENDED, nullptr, folder.c_str(), &startup, &process);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) {
    ADD_FAILURE() << "cannot start " << fs::path(binary) << ": error " << GetLastError();
    return {};
  }
  if (options.job != nullptr) AssignProcessToJobObject(options.job, process.hProcess);
  ResumeThread(process.hThread);
  if (options.event != 0) {
    std::this_thread::sleep_for(options.delay);
    send_event(process.hProcess, options.event);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  outcome result;
  GetExitCodeProcess(process.hProcess, &result.status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.out = read_file(folder / ".stdout");
  result.err = read_file(folder / ".stderr");
  remove_when_released(folder / ".stdout");
  remove_when_released(folder / ".stderr");
  return result;
}

// A fresh temporary folder per test, removed afterwards.
class E2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir = fs::temp_directory_path() / ("natjoin-e2e-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(dir));
  }
  void TearDown() override { remove_when_released(dir); }
  fs::path dir;
};

// ---------------------------------------------------------------------------
// The case folders, with the expectations of Linux in CR LF

class Case : public E2E, public ::testing::WithParamInterface<std::string> {};

TEST_P(Case, MatchesItsExpectationsWithCrLf) {
  const fs::path source = fs::path(NATJOIN_CASES) / GetParam();
  fs::copy_file(source / "input.txt", dir / "in.txt");
  const case_expectations expected = expectations_of(source);

  outcome got = run_natjoin(dir, {L"in.txt", L"out.txt"});
  EXPECT_EQ(got.status, DWORD(expected.status));
  EXPECT_EQ(got.out, crlf(expected.out));
  EXPECT_EQ(got.err, "");
  ASSERT_TRUE(fs::exists(dir / "out.txt"));
  EXPECT_EQ(read_file(dir / "out.txt"), crlf(expected.output));
  EXPECT_EQ(read_file(dir / "in.txt"), read_file(source / "input.txt"));
}

INSTANTIATE_TEST_SUITE_P(Files, Case, ::testing::ValuesIn(case_names()),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------------------
// The command line, and the files of Windows

TEST_F(E2E, EndsItsOwnLinesWithCrLf) {
  outcome version = run_natjoin(dir, {L"--version"});
  EXPECT_EQ(version.status, 0u);
  EXPECT_EQ(version.out, "natjoin 1.0.0\r\n");
  outcome help = run_natjoin(dir, {L"--help"});
  EXPECT_EQ(help.out.rfind("Usage: natjoin INPUT OUTPUT\r\n", 0), 0u) << help.out;
  EXPECT_EQ(help.out.find("\n"), help.out.find("\r\n") + 1) << help.out;
  outcome usage = run_natjoin(dir, {L"in.txt"});
  EXPECT_EQ(usage.status, 1u);
  EXPECT_EQ(usage.out, crlf(files_message));
  EXPECT_TRUE(usage.err.starts_with("usage: natjoin") && usage.err.ends_with(")\r\n")) << usage.err;
}

TEST_F(E2E, OpensUnicodePaths) {
  const std::wstring input = L"t\u00e1bla \u00fc.txt";
  const std::wstring output = L"eredm\u00e9ny \u0151 \u8868.txt";
  write_file(dir / input, small_input);
  outcome got = run_natjoin(dir, {input, output});
  EXPECT_EQ(got.status, 0u);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(read_file(dir / output), crlf(small_output));
  EXPECT_EQ(read_file(dir / input), small_input);
}

TEST_F(E2E, NeverTruncatesTheInputWhenItIsAlsoTheOutput) {
  write_file(dir / "in.txt", small_input);
  ASSERT_TRUE(CreateHardLinkW((dir / "hard.txt").c_str(), (dir / "in.txt").c_str(), nullptr));
  // No folder sub is needed: Windows takes ".." by the name alone.
  for (std::wstring output :
       std::vector<std::wstring>{L"in.txt", L".\\in.txt", L"IN.TXT", L"hard.txt",
                                 L"sub\\..\\in.txt", (dir / "in.txt").wstring()}) {
    SCOPED_TRACE(fs::path(output).string());
    outcome got = run_natjoin(dir, {L"in.txt", output});
    EXPECT_EQ(got.status, 1u);
    EXPECT_EQ(got.out, crlf(files_message));
    EXPECT_EQ(read_file(dir / "in.txt"), small_input);
  }
  // Also when the input is named through the link.
  outcome got = run_natjoin(dir, {L"hard.txt", L"in.txt"});
  EXPECT_EQ(got.status, 1u);
  EXPECT_EQ(read_file(dir / "in.txt"), small_input);
}

TEST_F(E2E, RefusesAnOutputThatCannotBeOpened) {
  write_file(dir / "in.txt", small_input);
  fs::create_directory(dir / "folder");
  for (std::wstring output : {L"no\\such\\folder\\out.txt", L"folder"}) {
    outcome got = run_natjoin(dir, {L"in.txt", output});
    EXPECT_EQ(got.status, 1u);
    EXPECT_EQ(got.out, crlf(files_message));
  }
  outcome missing = run_natjoin(dir, {L"missing.txt", L"out.txt"});
  EXPECT_EQ(missing.status, 1u);
  EXPECT_TRUE(fs::exists(dir / "out.txt"));
  EXPECT_EQ(read_file(dir / "out.txt"), "");
}

// Under wine, Z:\dev\full is Linux's full disk; Windows has no such device.
TEST_F(E2E, ReportsAFullDiskAsAFailure) {
  const wchar_t* full = L"Z:\\dev\\full";
  HANDLE device = CreateFileW(full, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no full device";
  CloseHandle(device);
  write_file(dir / "in.txt", small_input);
  outcome got = run_natjoin(dir, {L"in.txt", full});
  EXPECT_EQ(got.status, 1u);
  EXPECT_EQ(got.out, crlf(files_message));
  EXPECT_EQ(got.err, "");
}

TEST_F(E2E, FailsCleanlyWhenAProductDoesNotFitInTheMemoryOfItsJob) {
  // 5,000 x 5,000 rows, whose 200 MB of row numbers are beyond half of the job's 256 MiB a
  // process: the join must refuse them on its figures, before it builds them.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
  limits.ProcessMemoryLimit = 256u << 20;
  ASSERT_TRUE(
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION reported = {};
  QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &reported, sizeof reported,
                            nullptr);
  if (reported.ProcessMemoryLimit != limits.ProcessMemoryLimit) {
    CloseHandle(job);
    // Wine 8 keeps no job limits: it reports none, and natjoin.exe would build the product.
    GTEST_SKIP() << "this system does not keep the memory limits of a job";
  }
  write_file(dir / "in.txt", product_input(5000));
  outcome got = run_natjoin(dir, {L"in.txt", L"out.txt"}, {.job = job});
  CloseHandle(job);
  EXPECT_EQ(got.status, 1u);
  EXPECT_EQ(got.out, "Hiba a tablak osszekapcsolasakor!\r\n");
  EXPECT_EQ(read_file(dir / "out.txt"), "");
}

// ---------------------------------------------------------------------------
// Ctrl-C, Ctrl-Break and the closing of the console

// The seed of the random tests: NATJOIN_TEST_SEED where it is set, to replay a failure.
unsigned test_seed() {
  const char* given = std::getenv("NATJOIN_TEST_SEED");
  return given != nullptr ? std::stoul(given) : std::random_device{}();
}

const char* event_name(DWORD event) {
  return event == ctrl_c ? "Ctrl-C" : event == CTRL_BREAK_EVENT ? "Ctrl-Break" : "close";
}

TEST_F(E2E, EmptiesTheOutputWhenInterrupted) {
  const unsigned seed = test_seed();
  SCOPED_TRACE("NATJOIN_TEST_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::string output;
  write_file(dir / "in.txt", product_input(1000, &output));
  output = crlf(output);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_natjoin(dir, {L"in.txt", L"out.txt"}).status, 0u);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  ASSERT_TRUE(read_file(dir / "out.txt") == output) << "output differs";
  std::uniform_int_distribution<long> moment(0, took.count() * 5 / 4);
  int ended = 0;
  for (DWORD event : {ctrl_c, DWORD(CTRL_BREAK_EVENT), DWORD(CTRL_CLOSE_EVENT)}) {
    for (int send = 0; send < 4; ++send) {
      const run_options options{.event = event, .delay = std::chrono::microseconds(moment(random))};
      SCOPED_TRACE(std::string(event_name(event)) + " after " +
                   std::to_string(options.delay.count()) + " us");
      fs::remove(dir / "out.txt");
      outcome got = run_natjoin(dir, {L"in.txt", L"out.txt"}, options);
      const std::string written = read_file(dir / "out.txt");
      EXPECT_EQ(got.out, "");
      if (!fs::exists(dir / "out.txt")) {
        // The event came before natjoin.exe had set its handler, let alone opened the output:
        // the system's own handler ended it (wine gives such a process the status 0).
        continue;
      }
      if (got.status == interrupted_status) {
        // After the close the complete result may remain; a part of it never.
        ++ended;
        EXPECT_TRUE(written.empty() || written == output)
            << "a partial output of " << written.size() << " bytes";
      } else {
        EXPECT_EQ(got.status, 0u) << std::hex << got.status;
        EXPECT_TRUE(written == output) << "output of " << written.size() << " bytes differs";
      }
    }
  }
  EXPECT_GT(ended, 0) << "no event arrived before the end of its run";
}

}  // namespace
