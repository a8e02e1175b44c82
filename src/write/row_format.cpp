#include "write/row_format.h"

#include "base/type_codes.h"

namespace natjoin {

namespace {

// The most values of rows whose places append_rows reads before it copies them.
constexpr std::size_t batch_values = format_batch_rows * 32;

// Copies text[from, from + n) to out. A short value is copied in two
// overlapping moves of a fixed size, which spares a library call and reads
// no byte outside the value: a byte past it may lie in a line of memory
// that was never fetched.
// A value of a table that stays in the cache is copied in one move of 32
// bytes all the same. Another is not, even where its 32 bytes end in the line
// of memory of its last byte: whether they do changes from row to row at
// random, and the branch that asked cost W2 4%.
// It is inlined into the loops that format rows, even where the compiler
// sees them whole and would rather call it (W4: 15% slower so).
[[gnu::always_inline]] inline void copy_bytes(std::string_view text, std::size_t from,
                                              std::size_t n, char* out, bool cached) {
  const char* in = text.data() + from;
  if (cached && n != 0 && n <= 32 && from + 32 <= text.size()) {
    std::memcpy(out, in, 32);
  } else if (n >= 16 && n <= 32) {
    std::memcpy(out, in, 16);
    std::memcpy(out + n - 16, in + n - 16, 16);
  } else if (n >= 8 && n < 16) {
    std::memcpy(out, in, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else if (n > 0 && n < 4) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  } else {
    std::memcpy(out, in, n);
  }
}

// Where the value of row of column lies in text, and its length, with the
// quotes around it where its column has them: the bytes that the output
// holds of it.
struct written_value {
  std::size_t from;
  std::size_t size;
};
[[gnu::always_inline]] inline written_value written_at(std::string_view text,
                                                       const column_view& column, std::size_t row) {
  const std::string_view value = text_at(text, column, row);
  const auto from = static_cast<std::size_t>(value.data() - text.data());
  if (has_quoted_values(column.code)) return {from - 1, value.size() + 2};
  return {from, value.size()};
}

// append_rows for rows [first, end) of columns, whose values number at most batch_values.
void append_batch(std::string_view text, const std::vector<column_view>& columns, std::size_t first,
                  std::size_t end, text_buffer& out, std::string_view line_end) {
  written_value values[batch_values];
  std::size_t room = (end - first) * line_end.size();
  std::size_t k = 0;
  for (std::size_t row = first; row < end; ++row) {
    for (const column_view& column : columns) {
      values[k] = written_at(text, column, row);
      room += values[k++].size + 1;
    }
  }
  char* put = make_room(out, room);
  k = 0;
  for (std::size_t row = first; row < end; ++row) {
    for (std::size_t j = 0; j < columns.size(); ++j, ++k) {
      if (j != 0) *put++ = ',';
      copy_bytes(text, values[k].from, values[k].size, put, columns[j].cached);
      put += values[k].size;
    }
    for (const char c : line_end) *put++ = c;
  }
  out.used = static_cast<std::size_t>(put - out.bytes.data());
}

}  // namespace

void append_row(std::string_view text, const std::vector<column_view>& columns, std::size_t row,
                text_buffer& out, std::string_view end) {
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const written_value value = written_at(text, columns[j], row);
    char* put = make_room(out, value.size + 1);
    if (j != 0) *put++ = ',';
    copy_bytes(text, value.from, value.size, put, columns[j].cached);
    out.used = static_cast<std::size_t>(put - out.bytes.data()) + value.size;
  }
  append_bytes(out, end);
}

void append_rows(std::string_view text, const std::vector<column_view>& columns, std::size_t first,
                 std::size_t end, text_buffer& out, std::string_view line_end) {
  const std::size_t width = std::max<std::size_t>(1, columns.size());
  if (width > batch_values) {
    for (std::size_t row = first; row < end; ++row) append_row(text, columns, row, out, line_end);
    return;
  }
  const std::size_t step = batch_values / width;
  for (std::size_t row = first; row < end; row += step) {
    append_batch(text, columns, row, std::min(end, row + step), out, line_end);
  }
}

std::vector<column_view> row_leaders(const std::vector<column_view>& columns) {
  std::vector<column_view> firsts;
  std::vector<column_view> lasts;
  for (const column_view& column : columns) {
    if (column.table->values.size() <= cached_values) continue;
    auto same = std::find_if(firsts.begin(), firsts.end(),
                             [&](const column_view& leader) { return same_rows(leader, column); });
    if (same == firsts.end()) {
      firsts.push_back(column);
      lasts.push_back(column);
      continue;
    }
    column_view& last = lasts[static_cast<std::size_t>(same - firsts.begin())];
    if (column.index < same->index) *same = column;
    if (column.index > last.index) last = column;
  }
  for (const column_view& last : lasts) {
    const bool apart = std::none_of(firsts.begin(), firsts.end(), [&](const column_view& c) {
      return same_rows(c, last) && c.index == last.index;
    });
    if (apart) firsts.push_back(last);
  }
  return firsts;
}

void prefetch_batch(std::string_view text, const std::vector<column_view>& leaders,
                    std::size_t first, std::size_t rows) {
  prefetch_values(leaders, std::min(first + format_batch_rows, rows),
                  std::min(first + 2 * format_batch_rows, rows));
  prefetch_texts(text, leaders, std::min(first, rows), std::min(first + format_batch_rows, rows));
}

}  // namespace natjoin
