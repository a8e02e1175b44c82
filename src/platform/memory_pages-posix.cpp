// Pages of memory on POSIX systems: anonymous mappings, in huge pages where Linux grants them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "memory_pages.h"

namespace natjoin {

namespace {

std::size_t round_up(std::size_t bytes, std::size_t unit) {
  return (bytes + unit - 1) / unit * unit;
}

std::size_t page_size() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

}  // namespace

// Maps bytes from a huge page boundary: the mapping is made one huge page
// longer than needed, and what lies before the boundary and after the
// pages is unmapped again.
void* map_pages(std::size_t bytes) {
  const std::size_t length = round_up(bytes, page_size());
  if (length > static_cast<std::size_t>(-1) - huge_page) return nullptr;
  void* mapped =
      mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = round_up(begin, huge_page);
  if (aligned != begin) munmap(mapped, aligned - begin);
  const std::size_t tail = begin + huge_page - aligned;
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* pages = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  // Linux only, and only a request: without it, or where it is refused, small pages serve.
  madvise(pages, length, MADV_HUGEPAGE);
#endif
  return pages;
}

void unmap_pages(void* pages, std::size_t bytes) noexcept {
  munmap(pages, round_up(bytes, page_size()));
}

}  // namespace natjoin
