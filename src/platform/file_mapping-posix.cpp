// Mapped files on POSIX systems: mmap, and a SIGBUS handler that puts a page of zeros where a
// page of the mapping has gone past the file's end.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "file_mapping.h"

namespace natjoin {

namespace {

// The mapping that the handler guards, and whether it has put a page of zeros in it. Lock-free
// atomics, which a signal handler may use.
struct mapping_state {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> cut{false};
  struct sigaction before;  // the action that SIGBUS had, for faults outside the mapping
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);

mapping_state mapping;

// A read of a page past the end of a file that has shrunk: the page is replaced by one of zeros,
// and the read is made again. A fault anywhere else takes the action it had before, which
// normally ends the process. mmap is a plain system call here, safe in a handler.
void on_bus_error(int signal, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (at >= mapping.begin && at < mapping.end) {
    const std::uintptr_t page = at & ~static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE) - 1);
    if (mmap(reinterpret_cast<void*>(page), static_cast<std::size_t>(sysconf(_SC_PAGESIZE)),
             PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      mapping.cut = true;
      return;
    }
  }
  if ((mapping.before.sa_flags & SA_SIGINFO) != 0 && mapping.before.sa_sigaction != nullptr) {
    return mapping.before.sa_sigaction(signal, info, context);
  }
  sigaction(SIGBUS, &mapping.before, nullptr);
}

}  // namespace

bool map_file(os_handle input, mapped_file& file) {
  file = {};
  const file_stamp stamp = stamp_of(input);
  if (stamp.size == 0) return false;
  const auto size = static_cast<std::size_t>(stamp.size);
  int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
  flags |= MAP_POPULATE;  // Linux: the pages are put in place at once rather than one fault each
#endif
  void* bytes = mmap(nullptr, size, PROT_READ, flags, static_cast<int>(input), 0);
  if (bytes == MAP_FAILED) return false;
  struct sigaction action = {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  mapping.cut = false;
  mapping.begin = reinterpret_cast<std::uintptr_t>(bytes);
  mapping.end = mapping.begin + size;
  if (sigaction(SIGBUS, &action, &mapping.before) != 0) {
    munmap(bytes, size);
    mapping.begin = mapping.end = 0;
    return false;
  }
  file = {static_cast<const char*>(bytes), size, stamp};
  return true;
}

bool mapped_file_changed(os_handle input, const mapped_file& file) {
  return mapping.cut || stamp_of(input) != file.stamp;
}

void give_back_pages(const mapped_file& file, std::size_t begin, std::size_t end) noexcept {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto at = reinterpret_cast<std::uintptr_t>(file.bytes);
  // Only the pages that lie whole within the stretch: those at its ends may hold bytes that are
  // still being read.
  const std::uintptr_t first = (at + begin + page - 1) / page * page;
  const std::uintptr_t last = (at + end) / page * page;
  if (file.bytes == nullptr || first >= last) return;
#if defined(MADV_DONTNEED)
  // Linux drops the pages of a private mapping that were never written, and reads them again
  // from the file's cache at the next touch; elsewhere the advice may be ignored.
  madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#endif
}

void unmap_file(mapped_file& file) noexcept {
  if (file.bytes == nullptr) return;
  munmap(const_cast<char*>(file.bytes), file.size);
  sigaction(SIGBUS, &mapping.before, nullptr);
  mapping.begin = mapping.end = 0;
  file = {};
}

}  // namespace natjoin
