// libFuzzer target: one whole run of natjoin in memory on the fuzzer's bytes
// as the input file, with the output's invariants checked after every run
// that succeeds; a broken one is printed and aborts, so that libFuzzer keeps
// the input. fuzz/run builds and runs it (-max_len=4096 keeps inputs small).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/text.h"
#include "f1.h"

using namespace natjoin;

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "natjoin_fuzz: %s\n", what);
  std::abort();
}

// A few kilobytes can join billions of rows, which tests only the memory of
// the machine: inputs whose result could pass this many cells are skipped.
constexpr std::size_t max_cells = std::size_t{1} << 16;

// The product of the joined tables' row counts times the sum of their column
// counts, saturated at max_cells + 1.
std::size_t bound_cells(const std::vector<std::string>& join_tables, const table_data_map& tables,
                        const column_names_map& names) {
  std::size_t rows = 1, columns = 0;
  for (const std::string& name : join_tables) {
    auto table = tables.find(name);
    if (table == tables.end() || names.at(name).empty()) continue;
    const std::size_t width = names.at(name).size();
    rows = std::min(rows * std::max<std::size_t>(1, table->second.values.size() / width),
                    max_cells + 1);
    columns = std::min(columns + width, max_cells + 1);
  }
  return std::min(rows * columns, max_cells + 1);
}

// Every stored value reads back as the row parser saw it: an int value
// within its field and free of leading zeros, a char value between its
// quotes and within its width; and a table is marked as holding commas
// exactly when one of its char values holds one.
void check_values(std::string_view text, const table_data_map& tables,
                  const column_types_map& types) {
  for (const auto& [name, table] : tables) {
    const std::vector<int>& codes = types.at(name);
    check(table.values.size() % codes.size() == 0, "a table with a partial row");
    bool commas = false;
    for (std::size_t i = 0; i < table.values.size(); ++i) {
      const int code = codes[i % codes.size()];
      const std::string_view value = value_text(text, table, table.values[i]);
      check(value.data() >= text.data() && value.end() <= text.end(), "a value outside the text");
      check(value.find('\n') == std::string_view::npos, "a value across a line end");
      if (code < 1) {
        check(value.find(',') == std::string_view::npos, "an int value holding a comma");
        check(value.size() <= 1 || value[0] != '0', "an int value with a leading zero");
      } else {
        check(value.size() <= static_cast<std::size_t>(code), "a char value over its width");
        check(value.data()[-1] == '\'' && value.end()[0] == '\'', "a char value not in quotes");
        commas = commas || value.find(',') != std::string_view::npos;
      }
    }
    check(commas == table.holds_commas, "a table marked wrongly as holding commas");
  }
}

// Checks what follows the copy of the input: the empty separator line, the
// header with the sorted column names each once, and distinct row lines, at
// least one and at most one per result row.
void check_result(std::string_view out, const std::vector<std::string>& columns, std::size_t rows) {
  check(out.substr(0, 8) == "\nresult(", "no empty line and header after the copy");
  std::size_t end = out.find('\n', 8);
  check(end != std::string_view::npos && out[end - 1] == ')', "header line not closed");
  std::string_view declarations = out.substr(8, end - 9);
  std::vector<std::string_view> names;
  for (std::size_t at = 0, next = 0; next != std::string_view::npos; at = next + 2) {
    next = declarations.find(", ", at);  // names hold no comma and no blank
    std::string_view declaration = declarations.substr(at, next - at);
    std::size_t blank = declaration.find(' ');
    check(blank != std::string_view::npos, "a declaration without a type");
    std::string_view name = declaration.substr(0, blank);
    check(names.empty() || names.back() < name, "column names not in increasing byte order");
    names.push_back(name);
  }
  check(std::equal(names.begin(), names.end(), columns.begin(), columns.end()),
        "header names differ from the result columns");
  out.remove_prefix(end + 1);
  check(out.empty() || out.back() == '\n', "last row line without a line end");
  std::unordered_set<std::string_view> seen;
  for (std::size_t at = 0, next; at < out.size(); at = next + 1) {
    next = out.find('\n', at);  // a "\r" before it belongs to the row text
    check(seen.insert(out.substr(at, next - at)).second, "a row text repeats");
  }
  check(seen.size() <= rows && seen.empty() == (rows == 0), "row lines do not match result rows");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view rest = input, first_line;
  read_line(rest, first_line);
  std::vector<std::string> join_tables;
  table_data_map table_data;
  column_types_map column_types;
  column_names_map column_names;
  result_types_map result_types;
  std::vector<std::string> result_columns;
  result_data_map result_data;
  // A stage fills the detail only when it fails: a line of the input (or 0)
  // and a reason.
  failure_detail detail;
  auto failed = [&] {
    const std::size_t lines = std::count(input.begin(), input.end(), '\n') + 1;
    check(detail.line <= lines && !detail.reason.empty(), "a failure without line and reason");
    return 0;
  };
  if (join_ertelmezo(first_line, join_tables, &detail) != status_ok ||
      tabla_ertelmezo(rest, table_data, column_types, column_names, &detail) != status_ok) {
    return failed();
  }
  check_values(rest, table_data, column_types);
  if (bound_cells(join_tables, table_data, column_names) > max_cells) return -1;  // kept out
  if (join(rest, join_tables, table_data, column_types, column_names, result_types, result_columns,
           result_data, &detail) != status_ok) {
    return failed();
  }
  check(detail.line == 0 && detail.column == 0 && detail.reason.empty(),
        "a detail filled without a failure");
  // What write_result requires: each column typed, with one value per row.
  check(!result_columns.empty() && result_types.size() == result_columns.size() &&
            result_data.size() == result_columns.size(),
        "result columns, types and value lists differ in number");
  const std::size_t rows = result_data.begin()->second.rows->size();
  for (const auto& column : result_data) {
    check(column.second.rows->size() == rows, "result row numbers of different lengths");
  }
  std::string out;
  output_sink sink = [&](std::string_view block) {
    out.append(block);
    return 0;
  };
  check(
      write_result(input, rest, result_columns, result_types, result_data, sink, "\n") == status_ok,
      "write_result failed with a sink that never fails");
  std::string copy;  // the input, its "\r\n" line ends made "\n", then "\n"
  for (std::size_t at = 0, next = 0; next != std::string_view::npos; at = next + 2) {
    next = input.find("\r\n", at);
    copy.append(input.substr(at, next - at)) += '\n';  // up to the end when next is npos
  }
  check(out.compare(0, copy.size(), copy) == 0, "output does not start with the input's lines");
  check_result(std::string_view(out).substr(copy.size()), result_columns, rows);
  return 0;
}
