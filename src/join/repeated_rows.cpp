#include "join/repeated_rows.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "write/row_format.h"

namespace natjoin {

namespace {

// Asks for what row i of rows will need ahead of its turn, of count rows.
void ask_ahead(std::string_view text, const std::vector<column_view>& columns,
               const std::uint32_t* rows, std::size_t i, std::size_t count) {
  if (i + 2 * group_ahead < count) {
    prefetch_values(columns, rows[i + 2 * group_ahead], rows[i + 2 * group_ahead] + 1);
  }
  if (i + group_ahead < count)
    prefetch_texts(text, columns, rows[i + group_ahead], rows[i + group_ahead] + 1);
}

// Asks for the first rows, which no earlier row asked for.
void ask_first(std::string_view text, const std::vector<column_view>& columns,
               const std::uint32_t* rows, std::size_t count) {
  for (std::size_t i = 0; i < std::min(count, 2 * group_ahead); ++i) {
    prefetch_values(columns, rows[i], rows[i] + 1);
  }
  for (std::size_t i = 0; i < std::min(count, group_ahead); ++i) {
    prefetch_texts(text, columns, rows[i], rows[i] + 1);
  }
}

// The new rows that meet a running row, sorted by their key (a counting
// sort): those of key k are rows[start[k], start[k + 1]).
void sort_new_rows(const step_groups& groups, row_numbers& start, row_numbers& rows) {
  const std::size_t keys = groups.keys;
  start.assign(keys + 1, 0);
  for (std::uint32_t k : groups.match) {
    if (k != no_row && group_size(groups, k) != 0) ++start[k + 1];
  }
  for (std::size_t k = 0; k < keys; ++k) start[k + 1] += start[k];
  rows.resize(start[keys]);
  row_numbers fill(start.begin(), start.end() - 1);
  for (std::size_t r = 0; r < groups.match.size(); ++r) {
    const std::uint32_t k = groups.match[r];
    if (k != no_row && group_size(groups, k) != 0) rows[fill[k]++] = static_cast<std::uint32_t>(r);
  }
}

// Hashes the texts of result rows [0, count) of columns into hashes, a piece
// of rows at a time on split.threads threads.
void hash_row_texts(std::string_view text, const std::vector<column_view>& columns,
                    std::size_t count, region_vector<std::uint64_t>& hashes,
                    const work_split& split) {
  const std::vector<column_view> leaders = row_leaders(columns);
  std::vector<cache_aligned<text_buffer>> buffers(split.threads);
  run_pieces(
      split.threads, piece_count(count, split.piece_rows), [&](std::size_t p, std::size_t thread) {
        text_buffer& row = buffers[thread].value;
        const std::size_t end = std::min(count, (p + 1) * split.piece_rows);
        for (std::size_t first = p * split.piece_rows; first < end; first += format_batch_rows) {
          prefetch_batch(text, leaders, first, end);
          for (std::size_t i = first; i < std::min(first + format_batch_rows, end); ++i) {
            row.used = 0;
            append_row(text, columns, i, row);
            hashes[i] = hash_bytes(text_of(row));
          }
        }
      });
}

// Where the hashes of rows agree, whether rows a and b are alike, told on
// thread thread, which may keep working memory of its own.
using alike = std::function<bool(std::size_t thread, std::size_t a, std::size_t b)>;

// The rows of partition p, in row order, that are the first of their kind.
std::vector<std::uint32_t> first_of_partition(const region_vector<std::uint64_t>& hashes,
                                              std::size_t p, std::size_t partitions,
                                              std::size_t thread, const alike& same) {
  std::size_t rows = 0;
  for (std::uint64_t h : hashes) rows += partition_of(h, partitions) == p;
  row_slots slots = make_row_slots(rows);
  std::vector<std::uint32_t> kept;
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    if (partition_of(hashes[i], partitions) != p) continue;
    const std::size_t at =
        find_row(slots, hashes[i], [&](std::size_t earlier) { return same(thread, earlier, i); });
    if (!slot_is_empty(slots[at])) continue;
    put_row(slots, at, hashes[i], i);
    kept.push_back(static_cast<std::uint32_t>(i));
  }
  return kept;
}

// Marks the first row of each kind among rows [0, hashes.size()), whose
// hashes are hashes: rows alike have equal hashes, and same tells apart those
// whose hashes only agree. The rows are cut by hash into a partition per
// thread, each worked through in row order, so that the first row of each
// kind is the one marked however many threads there are.
std::vector<char> mark_first(const region_vector<std::uint64_t>& hashes, const alike& same,
                             std::size_t threads) {
  const std::size_t partitions = std::max<std::size_t>(1, threads);
  std::vector<std::vector<std::uint32_t>> kept(partitions);
  run_pieces(threads, partitions, [&](std::size_t p, std::size_t thread) {
    kept[p] = first_of_partition(hashes, p, partitions, thread, same);
  });
  std::vector<char> keep(hashes.size(), 0);
  for (const std::vector<std::uint32_t>& rows : kept) {
    for (std::uint32_t row : rows) keep[row] = 1;
  }
  return keep;
}

// Keeps the marked entries of every list, in order, at its front, and cuts
// the list to them; returns how many are kept.
std::size_t keep_marked(const std::vector<char>& keep, const std::vector<row_numbers*>& lists) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (keep[i] == 0) continue;
    for (row_numbers* rows : lists) (*rows)[kept] = (*rows)[i];
    ++kept;
  }
  for (row_numbers* rows : lists) rows->resize(kept);
  return kept;
}

