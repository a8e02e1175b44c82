// The natural join: the tables of the join statement joined from left to right, one step each.
//
// The running result is kept as row numbers: for each table joined so far,
// the row of it that every running row comes from. A step finds, for each
// row of the new table, the running rows that it meets (key_groups), leaves
// out repeated rows (repeated_rows), and writes the next row numbers from
// those groups (running_result). Values are read only to hash and compare
// keys, and to tell repeated rows apart.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "base/memory.h"
#include "base/progress.h"
#include "base/reasons.h"
#include "base/type_codes.h"
#include "f1.h"
#include "join/column_view.h"
#include "join/key_groups.h"
#include "join/key_index.h"
#include "join/repeated_rows.h"
#include "join/running_result.h"

using namespace natjoin;

namespace {

// What a join reads: the table text and the catalogue read from it.
struct join_input {
  std::string_view text;
  const table_data_map& table_data;
  const column_types_map& column_types;
  const column_names_map& column_names;
};

// The table of the catalogue named name.
// REQUIRES: the catalogue holds it.
table_ref find_table(const std::string& name, const join_input& input) {
  return {input.table_data.at(name), input.column_names.at(name), input.column_types.at(name)};
}

// The bytes of a list of row numbers of rows rows: 4 bytes a row, in a region.
std::size_t list_bytes(std::size_t rows) {
  return region_footprint(rows * sizeof(std::uint32_t));
}

// Whether lists lists of row numbers of rows rows, and extra bytes a row
// besides, fit in the share of memory that a result may take: half of
// limit, what the process may use, the other half holding the input, the
// tables and the key index of a step.
// REQUIRES: rows < max_rows.
bool fits(std::size_t rows, std::size_t lists, std::size_t extra, std::size_t limit) {
  const std::size_t share = limit / 2;
  const std::size_t list = list_bytes(rows);
  if (list != 0 && lists > share / list) return false;
  return extra == 0 || rows <= (share - lists * list) / extra;
}

// The lists of row numbers that a step's result holds at its peak beyond
// those of its tables: the next step's two lists of the running rows, the
// names of their keys and the rows grouped by key, which it holds beside the
// rows of every joined table. Measured on the workloads of bench/ and on
// Cartesian steps, a step's peak above the input and its tables was at most
// 4 bytes a row for each table that has brought a column, and these 8 bytes.
constexpr std::size_t next_step_lists = 2;

// The new table's columns against the running ones: the running positions of
// the key columns, the new table's key columns in the same order, and the
// positions in the new table of its new columns.
struct step_columns {
  std::vector<std::size_t> shared;
  std::vector<column_view> new_key;
  std::vector<std::size_t> added;
};

// Pairs the columns of the new table with the running columns of the same
// name. Columns of one name are declared alike: the declarations were
// checked before the first step.
void match_columns(const running_result& running, const table_ref& table, step_columns& columns) {
  for (std::size_t j = 0; j < table.names.size(); ++j) {
    auto it = running.positions.find(table.names[j]);
    if (it == running.positions.end()) {
      columns.added.push_back(j);
      continue;
    }
    columns.shared.push_back(it->second);
    columns.new_key.push_back(table_column(table, j));
  }
}

// Leaves repeated rows out of the step's groups. Later running rows are as
// distinct as the tables that make them; only the first table and the new
// one may still hold repeated rows. The rows of a group agree on the key
// columns: only the others are compared.
void leave_out_repeats(std::string_view text, const running_result& running, const table_ref& table,
                       const step_columns& columns, step_groups& groups, const work_split& split) {
  if (running.first_is_whole && !groups.running_distinct) {
    std::vector<column_view> first;
    for (std::size_t k = 0; k < running.first_width; ++k) {
      if (std::find(columns.shared.begin(), columns.shared.end(), k) == columns.shared.end()) {
        first.push_back(running.sources[k]);
      }
    }
    keep_first_running(text, first, running.row_count, groups, split);
  }
  if (!groups.new_distinct) {
    std::vector<column_view> others;
    for (std::size_t j : columns.added) others.push_back(table_column(table, j));
    keep_first_new(text, others, groups, split);
  }
}

// Joins the new table to the running result: match the columns, then the
// rows, leave out repeated rows, check the size, and take the result.
// Returns 0, or 1 for a result of 2^32 - 1 rows or more or one that memory
// could not hold, which fails here, at once, instead of being built until the
// system stops the process.
int join_step(std::string_view text, running_result& running,
              std::vector<std::string>& result_columns, const table_ref& table,
              const step_count& counted, const work_split& split) {
  step_columns columns;
  match_columns(running, table, columns);
  const std::size_t new_rows = table_rows(table);
  if (new_rows >= max_rows) return status_failed;
  step_groups groups;
  if (columns.shared.empty()) {
    match_all(running.row_count, new_rows, groups);
  } else {
    match_by_key(text, {running_columns(running, columns.shared), running.row_count},
                 {columns.new_key, new_rows}, groups, counted, split);
  }
  leave_out_repeats(text, running, table, columns, groups, split);
  const std::size_t total = count_result(groups, split.piece_rows);
  const std::size_t lists = running.rows.size() + (columns.added.empty() ? 0 : 1);
  if (total >= max_rows || !fits(total, lists + next_step_lists, 0, split.memory)) {
    return status_failed;
  }
  take_step(running, table, columns.added, groups, total, split.threads);
  for (std::size_t j : columns.added) result_columns.push_back(table.names[j]);
  return status_ok;
}

// Checks the named tables on their declarations alone, in statement order:
// a table that is not defined, or a column declared unlike the column of the
// same name that an earlier table brought, fails the join before any row is
// joined, however long or large the steps before it would be. Returns a
// status as join does.
int check_declarations(const std::vector<std::string>& join_tables,
                       const column_types_map& column_types, const column_names_map& column_names,
                       failure_detail* detail) {
  // Each column so far, with its code and the table that brought it.
  std::unordered_map<std::string_view, std::pair<int, const std::string*>> columns;
  for (const std::string& name : join_tables) {
    auto names = column_names.find(name);
    if (names == column_names.end() || names->second.empty()) {
      return fail_at(
          detail, 1,
          "table " + quote(name) + " of the join statement is defined nowhere in the file");
    }
    const std::vector<int>& codes = column_types.at(name);
    for (std::size_t j = 0; j < codes.size(); ++j) {
      auto [it, added] = columns.try_emplace(names->second[j], codes[j], &name);
      if (!added && it->second.first != codes[j]) {
        fail_at(detail, 0,
                "column " + quote(names->second[j]) + " is declared " +
                    type_name(it->second.first) + " in table " + quote(*it->second.second) +
                    " but " + type_name(codes[j]) + " in table " + quote(name));
        return status_conflict;
      }
    }
  }
  return status_ok;
}

// The first position in join_tables from which on every table brings only
// columns of its own: none of the tables before it, nor of those after it
// up to its own position, has any of its columns. The steps from there on are
// Cartesian products. join_tables.size() where there is no such position.
std::size_t first_product_step(const std::vector<std::string>& join_tables,
                               const column_names_map& column_names) {
  std::unordered_map<std::string_view, std::size_t> first_table;
  std::vector<char> fresh(join_tables.size(), 1);
  for (std::size_t t = 0; t < join_tables.size(); ++t) {
    for (const std::string& name : column_names.at(join_tables[t])) {
      if (first_table.try_emplace(name, t).first->second != t) fresh[t] = 0;
    }
  }
  std::size_t first = join_tables.size();
  while (first > 1 && fresh[first - 1] != 0) --first;
  return first;
}

// The number of distinct rows of table.
std::size_t distinct_rows(std::string_view text, const table_ref& table, const work_split& split) {
  std::vector<column_view> columns;
  for (std::size_t j = 0; j < table.names.size(); ++j) columns.push_back(table_column(table, j));
  row_numbers rows(table_rows(table));
  for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = static_cast<std::uint32_t>(r);
  return keep_first_of_table(text, columns, rows, rows.size(), split);
}

// Whether the running result times the tables of join_tables from first on,
// every one of which only adds columns, would reach max_rows rows or more
// than memory holds. The row counts are multiplied before any is joined; only
// where they pass are repeated rows, which the product leaves out, counted.
bool product_too_large(const join_input& input, const std::vector<std::string>& join_tables,
                       std::size_t first, const running_result& running, const work_split& split) {
  const auto passes = [&](const std::function<std::size_t(const table_ref&)>& rows_of_table,
                          std::size_t product) {
    std::size_t tables = running.rows.size();
    bool beyond = false;  // the product has passed max_rows, and is no longer multiplied
    for (std::size_t t = first; t < join_tables.size(); ++t, ++tables) {
      const std::size_t rows = rows_of_table(find_table(join_tables[t], input));
      if (rows == 0) return false;  // an empty table leaves the result empty
      if (product >= max_rows / rows) beyond = true;
      if (!beyond) product *= rows;
    }
    if (product == 0) return false;
    return beyond || product >= max_rows ||
           !fits(product, tables + next_step_lists, 0, split.memory);
  };
  if (!passes(table_rows, running.row_count)) return false;
  const std::size_t running_rows =
      running.first_is_whole ? distinct_rows(input.text, find_table(join_tables[0], input), split)
                             : running.row_count;
  return passes([&](const table_ref& table) { return distinct_rows(input.text, table, split); },
                running_rows);
}

// Joins the tables after the first, one step each, telling progress how far
// each step has got in the rows of both its sides. Where the steps that are
// left are all Cartesian products, their size is known from the row counts
// alone, and a result too large fails before they are built.
int join_steps(const join_input& input, const std::vector<std::string>& join_tables,
               running_result& running, std::vector<std::string>& result_columns,
               failure_detail* detail, const progress_report* progress, const work_split& split) {
  const std::size_t products = first_product_step(join_tables, input.column_names);
  for (std::size_t t = 1; t < join_tables.size(); ++t) {
    const std::string& name = join_tables[t];
    if (t == products && product_too_large(input, join_tables, t, running, split)) {
      return fail_at(detail, 0,
                     "joining table " + quote(name) +
                         " and those after it would give a result too large for memory");
    }
    const table_ref table = find_table(name, input);
    const std::string stage = "joining " + name;
    const std::size_t step_rows = running.row_count + table_rows(table);
    const step_count counted = [&](std::size_t rows) {
      report(progress, stage, rows, step_rows, "rows");
    };
    if (join_step(input.text, running, result_columns, table, counted, split) != status_ok) {
      return fail_at(detail, 0,
                     "joining table " + quote(name) + " would give a result too large for memory");
    }
    running.rows_after_steps.push_back(running.row_count);
  }
  return status_ok;
}

// Leaves out the repeated rows that no step has: those of a join of one
// table, which are all one group, and rows whose texts are equal where a
// char value holds a ",". Returns 1 when the search would not fit in memory.
int leave_out_last_repeats(std::string_view text, const std::vector<std::string>& join_tables,
                           const table_data_map& table_data, running_result& running,
                           const std::vector<std::string>& result_columns,
                           const work_split& split) {
  number_first_rows(running);
  if (join_tables.size() == 1) {
    running.row_count =
        keep_first_of_table(text, running.sources, running.rows[0], running.row_count, split);
  }
  bool commas = false;
  for (const std::string& name : join_tables) commas = commas || table_data.at(name).holds_commas;
  if (!commas) return status_ok;
  // The search takes up to 32 bytes a row beside the rows of the tables.
  if (!fits(running.row_count, running.rows.size(), 4 * sizeof(std::uint64_t), split.memory)) {
    return status_failed;
  }
  // The texts are those the writer writes: values in the byte order of the
  // column names.
  std::vector<std::size_t> order(result_columns.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return result_columns[a] < result_columns[b]; });
  running.row_count =
      drop_repeats(text, running_columns(running, order), running.rows, running.row_count, split);
  return status_ok;
}

