// The files of a run on POSIX systems: descriptors, and a file known by its device and inode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files.h"

namespace natjoin {

std::string_view line_end() {
  return "\n";
}

os_handle open_input(const char* path, int& error) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) error = errno;
  return fd;
}

os_handle open_output(const char* path, int& error) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) error = errno;
  return fd;
}

bool same_file(os_handle input, const char* input_path, const char* output_path) {
  struct stat input_info;
  struct stat output_info;
  const bool input_known = input != no_file ? fstat(static_cast<int>(input), &input_info) == 0
                                            : stat(input_path, &input_info) == 0;
  return input_known && stat(output_path, &output_info) == 0 &&
         input_info.st_dev == output_info.st_dev && input_info.st_ino == output_info.st_ino;
}

int read_next(os_handle input, char* buffer, std::size_t length, std::size_t& got, int& error) {
  for (;;) {
    const ssize_t read_now = read(static_cast<int>(input), buffer, length);
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) {
      error = errno;
      return 1;
    }
    got = static_cast<std::size_t>(read_now);
    return 0;
  }
}

std::size_t file_size(os_handle input) {
  struct stat info;
  if (fstat(static_cast<int>(input), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<std::size_t>(info.st_size);
}

int read_at(os_handle input, std::size_t at, char* buffer, std::size_t length, std::size_t& got,
            int& error) {
  for (got = 0; got < length;) {
    const ssize_t read =
        pread(static_cast<int>(input), buffer + got, length - got, static_cast<off_t>(at + got));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) {
      error = errno;
      return 1;
    }
    if (read == 0) break;
    got += static_cast<std::size_t>(read);
  }
  return 0;
}

file_stamp stamp_of(os_handle input) {
  struct stat info;
  if (fstat(static_cast<int>(input), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  const auto nanoseconds = [](const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  return {static_cast<std::uint64_t>(info.st_size), nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim)};
}

int write_all(os_handle output, std::string_view bytes, int& error) {
  while (!bytes.empty()) {
    const ssize_t put = write(static_cast<int>(output), bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error = put == 0 ? EIO : errno;  // no progress and no reason given: an I/O error
      return 1;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

void empty_file(os_handle output) {
  if (ftruncate(static_cast<int>(output), 0) != 0) {
    // Not a regular file (a device or a pipe): nothing to take back.
  }
}

void empty_file_at(const char* path) {
  if (truncate(path, 0) != 0) {
    // Nothing more can be done about an output that cannot be truncated.
  }
}

int close_file(os_handle file) {
  return close(static_cast<int>(file)) == 0 ? 0 : errno;
}

std::string describe_error(int error) {
  return std::strerror(error);
}

bool is_file_size_limit(int error) {
  return error == EFBIG;
}

}  // namespace natjoin
