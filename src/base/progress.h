// natjoin: how far a long stage has got, for a person watching.
#ifndef NATJOIN_BASE_PROGRESS_H_
#define NATJOIN_BASE_PROGRESS_H_

#include <cstddef>
#include <functional>
#include <string_view>

namespace natjoin {

// Receives the stage in a word or two, the units done, the whole (0 where it is not known) and
// what the units are. The stages call it now and then from their long loops, where one is given.
using progress_report = std::function<void(std::string_view stage, std::size_t done,
                                           std::size_t total, std::string_view unit)>;

// A long loop tells progress how far it has got once every this many rows.
inline constexpr std::size_t report_every = std::size_t{1} << 16;

// Tells progress how far a stage has got, where one is given.
inline void report(const progress_report* progress, std::string_view stage, std::size_t done,
                   std::size_t total, std::string_view unit) {
  if (progress != nullptr) (*progress)(stage, done, total, unit);
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_PROGRESS_H_
