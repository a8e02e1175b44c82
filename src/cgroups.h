// natjoin: the cgroups of this process (Linux), whose files may limit what a
// run takes: memory (memory_limit.h) and processors (cpu_limit.h). The names
// of the files come from the text of /proc/self/cgroup, parsed here on any
// system so that tests run everywhere; cgroups-posix.cpp reads them.
#ifndef NATJOIN_CGROUPS_H_
#define NATJOIN_CGROUPS_H_

#include <string>
#include <string_view>
#include <vector>

// A limit file of a cgroup controller: its name under cgroup v2, and under
// v1 the controller and the file's name there (empty where v1 has none).
struct cgroup_file {
  std::string_view v2;
  std::string_view v1_controller;
  std::string_view v1;
};

// Parses the text of /proc/self/cgroup into the files under root that may
// hold file's limit for this process: for the v2 line "0::PATH",
// root/PATH/file.v2; for a v1 line whose controllers include
// file.v1_controller, root/CONTROLLER/PATH/file.v1; each followed by the same
// file of every cgroup above PATH, up to root itself, since a limit there
// binds this process too. Returns no file for a text with neither line.
std::vector<std::string> parse_cgroup_files(std::string_view proc_self_cgroup,
                                            const cgroup_file& file,
                                            std::string_view root = "/sys/fs/cgroup");

// The texts of the files that may hold file's limit for this process, read
// through /proc/self/cgroup; an absent or unreadable file reads as empty.
// None on a system without cgroups.
std::vector<std::string> read_cgroup_files(const cgroup_file& file);

#endif  // NATJOIN_CGROUPS_H_
