#include "f1.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <type_traits>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "memory_limit.h"
#include "row_table.h"

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

// Long loops report once every this many rows or lines.
constexpr std::size_t report_every = std::size_t{1} << 16;

// Tells how many rows a join step has handled so far.
using step_count = std::function<void(std::size_t rows)>;

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

// Sixteen bytes are searched at once where the processor can and the text
// has them; elsewhere, and at the end of the text, one at a time.
#if defined(__SSE2__)
constexpr std::size_t chunk = 16;

// Bit i is set where byte i of the chunk at p equals c.
unsigned chunk_equal(const char* p, char c) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}
#else
constexpr std::size_t chunk = 0;

unsigned chunk_equal(const char*, char) {
  return 0;
}
#endif

unsigned chunk_breaks(const char* p) {
  return chunk_equal(p, ',') | chunk_equal(p, '\n');
}

// Finds the end of the comma-separated piece that starts at start. The
// search may read up to readable bytes from the start of line, which lies in
// a longer text: a row is mostly shorter than a chunk.
std::size_t piece_end(std::string_view line, std::size_t start, std::size_t readable) {
  if constexpr (chunk != 0) {
    for (std::size_t at = start; at + chunk <= readable; at += chunk) {
      const unsigned commas = chunk_equal(line.data() + at, ',');
      if (commas == 0 && at + chunk < line.size()) continue;
      const std::size_t comma =
          at + static_cast<std::size_t>(commas == 0 ? chunk : __builtin_ctz(commas));
      return std::min(comma, line.size());
    }
  }
  std::size_t comma = line.find(',', start);
  return comma == std::string_view::npos ? line.size() : comma;
}

// Reads the char value whose field starts at start, and moves start to the
// piece after the last one the value used; joined tells whether the value
// took more than one piece, and so holds a ",". Returns 1 when the row fails.
int read_char_value(std::string_view line, std::size_t readable, std::size_t& start, bool& more,
                    int width, std::string_view& value, bool& joined, std::string* reason) {
  std::size_t end = piece_end(line, start, readable);
  joined = false;
  // Most values stand between quotes right at the ends of their piece, with
  // no blank around them.
  if (end - start >= 2 && line[start] == '\'' && line[end - 1] == '\'') {
    value = line.substr(start + 1, end - start - 2);
    more = end < line.size();
    start = end + 1;
    if (value.size() <= static_cast<std::size_t>(width)) return status_ok;
    return fail_because(reason, "its value " + quote(value) + " has " +
                                    std::to_string(value.size()) + " bytes, more than its char(" +
                                    std::to_string(width) + ")");
  }
  std::string_view text = line.substr(start, end - start);
  std::size_t first = text.find('\'');
  std::size_t last = text.rfind('\'');
  // A single piece is closed by any second quote in it; once pieces are
  // joined only a quote in the very last byte closes the value, so a blank
  // between the closing quote and the next comma keeps the joining going.
  while (first == std::string_view::npos || last == first) {
    if (end == line.size()) {
      return fail_because(reason, "its value " + quote(trim(line.substr(start))) +
                                      " has no closing quote before the end of the row"
                                      " (a quote must end the value, right before its comma)");
    }
    joined = true;
    std::size_t restored = end;  // the comma that is put back
    end = piece_end(line, end + 1, readable);
    text = line.substr(start, end - start);
    if (first == std::string_view::npos) {
      // Only the piece just joined can hold the first quote.
      std::size_t found = line.substr(0, end).find('\'', restored);
      if (found != std::string_view::npos) first = found - start;
    }
    last = text.back() == '\'' ? text.size() - 1 : std::string_view::npos;
    if (last == std::string_view::npos) last = first;  // not closed yet
  }
  more = end < line.size();
  start = end + 1;

  text = trim(text);
  if (text.front() != '\'' || text.back() != '\'') {
    return fail_because(reason, "its value " + quote(text) + " does not stand between quotes");
  }
  value = text.substr(1, text.size() - 2);
  if (value.size() > static_cast<std::size_t>(width)) {
    return fail_because(reason, "its value " + quote(value) + " has " +
                                    std::to_string(value.size()) + " bytes, more than its char(" +
                                    std::to_string(width) + ")");
  }
  return status_ok;
}

// ---------------------------------------------------------------------------
// Stored values
//
// A value is kept as the offset where it starts and its length. The length
// of a long value does not fit its byte; its end is found again from the row
// syntax when it is read: rows are validated when they are read, so the
// rules below only have to retrace what the row parser decided.

// The offset of a value, with its mark of a comma in the top bit.
template <typename Ref>
using offset_word = std::conditional_t<sizeof(Ref) <= 5, std::uint32_t, std::uint64_t>;

template <typename Ref>
constexpr offset_word<Ref> comma_bit = offset_word<Ref>{1} << (sizeof(offset_word<Ref>) * 8 - 1);

// The length byte of a value this long or longer.
constexpr std::size_t long_value = 255;

template <typename Ref>
Ref make_ref(std::size_t offset, std::size_t length, bool holds_comma) {
  const offset_word<Ref> word =
      static_cast<offset_word<Ref>>(offset) | (holds_comma ? comma_bit<Ref> : 0);
  Ref value;
  std::memcpy(value.data(), &word, sizeof word);
  value.back() = static_cast<std::uint8_t>(std::min(length, long_value));
  return value;
}

template <typename Ref>
offset_word<Ref> ref_word(const Ref& value) {
  offset_word<Ref> word;
  std::memcpy(&word, value.data(), sizeof word);
  return word;
}

template <typename Ref>
std::size_t ref_offset(const Ref& value) {
  return static_cast<std::size_t>(ref_word(value) & ~comma_bit<Ref>);
}

template <typename Ref>
bool holds_comma(const Ref& value) {
  return (ref_word(value) & comma_bit<Ref>) != 0;
}

// The length of a value, or long_value.
template <typename Ref>
std::size_t ref_length(const Ref& value) {
  return value.back();
}

// Steps back from end over the spaces and then the tabs before it, never
// before start: the trailing half of trimming.
std::size_t trim_back(std::string_view text, std::size_t start, std::size_t end) {
  while (end > start && text[end - 1] == ' ') --end;
  while (end > start && text[end - 1] == '\t') --end;
  return end;
}

// Where the piece that holds at ends within its line: at its "," or at the
// line's "\n" or the end of text.
std::size_t next_break(std::string_view text, std::size_t at) {
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size(); at += chunk) {
      const unsigned hits = chunk_breaks(text.data() + at);
      if (hits != 0) return at + static_cast<std::size_t>(__builtin_ctz(hits));
    }
  }
  while (at < text.size() && text[at] != ',' && text[at] != '\n') ++at;
  return at;
}

// The last quote from start up to the end of its piece, or start when there
// is none.
std::size_t last_quote_of_piece(std::string_view text, std::size_t start) {
  std::size_t quote = start;
  std::size_t at = start;
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size(); at += chunk) {
      unsigned quotes = chunk_equal(text.data() + at, '\'');
      const unsigned breaks = chunk_breaks(text.data() + at);
      if (breaks != 0) quotes &= (breaks & (~breaks + 1)) - 1;  // the bytes before the break
      if (quotes != 0) quote = at + static_cast<std::size_t>(31 - __builtin_clz(quotes));
      if (breaks != 0) return quote;
    }
  }
  for (; at < text.size() && text[at] != ',' && text[at] != '\n'; ++at) {
    if (text[at] == '\'') quote = at;
  }
  return quote;
}

bool is_comma(std::string_view text, std::size_t at) {
  return at < text.size() && text[at] == ',';
}

// The end of a data row as the row parser saw it, trimmed, given the end of
// its line (its "\n" or the end of text). A "\r" before the "\n" belongs to
// the line end; one at the very end of text belongs to the line.
std::size_t row_end(std::string_view text, std::size_t start, std::size_t line_end) {
  if (line_end < text.size() && line_end > start && text[line_end - 1] == '\r') --line_end;
  return trim_back(text, start, line_end);
}

