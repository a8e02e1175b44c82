// Searches of the input text for the bytes that end its values and lines,
// sixteen bytes at a time where the processor can (SSE2) and the text has
// them, lines sixty-four; elsewhere, and at the end of the text, one byte at
// a time.
#ifndef NATJOIN_READ_BYTE_SCAN_H_
#define NATJOIN_READ_BYTE_SCAN_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace natjoin {

// The bytes of a block, which a search of many short lines takes at once.
constexpr std::size_t block = 64;

#if defined(__SSE2__)
// The bytes that one step of a search compares.
constexpr std::size_t chunk = 16;

// Bit i is set where byte i of the chunk at p equals c.
inline unsigned chunk_equal(const char* p, char c) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}

// Bit i is set where byte i of the block at p equals c.
inline std::uint64_t block_equal(const char* p, char c) {
  std::uint64_t bits = 0;
  for (std::size_t k = 0; k < block; k += chunk) bits |= std::uint64_t{chunk_equal(p + k, c)} << k;
  return bits;
}

// Bit i is set where byte i of the block at p is one of the bytes of any.
inline std::uint64_t block_equal_any(const char* p, std::string_view any) {
  std::uint64_t bits = 0;
  for (char c : any) bits |= block_equal(p, c);
  return bits;
}

// Bit i is set where byte i of the block at p, read as unsigned, is at most max.
inline std::uint64_t block_at_most(const char* p, unsigned char max) {
  const __m128i top = _mm_set1_epi8(static_cast<char>(max));
  std::uint64_t bits = 0;
  for (std::size_t k = 0; k < block; k += chunk) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(bytes, top), bytes);
    bits |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(low))} << k;
  }
  return bits;
}
#else
constexpr std::size_t chunk = 0;

inline unsigned chunk_equal(const char*, char) {
  return 0;
}

inline std::uint64_t block_equal(const char*, char) {
  return 0;
}

inline std::uint64_t block_equal_any(const char*, std::string_view) {
  return 0;
}

inline std::uint64_t block_at_most(const char*, unsigned char) {
  return 0;
}
#endif

// The first byte from at on that is a, b or c; text.size() where there is
// none.
inline std::size_t find_any(std::string_view text, std::size_t at, char a, char b, char c) {
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size(); at += chunk) {
      const char* p = text.data() + at;
      const unsigned hits = chunk_equal(p, a) | chunk_equal(p, b) | chunk_equal(p, c);
      if (hits != 0) return at + static_cast<std::size_t>(__builtin_ctz(hits));
    }
  }
  while (at < text.size() && text[at] != a && text[at] != b && text[at] != c) ++at;
  return at;
}

// The first c from at on before end; end where there is none. Bytes of
// text beyond end may be read, but none beyond text: a search of a short
// line then takes whole chunks of the text that follows it.
// REQUIRES: at <= end <= text.size().
inline std::size_t find_before(std::string_view text, std::size_t at, std::size_t end, char c) {
  if constexpr (chunk != 0) {
    for (; at + chunk <= text.size() && at < end; at += chunk) {
      const unsigned hits = chunk_equal(text.data() + at, c);
      if (hits != 0) return std::min(end, at + static_cast<std::size_t>(__builtin_ctz(hits)));
    }
    at = std::min(at, end);
  }
  while (at < end && text[at] != c) ++at;
  return at;
}

// Passes the lines of text from at, the start of a line, up to the first
// line that is empty or begins with a byte of stop, or until lines has
// reached limit, and returns where the first line not passed starts:
// text.size() when text ends first. lines counts the lines passed, a last one
// without a line end among them.
std::size_t skip_lines(std::string_view text, std::size_t at, std::string_view stop,
                       std::size_t& lines, std::size_t limit);

}  // namespace natjoin

#endif  // NATJOIN_READ_BYTE_SCAN_H_