// Leaves out of rows[0, count), row numbers of one table in order, every row
// whose values in columns are those of an earlier one; returns how many are
// kept, in order, at the front. slots is working memory, which a caller may
// hand from call to call.
// REQUIRES: columns read that table in its own rows (rows unset).
std::size_t keep_first_rows(std::string_view text, const std::vector<column_view>& columns,
                            std::uint32_t* rows, std::size_t count, row_slots& slots) {
  if (count < 2) return count;
  reset_row_slots(slots, count);
  ask_first(text, columns, rows, count);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    ask_ahead(text, columns, rows, i, count);
    const std::uint32_t row = rows[i];
    const std::uint64_t h = hash_row(text, columns, row);
    std::size_t at = find_row(slots, h, [&](std::size_t earlier) {
      return same_values(text, columns, rows[earlier], columns, row);
    });
    if (!slot_is_empty(slots[at])) continue;
    rows[kept] = row;
    put_row(slots, at, h, kept++);
  }
  return kept;
}

// keep_first_running searches the first groups of a step, of sample_rows
// rows or a few more, by their values, and the others by hash where fewer
// than one row in few_repeats of those first groups repeats an earlier row.
// The hashes cost a pass over the table and a read of a row's hash in its
// group, and spare the reads of a row's values and texts unless it repeats.
// By hash, W2, whose rows do not repeat, takes 12% less time, and W3, half
// of whose rows repeat, 7% more; so W3 goes by values.
constexpr std::size_t sample_rows = 4096;
constexpr std::size_t few_repeats = 8;

// Whether every presumed twin holds the values of its earlier row. A twin's
// values and texts, and those of its earlier row, are read here for the first
// time, so they are asked for some twins ahead.
bool twins_alike(std::string_view text, const std::vector<column_view>& columns,
                 const std::uint32_t* rows, const std::vector<presumed_twin>& twins) {
  const auto ask = [&](std::size_t t, bool texts) {
    for (std::uint32_t at : {twins[t].at, twins[t].earlier}) {
      if (texts) {
        prefetch_texts(text, columns, rows[at], rows[at] + 1);
      } else {
        prefetch_values(columns, rows[at], rows[at] + 1);
      }
    }
  };
  for (std::size_t t = 0; t < twins.size(); ++t) {
    if (t + 2 * gather_ahead < twins.size()) ask(t + 2 * gather_ahead, false);
    if (t + gather_ahead < twins.size()) ask(t + gather_ahead, true);
    if (!same_values(text, columns, rows[twins[t].at], columns, rows[twins[t].earlier])) {
      return false;
    }
  }
  return true;
}

// The hashes of the values in columns of rows [0, count) of the side that
// rows numbers, or of the table's own rows where rows is null, on
// split.threads threads.
region_vector<std::uint64_t> hash_rows(std::string_view text,
                                       const std::vector<column_view>& columns,
                                       const std::uint32_t* rows, std::size_t count,
                                       const work_split& split) {
  region_vector<std::uint64_t> hashes(count);
  run_pieces(split.threads, piece_count(count, split.piece_rows), [&](std::size_t p, std::size_t) {
    const std::size_t end = std::min(count, (p + 1) * split.piece_rows);
    for (std::size_t i = p * split.piece_rows; i < end; ++i) {
      hashes[i] = hash_row(text, columns, rows != nullptr ? rows[i] : i);
    }
  });
  return hashes;
}

