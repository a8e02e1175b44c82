// The terminal on POSIX systems: every terminal there takes the VT sequences.
#include <unistd.h>

#include "terminal.h"

namespace natjoin {

bool stderr_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

void prepare_terminal() {}

void write_to_terminal(std::string_view text) {
  if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
    // The terminal is gone: nothing to show.
  }
}

std::string format_redraw(std::string_view line, std::size_t) {
  // Erasing to the end of the line after it covers whatever was longer.
  std::string text = "\r";
  text.append(line);
  return text + "\033[K";
}

std::string format_erase(std::size_t) {
  return "\r\033[K";
}

}  // namespace natjoin
