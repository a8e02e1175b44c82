// natjoin on Windows: between the UTF-8 that natjoin works in and the UTF-16 of Windows' calls.
#ifndef NATJOIN_PLATFORM_UNICODE_WIN32_H_
#define NATJOIN_PLATFORM_UNICODE_WIN32_H_

#include <string>
#include <string_view>

namespace natjoin {

// The UTF-16 text of utf8; a byte that is not valid UTF-8 becomes U+FFFD.
std::wstring wide_from_utf8(std::string_view utf8);

// The UTF-8 text of wide; a lone surrogate becomes U+FFFD.
std::string utf8_from_wide(std::wstring_view wide);

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_UNICODE_WIN32_H_
