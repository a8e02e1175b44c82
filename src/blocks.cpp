#include "blocks.h"

#include <cstdlib>

namespace {

// Under AddressSanitizer every block comes from malloc, so that a read or a
// write past the end of one is caught as for any other heap memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool map_big_blocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool map_big_blocks = false;
#else
constexpr bool map_big_blocks = true;
#endif
#else
constexpr bool map_big_blocks = true;
#endif

bool is_mapped(std::size_t bytes) {
  return map_big_blocks && bytes >= big_block;
}

}  // namespace

void* acquire_block(std::size_t bytes) {
  void* block = is_mapped(bytes) ? map_block(bytes) : std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (is_mapped(bytes)) {
    unmap_block(block, bytes);
  } else {
    std::free(block);
  }
}
