// The notes for a person at a terminal: the table a name may have meant, and what a successful
// join did that they may not expect.
#include "run/run_notes.h"

#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/reasons.h"
#include "base/text.h"
#include "base/type_codes.h"
#include "join/column_view.h"
#include "join/running_result.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "run/progress_line.h"

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

namespace {

// A column of the result so far: its name and the table that brought it.
struct brought_column {
  std::string_view name;
  const std::string* table;
};

// The columns of the result so far, by name and by name in lower case.
struct columns_so_far {
  std::unordered_set<std::string_view> names;
  std::unordered_map<std::string, std::vector<brought_column>> by_lowered;
};

void bring_column(std::string_view name, const std::string& table, columns_so_far& so_far) {
  if (so_far.names.insert(name).second) so_far.by_lowered[lowered(name)].push_back({name, &table});
}

// Notes, the step notes beyond the most counted rather than kept.
struct note_list {
  std::vector<std::string> lines;
  std::size_t left_out = 0;
};

void add_step_note(note_list& notes, std::string text) {
  if (notes.lines.size() == most_step_notes) {
    ++notes.left_out;
    return;
  }
  notes.lines.push_back("natjoin: note: " + std::move(text));
}

// The table of run's catalogue named name.
table_ref find_table(const finished_join& run, const std::string& name) {
  return {run.table_data.at(name), run.column_names.at(name), run.column_types.at(name)};
}

// n units, as a person reads them.
std::string counted(std::size_t n, std::string_view unit) {
  return grouped(n) + " " + std::string(unit) + (n == 1 ? "" : "s");
}

// The note on a step that shares no column with the result so far, which had before rows; the
// step's table has rows, and the step gave after.
std::string product_note(const std::string& table, std::size_t before, std::size_t rows,
                         std::size_t after) {
  std::string note = quote(table) + " shares no column with the result so far; every pairing" +
                     " was kept (" + grouped(before) + " x " + grouped(rows) + " = " +
                     counted(before * rows, "row");
  // Repeated rows of the tables give repeated pairings, which are kept once.
  if (after != before * rows) note += ", " + grouped(after) + " of them distinct";
  return note + ")";
}

// Adds the notes on step t of run, and takes the columns of its table into so_far.
void note_step(const finished_join& run, std::size_t t, columns_so_far& so_far, note_list& notes) {
  const std::string& table = run.join_tables[t];
  const std::vector<std::string>& names = run.column_names.at(table);
  bool shares = false;
  for (const std::string& name : names) shares = shares || so_far.names.count(name) != 0;
  for (const std::string& name : names) {
    if (so_far.names.count(name) != 0) continue;
    const auto alike = so_far.by_lowered.find(lowered(name));
    if (alike == so_far.by_lowered.end()) continue;
    for (const brought_column& other : alike->second) {
      add_step_note(notes, "columns " + quote(name) + " of " + quote(table) + " and " +
                               quote(other.name) + " of " + quote(*other.table) +
                               " differ only in case, so they were not joined on");
    }
  }
  const std::size_t rows = table_rows(find_table(run, table));
  const std::size_t before = run.rows_after_steps[t - 1];
  if (!shares && before != 0 && rows != 0) {
    add_step_note(notes, product_note(table, before, rows, run.rows_after_steps[t]));
  }
  for (const std::string& name : names) bring_column(name, table, so_far);
}

// A value as a note shows it: between quotes for a char column, and cut short where it is long.
std::string shown_value(std::string_view value, int code) {
  constexpr std::size_t most = 40;
  std::string shown(value.substr(0, most));
  if (value.size() > most) shown += "...";
  return has_quoted_values(code) ? "'" + shown + "'" : shown;
}

// A char value as it would match but for blanks at its ends and leading zeros.
std::string_view loose_value(std::string_view value) {
  const std::size_t begin = value.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  value = value.substr(begin, value.find_last_not_of(" \t") - begin + 1);
  return strip_leading_zeros(value);
}

// The distinct values of rows rows of column.
std::unordered_set<std::string_view> distinct_values(std::string_view text,
                                                     const column_view& column, std::size_t rows) {
  std::unordered_set<std::string_view> values;
  for (std::size_t r = 0; r < rows; ++r) values.insert(text_at(text, column, r));
  return values;
}

// Whether a and b hold a value in common.
bool meet(const std::unordered_set<std::string_view>& a,
          const std::unordered_set<std::string_view>& b) {
  const bool a_smaller = a.size() <= b.size();
  for (std::string_view value : a_smaller ? a : b) {
    if ((a_smaller ? b : a).count(value) != 0) return true;
  }
  return false;
}

// One side of a shared column: the column, read in its side's rows, and how many rows it has.
struct column_side {
  column_view column;
  std::size_t rows;
};

// The words for the first value there, in row order, that matches a value here but for blanks
// or leading zeros, with the first such value here; empty where none does.
std::string near_pair(std::string_view text, const column_side& there, const column_side& here) {
  std::unordered_map<std::string_view, std::string_view> loose_here;
  for (std::size_t r = 0; r < here.rows; ++r) {
    const std::string_view value = text_at(text, here.column, r);
    loose_here.emplace(loose_value(value), value);
  }
  const int code = there.column.code;
  for (std::size_t r = 0; r < there.rows; ++r) {
    const std::string_view value = text_at(text, there.column, r);
    const auto match = loose_here.find(loose_value(value));
    if (match == loose_here.end()) continue;
    return "; " + shown_value(value, code) + " there and " + shown_value(match->second, code) +
           " here differ only in blanks or leading zeros inside the quotes";
  }
  return {};
}

// Why the values of the shared column name have none in common there, in the table named table,
// and here, in the result so far; empty where they have.
std::string why_apart(std::string_view text, const std::string& name, const std::string& table,
                      const column_side& there, const column_side& here) {
  const auto there_values = distinct_values(text, there.column, there.rows);
  const auto here_values = distinct_values(text, here.column, here.rows);
  if (meet(here_values, there_values)) return {};
  std::string why = "no value of " + name + " in " + quote(table) + " matches the result so far (" +
                    counted(there_values.size(), "value") + " there, " +
                    grouped(here_values.size()) + " here)";
  if (has_quoted_values(there.column.code)) why += near_pair(text, there, here);
  return why;
}

// Why no row of step t's table matched a row of the result so far, the join of the tables
// before it: the first shared column whose values there and here have none in common, or else
// all the shared columns together.
std::string why_no_match(const finished_join& run, std::size_t t) {
  const std::string& table = run.join_tables[t];
  const std::vector<std::string> prefix(run.join_tables.begin(), run.join_tables.begin() + t);
  result_types_map types;
  std::vector<std::string> columns;
  result_data_map data;
  if (join(run.text, prefix, run.table_data, run.column_types, run.column_names, types, columns,
           data, nullptr, nullptr, run.split) != status_ok) {
    return "no row of " + quote(table) + " matches the result so far";
  }
  const table_ref new_table = find_table(run, table);
  const std::size_t here_rows = data.begin()->second.rows->size();
  std::string shared;
  for (std::size_t j = 0; j < new_table.names.size(); ++j) {
    const std::string& name = new_table.names[j];
    const auto found = data.find(name);
    if (found == data.end()) continue;
    shared += (shared.empty() ? "" : ", ") + name;
    const result_column& c = found->second;
    const column_side here{{c.table, c.index, c.stride, c.rows->data(), types.at(name)}, here_rows};
    const column_side there{table_column(new_table, j), table_rows(new_table)};
    std::string why = why_apart(run.text, name, table, there, here);
    if (!why.empty()) return why;
  }
  return "no row of " + quote(table) + " agrees with a row of the result so far on " + shared +
         " at once, though each of them alone has values in common";
}

// The note on a result without rows: the first step that left none, and why.
// REQUIRES: run.rows_after_steps ends with 0.
std::string empty_note(const finished_join& run) {
  std::size_t t = 0;
  while (run.rows_after_steps[t] != 0) ++t;
  const std::string& table = run.join_tables[t];
  const std::string note = "natjoin: note: the result is empty from " + quote(table) + " on: ";
  if (t == 0 || table_rows(find_table(run, table)) == 0)
    return note + quote(table) + " has no rows";
  return note + why_no_match(run, t);
}

}  // namespace

std::vector<std::string> make_notes(const finished_join& run) {
  note_list notes;
  if (run.rows_after_steps.size() != run.join_tables.size()) return notes.lines;
  columns_so_far so_far;
  for (const std::string& name : run.column_names.at(run.join_tables[0])) {
    bring_column(name, run.join_tables[0], so_far);
  }
  for (std::size_t t = 1; t < run.join_tables.size(); ++t) note_step(run, t, so_far, notes);
  if (notes.left_out != 0) {
    notes.lines.push_back("natjoin: note: " + counted(notes.left_out, "more note") +
                          " like these left out");
  }
  if (run.rows_after_steps.back() == 0) notes.lines.push_back(empty_note(run));
  return notes.lines;
}

void tell_notes(const finished_join& run) {
  if (!stderr_is_terminal()) return;
  try {
    for (const std::string& note : make_notes(run))
      write_to_terminal(note + std::string(line_end()));
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace natjoin
