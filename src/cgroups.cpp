// The text of /proc/self/cgroup, parsed on any system.
#include "cgroups.h"

#include <algorithm>

namespace {

// Whether the comma-separated list of controllers holds name.
bool has_controller(std::string_view controllers, std::string_view name) {
  if (name.empty()) return false;
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

std::vector<std::string> parse_cgroup_files(std::string_view proc_self_cgroup,
                                            const cgroup_file& file, std::string_view root) {
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
      add_limit_files(std::string(root), path, file.v2, files);
    } else if (has_controller(controllers, file.v1_controller)) {
      add_limit_files(std::string(root) + "/" + std::string(file.v1_controller), path, file.v1,
                      files);
    }
  }
  return files;
}
