// A stored value keeps where it starts, anywhere in a table text of up to
// 1 TiB, and how long it is; a long value's length is kept by its table.
#include "read/stored_values.h"

#include <gtest/gtest.h>

#include <string>

using namespace natjoin;

namespace {

TEST(StoredValues, KeepTheirOffsetAcrossTheWholeRange) {
  for (std::size_t offset :
       {std::size_t{0}, std::size_t{1} << 31, (std::size_t{1} << 32) + 5, text_limit - 1}) {
    table_values table;
    add_value(table, offset, 7);
    add_value(table, offset, 300);
    EXPECT_EQ(value_offset(table.values[0]), offset);
    EXPECT_EQ(value_offset(table.values[1]), offset);
  }
}

TEST(StoredValues, ReadBackValuesOfEveryLength) {
  const std::string text(2000, 'x');
  struct {
    std::size_t offset, length;
  } cases[] = {{0, 0}, {1, 1}, {2, 254}, {3, 255}, {10, 256}, {300, 1000}, {1999, 1}, {1300, 700}};
  table_values table;
  for (const auto& c : cases) add_value(table, c.offset, c.length);
  ASSERT_EQ(table.values.size(), std::size(cases));
  for (std::size_t i = 0; i < table.values.size(); ++i) {
    const std::string_view value = value_text(text, table, table.values[i]);
    EXPECT_EQ(value.data() - text.data(), static_cast<std::ptrdiff_t>(cases[i].offset)) << i;
    EXPECT_EQ(value.size(), cases[i].length) << i;
  }
}

}  // namespace
