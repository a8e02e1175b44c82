// natjoin: the files of a run, as the operating system gives them: opening the input and the
// output, telling whether two paths name the same file, reading, writing, emptying and closing,
// and the platform's line end. files-posix.cpp serves POSIX systems, files-win32.cpp Windows.
//
// Paths are UTF-8 byte strings; on Windows they are opened as the Unicode names they spell.
// Every failure leaves the system's error code (errno, or GetLastError() on Windows) in error,
// which describe_error turns into words.
#ifndef NATJOIN_PLATFORM_FILES_H_
#define NATJOIN_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace natjoin {

// An open file of the system's: a descriptor on POSIX, a HANDLE on Windows.
using os_handle = std::intptr_t;

// The handle that stands for no open file.
inline constexpr os_handle no_file = -1;

// The line end of every line natjoin writes, to the output file and to the standard streams:
// "\r\n" on Windows, "\n" elsewhere.
std::string_view line_end();

// Opens the file at path for reading, in binary. Returns its handle, or no_file with error set.
os_handle open_input(const char* path, int& error);

// Opens the file at path for writing, in binary, creating it or emptying it. Returns its handle,
// or no_file with error set.
os_handle open_output(const char* path, int& error);

// Whether output_path names the very file that input is open on, or, where the input could not
// be opened (input is no_file), the file at input_path: by any path, a link (symbolic or hard)
// or, on Windows, another case of the name. False where either cannot be examined, and for two
// files that do not exist.
bool same_file(os_handle input, const char* input_path, const char* output_path);

// Reads into buffer the next bytes of input, at most length, and sets got to how many: 0 at the
// end of the input (on Windows, also where the writing end of a pipe has closed). Returns 0, or 1
// with error set (a folder gives one too).
int read_next(os_handle input, char* buffer, std::size_t length, std::size_t& got, int& error);

// The size of the regular file that input is open on; 0 for anything else (a pipe, a device, a
// folder) and where it cannot be told.
std::size_t file_size(os_handle input);

// What a regular file is at one moment: its size and the times it was last written and changed,
// in nanoseconds. Two stamps of a file that differ tell that it was changed between them.
struct file_stamp {
  std::uint64_t size = 0;
  std::int64_t written_ns = 0;
  std::int64_t changed_ns = 0;
  friend bool operator==(const file_stamp&, const file_stamp&) = default;
};

// The stamp of the regular file that input is open on; all zeros for anything else and where it
// cannot be told.
file_stamp stamp_of(os_handle input);

// Reads into buffer the length bytes of input from offset at on, or fewer where input ends
// first, and sets got to how many. Several threads may read one input at once. Returns 0, or 1
// with error set. REQUIRES: input is a regular file.
int read_at(os_handle input, std::size_t at, char* buffer, std::size_t length, std::size_t& got,
            int& error);

// Writes the whole of bytes to output. Returns 0, or 1 with error set (a full disk, the
// file-size limit, a closed pipe); part of them may then have been written.
int write_all(os_handle output, std::string_view bytes, int& error);

// Cuts the open output to zero bytes. Does nothing to what has no length: a device or a pipe.
void empty_file(os_handle output);

// Cuts the file at path to zero bytes, where it can.
void empty_file_at(const char* path);

// Closes file. Returns 0, or the error of a close that reports a late write error; file is
// closed either way.
int close_file(os_handle file);

// The system's words for error, such as "No such file or directory".
std::string describe_error(int error);

// Whether error tells that a write met the file-size limit (ulimit -f, or the file system's).
bool is_file_size_limit(int error);

}  // namespace natjoin

#endif  // NATJOIN_PLATFORM_FILES_H_
