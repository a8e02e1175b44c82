#include "byte_scan.h"

namespace {

// Whether the line that starts at at stops the skipping.
bool stops(std::string_view text, std::size_t at, std::string_view stop) {
  if (at == text.size()) return true;
  for (char c : stop) {
    if (text[at] == c) return true;
  }
  return false;
}

// The bits set in the 16 bits of x, counted without a library call: a
// processor without a popcount instruction would have libgcc count them.
std::size_t count_bits(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0f0fu;
  return (x + (x >> 8)) & 0x1fu;
}

// Bit i is set where byte i of the chunk at p is one of the bytes of stop.
unsigned chunk_any(const char* p, std::string_view stop) {
  unsigned hits = 0;
  for (char c : stop) hits |= chunk_equal(p, c);
  return hits;
}

// Whether the chunk of 16 bytes at at, whose line ends are ends, may be
// passed whole: none of the lines that start in it stops the skipping, nor
// reaches limit.
// Most chunks of the rows of a table are such.
bool passes_whole(std::string_view text, std::size_t at, unsigned ends, std::string_view stop,
                  std::size_t lines, std::size_t limit) {
  const unsigned starts = (ends << 1) & 0xffffu;  // the lines that start inside the chunk
  if ((starts & chunk_any(text.data() + at, stop)) != 0) return false;
  if ((ends & 0x8000u) != 0 && stops(text, at + chunk, stop)) return false;
  return lines + count_bits(ends) < limit;
}

}  // namespace

std::size_t skip_lines(std::string_view text, std::size_t at, std::string_view stop,
                       std::size_t& lines, std::size_t limit) {
  if (lines >= limit || stops(text, at, stop)) return at;
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size(); at += chunk) {
      unsigned ends = chunk_equal(text.data() + at, '\n');
      if (ends == 0) continue;
      if (passes_whole(text, at, ends, stop, lines, limit)) {
        lines += count_bits(ends);
        continue;
      }
      for (; ends != 0; ends &= ends - 1) {
        const std::size_t next = at + static_cast<std::size_t>(__builtin_ctz(ends)) + 1;
        ++lines;
        if (lines == limit || stops(text, next, stop)) return next;
      }
    }
  }
  for (; at < text.size(); ++at) {
    if (text[at] != '\n') continue;
    ++lines;
    if (lines == limit || stops(text, at + 1, stop)) return at + 1;
  }
  ++lines;  // a last line without a line end
  return at;
}
