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
#include "pieces.h"
#include "reasons.h"
#include "repeated_rows.h"
#include "row_format.h"
#include "row_parser.h"
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

int fail_at(failure_detail* detail, std::size_t line, std::string text) {
  if (detail != nullptr) *detail = {line, std::move(text)};
  return status_failed;
}

// Tells progress how far a stage has got, where one is given.
void report(const progress_report* progress, std::string_view stage, std::size_t done,
            std::size_t total, std::string_view unit) {
  if (progress != nullptr) (*progress)(stage, done, total, unit);
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

// Whether a line that begins with c could be blank, or the last one.
constexpr std::string_view may_be_blank = " \t\r\n";

// Passes the data rows of a block from at, the start of a line: the lines up
// to its first blank line, but no more than limit rows. Returns where the
// rows passed end, and counts them in rows. Most lines begin with a byte that
// is no blank and so are rows; only the others are read and trimmed.
std::size_t pass_rows(std::string_view text, std::size_t at, std::size_t limit, std::size_t& rows) {
  while (rows < limit && at < text.size()) {
    if (may_be_blank.find(text[at]) == std::string_view::npos) {
      at = skip_lines(text, at, may_be_blank, rows, limit);
      continue;
    }
    std::string_view rest = text.substr(at);
    std::string_view line;
    read_line(rest, line);
    if (trim(line).empty()) break;
    ++rows;
    at = text.size() - rest.size();
  }
  return at;
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

namespace {

// Where the rows of a declared table go: the columns of its first
// declaration, its values, the rows that its blocks have so far, and the
// line of its first declaration.
struct table_entry {
  std::string name;
  const std::vector<int>* codes = nullptr;
  const std::vector<std::string>* names = nullptr;
  table_values* values = nullptr;
  std::size_t rows = 0;
  std::size_t line = 0;
};

// A run of data rows of one block, which one thread reads: where its first
// line starts, how many lines it has, the line number of the first, its
// table, and the row of the table that its first line becomes.
struct row_piece {
  std::size_t begin;
  std::size_t rows;
  std::size_t first_line;
  table_entry* table;
  std::size_t first_row;
};

// A failure of the reader: the line, or none, and why.
struct read_failure {
  std::size_t line = static_cast<std::size_t>(-1);
  std::string reason;
};

// What the scan of the blocks finds: the tables, each once however many
// blocks it has, and the pieces of their rows, in the order of the text.
struct block_scan {
  std::map<std::string, table_entry> tables;
  std::vector<row_piece> pieces;
};

// Reads the declaration line line: enters the table into the catalogue,
// unless its name is taken, and returns where its rows go; null when the
// line is malformed.
table_entry* read_declaration(std::string_view line, std::size_t line_number,
                              table_data_map& table_data, column_types_map& column_types,
                              column_names_map& column_names, block_scan& scan,
                              std::string* reason) {
  std::string name;
  std::vector<std::string> names;
  std::vector<int> codes;
  if (parse_declaration(line, name, names, codes, reason) != status_ok) return nullptr;
  column_types.try_emplace(name, std::move(codes));
  column_names.try_emplace(name, std::move(names));
  // Rows go to the table's first declaration, which a repeated name keeps.
  table_entry& table = scan.tables[name];
  if (table.values == nullptr) {
    table = {name,       &column_types.at(name), &column_names.at(name), &table_data[name], 0,
             line_number};
  }
  return &table;
}

// Cuts the data rows of a block, from at on, into pieces of at most
// piece_rows rows; line_number is the line before at. Returns where the
// block's rows end.
std::size_t cut_block(std::string_view text, std::size_t at, std::size_t piece_rows,
                      table_entry& table, std::size_t& line_number, block_scan& scan) {
  for (;;) {
    std::size_t rows = 0;
    const std::size_t end = pass_rows(text, at, piece_rows, rows);
    if (rows == 0) return end;
    scan.pieces.push_back({at, rows, line_number + 1, &table, table.rows});
    table.rows += rows;
    line_number += rows;
    at = end;
    if (rows < piece_rows) return end;
  }
}

// Scans the blocks of text in order: reads each declaration line, and cuts
// the rows below it into pieces. Stops at the first malformed declaration,
// which it records in failure.
void scan_blocks(std::string_view text, table_data_map& table_data, column_types_map& column_types,
                 column_names_map& column_names, std::size_t piece_rows, block_scan& scan,
                 read_failure& failure, const progress_report* progress) {
  std::size_t line_number = 1;  // the join statement's
  for (std::size_t at = 0; at < text.size();) {
    std::string_view rest = text.substr(at);
    std::string_view line;
    read_line(rest, line);
    ++line_number;
    at = text.size() - rest.size();
    line = trim(line);
    if (line.empty()) continue;
    table_entry* table = read_declaration(line, line_number, table_data, column_types, column_names,
                                          scan, &failure.reason);
    if (table == nullptr) {
      failure.line = line_number;
      return;
    }
    const std::size_t before = line_number;
    at = cut_block(text, at, piece_rows, *table, line_number, scan);
    if (before / report_every != line_number / report_every) {
      report(progress, "reading", at, text.size(), "bytes");
    }
  }
}

// Reads the rows of piece into values, working lists of the thread's own:
// most rows in one pass, the others through the row parser. Returns 0, or 1
// with failure filled.
int read_piece(std::string_view text, const row_piece& piece, table_values& values,
               read_failure& failure) {
  const table_entry& table = *piece.table;
  std::size_t at = piece.begin;
  for (std::size_t i = 0; i < piece.rows; ++i) {
    const std::size_t next = read_plain_row(text, at, *table.codes, values);
    if (next != std::string_view::npos) {
      at = next;
      continue;
    }
    std::string_view rest = text.substr(at);
    std::string_view line;
    read_line(rest, line);
    at = text.size() - rest.size();
    if (parse_row(text, trim(line), *table.codes, values, &failure.reason, table.names) !=
        status_ok) {
      failure.line = piece.first_line + i;
      failure.reason = "row of table " + quote(table.name) + ": " + failure.reason;
      return status_failed;
    }
  }
  return status_ok;
}

// Reads every piece, on up to split.threads threads, into the values of its
// table, which have room for all its rows; only the calling thread tells
// progress how far it has got. The long values of a piece are
// kept apart, in long_values, until every piece has been read.
void read_pieces(std::string_view text, const std::vector<row_piece>& pieces,
                 std::vector<std::vector<long_value>>& long_values,
                 std::vector<read_failure>& failures, const progress_report* progress,
                 const work_split& split) {
  std::vector<own_line<table_values>> working(split.threads);
  std::vector<char> commas(pieces.size(), 0);
  run_pieces(split.threads, pieces.size(), [&](std::size_t p, std::size_t thread) {
    const row_piece& piece = pieces[p];
    if (thread == 0 &&
        piece.first_line / report_every != (piece.first_line + piece.rows) / report_every) {
      report(progress, "reading", piece.begin, text.size(), "bytes");
    }
    table_values& values = working[thread].value;
    values.values.clear();
    if (read_piece(text, piece, values, failures[p]) != status_ok) return;
    const std::size_t width = piece.table->codes->size();
    std::copy(values.values.begin(), values.values.end(),
              piece.table->values->values.begin() + piece.first_row * width);
    long_values[p].swap(values.long_values);
    values.long_values.clear();
    commas[p] = values.holds_commas;
    values.holds_commas = false;
  });
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    table_values& table = *pieces[p].table->values;
    table.long_values.insert(table.long_values.end(), long_values[p].begin(), long_values[p].end());
    table.holds_commas = table.holds_commas || commas[p] != 0;
  }
}

}  // namespace

int tabla_ertelmezo(std::string_view text, table_data_map& table_data,
                    column_types_map& column_types, column_names_map& column_names,
                    failure_detail* detail, const progress_report* progress,
                    const work_split& split) {
  if (text.size() >= text_limit) return fail_at(detail, 0, "the input is 1 TiB or larger");
  block_scan scan;
  read_failure failure;
  scan_blocks(text, table_data, column_types, column_names, split.piece_rows, scan, failure,
              progress);
  for (auto& [name, table] : scan.tables) {
    table.values->values.resize(table.rows * table.codes->size());
  }
  std::vector<std::vector<long_value>> long_values(scan.pieces.size());
  std::vector<read_failure> failures(scan.pieces.size());
  read_pieces(text, scan.pieces, long_values, failures, progress, split);
  // The first malformed line of the text is the one reported, and the tables
  // declared after it are taken out again: reading stops at that line.
  for (read_failure& piece : failures) {
    if (piece.line < failure.line) failure = std::move(piece);
  }
  if (failure.line == read_failure().line) return status_ok;
  for (const auto& [name, table] : scan.tables) {
    if (table.line < failure.line) continue;
    table_data.erase(name);
    column_types.erase(name);
    column_names.erase(name);
  }
  return fail_at(detail, failure.line, std::move(failure.reason));
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
                       const step_columns& columns, step_groups& groups, const work_split& split) {
  if (running.rows.size() == 1 && !groups.running_distinct) {
    std::vector<column_view> first;
    for (std::size_t k = 0; k < running.first_width; ++k) {
      if (std::find(columns.shared.begin(), columns.shared.end(), k) == columns.shared.end()) {
        first.push_back(running.sources[k]);
      }
    }
    keep_first_running(text, first, groups, split);
  }
  if (!groups.new_distinct) {
    std::vector<column_view> others;
    for (std::size_t j : columns.added) others.push_back(table_column(table, j));
    keep_first_new(text, others, groups, split);
  }
}

// Joins the new table to the running result: match the columns, then the
// rows, leave out repeated rows, check the size, and take the result.
// Returns a status as join does; 1 also for a result that memory could not
// hold, which fails here, at once, instead of being built until the system
// stops the process.
int join_step(std::string_view text, running_result& running,
              std::vector<std::string>& result_columns, const table_ref& table,
              const step_count& counted, const work_split& split) {
  step_columns columns;
  if (match_columns(running, result_columns, table, columns) != status_ok) return status_conflict;
  const std::size_t new_rows = table_rows(table);
  if (new_rows >= max_rows) return status_failed;
  step_groups groups;
  if (columns.shared.empty()) {
    match_all(running.row_count, new_rows, groups);
  } else {
    match_by_key(text, running_columns(running, columns.shared), running.row_count, columns.new_key,
                 new_rows, groups, counted, split);
  }
  leave_out_repeats(text, running, table, columns, groups, split);
  const std::size_t total = count_result(groups, split.piece_rows);
  const std::size_t tables = running.rows.size() + 1;
  if (total >= max_rows || !fits(total, tables * sizeof(std::uint32_t), running.memory)) {
    return status_failed;
  }
  take_step(running, table, columns.added, groups, total, split.threads);
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
               const progress_report* progress, const work_split& split) {
  for (std::size_t t = 1; t < join_tables.size(); ++t) {
    const std::string& name = join_tables[t];
    const table_ref table = find_table(name, table_data, column_types, column_names);
    const std::string stage = "joining " + name;
    const std::size_t step_rows = running.row_count + table_rows(table);
    const step_count counted = [&](std::size_t rows) {
      report(progress, stage, rows, step_rows, "rows");
    };
    const int step = join_step(text, running, result_columns, table, counted, split);
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
                           const std::vector<std::string>& result_columns,
                           const work_split& split) {
  number_first_rows(running);
  if (join_tables.size() == 1) {
    running.row_count =
        keep_first_of_table(text, running.sources, running.rows[0], running.row_count, split);
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
      drop_repeats(text, running_columns(running, order), running.rows, running.row_count, split);
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
         failure_detail* detail, const progress_report* progress, const work_split& split) {
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
                                result_columns, detail, progress, split);
  if (joined != status_ok) return joined;
  if (leave_out_last_repeats(text, join_tables, table_data, running, result_columns, split) !=
      status_ok) {
    return fail_at(detail, 0, "the result is too large for memory to find its repeated rows");
  }
  finish_result(running, result_columns, result_types, result_data);
  return status_ok;
}

// ---------------------------------------------------------------------------
// Result file writer
//
// The output is made in pieces, on several threads where there are, and
// handed to the sink in order, one piece at a time: first the copy of the
// input, then the rows.

namespace {

// The copy of the input is cut into pieces of about piece_rows times this
// many bytes.
constexpr std::size_t bytes_per_row = 32;

// The rows are cut into pieces of about piece_rows values: small enough that the text of the
// pieces in flight stays in the processors' caches until it is written, and that their buffers,
// once grown, serve every later piece.

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

// Where the pieces of the copy of input end: each about piece_bytes long, up
// to the end of its last line; a line longer than that is cut, but never
// inside a "\r\n".
std::vector<std::size_t> copy_ends(std::string_view input, std::size_t piece_bytes) {
  std::vector<std::size_t> ends;
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t take = std::min(input.size() - at, piece_bytes);
    const std::size_t last = input.rfind('\n', at + take - 1);
    if (last != std::string_view::npos && last >= at) {
      at = last + 1;
    } else {
      at += take < input.size() - at && input[at + take - 1] == '\r' ? take - 1 : take;
    }
    ends.push_back(at);
  }
  return ends;
}

// Writes the copy of the input, every line with line_end but the last, which
// write_input_copy ends. A piece whose line ends are already line_end is
// handed on as it is.
int write_copy(std::string_view input, std::string_view line_end, const output_sink& sink,
               const work_split& split) {
  const std::vector<std::size_t> ends = copy_ends(input, split.piece_rows * bytes_per_row);
  std::vector<own_line<text_buffer>> buffers(split.threads + 2);
  std::vector<own_line<std::string_view>> made(buffers.size());
  const piece_work make = [&](std::size_t piece, std::size_t slot) {
    const std::size_t begin = piece == 0 ? 0 : ends[piece - 1];
    const std::string_view lines = input.substr(begin, ends[piece] - begin);
    made[slot].value = lines;
    if (line_end == "\n" && lines.find("\r\n") == std::string_view::npos) return;
    text_buffer& out = buffers[slot].value;
    out.used = 0;
    append_copy(lines, line_end, out);
    made[slot].value = text_of(out);
  };
  const auto use = [&](std::size_t, std::size_t slot) { return sink(made[slot].value); };
  return run_pieces_in_order(split.threads, ends.size(), make, use);
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

// Appends the text of result rows [first, end) of columns, each with
// line_end, a batch at a time; leaders are the row leaders of columns.
void format_rows(std::string_view text, const std::vector<column_view>& columns,
                 const std::vector<column_view>& leaders, std::size_t first, std::size_t end,
                 std::string_view line_end, text_buffer& out) {
  prefetch_batch(text, leaders, first, end);
  for (std::size_t batch = first; batch < end; batch += batch_rows) {
    prefetch_batch(text, leaders, batch + batch_rows, end);
    for (std::size_t row = batch; row < std::min(batch + batch_rows, end); ++row) {
      append_row(text, columns, row, out, line_end);
    }
  }
}

// Writes the text of every one of rows result rows of columns, in order.
int write_rows(std::string_view text, const std::vector<column_view>& columns, std::size_t rows,
               std::string_view line_end, const output_sink& sink, const progress_report* progress,
               const work_split& split) {
  const std::vector<column_view> leaders = row_leaders(columns);
  const std::size_t piece =
      std::max<std::size_t>(1, split.piece_rows / std::max<std::size_t>(1, columns.size()));
  std::vector<own_line<text_buffer>> buffers(split.threads + 2);
  const piece_work make = [&](std::size_t p, std::size_t slot) {
    buffers[slot].value.used = 0;
    format_rows(text, columns, leaders, p * piece, std::min(rows, (p + 1) * piece), line_end,
                buffers[slot].value);
  };
  const auto use = [&](std::size_t p, std::size_t slot) {
    report(progress, "writing", p * piece, rows, "rows");
    return sink(text_of(buffers[slot].value));
  };
  return run_pieces_in_order(split.threads, piece_count(rows, piece), make, use);
}

}  // namespace

int write_input_copy(std::string_view input, const output_sink& sink, std::string_view line_end,
                     const work_split& split) {
  if (write_copy(input, line_end, sink, split) != status_ok) return status_failed;
  const std::string ends = std::string(line_end) + std::string(line_end);
  return sink(ends);
}

int write_result_table(std::string_view text, std::vector<std::string>& result_columns,
                       const result_types_map& result_types, const result_data_map& result_data,
                       const output_sink& sink, std::string_view line_end,
                       const progress_report* progress, const work_split& split) {
  std::sort(result_columns.begin(), result_columns.end());
  text_buffer header;
  format_header(result_columns, result_types, line_end, header);
  if (sink(text_of(header)) != status_ok) return status_failed;
  const std::size_t rows = result_data.at(result_columns.front()).rows->size();
  return write_rows(text, result_views(result_columns, result_types, result_data), rows, line_end,
                    sink, progress, split);
}

int write_result(std::string_view input, std::string_view text,
                 std::vector<std::string>& result_columns, const result_types_map& result_types,
                 const result_data_map& result_data, const output_sink& sink,
                 std::string_view line_end, const progress_report* progress,
                 const work_split& split) {
  if (write_input_copy(input, sink, line_end, split) != status_ok) return status_failed;
  return write_result_table(text, result_columns, result_types, result_data, sink, line_end,
                            progress, split);
}
