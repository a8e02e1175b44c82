// The scan of the table blocks, and the reading of their rows in pieces on several threads.
#include "read/block_scan.h"

#include <algorithm>

#include "base/pieces.h"
#include "base/reasons.h"
#include "base/text.h"
#include "read/byte_scan.h"
#include "read/row_parser.h"

namespace natjoin {

namespace {

// Whether a line that begins with c could be blank, or the last one.
constexpr std::string_view may_be_blank = " \t\r\n";

// Passes the data rows of a block from at, the start of a line: the lines up
// to its first blank line, but no more than limit rows. Returns where the
// rows passed end, and counts them in rows. Most lines begin with a byte that
// is no blank and so are rows; only the others are read and trimmed.
std::size_t pass_rows(std::string_view text, std::size_t at, std::size_t limit, std::size_t& rows) {
  while (rows < limit && at < text.size()) {
    if (may_be_blank.find(text[at]) == std::string_view::npos) {
      at = skip_lines(text, at, may_be_blank, rows, limit);
      continue;
    }
    std::string_view rest = text.substr(at);
    std::string_view line;
    read_line(rest, line);
    if (trim(line).empty()) break;
    ++rows;
    at = text.size() - rest.size();
  }
  return at;
}

// Records in failure why the line line_number, whose text is line, was refused.
void record_failure(std::size_t line_number, std::string_view line, refusal& why,
                    read_failure& failure) {
  failure.line = line_number;
  failure.column = column_in(line, why.at);
  failure.reason = std::move(why.reason);
}

// Reads the declaration line line: enters the table into the catalogue,
// unless its name is taken, and returns where its rows go; null when the
// line is malformed.
table_entry* read_declaration(std::string_view line, std::size_t line_number,
                              const catalogue& tables, block_scan& scan, refusal* reason) {
  std::string name;
  std::vector<std::string> names;
  std::vector<int> codes;
  if (parse_declaration(line, name, names, codes, reason) != status_ok) return nullptr;
  tables.column_types.try_emplace(name, std::move(codes));
  tables.column_names.try_emplace(name, std::move(names));
  // Rows go to the table's first declaration, which a repeated name keeps.
  table_entry& table = scan.tables[name];
  if (table.values == nullptr) {
    table = {name,
             &tables.column_types.at(name),
             &tables.column_names.at(name),
             &tables.table_data[name],
             0,
             line_number};
  }
  return &table;
}

// Cuts the data rows of a block, from at on, into pieces of at most
// piece_rows rows; line_number is the line before at. Returns where the
// block's rows end.
std::size_t cut_block(std::string_view text, std::size_t at, std::size_t piece_rows,
                      table_entry& table, std::size_t& line_number, block_scan& scan) {
  for (;;) {
    std::size_t rows = 0;
    const std::size_t end = pass_rows(text, at, piece_rows, rows);
    if (rows == 0) return end;
    scan.pieces.push_back({at, rows, line_number + 1, &table, table.rows});
    table.rows += rows;
    line_number += rows;
    at = end;
    if (rows < piece_rows) return end;
  }
}

// Reads the rows of piece into values, working lists of the thread's own,
// emptied first: most rows in one pass, the others through the row parser.
// Returns 0, or 1 with failure filled.
int read_piece(std::string_view text, const row_piece& piece, table_values& values,
               read_failure& failure) {
  const table_entry& table = *piece.table;
  // Room for the whole piece at once: grown by doubling, the list would take fresh small pages
  // from malloc at every step, each a fault.
  values.values.clear();
  values.values.reserve(piece.rows * table.codes->size());
  std::size_t at = piece.begin;
  for (std::size_t i = 0; i < piece.rows; ++i) {
    const std::size_t next = read_plain_row(text, at, *table.codes, values);
    if (next != std::string_view::npos) {
      at = next;
      continue;
    }
    std::string_view rest = text.substr(at);
    std::string_view line;
    read_line(rest, line);
    at = text.size() - rest.size();
    refusal why;
    if (parse_row(text, trim(line), *table.codes, values, &why, table.names) != status_ok) {
      fail_within(&why, "row of table " + quote(table.name) + ": ");
      record_failure(piece.first_line + i, line, why, failure);
      return status_failed;
    }
  }
  return status_ok;
}

}  // namespace

void scan_blocks(std::string_view text, const catalogue& tables, std::size_t piece_rows,
                 block_scan& scan, read_failure& failure, const progress_report* progress) {
  std::size_t line_number = 1;  // the join statement's
  for (std::size_t at = 0; at < text.size();) {
    std::string_view rest = text.substr(at);
    std::string_view written;
    read_line(rest, written);
    ++line_number;
    at = text.size() - rest.size();
    const std::string_view line = trim(written);
    if (line.empty()) continue;
    refusal why;
    table_entry* table = read_declaration(line, line_number, tables, scan, &why);
    if (table == nullptr) {
      record_failure(line_number, written, why, failure);
      return;
    }
    const std::size_t before = line_number;
    at = cut_block(text, at, piece_rows, *table, line_number, scan);
    if (before / report_every != line_number / report_every) {
      report(progress, "reading", at, text.size(), "bytes");
    }
  }
}

void read_row_pieces(std::string_view text, const block_scan& scan,
                     std::vector<read_failure>& failures, const progress_report* progress,
                     const work_split& split) {
  for (const auto& [name, table] : scan.tables) {
    table.values->values.resize(table.rows * table.codes->size());
  }
  const std::vector<row_piece>& pieces = scan.pieces;
  failures.assign(pieces.size(), read_failure());
  // The long values of a piece are kept apart until every piece has been read, since the
  // pieces of one table end in any order.
  std::vector<std::vector<long_value>> long_values(pieces.size());
  // Pieces of fewer rows in all than one piece holds are read on the calling thread alone,
  // however many tables they are cut from.
  std::size_t rows = 0;
  for (const row_piece& piece : pieces) rows += piece.rows;
  const std::size_t threads = threads_for(rows, split);
  std::vector<cache_aligned<table_values>> working(threads);
  std::vector<char> commas(pieces.size(), 0);
  run_pieces(threads, pieces.size(), [&](std::size_t p, std::size_t thread) {
    const row_piece& piece = pieces[p];
    if (thread == 0 &&
        piece.first_line / report_every != (piece.first_line + piece.rows) / report_every) {
      report(progress, "reading", piece.begin, text.size(), "bytes");
    }
    table_values& values = working[thread].value;
    if (read_piece(text, piece, values, failures[p]) != status_ok) return;
    give_back(
        split, text.data() + piece.begin,
        p + 1 < pieces.size() ? text.data() + pieces[p + 1].begin : text.data() + text.size());
    const std::size_t width = piece.table->codes->size();
    std::copy(values.values.begin(), values.values.end(),
              piece.table->values->values.begin() + piece.first_row * width);
    long_values[p].swap(values.long_values);
    values.long_values.clear();
    commas[p] = values.holds_commas;
    values.holds_commas = false;
  });
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    table_values& table = *pieces[p].table->values;
    table.long_values.insert(table.long_values.end(), long_values[p].begin(), long_values[p].end());
    table.holds_commas = table.holds_commas || commas[p] != 0;
  }
}

}  // namespace natjoin
