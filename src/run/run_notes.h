// natjoin: what a person at a terminal is told beyond the messages: which defined table a name of
// the join statement may have meant, and, after a successful run, what the join did that they may
// not expect. Nothing here is asked for off a terminal, and nothing here changes a run's output
// or its status.
#ifndef NATJOIN_RUN_RUN_NOTES_H_
#define NATJOIN_RUN_RUN_NOTES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "f1.h"

namespace natjoin {

// Completes the detail of a join that failed because a table of the statement is not defined (or
// declares no column): the column becomes that of the first byte of its name in statement, and
// where a defined table has the same name but for case, or one edit away (a byte added, left out
// or changed, or two neighbours swapped, case aside), the reason names it.
// REQUIRES: join_tables was parsed from statement, the join statement line, and the join failed
// for the first table of join_tables that column_names does not define.
void explain_undefined_table(std::string_view statement,
                             const std::vector<std::string>& join_tables,
                             const column_names_map& column_names, failure_detail& detail);

// What a successful join read and recorded, for the notes on it: the table text, the tables of
// the statement, the catalogue read from the text, the row count of the result so far that join
// gave in rows_after_steps, and how the work is cut.
struct finished_join {
  std::string_view text;
  const std::vector<std::string>& join_tables;
  const table_data_map& table_data;
  const column_types_map& column_types;
  const column_names_map& column_names;
  const std::vector<std::size_t>& rows_after_steps;
  const work_split& split;
};

// The most notes of a run on its steps; the others are counted in one line.
constexpr std::size_t most_step_notes = 4;

// The notes on a successful join, each a line without its line end, in step order: a column of a
// step's table that equals a column of the result so far but for case, and so was not joined on;
// a step that shares no column with the result so far and kept every pairing, with its row
// counts; a line that counts the notes beyond most_step_notes; and, for an empty result, the
// first step that left no row, and why: a table without rows, or a shared column whose values
// there and here have none in common, with a pair of char values that differ only in blanks or
// leading zeros inside the quotes where there is one. That last analysis joins again the tables
// before that step.
// REQUIRES: join succeeded on run.join_tables and the catalogue read from run.text, and
// run.rows_after_steps is the record it gave.
std::vector<std::string> make_notes(const finished_join& run);

// Writes the notes of run to standard error where it is a terminal, once the output is complete
// and closed. Memory running out meanwhile only leaves the notes out.
void tell_notes(const finished_join& run);

}  // namespace natjoin

#endif  // NATJOIN_RUN_RUN_NOTES_H_
