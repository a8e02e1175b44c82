// The terminal on Windows: the console, which takes the VT sequences where it grants them.
#include <windows.h>

#include "terminal.h"
#include "unicode-win32.h"

namespace natjoin {

namespace {

HANDLE error_handle() {
  return GetStdHandle(STD_ERROR_HANDLE);
}

// Whether the console takes the VT sequences now; asked each time rather than kept, so that
// nothing but the interruption's state is global.
bool takes_vt() {
  DWORD mode = 0;
  return GetConsoleMode(error_handle(), &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace

bool stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(error_handle(), &mode) != 0;
}

void prepare_terminal() {
  DWORD mode = 0;
  if (GetConsoleMode(error_handle(), &mode)) {
    // Refused by consoles before Windows 10: then spaces cover what a line leaves.
    SetConsoleMode(error_handle(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

void write_to_terminal(std::string_view text) {
  const std::wstring wide = wide_from_utf8(text);
  DWORD written = 0;
  if (!WriteConsoleW(error_handle(), wide.data(), static_cast<DWORD>(wide.size()), &written,
                     nullptr)) {
    // The console is gone: nothing to show.
  }
}

std::string format_redraw(std::string_view line, std::size_t shown) {
  std::string text = "\r";
  text.append(line);
  if (takes_vt()) return text + "\033[K";
  if (shown > line.size()) text.append(shown - line.size(), ' ');
  return text;
}

std::string format_erase(std::size_t shown) {
  if (takes_vt()) return "\r\033[K";
  return "\r" + std::string(shown, ' ') + "\r";
}

}  // namespace natjoin
