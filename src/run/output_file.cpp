// The files of a run, and the stretches of work on the output that interruptions wait for.
#include "run/output_file.h"

#include "platform/interruptions.h"
#include "run/messages.h"

namespace natjoin {

namespace {

// Writes stretch to output, as one that an interruption does not split. Returns 0, or 1 with
// error set.
int write_stretch(os_handle output, std::string_view stretch, int& error) {
  begin_output_work();
  const int written = write_all(output, stretch, error);
  end_output_work(output);
  return written;
}

}  // namespace

const char* open_run_files(const char* input_path, const char* output_path, run_files& files,
                           failure_detail& detail) {
  int error = 0;
  const char* failed = nullptr;
  files.input = open_input(input_path, error);
  if (files.input == no_file) {
    detail = {0, 0, system_reason("cannot open it for reading", error)};
    failed = input_path;
  }
  if (same_file(files.input, input_path, output_path)) {
    detail = {0, 0, "it is the input file itself, which is left as it is"};
    return output_path;
  }
  files.output = open_output(output_path, error);
  if (files.output == no_file && files.input != no_file) {
    detail = {0, 0, system_reason("cannot open it for writing", error)};
    failed = output_path;
  }
  return failed;
}

void start_output(os_handle output, output_writer& writer) {
  writer.output = output;
  writer.sink = [&writer](std::string_view stretch) {
    return write_stretch(writer.output, stretch, writer.error);
  };
}

int close_output(os_handle output, const char* path) {
  begin_output_work();
  const int error = close_file(output);
  if (error != 0) empty_file_at(path);
  end_output_work(no_file);
  return error;
}

void close_failed(run_files& files, output_writer& writer) {
  end_input_copy(writer.copy, true);
  if (files.output != no_file) {
    begin_output_work();
    empty_file(files.output);
    end_output_work(no_file);  // emptied: nothing is left for an interruption to take back
    close_file(files.output);
    files.output = no_file;
  }
  if (files.input != no_file) close_file(files.input);
  files.input = no_file;
}

}  // namespace natjoin
