// Memory blocks for the large arrays of a run: the input, the value lists,
// the hash tables and the row numbers of the join.
//
// A block of at least big_block bytes is mapped on its own. On Linux it
// starts on a huge page boundary and is asked for in huge pages where the
// system grants them: one fault then brings 2 MiB instead of 4 KiB, which is
// most of the cost of memory that is touched once. Where huge pages are not
// granted, and on other POSIX systems, the same blocks work in small pages;
// on Windows, whose large pages need a privilege that ordinary users lack,
// they come from VirtualAlloc in small pages. Smaller blocks come from
// malloc. blocks-posix.cpp and blocks-win32.cpp map and unmap.
#ifndef NATJOIN_BLOCKS_H_
#define NATJOIN_BLOCKS_H_

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

// Blocks from this size on are mapped on their own.
constexpr std::size_t big_block = std::size_t{1} << 21;

// Returns a block of at least bytes bytes, aligned for any type; its
// contents are unspecified. Throws std::bad_alloc when the system refuses.
void* acquire_block(std::size_t bytes);

// Gives back a block from acquire_block, with the size that was asked for.
void release_block(void* block, std::size_t bytes) noexcept;

// Maps a block of bytes bytes on its own, aligned at least to a page, for
// acquire_block. Returns nullptr when the system refuses.
void* map_block(std::size_t bytes);

// Unmaps a block from map_block, with the size that was asked for.
void unmap_block(void* block, std::size_t bytes) noexcept;

// Lets a standard container keep its elements in blocks. Elements that are
// made without a value are left uninitialised rather than zero-filled, since
// the arrays that use it are written in full before they are read.
template <typename T>
struct block_allocator {
  using value_type = T;

  block_allocator() = default;
  template <typename U>
  block_allocator(const block_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(acquire_block(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { release_block(p, n * sizeof(T)); }

  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }

  friend bool operator==(const block_allocator&, const block_allocator&) { return true; }
};

// Asks for the cache line at p ahead of a read of it. The empty asm gives the
// request an effect that the compiler keeps: otherwise a helper made only of
// prefetches counts as free of effects, and its calls are dropped.
inline void prefetch(const void* p) {
  __builtin_prefetch(p);
  asm volatile("" : : "r"(p));
}

// A vector whose elements live in blocks.
template <typename T>
using block_vector = std::vector<T, block_allocator<T>>;

#endif  // NATJOIN_BLOCKS_H_
