// The texts of the cgroup files, read on any system, so that tests run everywhere.
#include "memory_limit.h"

#include <algorithm>
#include <cstdint>

std::size_t parse_cgroup_memory_limit(std::string_view text) {
  // v1 writes its largest figure, about 2^63 rounded down to a page, for no limit.
  constexpr std::uint64_t unlimited = std::uint64_t{1} << 62;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty()) return no_memory_limit;
  std::uint64_t bytes = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return no_memory_limit;  // "max" among them
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (bytes > (unlimited - 1 - digit) / 10) return no_memory_limit;
    bytes = bytes * 10 + digit;
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, no_memory_limit));
}

std::vector<std::string> parse_cgroup_limit_files(std::string_view proc_self_cgroup,
                                                  std::string_view root) {
  return parse_cgroup_files(proc_self_cgroup, memory_files, root);
}
