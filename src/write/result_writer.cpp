// The result file writer: the copy of the input (input_copy.h), then the result table, made in
// pieces on several threads where there are and handed to the sink in order, one piece at a
// time.
#include <algorithm>
#include <string>
#include <vector>

#include "base/pieces.h"
#include "base/progress.h"
#include "base/text_buffer.h"
#include "base/type_codes.h"
#include "f1.h"
#include "join/column_view.h"
#include "write/input_copy.h"
#include "write/row_format.h"

using namespace natjoin;

namespace {

// The rows are cut into pieces of about piece_rows values: small enough that the text of the
// pieces in flight stays in the processors' caches until it is written, and that their buffers,
// once grown, serve every later piece.

void format_header(const std::vector<std::string>& result_columns,
                   const result_types_map& result_types, std::string_view line_end,
                   text_buffer& out) {
  std::string header = "result(";
  for (std::size_t i = 0; i < result_columns.size(); ++i) {
    if (i != 0) header += ", ";
    header += result_columns[i];
    header += ' ';
    header += type_name(result_types.at(result_columns[i]));
  }
  header += ")";
  header += line_end;
  append_bytes(out, header);
}

// The result columns in the order of result_columns, read through their rows.
std::vector<column_view> result_views(const std::vector<std::string>& result_columns,
                                      const result_types_map& result_types,
                                      const result_data_map& result_data) {
  std::vector<column_view> columns;
  for (const std::string& name : result_columns) {
    const result_column& column = result_data.at(name);
    columns.push_back({column.table, column.index, column.stride, column.rows->data(),
                       result_types.at(name), column.table->values.size() <= cached_values});
  }
  return columns;
}

// Appends the text of result rows [first, end) of columns, each with
// line_end, a batch at a time; leaders are the row leaders of columns.
void format_rows(std::string_view text, const std::vector<column_view>& columns,
                 const std::vector<column_view>& leaders, std::size_t first, std::size_t end,
                 std::string_view line_end, text_buffer& out) {
  prefetch_batch(text, leaders, first, end);
  for (std::size_t batch = first; batch < end; batch += format_batch_rows) {
    prefetch_batch(text, leaders, batch + format_batch_rows, end);
    append_rows(text, columns, batch, std::min(batch + format_batch_rows, end), out, line_end);
  }
}

// Where the text of the rows goes, and how it is made.
struct row_output {
  const output_sink& sink;
  std::string_view line_end;
  const progress_report* progress;
  const work_split& split;
};

// Gives back the text of the rows [first, end) of each table that leaders read, where the rows
// read it in ascending order: the stretch from the first row's text to the last one's, which
// the rows after them do not read again. That is the table whose rows a join's last step took
// in order, and whose text the result passes through once; the others it reads in any order.
void give_back_read(std::string_view text, const std::vector<column_view>& leaders,
                    std::size_t first, std::size_t end, const work_split& split) {
  if (!split.give_back || first >= end) return;
  for (const column_view& column : leaders) {
    if (column.rows == nullptr || !std::is_sorted(column.rows + first, column.rows + end)) {
      continue;
    }
    const std::string_view last = text_at(text, column, end - 1);
    give_back(split, text_at(text, column, first).data(), last.data() + last.size());
  }
}

// Writes the text of every one of rows result rows of columns, in order.
int write_rows(std::string_view text, const std::vector<column_view>& columns, std::size_t rows,
               const row_output& out) {
  const work_split& split = out.split;
  const std::vector<column_view> leaders = row_leaders(columns);
  const std::size_t piece =
      std::max<std::size_t>(1, split.piece_rows / std::max<std::size_t>(1, columns.size()));
  std::vector<cache_aligned<text_buffer>> buffers(split.threads + 2);
  const piece_work make = [&](std::size_t p, std::size_t slot) {
    buffers[slot].value.used = 0;
    format_rows(text, columns, leaders, p * piece, std::min(rows, (p + 1) * piece), out.line_end,
                buffers[slot].value);
  };
  const auto use = [&](std::size_t p, std::size_t slot) {
    report(out.progress, "writing", p * piece, rows, "rows");
    if (out.sink(text_of(buffers[slot].value)) != status_ok) return status_failed;
    give_back_read(text, leaders, p * piece, std::min(rows, (p + 1) * piece), split);
    return status_ok;
  };
  return run_pieces_in_order(split.threads, piece_count(rows, piece), make, use);
}

// Writes the rest of the output file: the "result(" declaration with result_columns sorted by
// byte order (sorted in place), then the text of every result row, in result row order. Returns
// 0, or 1 as soon as the sink fails.
int write_result_table(std::string_view text, std::vector<std::string>& result_columns,
                       const result_types_map& result_types, const result_data_map& result_data,
                       const row_output& out) {
  std::sort(result_columns.begin(), result_columns.end());
  text_buffer header;
  format_header(result_columns, result_types, out.line_end, header);
  if (out.sink(text_of(header)) != status_ok) return status_failed;
  const std::size_t rows = result_data.at(result_columns.front()).rows->size();
  return write_rows(text, result_views(result_columns, result_types, result_data), rows, out);
}

}  // namespace

int write_result(std::string_view input, std::string_view text,
                 std::vector<std::string>& result_columns, const result_types_map& result_types,
                 const result_data_map& result_data, const output_sink& sink,
                 std::string_view line_end, const progress_report* progress,
                 const work_split& split, input_copy_thread* copy) {
  // A copy begun ahead of the stages uses the sink until it has ended.
  if (copy != nullptr && input_copy_started(*copy)) {
    if (end_input_copy(*copy, false) != status_ok) return status_failed;
  } else if (write_input_copy(input, sink, line_end, split) != status_ok) {
    return status_failed;
  }
  return write_result_table(text, result_columns, result_types, result_data,
                            {sink, line_end, progress, split});
}
