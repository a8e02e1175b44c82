// natjoin: what a run says. On standard output, one fixed message per failure, which scripts
// read; on standard error, only where it is a terminal, a line for a person that says where and
// why. Every line ends with the platform's line end and is flushed at once.
#ifndef NATJOIN_RUN_MESSAGES_H_
#define NATJOIN_RUN_MESSAGES_H_

#include <cstdio>
#include <string>
#include <string_view>

#include "base/status.h"

namespace natjoin {

// The messages of a failed run, one for each stage that can fail.
enum message : int {
  files_failed,
  join_failed,
  tables_failed,
  declaration_conflict,
  join_step_failed
};

// Writes text to stream with each "\n" made the platform's line end, and flushes it. Returns 0,
// or 1 when the stream could not be written.
int put_lines(std::string_view text, std::FILE* stream);

// Prints the line of message m on standard output and flushes it.
void say(message m);

// The text of natjoin --help.
const char* usage_text();

// The system's reason for a failed call, after what was being done: "cannot read it: ...".
std::string system_reason(const char* what, int error);

// Why the output could not be written. A file-size limit (ulimit -f, or the file system's) is
// named as such, since "File too large" alone does not tell which limit was met.
std::string write_reason(int error);

// Writes the detail line for a person at a terminal: "natjoin: PATH:LINE:COLUMN: reason", with
// the line and the column where they are known. Callers that capture the streams see nothing.
void tell(const char* path, const failure_detail& detail);

}  // namespace natjoin

#endif  // NATJOIN_RUN_MESSAGES_H_