std::size_t int_value_end(std::string_view text, std::size_t start) {
  std::size_t end = next_break(text, start);
  // The last field of a row was trimmed twice: with its row, then itself.
  if (!is_comma(text, end)) end = row_end(text, start, end);
  return trim_back(text, start, end);
}

std::size_t char_value_end(std::string_view text, std::size_t start, bool joined) {
  // A value of one piece closes at the last quote of that piece.
  if (!joined) return last_quote_of_piece(text, start);
  // Joined pieces close at the first one that ends in a quote: before its
  // "," or, for the last piece of the row, at the end of the trimmed row.
  for (std::size_t end = next_break(text, start);;) {
    const std::size_t piece = end + 1;
    end = next_break(text, piece);
    if (!is_comma(text, end)) return row_end(text, piece, end) - 1;
    if (text[end - 1] == '\'' && end > piece) return end - 1;
  }
}

// Whether a line that begins with c could be blank, or the last one.
bool may_be_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the run of lines from at that begin with no blank ends: at the start
// of the first line that may be blank, or at the end of rest; rows counts the
// lines passed.
std::size_t skip_plain_lines(std::string_view rest, std::size_t at, std::size_t& rows) {
  if constexpr (chunk != 0) {
    for (; at + chunk <= rest.size(); at += chunk) {
      for (unsigned lines = chunk_equal(rest.data() + at, '\n'); lines != 0; lines &= lines - 1) {
        const std::size_t next = at + static_cast<std::size_t>(__builtin_ctz(lines)) + 1;
        ++rows;
        if (next == rest.size() || may_be_blank(rest[next])) return next;
      }
    }
  }
  for (; at < rest.size(); ++at) {
    if (rest[at] != '\n') continue;
    ++rows;
    if (at + 1 == rest.size() || may_be_blank(rest[at + 1])) return at + 1;
  }
  ++rows;  // a last line without a line end
  return at;
}

// The number of lines from the start of rest up to its first blank line: the
// data rows of the block whose declaration came just before. Most lines
// begin with a byte that is no blank and so are rows; only the others are
// read and trimmed one by one.
std::size_t count_block_rows(std::string_view rest) {
  std::size_t rows = 0;
  std::size_t at = 0;
  while (at < rest.size()) {
    if (!may_be_blank(rest[at])) {
      at = skip_plain_lines(rest, at, rows);
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

// Makes the catalogue entries of a declared table, unless its name is taken.
template <typename Ref>
void insert_table(const std::string& table_name, const std::vector<std::string>& names,
                  const std::vector<int>& codes, table_data_of<Ref>& table_data,
                  column_types_map& column_types, column_names_map& column_names) {
  column_types.try_emplace(table_name, codes);
  column_names.try_emplace(table_name, names);
  table_data.try_emplace(table_name);
}

}  // namespace

namespace {

// The text of a long value, whose end is found from the row syntax.
template <typename Ref>
[[gnu::noinline]] std::string_view long_value_text(std::string_view text, const Ref& value,
                                                   int code) {
  const std::size_t start = ref_offset(value);
  const std::size_t end =
      code < 1 ? int_value_end(text, start) : char_value_end(text, start, holds_comma(value));
  return {text.data() + start, end - start};
}

// value_text, which every loop that reads values calls.
template <typename Ref>
[[gnu::always_inline]] inline std::string_view read_value(std::string_view text, const Ref& value,
                                                          int code) {
  if (ref_length(value) == long_value) return long_value_text(text, value, code);
  return {text.data() + ref_offset(value), ref_length(value)};
}

}  // namespace

template <typename Ref>
std::string_view value_text(std::string_view text, Ref value, int code) {
  return read_value(text, value, code);
}

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

  names.clear();
  codes.clear();
  std::string name;
  int code = 0;
  for (std::string_view piece : explode(list, ",")) {
    if (parse_column(trim(piece), name, code, reason) != status_ok) {
      if (reason != nullptr) *reason = table + *reason;
      return status_failed;
    }
    names.push_back(name);
    codes.push_back(code);
  }
  // A repeated name would give one value list two values per row.
  std::set<std::string_view> seen;
  for (const std::string& column : names) {
    if (!seen.insert(column).second) {
      return fail_because(reason, table + "column " + quote(column) + " is declared twice");
    }
  }
  return status_ok;
}

template <typename Ref>
int parse_row(std::string_view text, std::string_view line, const std::vector<int>& codes,
              value_list_of<Ref>& values, std::string* reason,
              const std::vector<std::string>* names) {
  std::size_t start = 0;  // where the field of the next column starts
  bool more = true;       // whether there is a piece at start
  const std::size_t readable = static_cast<std::size_t>(text.data() + text.size() - line.data());
  for (std::size_t j = 0; j < codes.size(); ++j) {
    if (!more) {
      return fail_because(reason, std::to_string(codes.size()) + " columns declared, " +
                                      std::to_string(j) + " fields found");
    }
    std::string_view value;
    bool joined = false;
    if (codes[j] < 1) {
      std::size_t end = piece_end(line, start, readable);
      value = line.substr(start, end - start);
      // Most int values have no blank or leading zero to remove.
      if (value.empty() || is_blank(value.front()) || value.front() == '0' ||
          is_blank(value.back())) {
        value = strip_leading_zeros(trim(value));
      }
      more = end < line.size();
      start = end + 1;
    } else if (read_char_value(line, readable, start, more, codes[j], value, joined, reason) !=
               status_ok) {
      if (reason != nullptr) {
        *reason = "column " + (names != nullptr ? quote((*names)[j]) : std::to_string(j + 1)) +
                  ": " + *reason;
      }
      return status_failed;
    }
    values.push_back(
        make_ref<Ref>(static_cast<std::size_t>(value.data() - text.data()), value.size(), joined));
  }
  return status_ok;  // surplus fields are ignored
}

namespace {

// The first byte from at on that is a, b or c, or the end of text.
std::size_t find_any(std::string_view text, std::size_t at, char a, char b, char c) {
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size(); at += chunk) {
      const char* p = text.data() + at;
      const unsigned hits = chunk_equal(p, a) | chunk_equal(p, b) | chunk_equal(p, c);
      if (hits != 0) return at + static_cast<std::size_t>(__builtin_ctz(hits));
    }
  }
  while (at < text.size() && text[at] != a && text[at] != b && text[at] != c) ++at;
  return at;
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

// Reads, in one pass, the data row of the line that starts at at, when it
// has the shape that most rows have: no blank at the ends of the row or of a
// field, no leading zero, and every char value between quotes at the ends
// of its field, holding no quote or comma and within its width. Its values
// are then those the row parser would store. Returns where the next line
// starts, after appending the values; or npos, appending nothing, for a row
// of any other shape, which the row parser reads.
template <typename Ref>
std::size_t read_plain_row(std::string_view text, std::size_t at, const std::vector<int>& codes,
                           value_list_of<Ref>& values) {
  const std::size_t first = values.size();
  const char* p = text.data();
  const std::size_t size = text.size();
  auto give_up = [&] {
    values.resize(first);
    return std::string_view::npos;
  };
  for (std::size_t j = 0; j < codes.size(); ++j) {
    if (at == size) return give_up();
    std::size_t end = at;
    if (codes[j] < 1) {
      if (is_blank(p[at]) || p[at] == '0') return give_up();
      end = find_any(text, at, ',', '\n', '\r');
      if (end == at || is_blank(p[end - 1])) return give_up();
      values.push_back(make_ref<Ref>(at, end - at, false));
    } else {
      if (p[at] != '\'') return give_up();
      end = find_any(text, at + 1, '\'', ',', '\n');
      if (end == size || p[end] != '\'' || end - at - 1 > static_cast<std::size_t>(codes[j])) {
        return give_up();
      }
      values.push_back(make_ref<Ref>(at + 1, end - at - 1, false));
      ++end;
    }
    if (j + 1 < codes.size()) {
      if (end == size || p[end] != ',') return give_up();
      at = end + 1;
      continue;
    }
    // Past the last value: the line ends here, or surplus fields follow.
    std::size_t next = past_line_end(text, end);
    if (next != std::string_view::npos) return next;
    if (p[end] != ',') return give_up();
    const std::size_t line_end = text.find('\n', end);
    return line_end == std::string_view::npos ? size : line_end + 1;
  }
  return give_up();
}

}  // namespace

