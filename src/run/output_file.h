// natjoin: the files of a run, and the protocol that guards the output: the output is opened and
// emptied at the start, written in stretches that an interruption does not split, and closed
// whole, or emptied again where the run fails (platform/interruptions.h).
#ifndef NATJOIN_RUN_OUTPUT_FILE_H_
#define NATJOIN_RUN_OUTPUT_FILE_H_

#include "base/status.h"
#include "platform/files.h"
#include "write/input_copy.h"

namespace natjoin {

// The two files of a run, each open or no_file.
struct run_files {
  os_handle input = no_file;
  os_handle output = no_file;
};

// Opens the input for reading and the output for writing with truncation, both before either is
// examined, so that an unusable input still leaves an empty output file. An output that is the
// input file itself is not opened: truncating it would destroy the input before it is read.
// Returns the path of the file that failed, with detail saying why, or nullptr.
const char* open_run_files(const char* input_path, const char* output_path, run_files& files,
                           failure_detail& detail);

// The output as the stages write it: sink writes a stretch to the output, as one that an
// interruption does not split, and keeps the system's error of a failed write in error; copy is
// the thread that writes the copy of the input, where one was started.
struct output_writer {
  os_handle output = no_file;
  int error = 0;
  output_sink sink;
  input_copy_thread copy;
};

// Readies writer to write to output. REQUIRES: writer stays where it is while sink is used.
void start_output(os_handle output, output_writer& writer);

// Closes the completely written output. Returns 0, or the error of a close that reports a late
// write error, after which the output is emptied by its path. An interruption waits meanwhile:
// after the close it can no longer empty the file, and a partial one must not remain.
int close_output(os_handle output, const char* path);

// Leaves a failed run's files as they must be: the output emptied, once no thread writes it any
// more, and both closed.
void close_failed(run_files& files, output_writer& writer);

}  // namespace natjoin

#endif  // NATJOIN_RUN_OUTPUT_FILE_H_
