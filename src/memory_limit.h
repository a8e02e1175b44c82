// natjoin: how much memory a run may take, as the system limits it.
//
// The join refuses a result that would not fit (see join in f1.h) rather than
// be killed while it builds one. The figure it measures against is the least
// of the limits the system sets; memory_limit reads them, and the parse_*
// functions below take the texts it reads, so that tests can give their own.
//
// (Named memory_limit.h, not limits.h: with src/ on the include path, that
// name would hide the C library's <limits.h>.)
#ifndef NATJOIN_MEMORY_LIMIT_H_
#define NATJOIN_MEMORY_LIMIT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cgroups.h"

// The files that may hold a memory limit of a cgroup.
inline constexpr cgroup_file memory_files = {"memory.max", "memory", "memory.limit_in_bytes"};

// The figure that stands for no limit: the largest size.
inline constexpr std::size_t no_memory_limit = static_cast<std::size_t>(-1);

// The bytes of memory this process may take. On POSIX systems
// (memory_limit-posix.cpp): the least of the machine's physical memory, the
// soft limits RLIMIT_AS and RLIMIT_DATA, and on Linux the memory limit of its
// own cgroup and of the cgroups above it (v2 or v1, read through
// /proc/self/cgroup). On Windows (memory_limit-win32.cpp): the least of the
// machine's physical memory and the job, process and working-set limits of
// the job object the process runs in. A figure that cannot be read counts as
// no limit; returns no_memory_limit when none is known.
std::size_t memory_limit();

// Parses the text of a cgroup's memory limit file (v2 memory.max, v1
// memory.limit_in_bytes): a decimal number of bytes, with or without a line
// end. Returns no_memory_limit for "max", for the empty text (as an absent or
// unreadable file reads), for any other text that is not such a number, and
// for a figure of 2^62 or more, which is how v1 writes no limit.
std::size_t parse_cgroup_memory_limit(std::string_view text);

// Parses the text of /proc/self/cgroup into the files under root that may
// hold a memory limit of this process: for the v2 line "0::PATH",
// root/PATH/memory.max; for a v1 line whose controllers include "memory",
// root/memory/PATH/memory.limit_in_bytes; each followed by the same file of
// every cgroup above PATH, up to root itself, since a limit there binds this
// process too. Returns no file for a text with neither line.
std::vector<std::string> parse_cgroup_limit_files(std::string_view proc_self_cgroup,
                                                  std::string_view root = "/sys/fs/cgroup");

#endif  // NATJOIN_MEMORY_LIMIT_H_
