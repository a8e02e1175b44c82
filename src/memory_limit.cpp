// The texts of the cgroup files, read on any system, so that tests run everywhere.
#include "memory_limit.h"

#include <algorithm>
#include <cstdint>

namespace {

// Whether the comma-separated list of controllers holds name.
bool has_controller(std::string_view controllers, std::string_view name) {
  for (std::size_t start = 0; start <= controllers.size();) {
    std::size_t end = std::min(controllers.find(',', start), controllers.size());
    if (controllers.substr(start, end - start) == name) return true;
    start = end + 1;
  }
  return false;
}

// Appends dir + path + "/" + file, then the same file of each folder above path, up to dir.
void add_limit_files(const std::string& dir, std::string_view path, std::string_view file,
                     std::vector<std::string>& files) {
  for (;;) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    files.push_back(dir + std::string(path) + "/" + std::string(file));
    if (path.empty()) return;
    std::size_t slash = path.rfind('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  }
}

}  // namespace

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
  std::vector<std::string> files;
  std::string_view rest = proc_self_cgroup;
  while (!rest.empty()) {
    // Each line is "hierarchy:controllers:path"; v2's has hierarchy 0 and no controllers.
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(line.size() + 1, rest.size()));
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view hierarchy = line.substr(0, first);
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string_view path = line.substr(second + 1);
    if (hierarchy == "0" && controllers.empty()) {
      add_limit_files(std::string(root), path, "memory.max", files);
    } else if (has_controller(controllers, "memory")) {
      add_limit_files(std::string(root) + "/memory", path, "memory.limit_in_bytes", files);
    }
  }
  return files;
}
