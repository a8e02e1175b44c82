// The cgroup files of this process on POSIX systems: on Linux, read through /proc/self/cgroup;
// other POSIX systems (macOS, the BSDs) have no cgroups.
#include <fstream>
#include <iterator>

#include "cgroups.h"

namespace {

// The whole text of the file at path; the empty text where it cannot be read.
[[maybe_unused]] std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::vector<std::string> read_cgroup_files(const cgroup_file& file) {
  std::vector<std::string> texts;
#if defined(__linux__)
  for (const std::string& path : parse_cgroup_files(read_text("/proc/self/cgroup"), file)) {
    texts.push_back(read_text(path));
  }
#else
  (void)file;
#endif
  return texts;
}
