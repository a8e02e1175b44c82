#include "blocks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::size_t huge_page = std::size_t{1} << 21;

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

std::size_t round_up(std::size_t bytes, std::size_t unit) {
  return (bytes + unit - 1) / unit * unit;
}

std::size_t page_size() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

bool is_mapped(std::size_t bytes) {
  return map_big_blocks && bytes >= big_block;
}

// Maps bytes from a huge page boundary: the mapping is made one huge page
// longer than needed, and what lies before the boundary and after the block
// is unmapped again.
void* map_block(std::size_t bytes) {
  const std::size_t length = round_up(bytes, page_size());
  if (length > static_cast<std::size_t>(-1) - huge_page) throw std::bad_alloc();
  void* mapped =
      mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = round_up(begin, huge_page);
  if (aligned != begin) munmap(mapped, aligned - begin);
  const std::size_t tail = begin + huge_page - aligned;
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* block = reinterpret_cast<void*>(aligned);
  // Only a request: without it, or where it is refused, small pages serve.
  madvise(block, length, MADV_HUGEPAGE);
  return block;
}

}  // namespace

void* acquire_block(std::size_t bytes) {
  if (is_mapped(bytes)) return map_block(bytes);
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (is_mapped(bytes)) {
    munmap(block, round_up(bytes, page_size()));
  } else {
    std::free(block);
  }
}
