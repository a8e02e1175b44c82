// The searches of the input text, sixteen bytes at a time, against a byte-at-a-time scan: from
// every offset across three chunks, with the byte sought at every position, and the end of the
// search and of the text anywhere.
#include "read/byte_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

using namespace natjoin;

namespace {

constexpr std::size_t text_size = 64;
constexpr std::size_t last_offset = 47;

std::size_t naive_find_any(std::string_view text, std::size_t at, char a, char b, char c) {
  while (at < text.size() && text[at] != a && text[at] != b && text[at] != c) ++at;
  return at;
}

std::size_t naive_find_before(std::string_view text, std::size_t at, std::size_t end, char c) {
  while (at < end && text[at] != c) ++at;
  return at;
}

bool naive_stops(std::string_view text, std::size_t at, std::string_view stop) {
  return at == text.size() || stop.find(text[at]) != std::string_view::npos;
}

std::size_t naive_skip_lines(std::string_view text, std::size_t at, std::string_view stop,
                             std::size_t& lines, std::size_t limit) {
  if (lines >= limit || naive_stops(text, at, stop)) return at;
  for (;;) {
    const std::size_t end = text.find('\n', at);
    ++lines;
    if (end == std::string_view::npos) return text.size();
    at = end + 1;
    if (lines == limit || naive_stops(text, at, stop)) return at;
  }
}

void check_skip_lines(const std::string& text, int round) {
  for (std::size_t at = 0; at <= last_offset; ++at) {
    for (std::size_t limit : {std::size_t{1}, std::size_t{3}, std::size_t{9}, std::size_t{1000}}) {
      std::size_t lines = 0;
      std::size_t naive_lines = 0;
      const std::size_t end = skip_lines(text, at, " \t\r\n", lines, limit);
      EXPECT_EQ(end, naive_skip_lines(text, at, " \t\r\n", naive_lines, limit))
          << "round " << round << ", size " << text.size() << ", from " << at << ", limit "
          << limit;
      EXPECT_EQ(lines, naive_lines) << "round " << round << ", from " << at;
    }
  }
}

TEST(ByteScan, FindAnyFindsTheFirstOfThreeBytesFromEveryOffset) {
  for (std::size_t size : {text_size, std::size_t{48}, std::size_t{17}}) {
    for (std::size_t at = 0; at <= std::min(last_offset, size); ++at) {
      for (std::size_t sought = 0; sought <= size; ++sought) {
        for (char c : {',', '\n', '\r'}) {
          std::string text(size, 'x');
          if (sought < size) text[sought] = c;
          EXPECT_EQ(find_any(text, at, ',', '\n', '\r'), naive_find_any(text, at, ',', '\n', '\r'))
              << "size " << size << ", from " << at << ", byte " << int(c) << " at " << sought;
        }
      }
    }
  }
}

TEST(ByteScan, FindBeforeStopsAtTheEndItIsGivenAndReadsNoByteBeyondTheText) {
  for (std::size_t at = 0; at <= last_offset; ++at) {
    for (std::size_t sought = 0; sought <= text_size; ++sought) {
      for (std::size_t end = at; end <= text_size; end += 5) {
        // The text is exactly text_size bytes of the heap: AddressSanitizer catches a read past it.
        const std::unique_ptr<char[]> text(new char[text_size]);
        std::fill(text.get(), text.get() + text_size, 'x');
        if (sought < text_size) text[sought] = ',';
        const std::string_view view(text.get(), text_size);
        EXPECT_EQ(find_before(view, at, end, ','), naive_find_before(view, at, end, ','))
            << "from " << at << " before " << end << ", comma at " << sought;
      }
    }
  }
}

// Short lines that often stop the search, and texts of several blocks whose lines seldom do, so
// that the stop or the limit falls in a block, at its edges and across them; and lines that
// begin with control bytes, which lie below the blank, the greatest byte that stops the search,
// yet do not stop it.
TEST(ByteScan, SkipLinesPassesWhatAByteAtATimePasses) {
  struct texts {
    std::size_t size;
    std::string alphabet;
  };
  std::mt19937 random(7);
  for (const texts& kind :
       {texts{text_size, "aaaaa\n\n \r"}, texts{4 * block + 3, std::string(60, 'a') + "\n\n\n\t"},
        texts{4 * block + 3, std::string(40, 'a') + "\n\n\n\v\x01 "}}) {
    for (int round = 0; round < 200; ++round) {
      std::string text(kind.size, 'a');
      for (char& c : text) c = kind.alphabet[random() % kind.alphabet.size()];
      check_skip_lines(text, round);
    }
  }
}

}  // namespace
