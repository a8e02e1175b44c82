#include "read/stored_values.h"

namespace natjoin {

std::size_t long_value_length(const table_values& table, std::size_t offset) {
  // Rows are stored in the order of the text, so the list is sorted by offset.
  auto at = std::lower_bound(
      table.long_values.begin(), table.long_values.end(), offset,
      [](const long_value& value, std::size_t wanted) { return value.offset < wanted; });
  return static_cast<std::size_t>(at->length);
}

}  // namespace natjoin
