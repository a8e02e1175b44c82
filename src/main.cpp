// The run sequence of natjoin: open the files, read the input once, run the stages in order and
// write the output file, or print the failed stage's message and leave the output file empty.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "base/memory.h"
#include "base/text.h"
#include "f1.h"
#include "platform/entry.h"
#include "platform/files.h"
#include "platform/interruptions.h"
#include "platform/system_limits.h"
#include "platform/terminal.h"
#include "run/input_file.h"
#include "run/messages.h"
#include "run/output_file.h"
#include "run/progress_line.h"
#include "run/run_notes.h"

using namespace natjoin;

namespace {

// The most threads a run uses.
constexpr std::size_t max_threads = 8;

// An input file of this many bytes or more is mapped, and given back to the system's cache as the
// stages read it, so that it does not stay whole in memory beside its tables and the result. A
// smaller one is read into memory of the run's own, in huge pages: every page of a mapping costs
// a fault at its first read, and on the benchmark's machine a read input made every workload 9
// to 16% faster.
constexpr std::size_t map_bytes = std::size_t{256} << 20;

// Everything a run holds, from the command line to the result table, for the length of the run.
struct run_state {
  const char* input_path = nullptr;
  const char* output_path = nullptr;
  const char* path = nullptr;  // the file that the detail speaks of
  failure_detail detail;
  run_files files;
  output_writer output;
  const progress_report* progress = nullptr;
  work_split split;
  // The input, loaded once: the stages parse it and the writer copies the very same bytes.
  input_bytes loaded;
  std::string_view input;
  std::string_view rest;  // the input after its first line: the table text
  std::vector<std::string> join_tables;
  table_data_map table_data;
  column_types_map column_types;
  column_names_map column_names;
  result_types_map result_types;
  std::vector<std::string> result_columns;
  result_data_map result_data;
  std::vector<std::size_t> rows_after_steps;  // the join's record of each step, for the notes
};

// Ends a failed run: the output file is left empty, the message printed, and the detail told.
int fail(run_state& run, message m) {
  close_failed(run.files, run.output);
  erase_progress();
  if (m == declaration_conflict) {
    say(declaration_conflict);
    m = join_step_failed;
  }
  say(m);
  tell(run.path, run.detail);
  return status_failed;
}

// How the stages cut their work: on every one of the processors that the run may use, up to
// max_threads. Work of a single piece runs on the calling thread alone, so that a small input
// starts no thread at all.
work_split plan_work() {
  work_split split;
  split.threads = std::min(cpu_limit(), max_threads);
  split.memory = memory_limit();
  return split;
}

// Gives back stretch of the input, but for what the copy of the input has still to read: its
// thread would only bring it back.
void give_back_copied(const run_state& run, std::string_view stretch) {
  const std::size_t copied = run.output.copy.copied;
  const auto end = static_cast<std::size_t>(stretch.data() + stretch.size() - run.input.data());
  if (end > copied) stretch.remove_suffix(std::min(stretch.size(), end - copied));
  give_back_input(run.loaded, stretch);
}

// Opens both files and reads the input into memory, closing it. Returns 0, or 1 with the
// detail set.
int read_input(run_state& run) {
  run.path = open_run_files(run.input_path, run.output_path, run.files, run.detail);
  guard_output(run.files.output);
  if (run.path != nullptr) return status_failed;
  run.path = run.input_path;
  run.split = plan_work();
  if (load_input_file(run.files.input, run.split.threads, map_bytes, run.loaded, run.detail) !=
      status_ok) {
    return status_failed;
  }
  // A mapped input is examined again once the output is written.
  if (run.loaded.mapping.bytes == nullptr) {
    close_file(run.files.input);
    run.files.input = no_file;
  }
  run.input = run.loaded.text;
  if (run.loaded.mapping.bytes != nullptr) {
    run.split.give_back = [&run](std::string_view stretch) { give_back_copied(run, stretch); };
  }
  return status_ok;
}

// Writes the output file from the result and closes it. Returns 0, or 1 with the detail set.
int write_output(run_state& run) {
  run.path = run.output_path;
  const int written = guarded(run.detail, [&] {
    return write_result(run.input, run.rest, run.result_columns, run.result_types, run.result_data,
                        run.output.sink, line_end(), run.progress, run.split, &run.output.copy);
  });
  if (written != status_ok) {
    if (run.output.error != 0) run.detail = {0, 0, write_reason(run.output.error)};
    if (run.detail.reason.empty()) run.detail = {0, 0, "out of memory"};
    return status_failed;
  }
  // The output must not hold a mix of two versions of the input.
  if (check_input_unchanged(run.files.input, run.loaded, run.detail) != status_ok) {
    run.path = run.input_path;
    return status_failed;
  }
  const int close_error = close_output(run.files.output, run.path);
  run.files.output = no_file;
  if (close_error != 0) {
    // A write error reported only at the close: the output has been taken back all the same.
    run.detail = {0, 0, write_reason(close_error)};
    return status_failed;
  }
  return status_ok;
}

// The stages in order, each of which ends the run at its failure.
int run_stages(run_state& run) {
  if (read_input(run) != status_ok) return fail(run, files_failed);
  std::string_view first_line;
  run.rest = run.input;
  read_line(run.rest, first_line);
  if (guarded(run.detail, [&] {
        return join_ertelmezo(first_line, run.join_tables, &run.detail);
      }) != status_ok) {
    return fail(run, join_failed);
  }
  // The copy of the input does not depend on the result: it is written while the stages run.
  start_output(run.files.output, run.output);
  start_input_copy(run.input, run.output.sink, line_end(), run.split, run.output.copy);
  if (guarded(run.detail, [&] {
        return tabla_ertelmezo(run.rest, run.table_data, run.column_types, run.column_names,
                               &run.detail, run.progress, run.split);
      }) != status_ok) {
    return fail(run, tables_failed);
  }
  // What the join reads of the input comes back as it is read; so does what the writer reads.
  give_back(run.split, run.input.data(), run.input.data() + run.input.size());
  const int joined = guarded(run.detail, [&] {
    return join(run.rest, run.join_tables, run.table_data, run.column_types, run.column_names,
                run.result_types, run.result_columns, run.result_data, &run.detail, run.progress,
                run.split, &run.rows_after_steps);
  });
  if (joined == status_conflict) return fail(run, declaration_conflict);
  if (joined != status_ok) {
    // Only a table that is not defined fails the join at the statement's line.
    if (run.detail.line == 1) {
      explain_undefined_table(first_line, run.join_tables, run.column_names, run.detail);
    }
    return fail(run, join_step_failed);
  }
  give_back(run.split, run.input.data(), run.input.data() + run.input.size());
  if (write_output(run) != status_ok) return fail(run, files_failed);
  erase_progress();
  tell_notes({run.rest, run.join_tables, run.table_data, run.column_types, run.column_names,
              run.rows_after_steps, run.split});
  return status_ok;
}

int run(const char* input_path, const char* output_path) {
  run_state run;
  run.input_path = input_path;
  run.output_path = output_path;
  // Only a person at a terminal is shown how far a long run has got.
  const bool on_terminal = stderr_is_terminal();
  if (on_terminal) prepare_terminal();
  const progress_report line = on_terminal ? progress_line() : progress_report();
  if (on_terminal) run.progress = &line;
  const int status = run_stages(run);
  if (run.files.input != no_file) close_file(run.files.input);
  release_input(run.loaded);
  return status;
}

}  // namespace

int natjoin::run_command(const std::vector<std::string>& arguments) {
  if (arguments.size() == 2) {
    const std::string_view option = arguments[1];
    if (option == "--help" || option == "-h") return put_lines(usage_text(), stdout);
    if (option == "--version") {
      return put_lines("natjoin " + std::string(NATJOIN_VERSION) + "\n", stdout);
    }
  }
  if (arguments.size() < 3) {
    say(files_failed);
    put_lines("usage: natjoin INPUT OUTPUT (natjoin --help tells more)\n", stderr);
    return status_failed;
  }
  handle_interruptions();
  return run(arguments[1].c_str(), arguments[2].c_str());
}
