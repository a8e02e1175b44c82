// natjoin: text built for the output in a buffer of its own, which grows as it is filled and is
// handed on whole: the rows of the result, the copy of the input with other line ends, and the
// texts of rows compared for repeats.
#ifndef NATJOIN_BASE_TEXT_BUFFER_H_
#define NATJOIN_BASE_TEXT_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/memory.h"

namespace natjoin {

// Text built for the output: its first used bytes, and room behind them
// that is not zero-filled first.
struct text_buffer {
  region_vector<char> bytes;
  std::size_t used = 0;
};

// Room kept behind the text, so that making room is seldom needed.
constexpr std::size_t copy_slack = 32;

// Makes room for n more bytes, and the slack of a copy, behind the text of
// out; returns where the room begins.
inline char* make_room(text_buffer& out, std::size_t n) {
  if (out.bytes.size() - out.used < n + copy_slack) {
    // A buffer starts as a slot (base/memory.h), not in malloc's small sizes, which would take a
    // fresh page at each step of its growth.
    out.bytes.resize(std::max({2 * out.bytes.size(), out.used + n + copy_slack, slot_region}));
  }
  return out.bytes.data() + out.used;
}

// The text built so far.
inline std::string_view text_of(const text_buffer& out) {
  return {out.bytes.data(), out.used};
}

// Appends bytes to the text of out.
inline void append_bytes(text_buffer& out, std::string_view bytes) {
  std::memcpy(make_room(out, bytes.size()), bytes.data(), bytes.size());
  out.used += bytes.size();
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_TEXT_BUFFER_H_
