// Interruptions on Windows: Ctrl-C, Ctrl-Break and the closing of the console window. The
// system calls the handler on a thread of its own, while the run's threads go on.
#include <windows.h>

#include <atomic>

#include "interruptions.h"
#include "terminal.h"

namespace natjoin {

namespace {

// What an interruption must take back: the guarded output (no_file for none), whether it has
// come, whether a stretch of work on the output is under way, and the width of the progress
// line shown.
struct interruption_state {
  std::atomic<os_handle> output{no_file};
  std::atomic<bool> interrupted{false};
  std::atomic<bool> working{false};
  std::atomic<std::size_t> progress_width{0};
};

interruption_state run_state;

// The status that Windows gives a console program that an interruption ended.
constexpr UINT interrupted_status = 0xC000013A;  // STATUS_CONTROL_C_EXIT

// Empties the output, erases the progress line and ends the process. On a closed console the
// system ends the process about five seconds after the event: a stretch lasts a write of a block.
BOOL WINAPI end_interrupted(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;  // a logoff or a shutdown, which reach services only
  }
  run_state.interrupted = true;
  while (run_state.working) Sleep(1);
  const os_handle output = run_state.output;
  if (output != no_file) empty_file(output);
  if (run_state.progress_width != 0) write_to_terminal(format_erase(run_state.progress_width));
  // Terminating at once, rather than exiting, leaves no other thread a chance to write, and
  // takes no lock that a stopped thread might hold.
  TerminateProcess(GetCurrentProcess(), interrupted_status);
  return TRUE;
}

}  // namespace

void handle_interruptions() {
  // A process started with Ctrl-C ignored (a new process group) is not called for it.
  SetConsoleCtrlHandler(end_interrupted, TRUE);
}

void guard_output(os_handle output) {
  run_state.output = output;
}

void begin_output_work() {
  run_state.working = true;
  if (!run_state.interrupted) return;
  // The handler waits for this stretch to end, then ends the process.
  run_state.working = false;
  for (;;) Sleep(INFINITE);
}

void end_output_work(os_handle output) {
  run_state.output = output;
  run_state.working = false;
}

void note_progress_shown(std::size_t width) {
  run_state.progress_width = width;
}

std::size_t progress_shown() {
  return run_state.progress_width;
}

}  // namespace natjoin
