// The rows that a join step pairs: for each row of the new table, the group
// of running rows that it meets. The groups come from the key index (rows of
// equal keys), or are one group of every running row where the two sides
// share no column. From them the step writes the row numbers of its result.
#ifndef NATJOIN_JOIN_KEY_GROUPS_H_
#define NATJOIN_JOIN_KEY_GROUPS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "join/column_view.h"
#include "join/key_index.h"
#include "join/row_set.h"

namespace natjoin {

// For each row r of the new table, the running rows that it meets: group
// match[r] of the running rows, or none where match[r] is no_row. Group k
// holds group_start[k + 1] - group_start[k] rows from
// group_rows[group_start[k]] on, in running order; but where alone is set,
// each key is held by one running row, which names it, and group k is
// running row k alone. running_distinct (new_distinct) tells that the
// running (new) rows that meet a row of the other side all hold different
// keys, and so are different rows. cuts, once count_result has made them,
// cut the step's result into pieces: piece k holds the result rows of new
// rows [cuts[k].new_row, cuts[k + 1].new_row), from result row
// cuts[k].result_row on.
struct result_cut {
  std::size_t new_row;
  std::size_t result_row;
};
struct step_groups {
  row_numbers match;
  std::size_t keys = 0;
  bool alone = false;
  row_numbers group_start;
  row_numbers group_rows;
  bool running_distinct = false;
  bool new_distinct = false;
  std::vector<result_cut> cuts;
};

// The number of running rows in group k.
inline std::size_t group_size(const step_groups& groups, std::uint32_t k) {
  return groups.alone ? 1 : groups.group_start[k + 1] - groups.group_start[k];
}

// Fills groups with the running rows of equal values in the key columns,
// for each new row those of its key, through a key index over the smaller
// side, on split.threads threads. counted hears of the rows of both sides
// handled now and then, on the calling thread.
// REQUIRES: the keys of running and added name the same columns in the same
// order; both sides have fewer than max_rows rows.
void match_by_key(std::string_view text, const key_side& running, const key_side& added,
                  step_groups& groups, const step_count& counted, const work_split& split);

// Fills groups for sides that share no column: every new row meets every
// running row, one group of all of them.
void match_all(std::size_t running_rows, std::size_t new_rows, step_groups& groups);

// The number of rows of the step's result, or max_rows when it would reach
// it; below that, cuts the result into pieces of about piece_rows rows.
std::size_t count_result(step_groups& groups, std::size_t piece_rows);

// Writes into out the rows of one joined table for the step's result: for
// each new row, in order, those of the running rows that it meets, in their
// order. source is the table's row for each running row, or null where the
// running rows are the table's own. The pieces of the result are written on
// up to threads threads.
// REQUIRES: total == count_result(groups, ...) < max_rows.
void gather_rows(const std::uint32_t* source, const step_groups& groups, std::size_t total,
                 row_numbers& out, std::size_t threads);

// Whether the step's result is the running rows themselves, each once and
// in their order, as where every running row meets one new row and the new
// rows come in the running rows' order. Stops at the first row out of place.
// REQUIRES: total == count_result(groups, ...) < max_rows.
bool keeps_running_rows(const step_groups& groups, std::size_t total, std::size_t running_rows);

// Writes into out the new table's row for each row of the step's result.
// REQUIRES: total == count_result(groups, ...) < max_rows.
void spread_rows(const step_groups& groups, std::size_t total, row_numbers& out,
                 std::size_t threads);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_KEY_GROUPS_H_
