// The processors of a run on POSIX systems: the affinity mask and the cgroup quotas on Linux,
// the processors online elsewhere.
#if defined(__linux__)
#include <sched.h>
#endif
#include <unistd.h>

#include <algorithm>

#include "cpu_limit.h"

namespace {

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

std::size_t cpu_limit() {
  std::size_t limit = std::max<std::size_t>(1, usable_processors());
  for (const std::string& text : read_cgroup_files(cpu_files)) {
    const std::size_t quota = parse_cpu_max(text);
    if (quota != 0) limit = std::min(limit, quota);
  }
  return limit;
}
