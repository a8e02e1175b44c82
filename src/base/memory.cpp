#include "memory.h"

#include <cstdlib>

#include "platform/memory_pages.h"

namespace natjoin {

namespace {

// Under AddressSanitizer every region comes from malloc, so that a read or a
// write past the end of one is caught as for any other heap memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool map_big_regions = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool map_big_regions = false;
#else
constexpr bool map_big_regions = true;
#endif
#else
constexpr bool map_big_regions = true;
#endif

bool is_mapped(std::size_t bytes) {
  return map_big_regions && bytes >= big_region;
}

}  // namespace

void* acquire_region(std::size_t bytes) {
  void* region = is_mapped(bytes) ? map_pages(bytes) : std::malloc(bytes == 0 ? 1 : bytes);
  if (region == nullptr) throw std::bad_alloc();
  return region;
}

void release_region(void* region, std::size_t bytes) noexcept {
  if (region == nullptr) return;
  if (is_mapped(bytes)) {
    unmap_pages(region, bytes);
  } else {
    std::free(region);
  }
}

}  // namespace natjoin
