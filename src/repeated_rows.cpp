#include "repeated_rows.h"

#include <algorithm>

#include "row_format.h"

namespace {

// The rows of a group lie anywhere in their table: each is asked for this
// many rows ahead, its values twice as far, so that its text can be asked
// for once its values have come.
constexpr std::size_t ahead = 8;

// Asks for what row i of rows will need ahead of its turn, of count rows.
void ask_ahead(std::string_view text, const std::vector<column_view>& columns,
               const std::uint32_t* rows, std::size_t i, std::size_t count) {
  if (i + 2 * ahead < count) {
    prefetch_values(columns, rows[i + 2 * ahead], rows[i + 2 * ahead] + 1);
  }
  if (i + ahead < count) prefetch_texts(text, columns, rows[i + ahead], rows[i + ahead] + 1);
}

// Asks for the first rows, which no earlier row asked for.
void ask_first(std::string_view text, const std::vector<column_view>& columns,
               const std::uint32_t* rows, std::size_t count) {
  for (std::size_t i = 0; i < std::min(count, 2 * ahead); ++i) {
    prefetch_values(columns, rows[i], rows[i] + 1);
  }
  for (std::size_t i = 0; i < std::min(count, ahead); ++i) {
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

// The texts of a batch of result rows, one after another, and their hashes.
struct row_batch {
  text_buffer texts;
  std::size_t ends[batch_rows];
  std::uint64_t hashes[batch_rows];
};

// The text of row i of batch.
std::string_view batch_row(const row_batch& batch, std::size_t i) {
  const std::size_t begin = i == 0 ? 0 : batch.ends[i - 1];
  return text_of(batch.texts).substr(begin, batch.ends[i] - begin);
}

// Formats count rows from first into batch and hashes them, asking for the
// slots that the hashes pick.
void hash_batch(std::string_view text, const std::vector<column_view>& columns, std::size_t first,
                std::size_t count, const row_slots& slots, row_batch& batch) {
  batch.texts.used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    append_row(text, columns, first + i, batch.texts);
    batch.ends[i] = batch.texts.used;
  }
  for (std::size_t i = 0; i < count; ++i) {
    batch.hashes[i] = hash_bytes(batch_row(batch, i));
    prefetch_slot(slots, batch.hashes[i]);
  }
}

// Leaves the repeated rows out of the count new rows at group, which all
// meet running rows of key k: only the first of each stays matched to it.
void keep_first_of_key(std::string_view text, const std::vector<column_view>& columns,
                       std::uint32_t* group, std::size_t count, std::uint32_t k, row_slots& slots,
                       step_groups& groups);

}  // namespace

std::size_t keep_first_rows(std::string_view text, const std::vector<column_view>& columns,
                            std::uint32_t* rows, std::size_t count, row_slots& slots) {
  if (count < 2) return count;
  std::size_t size = 16;
  while (size < 2 * count) size *= 2;
  slots.assign(size, 0);
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

void keep_first_running(std::string_view text, const std::vector<column_view>& columns,
                        step_groups& groups, const work_split& split) {
  const std::size_t keys = groups.group_start.size() - 1;
  row_numbers kept(keys);
  std::vector<own_line<row_slots>> slots(split.threads);
  const std::vector<std::size_t> cuts =
      cut_by_rows(groups.group_start.data(), keys, split.piece_rows);
  run_pieces(split.threads, cuts.size() - 1, [&](std::size_t piece, std::size_t thread) {
    for (std::size_t k = cuts[piece]; k < cuts[piece + 1]; ++k) {
      const std::size_t begin = groups.group_start[k];
      kept[k] = static_cast<std::uint32_t>(
          keep_first_rows(text, columns, groups.group_rows.data() + begin,
                          groups.group_start[k + 1] - begin, slots[thread].value));
    }
  });
  // The rows kept move to the front, group by group.
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

void keep_first_new(std::string_view text, const std::vector<column_view>& columns,
                    step_groups& groups, const work_split& split) {
  row_numbers start;
  row_numbers rows;
  sort_new_rows(groups, start, rows);
  std::vector<own_line<row_slots>> slots(split.threads);
  const std::vector<std::size_t> cuts = cut_by_rows(start.data(), groups.keys, split.piece_rows);
  run_pieces(split.threads, cuts.size() - 1, [&](std::size_t piece, std::size_t thread) {
    for (std::size_t k = cuts[piece]; k < cuts[piece + 1]; ++k) {
      keep_first_of_key(text, columns, rows.data() + start[k], start[k + 1] - start[k],
                        static_cast<std::uint32_t>(k), slots[thread].value, groups);
    }
  });
}

std::size_t drop_repeats(std::string_view text, const std::vector<column_view>& columns,
                         std::vector<row_numbers>& rows, std::size_t count) {
  const std::vector<column_view> leaders = row_leaders(columns);
  row_slots slots = make_row_slots(count);
  std::size_t kept = 0;
  row_batch batch;
  text_buffer other;
  for (std::size_t first = 0; first < count; first += batch_rows) {
    const std::size_t size = std::min(batch_rows, count - first);
    prefetch_batch(text, leaders, first + batch_rows, count);
    hash_batch(text, columns, first, size, slots, batch);
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t at = find_row(slots, batch.hashes[i], [&](std::size_t earlier) {
        other.used = 0;
        append_row(text, columns, earlier, other);
        return text_of(other) == batch_row(batch, i);
      });
      if (!slot_is_empty(slots[at])) continue;
      // Kept rows move to the front; an earlier one is found by its new place.
      for (row_numbers& table_rows : rows) table_rows[kept] = table_rows[first + i];
      put_row(slots, at, batch.hashes[i], kept++);
    }
  }
  for (row_numbers& table_rows : rows) table_rows.resize(kept);
  return kept;
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
