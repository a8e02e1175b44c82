// natjoin: what the system lets a run take: its memory and its processors. The run reads them
// once, at its start, and hands them to the stages (work_split): the join measures a result
// against the memory, and the stages run on as many threads as there are processors.
//
// On Linux both may be limited by the cgroups of the process, whose files are found through
// /proc/self/cgroup; the parse_* functions take the texts of those files, so that tests can give
// their own. They are defined with the POSIX sources: Windows has no cgroups.
#ifndef NATJOIN_PLATFORM_SYSTEM_LIMITS_H_
#define NATJOIN_PLATFORM_SYSTEM_LIMITS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace natjoin {

// The figure that stands for no limit: the largest size.
inline constexpr std::size_t no_memory_limit = static_cast<std::size_t>(-1);

// The bytes of memory this process may take. On POSIX systems: the least of the machine's
// physical memory, the soft limits RLIMIT_AS and RLIMIT_DATA, and on Linux the memory limit of
// its own cgroup and of the cgroups above it (v2 or v1). On Windows: the least of the machine's
// physical memory and the job, process and working-set limits of the job object the process runs
// in. A figure that cannot be read counts as no limit; returns no_memory_limit when none is known.
std::size_t memory_limit();

// The processors this process may run on, at least 1. On POSIX systems: on Linux those of its
// affinity mask (sched_getaffinity), capped by the cpu.max quota of its cgroup and of every
// cgroup above it; elsewhere the processors online. On Windows: those of its process affinity
// mask.
std::size_t cpu_limit();

// Parses the text of a cgroup's memory limit file (v2 memory.max, v1 memory.limit_in_bytes): a
// decimal number of bytes, with or without a line end. Returns no_memory_limit for "max", for
// the empty text (as an absent or unreadable file reads), for any other text that is not such a
// number, and for a figure of 2^62 or more, which is how v1 writes no limit. POSIX only.
std::size_t parse_cgroup_memory_limit(std::string_view text);

// A limit file of a cgroup controller: its name under cgroup v2, and under v1 the controller and
// the file's name there (empty where v1 has none).
struct cgroup_file {
  std::string_view v2;
  std::string_view v1_controller;
  std::string_view v1;
};

// The files that may hold a memory limit of a cgroup, and a processor quota (v2 only).
inline constexpr cgroup_file memory_files = {"memory.max", "memory", "memory.limit_in_bytes"};
inline constexpr cgroup_file cpu_files = {"cpu.max", "", ""};

// Parses the text of /proc/self/cgroup into the files under root that may hold file's limit for
// this process: for the v2 line "0::PATH", root/PATH/file.v2; for a v1 line whose controllers
// include file.v1_controller, root/CONTROLLER/PATH/file.v1; each followed by the same file of
// every cgroup above PATH, up to root itself, since a limit there binds this process too.
// Returns no file for a text with neither line. POSIX only.
std::vector<std::string> parse_cgroup_files(std::string_view proc_self_cgroup,
                                            const cgroup_file& file,
                                            std::string_view root = "/sys/fs/cgroup");

// Parses the text of a cgroup v2 cpu.max file, "QUOTA PERIOD" in microseconds: the processors
// that QUOTA / PERIOD lets run at once, rounded up, at least 1. Returns 0, for no limit, for
// "max PERIOD" and for any text that is not of that form. POSIX only.
std::size_t parse_cpu_max(std::string_view text);

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_SYSTEM_LIMITS_H_
