// The limits of a run on Windows: the machine's memory, the limits of the process's job object,
// and the processors of its affinity mask.
#include <windows.h>

#include <algorithm>
#include <bitset>

#include "system_limits.h"

namespace natjoin {

namespace {

// The machine's physical memory in bytes, or no_memory_limit where it is unknown.
std::size_t physical_memory() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) return no_memory_limit;
  return static_cast<std::size_t>(status.ullTotalPhys);
}

// The least of the memory limits that the job object of this process sets, or no_memory_limit
// where it sets none or the process runs in no job.
std::size_t job_memory_limit() {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job = {};
  // No handle asks about the job this process runs in.
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                 nullptr)) {
    return no_memory_limit;
  }
  const DWORD flags = job.BasicLimitInformation.LimitFlags;
  std::size_t limit = no_memory_limit;
  if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) limit = std::min(limit, job.JobMemoryLimit);
  if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) limit = std::min(limit, job.ProcessMemoryLimit);
  if (flags & JOB_OBJECT_LIMIT_WORKINGSET) {
    limit = std::min(limit, job.BasicLimitInformation.MaximumWorkingSetSize);
  }
  return limit;
}

}  // namespace

std::size_t memory_limit() {
  return std::min(physical_memory(), job_memory_limit());
}

std::size_t cpu_limit() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  return std::bitset<sizeof(DWORD_PTR) * 8>(process).count();
}

}  // namespace natjoin
