#include "reference.h"

#include <algorithm>

using namespace natjoin;

namespace {

template <typename Map>
const typename Map::mapped_type& find_or_empty(const Map& map, const std::string& key) {
  static const typename Map::mapped_type empty;
  auto it = map.find(key);
  return it == map.end() ? empty : it->second;
}

std::size_t rows_of(const text_columns& data, const std::string& column) {
  auto it = data.find(column);
  return it == data.end() ? 0 : it->second.size();
}

}  // namespace

text_catalogue texts_of(std::string_view text, const table_data_map& table_data,
                        const column_names_map& column_names) {
  text_catalogue catalogue;
  for (const auto& [table, values] : table_data) {
    const std::vector<std::string>& names = column_names.at(table);
    text_columns& columns = catalogue[table];
    for (std::size_t i = 0; i < values.values.size(); ++i) {
      columns[names[i % names.size()]].emplace_back(value_text(text, values, values.values[i]));
    }
    for (const std::string& name : names) columns[name];
  }
  return catalogue;
}

std::vector<std::vector<std::string>> result_texts(std::string_view text,
                                                   const std::vector<std::string>& result_columns,
                                                   const result_data_map& result_data) {
  std::vector<std::vector<std::string>> rows;
  if (result_columns.empty()) return rows;
  rows.resize(result_data.at(result_columns.front()).rows->size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (const std::string& name : result_columns) {
      const result_column& column = result_data.at(name);
      const value_ref value =
          column.table->values[(*column.rows)[i] * column.stride + column.index];
      rows[i].emplace_back(value_text(text, *column.table, value));
    }
  }
  return rows;
}

int reference_join(const std::vector<std::string>& join_tables, const text_catalogue& table_data,
                   const column_types_map& column_types, const column_names_map& column_names,
                   result_types_map& result_types, std::vector<std::string>& result_columns,
                   text_columns& result_data) {
  result_types.clear();
  result_columns.clear();
  result_data.clear();
  result_data = find_or_empty(table_data, join_tables[0]);
  result_columns = find_or_empty(column_names, join_tables[0]);
  std::vector<int> codes = find_or_empty(column_types, join_tables[0]);
  if (result_columns.empty()) return 1;

  for (std::size_t t = 1; t < join_tables.size(); ++t) {
    const text_columns& data = find_or_empty(table_data, join_tables[t]);
    const std::vector<std::string>& names = find_or_empty(column_names, join_tables[t]);
    const std::vector<int>& types = find_or_empty(column_types, join_tables[t]);
    if (names.empty()) return 1;

    std::vector<std::string> next_columns = result_columns;
    std::vector<int> next_codes = codes;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    std::vector<bool> matched(names.size(), false);
    for (std::size_t j = 0; j < names.size(); ++j) {
      for (std::size_t k = 0; k < result_columns.size(); ++k) {
        if (names[j] != result_columns[k]) continue;
        if (types[j] != codes[k]) return 2;
        pairs.emplace_back(j, k);
        matched[j] = true;
      }
      if (!matched[j]) {
        next_columns.push_back(names[j]);
        next_codes.push_back(types[j]);
      }
    }
    text_columns next;
    for (const std::string& name : next_columns) next[name];
    std::size_t new_rows = rows_of(data, names[0]);
    std::size_t running_rows = rows_of(result_data, result_columns[0]);
    for (std::size_t r = 0; r < new_rows; ++r) {
      for (std::size_t s = 0; s < running_rows; ++s) {
        bool joins = true;
        for (auto [a, b] : pairs) {
          joins = joins && data.at(names[a])[r] == result_data.at(result_columns[b])[s];
        }
        if (!joins) continue;
        for (const std::string& name : result_columns) next[name].push_back(result_data[name][s]);
        for (std::size_t j = 0; j < names.size(); ++j) {
          if (!matched[j]) next[names[j]].push_back(data.at(names[j])[r]);
        }
      }
    }
    result_data = std::move(next);
    result_columns = std::move(next_columns);
    codes = std::move(next_codes);
  }
  for (std::size_t p = 0; p < result_columns.size(); ++p)
    result_types[result_columns[p]] = codes[p];
  return 0;
}

std::string reference_write(std::string_view input, std::vector<std::string> result_columns,
                            const result_types_map& result_types, const text_columns& result_data) {
  std::sort(result_columns.begin(), result_columns.end());
  std::string out;
  // Line by line; the end is noticed only by a read that runs into it.
  std::string_view rest = input;
  bool at_end = false;
  while (!at_end) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (end == std::string_view::npos) {
      at_end = true;
    } else {
      if (line.ends_with('\r')) line.remove_suffix(1);
      rest.remove_prefix(end + 1);
    }
    out.append(line);
    out += '\n';
  }
  out += "\nresult(";
  for (std::size_t i = 0; i < result_columns.size(); ++i) {
    int code = result_types.at(result_columns[i]);
    out += result_columns[i];
    out += code < 0 ? " int" : " char(" + std::to_string(code) + ")";
    if (i + 1 < result_columns.size()) out += ", ";
  }
  out += ")\n";
  std::vector<std::string> written;
  std::size_t rows = result_data.at(result_columns[0]).size();
  for (std::size_t r = 0; r < rows; ++r) {
    std::string row;
    for (std::size_t j = 0; j < result_columns.size(); ++j) {
      std::string quote = result_types.at(result_columns[j]) > 0 ? "'" : "";
      row += quote;
      row += result_data.at(result_columns[j])[r];
      row += quote;
      if (j + 1 < result_columns.size()) row += ",";
    }
    if (std::find(written.begin(), written.end(), row) == written.end()) {
      out += row + "\n";
      written.push_back(row);
    }
  }
  return out;
}
