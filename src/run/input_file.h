// natjoin: the input file, read once into memory, where it stays for the whole run: the stages
// parse it and the writer copies the very same bytes.
#ifndef NATJOIN_RUN_INPUT_FILE_H_
#define NATJOIN_RUN_INPUT_FILE_H_

#include <cstddef>

#include "base/memory.h"
#include "base/status.h"
#include "platform/files.h"

namespace natjoin {

// Reads the whole of input into buffer: a regular file of more than a few MiB in pieces on up to
// threads threads, with what has been added since it was opened; where it has shrunk meanwhile,
// up to where the first piece that came short ended. Anything else is read as one stream.
// Returns 0, or 1 with detail set.
int read_input_file(os_handle input, std::size_t threads, region_vector<char>& buffer,
                    failure_detail& detail);

}  // namespace natjoin

#endif  // NATJOIN_RUN_INPUT_FILE_H_
