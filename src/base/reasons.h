// Reasons for a person: why a stage failed, in words, with the names
// involved. A reason is built only where a stage fails and its caller asked
// for one, so that a successful run pays nothing for it.
#ifndef NATJOIN_BASE_REASONS_H_
#define NATJOIN_BASE_REASONS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"

namespace natjoin {

// Why a parser refused a text: the reason in words, and the byte of the text to blame, where a
// single byte is (null where none is). A reason that names the column or the table around it is
// prefixed; the byte stays.
struct refusal {
  std::string reason;
  const char* at = nullptr;
};

// Puts text and at in why, where a reason is asked for; returns 1, the failure.
inline int fail_because(refusal* why, std::string text, const char* at = nullptr) {
  if (why != nullptr) *why = {std::move(text), at};
  return status_failed;
}

// Puts context before the reason of why, where one is asked for; returns 1, the failure.
inline int fail_within(refusal* why, std::string_view context) {
  if (why != nullptr) why->reason.insert(0, context);
  return status_failed;
}

// The column of the byte at in line, counting bytes from 1, as a person's editor goes to it; 0
// where at is null.
// REQUIRES: at is null, or lies in line or right past its end.
inline std::size_t column_in(std::string_view line, const char* at) {
  return at == nullptr ? 0 : static_cast<std::size_t>(at - line.data()) + 1;
}

// text between double quotes, as a reason names a name or a value.
inline std::string quote(std::string_view text) {
  // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on a literal + string + literal.
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_REASONS_H_
