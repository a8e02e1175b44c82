#include "join/running_result.h"

namespace natjoin {

void start_running(const table_ref& first, running_result& running) {
  running.codes = first.codes;
  for (std::size_t j = 0; j < first.names.size(); ++j) {
    running.sources.push_back(table_column(first, j));
    running.table_of.push_back(0);
    running.positions.emplace(first.names[j], j);
  }
  running.rows.emplace_back();
  running.row_count = table_rows(first);
  running.first_width = first.names.size();
}

const std::uint32_t* rows_of(const running_result& running, std::size_t table) {
  return table == 0 && running.first_is_whole ? nullptr : running.rows[table].data();
}

std::vector<column_view> running_columns(const running_result& running,
                                         const std::vector<std::size_t>& positions) {
  std::vector<column_view> columns;
  for (std::size_t k : positions) {
    column_view column = running.sources[k];
    column.rows = rows_of(running, running.table_of[k]);
    columns.push_back(column);
  }
  return columns;
}

void take_step(running_result& running, const table_ref& table,
               const std::vector<std::size_t>& added, const step_groups& groups, std::size_t total,
               std::size_t threads) {
  if (!keeps_running_rows(groups, total, running.row_count)) {
    for (std::size_t t = 0; t < running.rows.size(); ++t) {
      row_numbers next;
      gather_rows(rows_of(running, t), groups, total, next, threads);
      running.rows[t].swap(next);
    }
    running.first_is_whole = false;
  }
  running.row_count = total;
  if (added.empty()) return;
  running.rows.emplace_back();
  spread_rows(groups, total, running.rows.back(), threads);
  for (std::size_t j : added) {
    running.positions.emplace(table.names[j], running.codes.size());
    running.codes.push_back(table.codes[j]);
    running.sources.push_back(table_column(table, j));
    running.table_of.push_back(running.rows.size() - 1);
  }
}

void number_first_rows(running_result& running) {
  if (!running.first_is_whole) return;
  running.rows[0].resize(running.row_count);
  for (std::size_t row = 0; row < running.row_count; ++row) {
    running.rows[0][row] = static_cast<std::uint32_t>(row);
  }
  running.first_is_whole = false;
}

}  // namespace natjoin
