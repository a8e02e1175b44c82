#include "read/row_parser.h"

#include "base/reasons.h"
#include "base/status.h"
#include "base/text.h"
#include "base/type_codes.h"
#include "read/byte_scan.h"

namespace natjoin {

namespace {

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

// The end of the comma-separated field of the row that starts at from.
std::size_t field_end(const row_cursor& row, std::size_t from) {
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
  const std::size_t end = field_end(row, row.start);
  std::string_view value = row.line.substr(row.start, end - row.start);
  // Most int values have no blank or leading zero to remove.
  if (value.empty() || is_blank(value.front()) || value.front() == '0' || is_blank(value.back())) {
    value = strip_leading_zeros(trim(value));
  }
  pass_field(row, end);
  return value;
}

// REQUIRES: value stands right after its opening quote, the byte to blame.
int check_width(std::string_view value, int width, refusal* reason) {
  if (value.size() <= static_cast<std::size_t>(width)) return status_ok;
  return fail_because(reason,
                      "its value " + quote(value) + " has " + std::to_string(value.size()) +
                          " bytes, more than its char(" + std::to_string(width) + ")",
                      value.data() - 1);
}

// Moves end, the end of the first field of a char value, on to the
// end of the last field the value takes. A single field is closed by any
// second quote in it; once fields are joined only a quote in the very last
// byte closes the value, so a blank between the closing quote and the next
// comma keeps the joining going. Returns 1 when the row ends first.
int close_value(const row_cursor& row, std::size_t& end, refusal* reason) {
  const std::size_t start = row.start;
  std::string_view text = row.line.substr(start, end - start);
  std::size_t first = text.find('\'');
  std::size_t last = text.rfind('\'');
  while (first == std::string_view::npos || last == first) {
    if (end == row.line.size()) {
      // The quote left open is to blame, or the field's first byte where it has none.
      const std::string_view value = trim(row.line.substr(start));
      const char* at = first == std::string_view::npos ? value.data() : text.data() + first;
      return fail_because(reason,
                          "its value " + quote(value) +
                              " has no closing quote before the end of the row"
                              " (a quote must end the value, right before its comma)",
                          at);
    }
    const std::size_t restored = end;  // the comma that is put back
    end = field_end(row, end + 1);
    text = row.line.substr(start, end - start);
    if (first == std::string_view::npos) {
      // Only the field just joined can hold the first quote.
      std::size_t found = row.line.substr(0, end).find('\'', restored);
      if (found != std::string_view::npos) first = found - start;
    }
    last = text.back() == '\'' ? text.size() - 1 : first;  // first: not closed yet
  }
  return status_ok;
}

// Reads the char value of the next field, of a column of width; joined
// tells whether the value took more than one field, and so holds a ",".
// Returns 1 when the row fails.
int read_char_value(row_cursor& row, int width, std::string_view& value, bool& joined,
                    refusal* reason) {
  std::size_t end = field_end(row, row.start);
  const std::string_view field = row.line.substr(row.start, end - row.start);
  joined = false;
  // Most values stand between quotes right at the ends of their field, with
  // no blank around them.
  if (field.size() >= 2 && field.front() == '\'' && field.back() == '\'') {
    value = field.substr(1, field.size() - 2);
    pass_field(row, end);
    return check_width(value, width, reason);
  }
  const std::size_t first_end = end;
  if (close_value(row, end, reason) != status_ok) return status_failed;
  joined = end != first_end;
  const std::string_view text = trim(row.line.substr(row.start, end - row.start));
  pass_field(row, end);
  if (text.front() != '\'' || text.back() != '\'') {
    const char* at = text.front() != '\'' ? text.data() : text.data() + text.size() - 1;
    return fail_because(reason, "its value " + quote(text) + " does not stand between quotes", at);
  }
  value = text.substr(1, text.size() - 2);
  return check_width(value, width, reason);
}

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
  if (!has_quoted_values(code)) {
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

}  // namespace

int parse_row(std::string_view text, std::string_view line, const std::vector<int>& codes,
              table_values& table, refusal* reason, const std::vector<std::string>* names) {
  row_cursor row{line, text.substr(static_cast<std::size_t>(line.data() - text.data()))};
  for (std::size_t j = 0; j < codes.size(); ++j) {
    if (!row.more) {
      // The missing field would follow the row's last byte.
      return fail_because(reason,
                          std::to_string(codes.size()) + " columns declared, " + std::to_string(j) +
                              " fields found",
                          line.data() + line.size());
    }
    std::string_view value;
    bool joined = false;
    if (!has_quoted_values(codes[j])) {
      value = read_int_value(row);
    } else if (read_char_value(row, codes[j], value, joined, reason) != status_ok) {
      return fail_within(
          reason,
          "column " + (names != nullptr ? quote((*names)[j]) : std::to_string(j + 1)) + ": ");
    }
    add_value(table, static_cast<std::size_t>(value.data() - text.data()), value.size());
    table.holds_commas = table.holds_commas || joined;
  }
  return status_ok;  // surplus fields are ignored
}

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

}  // namespace natjoin
