#include "row_table.h"

#include <cstring>

std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ text.size();
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 31;
  }
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i) {
    tail |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  }
  // The final mix spreads every input bit over both halves.
  h = (h ^ tail) * 0x94d049bb133111ebULL;
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  return h;
}

row_slots make_row_slots(std::size_t rows) {
  std::size_t size = 16;
  while (size < rows + rows / 2) size *= 2;
  return row_slots(size, 0);
}
