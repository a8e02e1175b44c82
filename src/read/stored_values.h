// The values of a table, as the table reader stores them and the join and the
// writer read them.
//
// Values are never copied out of the input. A value is kept as where it
// starts in the table text (the input after its first line), which the caller
// keeps for the whole run, and how long it is: six bytes in all. A value of
// long_length bytes or more keeps its length in a side list of its table,
// found by its offset, so that a value's extent is always what the row parser
// found when it read the row.
#ifndef NATJOIN_READ_STORED_VALUES_H_
#define NATJOIN_READ_STORED_VALUES_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/memory.h"

namespace natjoin {

// A stored value: the offset where it starts in the table text, in its low
// 40 bits, and its length in its high byte, or long_length for a long value.
using value_ref = std::array<std::uint8_t, 6>;

// The reference is read as the low bytes of a word.
static_assert(std::endian::native == std::endian::little);

// The size of table text that a value can be addressed in: 1 TiB.
constexpr std::size_t text_limit = std::size_t{1} << 40;

// The length byte of a value of this many bytes or more.
constexpr std::size_t long_length = 255;

// Where a long value lies in the table text.
struct long_value {
  std::uint64_t offset;
  std::uint64_t length;
};

// The values of one table, row by row: the value of column j (in
// declaration order) of row r is at r * (number of columns) + j.
// long_values holds every long value in the order of their offsets, and
// holds_commas tells whether a char value of the table holds a ",".
struct table_values {
  region_vector<value_ref> values;
  std::vector<long_value> long_values;
  bool holds_commas = false;
};

// Where value starts in the table text. The bytes are loaded as a word and
// a byte, not copied into a word in memory: a load of a word written in
// parts just before waits until the parts have been written.
inline std::size_t value_offset(const value_ref& value) {
  std::uint32_t low;
  std::memcpy(&low, value.data(), sizeof low);
  return low | std::size_t{value[4]} << 32;
}

// Appends to table the value text[offset, offset + length).
// REQUIRES: offset + length <= text_limit, and offset lies beyond every long
// value that table holds.
inline void add_value(table_values& table, std::size_t offset, std::size_t length) {
  if (length >= long_length) table.long_values.push_back({offset, length});
  const std::uint64_t word = offset | std::uint64_t{std::min(length, long_length)} << 40;
  value_ref value;
  std::memcpy(value.data(), &word, value.size());
  table.values.push_back(value);
}

// The length of table's long value that starts at offset.
// REQUIRES: table holds a long value at offset.
std::size_t long_value_length(const table_values& table, std::size_t offset);

// The text of value, one of the values of table, which were stored from text.
inline std::string_view value_text(std::string_view text, const table_values& table,
                                   const value_ref& value) {
  const std::size_t offset = value_offset(value);
  std::size_t length = value[5];
  if (length == long_length) [[unlikely]] {
    length = long_value_length(table, offset);
  }
  return {text.data() + offset, length};
}

}  // namespace natjoin

#endif  // NATJOIN_READ_STORED_VALUES_H_
