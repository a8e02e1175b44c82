// Mapped files on Windows: none. A mapped file there cannot be shrunk, but it can be written
// while it is mapped; the input is read instead (run/input_file.h).
#include "file_mapping.h"

namespace natjoin {

bool map_file(os_handle, mapped_file& file) {
  file = {};
  return false;
}

bool mapped_file_changed(os_handle, const mapped_file&) {
  return true;
}

void give_back_pages(const mapped_file&, std::size_t, std::size_t) noexcept {}

void unmap_file(mapped_file& file) noexcept {
  file = {};
}

}  // namespace natjoin
