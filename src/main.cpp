// The run sequence of natjoin: open the files, read the input once, run the
// stages in order and write the output file, or print the failed stage's
// message and leave the output file empty.
#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "blocks.h"
#include "cpu_limit.h"
#include "entry.h"
#include "f1.h"
#include "files.h"
#include "interruptions.h"
#include "terminal.h"

namespace {

// Takes the progress line off the terminal, leaving the cursor where it began.
void erase_progress() {
  if (progress_shown() == 0) return;
  write_to_terminal(format_erase(progress_shown()));
  note_progress_shown(0);
}

enum message : int {
  files_failed,
  join_failed,
  tables_failed,
  declaration_conflict,
  join_step_failed
};

const char* message_text(message m) {
  switch (m) {
    case files_failed:
      return "Nem sikerult megnyitni a file(oka)t!";
    case join_failed:
      return "Hiba a joinban!";
    case tables_failed:
      return "Hiba a tablak feldolgozasa kozben!";
    case declaration_conflict:
      return "Oszlopokban deklaracios kulonbseg!";
    case join_step_failed:
      return "Hiba a tablak osszekapcsolasakor!";
  }
  return "";
}

// Writes text to stream with each "\n" made the platform's line end, and flushes it. Returns
// 0, or 1 when the stream could not be written.
int put_lines(std::string_view text, std::FILE* stream) {
  for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
    std::fwrite(text.data(), 1, end, stream);
    std::fwrite(line_end().data(), 1, line_end().size(), stream);
    text.remove_prefix(end + 1);
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  return std::fflush(stream) == 0 && !std::ferror(stream) ? 0 : 1;
}

// Prints one message line and flushes it at once.
void say(message m) {
  put_lines(std::string(message_text(m)) + "\n", stdout);
}

const char* usage_text() {
  return "Usage: natjoin INPUT OUTPUT\n"
         "       natjoin --help | --version\n"
         "\n"
         "Joins the tables that the first line of INPUT names, from left to right, on\n"
         "their columns of equal name, and writes OUTPUT: a copy of INPUT, an empty\n"
         "line, then the result table with its columns sorted by name and each\n"
         "distinct row once.\n"
         "\n"
         "INPUT holds a join statement, then table blocks: a declaration line, one\n"
         "row per line, a blank line ending the block. Columns are int or char(N);\n"
         "char values stand between single quotes and hold at most N bytes.\n"
         "\n"
         "  join(Emp, Dept)\n"
         "\n"
         "  Emp(id int, name char(8), dept int)\n"
         "  1,'Ann',10\n"
         "\n"
         "  Dept(dept int, title char(12))\n"
         "  10,'Sales'\n"
         "\n"
         "gives the result block\n"
         "\n"
         "  result(dept int, id int, name char(8), title char(12))\n"
         "  10,1,'Ann','Sales'\n"
         "\n"
         "Exit status: 0 when OUTPUT holds the whole result; 1 on any failure, after\n"
         "one message on standard output, with OUTPUT left empty (and, when standard\n"
         "error is a terminal, a line there saying where and why).\n"
         "\n"
         "The full manual: man natjoin (doc/natjoin.1 in the source tree).\n";
}

// Runs one stage; memory running out inside it counts as its failure.
template <typename Stage>
int guarded(failure_detail& detail, Stage&& stage) {
  try {
    return stage();
  } catch (const std::bad_alloc&) {
    detail = {0, "out of memory"};
    return status_failed;
  }
}

// The system's reason for a failed call, after what was being done.
std::string system_reason(const char* what, int error) {
  return std::string(what) + ": " + describe_error(error);
}

// Why the output could not be written. A file-size limit (ulimit -f, or the file system's) is
// named as such, since "File too large" alone does not tell which limit was met.
std::string write_reason(int error) {
  if (!is_file_size_limit(error)) return system_reason("cannot write it", error);
  return "cannot write it: the file-size limit was reached (" + describe_error(error) + ")";
}

// The two files of a run, each open or no_file.
struct run_files {
  os_handle input = no_file;
  os_handle output = no_file;
};

// Opens the input for reading and the output for writing with truncation,
// both before either is examined, so that an unusable input still leaves an
// empty output file. An output that is the input file itself is not opened:
// truncating it would destroy the input before it is read. On a failure,
// detail and path tell which file failed and why.
void open_files(const char* input_path, const char* output_path, run_files& files,
                failure_detail& detail, const char*& path) {
  int error = 0;
  files.input = open_input(input_path, error);
  if (files.input == no_file) {
    detail = {0, system_reason("cannot open it for reading", error)};
    path = input_path;
  }
  if (same_file(files.input, input_path, output_path)) {
    detail = {0, "it is the input file itself, which is left as it is"};
    path = output_path;
    return;
  }
  files.output = open_output(output_path, error);
  if (files.output == no_file && files.input != no_file) {
    detail = {0, system_reason("cannot open it for writing", error)};
    path = output_path;
  }
}

// Writes the detail line for a person at a terminal: which file, which line
// where it is known, and why. Callers that capture the streams see nothing.
void tell(const char* path, const failure_detail& detail) {
  if (detail.second.empty() || !stderr_is_terminal()) return;
  std::string text = "natjoin: " + std::string(path) + ":";
  if (detail.first != 0) text += std::to_string(detail.first) + ":";
  text += " " + detail.second;
  text += line_end();
  write_to_terminal(text);
}

// Ends a failed run: the output file is left empty, the message printed,
// and the detail told.
int fail(message m, const run_files& files, const char* path, const failure_detail& detail) {
  if (files.output != no_file) {
    begin_output_work();
    empty_file(files.output);
    end_output_work(no_file);  // emptied: nothing is left for an interruption to take back
    close_file(files.output);
  }
  if (files.input != no_file) close_file(files.input);
  erase_progress();
  if (m == declaration_conflict) {
    say(declaration_conflict);
    m = join_step_failed;
  }
  say(m);
  tell(path, detail);
  return status_failed;
}

// Writes block to the output, as one stretch that an interruption does not split. Returns 0,
// or 1 with error set.
int write_output(os_handle output, std::string_view block, int& error) {
  begin_output_work();
  const int written = write_all(output, block, error);
  end_output_work(output);
  return written;
}

// Closes the completely written output. Returns 0, or the error of a close that reports a late
// write error, after which the output is emptied by its path. An interruption waits meanwhile:
// after the close it can no longer empty the file, and a partial one must not remain.
int close_output(os_handle output, const char* path) {
  begin_output_work();
  const int error = close_file(output);
  if (error != 0) empty_file_at(path);
  end_output_work(no_file);
  return error;
}

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A count with its thousands apart: 1,234,567.
std::string grouped(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The progress line for a person at a terminal: once a run has lasted a second, one line on
// standard error, redrawn in place a few times a second, with the stage and how far it has
// got, such as "natjoin: joining Dept: 47% of 2,000,000 rows". It is erased when the run ends.
progress_report progress_line() {
  const double start = seconds_now();
  double drawn = 0;
  return [start, drawn](std::string_view stage, std::size_t done, std::size_t total,
                        std::string_view unit) mutable {
    const double now = seconds_now();
    if (now - start < 1 || now - drawn < 0.25) return;
    drawn = now;
    std::string line = "natjoin: ";
    line.append(stage);
    line += ": ";
    if (total != 0) {
      line += std::to_string(done * 100 / total);
      line += "% of ";
      line += grouped(total);
    } else {
      line += grouped(done);
    }
    line += ' ';
    line.append(unit);
    write_to_terminal(format_redraw(line, progress_shown()));
    note_progress_shown(line.size());
  };
}

// The most threads a run uses.
constexpr std::size_t max_threads = 8;

// How the stages cut their work: on every one of the processors that the run may use, cpus, up
// to max_threads. Work of a single piece runs on the calling thread alone, so that a small
// input starts no thread at all.
work_split plan_work(std::size_t cpus) {
  work_split split;
  split.threads = std::min(cpus, max_threads);
  return split;
}

// What the stages are given besides their data: where to report how far they have got, and
// how to cut their work.
struct stage_means {
  const progress_report* progress;
  work_split split;
};

// The head of the output, the copy of the input, which does not depend on the result: where a
// run has more than one processor, a thread of its own writes it while the stages run. Once the
// thread has been joined, status tells how its writing ended: 0, or 1 with the system's error
// (none where memory ran out).
struct head_writer {
  std::jthread thread;
  int status = status_ok;
  int error = 0;
};

// Starts writing the head of the output on a thread of its own, where there are threads.
void start_head(std::string_view input, const run_files& files, std::size_t threads,
                head_writer& head) {
  if (threads < 2) return;
  head.thread = std::jthread([&head, input, output = files.output](std::stop_token stop) {
    output_sink sink = [&](std::string_view block) {
      return stop.stop_requested() ? status_failed : write_output(output, block, head.error);
    };
    try {
      head.status = write_input_copy(input, sink, line_end());
    } catch (const std::bad_alloc&) {
      head.status = status_failed;
    }
  });
}

// Waits until the head's thread has ended, asking it to stop first where the run has failed.
void end_head(head_writer& head, bool failed) {
  if (!head.thread.joinable()) return;
  if (failed) head.thread.request_stop();
  head.thread.join();
}

// Ends a run that failed while the head may still be written: fail, once it is not.
int fail_stage(head_writer& head, message m, const run_files& files, const char* path,
               const failure_detail& detail) {
  end_head(head, true);
  return fail(m, files, path, detail);
}

// Writes the output through sink: its head, unless its own thread has written it, then the
// result table. Returns 0, or 1 with detail set.
int write_output_text(std::string_view input, std::string_view rest,
                      std::vector<std::string>& result_columns,
                      const result_types_map& result_types, const result_data_map& result_data,
                      head_writer& head, const output_sink& sink, failure_detail& detail,
                      const stage_means& means) {
  const bool head_apart = head.thread.joinable();
  end_head(head, false);
  if (head_apart && head.status != status_ok) {
    detail = {0, head.error != 0 ? write_reason(head.error) : "out of memory"};
    return status_failed;
  }
  return guarded(detail, [&]() -> int {
    if (!head_apart && write_input_copy(input, sink, line_end(), means.split) != status_ok) {
      return status_failed;
    }
    return write_result_table(rest, result_columns, result_types, result_data, sink, line_end(),
                              means.progress, means.split);
  });
}

// Writes the output file at path from the result and closes it; a failure ends the run as
// failed, with the output left empty. Returns the run's status.
int write_output_file(std::string_view input, std::string_view rest,
                      std::vector<std::string>& result_columns,
                      const result_types_map& result_types, const result_data_map& result_data,
                      head_writer& head, const run_files& files, const char* path,
                      failure_detail& detail, const stage_means& means) {
  int write_error = 0;
  output_sink sink = [&](std::string_view block) {
    return write_output(files.output, block, write_error);
  };
  if (write_output_text(input, rest, result_columns, result_types, result_data, head, sink, detail,
                        means) != status_ok) {
    if (write_error != 0) detail = {0, write_reason(write_error)};
    return fail(files_failed, files, path, detail);
  }
  const int close_error = close_output(files.output, path);
  if (close_error != 0) {
    // A write error reported only at the close: the output has been taken back all the same.
    detail = {0, write_reason(close_error)};
    return fail(files_failed, {}, path, detail);
  }
  erase_progress();
  return status_ok;
}

// The stages from the table reader on. REQUIRES: the input is closed.
int run_tables(std::string_view input, std::string_view rest,
               const std::vector<std::string>& join_tables, const char* output_path,
               const run_files& files, const char*& path, failure_detail& detail,
               const stage_means& means) {
  head_writer head;
  start_head(input, files, means.split.threads, head);
  table_data_map table_data;
  column_types_map column_types;
  column_names_map column_names;
  if (guarded(detail, [&] {
        return tabla_ertelmezo(rest, table_data, column_types, column_names, &detail,
                               means.progress, means.split);
      }) != status_ok) {
    return fail_stage(head, tables_failed, files, path, detail);
  }
  result_types_map result_types;
  std::vector<std::string> result_columns;
  result_data_map result_data;
  int joined = guarded(detail, [&] {
    return join(rest, join_tables, table_data, column_types, column_names, result_types,
                result_columns, result_data, &detail, means.progress, means.split);
  });
  if (joined == status_conflict) return fail_stage(head, declaration_conflict, files, path, detail);
  if (joined != status_ok) return fail_stage(head, join_step_failed, files, path, detail);
  path = output_path;
  return write_output_file(input, rest, result_columns, result_types, result_data, head, files,
                           path, detail, means);
}

// A large input file is read in pieces of this many bytes, on several threads.
constexpr std::size_t read_bytes = std::size_t{4} << 20;

// Reads the size bytes that the input file had when it was opened into text, a piece per
// thread, then whatever has been added since; where it has shrunk meanwhile, to where the first
// piece that came short ended. Returns 0, or 1 with error set.
int read_pieces(os_handle input, std::size_t size, std::size_t threads, block_vector<char>& text,
                int& error) {
  // One byte more than the file had shows whether it has grown since.
  text.resize(size + 1);
  const std::size_t pieces = piece_count(size, read_bytes);
  std::vector<std::size_t> got(pieces);
  std::vector<int> errors(pieces, 0);
  run_pieces(threads, pieces, [&](std::size_t k, std::size_t) {
    const std::size_t at = k * read_bytes;
    read_at(input, at, text.data() + at, std::min(read_bytes, size - at), got[k], errors[k]);
  });
  std::size_t used = 0;
  for (std::size_t k = 0; k < pieces; ++k) {
    if ((error = errors[k]) != 0) return status_failed;
    used += got[k];
    if (got[k] < std::min(read_bytes, size - k * read_bytes)) break;
  }
  // A file that has not come short may have grown: it is read on to its end.
  for (std::size_t more = used == size ? 1 : 0; more != 0; used += more) {
    if (used == text.size()) text.resize(2 * text.size());
    if (read_at(input, used, text.data() + used, text.size() - used, more, error) != 0) {
      return status_failed;
    }
  }
  text.resize(used);
  return status_ok;
}

// Reads the whole input into buffer and closes it: a file in pieces on threads threads,
// anything else as one stream. Returns 0, or 1 with detail set.
int read_input(run_files& files, std::size_t threads, block_vector<char>& buffer,
               failure_detail& detail) {
  const int read = guarded(detail, [&] {
    int error = 0;
    const std::size_t size = file_size(files.input);
    const int got = size > read_bytes && threads > 1
                        ? read_pieces(files.input, size, threads, buffer, error)
                        : read_all(files.input, buffer, error);
    if (got == status_ok) return status_ok;
    detail = {0, system_reason("cannot read it", error)};
    return status_failed;
  });
  if (read != status_ok) return status_failed;
  close_file(files.input);
  files.input = no_file;
  return status_ok;
}

int run(const char* input_path, const char* output_path) {
  failure_detail detail;
  const char* path = input_path;  // the file that the detail speaks of
  run_files files;
  // Only a person at a terminal is shown how far a long run has got.
  const bool on_terminal = stderr_is_terminal();
  if (on_terminal) prepare_terminal();
  const progress_report line = progress_line();
  const progress_report* progress = on_terminal ? &line : nullptr;
  open_files(input_path, output_path, files, detail, path);
  guard_output(files.output);
  if (files.input == no_file || files.output == no_file) {
    return fail(files_failed, files, path, detail);
  }

  // The input is read once; the stages parse it and the writer copies the
  // very same bytes, which stay here for the whole run.
  block_vector<char> buffer;
  const work_split split = plan_work(cpu_limit());
  if (read_input(files, split.threads, buffer, detail) != status_ok) {
    return fail(files_failed, files, path, detail);
  }
  const std::string_view input(buffer.data(), buffer.size());

  std::string_view rest = input;
  std::string_view first_line;
  read_line(rest, first_line);

  std::vector<std::string> join_tables;
  if (guarded(detail, [&] { return join_ertelmezo(first_line, join_tables, &detail); }) !=
      status_ok) {
    return fail(join_failed, files, path, detail);
  }
  return run_tables(input, rest, join_tables, output_path, files, path, detail, {progress, split});
}

}  // namespace

int natjoin_main(const std::vector<std::string>& arguments) {
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
