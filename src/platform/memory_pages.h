// natjoin: pages of memory mapped for a large array on its own, so that it goes back to the
// system whole when it is released. On Linux a mapping starts on a huge page boundary and asks
// for huge pages where the system grants them: one fault then brings 2 MiB instead of 4 KiB,
// which is most of the cost of memory that is touched once. Where huge pages are not granted,
// and on other POSIX systems, small pages serve; on Windows, whose large pages need a privilege
// that ordinary users lack, pages come from VirtualAlloc in small pages.
#ifndef NATJOIN_PLATFORM_MEMORY_PAGES_H_
#define NATJOIN_PLATFORM_MEMORY_PAGES_H_

#include <cstddef>

namespace natjoin {

// The size of a huge page on Linux. Mappings start on such a boundary, so that whole huge pages
// of a mapping can be granted.
constexpr std::size_t huge_page = std::size_t{1} << 21;

// Maps bytes bytes of fresh pages, aligned at least to a page. Returns nullptr when the system
// refuses.
void* map_pages(std::size_t bytes);

// Unmaps pages from map_pages, with the size that was asked for.
void unmap_pages(void* pages, std::size_t bytes) noexcept;

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_MEMORY_PAGES_H_
