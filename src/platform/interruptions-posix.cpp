// Interruptions on POSIX systems: SIGINT, SIGTERM and SIGHUP.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "interruptions.h"

namespace natjoin {

namespace {

// What an interruption must take back: the guarded output (-1 for none), whether it has come,
// whether a stretch of work on the output is under way, and the width of the progress line shown.
// Lock-free atomics, which a signal handler may use; and the mask that a stretch restores.
struct interruption_state {
  std::atomic<int> output{-1};
  std::atomic<bool> interrupted{false};
  std::atomic<bool> working{false};
  std::atomic<std::size_t> progress_width{0};
  sigset_t mask_before_work;  // the writing thread's own, restored at the end of a stretch
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
              std::atomic<std::size_t>::is_always_lock_free);

interruption_state run_state;

// The signals that end a run from outside, by a person, a shell or a scheduler.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : interruptions) sigaddset(&set, s);
  return set;
}

void sleep_a_millisecond() {
  const timespec pause = {0, 1000000};
  nanosleep(&pause, nullptr);
}

// Empties the output, then ends the process by the same signal, its default action restored, so
// that whoever started the run sees it interrupted. Only async-signal-safe calls: the signal may
// arrive anywhere. The raised signal, like the others, is blocked until the handler returns.
void end_interrupted(int signal) {
  run_state.interrupted = true;
  // A stretch under way is on another thread: this one holds the signals back during its own.
  while (run_state.working) sleep_a_millisecond();
  const int fd = run_state.output;
  if (fd >= 0) empty_file(fd);
  if (run_state.progress_width != 0 && write(STDERR_FILENO, "\r\033[K", 4) != 4) {
    // The terminal is gone: nothing to erase.
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void handle_interruptions() {
  struct sigaction action = {};
  action.sa_handler = end_interrupted;
  // One at a time: the others wait until the first has ended the process.
  action.sa_mask = interruption_set();
  for (int s : interruptions) {
    struct sigaction inherited;
    if (sigaction(s, nullptr, &inherited) != 0 || inherited.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

void guard_output(os_handle output) {
  run_state.output = static_cast<int>(output);
}

void begin_output_work() {
  const sigset_t interrupting = interruption_set();
  pthread_sigmask(SIG_BLOCK, &interrupting, &run_state.mask_before_work);
  run_state.working = true;
  if (!run_state.interrupted) return;
  // The handler, on another thread, waits for this stretch to end, then ends the process.
  run_state.working = false;
  for (;;) pause();
}

void end_output_work(os_handle output) {
  run_state.output = static_cast<int>(output);
  run_state.working = false;
  // A signal held back during the stretch is handled here.
  pthread_sigmask(SIG_SETMASK, &run_state.mask_before_work, nullptr);
}

void note_progress_shown(std::size_t width) {
  run_state.progress_width = width;
}

std::size_t progress_shown() {
  return run_state.progress_width;
}

}  // namespace natjoin
