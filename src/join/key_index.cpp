#include "join/key_index.h"

#include <algorithm>
#include <cstring>

namespace natjoin {

namespace {

// The longest key that a packed word holds, with its length.
constexpr std::size_t packed_bytes = 7;

// The packed words double the memory of the slots; an indexed side of more
// rows than this, already large beside the input, does without them.
constexpr std::size_t packed_rows = std::size_t{1} << 22;

// An indexed side of at most this many key values keeps their texts.
constexpr std::size_t kept_key_texts = std::size_t{1} << 16;

// Some rows of one side: list[0, count), or rows [begin, begin + count)
// where list is null.
struct row_run {
  const std::uint32_t* list;
  std::size_t begin;
  std::size_t count;
};

std::size_t row_at(const row_run& run, std::size_t i) {
  return run.list != nullptr ? run.list[i] : run.begin + i;
}

// The hashes and key texts of one batch of rows of a run: size rows.
struct hashed_batch {
  std::size_t size = 0;
  std::uint64_t hashes[hash_batch_rows];
  std::vector<std::string_view> keys;  // a row's key columns one after another
};

// Asks for the values (texts) of rows [from, to) of run.
void prefetch_values(const std::vector<column_view>& columns, const row_run& run, std::size_t from,
                     std::size_t to) {
  to = std::min(to, run.count);
  if (run.list == nullptr) return prefetch_values(columns, run.begin + from, run.begin + to);
  for (std::size_t i = from; i < to; ++i) prefetch_values(columns, run.list[i], run.list[i] + 1);
}
void prefetch_texts(std::string_view text, const std::vector<column_view>& columns,
                    const row_run& run, std::size_t from, std::size_t to) {
  to = std::min(to, run.count);
  if (run.list == nullptr) return prefetch_texts(text, columns, run.begin + from, run.begin + to);
  for (std::size_t i = from; i < to; ++i) {
    prefetch_texts(text, columns, run.list[i], run.list[i] + 1);
  }
}

// Asks for what the batches after the one from first on will read: values two
// batches ahead, texts one. The first batch asks for itself as well. Columns
// read in the order of their table's rows the processor fetches ahead by
// itself.
void prefetch_ahead(std::string_view text, const std::vector<column_view>& columns,
                    const row_run& run, std::size_t first) {
  if (run.list == nullptr && columns.front().rows == nullptr) return;
  const std::size_t next = first + hash_batch_rows;
  if (first == 0) {
    prefetch_values(columns, run, 0, next + hash_batch_rows);
    prefetch_texts(text, columns, run, 0, next);
  }
  prefetch_values(columns, run, next + hash_batch_rows, next + 2 * hash_batch_rows);
  prefetch_texts(text, columns, run, next, next + hash_batch_rows);
}

// The hash of the key of row, in the columns [column, end), whose texts go
// to keys.
[[gnu::always_inline]] inline std::uint64_t hash_key(std::string_view text,
                                                     const column_view* column,
                                                     const column_view* end, std::size_t row,
                                                     std::string_view* keys) {
  std::uint64_t h = 0;
  for (; column != end; ++column) {
    *keys = text_at(text, *column, row);
    h = add_hash(h, hash_bytes(*keys++));
  }
  return h;
}

// Hashes the batch of rows of run from first on into batch, asking for the
// batches after it ahead.
void hash_batch(std::string_view text, const std::vector<column_view>& columns, const row_run& run,
                std::size_t first, hashed_batch& batch) {
  const std::size_t size = std::min(hash_batch_rows, run.count - first);
  const std::size_t width = columns.size();
  const column_view* begin = columns.data();
  const column_view* end = begin + width;
  batch.size = size;
  prefetch_ahead(text, columns, run, first);
  batch.keys.resize(hash_batch_rows * width);
  std::string_view* keys = batch.keys.data();
  std::uint64_t* hashes = batch.hashes;
  if (run.list == nullptr) {
    const std::size_t row = run.begin + first;
    for (std::size_t i = 0; i < size; ++i)
      hashes[i] = hash_key(text, begin, end, row + i, keys + i * width);
    return;
  }
  const std::uint32_t* rows = run.list + first;
  for (std::size_t i = 0; i < size; ++i)
    hashes[i] = hash_key(text, begin, end, rows[i], keys + i * width);
}

std::uint64_t pack_key(std::string_view key) {
  unsigned char bytes[8] = {};
  for (std::size_t i = 0; i < key.size(); ++i) bytes[i] = static_cast<unsigned char>(key[i]);
  bytes[7] = static_cast<unsigned char>(key.size());
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  return word;
}

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

// The slot of the packed key word with this hash, or the empty slot where
// it belongs.
std::size_t find_packed(const row_slots& slots, const region_vector<std::uint64_t>& words,
                        std::uint64_t hash, std::uint64_t word) {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t at = first_slot(slots, hash);; at = (at + 1) & mask) {
    if (slot_is_empty(slots[at]) || words[at] == word) return at;
  }
}

// Where a partition's keys are being entered: the partition, and whether its
// keys are still packed.
struct entering {
  std::size_t partition;
  bool pack;
};

// Enters row, whose key texts are own and whose hash is h, into its
// partition; returns whether its key was there already. A key too long for
// a word ends the packing: the keys packed so far compare as well as their
// rows would.
bool enter_row(std::string_view text, const std::vector<column_view>& key, std::size_t row,
               const std::string_view* own, std::uint64_t h, key_index& index, entering& at) {
  row_slots& slots = index.slots[at.partition];
  region_vector<std::uint64_t>& words = index.words[at.partition];
  if (at.pack && own->size() > packed_bytes) at.pack = false;
  const std::uint64_t word = at.pack ? pack_key(*own) : 0;
  const std::size_t slot =
      at.pack ? find_packed(slots, words, h, word) : find_row(slots, h, [&](std::size_t other) {
        return same_key(text, key, index, other, own);
      });
  if (!slot_is_empty(slots[slot])) return true;
  put_row(slots, slot, h, row);
  if (at.pack) words[slot] = word;
  return false;
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
      prefetch_slot(index.slots[at.partition], batch.hashes[i]);
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

// Makes the table of partition p for rows rows, with packed words where its
// keys may be packed.
entering start_partition(key_index& index, std::size_t p, std::size_t rows, bool pack) {
  index.slots[p] = make_row_slots(rows);
  if (pack) index.words[p].resize(index.slots[p].size());
  return {p, pack};
}

void end_partition(key_index& index, const entering& at) {
  if (!at.pack) region_vector<std::uint64_t>().swap(index.words[at.partition]);
}

// The rows of the indexed side, cut into pieces of piece_rows rows and
// sorted within each piece by their partition, keeping their order:
// piece k's rows are order[k * piece_rows, ...), those of partition p from
// starts[k * (partitions + 1) + p] on within them.
struct partitioned_rows {
  std::size_t piece_rows;
  std::size_t partitions;
  row_numbers order;
  std::vector<std::uint32_t> starts;
};

// Sorts the rows [begin, end) of piece k into rows.order by partition.
void sort_piece(std::string_view text, const std::vector<column_view>& key, std::size_t k,
                std::size_t begin, std::size_t end, partitioned_rows& rows) {
  const row_run run{nullptr, begin, end - begin};
  std::vector<std::uint32_t> partition(run.count);
  std::uint32_t* starts = rows.starts.data() + k * (rows.partitions + 1);
  hashed_batch batch;
  for (std::size_t first = 0; first < run.count; first += hash_batch_rows) {
    hash_batch(text, key, run, first, batch);
    for (std::size_t i = 0; i < batch.size; ++i) {
      partition[first + i] =
          static_cast<std::uint32_t>(partition_of(batch.hashes[i], rows.partitions));
      ++starts[partition[first + i] + 1];
    }
  }
  for (std::size_t p = 0; p < rows.partitions; ++p) starts[p + 1] += starts[p];
  std::vector<std::uint32_t> fill(starts, starts + rows.partitions);
  for (std::size_t i = 0; i < run.count; ++i) {
    rows.order[begin + fill[partition[i]]++] = static_cast<std::uint32_t>(begin + i);
  }
}

partitioned_rows partition_rows(std::string_view text, const std::vector<column_view>& key,
                                std::size_t rows, const work_split& split) {
  partitioned_rows sorted{split.piece_rows, split.threads, {}, {}};
  const std::size_t pieces = piece_count(rows, split.piece_rows);
  sorted.order.resize(rows);
  sorted.starts.assign(pieces * (sorted.partitions + 1), 0);
  run_pieces(split.threads, pieces, [&](std::size_t k, std::size_t) {
    const std::size_t begin = k * split.piece_rows;
    sort_piece(text, key, k, begin, std::min(rows, begin + split.piece_rows), sorted);
  });
  return sorted;
}

// The rows of partition p in piece k.
row_run piece_part(const partitioned_rows& sorted, std::size_t k, std::size_t p) {
  const std::uint32_t* starts = sorted.starts.data() + k * (sorted.partitions + 1);
  return {sorted.order.data() + k * sorted.piece_rows + starts[p], 0, starts[p + 1] - starts[p]};
}

// Builds every partition, each on one thread, entering its rows piece by
// piece. Returns whether a key came twice.
bool build_partitions(std::string_view text, const std::vector<column_view>& key,
                      const partitioned_rows& sorted, key_index& index, bool pack,
                      const work_split& split) {
  const std::size_t pieces = sorted.starts.size() / (sorted.partitions + 1);
  std::vector<char> repeats(sorted.partitions, 0);
  run_pieces(split.threads, sorted.partitions, [&](std::size_t p, std::size_t) {
    std::size_t rows = 0;
    for (std::size_t k = 0; k < pieces; ++k) rows += piece_part(sorted, k, p).count;
    entering at = start_partition(index, p, rows, pack);
    for (std::size_t k = 0; k < pieces; ++k) {
      repeats[p] = enter_run(text, key, piece_part(sorted, k, p), index, at) || repeats[p];
    }
    end_partition(index, at);
  });
  return std::find(repeats.begin(), repeats.end(), 1) != repeats.end();
}

// A partition of the index as a probe reads it.
struct partition_view {
  const std::uint64_t* slots;
  std::size_t mask;
  const std::uint64_t* words;  // null where its keys are not packed
};

std::vector<partition_view> partition_views(const key_index& index) {
  std::vector<partition_view> views;
  for (std::size_t p = 0; p < index.slots.size(); ++p) {
    views.push_back({index.slots[p].data(), index.slots[p].size() - 1,
                     index.words[p].empty() ? nullptr : index.words[p].data()});
  }
  return views;
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

// The indexed row that has the key own of hash h, or no_row.
std::uint32_t probe_row(std::string_view text, const std::vector<column_view>& indexed,
                        const key_index& index, const partition_view& table,
                        const std::string_view* own, std::uint64_t h) {
  std::size_t at = h & table.mask;
  if (table.words != nullptr) {
    // A key too long for a word is the key of no indexed row.
    if (own->size() > packed_bytes) return no_row;
    const std::uint64_t word = pack_key(*own);
    for (; !slot_is_empty(table.slots[at]) && table.words[at] != word; at = (at + 1) & table.mask) {
    }
  } else {
    at = find_row(table.slots, table.mask, h,
                  [&](std::size_t other) { return same_key(text, indexed, index, other, own); });
  }
  return slot_is_empty(table.slots[at]) ? no_row : slot_row(table.slots[at]);
}

// Names the keys of rows [begin, end) of the probing side in ids.
void probe_piece(std::string_view text, const std::vector<column_view>& indexed,
                 const key_index& index, const std::vector<column_view>& key, std::size_t begin,
                 std::size_t end, row_numbers& ids) {
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

}  // namespace

bool index_keys(std::string_view text, const std::vector<column_view>& key, std::size_t rows,
                key_index& index, row_numbers& ids, const step_count& counted,
                const work_split& split) {
  const bool keep = rows * key.size() <= kept_key_texts;
  const bool pack = !keep && key.size() == 1 && rows <= packed_rows;
  const std::size_t partitions = std::max<std::size_t>(1, threads_for(rows, split));
  if (keep) index.texts.resize(rows * key.size());
  index.slots.resize(partitions);
  index.words.resize(partitions);
  counted(0);
  bool repeats;
  if (partitions == 1) {
    entering at = start_partition(index, 0, rows, pack);
    repeats = enter_run(text, key, {nullptr, 0, rows}, index, at);
    end_partition(index, at);
  } else {
    repeats =
        build_partitions(text, key, partition_rows(text, key, rows, split), index, pack, split);
  }
  if (!repeats) return true;
  // Each key's slot names its first row, which a probe of the side finds.
  probe_keys(text, key, index, {key, rows}, ids, counted, split);
  return false;
}

void probe_keys(std::string_view text, const std::vector<column_view>& indexed,
                const key_index& index, const key_side& probing, row_numbers& ids,
                const step_count& counted, const work_split& split) {
  const std::size_t rows = probing.rows;
  ids.resize(rows);
  run_pieces(split.threads, piece_count(rows, split.piece_rows),
             [&](std::size_t k, std::size_t thread) {
               const std::size_t begin = k * split.piece_rows;
               if (thread == 0) counted(begin);
               probe_piece(text, indexed, index, probing.key, begin,
                           std::min(rows, begin + split.piece_rows), ids);
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
