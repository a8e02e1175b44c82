// The run sequence of natjoin: open the files, read the input once, run the
// stages in order and write the output file, or print the failed stage's
// message and leave the output file empty.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "blocks.h"
#include "f1.h"

namespace {

// What the handler of an interruption must take back: the output file's descriptor from its
// opening until it has been completely written and closed (-1 otherwise), which it empties,
// and whether the progress line is on the terminal, which it erases. A handler can reach no
// object of the run, only a global one: this is why it is the one global object that natjoin
// has. It holds (descriptor + 1) * 2, plus 1 while the line is shown.
volatile std::sig_atomic_t run_state = 0;

int output_descriptor() {
  return run_state / 2 - 1;
}
bool progress_shown() {
  return run_state % 2 == 1;
}
void set_output_descriptor(int fd) {
  run_state = (fd + 1) * 2 + run_state % 2;
}
void set_progress_shown(bool shown) {
  run_state = run_state / 2 * 2 + (shown ? 1 : 0);
}

// Takes the progress line off the terminal, leaving the cursor where it began.
void erase_progress() {
  if (!progress_shown()) return;
  if (write(STDERR_FILENO, "\r\033[K", 4) != 4) {
    // The terminal is gone: nothing to erase.
  }
  set_progress_shown(false);
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

// Prints one message line and flushes it at once.
void say(message m) {
  std::fputs(message_text(m), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
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

// The system's reason for the last failed call, after what was being done.
std::string system_reason(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// Why the output could not be written. A file-size limit (ulimit -f, or the file system's) is
// named as such, since "File too large" alone does not tell which limit was met.
std::string write_reason(int error) {
  if (error != EFBIG) return system_reason("cannot write it", error);
  return std::string("cannot write it: the file-size limit was reached (") + std::strerror(error) +
         ")";
}

// Reads the whole of fd into text, in a block of its own. Returns 1 on a
// read error (a directory gives one too).
int read_all(int fd, block_vector<char>& text) {
  struct stat info;
  std::size_t capacity = 1 << 16;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    capacity = static_cast<std::size_t>(info.st_size) + 1;
  }
  std::size_t used = 0;
  text.resize(capacity);
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    ssize_t got = read(fd, text.data() + used, text.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return status_failed;
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  return status_ok;
}

int write_all(int fd, std::string_view block) {
  while (!block.empty()) {
    ssize_t put = write(fd, block.data(), block.size());
    if (put < 0 && errno == EINTR) continue;
    if (put == 0) errno = EIO;  // no progress and no reason given
    if (put <= 0) return status_failed;
    block.remove_prefix(static_cast<std::size_t>(put));
  }
  return status_ok;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the input for reading and the output for writing with truncation,
// both before either is examined, so that an unusable input still leaves an
// empty output file. An output that is the input file itself is not opened:
// truncating it would destroy the input before it is read. On a failure,
// detail and path tell which file failed and why.
void open_files(const char* input_path, const char* output_path, int& input_fd, int& output_fd,
                failure_detail& detail, const char*& path) {
  input_fd = open(input_path, O_RDONLY | O_CLOEXEC);
  if (input_fd < 0) {
    detail = {0, system_reason("cannot open it for reading", errno)};
    path = input_path;
  }
  struct stat input_info;
  struct stat output_info;
  bool input_known =
      input_fd >= 0 ? fstat(input_fd, &input_info) == 0 : stat(input_path, &input_info) == 0;
  if (input_known && stat(output_path, &output_info) == 0 && same_file(input_info, output_info)) {
    output_fd = -1;
    detail = {0, "it is the input file itself, which is left as it is"};
    path = output_path;
    return;
  }
  output_fd = open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (output_fd < 0 && input_fd >= 0) {
    detail = {0, system_reason("cannot open it for writing", errno)};
    path = output_path;
  }
}

// Writes the detail line for a person at a terminal: which file, which line
// where it is known, and why. Callers that capture the streams see nothing.
void tell(const char* path, const failure_detail& detail) {
  if (detail.second.empty() || isatty(STDERR_FILENO) != 1) return;
  std::string text = "natjoin: " + std::string(path) + ":";
  if (detail.first != 0) text += std::to_string(detail.first) + ":";
  text += " " + detail.second + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Ends a failed run: the output file is left empty, the message printed,
// and the detail told.
int fail(message m, int input_fd, int output_fd, const char* path, const failure_detail& detail) {
  if (output_fd >= 0) {
    if (ftruncate(output_fd, 0) != 0) {
      // Not a regular file (a device or a pipe): nothing to take back.
    }
    set_output_descriptor(-1);  // emptied: nothing is left for a signal to take back
    close(output_fd);
  }
  if (input_fd >= 0) close(input_fd);
  erase_progress();
  if (m == declaration_conflict) {
    say(declaration_conflict);
    m = join_step_failed;
  }
  say(m);
  tell(path, detail);
  return status_failed;
}

// The signals that end a run from outside, by a person, a shell or a scheduler.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : interruptions) sigaddset(&set, s);
  return set;
}

// Empties the output, then ends the process by the same signal, its default action restored,
// so that whoever started the run sees it interrupted. Only async-signal-safe calls: the
// signal may arrive anywhere. The raised signal is blocked until the handler returns.
void end_interrupted(int signal) {
  const int fd = output_descriptor();
  if (fd >= 0 && ftruncate(fd, 0) != 0) {
    // Not a regular file: nothing to take back.
  }
  if (progress_shown() && write(STDERR_FILENO, "\r\033[K", 4) != 4) {
    // The terminal is gone: nothing to erase.
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Has every interruption empty the output before it ends the process. One that the run
// inherited as ignored stays ignored, as nohup(1) relies on.
void empty_output_on_interruption() {
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

// Closes the completely written output. Returns 0, or the error of a close that reports a late
// write error, after which the output is emptied by its path. The interruptions wait meanwhile:
// after the close the handler can no longer empty the file, and a partial one must not remain.
int close_output(int fd, const char* path) {
  const sigset_t interrupting = interruption_set();
  sigset_t before;
  sigprocmask(SIG_BLOCK, &interrupting, &before);
  const int error = close(fd) == 0 ? 0 : errno;
  set_output_descriptor(-1);
  if (error != 0 && truncate(path, 0) != 0) {
    // Nothing more can be done about an output that cannot be truncated.
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return error;
}

double seconds_now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
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
    std::string line = "\rnatjoin: ";
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
    line += "\033[K";
    if (write(STDERR_FILENO, line.data(), line.size()) > 0) set_progress_shown(true);
  };
}

// The stages from the table reader on.
int run_tables(std::string_view input, std::string_view rest,
               const std::vector<std::string>& join_tables, const char* output_path, int output_fd,
               const char*& path, failure_detail& detail, const progress_report* progress) {
  table_data_map table_data;
  column_types_map column_types;
  column_names_map column_names;
  if (guarded(detail, [&] {
        return tabla_ertelmezo(rest, table_data, column_types, column_names, &detail, progress);
      }) != status_ok) {
    return fail(tables_failed, -1, output_fd, path, detail);
  }

  result_types_map result_types;
  std::vector<std::string> result_columns;
  result_data_map result_data;
  int joined = guarded(detail, [&] {
    return join(rest, join_tables, table_data, column_types, column_names, result_types,
                result_columns, result_data, &detail, progress);
  });
  if (joined == status_conflict) return fail(declaration_conflict, -1, output_fd, path, detail);
  if (joined != status_ok) return fail(join_step_failed, -1, output_fd, path, detail);

  path = output_path;
  int write_error = 0;
  output_sink sink = [&](std::string_view block) {
    if (write_all(output_fd, block) == status_ok) return status_ok;
    write_error = errno;
    return status_failed;
  };
  if (guarded(detail, [&] {
        return write_result(input, rest, result_columns, result_types, result_data, sink, "\n",
                            progress);
      }) != status_ok) {
    if (write_error != 0) detail = {0, write_reason(write_error)};
    return fail(files_failed, -1, output_fd, path, detail);
  }
  const int close_error = close_output(output_fd, output_path);
  if (close_error != 0) {
    // A write error reported only at the close: the output has been taken back all the same.
    detail = {0, write_reason(close_error)};
    return fail(files_failed, -1, -1, path, detail);
  }
  erase_progress();
  return status_ok;
}

int run(const char* input_path, const char* output_path) {
  failure_detail detail;
  const char* path = input_path;  // the file that the detail speaks of
  int input_fd;
  int output_fd;
  // Only a person at a terminal is shown how far a long run has got.
  const progress_report line = progress_line();
  const progress_report* progress = isatty(STDERR_FILENO) == 1 ? &line : nullptr;
  open_files(input_path, output_path, input_fd, output_fd, detail, path);
  set_output_descriptor(output_fd);
  if (input_fd < 0 || output_fd < 0) return fail(files_failed, input_fd, output_fd, path, detail);

  // The input is read once; the stages parse it and the writer copies the
  // very same bytes, which stay here for the whole run.
  block_vector<char> buffer;
  if (guarded(detail, [&] {
        if (read_all(input_fd, buffer) == status_ok) return status_ok;
        detail = {0, system_reason("cannot read it", errno)};
        return status_failed;
      }) != status_ok) {
    return fail(files_failed, input_fd, output_fd, path, detail);
  }
  close(input_fd);
  const std::string_view input(buffer.data(), buffer.size());

  std::string_view rest = input;
  std::string_view first_line;
  read_line(rest, first_line);

  std::vector<std::string> join_tables;
  if (guarded(detail, [&] { return join_ertelmezo(first_line, join_tables, &detail); }) !=
      status_ok) {
    return fail(join_failed, -1, output_fd, path, detail);
  }
  return run_tables(input, rest, join_tables, output_path, output_fd, path, detail, progress);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe as output, or an output that reaches the file-size limit, is a write error
  // like any other (EPIPE, EFBIG), not a signal that would end the run halfway through.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc == 2) {
    std::string_view option = argv[1];
    if (option == "--help" || option == "-h") {
      std::fputs(usage_text(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (option == "--version") {
      std::printf("natjoin %s\n", NATJOIN_VERSION);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  if (argc < 3) {
    say(files_failed);
    std::fputs("usage: natjoin INPUT OUTPUT (natjoin --help tells more)\n", stderr);
    return status_failed;
  }
  empty_output_on_interruption();
  return run(argv[1], argv[2]);
}
