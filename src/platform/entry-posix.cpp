// The entry point on POSIX systems, where the arguments are the bytes of the file names.
#include <csignal>

#include "entry.h"

int main(int argc, char** argv) {
  // A closed pipe as output, or an output that reaches the file-size limit, is a write error
  // like any other (EPIPE, EFBIG), not a signal that would end the run halfway through.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  return natjoin::run_command(std::vector<std::string>(argv, argv + argc));
}