// Hands the running result over as the result table.
void finish_result(running_result& running, const std::vector<std::string>& result_columns,
                   result_types_map& result_types, result_data_map& result_data) {
  std::vector<std::shared_ptr<const row_numbers>> rows;
  for (row_numbers& table_rows : running.rows) {
    rows.push_back(std::make_shared<const row_numbers>(std::move(table_rows)));
  }
  for (std::size_t p = 0; p < result_columns.size(); ++p) {
    result_types.emplace(result_columns[p], running.codes[p]);
    const column_view& source = running.sources[p];
    result_data.emplace(result_columns[p], result_column{source.table, source.index, source.stride,
                                                         rows[running.table_of[p]]});
  }
}

}  // namespace

int join(std::string_view text, const std::vector<std::string>& join_tables,
         const table_data_map& table_data, const column_types_map& column_types,
         const column_names_map& column_names, result_types_map& result_types,
         std::vector<std::string>& result_columns, result_data_map& result_data,
         failure_detail* detail, const progress_report* progress, const work_split& split,
         std::vector<std::size_t>* rows_after_steps) {
  result_types.clear();
  result_columns.clear();
  result_data.clear();
  if (join_tables.empty()) return fail_at(detail, 1, "the join statement names no table");
  const int checked = check_declarations(join_tables, column_types, column_names, detail);
  if (checked != status_ok) return checked;
  // Every name is now a table with columns; the first one starts the result.
  const join_input input = {text, table_data, column_types, column_names};
  running_result running;
  start_running(find_table(join_tables.front(), input), running);
  result_columns = column_names.at(join_tables.front());
  running.rows_after_steps.push_back(running.row_count);
  if (running.row_count >= max_rows) {
    return fail_at(detail, 0, "the result would have 2^32 - 1 rows or more");
  }
  const int joined =
      join_steps(input, join_tables, running, result_columns, detail, progress, split);
  if (joined != status_ok) return joined;
  if (leave_out_last_repeats(text, join_tables, table_data, running, result_columns, split) !=
      status_ok) {
    return fail_at(detail, 0, "the result is too large for memory to find its repeated rows");
  }
  finish_result(running, result_columns, result_types, result_data);
  if (rows_after_steps != nullptr) *rows_after_steps = std::move(running.rows_after_steps);
  return status_ok;
}
