#include "f1.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <unordered_map>

#include "memory_limit.h"

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

// Finds the end of the comma-separated piece that starts at start.
std::size_t piece_end(std::string_view line, std::size_t start) {
  std::size_t comma = line.find(',', start);
  return comma == std::string_view::npos ? line.size() : comma;
}

// Reads the char value whose field starts at start, and moves start to the
// piece after the last one the value used. Returns 1 when the row fails.
int read_char_value(std::string_view line, std::size_t& start, bool& more, int width,
                    std::string_view& value, std::string* reason) {
  std::size_t end = piece_end(line, start);
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
    std::size_t joined = end;  // the comma that is restored
    end = piece_end(line, end + 1);
    text = line.substr(start, end - start);
    if (first == std::string_view::npos) {
      // Only the piece just joined can hold the first quote.
      std::size_t found = line.substr(0, end).find('\'', joined);
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

// The number of lines from the start of rest up to its first blank line: the
// data rows of the block whose declaration came just before.
std::size_t count_block_rows(std::string_view rest) {
  std::size_t rows = 0;
  for (std::string_view line; read_line(rest, line) && !trim(line).empty();) ++rows;
  return rows;
}

// Makes the catalogue entries of a declared table, unless its name is taken.
void insert_table(const std::string& table_name, const std::vector<std::string>& names,
                  const std::vector<int>& codes, table_data_map& table_data,
                  column_types_map& column_types, column_names_map& column_names) {
  column_types.try_emplace(table_name, codes);
  column_names.try_emplace(table_name, names);
  if (table_data.count(table_name) == 0) {
    column_map columns;
    for (const std::string& name : names) columns.try_emplace(name);
    table_data.emplace(table_name, std::move(columns));
  }
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

int parse_row(std::string_view line, const std::vector<int>& codes,
              const std::vector<value_list*>& columns, std::string* reason,
              const std::vector<std::string>* names) {
  std::size_t start = 0;  // where the field of the next column starts
  bool more = true;       // whether there is a piece at start
  for (std::size_t j = 0; j < codes.size(); ++j) {
    if (!more) {
      return fail_because(reason, std::to_string(codes.size()) + " columns declared, " +
                                      std::to_string(j) + " fields found");
    }
    std::string_view value;
    if (codes[j] < 1) {
      std::size_t end = piece_end(line, start);
      value = strip_leading_zeros(trim(line.substr(start, end - start)));
      more = end < line.size();
      start = end + 1;
    } else if (read_char_value(line, start, more, codes[j], value, reason) != status_ok) {
      if (reason != nullptr) {
        *reason = "column " + (names != nullptr ? quote((*names)[j]) : std::to_string(j + 1)) +
                  ": " + *reason;
      }
      return status_failed;
    }
    columns[j]->push_back(value);
  }
  return status_ok;  // surplus fields are ignored
}

int tabla_ertelmezo(std::string_view rest, table_data_map& table_data,
                    column_types_map& column_types, column_names_map& column_names,
                    failure_detail* detail) {
  bool expect_declaration = true;
  // The current table's column codes, names and value lists, in declaration order.
  const std::vector<int>* codes = nullptr;
  const std::vector<std::string>* current_names = nullptr;
  std::vector<value_list*> columns;
  std::string table_name;
  std::vector<std::string> names;
  std::vector<int> declared_codes;
  std::string* reason = detail != nullptr ? &detail->second : nullptr;
  std::size_t line_number = 1;  // the join statement's
  std::string_view line;
  while (read_line(rest, line)) {
    ++line_number;
    line = trim(line);
    if (line.empty()) {
      expect_declaration = true;
    } else if (!expect_declaration) {
      if (parse_row(line, *codes, columns, reason, current_names) != status_ok) {
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
      column_map& data = table_data.at(table_name);
      columns.clear();
      for (const std::string& name : *current_names) columns.push_back(&data[name]);
      // The block's rows are counted first, so that each value list grows once.
      const std::size_t rows = count_block_rows(rest);
      for (value_list* values : columns) values->reserve(values->size() + rows);
    }
  }
  return status_ok;
}

// ---------------------------------------------------------------------------
// Natural join

namespace {

// No result may reach this many rows: row numbers are kept in 32 bits.
constexpr std::size_t max_rows = std::numeric_limits<std::uint32_t>::max();

// How many rows ahead a gather prefetches the value it will need.
constexpr std::size_t lookahead = 16;

// A hash table slot: the upper 32 bits of the entry's hash, then the row it
// stands for. A row number is always below max_rows, so no entry is empty.
constexpr std::uint64_t empty_slot = std::numeric_limits<std::uint64_t>::max();

std::uint64_t make_slot(std::uint64_t hash, std::size_t row) {
  return (hash & 0xffffffff00000000ULL) | row;
}
bool slot_matches(std::uint64_t slot, std::uint64_t hash) {
  return (slot >> 32) == (hash >> 32);
}
std::uint32_t slot_row(std::uint64_t slot) {
  return static_cast<std::uint32_t>(slot);
}

// A table of at least twice as many slots as entries, a power of two.
std::vector<std::uint64_t> make_slots(std::size_t entries) {
  std::size_t size = 16;
  while (size < entries * 2) size *= 2;
  return std::vector<std::uint64_t>(size, empty_slot);
}

// A 64-bit hash of a value's bytes, eight at a time, with a final mix so
// that both the slot (low bits) and the tag (high bits) spread well.
std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ text.size();
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 31;
  }
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i)
    tail |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  h = (h ^ tail) * 0x94d049bb133111ebULL;
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  return h;
}

// Byte equality, without a library call for the short values keys mostly are.
bool same_bytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool same_key(const std::vector<const value_list*>& a, std::size_t row_a,
              const std::vector<const value_list*>& b, std::size_t row_b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_bytes((*a[i])[row_a], (*b[i])[row_b])) return false;
  }
  return true;
}

