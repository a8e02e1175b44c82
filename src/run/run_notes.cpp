// The notes for a person at a terminal: the table a name may have meant.
#include "run/run_notes.h"

#include <string>
#include <utility>

#include "base/reasons.h"
#include "base/text.h"

namespace natjoin {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// name with its ASCII letters in lower case: names are bytes, and no character set is read.
std::string lowered(std::string_view name) {
  std::string low(name);
  for (char& c : low) c = lower(c);
  return low;
}

// Whether b is a with one byte added, left out or changed, or with two neighbouring bytes
// swapped.
bool one_edit_apart(std::string_view a, std::string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > 1) return false;
  std::size_t same = 0;
  while (same < a.size() && a[same] == b[same]) ++same;
  if (a.size() < b.size()) return a.substr(same) == b.substr(same + 1);
  if (same == a.size()) return false;
  if (a.substr(same + 1) == b.substr(same + 1)) return true;
  return same + 1 < a.size() && a[same] == b[same + 1] && a[same + 1] == b[same] &&
         a.substr(same + 2) == b.substr(same + 2);
}

// Whether column_names defines name as a table with columns, as the join requires.
bool defines(const column_names_map& column_names, const std::string& name) {
  const auto it = column_names.find(name);
  return it != column_names.end() && !it->second.empty();
}

// The name number index of statement where the line holds it: the part between the first "("
// and the ")" after it, trimmed.
// REQUIRES: statement gave at least index + 1 names.
std::string_view statement_name(std::string_view statement, std::size_t index) {
  const std::size_t open = statement.find('(');
  const std::size_t close = statement.find(')', open);
  return trim(explode(statement.substr(open + 1, close - open - 1), ",")[index]);
}

// The defined table a person may have meant by name, and how it differs; the empty text where
// none is near. A name equal but for case comes first, then the first, in byte order, one edit
// away.
std::string meant_table(const std::string& name, const column_names_map& column_names) {
  const std::string low = lowered(name);
  const std::string* near = nullptr;
  for (const auto& [table, names] : column_names) {
    if (names.empty()) continue;
    const std::string other = lowered(table);
    if (other == low) return quote(table) + " is (names are compared exactly, case included)";
    if (near == nullptr && one_edit_apart(low, other)) near = &table;
  }
  return near == nullptr ? std::string() : quote(*near) + " is, one edit away";
}

}  // namespace

void explain_undefined_table(std::string_view statement,
                             const std::vector<std::string>& join_tables,
                             const column_names_map& column_names, failure_detail& detail) {
  for (std::size_t t = 0; t < join_tables.size(); ++t) {
    const std::string& name = join_tables[t];
    if (defines(column_names, name)) continue;
    detail.column = column_in(statement, statement_name(statement, t).data());
    // An empty name is one edit away from every name of one byte: no guess.
    const std::string meant = name.empty() ? std::string() : meant_table(name, column_names);
    if (!meant.empty()) detail.reason = "table " + quote(name) + " is not defined; " + meant;
    return;
  }
}

}  // namespace natjoin
