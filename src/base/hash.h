// natjoin: the hash of a text's bytes, and of a row of values, which the hash tables of the join
// and the search for repeated rows share.
#ifndef NATJOIN_BASE_HASH_H_
#define NATJOIN_BASE_HASH_H_

#include <cstdint>
#include <string_view>

namespace natjoin {

// A 64-bit hash of text's bytes, spread in its low bits (which pick the
// slot) and its high bits (which the slot keeps) alike.
std::uint64_t hash_bytes(std::string_view text);

// Folds the hash of one more value into the hash of a row.
inline std::uint64_t add_hash(std::uint64_t row_hash, std::uint64_t value_hash) {
  return (row_hash ^ value_hash) * 0x9e3779b97f4a7c15ULL + (row_hash >> 29);
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_HASH_H_
