// natjoin: how many processors a run may use, as the system limits it. The
// stages run on that many threads (see main.cpp), never on more processors
// than the process may run on: `taskset -c 0 natjoin IN OUT` runs on one.
#ifndef NATJOIN_CPU_LIMIT_H_
#define NATJOIN_CPU_LIMIT_H_

#include <cstddef>
#include <string_view>

#include "cgroups.h"

// The files that may hold a processor quota of a cgroup: cgroup v2's only.
inline constexpr cgroup_file cpu_files = {"cpu.max", "", ""};

// The processors this process may run on, at least 1. On POSIX systems
// (cpu_limit-posix.cpp): on Linux those of its affinity mask
// (sched_getaffinity), capped by the cpu.max quota of its cgroup and of every
// cgroup above it; elsewhere the processors online. On Windows
// (cpu_limit-win32.cpp): those of its process affinity mask.
std::size_t cpu_limit();

// Parses the text of a cgroup v2 cpu.max file, "QUOTA PERIOD" in
// microseconds: the processors that QUOTA / PERIOD lets run at once, rounded
// up, at least 1. Returns 0, for no limit, for "max PERIOD" and for any text
// that is not of that form.
std::size_t parse_cpu_max(std::string_view text);

#endif  // NATJOIN_CPU_LIMIT_H_
