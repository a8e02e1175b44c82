// natjoin: the text utilities that every parser uses besides explode and strip (f1.h). Text is
// bytes: no character set is read, and only space and tab are blanks.
#ifndef NATJOIN_BASE_TEXT_H_
#define NATJOIN_BASE_TEXT_H_

#include <string_view>

namespace natjoin {

// Whether c is a blank: a space or a tab.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// Trimming: the spaces at both ends, then the tabs at both ends, once each.
// "\t x" trims to " x", while " \tx" trims to "x".
std::string_view trim(std::string_view text);

// Removes leading "0" characters; a text of zeros only becomes "0" and the
// empty text stays empty. "-05" is left as it is.
std::string_view strip_leading_zeros(std::string_view text);

// Consumes one line from the front of rest into line. A line ends at "\n";
// a "\r" right before that "\n" belongs to the line end. Returns false, and
// leaves line untouched, when rest is empty.
bool read_line(std::string_view& rest, std::string_view& line);

}  // namespace natjoin

#endif  // NATJOIN_BASE_TEXT_H_
