// natjoin: the progress line for a person at a terminal. Once a run has lasted a second, one line
// on standard error, redrawn in place a few times a second, with the stage and how far it has
// got, such as "natjoin: joining Dept: 47% of 2,000,000 rows". It is erased when the run ends,
// and by an interruption (platform/interruptions.h), which is told its width.
#ifndef NATJOIN_RUN_PROGRESS_LINE_H_
#define NATJOIN_RUN_PROGRESS_LINE_H_

#include <cstddef>
#include <string>

#include "base/progress.h"

namespace natjoin {

// A progress report that draws the progress line. REQUIRES: standard error is a terminal,
// readied by prepare_terminal.
progress_report progress_line();

// Takes the progress line off the terminal, where one is shown, leaving the cursor where it
// began.
void erase_progress();

// A count with its thousands apart: 1,234,567.
std::string grouped(std::size_t n);

}  // namespace natjoin

#endif  // NATJOIN_RUN_PROGRESS_LINE_H_
