#include "f1.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <set>
#include <unordered_map>

#include "byte_scan.h"
#include "column_view.h"
#include "key_groups.h"
#include "key_index.h"
#include "memory_limit.h"
#include "repeated_rows.h"
#include "row_format.h"
#include "running_result.h"

// ---------------------------------------------------------------------------
// Text utilities

std::vector<std::string_view> explode(std::string_view text, std::string_view delimiter) {
  std::vector<std::string_view> pieces;
  if (delimiter.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  std::size_t start = 0;
  for (std::size_t at = text.find(delimiter); at != std::string_view::npos;
       at = text.find(delimiter, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

std::string_view strip(std::string_view text, std::string_view piece, bool both) {
  if (piece.empty()) return text;
  std::size_t count = 0;
  while (text.compare(count, piece.size(), piece) == 0) count += piece.size();
  text.remove_prefix(count);
  if (both && text.size() >= piece.size()) {
    std::size_t end = text.size();  // one past the last byte kept
    while (end >= piece.size() && text.compare(end - piece.size(), piece.size(), piece) == 0) {
      end -= piece.size();
    }
    text = text.substr(0, end);
  }
  return text;
}

namespace {

// strip() for a piece of one byte, which the parsers use on every value.
std::string_view strip_byte(std::string_view text, char c, bool both) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && text[begin] == c) ++begin;
  while (both && end > begin && text[end - 1] == c) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string_view trim(std::string_view text) {
  return strip_byte(strip_byte(text, ' ', true), '\t', true);
}

std::string_view strip_leading_zeros(std::string_view text) {
  std::string_view stripped = strip_byte(text, '0', false);
  if (stripped.empty() && !text.empty()) return text.substr(text.size() - 1);
  return stripped;
}

bool read_line(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) {
    // The last line has no line end, so a "\r" at its end is its own byte.
    line = rest;
    rest = {};
    return true;
  }
  line = rest.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  rest.remove_prefix(end + 1);
  return true;
}

// ---------------------------------------------------------------------------
// Join statement

namespace {

// Records why a stage failed, where the caller asked; returns the failure.
// The reason is built only on this path, so a successful run pays nothing.
int fail_because(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
  return status_failed;
}

int fail_at(failure_detail* detail, std::size_t line, std::string text) {
  if (detail != nullptr) *detail = {line, std::move(text)};
  return status_failed;
}

// Tells progress how far a stage has got, where one is given.
void report(const progress_report* progress, std::string_view stage, std::size_t done,
            std::size_t total, std::string_view unit) {
  if (progress != nullptr) (*progress)(stage, done, total, unit);
}

std::string quote(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

}  // namespace

int join_ertelmezo(std::string_view line, std::vector<std::string>& join_tables,
                   failure_detail* detail) {
  if (line.find("join") != 0) {
    std::string reason = "the first line does not start with \"join\"";
    if (line.starts_with("\xEF\xBB\xBF")) {
      reason +=
          "; the file begins with a UTF-8 byte order mark, which editors do not show:"
          " save it without one";
    }
    return fail_at(detail, 1, reason);
  }
  std::size_t open = line.find('(');
  if (open == std::string_view::npos) return fail_at(detail, 1, "no \"(\" after \"join\"");
  std::size_t close = line.find(')', open);
  if (close == std::string_view::npos) {
    return fail_at(detail, 1, "no \")\" after the \"(\" of the join statement");
  }

  std::vector<std::string> names;
  for (std::string_view piece : explode(line.substr(open + 1, close - open - 1), ",")) {
    names.emplace_back(trim(piece));
  }
  join_tables = std::move(names);
  return status_ok;
}
// ---------------------------------------------------------------------------
// Table reader

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool is_atoi_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads text like C's atoi: leading white space, an optional sign, the
// longest run of digits. Returns 1 when the value leaves the int range.
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

// Reads one column declaration piece, already trimmed. The type word is the
// later of the last "int" and the last "char", so that a name may hold the
// letters of a type word as long as the type word itself comes last.
int parse_column(std::string_view piece, std::string& name, int& code, std::string* reason) {
  std::size_t at_int = piece.rfind("int");
  std::size_t at_char = piece.rfind("char");
  std::size_t at;
  bool is_char;
  if (at_int == std::string_view::npos && at_char == std::string_view::npos) {
    return fail_because(reason, "column " + quote(piece) + " has no type: int or char(N) expected");
  } else if (at_char == std::string_view::npos ||
             (at_int != std::string_view::npos && at_int > at_char)) {
    at = at_int;
    is_char = false;
  } else {
    at = at_char;
    is_char = true;
  }
  // A type word at the first byte leaves the column without a name.
  if (at == 0) return fail_because(reason, "column " + quote(piece) + " has no name");
  if (!is_blank(piece[at - 1])) {
    return fail_because(
        reason, "column " + quote(piece) + " has no blank between its name and its type word");
  }
  std::string_view trimmed = trim(piece.substr(0, at));
  if (trimmed.find_first_of(" \t") != std::string_view::npos) {
    return fail_because(reason, "column name " + quote(trimmed) + " holds a blank");
  }
  name.assign(trimmed);
  if (!is_char) {
    code = -1;  // whatever follows the letters "int" is ignored
    return status_ok;
  }
  if (parse_char_width(piece.substr(at + 4), code, reason) != status_ok) {
    if (reason != nullptr) *reason = "column " + quote(name) + ": " + *reason;
    return status_failed;
  }
  return status_ok;
}

// Where the row parser stands in a row: its line; the text from the line's
// start on, which a search may read ahead into (a row is mostly shorter than
// a chunk of the search); where the field of the next column starts, and
// whether there is one.
struct row_cursor {
  std::string_view line;
  std::string_view ahead;
  std::size_t start = 0;
  bool more = true;
};

// The end of the comma-separated piece of the row that starts at from.
std::size_t piece_end(const row_cursor& row, std::size_t from) {
  return find_before(row.ahead, from, row.line.size(), ',');
}

// Moves row past the field that ends at end.
void pass_field(row_cursor& row, std::size_t end) {
  row.more = end < row.line.size();
  row.start = end + 1;
}

// Reads the int value of the next field: the field trimmed and without its
// leading zeros.
std::string_view read_int_value(row_cursor& row) {
  const std::size_t end = piece_end(row, row.start);
  std::string_view value = row.line.substr(row.start, end - row.start);
  // Most int values have no blank or leading zero to remove.
  if (value.empty() || is_blank(value.front()) || value.front() == '0' || is_blank(value.back())) {
    value = strip_leading_zeros(trim(value));
  }
  pass_field(row, end);
  return value;
}

int check_width(std::string_view value, int width, std::string* reason) {
  if (value.size() <= static_cast<std::size_t>(width)) return status_ok;
  return fail_because(reason, "its value " + quote(value) + " has " + std::to_string(value.size()) +
                                  " bytes, more than its char(" + std::to_string(width) + ")");
}

// Moves end, the end of the first piece of a char value's field, on to the
// end of the last piece the value takes. A single piece is closed by any
// second quote in it; once pieces are joined only a quote in the very last
// byte closes the value, so a blank between the closing quote and the next
// comma keeps the joining going. Returns 1 when the row ends first.
int close_value(const row_cursor& row, std::size_t& end, std::string* reason) {
  const std::size_t start = row.start;
  std::string_view text = row.line.substr(start, end - start);
  std::size_t first = text.find('\'');
  std::size_t last = text.rfind('\'');
  while (first == std::string_view::npos || last == first) {
    if (end == row.line.size()) {
      return fail_because(reason, "its value " + quote(trim(row.line.substr(start))) +
                                      " has no closing quote before the end of the row"
                                      " (a quote must end the value, right before its comma)");
    }
    const std::size_t restored = end;  // the comma that is put back
    end = piece_end(row, end + 1);
    text = row.line.substr(start, end - start);
    if (first == std::string_view::npos) {
      // Only the piece just joined can hold the first quote.
      std::size_t found = row.line.substr(0, end).find('\'', restored);
      if (found != std::string_view::npos) first = found - start;
    }
    last = text.back() == '\'' ? text.size() - 1 : first;  // first: not closed yet
  }
  return status_ok;
}

// Reads the char value of the next field, of a column of width; joined
// tells whether the value took more than one piece, and so holds a ",".
// Returns 1 when the row fails.
int read_char_value(row_cursor& row, int width, std::string_view& value, bool& joined,
                    std::string* reason) {
  std::size_t end = piece_end(row, row.start);
  const std::string_view piece = row.line.substr(row.start, end - row.start);
  joined = false;
  // Most values stand between quotes right at the ends of their piece, with
  // no blank around them.
  if (piece.size() >= 2 && piece.front() == '\'' && piece.back() == '\'') {
    value = piece.substr(1, piece.size() - 2);
    pass_field(row, end);
    return check_width(value, width, reason);
  }
  const std::size_t first_end = end;
  if (close_value(row, end, reason) != status_ok) return status_failed;
  joined = end != first_end;
  const std::string_view text = trim(row.line.substr(row.start, end - row.start));
  pass_field(row, end);
  if (text.front() != '\'' || text.back() != '\'') {
    return fail_because(reason, "its value " + quote(text) + " does not stand between quotes");
  }
  value = text.substr(1, text.size() - 2);
  return check_width(value, width, reason);
}

// Whether a line that begins with c could be blank, or the last one.
constexpr std::string_view may_be_blank = " \t\r\n";

// The number of lines from the start of rest up to its first blank line: the
// data rows of the block whose declaration came just before. Most lines
// begin with a byte that is no blank and so are rows; only the others are
// read and trimmed one by one.
std::size_t count_block_rows(std::string_view rest) {
  std::size_t rows = 0;
  std::size_t at = 0;
  while (at < rest.size()) {
    if (may_be_blank.find(rest[at]) == std::string_view::npos) {
      at = skip_lines(rest, at, may_be_blank, rows);
      continue;
    }
    std::string_view tail = rest.substr(at);
    std::string_view line;
    read_line(tail, line);
    if (trim(line).empty()) break;
    ++rows;
    at = rest.size() - tail.size();
  }
  return rows;
}

}  // namespace

int parse_char_width(std::string_view width_text, int& code, std::string* reason) {
  for (std::string_view piece : {" ", "\t", "(", ")", " ", "\t"}) {
    width_text = strip(width_text, piece, true);
  }
  width_text = strip_leading_zeros(width_text);
  if (width_text == "0") return fail_because(reason, "its char width is written as zeros");
  if (read_atoi(width_text, code) != status_ok) {
    return fail_because(reason, "its char width " + quote(width_text) + " is out of range");
  }
  return status_ok;
}

namespace {

// Parses the comma-separated column declarations of list into names and
// codes. A repeated name fails too: it would give one value list two values
// per row.
int parse_columns(std::string_view list, std::vector<std::string>& names, std::vector<int>& codes,
                  std::string* reason) {
  names.clear();
  codes.clear();
  std::string name;
  int code = 0;
  for (std::string_view piece : explode(list, ",")) {
    if (parse_column(trim(piece), name, code, reason) != status_ok) return status_failed;
    names.push_back(name);
    codes.push_back(code);
  }
  std::set<std::string_view> seen;
  for (const std::string& column : names) {
    if (!seen.insert(column).second) {
      return fail_because(reason, "column " + quote(column) + " is declared twice");
    }
  }
  return status_ok;
}

}  // namespace

int parse_declaration(std::string_view line, std::string& table_name,
                      std::vector<std::string>& names, std::vector<int>& codes,
                      std::string* reason) {
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
    return fail_because(reason, table + "the column list does not end with \")\"");
  }
  list.remove_suffix(1);
  if (parse_columns(list, names, codes, reason) == status_ok) return status_ok;
  if (reason != nullptr) *reason = table + *reason;
  return status_failed;
}

int parse_row(std::string_view text, std::string_view line, const std::vector<int>& codes,
              table_values& table, std::string* reason, const std::vector<std::string>* names) {
  row_cursor row{line, text.substr(static_cast<std::size_t>(line.data() - text.data()))};
  for (std::size_t j = 0; j < codes.size(); ++j) {
    if (!row.more) {
      return fail_because(reason, std::to_string(codes.size()) + " columns declared, " +
                                      std::to_string(j) + " fields found");
    }
    std::string_view value;
    bool joined = false;
    if (codes[j] < 1) {
      value = read_int_value(row);
    } else if (read_char_value(row, codes[j], value, joined, reason) != status_ok) {
      if (reason != nullptr) {
        *reason = "column " + (names != nullptr ? quote((*names)[j]) : std::to_string(j + 1)) +
                  ": " + *reason;
      }
      return status_failed;
    }
    add_value(table, static_cast<std::size_t>(value.data() - text.data()), value.size());
    table.holds_commas = table.holds_commas || joined;
  }
  return status_ok;  // surplus fields are ignored
}

namespace {

// Where the line end is that stands at at, if one does: past its "\n", or
// the end of text; npos for any other byte. A "\r" belongs to the line end
// only right before a "\n".
std::size_t past_line_end(std::string_view text, std::size_t at) {
  if (at == text.size()) return at;
  if (text[at] == '\n') return at + 1;
  if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') return at + 2;
  return std::string_view::npos;
}

// Reads, in one pass, the plain value of column code at at: an int value
// with no blank at its ends and no leading zero, or a char value between
// quotes at the ends of its field, holding no quote or comma and within its
// width. Returns where its field ends, after appending it, or npos for a
// value of any other shape.
std::size_t read_plain_value(std::string_view text, std::size_t at, int code, table_values& table) {
  const char* p = text.data();
  if (at == text.size()) return std::string_view::npos;
  if (code < 1) {
    if (is_blank(p[at]) || p[at] == '0') return std::string_view::npos;
    const std::size_t end = find_any(text, at, ',', '\n', '\r');
    if (end == at || is_blank(p[end - 1])) return std::string_view::npos;
    add_value(table, at, end - at);
    return end;
  }
  if (p[at] != '\'') return std::string_view::npos;
  const std::size_t end = find_any(text, at + 1, '\'', ',', '\n');
  if (end == text.size() || p[end] != '\'' || end - at - 1 > static_cast<std::size_t>(code)) {
    return std::string_view::npos;
  }
  add_value(table, at + 1, end - at - 1);
  return end + 1;
}

// Where the line goes on from end, the end of the last field of a plain row:
// the start of the next line, when the line ends there or surplus fields
// follow; npos otherwise.
std::size_t end_plain_row(std::string_view text, std::size_t end) {
  const std::size_t next = past_line_end(text, end);
  if (next != std::string_view::npos) return next;
  if (text[end] != ',') return std::string_view::npos;
  const std::size_t line_end = text.find('\n', end);
  return line_end == std::string_view::npos ? text.size() : line_end + 1;
}

// Reads, in one pass, the data row of the line that starts at at, when it
// has the shape that most rows have: no blank at the ends of the row or of a
// field, and every value plain (read_plain_value). Its values are then those
// the row parser would store. Returns where the next line starts, after
// appending the values; or npos, appending nothing, for a row of any other
// shape, which the row parser reads.
std::size_t read_plain_row(std::string_view text, std::size_t at, const std::vector<int>& codes,
                           table_values& table) {
  const std::size_t first = table.values.size();
  const std::size_t first_long = table.long_values.size();
  for (std::size_t j = 0; j < codes.size(); ++j) {
    const std::size_t end = read_plain_value(text, at, codes[j], table);
    if (end == std::string_view::npos) break;
    if (j + 1 == codes.size()) {
      const std::size_t next = end_plain_row(text, end);
      if (next != std::string_view::npos) return next;
      break;
    }
    if (end == text.size() || text[end] != ',') break;
    at = end + 1;
  }
  table.values.resize(first);
  table.long_values.resize(first_long);
  return std::string_view::npos;
}

// The table whose rows the reader reads: its name, the columns of its first
// declaration, and its values.
struct current_table {
  std::string name;
  const std::vector<int>* codes = nullptr;
  const std::vector<std::string>* names = nullptr;
  table_values* values = nullptr;
};

// Reads the declaration line line, rest being the text after it: enters the
// table into the catalogue, unless its name is taken, and makes it the
// current table, whose values then have room for the rows of the block.
int read_declaration(std::string_view line, std::string_view rest, table_data_map& table_data,
                     column_types_map& column_types, column_names_map& column_names,
                     current_table& table, std::string* reason) {
  std::vector<std::string> names;
  std::vector<int> codes;
  if (parse_declaration(line, table.name, names, codes, reason) != status_ok) return status_failed;
  column_types.try_emplace(table.name, std::move(codes));
  column_names.try_emplace(table.name, std::move(names));
  // Rows go to the table's first declaration, which a repeated name keeps.
  table.codes = &column_types.at(table.name);
  table.names = &column_names.at(table.name);
  table.values = &table_data[table.name];
  // The block's rows are counted first, so that the values grow once.
  table.values->values.reserve(table.values->values.size() +
                               count_block_rows(rest) * table.codes->size());
  return status_ok;
}

// Reads the data row line of the current table.
int read_row(std::string_view text, std::string_view line, const current_table& table,
             std::string* reason) {
  if (parse_row(text, line, *table.codes, *table.values, reason, table.names) == status_ok) {
    return status_ok;
  }
  if (reason != nullptr) *reason = "row of table " + quote(table.name) + ": " + *reason;
  return status_failed;
}

// Reads the next line of rest, which is a row of the current table when no
// declaration is expected: most rows in one pass, the others through the row
// parser. A blank line has a declaration expected next.
int read_next_line(std::string_view text, std::string_view& rest, bool& expect_declaration,
                   table_data_map& table_data, column_types_map& column_types,
                   column_names_map& column_names, current_table& table, std::string* reason) {
  if (!expect_declaration) {
    const std::size_t at = static_cast<std::size_t>(rest.data() - text.data());
    const std::size_t next = read_plain_row(text, at, *table.codes, *table.values);
    if (next != std::string_view::npos) {
      rest = text.substr(next);
      return status_ok;
    }
  }
  std::string_view line;
  read_line(rest, line);
  line = trim(line);
  if (line.empty()) {
    expect_declaration = true;
    return status_ok;
  }
  if (!expect_declaration) return read_row(text, line, table, reason);
  expect_declaration = false;
  return read_declaration(line, rest, table_data, column_types, column_names, table, reason);
}

}  // namespace

int tabla_ertelmezo(std::string_view text, table_data_map& table_data,
                    column_types_map& column_types, column_names_map& column_names,
                    failure_detail* detail, const progress_report* progress) {
  if (text.size() >= text_limit) return fail_at(detail, 0, "the input is 1 TiB or larger");
  bool expect_declaration = true;
  current_table table;
  std::string reason;
  std::size_t line_number = 1;  // the join statement's
  for (std::string_view rest = text; !rest.empty();) {
    if (line_number % report_every == 0) {
      report(progress, "reading", text.size() - rest.size(), text.size(), "bytes");
    }
    ++line_number;
    if (read_next_line(text, rest, expect_declaration, table_data, column_types, column_names,
                       table, detail != nullptr ? &reason : nullptr) != status_ok) {
      return fail_at(detail, line_number, reason);
    }
  }
  return status_ok;
}

// ---------------------------------------------------------------------------
// Natural join
//
// The running result is kept as row numbers: for each table joined so far,
// the row of it that every running row comes from. A step finds, for each
// row of the new table, the running rows that it meets (key_groups), leaves
// out repeated rows (repeated_rows), and writes the next row numbers from
// those groups (running_result). Values are read only to hash and compare
// keys, and to tell repeated rows apart.

namespace {

// The table of the catalogue named name.
// REQUIRES: the catalogue holds it.
table_ref find_table(const std::string& name, const table_data_map& table_data,
                     const column_types_map& column_types, const column_names_map& column_names) {
  return {table_data.at(name), column_names.at(name), column_types.at(name)};
}

// Whether an array of count entries of size bytes fits in the share of
// memory that a result may take: half of limit, what the process may use,
// the other half holding the input, the tables and the work of the step.
bool fits(std::size_t count, std::size_t size, std::size_t limit) {
  return count <= limit / 2 / size;
}

// The new table's columns against the running ones: the running positions of
// the key columns, the new table's key columns in the same order, and the
// positions in the new table of its new columns.
struct step_columns {
  std::vector<std::size_t> shared;
  std::vector<column_view> new_key;
  std::vector<std::size_t> added;
};

// Pairs the columns of the new table with the running columns of the same
// name. Returns 2 for a pair declared differently.
int match_columns(const running_result& running, const std::vector<std::string>& result_columns,
                  const table_ref& table, step_columns& columns) {
  std::unordered_map<std::string_view, std::size_t> running_position;
  for (std::size_t k = 0; k < result_columns.size(); ++k) {
    running_position.emplace(result_columns[k], k);
  }
  for (std::size_t j = 0; j < table.names.size(); ++j) {
    auto it = running_position.find(table.names[j]);
    if (it == running_position.end()) {
      columns.added.push_back(j);
      continue;
    }
    if (running.codes[it->second] != table.codes[j]) return status_conflict;
    columns.shared.push_back(it->second);
    columns.new_key.push_back(table_column(table, j));
  }
  return status_ok;
}

// Leaves repeated rows out of the step's groups. Later running rows are as
// distinct as the tables that make them; only the first table and the new
// one may still hold repeated rows. The rows of a group agree on the key
// columns: only the others are compared.
void leave_out_repeats(std::string_view text, const running_result& running, const table_ref& table,
                       const step_columns& columns, step_groups& groups) {
  if (running.rows.size() == 1 && !groups.running_distinct) {
    std::vector<column_view> first;
    for (std::size_t k = 0; k < running.first_width; ++k) {
      if (std::find(columns.shared.begin(), columns.shared.end(), k) == columns.shared.end()) {
        first.push_back(running.sources[k]);
      }
    }
    keep_first_running(text, first, groups);
  }
  if (!groups.new_distinct) {
    std::vector<column_view> others;
    for (std::size_t j : columns.added) others.push_back(table_column(table, j));
    keep_first_new(text, others, groups);
  }
}

// Joins the new table to the running result: match the columns, then the
// rows, leave out repeated rows, check the size, and take the result.
// Returns a status as join does; 1 also for a result that memory could not
// hold, which fails here, at once, instead of being built until the system
// stops the process.
int join_step(std::string_view text, running_result& running,
              std::vector<std::string>& result_columns, const table_ref& table,
              const step_count& counted) {
  step_columns columns;
  if (match_columns(running, result_columns, table, columns) != status_ok) return status_conflict;
  const std::size_t new_rows = table_rows(table);
  if (new_rows >= max_rows) return status_failed;
  step_groups groups;
  if (columns.shared.empty()) {
    match_all(running.row_count, new_rows, groups);
  } else {
    match_by_key(text, running_columns(running, columns.shared), running.row_count, columns.new_key,
                 new_rows, groups, counted);
  }
  leave_out_repeats(text, running, table, columns, groups);
  const std::size_t total = count_result(groups);
  const std::size_t tables = running.rows.size() + 1;
  if (total >= max_rows || !fits(total, tables * sizeof(std::uint32_t), running.memory)) {
    return status_failed;
  }
  take_step(running, table, columns.added, groups, total);
  for (std::size_t j : columns.added) result_columns.push_back(table.names[j]);
  return status_ok;
}

std::string type_name(int code) {
  return code < 0 ? "int" : "char(" + std::to_string(code) + ")";
}

// Checks the named tables on their declarations alone, in statement order:
// a table that is not defined, or a column declared unlike the column of the
// same name that an earlier table brought, fails the join before any row is
// joined, however long or large the steps before it would be. Returns a
// status as join does.
int check_declarations(const std::vector<std::string>& join_tables,
                       const column_types_map& column_types, const column_names_map& column_names,
                       failure_detail* detail) {
  // Each column so far, with its code and the table that brought it.
  std::unordered_map<std::string_view, std::pair<int, const std::string*>> columns;
  for (const std::string& name : join_tables) {
    auto names = column_names.find(name);
    if (names == column_names.end() || names->second.empty()) {
      return fail_at(
          detail, 1,
          "table " + quote(name) + " of the join statement is defined nowhere in the file");
    }
    const std::vector<int>& codes = column_types.at(name);
    for (std::size_t j = 0; j < codes.size(); ++j) {
      auto [it, added] = columns.try_emplace(names->second[j], codes[j], &name);
      if (!added && it->second.first != codes[j]) {
        if (detail != nullptr) {
          *detail = {0, "column " + quote(names->second[j]) + " is declared " +
                            type_name(it->second.first) + " in table " + quote(*it->second.second) +
                            " but " + type_name(codes[j]) + " in table " + quote(name)};
        }
        return status_conflict;
      }
    }
  }
  return status_ok;
}

// Joins the tables after the first, one step each, telling progress how far
// each step has got in the rows of both its sides.
int join_steps(std::string_view text, const std::vector<std::string>& join_tables,
               const table_data_map& table_data, const column_types_map& column_types,
               const column_names_map& column_names, running_result& running,
               std::vector<std::string>& result_columns, failure_detail* detail,
               const progress_report* progress) {
  for (std::size_t t = 1; t < join_tables.size(); ++t) {
    const std::string& name = join_tables[t];
    const table_ref table = find_table(name, table_data, column_types, column_names);
    const std::string stage = "joining " + name;
    const std::size_t step_rows = running.row_count + table_rows(table);
    const step_count counted = [&](std::size_t rows) {
      report(progress, stage, rows, step_rows, "rows");
    };
    const int step = join_step(text, running, result_columns, table, counted);
    if (step == status_failed) {
      return fail_at(detail, 0,
                     "joining table " + quote(name) + " would give a result too large for memory");
    }
    if (step != status_ok) return step;
  }
  return status_ok;
}

// Leaves out the repeated rows that no step has: those of a join of one
// table, which are all one group, and rows whose texts are equal where a
// char value holds a ",". Returns 1 when the search would not fit in memory.
int leave_out_last_repeats(std::string_view text, const std::vector<std::string>& join_tables,
                           const table_data_map& table_data, running_result& running,
                           const std::vector<std::string>& result_columns) {
  number_first_rows(running);
  if (join_tables.size() == 1) {
    row_slots slots;
    running.row_count =
        keep_first_rows(text, running.sources, running.rows[0].data(), running.row_count, slots);
    running.rows[0].resize(running.row_count);
  }
  bool commas = false;
  for (const std::string& name : join_tables) commas = commas || table_data.at(name).holds_commas;
  if (!commas) return status_ok;
  if (!fits(running.row_count, 4 * sizeof(std::uint64_t), running.memory)) return status_failed;
  // The texts are those the writer writes: values in the byte order of the
  // column names.
  std::vector<std::size_t> order(result_columns.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return result_columns[a] < result_columns[b]; });
  running.row_count =
      drop_repeats(text, running_columns(running, order), running.rows, running.row_count);
  return status_ok;
}

// Hands the running result over as the result table.
void finish_result(running_result& running, const std::vector<std::string>& result_columns,
                   result_types_map& result_types, result_data_map& result_data) {
  std::vector<std::shared_ptr<const row_numbers>> rows;
  for (row_numbers& table_rows : running.rows) {
    rows.push_back(std::make_shared<const row_numbers>(std::move(table_rows)));
  }
  for (std::size_t p = 0; p < result_columns.size(); ++p) {
    result_types.emplace(result_columns[p], running.codes[p]);
    const column_view& source = running.sources[p];
    result_data.emplace(result_columns[p], result_column{source.table, source.index, source.stride,
                                                         rows[running.table_of[p]]});
  }
}

}  // namespace

int join(std::string_view text, const std::vector<std::string>& join_tables,
         const table_data_map& table_data, const column_types_map& column_types,
         const column_names_map& column_names, result_types_map& result_types,
         std::vector<std::string>& result_columns, result_data_map& result_data,
         failure_detail* detail, const progress_report* progress) {
  result_types.clear();
  result_columns.clear();
  result_data.clear();
  if (join_tables.empty()) return fail_at(detail, 1, "the join statement names no table");
  const int checked = check_declarations(join_tables, column_types, column_names, detail);
  if (checked != status_ok) return checked;
  // Every name is now a table with columns; the first one starts the result.
  running_result running;
  start_running(find_table(join_tables.front(), table_data, column_types, column_names), running);
  result_columns = column_names.at(join_tables.front());
  running.memory = memory_limit();
  if (running.row_count >= max_rows) {
    return fail_at(detail, 0, "the result would have 2^32 - 1 rows or more");
  }
  const int joined = join_steps(text, join_tables, table_data, column_types, column_names, running,
                                result_columns, detail, progress);
  if (joined != status_ok) return joined;
  if (leave_out_last_repeats(text, join_tables, table_data, running, result_columns) != status_ok) {
    return fail_at(detail, 0, "the result is too large for memory to find its repeated rows");
  }
  finish_result(running, result_columns, result_types, result_data);
  return status_ok;
}

// ---------------------------------------------------------------------------
// Result file writer

namespace {

// The output is handed to the sink in blocks of about this size; the buffer
// grows as the text does, up to about a block, so that a small output takes
// little memory.
constexpr std::size_t block_size = 1 << 20;

// Hands the text of out to sink once it has grown to a block. Returns 1
// when sink fails.
int hand_on_full(text_buffer& out, const output_sink& sink) {
  if (out.used < block_size) return status_ok;
  const int written = sink(text_of(out));
  out.used = 0;
  return written;
}

void format_header(const std::vector<std::string>& result_columns,
                   const result_types_map& result_types, std::string_view line_end,
                   text_buffer& out) {
  std::string header = "result(";
  for (std::size_t i = 0; i < result_columns.size(); ++i) {
    if (i != 0) header += ", ";
    header += result_columns[i];
    int code = result_types.at(result_columns[i]);
    header += code < 0 ? " int" : " char(" + std::to_string(code) + ")";
  }
  header += ")";
  header += line_end;
  append_bytes(out, header);
}

// Appends lines, whose line ends are a bare "\n", each with line_end instead.
void append_lines(std::string_view lines, std::string_view line_end, text_buffer& out) {
  if (line_end == "\n") return append_bytes(out, lines);
  for (std::size_t end; (end = lines.find('\n')) != std::string_view::npos;) {
    append_bytes(out, lines.substr(0, end));
    append_bytes(out, line_end);
    lines.remove_prefix(end + 1);
  }
  append_bytes(out, lines);
}

// Appends a piece of the input with every line end made line_end. A line
// ends at "\n", and a "\r" right before it belongs to the line end.
void append_copy(std::string_view piece, std::string_view line_end, text_buffer& out) {
  for (std::size_t at = 0;;) {
    const std::size_t cr = piece.find("\r\n", at);
    append_lines(piece.substr(at, (cr == std::string_view::npos ? piece.size() : cr) - at),
                 line_end, out);
    if (cr == std::string_view::npos) return;
    append_bytes(out, line_end);
    at = cr + 2;
  }
}

// How much of rest the copy takes at once: about a block, up to the end of
// its last line; a line longer than that is cut, but never inside a "\r\n".
std::size_t copy_piece(std::string_view rest) {
  const std::size_t take = std::min(rest.size(), block_size);
  const std::size_t last = rest.rfind('\n', take - 1);
  if (last != std::string_view::npos) return last + 1;
  return take < rest.size() && rest[take - 1] == '\r' ? take - 1 : take;
}

// Writes the copy of the input, every line with line_end, and the separator
// line. Since the end of the input is noticed only by a read that runs into
// it, an input that ends with a line end gives one more, empty, line; either
// way the last line, empty or not, gets one.
int write_copy(std::string_view input, std::string_view line_end, text_buffer& out,
               const output_sink& sink) {
  for (std::string_view rest = input; !rest.empty();) {
    const std::size_t take = copy_piece(rest);
    append_copy(rest.substr(0, take), line_end, out);
    rest.remove_prefix(take);
    if (hand_on_full(out, sink) != status_ok) return status_failed;
  }
  append_bytes(out, line_end);
  append_bytes(out, line_end);
  return status_ok;
}

// The result columns in the order of result_columns, read through their rows.
std::vector<column_view> result_views(const std::vector<std::string>& result_columns,
                                      const result_types_map& result_types,
                                      const result_data_map& result_data) {
  std::vector<column_view> columns;
  for (const std::string& name : result_columns) {
    const result_column& column = result_data.at(name);
    columns.push_back({column.table, column.index, column.stride, column.rows->data(),
                       result_types.at(name), column.table->values.size() <= cached_values});
  }
  return columns;
}

// Writes the text of every one of rows result rows of columns, in order.
int write_rows(std::string_view text, const std::vector<column_view>& columns, std::size_t rows,
               std::string_view line_end, text_buffer& out, const output_sink& sink,
               const progress_report* progress) {
  const std::vector<column_view> leaders = row_leaders(columns);
  prefetch_batch(text, leaders, 0, rows);
  for (std::size_t first = 0; first < rows; first += batch_rows) {
    if (first % report_every == 0) report(progress, "writing", first, rows, "rows");
    prefetch_batch(text, leaders, first + batch_rows, rows);
    for (std::size_t row = first; row < std::min(first + batch_rows, rows); ++row) {
      append_row(text, columns, row, out, line_end);
    }
    if (hand_on_full(out, sink) != status_ok) return status_failed;
  }
  return status_ok;
}

}  // namespace

int write_result(std::string_view input, std::string_view text,
                 std::vector<std::string>& result_columns, const result_types_map& result_types,
                 const result_data_map& result_data, const output_sink& sink,
                 std::string_view line_end, const progress_report* progress) {
  std::sort(result_columns.begin(), result_columns.end());
  text_buffer out;
  if (write_copy(input, line_end, out, sink) != status_ok) return status_failed;
  format_header(result_columns, result_types, line_end, out);
  const std::size_t rows = result_data.at(result_columns.front()).rows->size();
  if (write_rows(text, result_views(result_columns, result_types, result_data), rows, line_end, out,
                 sink, progress) != status_ok) {
    return status_failed;
  }
  return sink(text_of(out));
}
