// natjoin: interruptions from outside a run, by a person, a shell or a scheduler. On POSIX they
// are SIGINT, SIGTERM and SIGHUP (interruptions-posix.cpp); on Windows Ctrl-C, Ctrl-Break and
// the closing of the console window (interruptions-win32.cpp). An interruption empties the
// guarded output, erases the progress line, and ends the process as interrupted: by the same
// signal, or with STATUS_CONTROL_C_EXIT.
//
// The protocol between the thread that writes the output and the interruption. The handler runs
// on a thread of its own on Windows, and may on POSIX once a run has several threads; it must
// empty the output without racing a write. Every piece of work on the output (a write, its
// emptying, its close) is a stretch between begin_output_work and end_output_work, by one thread
// at a time. The handler first marks the run interrupted, then waits until no stretch is under
// way, then empties the output if it is still guarded, and ends the process. A stretch that
// would begin after the mark never begins: begin_output_work does not return. So no write
// reaches the output after it has been emptied, and an output whose close ended a stretch (it
// is no longer guarded) stays whole. On POSIX the interruptions are also held back on the
// writing thread during a stretch, so that a handler on that thread never waits for itself.
//
// What the handler reaches lives in the one global object of natjoin, run_state, in the
// platform's source: a handler can reach nothing of a run but a global.
#ifndef NATJOIN_PLATFORM_INTERRUPTIONS_H_
#define NATJOIN_PLATFORM_INTERRUPTIONS_H_

#include <cstddef>

#include "files.h"

namespace natjoin {

// Has every interruption empty the output, erase the progress line and end the process. One
// that the process inherited as ignored stays ignored (nohup(1), or Windows' Ctrl-C flag of a new
// process group): under nohup a hangup does not stop the run.
void handle_interruptions();

// Puts output under guard: an interruption from now on empties it. no_file leaves nothing
// guarded. REQUIRES: no stretch is under way.
void guard_output(os_handle output);

// Begins a stretch of work on the output. Returns when no interruption has come; then
// end_output_work must follow. After an interruption it does not return: the process is ending.
void begin_output_work();

// Ends the stretch that begin_output_work began; output stays guarded, or with no_file nothing
// does (it has been emptied, or closed whole).
void end_output_work(os_handle output);

// Records the width of the progress line now on the terminal (0 for none), which an
// interruption erases.
void note_progress_shown(std::size_t width);

// The width that note_progress_shown last recorded.
std::size_t progress_shown();

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_INTERRUPTIONS_H_
