// Reasons for a person: why a stage failed, in words, with the names
// involved. A reason is built only where a stage fails and its caller asked
// for one, so that a successful run pays nothing for it.
#ifndef NATJOIN_BASE_REASONS_H_
#define NATJOIN_BASE_REASONS_H_

#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"

namespace natjoin {

// Puts text in reason, where a reason is asked for; returns 1, the failure.
inline int fail_because(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
  return status_failed;
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
