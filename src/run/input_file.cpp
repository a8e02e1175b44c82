// Reading the input file: a large file in pieces on several threads, anything else as one
// stream.
#include "run/input_file.h"

#include <algorithm>

#include "base/pieces.h"
#include "run/messages.h"

namespace natjoin {

namespace {

// A large input file is read in pieces of this many bytes, on several threads.
constexpr std::size_t read_bytes = std::size_t{4} << 20;

// Reads the size bytes that the input file had when it was opened into text, a piece per
// thread, then whatever has been added since; where it has shrunk meanwhile, to where the first
// piece that came short ended. Returns 0, or 1 with error set.
int read_file_pieces(os_handle input, std::size_t size, std::size_t threads,
                     region_vector<char>& text, int& error) {
  // One byte more than the file had shows whether it has grown since.
  text.resize(size + 1);
  const std::size_t pieces = piece_count(size, read_bytes);
  std::vector<std::size_t> got(pieces);
  std::vector<int> errors(pieces, 0);
  run_pieces(threads, pieces, [&](std::size_t k, std::size_t) {
    const std::size_t at = k * read_bytes;
    read_at(input, at, text.data() + at, std::min(read_bytes, size - at), got[k], errors[k]);
  });
  std::size_t used = 0;
  for (std::size_t k = 0; k < pieces; ++k) {
    if ((error = errors[k]) != 0) return status_failed;
    used += got[k];
    if (got[k] < std::min(read_bytes, size - k * read_bytes)) break;
  }
  // A file that has not come short may have grown: it is read on to its end.
  for (std::size_t more = used == size ? 1 : 0; more != 0; used += more) {
    if (used == text.size()) text.resize(2 * text.size());
    if (read_at(input, used, text.data() + used, text.size() - used, more, error) != 0) {
      return status_failed;
    }
  }
  text.resize(used);
  return status_ok;
}

// Reads input to its end into text, which starts with room for the whole of a regular file and
// one byte more, and doubles where the input has more. Returns 0, or 1 with error set.
int read_stream(os_handle input, region_vector<char>& text, int& error) {
  std::size_t used = 0;
  text.resize(std::max<std::size_t>(file_size(input) + 1, std::size_t{1} << 16));
  for (std::size_t got = 1; got != 0; used += got) {
    if (used == text.size()) text.resize(text.size() * 2);
    if (read_next(input, text.data() + used, text.size() - used, got, error) != 0) {
      return status_failed;
    }
  }
  text.resize(used);
  return status_ok;
}

}  // namespace

int read_input_file(os_handle input, std::size_t threads, region_vector<char>& buffer,
                    failure_detail& detail) {
  return guarded(detail, [&] {
    int error = 0;
    const std::size_t size = file_size(input);
    const int got = size > read_bytes && threads > 1
                        ? read_file_pieces(input, size, threads, buffer, error)
                        : read_stream(input, buffer, error);
    if (got == status_ok) return status_ok;
    detail = {0, 0, system_reason("cannot read it", error)};
    return status_failed;
  });
}

int load_input_file(os_handle input, std::size_t threads, std::size_t map_bytes,
                    input_bytes& loaded, failure_detail& detail) {
  const file_stamp before = stamp_of(input);
  if (before.size >= map_bytes && map_file(input, loaded.mapping)) {
    loaded.text = {loaded.mapping.bytes, loaded.mapping.size};
    return status_ok;
  }
  if (read_input_file(input, threads, loaded.buffer, detail) != status_ok) return status_failed;
  loaded.text = {loaded.buffer.data(), loaded.buffer.size()};
  // Pieces read while another program wrote the file may hold two versions of it.
  if (stamp_of(input) != before) {
    detail = {0, 0, "it changed while it was read"};
    return status_failed;
  }
  return status_ok;
}

int check_input_unchanged(os_handle input, const input_bytes& loaded, failure_detail& detail) {
  if (loaded.mapping.bytes == nullptr || !mapped_file_changed(input, loaded.mapping)) {
    return status_ok;
  }
  detail = {0, 0, "it changed while it was read"};
  return status_failed;
}

void give_back_input(const input_bytes& loaded, std::string_view stretch) {
  const char* bytes = loaded.mapping.bytes;
  if (bytes == nullptr || stretch.data() < bytes) return;
  const auto begin = static_cast<std::size_t>(stretch.data() - bytes);
  if (begin > loaded.mapping.size) return;
  give_back_pages(loaded.mapping, begin,
                  begin + std::min(stretch.size(), loaded.mapping.size - begin));
}

void release_input(input_bytes& loaded) {
  unmap_file(loaded.mapping);
  region_vector<char>().swap(loaded.buffer);
  loaded.text = {};
}

}  // namespace natjoin
