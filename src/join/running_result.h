// The result of a join so far, kept as row numbers: for each table joined so
// far, the row of it that every running row comes from. Its columns are read
// through those rows, and each step of the join makes its result from the
// groups of rows that the step pairs.
#ifndef NATJOIN_JOIN_RUNNING_RESULT_H_
#define NATJOIN_JOIN_RUNNING_RESULT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "join/column_view.h"
#include "join/key_groups.h"
#include "join/row_set.h"
#include "read/stored_values.h"

namespace natjoin {

// A table of the catalogue, as the join reads it: its values, and its column
// names and type codes in declaration order.
struct table_ref {
  const table_values& data;
  const std::vector<std::string>& names;
  const std::vector<int>& codes;
};

// The number of rows of table.
// REQUIRES: table has columns.
inline std::size_t table_rows(const table_ref& table) {
  return table.data.values.size() / table.names.size();
}

// Column j of table, read in the table's own rows.
inline column_view table_column(const table_ref& table, std::size_t j) {
  return {&table.data, j, table.names.size(), nullptr, table.codes[j]};
}

// The result so far. Its column k, whose name the join keeps, has the code
// codes[k] and is column sources[k] of the joined table number table_of[k];
// rows[t] holds, for each running row, the row of joined table t that it
// comes from, except while first_is_whole, when the first table's rows are
// still its own. Only the tables that brought a column have rows: a table
// whose columns were all there already only kept or left out running rows.
// positions maps each column's name (a view of the name its table declares)
// to k. first_width is the number of the first table's columns, which come
// first. rows_after_steps records the row count after each step, the first
// table's first.
struct running_result {
  std::vector<int> codes;
  std::vector<column_view> sources;  // rows unset: they change with every step
  std::vector<std::size_t> table_of;
  std::unordered_map<std::string_view, std::size_t> positions;
  std::vector<row_numbers> rows;
  bool first_is_whole = true;
  std::size_t row_count = 0;
  std::size_t first_width = 0;
  std::vector<std::size_t> rows_after_steps;
};

// Starts running as the first table of a join, with its rows its own.
// REQUIRES: running is empty; first has columns.
void start_running(const table_ref& first, running_result& running);

// The rows of joined table number table for the running rows, or null where
// they are the table's own.
const std::uint32_t* rows_of(const running_result& running, std::size_t table);

// The running columns at positions, read through the running rows.
std::vector<column_view> running_columns(const running_result& running,
                                         const std::vector<std::size_t>& positions);

// Makes the result of a step with the new table, which groups pair and which
// has total rows, the running result: the rows of every joined table, written
// on up to threads threads, and the new table's columns at the positions
// added. The new table gets rows only where it adds a column, and the earlier
// tables keep theirs where the result is the running rows in their order, so
// that such a step costs its rows and its new columns alone, however many
// tables came before it.
// REQUIRES: total == count_result(groups, ...) < max_rows.
void take_step(running_result& running, const table_ref& table,
               const std::vector<std::size_t>& added, const step_groups& groups, std::size_t total,
               std::size_t threads);

// Writes out the row numbers of the first table where they are still its own
// rows, so that every joined table has them.
void number_first_rows(running_result& running);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_RUNNING_RESULT_H_
