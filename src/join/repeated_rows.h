// Repeated rows: the result holds each distinct row text once, where it
// first occurs. Rows are left out where it is cheap: within the joined
// tables, before their rows are multiplied.
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
// such a value, the texts of the result are compared at the end as well
// (drop_repeats).
#ifndef NATJOIN_JOIN_REPEATED_ROWS_H_
#define NATJOIN_JOIN_REPEATED_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/pieces.h"
#include "join/column_view.h"
#include "join/key_groups.h"
#include "join/row_set.h"

namespace natjoin {

// Leaves the repeated rows of the first table, of rows rows, out of the
// groups of the first step of a join, whose running rows are that table's
// rows. columns are its columns outside the key, which the rows of a group
// alone may differ in. The groups are worked on in pieces on split.threads
// threads.
// REQUIRES: groups.alone is not set; columns read the table in its own rows.
void keep_first_running(std::string_view text, const std::vector<column_view>& columns,
                        std::size_t rows, step_groups& groups, const work_split& split);

// A row of a group that keep_first_by_hash takes for the twin of an earlier
// row of the group, whose hash it has: their places in the group.
struct presumed_twin {
  std::uint32_t at;
  std::uint32_t earlier;
};

// Working memory of keep_first_by_hash, which a caller may hand from call to
// call.
struct hash_search {
  row_slots slots;
  std::vector<presumed_twin> twins;
};

// Leaves out of rows[0, count), row numbers of one table in order, every row
// whose values in columns are those of an earlier one; returns how many are
// kept, in order, at the front. hashes[row] is the hash of row's values: the
// search reads it instead of the values, which it reads only for a row whose
// hash an earlier row has, and for that row.
// REQUIRES: rows of equal values in columns have equal hashes; columns read
// that table in its own rows (rows unset).
std::size_t keep_first_by_hash(std::string_view text, const std::vector<column_view>& columns,
                               const region_vector<std::uint64_t>& hashes, std::uint32_t* rows,
                               std::size_t count, hash_search& search);

// Leaves the repeated rows of the new table out of a step: they meet no
// running row. columns are its columns outside the key. The keys are worked
// on in pieces on split.threads threads.
void keep_first_new(std::string_view text, const std::vector<column_view>& columns,
                    step_groups& groups, const work_split& split);

// Keeps the first of the rows of one table with the same values in columns,
// in order, on split.threads threads: the kept rows move to the front of
// rows, which is then cut to them. Returns how many are kept.
// REQUIRES: columns read the table in its own rows; rows holds count rows.
std::size_t keep_first_of_table(std::string_view text, const std::vector<column_view>& columns,
                                row_numbers& rows, std::size_t count, const work_split& split);

// Keeps the first result row of each row text, in order, on split.threads
// threads: the row numbers of the kept rows move to the front of each list of
// rows, which is then cut to them. Returns how many rows are kept. columns
// read the result rows through those lists, in the order the writer writes
// them.
// REQUIRES: every list of rows holds count rows.
std::size_t drop_repeats(std::string_view text, const std::vector<column_view>& columns,
                         std::vector<row_numbers>& rows, std::size_t count,
                         const work_split& split);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_REPEATED_ROWS_H_