template <typename Ref>
int tabla_ertelmezo(std::string_view text, table_data_of<Ref>& table_data,
                    column_types_map& column_types, column_names_map& column_names,
                    failure_detail* detail, const progress_report* progress) {
  bool expect_declaration = true;
  // The current table's column codes and names, in declaration order, and values.
  const std::vector<int>* codes = nullptr;
  const std::vector<std::string>* current_names = nullptr;
  value_list_of<Ref>* values = nullptr;
  std::string table_name;
  std::vector<std::string> names;
  std::vector<int> declared_codes;
  std::string* reason = detail != nullptr ? &detail->second : nullptr;
  std::size_t line_number = 1;  // the join statement's
  std::string_view rest = text;
  std::string_view line;
  while (!rest.empty()) {
    if (line_number % report_every == 0) {
      report(progress, "reading", text.size() - rest.size(), text.size(), "bytes");
    }
    if (!expect_declaration) {
      // Most rows are read in one pass; the others, and the line that ends
      // the block, are read line by line below.
      const std::size_t at = static_cast<std::size_t>(rest.data() - text.data());
      const std::size_t next = read_plain_row(text, at, *codes, *values);
      if (next != std::string_view::npos) {
        ++line_number;
        rest = text.substr(next);
        continue;
      }
    }
    read_line(rest, line);
    ++line_number;
    line = trim(line);
    if (line.empty()) {
      expect_declaration = true;
    } else if (!expect_declaration) {
      if (parse_row(text, line, *codes, *values, reason, current_names) != status_ok) {
        if (detail != nullptr) {
          detail->first = line_number;
          detail->second = "row of table " + quote(table_name) + ": " + *reason;
        }
        return status_failed;
      }
    } else {
      expect_declaration = false;
      if (parse_declaration(line, table_name, names, declared_codes, reason) != status_ok) {
        if (detail != nullptr) detail->first = line_number;
        return status_failed;
      }
      insert_table(table_name, names, declared_codes, table_data, column_types, column_names);
      // Rows go to the table's first declaration, which a repeated name keeps.
      codes = &column_types.at(table_name);
      current_names = &column_names.at(table_name);
      values = &table_data.at(table_name);
      // The block's rows are counted first, so that the values grow once.
      values->reserve(values->size() + count_block_rows(rest) * codes->size());
    }
  }
  return status_ok;
}

// ---------------------------------------------------------------------------
// Natural join
//
// The running result is kept as row numbers: for each table joined so far,
// the row of it that every running row comes from. A step finds, for each
// row of the new table, the running rows that it meets (a group of running
// rows that share a key, or all of them when the tables share no column),
// and writes the next row numbers from those groups. Values are read only
// to hash and compare keys, and to tell repeated rows apart at the end.

namespace {

// No row number stands for this: a row whose key the other side lacks.
constexpr std::uint32_t no_row = 0xffffffffu;

// How many rows ahead a loop asks for the memory it will read.
constexpr std::size_t lookahead = 16;

// Rows are hashed a block at a time, so that what a block needs next is on
// its way while the block before it is worked on.
constexpr std::size_t block_rows = 64;

// A column as the join reads it: the values of its table, its place in a
// row of them and their number, the row of that table for each row of its
// side (none where each row is the table's own), and its type code.
template <typename Ref>
struct column_view {
  const value_list_of<Ref>* values;
  std::size_t index;
  std::size_t stride;
  const std::uint32_t* rows;
  int code;
  bool cached = false;  // the table is small enough to stay in the cache
};

// Byte equality, with no library call for the short texts that keys and
// values mostly are: two overlapping loads of each.
bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  auto load = [](const char* p, std::size_t size) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, size);
    return word;
  };
  if (n >= 8 && n <= 16) {
    return load(a.data(), 8) == load(b.data(), 8) &&
           load(a.data() + n - 8, 8) == load(b.data() + n - 8, 8);
  }
  if (n >= 4 && n < 8) {
    return load(a.data(), 4) == load(b.data(), 4) &&
           load(a.data() + n - 4, 4) == load(b.data() + n - 4, 4);
  }
  return a == b;
}

template <typename Ref>
[[gnu::always_inline]] inline std::size_t value_place(const column_view<Ref>& column,
                                                      std::size_t row) {
  return (column.rows != nullptr ? column.rows[row] : row) * column.stride + column.index;
}

template <typename Ref>
[[gnu::always_inline]] inline const Ref& value_at(const column_view<Ref>& column, std::size_t row) {
  return (*column.values)[value_place(column, row)];
}

template <typename Ref>
[[gnu::always_inline]] inline std::string_view text_at(std::string_view text,
                                                       const column_view<Ref>& column,
                                                       std::size_t row) {
  return read_value(text, value_at(column, row), column.code);
}

template <typename Ref>
void prefetch_values(const std::vector<column_view<Ref>>& columns, std::size_t begin,
                     std::size_t end) {
  for (const column_view<Ref>& column : columns) {
    for (std::size_t row = begin; row < end; ++row) {
      prefetch(column.values->data() + value_place(column, row));
    }
  }
}

template <typename Ref>
void prefetch_texts(std::string_view text, const std::vector<column_view<Ref>>& columns,
                    std::size_t begin, std::size_t end) {
  for (const column_view<Ref>& column : columns) {
    for (std::size_t row = begin; row < end; ++row) {
      prefetch(text.data() + ref_offset(value_at(column, row)));
    }
  }
}

template <typename Ref>
std::uint64_t hash_row(std::string_view text, const std::vector<column_view<Ref>>& columns,
                       std::size_t row) {
  std::uint64_t h = 0;
  for (const column_view<Ref>& column : columns) {
    h = add_hash(h, hash_bytes(text_at(text, column, row)));
  }
  return h;
}

template <typename Ref>
bool same_values(std::string_view text, const std::vector<column_view<Ref>>& a, std::size_t row_a,
                 const std::vector<column_view<Ref>>& b, std::size_t row_b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_text(text_at(text, a[i], row_a), text_at(text, b[i], row_b))) return false;
  }
  return true;
}

// Hashes rows [begin, end) of columns into hashes, keeping the texts of
// their keys in keys (a row's columns one after another), and asks for their
// slots and for what the next blocks will read.
template <typename Ref>
void hash_block(std::string_view text, const std::vector<column_view<Ref>>& columns,
                std::size_t begin, std::size_t end, std::size_t rows, const row_slots& slots,
                std::uint64_t* hashes, std::string_view* keys,
                const std::uint64_t* words = nullptr) {
  // Columns read in the order of their table's rows the processor fetches
  // ahead by itself. The first block asks for itself as well.
  if (columns.front().rows != nullptr) {
    if (begin == 0) {
      prefetch_values(columns, 0, std::min(end + block_rows, rows));
      prefetch_texts(text, columns, 0, std::min(end, rows));
    }
    prefetch_values(columns, std::min(end + block_rows, rows),
                    std::min(end + 2 * block_rows, rows));
    prefetch_texts(text, columns, std::min(end, rows), std::min(end + block_rows, rows));
  }
  for (std::size_t row = begin; row < end; ++row) {
    std::uint64_t h = 0;
    for (const column_view<Ref>& column : columns) {
      *keys = text_at(text, column, row);
      h = add_hash(h, hash_bytes(*keys++));
    }
    hashes[row - begin] = h;
    prefetch_slot(slots, h);
    if (words != nullptr) prefetch(words + first_slot(slots, h));
  }
}

