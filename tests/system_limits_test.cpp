// The limits that a run reads: the texts of the cgroup files that limit its
// memory (for the join's memory guard) and its processors (for its threads),
// as the system writes them.
#include "platform/system_limits.h"

#include <gtest/gtest.h>

namespace natjoin {
namespace {

TEST(CgroupMemoryLimit, ReadsBytesAndTakesEverythingElseForNoLimit) {
  struct {
    const char* name;
    std::string_view text;
    std::size_t expected;
  } cases[] = {
      {"v2 bytes", "1073741824\n", 1073741824},
      {"without a line end", "1073741824", 1073741824},
      {"v2 no limit", "max\n", no_memory_limit},
      {"absent file", "", no_memory_limit},
      {"v1 no limit", "9223372036854771712\n", no_memory_limit},
      {"2^62", "4611686018427387904\n", no_memory_limit},
      {"beyond 64 bits", "99999999999999999999999\n", no_memory_limit},
      {"negative", "-1\n", no_memory_limit},
      {"unit", "1G\n", no_memory_limit},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_cgroup_memory_limit(c.text), c.expected) << c.name;
  }
}

TEST(CgroupLimitFiles, FindsTheMemoryCgroupAndEveryOneAboveIt) {
  using files = std::vector<std::string>;
  const std::string v2 = "/sys/fs/cgroup/";
  const std::string v1 = "/sys/fs/cgroup/memory/";
  struct {
    const char* name;
    std::string_view text;
    files expected;
  } cases[] = {
      {"v2",
       "0::/user.slice/run.scope\n",
       {v2 + "user.slice/run.scope/memory.max", v2 + "user.slice/memory.max", v2 + "memory.max"}},
      {"v2 at the root of its namespace", "0::/\n", {v2 + "memory.max"}},
      {"v1 among other controllers",
       "9:name=systemd:/\n8:pids:/\n4:memory:/box/42\n2:cpuacct:/\n1:cpu:/\n",
       {v1 + "box/42/memory.limit_in_bytes", v1 + "box/memory.limit_in_bytes",
        v1 + "memory.limit_in_bytes"}},
      {"v1 memory with another controller",
       "3:cpu,memory:/job\n",
       {v1 + "job/memory.limit_in_bytes", v1 + "memory.limit_in_bytes"}},
      {"v1 and v2 together",
       "4:memory:/job\n0::/job",
       {v1 + "job/memory.limit_in_bytes", v1 + "memory.limit_in_bytes", v2 + "job/memory.max",
        v2 + "memory.max"}},
      {"no memory controller", "2:cpu,cpuacct:/job\n1:name=memory:/job\n", {}},
      {"a controller named like it", "2:memoryx:/job\n", {}},
      {"absent file", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_cgroup_files(c.text, memory_files), c.expected) << c.name;
  }
}

TEST(CgroupCpuMax, ReadsTheProcessorsAQuotaAllowsAndTakesEverythingElseForNoLimit) {
  struct {
    const char* name;
    std::string_view text;
    std::size_t expected;
  } cases[] = {
      {"no quota", "max 100000\n", 0},
      {"two processors", "200000 100000\n", 2},
      {"a part of one rounds up", "50000 100000\n", 1},
      {"one and a half rounds up", "150000 100000", 2},
      {"absent file", "", 0},
      {"no period", "100000\n", 0},
      {"no quota at all", "0 100000\n", 0},
      {"no period at all", "100000 0\n", 0},
      {"beyond 64 bits", "99999999999999999999999 100000\n", 0},
      {"text behind", "200000 100000 x\n", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_cpu_max(c.text), c.expected) << c.name;
  // Only cgroup v2 has cpu.max.
  const std::string v2 = "/sys/fs/cgroup/";
  EXPECT_EQ(parse_cgroup_files("3:cpu,cpuacct:/job\n0::/job/run\n", cpu_files),
            (std::vector<std::string>{v2 + "job/run/cpu.max", v2 + "job/cpu.max", v2 + "cpu.max"}));
}

}  // namespace
}  // namespace natjoin
