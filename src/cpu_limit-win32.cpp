// The processors of a run on Windows: those of the process affinity mask.
#include <windows.h>

#include <bitset>

#include "cpu_limit.h"

std::size_t cpu_limit() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  return std::bitset<sizeof(DWORD_PTR) * 8>(process).count();
}