// What the indexed side of a step keeps of its keys beside the table of its
// rows: their texts, when they are few; or, when every key is one value of
// at most seven bytes, each slot's key packed into a word beside the slot,
// so that a probe compares it without reading the indexed row.
struct kept_keys {
  std::vector<std::string_view> texts;
  block_vector<std::uint64_t> words;
};

// The longest value that a word holds, with its length.
constexpr std::size_t packed_bytes = 7;

// The words double the memory of the slots; an indexed side of more rows
// than this, already large beside the input, does without them.
constexpr std::size_t packed_rows = std::size_t{1} << 22;

std::uint64_t pack_key(std::string_view key) {
  unsigned char bytes[8] = {};
  for (std::size_t i = 0; i < key.size(); ++i) bytes[i] = static_cast<unsigned char>(key[i]);
  bytes[7] = static_cast<unsigned char>(key.size());
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  return word;
}

// Whether the key of row of the indexed side is the key whose texts are at
// key. The indexed side's key texts are taken from kept where it has them.
template <typename Ref>
bool same_key(std::string_view text, const std::vector<column_view<Ref>>& indexed,
              const kept_keys& kept, std::size_t row, const std::string_view* key) {
  const std::size_t columns = indexed.size();
  for (std::size_t c = 0; c < columns; ++c) {
    const std::string_view other =
        kept.texts.empty() ? text_at(text, indexed[c], row) : kept.texts[row * columns + c];
    if (!same_text(other, key[c])) return false;
  }
  return true;
}

// The slot of the packed key word with this hash, or the empty slot where
// it belongs.
std::size_t find_packed(const row_slots& slots, const kept_keys& kept, std::uint64_t hash,
                        std::uint64_t word) {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t at = first_slot(slots, hash);; at = (at + 1) & mask) {
    if (slot_is_empty(slots[at]) || kept.words[at] == word) return at;
  }
}

// An indexed side of at most this many key values keeps their texts, which
// then stay in the cache for the rows that look them up.
constexpr std::size_t kept_key_texts = std::size_t{1} << 16;

// Names the key of every row of the indexed side by the first row that has
// it, in ids; slots then holds one row of each distinct key, and kept what
// the side keeps of its keys.
template <typename Ref>
void index_keys(std::string_view text, const std::vector<column_view<Ref>>& key, std::size_t rows,
                row_slots& slots, row_numbers& ids, kept_keys& kept, const step_count& counted) {
  ids.resize(rows);
  const bool keep = rows * key.size() <= kept_key_texts;
  bool pack = !keep && key.size() == 1 && rows <= packed_rows;
  if (pack) kept.words.resize(slots.size());
  std::uint64_t hashes[block_rows];
  std::vector<std::string_view> keys(block_rows * key.size());
  for (std::size_t begin = 0; begin < rows; begin += block_rows) {
    const std::size_t end = std::min(begin + block_rows, rows);
    if (begin % report_every == 0) counted(begin);
    hash_block(text, key, begin, end, rows, slots, hashes, keys.data());
    for (std::size_t row = begin; row < end; ++row) {
      const std::string_view* own = keys.data() + (row - begin) * key.size();
      const std::uint64_t h = hashes[row - begin];
      // A key too long for a word ends the packing; the keys packed so far
      // compare as well as their rows would.
      if (pack && own->size() > packed_bytes) pack = false;
      const std::uint64_t word = pack ? pack_key(*own) : 0;
      std::size_t at =
          pack ? find_packed(slots, kept, h, word) : find_row(slots, h, [&](std::size_t other) {
            return same_key(text, key, kept, other, own);
          });
      if (slot_is_empty(slots[at])) {
        put_row(slots, at, h, row);
        if (pack) kept.words[at] = word;
      }
      ids[row] = slot_row(slots[at]);
      if (keep) kept.texts.insert(kept.texts.end(), own, own + key.size());
    }
  }
  if (!pack) block_vector<std::uint64_t>().swap(kept.words);
}

// The indexed row that the first slot for hash names, when the slot's half
// of the hash agrees, or no_row: the row whose key a probe compares first.
std::uint32_t candidate(const row_slots& slots, std::uint64_t hash) {
  const std::uint64_t slot = slots[first_slot(slots, hash)];
  if (slot_is_empty(slot) || (slot >> 32) != (hash >> 32)) return no_row;
  return slot_row(slot);
}

// Names the key of every row of the probing side by the indexed row that
// has it, or no_row. A block's rows are hashed, then their slots read, then
// the keys those slots name are asked for, before any key is compared.
template <typename Ref>
void probe_keys(std::string_view text, const std::vector<column_view<Ref>>& indexed,
                const kept_keys& kept, const std::vector<column_view<Ref>>& key, std::size_t rows,
                const row_slots& slots, row_numbers& ids, const step_count& counted) {
  const bool packed = !kept.words.empty();
  ids.resize(rows);
  std::uint64_t hashes[block_rows];
  std::uint32_t candidates[block_rows];
  std::vector<std::string_view> keys(block_rows * key.size());
  for (std::size_t begin = 0; begin < rows; begin += block_rows) {
    const std::size_t end = std::min(begin + block_rows, rows);
    if (begin % report_every == 0) counted(begin);
    hash_block(text, key, begin, end, rows, slots, hashes, keys.data(),
               packed ? kept.words.data() : nullptr);
    if (kept.texts.empty() && !packed) {
      for (std::size_t i = 0; i < end - begin; ++i) {
        candidates[i] = candidate(slots, hashes[i]);
        if (candidates[i] != no_row) prefetch_values(indexed, candidates[i], candidates[i] + 1);
      }
      for (std::size_t i = 0; i < end - begin; ++i) {
        if (candidates[i] != no_row)
          prefetch_texts(text, indexed, candidates[i], candidates[i] + 1);
      }
    }
    for (std::size_t row = begin; row < end; ++row) {
      const std::string_view* own = keys.data() + (row - begin) * key.size();
      if (packed) {
        // A key too long for a word is the key of no indexed row.
        const std::size_t at = own->size() > packed_bytes
                                   ? std::string_view::npos
                                   : find_packed(slots, kept, hashes[row - begin], pack_key(*own));
        ids[row] =
            at == std::string_view::npos || slot_is_empty(slots[at]) ? no_row : slot_row(slots[at]);
        continue;
      }
      std::size_t at = find_row(slots, hashes[row - begin], [&](std::size_t other) {
        return same_key(text, indexed, kept, other, own);
      });
      ids[row] = slot_is_empty(slots[at]) ? no_row : slot_row(slots[at]);
    }
  }
}

// For each row of the new table, the running rows that it meets: group
// match[r] of the running rows, or none where match[r] is no_row. Group k
// holds group_start[k + 1] - group_start[k] rows from
// group_rows[group_start[k]] on, in running order; but where alone is set,
// each key is held by one running row, which names it, and group k is
// running row k alone.
struct step_groups {
  row_numbers match;
  std::size_t keys = 0;
  bool alone = false;
  row_numbers group_start;
  row_numbers group_rows;
};

std::size_t group_size(const step_groups& groups, std::uint32_t k) {
  return groups.alone ? 1 : groups.group_start[k + 1] - groups.group_start[k];
}

