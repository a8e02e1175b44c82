// natjoin: how a stage ends, and where and why it failed, for a person.
#ifndef NATJOIN_BASE_STATUS_H_
#define NATJOIN_BASE_STATUS_H_

#include <cstddef>
#include <new>
#include <string>
#include <utility>

namespace natjoin {

// Outcome of a stage. Only the join tells its two failures apart.
enum status : int {
  status_ok = 0,
  status_failed = 1,
  status_conflict = 2,  // join: a column declared differently in two tables
};

// Where and why a stage failed, for a person: the 1-based line of the input file (0 where no
// line is known), the 1-based byte of that line (0 where no byte is to blame) and the reason in
// plain words. The stages fill it only when they fail and where the caller passes one.
struct failure_detail {
  std::size_t line = 0;
  std::size_t column = 0;
  std::string reason;
};

// Fills detail, where one is given, with line, reason and column; returns 1, the failure.
inline int fail_at(failure_detail* detail, std::size_t line, std::string reason,
                   std::size_t column = 0) {
  if (detail != nullptr) *detail = {line, column, std::move(reason)};
  return status_failed;
}

// Runs stage, a call that returns a status; memory running out inside it counts as its failure,
// with detail saying so.
template <typename Stage>
int guarded(failure_detail& detail, Stage&& stage) {
  try {
    return stage();
  } catch (const std::bad_alloc&) {
    detail = {0, 0, "out of memory"};
    return status_failed;
  }
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_STATUS_H_
