// A hash table of rows, which the join uses for the distinct keys of a step
// and for the distinct rows of the result.
//
// The table keeps only which rows it holds: open addressing over a power of
// two of 64-bit slots, each the upper half of its row's hash and the row's
// number plus one, so that 0 is an empty slot. What makes two rows the same
// is the caller's to say, through the comparison it passes to find_row; the
// stored half of the hash spares that comparison for most rows that differ.
#ifndef NATJOIN_JOIN_ROW_SET_H_
#define NATJOIN_JOIN_ROW_SET_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/hash.h"
#include "base/memory.h"
#include "base/prefetch.h"

namespace natjoin {

using row_slots = region_vector<std::uint64_t>;

// Rows are numbered in 32 bits: no row number may reach max_rows, and no_row
// stands for no row at all.
constexpr std::size_t max_rows = 0xffffffffu;
constexpr std::uint32_t no_row = 0xffffffffu;

// Row numbers: for each row of one side, a row of another.
using row_numbers = region_vector<std::uint32_t>;

// The number of slots of a table for up to rows rows: a power of two, at
// least one and a half as many, so that a probe meets few others.
std::size_t row_slot_count(std::size_t rows);

// Makes slots an empty table for up to rows rows, of row_slot_count(rows)
// slots. The slots it held before are reused where they are enough.
// REQUIRES: rows < max_rows.
void reset_row_slots(row_slots& slots, std::size_t rows);

// A new empty table for up to rows rows, of row_slot_count(rows) slots.
// REQUIRES: rows < max_rows.
row_slots make_row_slots(std::size_t rows);

// The partition, of count, that a row of this hash belongs to, where rows
// are cut into partitions by hash: the upper half of the hash picks it, while
// the lower half picks the slot in the partition's table.
inline std::size_t partition_of(std::uint64_t hash, std::size_t count) {
  return static_cast<std::size_t>(((hash >> 32) * count) >> 32);
}

inline std::size_t first_slot(const row_slots& slots, std::uint64_t hash) {
  return static_cast<std::size_t>(hash) & (slots.size() - 1);
}

// Asks for the slot where a probe for hash starts, ahead of the probe.
inline void prefetch_slot(const row_slots& slots, std::uint64_t hash) {
  prefetch(slots.data() + first_slot(slots, hash));
}

inline bool slot_is_empty(std::uint64_t slot) {
  return slot == 0;
}
inline std::uint32_t slot_row(std::uint64_t slot) {
  return static_cast<std::uint32_t>(slot) - 1;
}

// Finds the slot of the row with this hash for which same(row) holds, or,
// when there is none, the empty slot where such a row belongs, in the table
// of mask + 1 slots at slots.
template <typename Same>
std::size_t find_row(const std::uint64_t* slots, std::size_t mask, std::uint64_t hash,
                     Same&& same) {
  constexpr std::uint64_t high = 0xffffffff00000000ULL;
  for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
    const std::uint64_t slot = slots[at];
    if (slot_is_empty(slot) || ((slot & high) == (hash & high) && same(slot_row(slot)))) return at;
  }
}

template <typename Same>
std::size_t find_row(const row_slots& slots, std::uint64_t hash, Same&& same) {
  return find_row(slots.data(), slots.size() - 1, hash, same);
}

// Puts row into the empty slot at, which find_row gave for hash.
inline void put_row(std::uint64_t* slots, std::size_t at, std::uint64_t hash, std::size_t row) {
  slots[at] = (hash & 0xffffffff00000000ULL) | (row + 1);
}
inline void put_row(row_slots& slots, std::size_t at, std::uint64_t hash, std::size_t row) {
  put_row(slots.data(), at, hash, row);
}

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ROW_SET_H_
