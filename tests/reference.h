// The straightforward engine: nested loops over every pair of rows and a
// linear search for repeated row texts. Slow, and plainly right; the fast
// engine must give the same bytes.
#ifndef NATJOIN_TESTS_REFERENCE_H_
#define NATJOIN_TESTS_REFERENCE_H_

#include <string>
#include <string_view>
#include <vector>

#include "f1.h"

// Same contract as join().
int reference_join(const std::vector<std::string>& join_tables, const table_data_map& table_data,
                   const column_types_map& column_types, const column_names_map& column_names,
                   result_types_map& result_types, std::vector<std::string>& result_columns,
                   column_map& result_data);

// Same contract as write_result(), into a string.
std::string reference_write(std::string_view input, std::vector<std::string> result_columns,
                            const result_types_map& result_types, const column_map& result_data);

#endif  // NATJOIN_TESTS_REFERENCE_H_
