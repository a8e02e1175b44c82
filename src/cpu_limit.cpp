// The text of cpu.max, read on any system, so that tests run everywhere.
#include "cpu_limit.h"

#include <cstdint>

namespace {

// Reads the decimal number at the front of text, moving past it. Returns
// false, with text unchanged, where text does not begin with one that fits.
bool read_number(std::string_view& text, std::uint64_t& number) {
  std::size_t at = 0;
  number = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (number > (UINT64_MAX - 9) / 10) return false;
    number = number * 10 + static_cast<unsigned>(text[at] - '0');
  }
  if (at == 0) return false;
  text.remove_prefix(at);
  return true;
}

}  // namespace

std::size_t parse_cpu_max(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::uint64_t quota = 0;
  std::uint64_t period = 0;
  if (!read_number(text, quota) || text.empty() || text.front() != ' ') return 0;
  text.remove_prefix(1);
  if (!read_number(text, period) || !text.empty() || quota == 0 || period == 0) return 0;
  return static_cast<std::size_t>((quota + period - 1) / period);
}
