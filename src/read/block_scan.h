// natjoin: the table blocks of the input, scanned once on the calling thread and their rows then
// read in pieces on the threads of the run. The scan reads each declaration line and cuts the
// rows below it into pieces; each piece is read into the rows of its table that are its own, so
// the values stand in the order of the text however many threads read them.
#ifndef NATJOIN_READ_BLOCK_SCAN_H_
#define NATJOIN_READ_BLOCK_SCAN_H_

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/pieces.h"
#include "base/progress.h"
#include "f1.h"
#include "read/stored_values.h"

namespace natjoin {

// The table catalogue that the reader fills.
struct catalogue {
  table_data_map& table_data;
  column_types_map& column_types;
  column_names_map& column_names;
};

// Where the rows of a declared table go: the columns of its first
// declaration, its values, the rows that its blocks have so far, and the
// line of its first declaration.
struct table_entry {
  std::string name;
  const std::vector<int>* codes = nullptr;
  const std::vector<std::string>* names = nullptr;
  table_values* values = nullptr;
  std::size_t rows = 0;
  std::size_t line = 0;
};

// A run of data rows of one block, which one thread reads: where its first
// line starts, how many lines it has, the line number of the first, its
// table, and the row of the table that its first line becomes.
struct row_piece {
  std::size_t begin;
  std::size_t rows;
  std::size_t first_line;
  table_entry* table;
  std::size_t first_row;
};

// A failure of the reader: the line, or none, the column of its byte to blame, or none (0), and
// why.
struct read_failure {
  std::size_t line = static_cast<std::size_t>(-1);
  std::size_t column = 0;
  std::string reason;
};

// What the scan of the blocks finds: the tables, each once however many
// blocks it has, and the pieces of their rows, in the order of the text.
struct block_scan {
  std::map<std::string, table_entry> tables;
  std::vector<row_piece> pieces;
};

// Scans the blocks of text in order: reads each declaration line into tables, and cuts the rows
// below it into pieces of at most piece_rows rows. Stops at the first malformed declaration,
// which it records in failure (whose line stays the largest size where there is none).
void scan_blocks(std::string_view text, const catalogue& tables, std::size_t piece_rows,
                 block_scan& scan, read_failure& failure, const progress_report* progress);

// Reads the rows of every piece of scan, on up to split.threads threads, into the values of its
// table, which it first sizes for all their rows, giving back the text of each piece read; only
// the calling thread tells progress how far it has got. failures gets one entry a piece: the
// first malformed row of the piece, or none. Most rows are read in one pass (read_plain_row), the
// others through the row parser.
void read_row_pieces(std::string_view text, const block_scan& scan,
                     std::vector<read_failure>& failures, const progress_report* progress,
                     const work_split& split);

}  // namespace natjoin

#endif  // NATJOIN_READ_BLOCK_SCAN_H_
