// natjoin: the natural join of relational tables written as text.
//
// The stages of one run, in the order a byte of input travels through them:
// the text utilities, the join statement parser, the table reader with its
// row parser, the natural join and the result file writer. Every stage is a
// free function over standard containers that the caller owns, and reports
// its outcome as an integer status; none of them prints anything.
//
// Values are never copied out of the input. The table reader stores each
// value as a reference into the table text (the input after its first line),
// which the caller keeps for the whole run (stored_values.h), and the join
// gives its result as row numbers into the tables; the writer reads the
// values from the text. The machinery of the join lives in units of its own:
// key_index (hashing and probing keys), key_groups (the rows each new row
// meets), repeated_rows (leaving repeated rows out) and row_format (the text
// of a row).
#ifndef NATJOIN_F1_H_
#define NATJOIN_F1_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pieces.h"
#include "row_parser.h"
#include "row_table.h"
#include "stored_values.h"

// Outcome of a stage. Only the join tells its two failures apart.
enum status : int {
  status_ok = 0,
  status_failed = 1,
  status_conflict = 2,  // join: a column declared differently in two tables
};

// The table catalogue: table name to values, types and names.
using table_data_map = std::map<std::string, table_values>;
using column_types_map = std::map<std::string, std::vector<int>>;
using column_names_map = std::map<std::string, std::vector<std::string>>;
// Result column name to its column type code.
using result_types_map = std::map<std::string, int>;
// Where the values of a result column are: in result row i, the value at
// rows[i] * stride + index of the values of table, the table that brought the
// column. The columns of one joined table share its row numbers.
struct result_column {
  const table_values* table;
  std::size_t index;
  std::size_t stride;
  std::shared_ptr<const row_numbers> rows;
};
// Result column name to where its values are.
using result_data_map = std::map<std::string, result_column>;

// Where and why a stage failed, for a person: the 1-based line of the input
// file (0 where no line is known) and the reason in plain words. The stages
// fill it only when they fail and where the caller passes one.
using failure_detail = std::pair<std::size_t, std::string>;

// How far a long stage has got, for a person watching: the stage in a word
// or two, the units done, the whole (0 where it is not known) and what the
// units are. The stages call it now and then from their long loops, where
// one is given.
using progress_report = std::function<void(std::string_view stage, std::size_t done,
                                           std::size_t total, std::string_view unit)>;

// ---------------------------------------------------------------------------
// Text utilities

// Cuts text at every occurrence of delimiter, taken from the left without
// overlap. The result has one piece more than there are occurrences; pieces
// may be empty. An empty delimiter yields the text as its single piece.
// The pieces are views into text.
std::vector<std::string_view> explode(std::string_view text, std::string_view delimiter);

// Removes the repetitions of piece from the start of text and, when both is
// set, from its end. An empty piece leaves the text unchanged. The result is
// a view into text.
std::string_view strip(std::string_view text, std::string_view piece, bool both);

// Trimming: the spaces at both ends, then the tabs at both ends, once each.
// "\t x" trims to " x", while " \tx" trims to "x".
std::string_view trim(std::string_view text);

// Removes leading "0" characters; a text of zeros only becomes "0" and the
// empty text stays empty. "-05" is left as it is.
std::string_view strip_leading_zeros(std::string_view text);

// Consumes one line from the front of rest into line. A line ends at "\n";
// a "\r" right before that "\n" belongs to the line end. Returns false, and
// leaves line untouched, when rest is empty.
bool read_line(std::string_view& rest, std::string_view& line);

// ---------------------------------------------------------------------------
// Join statement

// Parses "join(A, B, ...)": the line must start with "join", and the names
// are the trimmed pieces between the first "(" and the first ")" after it.
// Returns 0 and replaces join_tables, or 1 and leaves it unchanged.
int join_ertelmezo(std::string_view line, std::vector<std::string>& join_tables,
                   failure_detail* detail = nullptr);

// ---------------------------------------------------------------------------
// Table reader

// Reads a char width text (what follows the word "char") into its column
// type code. The text is freed of blanks and parentheses at both ends and of
// leading zeros, then read like C's atoi. Returns 1 for a width written as
// zeros only and for a value outside the 32-bit signed range. Each parser
// below puts the reason for a failure in reason, where one is given.
int parse_char_width(std::string_view width_text, int& code, std::string* reason = nullptr);

// Parses a trimmed declaration line "Name(col type, ...)" into the trimmed
// table name and the column names and type codes in declaration order.
// Returns 1 for a malformed line; the outputs are then unspecified.
int parse_declaration(std::string_view line, std::string& table_name,
                      std::vector<std::string>& names, std::vector<int>& codes,
                      std::string* reason = nullptr);

// Reads the table blocks of text (the input after its first line) into the
// catalogue. A table name already in the catalogue keeps its first
// declaration, and the rows of a later block of that name are appended to
// it. Returns 0 at the end of text, or 1 at the first malformed line, and
// for a text of text_limit bytes or more. The rows are read in pieces on
// split.threads threads.
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
// half of the memory the process may use, or 2^32 - 1 rows or more; 2 when
// a column is declared differently in two tables. Each step runs in pieces
// on split.threads threads; the result does not depend on them.
// REQUIRES: the catalogue was read from text by tabla_ertelmezo.
int join(std::string_view text, const std::vector<std::string>& join_tables,
         const table_data_map& table_data, const column_types_map& column_types,
         const column_names_map& column_names, result_types_map& result_types,
         std::vector<std::string>& result_columns, result_data_map& result_data,
         failure_detail* detail = nullptr, const progress_report* progress = nullptr,
         const work_split& split = {});

// ---------------------------------------------------------------------------
// Result file writer

// Receives the next block of the output file; returns 0, or 1 when the block
// could not be written.
using output_sink = std::function<int(std::string_view)>;

// Writes the output file through sink: write_input_copy, then
// write_result_table. Every line written ends with line_end, the platform's
// line end. The text is made in pieces on split.threads threads and handed to
// sink in order, on the calling thread. Returns 0, or 1 as soon as sink fails.
// REQUIRES: those of write_result_table.
int write_result(std::string_view input, std::string_view text,
                 std::vector<std::string>& result_columns, const result_types_map& result_types,
                 const result_data_map& result_data, const output_sink& sink,
                 std::string_view line_end, const progress_report* progress = nullptr,
                 const work_split& split = {});

// Writes the head of the output file through sink, which does not depend on
// the result: the lines of input, each with line_end, then the separator
// line. Since the end of the input is noticed only by a read that runs into
// it, an input that ends with a line end gives one more, empty, line; either
// way the last line, empty or not, gets one. Returns 0, or 1 as soon as sink
// fails.
int write_input_copy(std::string_view input, const output_sink& sink, std::string_view line_end,
                     const work_split& split = {});

// Writes the rest of the output file through sink: the "result(" declaration
// with result_columns sorted by byte order (sorted in place), then the text of
// every result row, in result row order. Returns 0, or 1 as soon as sink
// fails.
// REQUIRES: result_columns is not empty, and every one of its names has a
// type code and a result column, all with rows of one length, whose values
// lie in text.
int write_result_table(std::string_view text, std::vector<std::string>& result_columns,
                       const result_types_map& result_types, const result_data_map& result_data,
                       const output_sink& sink, std::string_view line_end,
                       const progress_report* progress = nullptr, const work_split& split = {});

#endif  // NATJOIN_F1_H_