// Searches the first groups of a step by their values, in order, until
// sample_rows rows or a few more have been, and writes how many rows each
// keeps into kept. Returns the number of groups searched, and sets by_hash
// where groups are left and fewer than one row in few_repeats of those
// searched repeated an earlier row.
std::size_t search_first_groups(std::string_view text, const std::vector<column_view>& columns,
                                step_groups& groups, row_numbers& kept, bool& by_hash) {
  const std::size_t keys = groups.group_start.size() - 1;
  row_slots slots;
  std::size_t sampled = 0;
  std::size_t repeats = 0;
  std::size_t k = 0;
  for (; k < keys && sampled < sample_rows; ++k) {
    const std::size_t begin = groups.group_start[k];
    const std::size_t count = groups.group_start[k + 1] - begin;
    kept[k] = static_cast<std::uint32_t>(
        keep_first_rows(text, columns, groups.group_rows.data() + begin, count, slots));
    sampled += count;
    repeats += count - kept[k];
  }
  by_hash = k < keys && repeats * few_repeats < sampled;
  return k;
}

// Moves the rows that each group keeps, kept[k] of group k, to the front of
// the groups' rows, group by group, and cuts the rows to them.
void move_kept_rows(const row_numbers& kept, step_groups& groups) {
  const std::size_t keys = groups.group_start.size() - 1;
  std::size_t at = 0;
  for (std::size_t k = 0; k < keys; ++k) {
    const std::uint32_t* group = groups.group_rows.data() + groups.group_start[k];
    groups.group_start[k] = static_cast<std::uint32_t>(at);
    std::copy(group, group + kept[k], groups.group_rows.data() + at);
    at += kept[k];
  }
  groups.group_start[keys] = static_cast<std::uint32_t>(at);
  groups.group_rows.resize(at);
}

// Leaves the repeated rows out of the count new rows at group, which all
// meet running rows of key k: only the first of each stays matched to it.
void keep_first_of_key(std::string_view text, const std::vector<column_view>& columns,
                       std::uint32_t* group, std::size_t count, std::uint32_t k, row_slots& slots,
                       step_groups& groups);

}  // namespace

std::size_t keep_first_by_hash(std::string_view text, const std::vector<column_view>& columns,
                               const region_vector<std::uint64_t>& hashes, std::uint32_t* rows,
                               std::size_t count, hash_search& search) {
  if (count < 2) return count;
  // A row whose hash an earlier row has is taken for that row's twin, and
  // the values of such pairs are compared after the search, asked for ahead.
  // Should a pair differ, which takes two different rows of one 64-bit hash,
  // the rows, which have not moved yet, are searched again by their values.
  reset_row_slots(search.slots, count);
  search.twins.clear();
  for (std::size_t i = 0; i < count; ++i) {
    if (i + gather_ahead < count) prefetch(hashes.data() + rows[i + gather_ahead]);
    const std::uint64_t h = hashes[rows[i]];
    const std::size_t at =
        find_row(search.slots, h, [&](std::size_t earlier) { return hashes[rows[earlier]] == h; });
    if (slot_is_empty(search.slots[at])) {
      put_row(search.slots, at, h, i);
    } else {
      search.twins.push_back({static_cast<std::uint32_t>(i), slot_row(search.slots[at])});
    }
  }
  if (search.twins.empty()) return count;
  if (!twins_alike(text, columns, rows, search.twins)) {
    return keep_first_rows(text, columns, rows, count, search.slots);
  }
  std::size_t kept = 0;
  std::size_t twin = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (twin < search.twins.size() && search.twins[twin].at == i) {
      ++twin;
    } else {
      rows[kept++] = rows[i];
    }
  }
  return kept;
}

