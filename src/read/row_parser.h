// The row parser of the table reader: a data row of a table block cut into
// its values, checked against the column types and stored. It is the one
// place that knows the syntax of a row, and it has two ways in: read_plain_row
// reads the shape that most rows have in one pass, and parse_row any row.
#ifndef NATJOIN_READ_ROW_PARSER_H_
#define NATJOIN_READ_ROW_PARSER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/reasons.h"
#include "read/stored_values.h"

namespace natjoin {

// Parses a trimmed data row, a line of text, against a table's column type
// codes and appends one value per column to table, as references into
// text; a char value that holds a "," marks table as holding commas.
// Returns 1 for a malformed row, after which the values of the columns
// before the faulty one stay appended. The reason names the faulty column by
// names[j], or by its number without names, and the byte of line to blame.
// REQUIRES: line lies inside text, which is shorter than text_limit;
// names->size() == codes.size() if names are given.
int parse_row(std::string_view text, std::string_view line, const std::vector<int>& codes,
              table_values& table, refusal* reason = nullptr,
              const std::vector<std::string>* names = nullptr);

// Reads, in one pass, the data row of the line of text that starts at at,
// when it has the shape that most rows have: no blank at the ends of the row
// or of a field, no leading zero in an int value, and every char value
// between quotes at the ends of its field, holding no quote or comma and
// within its width. Its values are then those that parse_row would store.
// Returns where the next line starts, after appending them to table; or
// npos, appending nothing, for a row of any other shape.
// REQUIRES: at is the start of a line of text, shorter than text_limit.
std::size_t read_plain_row(std::string_view text, std::size_t at, const std::vector<int>& codes,
                           table_values& table);

}  // namespace natjoin

#endif  // NATJOIN_READ_ROW_PARSER_H_