// Finds the slot of the distinct key that equals row's key, or the empty slot
// where that key belongs. A key is named by the first row of the indexed
// side that holds it.
std::size_t find_key(const std::vector<std::uint64_t>& slots,
                     const std::vector<const value_list*>& indexed,
                     const std::vector<const value_list*>& key, std::size_t row,
                     std::uint64_t hash) {
  const std::size_t mask = slots.size() - 1;
  std::size_t at = hash & mask;
  for (; slots[at] != empty_slot; at = (at + 1) & mask) {
    if (slot_matches(slots[at], hash) && same_key(indexed, slot_row(slots[at]), key, row)) break;
  }
  return at;
}

// Rows are hashed and looked up a block at a time: while a block is worked
// on, the slots, keys and bytes that it needs next are already on their way.
constexpr std::size_t block_rows = 64;

void prefetch_bytes(const std::vector<const value_list*>& key, std::size_t begin, std::size_t end) {
  for (const value_list* column : key) {
    for (std::size_t r = begin; r < end; ++r) __builtin_prefetch((*column)[r].data());
  }
}

// Names the key of every row of both sides. The smaller side is indexed: its
// rows enter a hash table of distinct keys, each named by its first row; the
// rows of the other side look their key up, and find none where it is
// missing (max_rows). keys_of_indexed and keys_of_other receive the names.
void name_keys(const std::vector<const value_list*>& indexed, std::size_t indexed_rows,
               const std::vector<const value_list*>& other, std::size_t other_rows,
               std::vector<std::uint32_t>& keys_of_indexed,
               std::vector<std::uint32_t>& keys_of_other) {
  std::vector<std::uint64_t> slots = make_slots(indexed_rows);
  const std::size_t mask = slots.size() - 1;
  std::uint64_t hashes[block_rows];
  // Hashes rows begin to end of key, asks for their slots, and for the bytes
  // of the block after them.
  auto hash_block = [&](const std::vector<const value_list*>& key, std::size_t begin,
                        std::size_t end, std::size_t rows) {
    prefetch_bytes(key, std::min(end, rows), std::min(end + block_rows, rows));
    for (std::size_t r = begin; r < end; ++r) {
      std::uint64_t h = 0;
      for (const value_list* column : key) h = h * 0x9e3779b97f4a7c15ULL + hash_bytes((*column)[r]);
      hashes[r - begin] = h;
      __builtin_prefetch(&slots[h & mask]);
    }
  };

  keys_of_indexed.resize(indexed_rows);
  prefetch_bytes(indexed, 0, std::min(block_rows, indexed_rows));
  for (std::size_t begin = 0; begin < indexed_rows; begin += block_rows) {
    const std::size_t end = std::min(begin + block_rows, indexed_rows);
    hash_block(indexed, begin, end, indexed_rows);
    for (std::size_t s = begin; s < end; ++s) {
      const std::uint64_t h = hashes[s - begin];
      std::size_t at = find_key(slots, indexed, indexed, s, h);
      if (slots[at] == empty_slot) slots[at] = make_slot(h, s);
      keys_of_indexed[s] = slot_row(slots[at]);
    }
  }

  // A lookup reads a slot, then the key of the indexed row it names, then
  // that key's bytes: the block asks for each before it compares.
  const value_list& first_key = *indexed.front();
  auto candidate = [&](std::size_t i) -> const std::string_view* {
    for (std::size_t at = hashes[i] & mask; slots[at] != empty_slot; at = (at + 1) & mask) {
      if (slot_matches(slots[at], hashes[i])) return &first_key[slot_row(slots[at])];
    }
    return nullptr;
  };
  keys_of_other.resize(other_rows);
  prefetch_bytes(other, 0, std::min(block_rows, other_rows));
  for (std::size_t begin = 0; begin < other_rows; begin += block_rows) {
    const std::size_t end = std::min(begin + block_rows, other_rows);
    hash_block(other, begin, end, other_rows);
    for (std::size_t i = 0; i < end - begin; ++i) {
      if (const std::string_view* key = candidate(i)) __builtin_prefetch(key);
    }
    for (std::size_t i = 0; i < end - begin; ++i) {
      if (const std::string_view* key = candidate(i)) __builtin_prefetch(key->data());
    }
    for (std::size_t r = begin; r < end; ++r) {
      std::uint64_t slot = slots[find_key(slots, indexed, other, r, hashes[r - begin])];
      keys_of_other[r] = slot == empty_slot ? static_cast<std::uint32_t>(max_rows) : slot_row(slot);
    }
  }
}