void keep_first_running(std::string_view text, const std::vector<column_view>& columns,
                        std::size_t rows, step_groups& groups, const work_split& split) {
  const std::size_t keys = groups.group_start.size() - 1;
  row_numbers kept(keys);
  // The first groups are searched by their values. Where few of their rows
  // repeat, the others are searched by hash: the rows are hashed in their
  // order, which is that of memory, and a group reads a hash of each row
  // rather than waiting for its values and texts. A row that repeats has
  // its values read all the same, as has the row it repeats, so where many
  // do, the hashes would only add work.
  bool by_hash = false;
  const std::size_t from = search_first_groups(text, columns, groups, kept, by_hash);
  const region_vector<std::uint64_t> hashes =
      by_hash ? hash_rows(text, columns, nullptr, rows, split) : region_vector<std::uint64_t>();
  std::vector<cache_aligned<hash_search>> search(split.threads);
  const std::vector<std::size_t> cuts =
      cut_by_rows(groups.group_start.data() + from, keys - from, split.piece_rows);
  run_pieces(split.threads, cuts.size() - 1, [&](std::size_t piece, std::size_t thread) {
    for (std::size_t k = from + cuts[piece]; k < from + cuts[piece + 1]; ++k) {
      const std::size_t begin = groups.group_start[k];
      std::uint32_t* group = groups.group_rows.data() + begin;
      const std::size_t count = groups.group_start[k + 1] - begin;
      hash_search& own = search[thread].value;
      kept[k] = static_cast<std::uint32_t>(
          by_hash ? keep_first_by_hash(text, columns, hashes, group, count, own)
                  : keep_first_rows(text, columns, group, count, own.slots));
    }
  });
  move_kept_rows(kept, groups);
}

void keep_first_new(std::string_view text, const std::vector<column_view>& columns,
                    step_groups& groups, const work_split& split) {
  row_numbers start;
  row_numbers rows;
  sort_new_rows(groups, start, rows);
  std::vector<cache_aligned<row_slots>> slots(split.threads);
  const std::vector<std::size_t> cuts = cut_by_rows(start.data(), groups.keys, split.piece_rows);
  run_pieces(split.threads, cuts.size() - 1, [&](std::size_t piece, std::size_t thread) {
    for (std::size_t k = cuts[piece]; k < cuts[piece + 1]; ++k) {
      keep_first_of_key(text, columns, rows.data() + start[k], start[k + 1] - start[k],
                        static_cast<std::uint32_t>(k), slots[thread].value, groups);
    }
  });
}

std::size_t keep_first_of_table(std::string_view text, const std::vector<column_view>& columns,
                                row_numbers& rows, std::size_t count, const work_split& split) {
  const region_vector<std::uint64_t> hashes = hash_rows(text, columns, rows.data(), count, split);
  const std::vector<char> keep = mark_first(
      hashes,
      [&](std::size_t, std::size_t a, std::size_t b) {
        return same_values(text, columns, rows[a], columns, rows[b]);
      },
      threads_for(count, split));
  std::vector<row_numbers*> lists{&rows};
  return keep_marked(keep, lists);
}

std::size_t drop_repeats(std::string_view text, const std::vector<column_view>& columns,
                         std::vector<row_numbers>& rows, std::size_t count,
                         const work_split& split) {
  region_vector<std::uint64_t> hashes(count);
  hash_row_texts(text, columns, count, hashes, split);
  std::vector<cache_aligned<std::pair<text_buffer, text_buffer>>> texts(split.threads);
  const std::vector<char> keep = mark_first(
      hashes,
      [&](std::size_t thread, std::size_t a, std::size_t b) {
        auto& [first, second] = texts[thread].value;
        first.used = second.used = 0;
        append_row(text, columns, a, first);
        append_row(text, columns, b, second);
        return text_of(first) == text_of(second);
      },
      threads_for(count, split));
  std::vector<row_numbers*> lists;
  for (row_numbers& table_rows : rows) lists.push_back(&table_rows);
  return keep_marked(keep, lists);
}

namespace {

void keep_first_of_key(std::string_view text, const std::vector<column_view>& columns,
                       std::uint32_t* group, std::size_t count, std::uint32_t k, row_slots& slots,
                       step_groups& groups) {
  if (count < 2) return;
  for (std::size_t i = 0; i < count; ++i) groups.match[group[i]] = no_row;
  const std::size_t kept = keep_first_rows(text, columns, group, count, slots);
  for (std::size_t i = 0; i < kept; ++i) groups.match[group[i]] = k;
}

}  // namespace

}  // namespace natjoin
