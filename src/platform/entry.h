// natjoin: the program's entry point, one for each platform. entry-posix.cpp's main and
// entry-win32.cpp's wmain ready the process and hand its command line, in UTF-8, to run_command.
#ifndef NATJOIN_PLATFORM_ENTRY_H_
#define NATJOIN_PLATFORM_ENTRY_H_

#include <string>
#include <vector>

namespace natjoin {

// Runs natjoin with the command-line arguments, the program's name first, each in UTF-8, and
// returns the exit status. Defined in main.cpp.
int run_command(const std::vector<std::string>& arguments);

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_ENTRY_H_
