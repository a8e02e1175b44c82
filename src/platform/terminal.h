// natjoin: the terminal that a person watches a run on, through standard error: whether there is
// one, and how a line is redrawn in place there. terminal-posix.cpp serves POSIX systems, where
// every terminal takes the VT sequences; terminal-win32.cpp serves the Windows console, which
// takes them where it grants ENABLE_VIRTUAL_TERMINAL_PROCESSING, and otherwise a carriage return
// and spaces.
#ifndef NATJOIN_PLATFORM_TERMINAL_H_
#define NATJOIN_PLATFORM_TERMINAL_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace natjoin {

// Whether standard error is a terminal that a person reads: not a file, a pipe or, on Windows,
// the NUL device (which the C library counts as a character device too).
bool stderr_is_terminal();

// Readies standard error's terminal for lines redrawn in place: on Windows it asks for VT
// sequences. REQUIRES: stderr_is_terminal().
void prepare_terminal();

// Writes text, UTF-8, to standard error's terminal as it is: a Windows console shows the
// characters it spells. A failure is ignored: the terminal is gone.
void write_to_terminal(std::string_view text);

// The text that puts line where the line now shown is, shown bytes wide (0 for none), and
// leaves the cursor on that line: after line, or after the spaces that cover a longer one.
std::string format_redraw(std::string_view line, std::size_t shown);

// The text that erases the line now shown, shown bytes wide, and leaves the cursor where the
// line began.
std::string format_erase(std::size_t shown);

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_TERMINAL_H_
