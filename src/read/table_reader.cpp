// The table reader: the declaration lines, and the rows of every table block below them, read
// in pieces on the threads of the run (block_scan.h).
#include <climits>
#include <set>
#include <string>
#include <vector>

#include "base/reasons.h"
#include "base/text.h"
#include "base/type_codes.h"
#include "f1.h"
#include "read/block_scan.h"
#include "read/stored_values.h"

using namespace natjoin;

namespace {

bool is_atoi_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads text like C's atoi: leading white space, an optional sign, the
// longest run of digits, whatever follows. Returns 1 when the value leaves the
// int range. (The system's limit files are read more strictly, digits alone:
// platform/system_limits-posix.cpp.)
int read_atoi(std::string_view text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && is_atoi_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate the magnitude, stopping as soon as it passes the largest that
  // the sign allows.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) return status_failed;
  }
  value = static_cast<int>(negative ? -magnitude : magnitude);
  return status_ok;
}

// Reads one column declaration, already trimmed. The type word is the
// later of the last "int" and the last "char", so that a name may hold the
// letters of a type word as long as the type word itself comes last.
int parse_column(std::string_view declaration, std::string_view& name, int& code, refusal* reason) {
  std::size_t at_int = declaration.rfind("int");
  std::size_t at_char = declaration.rfind("char");
  std::size_t at;
  bool is_char;
  if (at_int == std::string_view::npos && at_char == std::string_view::npos) {
    return fail_because(reason,
                        "column " + quote(declaration) + " has no type: int or char(N) expected",
                        declaration.data());
  } else if (at_char == std::string_view::npos ||
             (at_int != std::string_view::npos && at_int > at_char)) {
    at = at_int;
    is_char = false;
  } else {
    at = at_char;
    is_char = true;
  }
  // A type word at the first byte leaves the column without a name.
  if (at == 0) {
    return fail_because(reason, "column " + quote(declaration) + " has no name",
                        declaration.data());
  }
  if (!is_blank(declaration[at - 1])) {
    return fail_because(
        reason, "column " + quote(declaration) + " has no blank between its name and its type word",
        declaration.data() + at);
  }
  name = trim(declaration.substr(0, at));
  if (const std::size_t blank = name.find_first_of(" \t"); blank != std::string_view::npos) {
    return fail_because(reason, "column name " + quote(name) + " holds a blank",
                        name.data() + blank);
  }
  if (!is_char) {
    code = int_code;  // whatever follows the letters "int" is ignored
    return status_ok;
  }
  if (parse_char_width(declaration.substr(at + 4), code, reason) != status_ok) {
    return fail_within(reason, "column " + quote(name) + ": ");
  }
  return status_ok;
}

}  // namespace

int parse_char_width(std::string_view width_text, int& code, refusal* reason) {
  for (std::string_view repeat : {" ", "\t", "(", ")", " ", "\t"}) {
    width_text = strip(width_text, repeat, true);
  }
  // The width as written, its leading zeros included, is the place to blame.
  const char* written = width_text.data();
  width_text = strip_leading_zeros(width_text);
  if (width_text == "0") return fail_because(reason, "its char width is written as zeros", written);
  if (read_atoi(width_text, code) != status_ok) {
    return fail_because(reason, "its char width " + quote(width_text) + " is out of range",
                        written);
  }
  return status_ok;
}

namespace {

// Parses the comma-separated column declarations of list into names and
// codes. A repeated name fails too: it would give one value list two values
// per row.
int parse_columns(std::string_view list, std::vector<std::string>& names, std::vector<int>& codes,
                  refusal* reason) {
  names.clear();
  codes.clear();
  std::vector<std::string_view> written;  // the names where the line holds them
  std::string_view name;
  int code = 0;
  for (std::string_view declaration : explode(list, ",")) {
    if (parse_column(trim(declaration), name, code, reason) != status_ok) return status_failed;
    written.push_back(name);
    names.emplace_back(name);
    codes.push_back(code);
  }
  std::set<std::string_view> seen;
  for (std::string_view column : written) {
    if (!seen.insert(column).second) {
      return fail_because(reason, "column " + quote(column) + " is declared twice", column.data());
    }
  }
  return status_ok;
}

}  // namespace

int parse_declaration(std::string_view line, std::string& table_name,
                      std::vector<std::string>& names, std::vector<int>& codes, refusal* reason) {
  std::size_t open = line.find('(');
  if (open == std::string_view::npos) {
    return fail_because(reason,
                        "a declaration line \"Name(column type, ...)\" was expected, "
                        "but the line has no \"(\"");
  }
  table_name.assign(trim(line.substr(0, open)));
  const std::string table = "table " + quote(table_name) + ": ";
  std::string_view list = trim(line.substr(open + 1));
  if (list.empty() || list.back() != ')') {
    // The byte where the ")" is missing: the last one of the line.
    return fail_because(reason, table + "the column list does not end with \")\"",
                        line.data() + line.size() - 1);
  }
  list.remove_suffix(1);
  if (parse_columns(list, names, codes, reason) == status_ok) return status_ok;
  return fail_within(reason, table);
}

int tabla_ertelmezo(std::string_view text, table_data_map& table_data,
                    column_types_map& column_types, column_names_map& column_names,
                    failure_detail* detail, const progress_report* progress,
                    const work_split& split) {
  if (text.size() >= text_limit) return fail_at(detail, 0, "the input is 1 TiB or larger");
  block_scan scan;
  read_failure failure;
  scan_blocks(text, {table_data, column_types, column_names}, split.piece_rows, scan, failure,
              progress);
  std::vector<read_failure> failures;
  read_row_pieces(text, scan, failures, progress, split);
  // The first malformed line of the text is the one reported, and the tables
  // declared after it are taken out again: reading stops at that line.
  for (read_failure& found : failures) {
    if (found.line < failure.line) failure = std::move(found);
  }
  if (failure.line == read_failure().line) return status_ok;
  for (const auto& [name, table] : scan.tables) {
    if (table.line < failure.line) continue;
    table_data.erase(name);
    column_types.erase(name);
    column_names.erase(name);
  }
  return fail_at(detail, failure.line, std::move(failure.reason), failure.column);
}
