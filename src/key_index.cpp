#include "key_index.h"

#include <algorithm>
#include <cstring>

namespace {

// Rows are hashed a block at a time, so that what a block needs next is on
// its way while the block before it is worked on.
constexpr std::size_t block_rows = 64;

// The longest key that a packed word holds, with its length.
constexpr std::size_t packed_bytes = 7;

// The packed words double the memory of the slots; an indexed side of more
// rows than this, already large beside the input, does without them.
constexpr std::size_t packed_rows = std::size_t{1} << 22;

// An indexed side of at most this many key values keeps their texts, which
// then stay in the cache for the rows that look them up.
constexpr std::size_t kept_key_texts = std::size_t{1} << 16;

// The hashes and key texts of one block of rows.
struct hashed_block {
  std::uint64_t hashes[block_rows];
  std::vector<std::string_view> keys;  // a row's key columns one after another
};

// Asks for what the blocks after [begin, end) will read. Columns read in the
// order of their table's rows the processor fetches ahead by itself; the
// first block asks for itself as well.
void prefetch_ahead(std::string_view text, const std::vector<column_view>& columns,
                    std::size_t begin, std::size_t end, std::size_t rows) {
  if (columns.front().rows == nullptr) return;
  if (begin == 0) {
    prefetch_values(columns, 0, std::min(end + block_rows, rows));
    prefetch_texts(text, columns, 0, std::min(end, rows));
  }
  prefetch_values(columns, std::min(end + block_rows, rows), std::min(end + 2 * block_rows, rows));
  prefetch_texts(text, columns, std::min(end, rows), std::min(end + block_rows, rows));
}

// Hashes rows [begin, end) of columns into block, and asks for their slots
// (and their packed words, where words is given) and for what the next
// blocks will read.
void hash_block(std::string_view text, const std::vector<column_view>& columns, std::size_t begin,
                std::size_t end, std::size_t rows, const row_slots& slots, hashed_block& block,
                const std::uint64_t* words = nullptr) {
  prefetch_ahead(text, columns, begin, end, rows);
  block.keys.resize(block_rows * columns.size());
  std::string_view* keys = block.keys.data();
  for (std::size_t row = begin; row < end; ++row) {
    std::uint64_t h = 0;
    for (const column_view& column : columns) {
      *keys = text_at(text, column, row);
      h = add_hash(h, hash_bytes(*keys++));
    }
    block.hashes[row - begin] = h;
    prefetch_slot(slots, h);
    if (words != nullptr) prefetch(words + first_slot(slots, h));
  }
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
// key. The indexed side's key texts are taken from kept where it has them.
bool same_key(std::string_view text, const std::vector<column_view>& indexed, const kept_keys& kept,
              std::size_t row, const std::string_view* key) {
  const std::size_t columns = indexed.size();
  for (std::size_t c = 0; c < columns; ++c) {
    const std::string_view other =
        kept.texts.empty() ? text_at(text, indexed[c], row) : kept.texts[row * columns + c];
    if (!same_text(other, key[c])) return false;
  }
  return true;
}

// The slot of the packed key word with this hash, or the empty slot where
// it belongs.
std::size_t find_packed(const row_slots& slots, const kept_keys& kept, std::uint64_t hash,
                        std::uint64_t word) {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t at = first_slot(slots, hash);; at = (at + 1) & mask) {
    if (slot_is_empty(slots[at]) || kept.words[at] == word) return at;
  }
}

// Enters the key of row of the indexed side, whose texts are own and hash h,
// and returns the row that names it. A key too long for a word ends the
// packing: the keys packed so far compare as well as their rows would.
std::uint32_t index_row(std::string_view text, const std::vector<column_view>& key, std::size_t row,
                        const std::string_view* own, std::uint64_t h, row_slots& slots,
                        kept_keys& kept, bool& pack) {
  if (pack && own->size() > packed_bytes) pack = false;
  const std::uint64_t word = pack ? pack_key(*own) : 0;
  const std::size_t at =
      pack ? find_packed(slots, kept, h, word) : find_row(slots, h, [&](std::size_t other) {
        return same_key(text, key, kept, other, own);
      });
  if (slot_is_empty(slots[at])) {
    put_row(slots, at, h, row);
    if (pack) kept.words[at] = word;
  }
  return slot_row(slots[at]);
}

// The indexed row that the first slot for hash names, when the slot's half
// of the hash agrees, or no_row: the row whose key a probe compares first.
std::uint32_t candidate(const row_slots& slots, std::uint64_t hash) {
  const std::uint64_t slot = slots[first_slot(slots, hash)];
  if (slot_is_empty(slot) || (slot >> 32) != (hash >> 32)) return no_row;
  return slot_row(slot);
}

// Asks for the indexed rows that the first slots of the count hashes of
// block name: their values first, then their texts.
void prefetch_candidates(std::string_view text, const std::vector<column_view>& indexed,
                         const row_slots& slots, const hashed_block& block, std::size_t count) {
  std::uint32_t candidates[block_rows];
  for (std::size_t i = 0; i < count; ++i) {
    candidates[i] = candidate(slots, block.hashes[i]);
    if (candidates[i] != no_row) prefetch_values(indexed, candidates[i], candidates[i] + 1);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (candidates[i] != no_row) prefetch_texts(text, indexed, candidates[i], candidates[i] + 1);
  }
}

// The indexed row that has the key own of hash h, or no_row.
std::uint32_t probe_row(std::string_view text, const std::vector<column_view>& indexed,
                        const kept_keys& kept, const row_slots& slots, const std::string_view* own,
                        std::uint64_t h) {
  std::size_t at;
  if (!kept.words.empty()) {
    // A key too long for a word is the key of no indexed row.
    if (own->size() > packed_bytes) return no_row;
    at = find_packed(slots, kept, h, pack_key(*own));
  } else {
    at = find_row(slots, h,
                  [&](std::size_t other) { return same_key(text, indexed, kept, other, own); });
  }
  return slot_is_empty(slots[at]) ? no_row : slot_row(slots[at]);
}

}  // namespace

