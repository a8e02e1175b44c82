#include "join/key_groups.h"

#include <algorithm>

namespace natjoin {

namespace {

// Counts the rows of each key among ids[begin, end), in counts[k + 1].
void count_keys(const row_numbers& ids, std::size_t begin, std::size_t end, row_numbers& counts) {
  for (std::size_t s = begin; s < end; ++s) {
    if (ids[s] != no_row) ++counts[ids[s] + 1];
  }
}

// Lays out the groups of the keys, run by run within each: counts[r][k + 1],
// the rows of key k in run r, becomes where those rows go. Returns the size
// of the largest group.
std::size_t lay_out_groups(std::vector<row_numbers>& counts, step_groups& groups) {
  const std::size_t keys = groups.keys;
  std::size_t largest = 0;
  std::uint32_t at = 0;
  groups.group_start.resize(keys + 1);
  for (std::size_t k = 0; k < keys; ++k) {
    groups.group_start[k] = at;
    for (row_numbers& run : counts) {
      const std::uint32_t size = run[k + 1];
      run[k + 1] = at;
      at += size;
    }
    largest = std::max<std::size_t>(largest, at - groups.group_start[k]);
  }
  groups.group_start[keys] = at;
  return largest;
}

// Sorts the running rows by the key they hold, keeping their order within a
// key (a counting sort); rows whose key the other side lacks are left out.
// The rows are cut into a run per thread, which counts and places its own,
// where the counts of the keys of every run take less memory than ids.
// Returns the size of the largest group.
std::size_t group_by_key(const row_numbers& ids, step_groups& groups, std::size_t threads) {
  const std::size_t runs = groups.keys * threads <= ids.size() ? threads : 1;
  std::vector<row_numbers> counts(runs);
  const auto run_begin = [&](std::size_t r) { return ids.size() * r / runs; };
  run_pieces(runs, runs, [&](std::size_t r, std::size_t) {
    counts[r].assign(groups.keys + 1, 0);
    count_keys(ids, run_begin(r), run_begin(r + 1), counts[r]);
  });
  const std::size_t largest = lay_out_groups(counts, groups);
  groups.group_rows.resize(groups.group_start[groups.keys]);
  run_pieces(runs, runs, [&](std::size_t r, std::size_t) {
    row_numbers& place = counts[r];
    for (std::size_t s = run_begin(r); s < run_begin(r + 1); ++s) {
      if (ids[s] != no_row) groups.group_rows[place[ids[s] + 1]++] = static_cast<std::uint32_t>(s);
    }
  });
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

// Names the keys of both sides, indexing the smaller: the new rows' names
// go to groups.match, the running rows' to running_ids. Returns whether the
// indexed side's rows each have a key of their own; its names are then left
// out, each row naming itself.
bool name_keys(std::string_view text, const key_side& running, const key_side& added,
               step_groups& groups, row_numbers& running_ids, const step_count& counted,
               const work_split& split) {
  key_index index;
  if (added.rows < running.rows) {
    const bool own = index_keys(text, added.key, added.rows, index, groups.match, counted, split);
    probe_running_keys(
        text, added.key, index, running, running_ids,
        [&](std::size_t rows) { counted(added.rows + rows); }, split);
    return own;
  }
  const bool own = index_keys(text, running.key, running.rows, index, running_ids, counted, split);
  probe_keys(
      text, running.key, index, added, groups.match,
      [&](std::size_t rows) { counted(running.rows + rows); }, split);
  return own;
}

}  // namespace

void match_by_key(std::string_view text, const key_side& running, const key_side& added,
                  step_groups& groups, const step_count& counted, const work_split& split) {
  row_numbers running_ids;
  const bool index_new = added.rows < running.rows;
  const bool own = name_keys(text, running, added, groups, running_ids, counted, split);
  groups.keys = index_new ? added.rows : running.rows;
  const std::size_t new_rows = added.rows;
  if (index_new) {
    groups.new_distinct = own;
    if (own) {
      groups.match.resize(new_rows);
      for (std::size_t r = 0; r < new_rows; ++r) groups.match[r] = static_cast<std::uint32_t>(r);
    }
  } else {
    groups.new_distinct = keys_unique(groups.match, groups.keys);
    // Where every running row names its own key, each is its own group.
    groups.running_distinct = groups.alone = own;
    if (groups.alone) return;
  }
  const std::size_t largest =
      group_by_key(running_ids, groups, threads_for(running_ids.size(), split));
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

std::size_t count_result(step_groups& groups, std::size_t piece_rows) {
  groups.cuts.assign(1, {0, 0});
  std::size_t total = 0;
  for (std::size_t r = 0; r < groups.match.size(); ++r) {
    const std::uint32_t k = groups.match[r];
    if (k != no_row) total += group_size(groups, k);
    if (total >= max_rows) return max_rows;
    if (total - groups.cuts.back().result_row >= piece_rows) groups.cuts.push_back({r + 1, total});
  }
  if (groups.cuts.back().new_row != groups.match.size()) {
    groups.cuts.push_back({groups.match.size(), total});
  }
  return total;
}

namespace {

// Writes into out the rows of one joined table for the new rows of piece k
// of the result.
void gather_piece(const std::uint32_t* source, const step_groups& groups, std::size_t k,
                  row_numbers& out) {
  std::size_t i = groups.cuts[k].result_row;
  for (std::size_t r = groups.cuts[k].new_row; r < groups.cuts[k + 1].new_row; ++r) {
    const std::uint32_t key = groups.match[r];
    if (key == no_row) continue;
    if (groups.alone) {
      out[i++] = source == nullptr ? key : source[key];
      continue;
    }
    const std::uint32_t* group = groups.group_rows.data() + groups.group_start[key];
    const std::size_t size = group_size(groups, key);
    for (std::size_t g = 0; g < size; ++g) {
      if (source == nullptr) {
        out[i++] = group[g];
        continue;
      }
      if (g + gather_ahead < size) prefetch(source + group[g + gather_ahead]);
      out[i++] = source[group[g]];
    }
  }
}

}  // namespace

void gather_rows(const std::uint32_t* source, const step_groups& groups, std::size_t total,
                 row_numbers& out, std::size_t threads) {
  out.resize(total);
  run_pieces(threads, groups.cuts.size() - 1,
             [&](std::size_t k, std::size_t) { gather_piece(source, groups, k, out); });
}

bool keeps_running_rows(const step_groups& groups, std::size_t total, std::size_t running_rows) {
  if (total != running_rows) return false;
  std::uint32_t next = 0;
  for (const std::uint32_t key : groups.match) {
    if (key == no_row) continue;
    if (groups.alone) {
      if (key != next++) return false;
      continue;
    }
    const std::uint32_t* group = groups.group_rows.data() + groups.group_start[key];
    for (std::size_t g = 0; g < group_size(groups, key); ++g) {
      if (group[g] != next++) return false;
    }
  }
  return true;
}

void spread_rows(const step_groups& groups, std::size_t total, row_numbers& out,
                 std::size_t threads) {
  out.resize(total);
  run_pieces(threads, groups.cuts.size() - 1, [&](std::size_t k, std::size_t) {
    std::size_t i = groups.cuts[k].result_row;
    for (std::size_t r = groups.cuts[k].new_row; r < groups.cuts[k + 1].new_row; ++r) {
      if (groups.match[r] == no_row) continue;
      const std::size_t size = group_size(groups, groups.match[r]);
      std::fill_n(out.data() + i, size, static_cast<std::uint32_t>(r));
      i += size;
    }
  });
}

}  // namespace natjoin
