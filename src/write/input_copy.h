// natjoin: the head of the output file, the copy of the input, which does not depend on the
// result: every line of the input with the platform's line end, then the separator line. Where
// a run has threads to spare, a thread of its own writes it while the stages run.
#ifndef NATJOIN_WRITE_INPUT_COPY_H_
#define NATJOIN_WRITE_INPUT_COPY_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <string_view>
#include <thread>

#include "base/pieces.h"
#include "base/status.h"

namespace natjoin {

// Receives the next stretch of the output file; returns 0, or 1 when it could not be written.
using output_sink = std::function<int(std::string_view)>;

// Writes the head of the output through sink: the lines of input, each with line_end, then the
// separator line. Since the end of the input is noticed only by a read that runs into it, an
// input that ends with a line end gives one more, empty, line; either way the last line, empty
// or not, gets one. The text is made in pieces on split.threads threads and handed to sink in
// order, on the calling thread, and each piece of input is given back once it has been handed
// on. Returns 0, or 1 as soon as sink fails.
int write_input_copy(std::string_view input, const output_sink& sink, std::string_view line_end,
                     const work_split& split = {});

// The head written ahead of the stages, on a thread of its own or, where there is none, on the
// calling thread (written_here). Once the thread has been joined, or the head written here,
// status tells how its writing ended: 0, or 1 where sink failed or memory ran out. copied is how
// many bytes of the input have been handed on while it is written, and all of them (the largest
// size) before it starts and once it has ended, so that nothing is given back before it has been
// copied.
struct input_copy_thread {
  std::jthread thread;
  bool written_here = false;
  int status = status_ok;
  std::atomic<std::size_t> copied{static_cast<std::size_t>(-1)};
};

// An input below this many bytes has its head written by the writer, after the stages: a thread
// would cost more than it saves, and a small input starts no thread at all.
inline constexpr std::size_t copy_apart_bytes = std::size_t{1} << 20;

// Starts writing the head of input through sink ahead of the stages, where input has
// copy_apart_bytes or more: on a thread of its own where split.threads is 2 or more, and
// otherwise, or where the system grants no thread or no memory for one, on the calling thread,
// before it returns. A smaller input it leaves alone, and input_copy_started tells so. sink is
// used there alone until end_input_copy; each piece of input that has been copied is given back
// through split.give_back, after copy.copied has been set past it.
// REQUIRES: input and sink outlive copy's thread; split.give_back may be called from any thread.
void start_input_copy(std::string_view input, const output_sink& sink, std::string_view line_end,
                      const work_split& split, input_copy_thread& copy);

// Whether start_input_copy is writing the head, or has written it.
inline bool input_copy_started(const input_copy_thread& copy) {
  return copy.thread.joinable() || copy.written_here;
}

// Waits until copy's thread has ended, asking it to stop at its next stretch first where stop
// is set. Returns how the head's writing ended; 0 where start_input_copy left it alone.
int end_input_copy(input_copy_thread& copy, bool stop);

}  // namespace natjoin

#endif  // NATJOIN_WRITE_INPUT_COPY_H_
