// The files of a run on Windows: handles opened by Unicode name in binary, and a file known by
// its volume serial number and file id.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "files.h"
#include "unicode-win32.h"

namespace natjoin {

namespace {

HANDLE handle_of(os_handle file) {
  return reinterpret_cast<HANDLE>(file);
}

os_handle opened(HANDLE handle, int& error) {
  if (handle == INVALID_HANDLE_VALUE) {
    error = static_cast<int>(GetLastError());
    return no_file;
  }
  return reinterpret_cast<os_handle>(handle);
}

// Other programs may read, write, rename or delete a file while natjoin has it open.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A file as the system knows it: its volume and its id there. The 128-bit id of FileIdInfo
// serves where the system gives it (ReFS needs it); otherwise the 64-bit file index.
struct file_id {
  ULONGLONG volume = 0;
  unsigned char id[16] = {};
};

bool read_id(HANDLE handle, bool wide_id, file_id& out) {
  if (wide_id) {
    FILE_ID_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) return false;
    out.volume = info.VolumeSerialNumber;
    std::memcpy(out.id, info.FileId.Identifier, sizeof out.id);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  out.volume = info.dwVolumeSerialNumber;
  std::memcpy(out.id, &info.nFileIndexLow, sizeof info.nFileIndexLow);
  std::memcpy(out.id + 4, &info.nFileIndexHigh, sizeof info.nFileIndexHigh);
  return true;
}

// Opens the file or folder at path only to ask what it is; no_file where it does not exist.
HANDLE open_to_examine(const char* path) {
  return CreateFileW(wide_from_utf8(path).c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool same_id(HANDLE a, HANDLE b, bool wide_id) {
  file_id first;
  file_id second;
  return read_id(a, wide_id, first) && read_id(b, wide_id, second) &&
         first.volume == second.volume && std::memcmp(first.id, second.id, sizeof first.id) == 0;
}

}  // namespace

std::string_view line_end() {
  return "\r\n";
}

os_handle open_input(const char* path, int& error) {
  return opened(CreateFileW(wide_from_utf8(path).c_str(), GENERIC_READ, share_all, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                error);
}

os_handle open_output(const char* path, int& error) {
  return opened(
      CreateFileW(wide_from_utf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
      error);
}

bool same_file(os_handle input, const char* input_path, const char* output_path) {
  const HANDLE output = open_to_examine(output_path);
  if (output == INVALID_HANDLE_VALUE) return false;
  const HANDLE examined = input == no_file ? open_to_examine(input_path) : INVALID_HANDLE_VALUE;
  const HANDLE in = input == no_file ? examined : handle_of(input);
  // Both ids of one kind: the wide ones where the system gives them for both files.
  const bool same =
      in != INVALID_HANDLE_VALUE &&
      (same_id(in, output, true) || (!same_id(in, in, true) && same_id(in, output, false)));
  if (examined != INVALID_HANDLE_VALUE) CloseHandle(examined);
  CloseHandle(output);
  return same;
}

std::size_t file_size(os_handle input) {
  LARGE_INTEGER size;
  if (GetFileType(handle_of(input)) != FILE_TYPE_DISK || !GetFileSizeEx(handle_of(input), &size)) {
    return 0;
  }
  return static_cast<std::size_t>(size.QuadPart);
}

file_stamp stamp_of(os_handle input) {
  LARGE_INTEGER size;
  FILE_BASIC_INFO times;
  if (GetFileType(handle_of(input)) != FILE_TYPE_DISK || !GetFileSizeEx(handle_of(input), &size) ||
      !GetFileInformationByHandleEx(handle_of(input), FileBasicInfo, &times, sizeof times)) {
    return {};
  }
  // Windows counts its times in 100 ns.
  return {static_cast<std::uint64_t>(size.QuadPart), times.LastWriteTime.QuadPart * 100,
          times.ChangeTime.QuadPart * 100};
}

int read_at(os_handle input, std::size_t at, char* buffer, std::size_t length, std::size_t& got,
            int& error) {
  for (got = 0; got < length;) {
    // The offset goes with each read, so that threads reading one handle do not meet.
    OVERLAPPED where = {};
    const std::uint64_t offset = at + got;
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length - got, 1u << 30));
    DWORD read = 0;
    if (!ReadFile(handle_of(input), buffer + got, ask, &read, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      error = static_cast<int>(GetLastError());
      return 1;
    }
    if (read == 0) break;
    got += read;
  }
  return 0;
}

int read_next(os_handle input, char* buffer, std::size_t length, std::size_t& got, int& error) {
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
  DWORD read_now = 0;
  got = 0;
  if (!ReadFile(handle_of(input), buffer, ask, &read_now, nullptr)) {
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;  // the writing end of a pipe has closed
    error = static_cast<int>(GetLastError());
    return 1;
  }
  got = read_now;
  return 0;
}

int write_all(os_handle output, std::string_view bytes, int& error) {
  while (!bytes.empty()) {
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD put = 0;
    if (!WriteFile(handle_of(output), bytes.data(), ask, &put, nullptr) || put == 0) {
      error = put == 0 && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
      return 1;
    }
    bytes.remove_prefix(put);
  }
  return 0;
}

void empty_file(os_handle output) {
  // Not a file on a disk (a device or a pipe): nothing to take back.
  LARGE_INTEGER start = {};
  if (SetFilePointerEx(handle_of(output), start, nullptr, FILE_BEGIN)) {
    SetEndOfFile(handle_of(output));
  }
}

void empty_file_at(const char* path) {
  const HANDLE file = CreateFileW(wide_from_utf8(path).c_str(), GENERIC_WRITE, share_all, nullptr,
                                  TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

int close_file(os_handle file) {
  return CloseHandle(handle_of(file)) ? 0 : static_cast<int>(GetLastError());
}

std::string describe_error(int error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring_view words(text, length);
  // The system ends its words with a line end, often after a full stop.
  while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' ||
                            words.back() == L' ' || words.back() == L'.')) {
    words.remove_suffix(1);
  }
  std::string described = words.empty() ? "error " + std::to_string(error) : utf8_from_wide(words);
  LocalFree(text);
  return described;
}

bool is_file_size_limit(int error) {
  return error == ERROR_FILE_TOO_LARGE;
}

}  // namespace natjoin