// Sorts the running rows by the key they hold, keeping their order within a
// key (a counting sort); rows whose key the other side lacks are left out.
// Returns the size of the largest group.
std::size_t group_by_key(const row_numbers& ids, step_groups& groups) {
  const std::size_t keys = groups.keys;
  groups.group_start.assign(keys + 1, 0);
  for (std::uint32_t k : ids) {
    if (k != no_row) ++groups.group_start[k + 1];
  }
  // Each key's entry becomes where its group begins, one place on: placing
  // a row moves it on, so that it ends where the next group begins.
  std::size_t largest = 0;
  std::uint32_t begin = 0;
  for (std::size_t k = 0; k < keys; ++k) {
    const std::uint32_t size = groups.group_start[k + 1];
    largest = std::max<std::size_t>(largest, size);
    groups.group_start[k + 1] = begin;
    begin += size;
  }
  groups.group_rows.resize(begin);
  for (std::size_t s = 0; s < ids.size(); ++s) {
    if (ids[s] != no_row) {
      groups.group_rows[groups.group_start[ids[s] + 1]++] = static_cast<std::uint32_t>(s);
    }
  }
  return largest;
}

// Whether no key is named by two rows of ids.
bool keys_unique(const row_numbers& ids, std::size_t keys) {
  std::vector<bool> seen(keys);
  for (std::uint32_t k : ids) {
    if (k == no_row) continue;
    if (seen[k]) return false;
    seen[k] = true;
  }
  return true;
}

// Whether every row of ids names its own key: no two rows share one.
bool own_keys(const row_numbers& ids) {
  for (std::size_t row = 0; row < ids.size(); ++row) {
    if (ids[row] != row) return false;
  }
  return true;
}

// probe_keys for the running rows. Where their keys all come from one
// joined table, whose rows the running rows follow in another order, and
// the running rows are about as many as that table's, the table's own rows
// are probed in their order, and each running row takes its row's key: the
// keys are then read in the order they lie in.
template <typename Ref>
void probe_running_keys(std::string_view text, const std::vector<column_view<Ref>>& indexed,
                        const kept_keys& texts, const std::vector<column_view<Ref>>& key,
                        std::size_t rows, const row_slots& slots, row_numbers& ids,
                        const step_count& counted) {
  const column_view<Ref>& first = key.front();
  const std::size_t table_rows = first.values->size() / first.stride;
  const bool one_table = std::all_of(key.begin(), key.end(), [&](const column_view<Ref>& c) {
    return c.values == first.values && c.rows == first.rows;
  });
  if (first.rows == nullptr || !one_table || 2 * rows < table_rows) {
    probe_keys(text, indexed, texts, key, rows, slots, ids, counted);
    return;
  }
  std::vector<column_view<Ref>> in_order = key;
  for (column_view<Ref>& column : in_order) column.rows = nullptr;
  row_numbers table_ids;
  probe_keys(text, indexed, texts, in_order, table_rows, slots, table_ids, counted);
  ids.resize(rows);
  for (std::size_t s = 0; s < rows; ++s) {
    if (s + lookahead < rows) prefetch(table_ids.data() + first.rows[s + lookahead]);
    ids[s] = table_ids[first.rows[s]];
  }
}

// Groups the running rows by their values in the key columns, through a
// hash table over the smaller side. running_distinct and new_distinct tell
// whether the rows of each side that meet a row of the other hold
// different keys, and so are different rows.
template <typename Ref>
void match_by_key(std::string_view text, const std::vector<column_view<Ref>>& running_key,
                  std::size_t running_rows, const std::vector<column_view<Ref>>& new_key,
                  std::size_t new_rows, step_groups& groups, bool& running_distinct,
                  bool& new_distinct, const step_count& counted) {
  row_numbers running_ids;
  const bool index_new = new_rows < running_rows;
  const std::size_t keys = index_new ? new_rows : running_rows;
  {
    row_slots slots = make_row_slots(keys);
    kept_keys texts;
    if (index_new) {
      index_keys(text, new_key, new_rows, slots, groups.match, texts, counted);
      probe_running_keys(text, new_key, texts, running_key, running_rows, slots, running_ids,
                         [&](std::size_t rows) { counted(new_rows + rows); });
    } else {
      index_keys(text, running_key, running_rows, slots, running_ids, texts, counted);
      probe_keys(text, running_key, texts, new_key, new_rows, slots, groups.match,
                 [&](std::size_t rows) { counted(running_rows + rows); });
    }
  }
  groups.keys = keys;
  new_distinct = index_new ? own_keys(groups.match) : keys_unique(groups.match, keys);
  if (!index_new) {
    // Where every running row names its own key, each is its own group.
    running_distinct = groups.alone = own_keys(running_ids);
    if (groups.alone) return;
  }
  const std::size_t largest = group_by_key(running_ids, groups);
  if (index_new) running_distinct = largest <= 1;
}

// Every new row meets every running row: one group of all of them.
void match_all(std::size_t running_rows, std::size_t new_rows, step_groups& groups) {
  groups.keys = 1;
  groups.group_start = {0, static_cast<std::uint32_t>(running_rows)};
  groups.group_rows.resize(running_rows);
  for (std::size_t s = 0; s < running_rows; ++s)
    groups.group_rows[s] = static_cast<std::uint32_t>(s);
  groups.match.assign(new_rows, 0);
}

// The result so far: its columns are result_columns, with their codes and
// the value lists they read, and the joined table that brought each; for
// each joined table, the row of it that every running row comes from.
template <typename Ref>
struct running_result {
  std::vector<int> codes;
  std::vector<column_view<Ref>> sources;  // rows unset: they change with every step
  std::vector<std::size_t> table_of;
  std::vector<row_numbers> rows;
  // The first table's rows are its own until the first step.
  bool first_is_whole = true;
  std::size_t row_count = 0;
  // The number of the first table's columns, which come first.
  std::size_t first_width = 0;
  // The memory that the process may use, read once for the run.
  std::size_t memory = 0;
};

template <typename Ref>
const std::uint32_t* rows_of(const running_result<Ref>& running, std::size_t table) {
  return table == 0 && running.first_is_whole ? nullptr : running.rows[table].data();
}

template <typename Ref>
std::vector<column_view<Ref>> running_columns(const running_result<Ref>& running,
                                              const std::vector<std::size_t>& positions) {
  std::vector<column_view<Ref>> columns;
  for (std::size_t k : positions) {
    column_view<Ref> column = running.sources[k];
    column.rows = rows_of(running, running.table_of[k]);
    columns.push_back(column);
  }
  return columns;
}

// Writes into out the rows of one joined table for the next result: for
// each new row, in order, those of the running rows that it meets. source
// is the table's row for each running row (none: the running row itself).
void gather_rows(const std::uint32_t* source, const step_groups& groups, std::size_t total,
                 row_numbers& out) {
  out.resize(total);
  std::size_t i = 0;
  if (groups.alone) {
    for (std::uint32_t k : groups.match) {
      if (k != no_row) out[i++] = source == nullptr ? k : source[k];
    }
    return;
  }
  for (std::uint32_t k : groups.match) {
    if (k == no_row) continue;
    const std::uint32_t* group = groups.group_rows.data() + groups.group_start[k];
    const std::size_t size = group_size(groups, k);
    for (std::size_t g = 0; g < size; ++g) {
      if (source == nullptr) {
        out[i++] = group[g];
        continue;
      }
      if (g + lookahead < size) prefetch(source + group[g + lookahead]);
      out[i++] = source[group[g]];
    }
  }
}

// Writes into out the new table's row for each row of the next result.
void spread_rows(const step_groups& groups, std::size_t total, row_numbers& out) {
  out.resize(total);
  std::size_t i = 0;
  for (std::size_t r = 0; r < groups.match.size(); ++r) {
    if (groups.match[r] == no_row) continue;
    const std::size_t size = group_size(groups, groups.match[r]);
    std::fill_n(out.data() + i, size, static_cast<std::uint32_t>(r));
    i += size;
  }
}

// The number of rows of the next result, or max_rows when it would reach it.
std::size_t count_result(const step_groups& groups) {
  std::size_t total = 0;
  for (std::uint32_t k : groups.match) {
    if (k != no_row) total += group_size(groups, k);
    if (total >= max_rows) return max_rows;
  }
  return total;
}