void index_keys(std::string_view text, const std::vector<column_view>& key, std::size_t rows,
                row_slots& slots, row_numbers& ids, kept_keys& kept, const step_count& counted) {
  ids.resize(rows);
  const bool keep = rows * key.size() <= kept_key_texts;
  bool pack = !keep && key.size() == 1 && rows <= packed_rows;
  if (pack) kept.words.resize(slots.size());
  hashed_block block;
  for (std::size_t begin = 0; begin < rows; begin += block_rows) {
    const std::size_t end = std::min(begin + block_rows, rows);
    if (begin % report_every == 0) counted(begin);
    hash_block(text, key, begin, end, rows, slots, block);
    for (std::size_t row = begin; row < end; ++row) {
      const std::string_view* own = block.keys.data() + (row - begin) * key.size();
      ids[row] = index_row(text, key, row, own, block.hashes[row - begin], slots, kept, pack);
      if (keep) kept.texts.insert(kept.texts.end(), own, own + key.size());
    }
  }
  if (!pack) block_vector<std::uint64_t>().swap(kept.words);
}

void probe_keys(std::string_view text, const std::vector<column_view>& indexed,
                const kept_keys& kept, const std::vector<column_view>& key, std::size_t rows,
                const row_slots& slots, row_numbers& ids, const step_count& counted) {
  const bool packed = !kept.words.empty();
  ids.resize(rows);
  hashed_block block;
  for (std::size_t begin = 0; begin < rows; begin += block_rows) {
    const std::size_t end = std::min(begin + block_rows, rows);
    if (begin % report_every == 0) counted(begin);
    // A block's rows are hashed, then their slots read, then the keys those
    // slots name are asked for, before any key is compared.
    hash_block(text, key, begin, end, rows, slots, block, packed ? kept.words.data() : nullptr);
    if (kept.texts.empty() && !packed) {
      prefetch_candidates(text, indexed, slots, block, end - begin);
    }
    for (std::size_t row = begin; row < end; ++row) {
      const std::string_view* own = block.keys.data() + (row - begin) * key.size();
      ids[row] = probe_row(text, indexed, kept, slots, own, block.hashes[row - begin]);
    }
  }
}

void probe_running_keys(std::string_view text, const std::vector<column_view>& indexed,
                        const kept_keys& kept, const std::vector<column_view>& key,
                        std::size_t rows, const row_slots& slots, row_numbers& ids,
                        const step_count& counted) {
  const column_view& first = key.front();
  const std::size_t table_rows = first.table->values.size() / first.stride;
  const bool one_table = std::all_of(key.begin(), key.end(), [&](const column_view& c) {
    return c.table == first.table && c.rows == first.rows;
  });
  if (first.rows == nullptr || !one_table || 2 * rows < table_rows) {
    probe_keys(text, indexed, kept, key, rows, slots, ids, counted);
    return;
  }
  std::vector<column_view> in_order = key;
  for (column_view& column : in_order) column.rows = nullptr;
  row_numbers table_ids;
  probe_keys(text, indexed, kept, in_order, table_rows, slots, table_ids, counted);
  ids.resize(rows);
  for (std::size_t s = 0; s < rows; ++s) {
    if (s + lookahead < rows) prefetch(table_ids.data() + first.rows[s + lookahead]);
    ids[s] = table_ids[first.rows[s]];
  }
}
