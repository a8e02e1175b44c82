// The messages of a run, and the detail line for a person at a terminal.
#include "run/messages.h"

#include "platform/files.h"
#include "platform/terminal.h"

namespace natjoin {

namespace {

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

}  // namespace

int put_lines(std::string_view text, std::FILE* stream) {
  for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
    std::fwrite(text.data(), 1, end, stream);
    std::fwrite(line_end().data(), 1, line_end().size(), stream);
    text.remove_prefix(end + 1);
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  return std::fflush(stream) == 0 && !std::ferror(stream) ? 0 : 1;
}

void say(message m) {
  put_lines(std::string(message_text(m)) + "\n", stdout);
}

const char* usage_text() {
  return "Usage: natjoin INPUT OUTPUT\n"
         "       natjoin -h | --help | --version\n"
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

std::string system_reason(const char* what, int error) {
  return std::string(what) + ": " + describe_error(error);
}

std::string write_reason(int error) {
  if (!is_file_size_limit(error)) return system_reason("cannot write it", error);
  return "cannot write it: the file-size limit was reached (" + describe_error(error) + ")";
}

void tell(const char* path, const failure_detail& detail) {
  if (detail.reason.empty() || !stderr_is_terminal()) return;
  std::string text = "natjoin: " + std::string(path) + ":";
  if (detail.line != 0) text += std::to_string(detail.line) + ":";
  if (detail.line != 0 && detail.column != 0) text += std::to_string(detail.column) + ":";
  text += " " + detail.reason;
  text += line_end();
  write_to_terminal(text);
}

}  // namespace natjoin
