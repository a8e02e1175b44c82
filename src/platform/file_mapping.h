// natjoin: a regular input file mapped into memory for reading, so that its bytes are read where
// the system's cache of the file already holds them, with no copy and no fresh pages. A file
// that another program shrinks while it is mapped does not stop the process: the pages past its
// new end read as zeros, and mapped_file_changed tells of it, as of any other change since it
// was mapped. file_mapping-posix.cpp serves POSIX systems; on Windows no file is mapped, and the
// input is read.
#ifndef NATJOIN_PLATFORM_FILE_MAPPING_H_
#define NATJOIN_PLATFORM_FILE_MAPPING_H_

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace natjoin {

// A mapped file: its bytes as they were mapped, and its stamp then, to tell later whether it has
// changed since.
struct mapped_file {
  const char* bytes = nullptr;
  std::size_t size = 0;
  file_stamp stamp;
};

// Maps the whole of the regular file that input is open on into file. Returns true, or false,
// leaving file empty, for anything that is not a regular file of at least one byte, where the
// system refuses, and on Windows: the caller then reads the file. One file is mapped at a time.
bool map_file(os_handle input, mapped_file& file);

// Whether the file of input may have changed since map_file mapped it into file: a page of the
// mapping found past the file's end, its size, or its times, are not what they were. Bytes read
// from the mapping before this says false are the file as it was mapped, provided nothing sets
// the file's times back.
// REQUIRES: map_file(input, file) returned true.
bool mapped_file_changed(os_handle input, const mapped_file& file);

// Gives the whole pages of file.bytes[begin, end) back to the system's cache of the file: they
// leave the memory of the process, and a later read of them brings them back from that cache, or
// from the file, like any page of the mapping not yet read. A large input so stays no longer in
// memory than it is read. Does nothing where the system keeps no such pages apart (and on
// Windows, where no file is mapped).
// REQUIRES: begin <= end <= file.size.
void give_back_pages(const mapped_file& file, std::size_t begin, std::size_t end) noexcept;

// Unmaps a mapping of map_file, and empties file. Does nothing to an empty one.
void unmap_file(mapped_file& file) noexcept;

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_FILE_MAPPING_H_
