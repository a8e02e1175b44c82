// The text utilities: the tokenising under every parser of the input.
#include "base/text.h"

#include <gtest/gtest.h>

#include "f1.h"

using namespace natjoin;

namespace {

using pieces = std::vector<std::string_view>;

TEST(Explode, CutsAtEveryOccurrenceFromTheLeft) {
  struct {
    std::string_view text, delimiter;
    pieces expected;
  } cases[] = {
      {"", ",", {""}},
      {"a,,b", ",", {"a", "", "b"}},
      {"a,", ",", {"a", ""}},
      {",a", ",", {"", "a"}},
      {"abc", ",", {"abc"}},
      {"aaa", "aa", {"", "a"}},  // occurrences never overlap
      {"x, y, z", ", ", {"x", "y", "z"}},
      {"abc", "", {"abc"}},  // an empty delimiter must not loop
  };
  for (const auto& c : cases) {
    EXPECT_EQ(explode(c.text, c.delimiter), c.expected)
        << '"' << c.text << "\" at \"" << c.delimiter << '"';
  }
}

TEST(Strip, RemovesRepetitionsAtTheStartAndWhenAskedAtTheEnd) {
  struct {
    std::string_view text, piece;
    bool both;
    std::string_view expected;
  } cases[] = {
      {"  a b  ", " ", true, "a b"}, {"  a b  ", " ", false, "a b  "},
      {"   ", " ", true, ""},        {"", " ", true, ""},
      {"((10))", "(", true, "10))"}, {"abab x abab", "ab", true, " x "},
      {"aba", "ab", true, "a"},  // the trailing search must not reach back into the start
      {"a", "ab", true, "a"},    // text shorter than the piece
      {"xyz", "", true, "xyz"},  // an empty piece must not loop
  };
  for (const auto& c : cases) {
    EXPECT_EQ(strip(c.text, c.piece, c.both), c.expected)
        << '"' << c.text << "\" piece \"" << c.piece << "\" both " << c.both;
  }
}

TEST(Trim, RemovesSpacesFirstThenTabsOnceEach) {
  struct {
    std::string_view text, expected;
  } cases[] = {
      {"\t x", " x"},  // the space behind the tab survives
      {" \tx", "x"},  {" x\t ", "x"}, {"x \t", "x "}, {"\t \t", " "}, {" \t ", ""}, {"a b", "a b"},
  };
  for (const auto& c : cases) EXPECT_EQ(trim(c.text), c.expected) << '"' << c.text << '"';
}

TEST(StripLeadingZeros, KeepsOneZeroForATextOfZerosOnly) {
  struct {
    std::string_view text, expected;
  } cases[] = {{"0", "0"}, {"000", "0"},   {"0012", "12"}, {"-05", "-05"},
               {"", ""},   {"100", "100"}, {"0.50", ".50"}};
  for (const auto& c : cases) EXPECT_EQ(strip_leading_zeros(c.text), c.expected) << c.text;
}

TEST(ReadLine, DropsOnlyTheCarriageReturnBeforeALineFeed) {
  std::string_view rest = "a\r\nb\r\r\nc\n\nd\r";
  std::vector<std::string_view> lines;
  for (std::string_view line; read_line(rest, line);) lines.push_back(line);
  EXPECT_EQ(lines, (pieces{"a", "b\r", "c", "", "d\r"}));
}

}  // namespace
