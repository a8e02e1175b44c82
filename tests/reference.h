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
text_catalogue texts_of(std::string_view text, const table_data_map& table_data,
                        const column_names_map& column_names);

// The rows of a result of join(), as strings, in result column order.
std::vector<std::vector<std::string>> result_texts(std::string_view text,
                                                   const std::vector<std::string>& result_columns,
                                                   const result_data_map& result_data);

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
