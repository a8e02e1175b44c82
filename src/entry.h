// natjoin: the program's entry point, one for each platform. entry-posix.cpp's main and
// entry-win32.cpp's wmain ready the process and hand its command line, in UTF-8, to natjoin_main.
#ifndef NATJOIN_ENTRY_H_
#define NATJOIN_ENTRY_H_

#include <string>
#include <vector>

// Runs natjoin with the command-line arguments, the program's name first, each in UTF-8, and
// returns the exit status. Defined in main.cpp.
int natjoin_main(const std::vector<std::string>& arguments);

#endif  // NATJOIN_ENTRY_H_
