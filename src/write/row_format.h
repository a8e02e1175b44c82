// The text of result rows as the output file holds them, built in a buffer
// that the writer hands on a block at a time: values joined by ",", those of
// char columns between their quotes.
#ifndef NATJOIN_WRITE_ROW_FORMAT_H_
#define NATJOIN_WRITE_ROW_FORMAT_H_

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/prefetch.h"
#include "base/text_buffer.h"
#include "join/column_view.h"

namespace natjoin {

// A table of this many values or fewer stays in the cache once read.
constexpr std::size_t cached_values = std::size_t{1} << 16;

// Appends the text of row of columns, then end: its values in the order of
// columns, joined by ",", those of quoted columns (has_quoted_values)
// between quotes, which are the quotes that enclose the value in text.
void append_row(std::string_view text, const std::vector<column_view>& columns, std::size_t row,
                text_buffer& out, std::string_view end = "");

// Appends the text of rows [first, end) of columns as append_row does, each
// ended by line_end. The places and lengths of a batch of rows' values are all
// read before any value is copied: a value's length fixes where the next one
// goes, so that read row by row, a read that missed the cache held up every
// value after it (W1 6% and W4 13 to 17% less time so).
void append_rows(std::string_view text, const std::vector<column_view>& columns, std::size_t first,
                 std::size_t end, text_buffer& out, std::string_view line_end);

// Of columns, for each joined table that they read, the first and the last
// in its table's rows, leaving out tables that stay in the cache: the values
// of a row lie together, and so do their texts in its line, so that asking
// for the two ends brings the others.
std::vector<column_view> row_leaders(const std::vector<column_view>& columns);

// Asks for what the batch of rows from first on will read, of rows rows in
// all: the texts of that batch, and the values of the batch after it.
// leaders are the row leaders of the columns read.
void prefetch_batch(std::string_view text, const std::vector<column_view>& leaders,
                    std::size_t first, std::size_t rows);

}  // namespace natjoin

#endif  // NATJOIN_WRITE_ROW_FORMAT_H_
