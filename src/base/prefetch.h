// natjoin: asking for memory ahead of its reading. The join and the writer read values and texts
// at rows that lie anywhere in memory, so that most of their time would go in waiting for it;
// their loops ask for what a row will read some rows before its turn. How far ahead depends on
// how much work a row takes and how many reads it waits for in turn, so each kind of loop has its
// own distance, all of them here.
#ifndef NATJOIN_BASE_PREFETCH_H_
#define NATJOIN_BASE_PREFETCH_H_

#include <cstddef>

namespace natjoin {

// A loop that reads one entry through each row number, and little else: 16 rows ahead.
inline constexpr std::size_t gather_ahead = 16;

// A loop over the rows of a group, which hashes and compares every value of a row: each row is
// asked for this many rows ahead, its values twice as far, so that its texts can be asked for
// once its values have come.
inline constexpr std::size_t group_ahead = 8;

// Keys are hashed a batch of this many rows at a time, so that what a batch needs next is on its
// way while the batch before it is worked on: values two batches ahead, texts one.
inline constexpr std::size_t hash_batch_rows = 64;

// Result rows are formatted a batch of this many at a time, the values of a batch fetched while
// the batch before it is formatted.
inline constexpr std::size_t format_batch_rows = 32;

// Asks for the cache line at p ahead of a read of it. The empty asm gives the request an effect
// that the compiler keeps: otherwise a helper made only of prefetches counts as free of effects,
// and its calls are dropped.
inline void prefetch(const void* p) {
  __builtin_prefetch(p);
  asm volatile("" : : "r"(p));
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_PREFETCH_H_
