#include "join/key_index.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

#include "join/key_hashing.h"

namespace natjoin {

namespace {

// The packed words double the memory of the slots; an indexed side of more
// rows than this, already large beside the input, does without them.
constexpr std::size_t packed_rows = std::size_t{1} << 22;

// An indexed side of at most this many key values keeps their texts.
constexpr std::size_t kept_key_texts = std::size_t{1} << 16;

// Whether the key of row of the indexed side is the key whose texts are at
// key. The indexed side's key texts are taken from the index where it has
// them.
bool same_key(std::string_view text, const std::vector<column_view>& indexed,
              const key_index& index, std::size_t row, const std::string_view* key) {
  const std::size_t columns = indexed.size();
  for (std::size_t c = 0; c < columns; ++c) {
    const std::string_view other =
        index.texts.empty() ? text_at(text, indexed[c], row) : index.texts[row * columns + c];
    if (!same_text(other, key[c])) return false;
  }
  return true;
}

// The slot of the packed key word with this hash in table, or the empty
// slot where it belongs.
std::size_t find_packed(const partition_table& table, std::uint64_t hash, std::uint64_t word) {
  for (std::size_t at = hash & table.mask;; at = (at + 1) & table.mask) {
    if (slot_is_empty(table.slots[at]) || table.words[at] == word) return at;
  }
}

// Where a partition's keys are being entered: the partition, and whether its
// keys are still packed.
struct entering {
  std::size_t partition;
  bool pack;
};

// Enters row, whose key hash is h and whose packed key is word (or
// unpacked_word), into the partition of at; same(other) tells whether row
// other has its key. Returns the row that holds its key already, or no_row.
// A key too long for a word ends the packing: the keys packed so far compare
// as well as their rows would.
template <typename Same>
std::uint32_t enter_key(std::size_t row, std::uint64_t h, std::uint64_t word, key_index& index,
                        entering& at, Same&& same) {
  const partition_table& table = index.tables[at.partition];
  if (at.pack && word == unpacked_word) at.pack = false;
  const std::size_t slot =
      at.pack ? find_packed(table, h, word) : find_row(table.slots, table.mask, h, same);
  if (!slot_is_empty(table.slots[slot])) return slot_row(table.slots[slot]);
  put_row(table.slots, slot, h, row);
  if (at.pack) table.words[slot] = word;
  return no_row;
}

// Enters row, whose key texts are own and whose hash is h, into its
// partition; returns whether its key was there already.
bool enter_row(std::string_view text, const std::vector<column_view>& key, std::size_t row,
               const std::string_view* own, std::uint64_t h, key_index& index, entering& at) {
  const std::uint64_t word = at.pack ? key_word(*own) : unpacked_word;
  return enter_key(row, h, word, index, at, [&](std::size_t other) {
           return same_key(text, key, index, other, own);
         }) != no_row;
}

// Enters the rows of run, in their order, into the partition of at; keeps
// their key texts where the index keeps texts. Returns whether a key came
// twice.
bool enter_run(std::string_view text, const std::vector<column_view>& key, const row_run& run,
               key_index& index, entering& at) {
  bool repeats = false;
  hashed_batch batch;
  for (std::size_t first = 0; first < run.count; first += hash_batch_rows) {
    hash_batch(text, key, run, first, batch);
    for (std::size_t i = 0; i < batch.size; ++i) {
      const partition_table& table = index.tables[at.partition];
      prefetch(table.slots + (batch.hashes[i] & table.mask));
    }
    for (std::size_t i = 0; i < batch.size; ++i) {
      const std::size_t row = row_at(run, first + i);
      const std::string_view* own = batch.keys.data() + i * key.size();
      repeats = enter_row(text, key, row, own, batch.hashes[i], index, at) || repeats;
      if (!index.texts.empty()) std::copy(own, own + key.size(), &index.texts[row * key.size()]);
    }
  }
  return repeats;
}

// Lays out the empty tables of the index, partition p for rows[p] rows, with
// packed words where pack is set.
void lay_out_tables(key_index& index, const std::vector<std::size_t>& rows, bool pack) {
  std::vector<std::size_t> sizes;
  for (std::size_t count : rows) sizes.push_back(row_slot_count(count));
  const std::size_t total = std::accumulate(sizes.begin(), sizes.end(), std::size_t{0});
  index.slots.assign(total, 0);
  if (pack) index.words.resize(total);
  std::size_t at = 0;
  for (std::size_t size : sizes) {
    index.tables.push_back(
        {index.slots.data() + at, size - 1, pack ? index.words.data() + at : nullptr});
    at += size;
  }
}

// A partition whose packing ended keeps no words: its keys are compared by
// their rows.
void end_partition(key_index& index, const entering& at) {
  if (!at.pack) index.tables[at.partition].words = nullptr;
}

// A row whose key an earlier row holds, and that row.
using repeated_row = std::pair<std::uint32_t, std::uint32_t>;

// Enters the rows of partition p of sorted, piece by piece, in their order;
// keeps their key texts where the index keeps texts. Each row whose key came
// before goes to repeated.
void enter_partition(std::string_view text, const std::vector<column_view>& key,
                     const partitioned_rows& sorted, std::size_t p, key_index& index,
                     std::vector<repeated_row>& repeated) {
  entering at{p, !sorted.words.empty()};
  for (std::size_t k = 0; k < piece_total(sorted); ++k) {
    const partition_part part = piece_part(sorted, k, p);
    for (std::size_t i = part.first; i < part.first + part.count; ++i) {
      if (i + gather_ahead < part.first + part.count) {
        prefetch(index.tables[p].slots + (sorted.hashes[i + gather_ahead] & index.tables[p].mask));
      }
      const std::uint32_t row = sorted.order[i];
      const std::uint64_t word = at.pack ? sorted.words[i] : unpacked_word;
      const std::uint64_t h = sorted.hashes[i];
      const std::uint32_t first = enter_key(row, h, word, index, at, [&](std::size_t other) {
        return same_values(text, key, other, key, row);
      });
      if (first != no_row) repeated.emplace_back(row, first);
      for (std::size_t c = 0; c < key.size() && !index.texts.empty(); ++c) {
        index.texts[row * key.size() + c] = text_at(text, key[c], row);
      }
    }
  }
  end_partition(index, at);
}

// Enters the rows of partition p of sorted, which holds no hashes, piece by
// piece, hashing them again a batch at a time. Returns whether a key came
// twice.
bool enter_unhashed(std::string_view text, const std::vector<column_view>& key,
                    const partitioned_rows& sorted, std::size_t p, key_index& index) {
  entering at{p, !sorted.words.empty()};
  bool repeats = false;
  for (std::size_t k = 0; k < piece_total(sorted); ++k) {
    const partition_part part = piece_part(sorted, k, p);
    const row_run run{sorted.order.data() + part.first, 0, part.count};
    repeats = enter_run(text, key, run, index, at) || repeats;
  }
  end_partition(index, at);
  return repeats;
}

// Builds every partition, each on one thread. Returns true where every row
// has a key of its own, leaving ids empty; otherwise names the key of every
// row by its first row in ids.
bool build_partitions(std::string_view text, const std::vector<column_view>& key,
                      const partitioned_rows& sorted, key_index& index, row_numbers& ids,
                      const step_count& counted, const work_split& split) {
  std::vector<std::size_t> rows(sorted.partitions, 0);
  for (std::size_t p = 0; p < sorted.partitions; ++p) {
    for (std::size_t k = 0; k < piece_total(sorted); ++k) rows[p] += piece_part(sorted, k, p).count;
  }
  lay_out_tables(index, rows, !sorted.words.empty());
  if (sorted.hashes.empty()) {
    std::vector<char> repeats(sorted.partitions, 0);
    run_pieces(split.threads, sorted.partitions, [&](std::size_t p, std::size_t) {
      repeats[p] = enter_unhashed(text, key, sorted, p, index) ? 1 : 0;
    });
    if (std::find(repeats.begin(), repeats.end(), 1) == repeats.end()) return true;
    // Each key's slot names its first row, which a probe of the side finds.
    probe_keys(text, key, index, {key, sorted.order.size()}, ids, counted, split);
    return false;
  }
  std::vector<std::vector<repeated_row>> repeated(sorted.partitions);
  run_pieces(split.threads, sorted.partitions, [&](std::size_t p, std::size_t) {
    enter_partition(text, key, sorted, p, index, repeated[p]);
  });
  if (std::all_of(repeated.begin(), repeated.end(), [](const auto& r) { return r.empty(); })) {
    return true;
  }
  ids.resize(sorted.order.size());
  std::iota(ids.begin(), ids.end(), std::uint32_t{0});
  for (const std::vector<repeated_row>& rows : repeated) {
    for (const repeated_row& row : rows) ids[row.first] = row.second;
  }
  return false;
}

// How many partitions an index of rows rows takes: one a thread where its
// tables stay in the cache together, otherwise as many as keep each
// partition's table in a quarter of a processor's own cache, so that the
// rows that build or probe it and their row numbers fit beside it. Only
// packed keys, and the kept texts of a small side, are cut so: a probe of
// other keys compares the texts of both rows, and reads its own row's again
// where its batch would have had it.
std::size_t partition_count(std::size_t rows, bool pack, bool keep, const work_split& split) {
  const std::size_t bytes = 2 * rows * (pack ? 16 : 8);
  const std::size_t cached = std::max<std::size_t>(1, threads_for(rows, split));
  if (bytes <= split.cache_bytes || !(pack || keep)) return cached;
  const std::size_t part = std::max<std::size_t>(1, split.cache_bytes / 4);
  return std::min(std::max(cached, (bytes + part - 1) / part), std::max<std::size_t>(rows, cached));
}

// The rows that the table of an index of rows rows, in one partition, is made for: up to four
// times as many, while the table stays within half of a processor's cache. In so sparse a
// table most probes meet their key, or an empty slot, at the first slot they read, and the loop
// that walks on from a slot that is neither is seldom taken, nor mispredicted (W3: 4 to 9% less
// time). A table of more slots reads a line of memory more often, but one that the cache still
// holds; the loop's mispredictions cost more (W2's 10k keys: 4% less time at half the cache than
// at an eighth of it).
std::size_t sparse_rows(std::size_t rows, bool pack, const work_split& split) {
  const std::size_t slot_bytes = pack ? 16 : 8;
  for (std::size_t times = 4; times > 1; times /= 2) {
    if (row_slot_count(times * rows) * slot_bytes <= split.cache_bytes / 2) return times * rows;
  }
  return rows;
}

// A partition of the index as a probe reads it.
using partition_view = partition_table;

const std::vector<partition_view>& partition_views(const key_index& index) {
  return index.tables;
}

const partition_view& partition_for(const std::vector<partition_view>& views, std::uint64_t hash) {
  return views.size() == 1 ? views.front() : views[partition_of(hash, views.size())];
}

// The indexed row that the first slot for hash names, when the slot's half
// of the hash agrees, or no_row: the row whose key a probe compares first.
std::uint32_t candidate(const partition_view& table, std::uint64_t hash) {
  if (table.words != nullptr) return no_row;
  const std::uint64_t slot = table.slots[hash & table.mask];
  if (slot_is_empty(slot) || (slot >> 32) != (hash >> 32)) return no_row;
  return slot_row(slot);
}

// Asks for the slots that the hashes of batch pick, and for the words beside
// them; or, where there are neither words nor kept texts, for the indexed
// rows that those slots name: their values first, then their texts.
void prefetch_slots(std::string_view text, const std::vector<column_view>& indexed,
                    const key_index& index, const std::vector<partition_view>& views,
                    const hashed_batch& batch) {
  std::uint32_t candidates[hash_batch_rows];
  for (std::size_t i = 0; i < batch.size; ++i) {
    const partition_view& table = partition_for(views, batch.hashes[i]);
    prefetch(table.slots + (batch.hashes[i] & table.mask));
    if (table.words != nullptr) prefetch(table.words + (batch.hashes[i] & table.mask));
  }
  if (!index.texts.empty()) return;
  for (std::size_t i = 0; i < batch.size; ++i) {
    candidates[i] = candidate(partition_for(views, batch.hashes[i]), batch.hashes[i]);
    if (candidates[i] != no_row) prefetch_values(indexed, candidates[i], candidates[i] + 1);
  }
  for (std::size_t i = 0; i < batch.size; ++i) {
    if (candidates[i] != no_row) prefetch_texts(text, indexed, candidates[i], candidates[i] + 1);
  }
}

// The indexed row in table that has the key of hash h whose packed word is
// word, where the table's keys are packed (a key too long for a word, of
// unpacked_word, is the key of no indexed row), or for which same(row) holds;
// or no_row.
template <typename Same>
std::uint32_t find_key(const partition_view& table, std::uint64_t h, std::uint64_t word,
                       Same&& same) {
  std::size_t at = h & table.mask;
  if (table.words != nullptr) {
    if (word == unpacked_word) return no_row;
    for (; !slot_is_empty(table.slots[at]) && table.words[at] != word; at = (at + 1) & table.mask) {
    }
  } else {
    at = find_row(table.slots, table.mask, h, same);
  }
  return slot_is_empty(table.slots[at]) ? no_row : slot_row(table.slots[at]);
}

// The indexed row that has the key own of hash h, or no_row.
std::uint32_t probe_row(std::string_view text, const std::vector<column_view>& indexed,
                        const key_index& index, const partition_view& table,
                        const std::string_view* own, std::uint64_t h) {
  const std::uint64_t word = table.words != nullptr ? key_word(*own) : unpacked_word;
  return find_key(table, h, word,
                  [&](std::size_t other) { return same_key(text, indexed, index, other, own); });
}

// probe_piece for a key of one column, read in its table's order, and an index that keeps the
// texts of its keys: what a row reads then comes in the order of memory or is in the cache
// already, and a plain loop over the rows takes less time than the batches, which hash a batch
// and ask for its slots and keys before they compare any (W2 6 to 10% less time, W3 3 to 10%).
void probe_in_order(std::string_view text, const key_index& index, const column_view& column,
                    std::size_t begin, std::size_t end, row_numbers& ids) {
  const std::vector<partition_view>& views = partition_views(index);
  for (std::size_t row = begin; row < end; ++row) {
    const std::string_view own = text_at(text, column, row);
    const std::uint64_t h = hash_one_column(own);
    const partition_view& table = partition_for(views, h);
    const std::size_t at = find_row(table.slots, table.mask, h, [&](std::size_t other) {
      return same_text(index.texts[other], own);
    });
    ids[row] = slot_is_empty(table.slots[at]) ? no_row : slot_row(table.slots[at]);
  }
}

// Names the keys of rows [begin, end) of the probing side in ids.
void probe_piece(std::string_view text, const std::vector<column_view>& indexed,
                 const key_index& index, const std::vector<column_view>& key, std::size_t begin,
                 std::size_t end, row_numbers& ids) {
  // Kept texts are those of keys that all fit in the cache, and never packed.
  if (!index.texts.empty() && key.size() == 1 && key.front().rows == nullptr) {
    return probe_in_order(text, index, key.front(), begin, end, ids);
  }
  const std::vector<partition_view> views = partition_views(index);
  const row_run run{nullptr, begin, end - begin};
  hashed_batch batch;
  for (std::size_t first = 0; first < run.count; first += hash_batch_rows) {
    // A batch's rows are hashed, then their slots read, then the keys those
    // slots name are asked for, before any key is compared.
    hash_batch(text, key, run, first, batch);
    prefetch_slots(text, indexed, index, views, batch);
    for (std::size_t i = 0; i < batch.size; ++i) {
      const std::uint64_t h = batch.hashes[i];
      const std::string_view* own = batch.keys.data() + i * key.size();
      ids[begin + first + i] = probe_row(text, indexed, index, partition_for(views, h), own, h);
    }
  }
}

// probe_keys for an index too large for the cache: the probing rows are cut
// into the index's partitions first, and each partition's table is probed
// by all of its rows at once, while it is in the cache.
void probe_by_partition(std::string_view text, const std::vector<column_view>& indexed,
                        const key_index& index, const key_side& probing, row_numbers& ids,
                        const step_count& counted, const work_split& split) {
  const std::vector<partition_view> views = partition_views(index);
  const bool pack = std::any_of(views.begin(), views.end(),
                                [](const partition_view& v) { return v.words != nullptr; });
  const partitioned_rows sorted =
      partition_rows(text, probing.key, probing.rows, {views.size(), true, pack}, split);
  ids.resize(probing.rows);
  run_pieces(split.threads, views.size(), [&](std::size_t p, std::size_t thread) {
    if (thread == 0) counted(probing.rows * p / views.size());
    const partition_view& table = views[p];
    for (std::size_t k = 0; k < piece_total(sorted); ++k) {
      const partition_part part = piece_part(sorted, k, p);
      const std::size_t end = part.first + part.count;
      for (std::size_t i = part.first; i < end; ++i) {
        if (i + gather_ahead < end)
          prefetch(table.slots + (sorted.hashes[i + gather_ahead] & table.mask));
        const std::uint64_t word = pack ? sorted.words[i] : unpacked_word;
        const std::uint32_t row = sorted.order[i];
        ids[row] = find_key(table, sorted.hashes[i], word, [&](std::size_t other) {
          return same_values(text, indexed, other, probing.key, row);
        });
      }
    }
  });
}

}  // namespace

bool index_keys(std::string_view text, const std::vector<column_view>& key, std::size_t rows,
                key_index& index, row_numbers& ids, const step_count& counted,
                const work_split& split) {
  const bool keep = rows * key.size() <= kept_key_texts;
  const bool pack = !keep && key.size() == 1 && rows <= packed_rows;
  const std::size_t partitions = partition_count(rows, pack, keep, split);
  if (keep) index.texts.resize(rows * key.size());
  index.probe_by_partition = partitions > std::max<std::size_t>(1, threads_for(rows, split));
  counted(0);
  if (partitions > 1) {
    // The hashes of a large side that is cut a partition a thread would take
    // more memory than hashing its rows again takes time.
    const partition_plan plan{partitions, rows <= packed_rows, pack};
    const partitioned_rows sorted = partition_rows(text, key, rows, plan, split);
    return build_partitions(text, key, sorted, index, ids, counted, split);
  }
  lay_out_tables(index, {sparse_rows(rows, pack, split)}, pack);
  entering at{0, pack};
  const bool repeats = enter_run(text, key, {nullptr, 0, rows}, index, at);
  end_partition(index, at);
  if (!repeats) return true;
  // Each key's slot names its first row, which a probe of the side finds.
  probe_keys(text, key, index, {key, rows}, ids, counted, split);
  return false;
}

void probe_keys(std::string_view text, const std::vector<column_view>& indexed,
                const key_index& index, const key_side& probing, row_numbers& ids,
                const step_count& counted, const work_split& split) {
  if (index.probe_by_partition) {
    return probe_by_partition(text, indexed, index, probing, ids, counted, split);
  }
  const std::size_t rows = probing.rows;
  ids.resize(rows);
  run_pieces(split.threads, piece_count(rows, split.piece_rows),
             [&](std::size_t k, std::size_t thread) {
               const std::size_t begin = k * split.piece_rows;
               if (thread == 0) counted(begin);
               const std::size_t end = std::min(rows, begin + split.piece_rows);
               probe_piece(text, indexed, index, probing.key, begin, end, ids);
               give_back_rows(text, probing.key.front(), begin, end, split);
             });
}

void probe_running_keys(std::string_view text, const std::vector<column_view>& indexed,
                        const key_index& index, const key_side& running, row_numbers& ids,
                        const step_count& counted, const work_split& split) {
  const std::vector<column_view>& key = running.key;
  const std::size_t rows = running.rows;
  const column_view& first = key.front();
  const std::size_t table_rows = first.table->values.size() / first.stride;
  const bool one_table = std::all_of(key.begin(), key.end(),
                                     [&](const column_view& c) { return same_rows(c, first); });
  if (first.rows == nullptr || !one_table || 2 * rows < table_rows) {
    probe_keys(text, indexed, index, running, ids, counted, split);
    return;
  }
  std::vector<column_view> in_order = key;
  for (column_view& column : in_order) column.rows = nullptr;
  row_numbers table_ids;
  probe_keys(text, indexed, index, {in_order, table_rows}, table_ids, counted, split);
  ids.resize(rows);
  run_pieces(split.threads, piece_count(rows, split.piece_rows), [&](std::size_t k, std::size_t) {
    const std::size_t end = std::min(rows, (k + 1) * split.piece_rows);
    for (std::size_t s = k * split.piece_rows; s < end; ++s) {
      if (s + gather_ahead < end) prefetch(table_ids.data() + first.rows[s + gather_ahead]);
      ids[s] = table_ids[first.rows[s]];
    }
  });
}

}  // namespace natjoin
