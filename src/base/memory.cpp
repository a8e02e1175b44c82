#include "memory.h"

#include <algorithm>
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

std::size_t mapped_size(std::size_t bytes) {
  return (bytes + big_region - 1) / big_region * big_region;
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

void* acquire_mapped(std::size_t bytes) {
  region_pool& regions = pool();
  const std::lock_guard<std::mutex> hold(regions.lock);
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

void* acquire_region(std::size_t bytes) {
  void* region = is_mapped(bytes) ? acquire_mapped(bytes) : std::malloc(bytes == 0 ? 1 : bytes);
  if (region == nullptr) throw std::bad_alloc();
  return region;
}

void release_region(void* region, std::size_t bytes) noexcept {
  if (region == nullptr) return;
  if (is_mapped(bytes)) {
    release_mapped(region);
  } else {
    std::free(region);
  }
}

}  // namespace natjoin
