// The key index of a join step: the keys of one side hashed into tables of
// rows, and the rows of the other side looked up in them. A key is the
// values of a row in the step's key columns; each side names the key of each
// of its rows by the first row of the indexed side that has it, so that equal
// keys get equal names and the join compares no key again.
//
// On several threads, and where one table would not stay in the cache, the
// index is cut by the high bits of the hash into partitions, one table each:
// the rows of a partition are entered in their order, so that the first row
// of each key names it however many partitions there are.
#ifndef NATJOIN_JOIN_KEY_INDEX_H_
#define NATJOIN_JOIN_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "base/memory.h"
#include "base/pieces.h"
#include "base/progress.h"
#include "join/column_view.h"
#include "join/row_set.h"

namespace natjoin {

// Tells how many rows a pass has handled so far, for a person watching.
using step_count = std::function<void(std::size_t rows)>;

// One partition's table of rows in a key index: mask + 1 slots from slots
// on, and beside them as many words from words on, each slot's key packed,
// where every key of the partition is one value of at most seven bytes, so
// that a probe compares it without reading the indexed row (words is null
// otherwise).
struct partition_table {
  std::uint64_t* slots;
  std::size_t mask;
  std::uint64_t* words;
};

// The index of the keys of one side: the tables of its partitions, whose
// slots and words lie one after another in slots and words, so that they
// take few pages of memory; and, where the side is small, the texts of its
// keys row by row, which then stay in the cache for the rows that look them
// up (texts is empty otherwise). probe_by_partition tells that the tables
// are too large for the cache together: a probe then cuts its rows into the
// partitions first.
struct key_index {
  row_slots slots;
  region_vector<std::uint64_t> words;
  std::vector<partition_table> tables;
  std::vector<std::string_view> texts;
  bool probe_by_partition = false;
};

// Builds index over the rows rows of the indexed side, whose key columns are
// key, on split.threads threads. Returns true where every row has a key of
// its own, leaving ids empty; otherwise ids names the key of every row by the
// first row that has it. counted hears of the rows handled now and then, on
// the calling thread. text is the table text.
// REQUIRES: index is empty; key is not empty; rows < max_rows.
bool index_keys(std::string_view text, const std::vector<column_view>& key, std::size_t rows,
                key_index& index, row_numbers& ids, const step_count& counted,
                const work_split& split);

// One side of a step as its keys are read: its key columns, and its rows.
struct key_side {
  const std::vector<column_view>& key;
  std::size_t rows;
};

// Names the key of every row of the probing side by the indexed row that has
// it, or no_row, in ids. indexed and index are the indexed side's key columns
// and its index. Where the probing rows are their table's in its order, the
// text of each piece of them is given back once it has been probed.
// REQUIRES: probing.key and indexed have the same number of columns, in the
// same order of names.
void probe_keys(std::string_view text, const std::vector<column_view>& indexed,
                const key_index& index, const key_side& probing, row_numbers& ids,
                const step_count& counted, const work_split& split);

// probe_keys for the running rows of a join. Where their keys all come from
// one joined table, whose rows the running rows follow in another order, and
// the running rows are about as many as that table's, the table's own rows
// are probed in their order and each running row takes its row's name: the
// keys are then read in the order they lie in.
void probe_running_keys(std::string_view text, const std::vector<column_view>& indexed,
                        const key_index& index, const key_side& running, row_numbers& ids,
                        const step_count& counted, const work_split& split);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_KEY_INDEX_H_
