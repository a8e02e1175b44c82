// Memory for the large arrays of a run: the input, the value lists, the hash tables and the row
// numbers of the join. Each array is one region: a region of at least big_region bytes is mapped
// on its own (platform/memory_pages.h), in huge pages where Linux grants them; one of at least
// slot_region bytes is a slot of such a mapping, of the next power of two in size; a smaller one
// comes from malloc. A mapped region that is given back is kept for a later request of about its
// size, whose pages are then already in place, as long as the regions kept and in use take no
// more than the requests in use took at their most; a slot that is given back serves the next
// request of its size, and the mappings that slots are cut from, slots of every size from each,
// stay until the process ends.
// Fresh pages are what a region costs most: every small page is a fault, and the scratch arrays
// that each piece of work asks for would otherwise take fresh ones each time.
#ifndef NATJOIN_BASE_MEMORY_H_
#define NATJOIN_BASE_MEMORY_H_

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace natjoin {

// Regions from this size on are mapped on their own, in whole huge pages.
constexpr std::size_t big_region = std::size_t{1} << 20;

// Regions from this size up to big_region are slots of a mapping.
constexpr std::size_t slot_region = std::size_t{1} << 16;

// The bytes that a region of bytes bytes takes: whole huge pages for a mapped region, and a power
// of two for a slot.
std::size_t region_footprint(std::size_t bytes);

// Returns a region of at least bytes bytes, aligned for any type; its contents are unspecified.
// Throws std::bad_alloc when the system refuses.
void* acquire_region(std::size_t bytes);

// Gives back a region from acquire_region, with the size that was asked for.
void release_region(void* region, std::size_t bytes) noexcept;

// Lets a standard container keep its elements in a region. Elements that are
// made without a value are left uninitialised rather than zero-filled, since
// the arrays that use it are written in full before they are read.
template <typename T>
struct region_allocator {
  using value_type = T;

  region_allocator() = default;
  template <typename U>
  region_allocator(const region_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(acquire_region(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { release_region(p, n * sizeof(T)); }

  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }

  friend bool operator==(const region_allocator&, const region_allocator&) { return true; }
};

// A vector whose elements live in a region.
template <typename T>
using region_vector = std::vector<T, region_allocator<T>>;

}  // namespace natjoin

#endif  // NATJOIN_BASE_MEMORY_H_
