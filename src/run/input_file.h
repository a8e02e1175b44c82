// natjoin: the input file, read once into memory, where it stays for the whole run: the stages
// parse it and the writer copies the very same bytes.
#ifndef NATJOIN_RUN_INPUT_FILE_H_
#define NATJOIN_RUN_INPUT_FILE_H_

#include <cstddef>
#include <string_view>

#include "base/memory.h"
#include "base/status.h"
#include "platform/file_mapping.h"
#include "platform/files.h"

namespace natjoin {

// The input of a run as it stays in memory: text, which is the file mapped where it is large
// enough to be mapped and the system maps it, and otherwise the file read into buffer.
struct input_bytes {
  mapped_file mapping;
  region_vector<char> buffer;
  std::string_view text;
};

// Loads the whole of input into loaded: mapped where it is a regular file of map_bytes bytes or
// more that the system maps, otherwise read as read_input_file reads it, and then failing where
// a regular file changed while it was read. input must stay open while a mapping is used.
// Returns 0, or 1 with detail set.
int load_input_file(os_handle input, std::size_t threads, std::size_t map_bytes,
                    input_bytes& loaded, failure_detail& detail);

// Whether the input that loaded holds is still the file: a mapped file may have been changed or
// cut short by another program since it was mapped, and then what has been read of it may mix
// two versions. Returns 0, or 1 with detail set. REQUIRES: input is the file loaded from.
int check_input_unchanged(os_handle input, const input_bytes& loaded, failure_detail& detail);

// Gives the pages of stretch, a part of loaded.text, back to the system's cache of the file, from
// which a later read brings them back, where loaded maps a file; does nothing otherwise.
void give_back_input(const input_bytes& loaded, std::string_view stretch);

// Gives back the memory of loaded.
void release_input(input_bytes& loaded);

// Reads the whole of input into buffer: a regular file of more than a few MiB in pieces on up to
// threads threads, with what has been added since it was opened; where it has shrunk meanwhile,
// up to where the first piece that came short ended. Anything else is read as one stream.
// Returns 0, or 1 with detail set.
int read_input_file(os_handle input, std::size_t threads, region_vector<char>& buffer,
                    failure_detail& detail);

}  // namespace natjoin

#endif  // NATJOIN_RUN_INPUT_FILE_H_
