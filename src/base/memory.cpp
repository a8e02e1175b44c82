#include "memory.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

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

bool is_slot(std::size_t bytes) {
  return map_big_regions && bytes >= slot_region && bytes < big_region;
}

// Slots come in sizes of slot_region times a power of two, up to big_region: class c holds
// slots of slot_region << c bytes.
constexpr std::size_t slot_classes = std::countr_zero(big_region / slot_region) + 1;

// The class of the smallest slot that holds bytes.
// REQUIRES: is_slot(bytes).
std::size_t slot_class(std::size_t bytes) {
  return static_cast<std::size_t>(std::bit_width((bytes - 1) / slot_region));
}

// A mapped region: where it is, its size, and, while it is in use, the size it was asked for.
struct mapped_region {
  void* at;
  std::size_t size;
  std::size_t asked;
};

// Mapped regions that have been given back are kept to serve later requests, instead of fresh
// pages, which the system zeroes first: what a step has finished with serves the next. A region
// serves a request of at least half its size. So that no more memory is held than without
// keeping them, the regions in use and those kept never take more than the requests in use
// (asked) did at their most (most_asked): a fresh mapping that would pass that first gives kept
// regions back, the largest first. Serving from a kept region moves bytes from kept to lent and
// so never passes it.
struct region_pool {
  std::mutex lock;
  std::array<std::vector<void*>, slot_classes> free_slots;
  std::array<std::size_t, slot_classes> slot_counts{};  // the slots of each class cut so far
  char* block = nullptr;                                // the block that fresh slots are cut from
  std::size_t block_used = 0;                           // the bytes of it cut so far
  std::vector<mapped_region> kept;
  std::vector<mapped_region> lent;
  std::size_t kept_bytes = 0;
  std::size_t lent_bytes = 0;
  std::size_t asked = 0;
  std::size_t most_asked = 0;
};

region_pool& pool() {
  static region_pool regions;
  return regions;
}

// Mapped regions are whole huge pages; so are the blocks that slots are cut from.
std::size_t mapped_size(std::size_t bytes) {
  return (bytes + huge_page - 1) / huge_page * huge_page;
}

// The kept region that best serves size bytes, or kept.end().
auto best_kept(region_pool& regions, std::size_t size) {
  auto best = regions.kept.end();
  for (auto it = regions.kept.begin(); it != regions.kept.end(); ++it) {
    if (it->size >= size && it->size / 2 <= size &&
        (best == regions.kept.end() || it->size < best->size)) {
      best = it;
    }
  }
  return best;
}

// Gives kept regions back to the system until a fresh region of size bytes keeps the regions
// within the most that the requests took.
void make_room_for(region_pool& regions, std::size_t size) {
  const std::size_t most = std::max(regions.most_asked, regions.asked + size);
  std::sort(regions.kept.begin(), regions.kept.end(),
            [](const mapped_region& a, const mapped_region& b) { return a.size < b.size; });
  while (!regions.kept.empty() && regions.lent_bytes + size + regions.kept_bytes > most) {
    unmap_pages(regions.kept.back().at, regions.kept.back().size);
    regions.kept_bytes -= regions.kept.back().size;
    regions.kept.pop_back();
  }
}

// acquire_mapped with the pool's lock held.
void* acquire_mapped_held(region_pool& regions, std::size_t bytes) {
  const std::size_t size = mapped_size(bytes);
  mapped_region region{nullptr, size, size};
  if (auto it = best_kept(regions, size); it != regions.kept.end()) {
    region = {it->at, it->size, size};
    regions.kept.erase(it);
    regions.kept_bytes -= region.size;
  } else {
    make_room_for(regions, size);
    region.at = map_pages(size);
    if (region.at == nullptr) return nullptr;
  }
  regions.lent.push_back(region);
  regions.lent_bytes += region.size;
  regions.asked += size;
  regions.most_asked = std::max(regions.most_asked, regions.asked);
  return region.at;
}

void* acquire_mapped(std::size_t bytes) {
  region_pool& regions = pool();
  const std::lock_guard<std::mutex> hold(regions.lock);
  return acquire_mapped_held(regions, bytes);
}

// A slot of the class of bytes: one given back before, or a fresh one. Fresh slots of every class
// are cut one after another from one block, each at a multiple of its size, so that a run touches
// as few blocks as it can: the first touch of a block clears all of its huge page.
void* acquire_slot(std::size_t bytes) {
  region_pool& regions = pool();
  const std::lock_guard<std::mutex> hold(regions.lock);
  const std::size_t c = slot_class(bytes);
  std::vector<void*>& slots = regions.free_slots[c];
  if (!slots.empty()) {
    void* slot = slots.back();
    slots.pop_back();
    return slot;
  }
  const std::size_t size = slot_region << c;
  // Room for every slot of the class, so that giving one back never allocates.
  slots.reserve(regions.slot_counts[c] + 1);
  std::size_t at = (regions.block_used + size - 1) / size * size;
  if (regions.block == nullptr || at + size > huge_page) {
    regions.block = static_cast<char*>(acquire_mapped_held(regions, huge_page));
    if (regions.block == nullptr) return nullptr;
    at = 0;
  }
  ++regions.slot_counts[c];
  regions.block_used = at + size;
  return regions.block + at;
}

void release_slot(void* slot, std::size_t bytes) noexcept {
  region_pool& regions = pool();
  const std::lock_guard<std::mutex> hold(regions.lock);
  // Within the room reserved for every slot of the class: no allocation.
  regions.free_slots[slot_class(bytes)].push_back(slot);
}

void release_mapped(void* region) noexcept {
  region_pool& regions = pool();
  const std::lock_guard<std::mutex> hold(regions.lock);
  auto it = std::find_if(regions.lent.begin(), regions.lent.end(),
                         [&](const mapped_region& lent) { return lent.at == region; });
  regions.lent_bytes -= it->size;
  regions.kept_bytes += it->size;
  regions.asked -= it->asked;
  regions.kept.push_back(*it);
  *it = regions.lent.back();
  regions.lent.pop_back();
}

}  // namespace

std::size_t region_footprint(std::size_t bytes) {
  if (is_mapped(bytes)) return mapped_size(bytes);
  if (is_slot(bytes)) return slot_region << slot_class(bytes);
  return bytes;
}

void* acquire_region(std::size_t bytes) {
  void* region = is_mapped(bytes) ? acquire_mapped(bytes)
                 : is_slot(bytes) ? acquire_slot(bytes)
                                  : std::malloc(bytes == 0 ? 1 : bytes);
  if (region == nullptr) throw std::bad_alloc();
  return region;
}

void release_region(void* region, std::size_t bytes) noexcept {
  if (region == nullptr) return;
  if (is_mapped(bytes)) {
    release_mapped(region);
  } else if (is_slot(bytes)) {
    release_slot(region, bytes);
  } else {
    std::free(region);
  }
}

}  // namespace natjoin
