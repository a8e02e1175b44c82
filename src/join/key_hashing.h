// The hashing of keys for the key index: the keys of some rows of one side
// hashed a batch at a time, with what the next batches read asked for ahead;
// and the rows of a side cut by the high bits of their key hash into
// partitions, each row with its hash and its key packed in a word, so that a
// partition's table is built and probed while it stays in the cache, and
// without reading the rows' texts again.
#ifndef NATJOIN_JOIN_KEY_HASHING_H_
#define NATJOIN_JOIN_KEY_HASHING_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/memory.h"
#include "base/pieces.h"
#include "join/column_view.h"
#include "join/row_set.h"

namespace natjoin {

// The longest key that a packed word holds, with its length.
constexpr std::size_t packed_bytes = 7;

// The word of a key too long to be packed: no packed key has all its bits set, since its last
// byte holds a length of at most packed_bytes.
constexpr std::uint64_t unpacked_word = ~std::uint64_t{0};

// Some rows of one side: list[0, count), or rows [begin, begin + count)
// where list is null.
struct row_run {
  const std::uint32_t* list;
  std::size_t begin;
  std::size_t count;
};

inline std::size_t row_at(const row_run& run, std::size_t i) {
  return run.list != nullptr ? run.list[i] : run.begin + i;
}

// The hashes and key texts of one batch of rows of a run: size rows.
struct hashed_batch {
  std::size_t size = 0;
  std::uint64_t hashes[hash_batch_rows];
  std::vector<std::string_view> keys;  // a row's key columns one after another
};

// Hashes the batch of rows of run from first on, of the columns key, into
// batch, asking for what the batches after it read ahead. text is the table
// text.
// REQUIRES: first < run.count; key is not empty.
void hash_batch(std::string_view text, const std::vector<column_view>& key, const row_run& run,
                std::size_t first, hashed_batch& batch);

// The hash that hash_batch gives a key of one column whose text is key.
inline std::uint64_t hash_one_column(std::string_view key) {
  return add_hash(0, hash_bytes(key));
}

// The key of one column packed in a word: its bytes, then its length in the
// last byte.
// REQUIRES: key.size() <= packed_bytes.
std::uint64_t pack_key(std::string_view key);

// The word of a key of one column whose text is key: pack_key's, or unpacked_word for a key too
// long to be packed.
inline std::uint64_t key_word(std::string_view key) {
  return key.size() > packed_bytes ? unpacked_word : pack_key(key);
}

// The rows of one side cut into pieces of piece_rows rows and sorted within
// each piece by their partition, keeping their order: piece k's rows are
// order[k * piece_rows, ...), those of partition p from
// starts[k * (partitions + 1) + p] on within them. hashes and words hold, in
// the same places, each row's key hash and, where the side's keys are packed,
// its packed key or unpacked_word (words is empty otherwise). hashes is
// empty where they were not asked for.
struct partitioned_rows {
  std::size_t piece_rows = 0;
  std::size_t partitions = 0;
  row_numbers order;
  region_vector<std::uint64_t> hashes;
  region_vector<std::uint64_t> words;
  std::vector<std::uint32_t> starts;
};

// How a side is cut: into partitions partitions, each row with its hash
// where hashed, and with its packed key where packed.
struct partition_plan {
  std::size_t partitions;
  bool hashed;
  bool packed;
};

// Cuts rows rows of the side whose key columns are key by hash
// (partition_of) as plan says, on split.threads threads. Where the keys are
// packed, and the rows read in their table's order, the text of each piece of
// rows is given back once it has been hashed.
// REQUIRES: plan.partitions > 0; plan.packed only where key has one column.
partitioned_rows partition_rows(std::string_view text, const std::vector<column_view>& key,
                                std::size_t rows, const partition_plan& plan,
                                const work_split& split);

// Where the rows of partition p of piece k lie in sorted: from first on,
// count of them.
struct partition_part {
  std::size_t first;
  std::size_t count;
};
partition_part piece_part(const partitioned_rows& sorted, std::size_t k, std::size_t p);

// The number of pieces of sorted.
inline std::size_t piece_total(const partitioned_rows& sorted) {
  return sorted.starts.size() / (sorted.partitions + 1);
}

}  // namespace natjoin

#endif  // NATJOIN_JOIN_KEY_HASHING_H_
