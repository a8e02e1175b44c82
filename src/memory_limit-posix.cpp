// The memory limit on POSIX systems: the machine's memory, the soft limits on address space and
// data, and on Linux the memory limits of the process's cgroups.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "memory_limit.h"

namespace {

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

}  // namespace

std::size_t memory_limit() {
  return std::min({physical_memory(), resource_limit(RLIMIT_AS), resource_limit(RLIMIT_DATA),
                   cgroup_memory_limit()});
}