// Whether an array of count entries of size bytes fits in the share of
// memory that a result may take: half of limit, what the process may use,
// the other half holding the input, the tables and the work of the step.
bool fits(std::size_t count, std::size_t size, std::size_t limit) {
  return count <= limit / 2 / size;
}

// ---------------------------------------------------------------------------
// Repeated rows
//
// The result holds each distinct row text once. Rows are left out where it
// is cheap: within the joined tables, before their rows are multiplied.
//
// Two result rows have equal values in every column only if they come from
// rows of equal values in every joined table, since each table's columns are
// all in the result. So when each table keeps only the first of its rows of
// equal values, no two result rows have equal values; and no row of the
// result is lost, since a row left out gives only rows equal to rows that
// its first twin gives, in the same groups and earlier. Rows of equal values
// have equal keys, so within a step they are found in the group of their
// key, among few rows. A step needs no search at all for a table whose rows
// it finds each with a key of its own: those rows differ.
//
// Equal values give equal texts. Different values give different texts too,
// unless a char value holds a ",", which only that value adds to the text:
// the text of a row is its values joined by ",". When a joined table holds
// such a value, the texts of the result are compared at the end as well.

// Leaves out of rows[0, count), the row numbers of one table in order, every
// row with the values of an earlier one in columns; returns how many are
// kept, at the front.
template <typename Ref>
std::size_t keep_first_rows(std::string_view text, const std::vector<column_view<Ref>>& columns,
                            std::uint32_t* rows, std::size_t count, row_slots& slots) {
  if (count < 2) return count;
  std::size_t size = 16;
  while (size < 2 * count) size *= 2;
  slots.assign(size, 0);
  // The rows of a group lie anywhere in their table: each is asked for
  // ahead, its values first and then the text they point to.
  constexpr std::size_t ahead = 8;
  auto ask = [&](std::size_t i) {
    if (i + 2 * ahead < count)
      prefetch_values(columns, rows[i + 2 * ahead], rows[i + 2 * ahead] + 1);
    if (i + ahead < count) prefetch_texts(text, columns, rows[i + ahead], rows[i + ahead] + 1);
  };
  for (std::size_t i = 0; i < std::min(count, 2 * ahead); ++i) {
    prefetch_values(columns, rows[i], rows[i] + 1);
  }
  for (std::size_t i = 0; i < std::min(count, ahead); ++i) {
    prefetch_texts(text, columns, rows[i], rows[i] + 1);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    ask(i);
    const std::uint32_t row = rows[i];
    const std::uint64_t h = hash_row(text, columns, row);
    std::size_t at = find_row(slots, h, [&](std::size_t earlier) {
      return same_values(text, columns, rows[earlier], columns, row);
    });
    if (!slot_is_empty(slots[at])) continue;
    rows[kept] = row;
    put_row(slots, at, h, kept++);
  }
  return kept;
}

// Leaves the repeated rows of the first table out of the groups of the first
// step, whose running rows are that table's rows.
template <typename Ref>
void keep_first_running(std::string_view text, const std::vector<column_view<Ref>>& columns,
                        step_groups& groups) {
  row_slots slots;
  const std::size_t keys = groups.group_start.size() - 1;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < keys; ++k) {
    const std::size_t begin = groups.group_start[k];
    const std::size_t count = groups.group_start[k + 1] - begin;
    groups.group_start[k] = static_cast<std::uint32_t>(kept);
    std::uint32_t* group = groups.group_rows.data() + kept;
    std::copy(groups.group_rows.data() + begin, groups.group_rows.data() + begin + count, group);
    kept += keep_first_rows(text, columns, group, count, slots);
  }
  groups.group_start[keys] = static_cast<std::uint32_t>(kept);
  groups.group_rows.resize(kept);
}

// Leaves the repeated rows of the new table out of the step: they meet no
// running row.
template <typename Ref>
void keep_first_new(std::string_view text, const std::vector<column_view<Ref>>& columns,
                    step_groups& groups) {
  // The new rows that meet a running row, sorted by their key.
  const std::size_t keys = groups.keys;
  row_numbers start(keys + 1, 0);
  for (std::uint32_t k : groups.match) {
    if (k != no_row && group_size(groups, k) != 0) ++start[k + 1];
  }
  for (std::size_t k = 0; k < keys; ++k) start[k + 1] += start[k];
  row_numbers rows(start[keys]);
  row_numbers fill(start.begin(), start.end() - 1);
  for (std::size_t r = 0; r < groups.match.size(); ++r) {
    const std::uint32_t k = groups.match[r];
    if (k != no_row && group_size(groups, k) != 0) rows[fill[k]++] = static_cast<std::uint32_t>(r);
  }
  row_slots slots;
  for (std::size_t k = 0; k < keys; ++k) {
    const std::size_t count = start[k + 1] - start[k];
    if (count < 2) continue;
    std::uint32_t* group = rows.data() + start[k];
    for (std::size_t i = 0; i < count; ++i) groups.match[group[i]] = no_row;
    const std::size_t kept = keep_first_rows(text, columns, group, count, slots);
    for (std::size_t i = 0; i < kept; ++i) groups.match[group[i]] = static_cast<std::uint32_t>(k);
  }
}

// Whether a char value of the table holds a ",": only those carry the mark.
template <typename Ref>
bool holds_commas(const value_list_of<Ref>& table) {
  offset_word<Ref> marks = 0;
  for (const Ref& value : table) marks |= ref_word(value);
  return (marks & comma_bit<Ref>) != 0;
}

// Joins the new table (new_data, new_names, new_codes) to the running
// result. Returns a status as join does; 1 also for a result that memory
// could not hold.
template <typename Ref>
int join_step(std::string_view text, running_result<Ref>& running,
              std::vector<std::string>& result_columns, const value_list_of<Ref>& new_data,
              const std::vector<std::string>& new_names, const std::vector<int>& new_codes,
              const step_count& counted) {
  std::unordered_map<std::string_view, std::size_t> running_position;
  for (std::size_t k = 0; k < result_columns.size(); ++k) {
    running_position.emplace(result_columns[k], k);
  }
  std::vector<std::size_t> shared;  // running positions of the key columns
  std::vector<column_view<Ref>> new_key;
  std::vector<std::size_t> added;  // positions in the new table of its new columns
  for (std::size_t j = 0; j < new_names.size(); ++j) {
    auto it = running_position.find(new_names[j]);
    if (it == running_position.end()) {
      added.push_back(j);
      continue;
    }
    if (running.codes[it->second] != new_codes[j]) return status_conflict;
    shared.push_back(it->second);
    new_key.push_back({&new_data, j, new_names.size(), nullptr, new_codes[j]});
  }

  const std::size_t running_rows = running.row_count;
  const std::size_t new_rows = new_data.size() / new_names.size();
  if (new_rows >= max_rows) return status_failed;
  step_groups groups;
  bool running_distinct = running_rows <= 1;
  bool new_distinct = new_rows <= 1;
  if (shared.empty()) {
    match_all(running_rows, new_rows, groups);
  } else {
    match_by_key(text, running_columns(running, shared), running_rows, new_key, new_rows, groups,
                 running_distinct, new_distinct, counted);
  }
  const std::size_t tables = running.rows.size() + 1;
  // Later running rows are as distinct as the tables that make them; only
  // the first table and the new one may still hold repeated rows.
  // The rows of a group agree on the key columns: only the others are
  // compared.
  if (tables == 2 && !running_distinct) {
    std::vector<column_view<Ref>> first;
    for (std::size_t k = 0; k < running.first_width; ++k) {
      if (std::find(shared.begin(), shared.end(), k) == shared.end()) {
        first.push_back(running.sources[k]);
      }
    }
    keep_first_running(text, first, groups);
  }
  if (!new_distinct) {
    std::vector<column_view<Ref>> others;
    for (std::size_t j : added)
      others.push_back({&new_data, j, new_names.size(), nullptr, new_codes[j]});
    keep_first_new(text, others, groups);
  }
  const std::size_t total = count_result(groups);
  // A result that memory cannot hold fails here, at once, instead of being
  // built until the system stops the process.
  if (total >= max_rows || !fits(total, tables * sizeof(std::uint32_t), running.memory))
    return status_failed;

  for (std::size_t t = 0; t + 1 < tables; ++t) {
    row_numbers next;
    gather_rows(rows_of(running, t), groups, total, next);
    running.rows[t].swap(next);
  }
  running.first_is_whole = false;
  running.rows.emplace_back();
  spread_rows(groups, total, running.rows.back());
  running.row_count = total;
  for (std::size_t j : added) {
    result_columns.push_back(new_names[j]);
    running.codes.push_back(new_codes[j]);
    running.sources.push_back({&new_data, j, new_names.size(), nullptr, new_codes[j]});
    running.table_of.push_back(tables - 1);
  }
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

}  // namespace

