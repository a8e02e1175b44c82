// The limits of a run on POSIX systems: the machine's memory and processors, the soft limits on
// address space and data, the affinity mask, and on Linux the limits of the process's cgroups.
#if defined(__linux__)
#include <sched.h>
#endif
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "files.h"
#include "system_limits.h"

namespace natjoin {

namespace {

// Reads the decimal number at the front of text, moving past it. Returns false, with text
// unchanged, where text does not begin with a number below bound.
bool read_number(std::string_view& text, std::uint64_t bound, std::uint64_t& number) {
  std::size_t at = 0;
  number = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const unsigned digit = static_cast<unsigned>(text[at] - '0');
    if (number > (bound - 1 - digit) / 10) return false;
    number = number * 10 + digit;
  }
  if (at == 0) return false;
  text.remove_prefix(at);
  return true;
}

// text without the line end that a file of the system ends with.
std::string_view without_line_end(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return text;
}

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

// The whole text of the file at path; the empty text where it cannot be read. Read through the
// file calls, not a file stream: the first file stream of a process sets up the C++ library's
// locale, which took longer than the reads themselves.
[[maybe_unused]] std::string read_text(const std::string& path) {
  std::string text;
  int error = 0;
  const os_handle file = open_input(path.c_str(), error);
  if (file == no_file) return text;
  char buffer[4096];
  for (std::size_t got = 1; got != 0;) {
    if (read_next(file, buffer, sizeof buffer, got, error) != 0) break;
    text.append(buffer, got);
  }
  close_file(file);
  return text;
}

// The texts of the files that may hold file's limit for this process, read through
// /proc/self/cgroup; an absent or unreadable file reads as empty. None on a system without
// cgroups.
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

// The machine's memory in bytes, or no_memory_limit where it is unknown.
std::size_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return no_memory_limit;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
}

// The soft limit of resource in bytes, or no_memory_limit where there is none.
std::size_t resource_limit(int resource) {
  rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return no_memory_limit;
  return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, no_memory_limit));
}

// The least memory limit of this process's cgroups.
std::size_t cgroup_memory_limit() {
  std::size_t limit = no_memory_limit;
  for (const std::string& text : read_cgroup_files(memory_files)) {
    limit = std::min(limit, parse_cgroup_memory_limit(text));
  }
  return limit;
}

// The processors that the scheduler may run this process on.
std::size_t usable_processors() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::size_t>(CPU_COUNT(&set));
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
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

std::size_t parse_cgroup_memory_limit(std::string_view text) {
  // v1 writes its largest figure, about 2^63 rounded down to a page, for no limit.
  constexpr std::uint64_t unlimited = std::uint64_t{1} << 62;
  text = without_line_end(text);
  std::uint64_t bytes = 0;
  if (!read_number(text, unlimited, bytes) || !text.empty()) return no_memory_limit;
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, no_memory_limit));
}

std::size_t parse_cpu_max(std::string_view text) {
  text = without_line_end(text);
  std::uint64_t quota = 0;
  std::uint64_t period = 0;
  if (!read_number(text, UINT64_MAX, quota) || text.empty() || text.front() != ' ') return 0;
  text.remove_prefix(1);
  if (!read_number(text, UINT64_MAX, period) || !text.empty() || quota == 0 || period == 0) {
    return 0;
  }
  return static_cast<std::size_t>((quota + period - 1) / period);
}

std::size_t memory_limit() {
  return std::min({physical_memory(), resource_limit(RLIMIT_AS), resource_limit(RLIMIT_DATA),
                   cgroup_memory_limit()});
}

std::size_t cpu_limit() {
  std::size_t limit = std::max<std::size_t>(1, usable_processors());
  for (const std::string& text : read_cgroup_files(cpu_files)) {
    const std::size_t quota = parse_cpu_max(text);
    if (quota != 0) limit = std::min(limit, quota);
  }
  return limit;
}

}  // namespace natjoin
