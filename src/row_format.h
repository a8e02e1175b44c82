// The text of result rows as the output file holds them, built in a buffer
// that the writer hands on a block at a time: values joined by ",", those of
// char columns between their quotes.
#ifndef NATJOIN_ROW_FORMAT_H_
#define NATJOIN_ROW_FORMAT_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "blocks.h"
#include "column_view.h"

// Text built for the output: its first used bytes, and room behind them
// that is not zero-filled first.
struct text_buffer {
  block_vector<char> bytes;
  std::size_t used = 0;
};

// Room kept behind the text, so that making room is seldom needed.
constexpr std::size_t copy_slack = 32;

// Makes room for n more bytes, and the slack of a copy, behind the text of
// out; returns where the room begins.
inline char* room(text_buffer& out, std::size_t n) {
  if (out.bytes.size() - out.used < n + copy_slack) {
    out.bytes.resize(std::max(2 * out.bytes.size(), out.used + n + copy_slack));
  }
  return out.bytes.data() + out.used;
}

// The text built so far.
inline std::string_view text_of(const text_buffer& out) {
  return {out.bytes.data(), out.used};
}

// Appends bytes to the text of out.
inline void append_bytes(text_buffer& out, std::string_view bytes) {
  std::memcpy(room(out, bytes.size()), bytes.data(), bytes.size());
  out.used += bytes.size();
}

// Rows are formatted a batch at a time, so that the values a batch needs are
// fetched from memory while the batch before it is formatted.
constexpr std::size_t batch_rows = 32;

// A table of this many values or fewer stays in the cache once read.
constexpr std::size_t cached_values = std::size_t{1} << 16;

// Appends the text of row of columns, then end: its values in the order of
// columns, joined by ",", those of char columns (code above 0) between
// quotes, which are the quotes that enclose the value in text.
void append_row(std::string_view text, const std::vector<column_view>& columns, std::size_t row,
                text_buffer& out, std::string_view end = "");

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

#endif  // NATJOIN_ROW_FORMAT_H_
