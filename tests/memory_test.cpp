// Regions of every size: each holds its bytes apart from the others in use, what it takes is what
// region_footprint says, and a slot given back serves the next request of its size.
#include "base/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

using namespace natjoin;

namespace {

struct footprint_case {
  std::size_t bytes;
  std::size_t footprint;
};

// Sizes at the borders of malloc, slots and mapped regions.
const footprint_case footprint_cases[] = {
    {1, 1},
    {slot_region - 1, slot_region - 1},
    {slot_region, slot_region},
    {slot_region + 1, 2 * slot_region},
    {big_region / 2 + 1, big_region},
    {big_region - 1, big_region},
    {big_region, std::size_t{2} << 20},
    {(std::size_t{2} << 20) + 1, std::size_t{4} << 20},
};

bool slots_in_use() {
  return region_footprint(slot_region + 1) != slot_region + 1;
}

TEST(Regions, TakeTheirFootprint) {
  if (!slots_in_use()) GTEST_SKIP() << "every region comes from malloc in this build";
  for (const footprint_case& c : footprint_cases) {
    EXPECT_EQ(region_footprint(c.bytes), c.footprint) << c.bytes << " bytes";
  }
}

TEST(Regions, HoldTheirBytesApartAndASlotGivenBackServesTheNextRequest) {
  for (const footprint_case& c : footprint_cases) {
    // More of the smallest slots than one mapping holds, so that a second is cut.
    const std::size_t count = c.bytes <= 4 * slot_region ? 40 : 3;
    std::vector<unsigned char*> regions;
    for (std::size_t i = 0; i < count; ++i) {
      regions.push_back(static_cast<unsigned char*>(acquire_region(c.bytes)));
      std::memset(regions.back(), static_cast<int>(i + 1), c.bytes);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned char* region = regions[i];
      EXPECT_EQ(region[0], i + 1) << c.bytes << " bytes, region " << i;
      EXPECT_EQ(region[c.bytes - 1], i + 1) << c.bytes << " bytes, region " << i;
    }
    unsigned char* middle = regions[count / 2];
    release_region(middle, c.bytes);
    unsigned char* again = static_cast<unsigned char*>(acquire_region(c.bytes));
    if (slots_in_use() && c.bytes >= slot_region && c.bytes < big_region) {
      EXPECT_EQ(again, middle) << c.bytes << " bytes";
    }
    regions[count / 2] = again;
    for (unsigned char* region : regions) release_region(region, c.bytes);
  }
}

// Slots of every class are cut from shared blocks: taken in turns, smallest and largest, none may
// overlap another.
TEST(Regions, SlotsOfEveryClassHoldTheirBytesApart) {
  std::vector<std::pair<unsigned char*, std::size_t>> regions;
  for (std::size_t i = 0; i < 24; ++i) {
    const std::size_t bytes = (slot_region << (i * 7 % 5)) - i % 3;
    regions.emplace_back(static_cast<unsigned char*>(acquire_region(bytes)), bytes);
    std::memset(regions.back().first, static_cast<int>(i + 1), bytes);
  }
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const auto [region, bytes] = regions[i];
    EXPECT_EQ(region[0], i + 1) << "region " << i;
    EXPECT_EQ(region[bytes - 1], i + 1) << "region " << i;
  }
  for (const auto& [region, bytes] : regions) release_region(region, bytes);
}

}  // namespace
