// Reasons for a person: why a stage failed, in words, with the names
// involved. A reason is built only where a stage fails and its caller asked
// for one, so that a successful run pays nothing for it.
#ifndef NATJOIN_REASONS_H_
#define NATJOIN_REASONS_H_

#include <string>
#include <string_view>
#include <utility>

// Puts text in reason, where a reason is asked for; returns 1, the failure.
inline int fail_because(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
  return 1;
}

// text between double quotes, as a reason names a name or a value.
inline std::string quote(std::string_view text) {
  // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on a literal + string + literal.
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

#endif  // NATJOIN_REASONS_H_
