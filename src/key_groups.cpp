#include "key_groups.h"

#include <algorithm>

namespace {

// Sorts the running rows by the key they hold, keeping their order within a
// key (a counting sort); rows whose key the other side lacks are left out.
// Returns the size of the largest group.
std::size_t group_by_key(const row_numbers& ids, step_groups& groups) {
  const std::size_t keys = groups.keys;
  groups.group_start.assign(keys + 1, 0);
  for (std::uint32_t k : ids) {
    if (k != no_row) ++groups.group_start[k + 1];
  }
  // Each key's entry becomes where its group begins, one place on: placing
  // a row moves it on, so that it ends where the next group begins.
  std::size_t largest = 0;
  std::uint32_t begin = 0;
  for (std::size_t k = 0; k < keys; ++k) {
    const std::uint32_t size = groups.group_start[k + 1];
    largest = std::max<std::size_t>(largest, size);
    groups.group_start[k + 1] = begin;
    begin += size;
  }
  groups.group_rows.resize(begin);
  for (std::size_t s = 0; s < ids.size(); ++s) {
    if (ids[s] != no_row) {
      groups.group_rows[groups.group_start[ids[s] + 1]++] = static_cast<std::uint32_t>(s);
    }
  }
  return largest;
}

// Whether no key is named by two rows of ids.
bool keys_unique(const row_numbers& ids, std::size_t keys) {
  std::vector<bool> seen(keys);
  for (std::uint32_t k : ids) {
    if (k == no_row) continue;
    if (seen[k]) return false;
    seen[k] = true;
  }
  return true;
}

// Whether every row of ids names its own key: no two rows share one.
bool own_keys(const row_numbers& ids) {
  for (std::size_t row = 0; row < ids.size(); ++row) {
    if (ids[row] != row) return false;
  }
  return true;
}

// Names the keys of both sides, indexing the smaller: the new rows' names
// go to groups.match, the running rows' to running_ids. Returns whether the
// new side was indexed.
bool name_keys(std::string_view text, const std::vector<column_view>& running_key,
               std::size_t running_rows, const std::vector<column_view>& new_key,
               std::size_t new_rows, step_groups& groups, row_numbers& running_ids,
               const step_count& counted) {
  const bool index_new = new_rows < running_rows;
  row_slots slots = make_row_slots(index_new ? new_rows : running_rows);
  kept_keys kept;
  if (index_new) {
    index_keys(text, new_key, new_rows, slots, groups.match, kept, counted);
    probe_running_keys(text, new_key, kept, running_key, running_rows, slots, running_ids,
                       [&](std::size_t rows) { counted(new_rows + rows); });
  } else {
    index_keys(text, running_key, running_rows, slots, running_ids, kept, counted);
    probe_keys(text, running_key, kept, new_key, new_rows, slots, groups.match,
               [&](std::size_t rows) { counted(running_rows + rows); });
  }
  return index_new;
}

}  // namespace

void match_by_key(std::string_view text, const std::vector<column_view>& running_key,
                  std::size_t running_rows, const std::vector<column_view>& new_key,
                  std::size_t new_rows, step_groups& groups, const step_count& counted) {
  row_numbers running_ids;
  const bool index_new =
      name_keys(text, running_key, running_rows, new_key, new_rows, groups, running_ids, counted);
  groups.keys = index_new ? new_rows : running_rows;
  groups.new_distinct = index_new ? own_keys(groups.match) : keys_unique(groups.match, groups.keys);
  if (!index_new) {
    // Where every running row names its own key, each is its own group.
    groups.running_distinct = groups.alone = own_keys(running_ids);
    if (groups.alone) return;
  }
  const std::size_t largest = group_by_key(running_ids, groups);
  if (index_new) groups.running_distinct = largest <= 1;
}

void match_all(std::size_t running_rows, std::size_t new_rows, step_groups& groups) {
  groups.keys = 1;
  groups.group_start = {0, static_cast<std::uint32_t>(running_rows)};
  groups.group_rows.resize(running_rows);
  for (std::size_t s = 0; s < running_rows; ++s) {
    groups.group_rows[s] = static_cast<std::uint32_t>(s);
  }
  groups.match.assign(new_rows, 0);
  groups.running_distinct = running_rows <= 1;
  groups.new_distinct = new_rows <= 1;
}

std::size_t count_result(const step_groups& groups) {
  std::size_t total = 0;
  for (std::uint32_t k : groups.match) {
    if (k != no_row) total += group_size(groups, k);
    if (total >= max_rows) return max_rows;
  }
  return total;
}

void gather_rows(const std::uint32_t* source, const step_groups& groups, std::size_t total,
                 row_numbers& out) {
  out.resize(total);
  std::size_t i = 0;
  if (groups.alone) {
    for (std::uint32_t k : groups.match) {
      if (k != no_row) out[i++] = source == nullptr ? k : source[k];
    }
    return;
  }
  for (std::uint32_t k : groups.match) {
    if (k == no_row) continue;
    const std::uint32_t* group = groups.group_rows.data() + groups.group_start[k];
    const std::size_t size = group_size(groups, k);
    for (std::size_t g = 0; g < size; ++g) {
      if (source == nullptr) {
        out[i++] = group[g];
        continue;
      }
      if (g + lookahead < size) prefetch(source + group[g + lookahead]);
      out[i++] = source[group[g]];
    }
  }
}

void spread_rows(const step_groups& groups, std::size_t total, row_numbers& out) {
  out.resize(total);
  std::size_t i = 0;
  for (std::size_t r = 0; r < groups.match.size(); ++r) {
    if (groups.match[r] == no_row) continue;
    const std::size_t size = group_size(groups, groups.match[r]);
    std::fill_n(out.data() + i, size, static_cast<std::uint32_t>(r));
    i += size;
  }
}