namespace {

// Text built for the output: its first used bytes, and room behind them
// that is not zero-filled first.
struct text_buffer {
  block_vector<char> bytes;
  std::size_t used = 0;
};

// Room kept behind the text, so that making room is seldom needed.
constexpr std::size_t copy_slack = 32;

// Makes room for n more bytes, and the slack of a copy, behind the text.
char* room(text_buffer& out, std::size_t n) {
  if (out.bytes.size() - out.used < n + copy_slack) {
    out.bytes.resize(std::max(2 * out.bytes.size(), out.used + n + copy_slack));
  }
  return out.bytes.data() + out.used;
}

std::string_view text_of(const text_buffer& out) {
  return {out.bytes.data(), out.used};
}

void append_bytes(text_buffer& out, std::string_view bytes) {
  std::memcpy(room(out, bytes.size()), bytes.data(), bytes.size());
  out.used += bytes.size();
}

// Copies text[from, from + n) to out. A short value is copied in two
// overlapping moves of a fixed size, which spares a library call and reads
// no byte outside the value: a byte past it may lie in a line of memory
// that was never fetched.
// A value of a table that stays in the cache is copied in one move of 32
// bytes all the same, and so is one whose 32 bytes end in the line of memory
// that its last byte lies in.
void copy_bytes(std::string_view text, std::size_t from, std::size_t n, char* out, bool cached) {
  const char* in = text.data() + from;
  const auto line = [](const char* p) { return reinterpret_cast<std::uintptr_t>(p) / 64; };
  if (n != 0 && n <= 32 && from + 32 <= text.size() &&
      (cached || line(in + 31) == line(in + n - 1))) {
    std::memcpy(out, in, 32);
  } else if (n >= 16 && n <= 32) {
    std::memcpy(out, in, 16);
    std::memcpy(out + n - 16, in + n - 16, 16);
  } else if (n >= 8 && n < 16) {
    std::memcpy(out, in, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else if (n > 0 && n < 4) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  } else {
    std::memcpy(out, in, n);
  }
}

// Appends the text of one result row, then end: its values in the order of
// columns, joined by ",", those of char columns (code above 0) between
// quotes, which are the quotes that enclose the value in the text. (No end is
// "", not {}: memcpy may not be given a null source, even for no bytes.)
template <typename Ref>
void append_row(std::string_view text, const std::vector<column_view<Ref>>& columns,
                std::size_t row, text_buffer& out, std::string_view end = "") {
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const column_view<Ref>& column = columns[j];
    const std::string_view value = text_at(text, column, row);
    std::size_t from = static_cast<std::size_t>(value.data() - text.data());
    std::size_t to = from + value.size();
    if (column.code > 0) --from, ++to;  // the quotes around it in the text
    char* put = room(out, to - from + 1);
    if (j != 0) *put++ = ',';
    copy_bytes(text, from, to - from, put, column.cached);
    out.used = static_cast<std::size_t>(put - out.bytes.data()) + (to - from);
  }
  append_bytes(out, end);
}

// Rows are formatted a batch at a time, so that the values and the slots a
// batch needs are fetched from memory while the batch before it is handled.
constexpr std::size_t batch_rows = 32;

// A table of this many values or fewer stays in the cache once read.
constexpr std::size_t cached_values = std::size_t{1} << 16;

// Of columns, for each joined table that they read, the first and the last
// in its table's rows: the values of a row lie together, and so do their
// texts in its line, so that asking for the two ends brings the others.
template <typename Ref>
std::vector<column_view<Ref>> row_leaders(const std::vector<column_view<Ref>>& columns) {
  std::vector<column_view<Ref>> firsts;
  std::vector<column_view<Ref>> lasts;
  for (const column_view<Ref>& column : columns) {
    if (column.values->size() <= cached_values) continue;
    auto same = std::find_if(firsts.begin(), firsts.end(), [&](const column_view<Ref>& leader) {
      return leader.values == column.values && leader.rows == column.rows;
    });
    if (same == firsts.end()) {
      firsts.push_back(column);
      lasts.push_back(column);
      continue;
    }
    column_view<Ref>& last = lasts[static_cast<std::size_t>(same - firsts.begin())];
    if (column.index < same->index) *same = column;
    if (column.index > last.index) last = column;
  }
  for (const column_view<Ref>& last : lasts) {
    const bool apart = std::none_of(firsts.begin(), firsts.end(), [&](const column_view<Ref>& c) {
      return c.values == last.values && c.rows == last.rows && c.index == last.index;
    });
    if (apart) firsts.push_back(last);
  }
  return firsts;
}

// Asks for what the batch of rows from first will read; columns are the
// row leaders of the columns read.
template <typename Ref>
void prefetch_batch(std::string_view text, const std::vector<column_view<Ref>>& columns,
                    std::size_t first, std::size_t rows) {
  prefetch_values(columns, std::min(first + batch_rows, rows),
                  std::min(first + 2 * batch_rows, rows));
  prefetch_texts(text, columns, std::min(first, rows), std::min(first + batch_rows, rows));
}

// Keeps the first row of each row text, in order, moving the row numbers of
// the kept rows to the front; returns how many rows are kept. The texts are
// those the writer writes: values in the byte order of the column names.
template <typename Ref>
std::size_t drop_repeats(std::string_view text, running_result<Ref>& running,
                         const std::vector<std::string>& result_columns) {
  std::vector<std::size_t> order(result_columns.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return result_columns[a] < result_columns[b]; });
  const std::vector<column_view<Ref>> columns = running_columns(running, order);
  const std::vector<column_view<Ref>> leaders = row_leaders(columns);
  const std::size_t rows = running.row_count;
  row_slots slots = make_row_slots(rows);
  std::size_t kept = 0;
  text_buffer batch;
  text_buffer other;
  std::size_t ends[batch_rows];
  std::uint64_t hashes[batch_rows];
  for (std::size_t first = 0; first < rows; first += batch_rows) {
    const std::size_t count = std::min(batch_rows, rows - first);
    prefetch_batch(text, leaders, first + batch_rows, rows);
    batch.used = 0;
    for (std::size_t i = 0; i < count; ++i) {
      append_row(text, columns, first + i, batch);
      ends[i] = batch.used;
    }
    for (std::size_t i = 0, begin = 0; i < count; begin = ends[i++]) {
      hashes[i] = hash_bytes(text_of(batch).substr(begin, ends[i] - begin));
      prefetch_slot(slots, hashes[i]);
    }
    for (std::size_t i = 0, begin = 0; i < count; begin = ends[i++]) {
      const std::string_view row_text = text_of(batch).substr(begin, ends[i] - begin);
      std::size_t at = find_row(slots, hashes[i], [&](std::size_t earlier) {
        other.used = 0;
        append_row(text, columns, earlier, other);
        return text_of(other) == row_text;
      });
      if (!slot_is_empty(slots[at])) continue;
      // Kept rows move to the front; an earlier one is found by its new place.
      for (row_numbers& table_rows : running.rows) table_rows[kept] = table_rows[first + i];
      put_row(slots, at, hashes[i], kept++);
    }
  }
  for (row_numbers& table_rows : running.rows) table_rows.resize(kept);
  return kept;
}

