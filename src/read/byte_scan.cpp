#include "read/byte_scan.h"

namespace natjoin {

namespace {

// Whether the line that starts at at stops the skipping.
bool stops(std::string_view text, std::size_t at, std::string_view stop) {
  if (at == text.size()) return true;
  for (char c : stop) {
    if (text[at] == c) return true;
  }
  return false;
}

}  // namespace

std::size_t skip_lines(std::string_view text, std::size_t at, std::string_view stop,
                       std::size_t& lines, std::size_t limit) {
  if (lines >= limit || stops(text, at, stop)) return at;
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size(); at += chunk) {
      for (unsigned ends = chunk_equal(text.data() + at, '\n'); ends != 0; ends &= ends - 1) {
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

}  // namespace natjoin