// Groups the running rows by their values in the matched columns: the group
// of key k holds group_size[k] rows, in running order, from
// group_rows[group_start[k]] on. match[r] names the key of new row r, whose
// group may be empty, or is max_rows when the key was not named at all.
void match_rows(const std::vector<const value_list*>& running_key, std::size_t running_rows,
                const std::vector<const value_list*>& new_key, std::size_t new_rows,
                std::vector<std::uint32_t>& group_start, std::vector<std::uint32_t>& group_size,
                std::vector<std::uint32_t>& group_rows, std::vector<std::uint32_t>& match) {
  std::vector<std::uint32_t> key_of;  // each running row's key
  std::size_t keys;                   // key names are below this
  if (new_rows < running_rows) {
    name_keys(new_key, new_rows, running_key, running_rows, match, key_of);
    keys = new_rows;
  } else {
    name_keys(running_key, running_rows, new_key, new_rows, key_of, match);
    keys = running_rows;
  }

  // A stable counting sort of the running rows by key; those whose key the
  // new table lacks are left out.
  group_size.assign(keys, 0);
  for (std::uint32_t k : key_of) {
    if (k != max_rows) ++group_size[k];
  }
  group_start.resize(keys);
  std::uint32_t next = 0;
  for (std::size_t k = 0; k < keys; ++k) {
    group_start[k] = next;
    next += group_size[k];
  }
  group_rows.resize(next);
  std::vector<std::uint32_t> fill = group_start;
  for (std::size_t s = 0; s < running_rows; ++s) {
    if (key_of[s] != max_rows) group_rows[fill[key_of[s]]++] = static_cast<std::uint32_t>(s);
  }
}

std::size_t row_count(const column_map& columns, const std::string& first_column) {
  auto it = columns.find(first_column);
  return it == columns.end() ? 0 : it->second.size();
}

// Gathers source[rows[i]] for every i, in order.
void gather(const value_list& source, const std::vector<std::uint32_t>& rows, value_list& values) {
  values.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + lookahead < rows.size()) __builtin_prefetch(&source[rows[i + lookahead]]);
    values.push_back(source[rows[i]]);
  }
}

