// The straightforward engine: nested loops over every pair of rows and a
// linear search for repeated row texts, over values held as strings. Slow,
// and plainly right; the fast engine must give the same bytes.
#ifndef NATJOIN_TESTS_REFERENCE_H_
#define NATJOIN_TESTS_REFERENCE_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "f1.h"

// Column name to the values of that column, one per row.
using text_columns = std::map<std::string, std::vector<std::string>>;
// Table name to its columns.
using text_catalogue = std::map<std::string, text_columns>;

// The values of a catalogue that tabla_ertelmezo read from text, as strings.
template <typename Ref>
text_catalogue texts_of(std::string_view text, const table_data_of<Ref>& table_data,
                        const column_types_map& column_types,
                        const column_names_map& column_names) {
  text_catalogue catalogue;
  for (const auto& [table, values] : table_data) {
    const std::vector<std::string>& names = column_names.at(table);
    const std::vector<int>& codes = column_types.at(table);
    text_columns& columns = catalogue[table];
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::size_t j = i % names.size();
      columns[names[j]].emplace_back(value_text(text, values[i], codes[j]));
    }
    for (const std::string& name : names) columns[name];
  }
  return catalogue;
}

// The rows of a result of join(), as strings, in result column order.
template <typename Ref>
std::vector<std::vector<std::string>> result_texts(std::string_view text,
                                                   const std::vector<std::string>& result_columns,
                                                   const result_types_map& result_types,
                                                   const result_data_of<Ref>& result_data) {
  std::vector<std::vector<std::string>> rows;
  if (result_columns.empty()) return rows;
  rows.resize(result_data.at(result_columns.front()).rows->size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (const std::string& name : result_columns) {
      const result_column<Ref>& column = result_data.at(name);
      const Ref value = (*column.values)[(*column.rows)[i] * column.stride + column.index];
      rows[i].emplace_back(value_text(text, value, result_types.at(name)));
    }
  }
  return rows;
}

// The contract of join(), except that repeated rows are kept: every pair of
// joining rows gives a row.
int reference_join(const std::vector<std::string>& join_tables, const text_catalogue& table_data,
                   const column_types_map& column_types, const column_names_map& column_names,
                   result_types_map& result_types, std::vector<std::string>& result_columns,
                   text_columns& result_data);

// The contract of write_result(), into a string; the writer drops repeated
// row texts.
std::string reference_write(std::string_view input, std::vector<std::string> result_columns,
                            const result_types_map& result_types, const text_columns& result_data);

#endif  // NATJOIN_TESTS_REFERENCE_H_