// Writes out the row numbers of the first table where they are still its
// own rows, so that every joined table has them.
template <typename Ref>
void number_first_rows(running_result<Ref>& running) {
  if (!running.first_is_whole) return;
  running.rows[0].resize(running.row_count);
  for (std::size_t row = 0; row < running.row_count; ++row) {
    running.rows[0][row] = static_cast<std::uint32_t>(row);
  }
  running.first_is_whole = false;
}

// Hands the running result over as the result table.
template <typename Ref>
void finish_result(running_result<Ref>& running, const std::vector<std::string>& result_columns,
                   result_types_map& result_types, result_data_of<Ref>& result_data) {
  number_first_rows(running);
  std::vector<std::shared_ptr<const row_numbers>> rows;
  for (row_numbers& table_rows : running.rows) {
    rows.push_back(std::make_shared<const row_numbers>(std::move(table_rows)));
  }
  for (std::size_t p = 0; p < result_columns.size(); ++p) {
    result_types.emplace(result_columns[p], running.codes[p]);
    const column_view<Ref>& source = running.sources[p];
    result_data.emplace(
        result_columns[p],
        result_column<Ref>{source.values, source.index, source.stride, rows[running.table_of[p]]});
  }
}

}  // namespace

template <typename Ref>
int join(std::string_view text, const std::vector<std::string>& join_tables,
         const table_data_of<Ref>& table_data, const column_types_map& column_types,
         const column_names_map& column_names, result_types_map& result_types,
         std::vector<std::string>& result_columns, result_data_of<Ref>& result_data,
         failure_detail* detail, const progress_report* progress) {
  result_types.clear();
  result_columns.clear();
  result_data.clear();
  if (join_tables.empty()) return fail_at(detail, 1, "the join statement names no table");
  int checked = check_declarations(join_tables, column_types, column_names, detail);
  if (checked != status_ok) return checked;

  // Every name is now a table with columns; the first one starts the result.
  const std::string& first = join_tables.front();
  const value_list_of<Ref>& first_data = table_data.at(first);
  result_columns = column_names.at(first);
  running_result<Ref> running;
  running.codes = column_types.at(first);
  for (std::size_t j = 0; j < result_columns.size(); ++j) {
    running.sources.push_back({&first_data, j, result_columns.size(), nullptr, running.codes[j]});
    running.table_of.push_back(0);
  }
  running.rows.emplace_back();
  running.row_count = first_data.size() / result_columns.size();
  running.first_width = result_columns.size();
  running.memory = memory_limit();
  if (running.row_count >= max_rows) {
    return fail_at(detail, 0, "the result would have 2^32 - 1 rows or more");
  }

  for (std::size_t t = 1; t < join_tables.size(); ++t) {
    const std::string& name = join_tables[t];
    // A step's rows are those of both its sides.
    const std::string stage = "joining " + name;
    const std::size_t step_rows =
        running.row_count + table_data.at(name).size() / column_names.at(name).size();
    const step_count counted = [&](std::size_t rows) {
      report(progress, stage, rows, step_rows, "rows");
    };
    int step = join_step(text, running, result_columns, table_data.at(name), column_names.at(name),
                         column_types.at(name), counted);
    if (step == status_failed) {
      return fail_at(detail, 0,
                     "joining table " + quote(name) + " would give a result too large for memory");
    }
    if (step != status_ok) return step;
  }
  number_first_rows(running);
  if (join_tables.size() == 1) {
    // No step has looked for the table's repeated rows: all are one group.
    row_slots slots;
    const std::vector<column_view<Ref>> columns(running.sources);
    running.row_count =
        keep_first_rows(text, columns, running.rows[0].data(), running.row_count, slots);
    running.rows[0].resize(running.row_count);
  }
  bool commas = false;
  for (const std::string& name : join_tables) commas = commas || holds_commas(table_data.at(name));
  if (commas) {
    if (!fits(running.row_count, 4 * sizeof(std::uint64_t), running.memory)) {
      return fail_at(detail, 0, "the result is too large for memory to find its repeated rows");
    }
    running.row_count = drop_repeats(text, running, result_columns);
  }
  finish_result(running, result_columns, result_types, result_data);
  return status_ok;
}

// ---------------------------------------------------------------------------
// Result file writer

namespace {

// The output is handed to the sink in blocks of about this size.
constexpr std::size_t block_size = 1 << 20;

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

}  // namespace

template <typename Ref>
int write_result(std::string_view input, std::string_view text,
                 std::vector<std::string>& result_columns, const result_types_map& result_types,
                 const result_data_of<Ref>& result_data, const output_sink& sink,
                 std::string_view line_end, const progress_report* progress) {
  std::sort(result_columns.begin(), result_columns.end());

  // The buffer grows as the text does, up to about a block: a small output
  // takes little memory.
  text_buffer out;
  // Hands out to the sink once it has grown to a block.
  auto flush_full = [&]() -> int {
    if (out.used < block_size) return status_ok;
    int written = sink(text_of(out));
    out.used = 0;
    return written;
  };

  // The copy of the input: every line with line_end. Since the end of the
  // input is noticed only by a read that runs into it, an input that ends
  // with a line end gives one more, empty, line; either way the last line,
  // empty or not, gets one.
  for (std::string_view rest = input; !rest.empty();) {
    const std::size_t take = copy_piece(rest);
    append_copy(rest.substr(0, take), line_end, out);
    rest.remove_prefix(take);
    if (flush_full() != status_ok) return status_failed;
  }
  append_bytes(out, line_end);
  append_bytes(out, line_end);
  format_header(result_columns, result_types, line_end, out);

  std::vector<column_view<Ref>> columns;
  for (const std::string& name : result_columns) {
    const result_column<Ref>& column = result_data.at(name);
    columns.push_back({column.values, column.index, column.stride, column.rows->data(),
                       result_types.at(name), column.values->size() <= cached_values});
  }
  const std::size_t rows = result_data.at(result_columns.front()).rows->size();
  const std::vector<column_view<Ref>> leaders = row_leaders(columns);
  prefetch_batch(text, leaders, 0, rows);
  for (std::size_t first = 0; first < rows; first += batch_rows) {
    if (first % report_every == 0) report(progress, "writing", first, rows, "rows");
    prefetch_batch(text, leaders, first + batch_rows, rows);
    for (std::size_t row = first; row < std::min(first + batch_rows, rows); ++row) {
      append_row(text, columns, row, out, line_end);
    }
    if (flush_full() != status_ok) return status_failed;
  }
  return sink(text_of(out));
}

// ---------------------------------------------------------------------------
// The two forms of stored values

#define NATJOIN_INSTANTIATE(Ref)                                                                  \
  template std::string_view value_text(std::string_view, Ref, int);                               \
  template int parse_row(std::string_view, std::string_view, const std::vector<int>&,             \
                         value_list_of<Ref>&, std::string*, const std::vector<std::string>*);     \
  template int tabla_ertelmezo(std::string_view, table_data_of<Ref>&, column_types_map&,          \
                               column_names_map&, failure_detail*, const progress_report*);       \
  template int join(std::string_view, const std::vector<std::string>&, const table_data_of<Ref>&, \
                    const column_types_map&, const column_names_map&, result_types_map&,          \
                    std::vector<std::string>&, result_data_of<Ref>&, failure_detail*,             \
                    const progress_report*);                                                      \
  template int write_result(std::string_view, std::string_view, std::vector<std::string>&,        \
                            const result_types_map&, const result_data_of<Ref>&,                  \
                            const output_sink&, std::string_view, const progress_report*);

NATJOIN_INSTANTIATE(narrow_ref)
NATJOIN_INSTANTIATE(wide_ref)
