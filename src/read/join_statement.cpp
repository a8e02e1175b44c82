// The join statement: the first line of the input, which names the tables to join.
#include <string>
#include <vector>

#include "base/text.h"
#include "f1.h"

using namespace natjoin;

namespace {

// The column of the first byte of line that departs from "join"; 0 for an empty line, which has
// no byte to blame.
std::size_t statement_word_column(std::string_view line) {
  if (line.empty()) return 0;
  const std::string_view word = "join";
  std::size_t same = 0;
  while (same < word.size() && same < line.size() && line[same] == word[same]) ++same;
  return same + 1;
}

}  // namespace

int join_ertelmezo(std::string_view line, std::vector<std::string>& join_tables,
                   failure_detail* detail) {
  if (line.find("join") != 0) {
    std::string reason = "the first line does not start with \"join\"";
    if (line.starts_with("\xEF\xBB\xBF")) {
      reason +=
          "; the file begins with a UTF-8 byte order mark, which editors do not show:"
          " save it without one";
    }
    return fail_at(detail, 1, reason, statement_word_column(line));
  }
  std::size_t open = line.find('(');
  if (open == std::string_view::npos) return fail_at(detail, 1, "no \"(\" after \"join\"");
  std::size_t close = line.find(')', open);
  if (close == std::string_view::npos) {
    // The "(" left open is the byte to blame.
    return fail_at(detail, 1, "no \")\" after the \"(\" of the join statement", open + 1);
  }

  std::vector<std::string> names;
  for (std::string_view name : explode(line.substr(open + 1, close - open - 1), ",")) {
    names.emplace_back(trim(name));
  }
  join_tables = std::move(names);
  return status_ok;
}