// Joins the new table to the running result (running_data, result_columns,
// running_codes) into next. When owned is set it is running_data itself,
// whose columns are released as soon as they have been used. Returns a
// status as join does; 1 also for a result that the machine's memory could
// not hold.
int join_step(const column_map& running_data, column_map* owned,
              std::vector<std::string>& result_columns, std::vector<int>& running_codes,
              const column_map& new_data, const std::vector<std::string>& new_names,
              const std::vector<int>& new_codes, column_map& next) {
  if (new_names.empty()) return status_failed;

  std::unordered_map<std::string_view, std::size_t> running_position;
  for (std::size_t k = 0; k < result_columns.size(); ++k) {
    running_position.emplace(result_columns[k], k);
  }
  std::vector<const value_list*> running_key;
  std::vector<const value_list*> new_key;
  std::vector<std::size_t> added;  // positions in the new table of its new columns
  for (std::size_t j = 0; j < new_names.size(); ++j) {
    auto it = running_position.find(new_names[j]);
    if (it == running_position.end()) {
      added.push_back(j);
      continue;
    }
    if (running_codes[it->second] != new_codes[j]) return status_conflict;
    running_key.push_back(&running_data.at(result_columns[it->second]));
    new_key.push_back(&new_data.at(new_names[j]));
  }

  const std::size_t running_rows = row_count(running_data, result_columns.front());
  const std::size_t new_rows = row_count(new_data, new_names.front());
  if (running_rows >= max_rows || new_rows >= max_rows) return status_failed;

  // How many running rows each new row meets, and, unless every pair joins,
  // which ones: the result's running rows in result order.
  std::vector<std::uint32_t> meets(new_rows, static_cast<std::uint32_t>(running_rows));
  std::vector<std::uint32_t> running_order;
  std::size_t total = 0;
  if (running_key.empty()) {
    if (running_rows != 0 && new_rows > (max_rows - 1) / running_rows) return status_failed;
    total = running_rows * new_rows;
  } else {
    std::vector<std::uint32_t> group_start, group_size, group_rows, match;
    match_rows(running_key, running_rows, new_key, new_rows, group_start, group_size, group_rows,
               match);
    for (std::size_t r = 0; r < new_rows; ++r) {
      meets[r] = match[r] == max_rows ? 0 : group_size[match[r]];
      total += meets[r];
      if (total >= max_rows) return status_failed;
    }
    running_order.reserve(total);
    for (std::size_t r = 0; r < new_rows; ++r) {
      if (meets[r] == 0) continue;
      const std::uint32_t* rows = group_rows.data() + group_start[match[r]];
      running_order.insert(running_order.end(), rows, rows + meets[r]);
    }
  }
  // A result that would take more than half of the machine's memory (the
  // running result, the tables and the input hold the rest) fails here, at
  // once, instead of being built until the system stops the process.
  const std::size_t columns = result_columns.size() + added.size();
  if (total > memory_limit() / 2 / sizeof(std::string_view) / columns) return status_failed;

  // Built column by column, each in one sweep and sized once.
  next.clear();
  for (const std::string& name : result_columns) {
    const value_list& source = running_data.at(name);
    value_list& values = next[name];
    if (running_key.empty()) {
      values.reserve(total);
      for (std::size_t r = 0; r < new_rows; ++r) {
        values.insert(values.end(), source.begin(), source.end());
      }
    } else {
      gather(source, running_order, values);
    }
    if (owned != nullptr) value_list().swap(owned->at(name));
  }
  for (std::size_t j : added) {
    const value_list& source = new_data.at(new_names[j]);
    value_list& values = next[new_names[j]];
    values.reserve(total);
    for (std::size_t r = 0; r < new_rows; ++r) values.insert(values.end(), meets[r], source[r]);
    result_columns.push_back(new_names[j]);
    running_codes.push_back(new_codes[j]);
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

int join(const std::vector<std::string>& join_tables, const table_data_map& table_data,
         const column_types_map& column_types, const column_names_map& column_names,
         result_types_map& result_types, std::vector<std::string>& result_columns,
         column_map& result_data, failure_detail* detail) {
  result_types.clear();
  result_columns.clear();
  result_data.clear();
  if (join_tables.empty()) return fail_at(detail, 1, "the join statement names no table");
  int checked = check_declarations(join_tables, column_types, column_names, detail);
  if (checked != status_ok) return checked;

  // Every name is now known to the catalogue; a name that it did not hold
  // would read as a table without columns.
  const column_map no_data;
  auto data_of = [&](const std::string& name) -> const column_map& {
    auto it = table_data.find(name);
    return it == table_data.end() ? no_data : it->second;
  };

  const std::string& first = join_tables.front();
  result_columns = column_names.at(first);
  std::vector<int> running_codes = column_types.at(first);
  // The first table serves as the running result in place until a step
  // builds a result of its own.
  const column_map* running = &data_of(first);
  column_map next;
  for (std::size_t t = 1; t < join_tables.size(); ++t) {
    const std::string& name = join_tables[t];
    int step =
        join_step(*running, running == &result_data ? &result_data : nullptr, result_columns,
                  running_codes, data_of(name), column_names.at(name), column_types.at(name), next);
    if (step == status_failed) {
      return fail_at(detail, 0,
                     "joining table " + quote(name) + " would give a result too large for memory");
    }
    if (step != status_ok) return step;
    result_data.swap(next);
    running = &result_data;
  }
  if (running != &result_data) result_data = *running;
  if (row_count(result_data, result_columns.front()) >= max_rows) {
    return fail_at(detail, 0, "the result would have 2^32 - 1 rows or more");
  }

  for (std::size_t p = 0; p < result_columns.size(); ++p) {
    result_types.emplace(result_columns[p], running_codes[p]);
  }
  return status_ok;
}

// ---------------------------------------------------------------------------
// Result file writer

namespace {

// The output is handed to the sink in blocks of about this size.
constexpr std::size_t block_size = 1 << 20;

// Appends the row text of row r: the values in sorted column order, joined by
// ",", those of char columns (code above 0) enclosed in quotes.
void format_row(const std::vector<const value_list*>& columns, const std::vector<char>& quoted,
                std::size_t r, std::string& out) {
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (j != 0) out += ',';
    if (quoted[j]) out += '\'';
    out += (*columns[j])[r];
    if (quoted[j]) out += '\'';
  }
}

void format_header(const std::vector<std::string>& result_columns,
                   const result_types_map& result_types, std::string& out) {
  out += "result(";
  for (std::size_t i = 0; i < result_columns.size(); ++i) {
    if (i != 0) out += ", ";
    out += result_columns[i];
    int code = result_types.at(result_columns[i]);
    if (code < 0) {
      out += " int";
    } else {
      out += " char(";
      out += std::to_string(code);
      out += ')';
    }
  }
  out += ")\n";
}

}  // namespace

int write_result(std::string_view input, std::vector<std::string>& result_columns,
                 const result_types_map& result_types, const column_map& result_data,
                 const output_sink& sink) {
  std::sort(result_columns.begin(), result_columns.end());

  std::string out;
  out.reserve(block_size + 4096);
  // Hands out to the sink once it has grown to a block.
  auto flush_full = [&]() -> int {
    if (out.size() < block_size) return status_ok;
    int written = sink(out);
    out.clear();
    return written;
  };

  // The copy of the input: every line with a line end of "\n". Since the end
  // of the input is noticed only by a read that runs into it, an input that
  // ends with a line end gives one more, empty, line; either way the copy is
  // the input, its "\r\n" line ends made "\n", plus one "\n".
  for (std::size_t pos = 0; pos < input.size();) {
    std::size_t cr = input.find("\r\n", pos);
    std::size_t end = cr == std::string_view::npos ? input.size() : cr;
    for (std::size_t take; pos < end; pos += take) {
      take = std::min(end - pos, block_size);
      out.append(input.substr(pos, take));
      if (flush_full() != status_ok) return status_failed;
    }
    if (cr != std::string_view::npos) {
      out += '\n';
      pos = cr + 2;
    }
  }
  out += "\n\n";
  format_header(result_columns, result_types, out);

  std::vector<const value_list*> columns;
  std::vector<char> quoted;
  for (const std::string& name : result_columns) {
    columns.push_back(&result_data.at(name));
    quoted.push_back(result_types.at(name) > 0);
  }
  const std::size_t rows = columns.front()->size();

  // Distinct row texts: a hash set of the rows written, each slot holding a
  // row number and the upper half of its text's hash; a hit is confirmed by
  // comparing the texts. Rows go a batch at a time, so that the values and
  // the slots of a batch are fetched from memory while it is formatted.
  std::vector<std::uint64_t> slots = make_slots(rows);
  const std::size_t mask = slots.size() - 1;
  constexpr std::size_t batch_rows = 32;
  std::size_t ends[batch_rows];
  std::uint64_t hashes[batch_rows];
  std::string batch;
  std::string other;
  for (std::size_t first = 0; first < rows; first += batch_rows) {
    const std::size_t count = std::min(batch_rows, rows - first);
    for (const value_list* column : columns) {
      for (std::size_t i = 0; i < count; ++i) __builtin_prefetch((*column)[first + i].data());
    }
    batch.clear();
    for (std::size_t i = 0; i < count; ++i) {
      format_row(columns, quoted, first + i, batch);
      ends[i] = batch.size();
    }
    for (std::size_t i = 0, begin = 0; i < count; begin = ends[i++]) {
      hashes[i] = hash_bytes(std::string_view(batch).substr(begin, ends[i] - begin));
      __builtin_prefetch(&slots[hashes[i] & mask]);
    }
    for (std::size_t i = 0, begin = 0; i < count; begin = ends[i++]) {
      const std::string_view text = std::string_view(batch).substr(begin, ends[i] - begin);
      std::size_t at = hashes[i] & mask;
      bool repeated = false;
      for (; slots[at] != empty_slot; at = (at + 1) & mask) {
        if (!slot_matches(slots[at], hashes[i])) continue;
        other.clear();
        format_row(columns, quoted, slot_row(slots[at]), other);
        if (other == text) {
          repeated = true;
          break;
        }
      }
      if (repeated) continue;
      slots[at] = make_slot(hashes[i], first + i);
      out.append(text);
      out += '\n';
    }
    if (flush_full() != status_ok) return status_failed;
  }
  return sink(out);
}
