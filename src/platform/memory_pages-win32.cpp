// Pages of memory on Windows: VirtualAlloc, in small pages. Large pages would need the "Lock pages
// in memory" privilege, which ordinary users lack, so they are not asked for.
#include <windows.h>

#include "memory_pages.h"

namespace natjoin {

void* map_pages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* pages, std::size_t) noexcept {
  VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace natjoin
