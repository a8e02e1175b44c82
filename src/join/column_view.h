// A column as the join and the writer read it: the values of the table that
// holds it, where it lies in their rows, and which row of that table each
// row of the side being read comes from. The functions here read, hash and
// compare the values of such columns, and ask for them ahead of a read.
#ifndef NATJOIN_JOIN_COLUMN_VIEW_H_
#define NATJOIN_JOIN_COLUMN_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/memory.h"
#include "base/pieces.h"
#include "base/prefetch.h"
#include "join/row_set.h"
#include "read/stored_values.h"

namespace natjoin {

// Row r of the side being read has the value at
// table->values[(rows ? rows[r] : r) * stride + index]: rows is null where
// each row of the side is the table's own. code is the column's type code,
// and cached tells that the table is small enough to stay in the cache.
struct column_view {
  const table_values* table;
  std::size_t index;
  std::size_t stride;
  const std::uint32_t* rows;
  int code;
  bool cached = false;
};

// Whether a and b read one joined table through the same row numbers: the
// values of a row of both then lie together, in one row of that table.
inline bool same_rows(const column_view& a, const column_view& b) {
  return a.table == b.table && a.rows == b.rows;
}

// Whether a and b hold the same bytes. Short texts, as keys and values mostly
// are, are compared without a library call, in two overlapping loads each.
inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  auto load = [](const char* p, std::size_t size) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, size);
    return word;
  };
  if (n >= 8 && n <= 16) {
    return load(a.data(), 8) == load(b.data(), 8) &&
           load(a.data() + n - 8, 8) == load(b.data() + n - 8, 8);
  }
  if (n >= 4 && n < 8) {
    return load(a.data(), 4) == load(b.data(), 4) &&
           load(a.data() + n - 4, 4) == load(b.data() + n - 4, 4);
  }
  return a == b;
}

// Where the value of row of the side lies in the column's table.
[[gnu::always_inline]] inline std::size_t value_place(const column_view& column, std::size_t row) {
  return (column.rows != nullptr ? column.rows[row] : row) * column.stride + column.index;
}

// The stored value of row of the side.
[[gnu::always_inline]] inline const value_ref& value_at(const column_view& column,
                                                        std::size_t row) {
  return column.table->values[value_place(column, row)];
}

// The text of the value of row of the side; text is the table text.
[[gnu::always_inline]] inline std::string_view text_at(std::string_view text,
                                                       const column_view& column, std::size_t row) {
  return value_text(text, *column.table, value_at(column, row));
}

// Gives back, through split, the text that rows [begin, end) of the side hold, where column reads
// its table's rows in their order, which is the order of the text: the stretch from the value of
// row begin to that of row end - 1, in which the other columns of those rows lie as well.
inline void give_back_rows(std::string_view text, const column_view& column, std::size_t begin,
                           std::size_t end, const work_split& split) {
  if (!split.give_back || column.rows != nullptr || begin >= end) return;
  const std::string_view last = text_at(text, column, end - 1);
  give_back(split, text_at(text, column, begin).data(), last.data() + last.size());
}

// Asks for the stored values of rows [begin, end) of every column.
inline void prefetch_values(const std::vector<column_view>& columns, std::size_t begin,
                            std::size_t end) {
  for (const column_view& column : columns) {
    for (std::size_t row = begin; row < end; ++row) {
      prefetch(column.table->values.data() + value_place(column, row));
    }
  }
}

// Asks for the texts of rows [begin, end) of every column: the line of memory of a text's first
// byte and that of the byte after its last, where the quote that closes a char value lies. A text
// that crosses into the next line would otherwise wait for that line at its read. The byte after
// the last value of the text lies one past its end, which a prefetch asks for without a fault.
inline void prefetch_texts(std::string_view text, const std::vector<column_view>& columns,
                           std::size_t begin, std::size_t end) {
  for (const column_view& column : columns) {
    for (std::size_t row = begin; row < end; ++row) {
      const value_ref& value = value_at(column, row);
      const char* at = text.data() + value_offset(value);
      prefetch(at);
      prefetch(at + value[5]);
    }
  }
}

// The hash of the values of row in columns, in their order.
inline std::uint64_t hash_row(std::string_view text, const std::vector<column_view>& columns,
                              std::size_t row) {
  std::uint64_t h = 0;
  for (const column_view& column : columns) h = add_hash(h, hash_bytes(text_at(text, column, row)));
  return h;
}

// Whether row_a of the columns a holds the values of row_b of the columns b.
// REQUIRES: a.size() == b.size().
inline bool same_values(std::string_view text, const std::vector<column_view>& a, std::size_t row_a,
                        const std::vector<column_view>& b, std::size_t row_b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_text(text_at(text, a[i], row_a), text_at(text, b[i], row_b))) return false;
  }
  return true;
}

}  // namespace natjoin

#endif  // NATJOIN_JOIN_COLUMN_VIEW_H_
