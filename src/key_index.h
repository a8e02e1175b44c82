// The key index of a join step: the keys of one side hashed into a table of
// rows, and the rows of the other side looked up in it. A key is the values
// of a row in the step's key columns; each side names the key of each of its
// rows by a row of the indexed side that has it, so that equal keys get equal
// names and the join compares no key again.
#ifndef NATJOIN_KEY_INDEX_H_
#define NATJOIN_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "blocks.h"
#include "column_view.h"
#include "row_table.h"

// Tells how many rows a pass has handled so far, for a person watching.
using step_count = std::function<void(std::size_t rows)>;

// Long passes report how far they have got once every this many rows.
constexpr std::size_t report_every = std::size_t{1} << 16;

// What the indexed side keeps of its keys beside its table of rows: their
// texts, when they are few, row by row; or, when every key is one value of at
// most seven bytes, each slot's key packed into a word beside the slot, so
// that a probe compares it without reading the indexed row. Either may be
// empty.
struct kept_keys {
  std::vector<std::string_view> texts;
  block_vector<std::uint64_t> words;
};

// Names the key of every row of the indexed side, whose key columns are key,
// by the first of its rows that has it, in ids. slots then holds one row of
// each distinct key, and kept what the side keeps of its keys. counted hears
// of the rows handled now and then. text is the table text.
// REQUIRES: slots is empty (make_row_slots) and made for at least rows rows;
// key is not empty.
void index_keys(std::string_view text, const std::vector<column_view>& key, std::size_t rows,
                row_slots& slots, row_numbers& ids, kept_keys& kept, const step_count& counted);

// Names the key of every row of the probing side, whose key columns are key,
// by the indexed row that has it, or no_row, in ids. indexed, slots and kept
// are the indexed side's key columns and what index_keys left.
// REQUIRES: key and indexed have the same number of columns, in the same
// order of names.
void probe_keys(std::string_view text, const std::vector<column_view>& indexed,
                const kept_keys& kept, const std::vector<column_view>& key, std::size_t rows,
                const row_slots& slots, row_numbers& ids, const step_count& counted);

// probe_keys for the running rows of a join. Where their keys all come from
// one joined table, whose rows the running rows follow in another order, and
// the running rows are about as many as that table's, the table's own rows
// are probed in their order and each running row takes its row's name: the
// keys are then read in the order they lie in.
void probe_running_keys(std::string_view text, const std::vector<column_view>& indexed,
                        const kept_keys& kept, const std::vector<column_view>& key,
                        std::size_t rows, const row_slots& slots, row_numbers& ids,
                        const step_count& counted);

#endif  // NATJOIN_KEY_INDEX_H_
