// Memory blocks on Windows: VirtualAlloc, in small pages. Large pages would need the "Lock pages
// in memory" privilege, which ordinary users lack, so they are not asked for.
#include <windows.h>

#include "blocks.h"

void* map_block(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_block(void* block, std::size_t) noexcept {
  VirtualFree(block, 0, MEM_RELEASE);
}
