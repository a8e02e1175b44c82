// natjoin: the natural join of relational tables written as text.
//
// The stages of one run, in the order a byte of input travels through them: the text utilities
// (base/text.cpp), the join statement parser (read/join_statement.cpp), the table reader with its
// row parser (read/table_reader.cpp), the natural join (join/join.cpp) and the result file writer
// (write/result_writer.cpp). Every stage is a free function over standard containers that the
// caller owns, and reports its outcome as an integer status (base/status.h); none of them prints
// anything. The machinery that they use lives in the project's namespace, natjoin, in the
// folders of the stage it serves; doc/design.md draws the whole.
//
// Values are never copied out of the input. The table reader stores each value as a reference
// into the table text (the input after its first line), which the caller keeps for the whole run
// (read/stored_values.h), and the join gives its result as row numbers into the tables; the
// writer reads the values from the text.
#ifndef NATJOIN_F1_H_
#define NATJOIN_F1_H_

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/pieces.h"
#include "base/progress.h"
#include "base/reasons.h"
#include "base/status.h"
#include "join/row_set.h"
#include "read/stored_values.h"
#include "write/input_copy.h"

// The table catalogue: table name to values, types and names.
using table_data_map = std::map<std::string, natjoin::table_values>;
using column_types_map = std::map<std::string, std::vector<int>>;
using column_names_map = std::map<std::string, std::vector<std::string>>;
// Result column name to its column type code.
using result_types_map = std::map<std::string, int>;
// Where the values of a result column are: in result row i, the value at
// rows[i] * stride + index of the values of table, the table that brought the
// column. The columns of one joined table share its row numbers.
struct result_column {
  const natjoin::table_values* table;
  std::size_t index;
  std::size_t stride;
  std::shared_ptr<const natjoin::row_numbers> rows;
};
// Result column name to where its values are.
using result_data_map = std::map<std::string, result_column>;

// What the stages take besides their data: where and why a stage failed, how far a long stage
// has got, how a stage cuts its work, and where the writer's text goes.
using natjoin::failure_detail;
using natjoin::output_sink;
using natjoin::progress_report;
using natjoin::work_split;

// ---------------------------------------------------------------------------
// Text utilities

// Cuts text at every occurrence of delimiter, taken from the left without
// overlap. The result has one part more than there are occurrences; parts
// may be empty. An empty delimiter yields the text as its single part.
// The parts are views into text.
std::vector<std::string_view> explode(std::string_view text, std::string_view delimiter);

// Removes the repetitions of repeat from the start of text and, when both is
// set, from its end. An empty repeat leaves the text unchanged. The result is
// a view into text. (Trimming and the other utilities: base/text.h.)
std::string_view strip(std::string_view text, std::string_view repeat, bool both);

// ---------------------------------------------------------------------------
// Join statement

// Parses "join(A, B, ...)": the line must start with "join", and the names
// are the trimmed parts between the first "(" and the first ")" after it.
// Returns 0 and replaces join_tables, or 1 and leaves it unchanged.
int join_ertelmezo(std::string_view line, std::vector<std::string>& join_tables,
                   failure_detail* detail = nullptr);

// ---------------------------------------------------------------------------
// Table reader

// Reads a char width text (what follows the word "char") into its column
// type code. The text is freed of blanks and parentheses at both ends and of
// leading zeros, then read like C's atoi. Returns 1 for a width written as
// zeros only and for a value outside the 32-bit signed range. Each parser
// below puts the reason for a failure, and the byte to blame, in reason,
// where one is given.
int parse_char_width(std::string_view width_text, int& code, natjoin::refusal* reason = nullptr);

// Parses a trimmed declaration line "Name(col type, ...)" into the trimmed
// table name and the column names and type codes in declaration order.
// Returns 1 for a malformed line; the outputs are then unspecified.
int parse_declaration(std::string_view line, std::string& table_name,
                      std::vector<std::string>& names, std::vector<int>& codes,
                      natjoin::refusal* reason = nullptr);

// Reads the table blocks of text (the input after its first line) into the
// catalogue. A table name already in the catalogue keeps its first
// declaration, and the rows of a later block of that name are appended to
// it. Returns 0 at the end of text, or 1 at the first malformed line, and
// for a text of text_limit bytes or more. The rows are read in pieces on
// split.threads threads (read/block_scan.h).
int tabla_ertelmezo(std::string_view text, table_data_map& table_data,
                    column_types_map& column_types, column_names_map& column_names,
                    failure_detail* detail = nullptr, const progress_report* progress = nullptr,
                    const work_split& split = {});

// ---------------------------------------------------------------------------
// Natural join

// Joins the tables of join_tables from left to right on their columns of
// equal name. The new table's rows form the outer loop of each step, so the
// result follows their order, and within one of them the running rows keep
// theirs. The result holds each distinct row text once, where it first
// occurs. The declarations of all named tables are checked, in statement
// order, before any row is joined. Returns 0 with the result table filled;
// 1 when a named table has no columns, or the result would take more than
// half of split.memory, the memory the process may use, or 2^32 - 1 rows or
// more; 2 when
// a column is declared differently in two tables. Each step runs in pieces
// on split.threads threads; the result does not depend on them. On success,
// rows_after_steps, where given, receives the row count of the result so
// far: the first table's rows, then the count after each step.
// REQUIRES: the catalogue was read from text by tabla_ertelmezo.
int join(std::string_view text, const std::vector<std::string>& join_tables,
         const table_data_map& table_data, const column_types_map& column_types,
         const column_names_map& column_names, result_types_map& result_types,
         std::vector<std::string>& result_columns, result_data_map& result_data,
         failure_detail* detail = nullptr, const progress_report* progress = nullptr,
         const work_split& split = {}, std::vector<std::size_t>* rows_after_steps = nullptr);

// ---------------------------------------------------------------------------
// Result file writer

// Writes the output file through sink: the copy of the input, every line of
// input with line_end, the platform's line end, then the separator line
// (write/input_copy.h); then the "result(" declaration with result_columns
// sorted by byte order (sorted in place), and the text of every result row, in
// result row order. Where start_input_copy has begun the copy, on a thread or
// before the stages, it waits for that thread instead, if any, and fails where
// the copy's writing failed. The text is made in pieces on split.threads
// threads and handed to sink in order, on the calling thread. Returns 0, or 1
// as soon as sink fails.
// REQUIRES: result_columns is not empty, and every one of its names has a
// type code and a result column, all with rows of one length, whose values
// lie in text.
int write_result(std::string_view input, std::string_view text,
                 std::vector<std::string>& result_columns, const result_types_map& result_types,
                 const result_data_map& result_data, const output_sink& sink,
                 std::string_view line_end, const progress_report* progress = nullptr,
                 const work_split& split = {}, natjoin::input_copy_thread* copy = nullptr);

#endif  // NATJOIN_F1_H_
