// The text utilities: explode and strip, the tokenising tools of every parser, and the trimming
// and line reading built on the same idea.
#include "base/text.h"

#include "f1.h"

std::vector<std::string_view> explode(std::string_view text, std::string_view delimiter) {
  std::vector<std::string_view> parts;
  if (delimiter.empty()) {
    parts.push_back(text);
    return parts;
  }
  std::size_t start = 0;
  for (std::size_t at = text.find(delimiter); at != std::string_view::npos;
       at = text.find(delimiter, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
  }
  parts.push_back(text.substr(start));
  return parts;
}

std::string_view strip(std::string_view text, std::string_view repeat, bool both) {
  if (repeat.empty()) return text;
  std::size_t count = 0;
  while (text.compare(count, repeat.size(), repeat) == 0) count += repeat.size();
  text.remove_prefix(count);
  if (both && text.size() >= repeat.size()) {
    std::size_t end = text.size();  // one past the last byte kept
    while (end >= repeat.size() && text.compare(end - repeat.size(), repeat.size(), repeat) == 0) {
      end -= repeat.size();
    }
    text = text.substr(0, end);
  }
  return text;
}

namespace natjoin {

namespace {

// strip() for a repeat of one byte, which the parsers use on every value.
std::string_view strip_byte(std::string_view text, char c, bool both) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && text[begin] == c) ++begin;
  while (both && end > begin && text[end - 1] == c) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string_view trim(std::string_view text) {
  return strip_byte(strip_byte(text, ' ', true), '\t', true);
}

std::string_view strip_leading_zeros(std::string_view text) {
  std::string_view stripped = strip_byte(text, '0', false);
  if (stripped.empty() && !text.empty()) return text.substr(text.size() - 1);
  return stripped;
}

bool read_line(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) {
    // The last line has no line end, so a "\r" at its end is its own byte.
    line = rest;
    rest = {};
    return true;
  }
  line = rest.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  rest.remove_prefix(end + 1);
  return true;
}

}  // namespace natjoin
