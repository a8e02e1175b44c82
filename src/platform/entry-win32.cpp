// The entry point on Windows: wmain (linked with -municode) takes the arguments as the Unicode
// names they are, which natjoin carries as UTF-8.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "entry.h"
#include "unicode-win32.h"

int wmain(int argc, wchar_t** argv) {
  // natjoin writes its line ends itself; text mode would add a "\r" before every "\n".
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(natjoin::utf8_from_wide(argv[i]));
  return natjoin::run_command(arguments);
}
