// The natural join and the result writer: the worked examples, the failures,
// and the fast engine against the straightforward one on random inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "base/text.h"
#include "base/type_codes.h"
#include "f1.h"
#include "join/repeated_rows.h"
#include "reference.h"

using namespace natjoin;

namespace {

struct catalogue {
  std::string text;  // the table text that the values point into
  table_data_map data;
  column_types_map types;
  column_names_map names;
};

struct run_result {
  int status = 0;
  std::vector<std::string> columns;
  result_types_map types;
  result_data_map data;
};

// Reads the table blocks of text.
catalogue load(std::string_view text) {
  catalogue c;
  c.text = text;
  EXPECT_EQ(tabla_ertelmezo(c.text, c.data, c.types, c.names), 0) << text;
  return c;
}

run_result run_join(const catalogue& c, const std::vector<std::string>& tables,
                    const work_split& split = {}) {
  run_result r;
  r.status = join(c.text, tables, c.data, c.types, c.names, r.types, r.columns, r.data, nullptr,
                  nullptr, split);
  return r;
}

using rows = std::vector<std::vector<std::string>>;
using rows_type = rows;

// The rows of a result, as their values in result column order.
rows rows_of(const catalogue& c, const run_result& r) {
  return result_texts(c.text, r.columns, r.data);
}

constexpr std::string_view worked_tables =
    "A(x int, y int)\n1,10\n2,20\n3,10\n\n"
    "B(y int, z int)\n10,100\n20,200\n10,300\n\n"
    "C(x int, w int)\n3,8\n1,7\n\n"
    "D(v int)\n5\n6\n";

TEST(Join, FollowsTheRowsOfTheNewTableThenTheRunningOrder) {
  catalogue c = load(worked_tables);
  run_result ab = run_join(c, {"A", "B"});
  ASSERT_EQ(ab.status, 0);
  EXPECT_EQ(ab.columns, (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(ab.types, (result_types_map{{"x", -1}, {"y", -1}, {"z", -1}}));
  EXPECT_EQ(rows_of(c, ab), (rows{{"1", "10", "100"},
                                  {"3", "10", "100"},
                                  {"2", "20", "200"},
                                  {"1", "10", "300"},
                                  {"3", "10", "300"}}));

  run_result abc = run_join(c, {"A", "B", "C"});
  EXPECT_EQ(abc.columns, (std::vector<std::string>{"x", "y", "z", "w"}));
  EXPECT_EQ(rows_of(c, abc), (rows{{"3", "10", "100", "8"},
                                   {"3", "10", "300", "8"},
                                   {"1", "10", "100", "7"},
                                   {"1", "10", "300", "7"}}));

  run_result ad = run_join(c, {"A", "D"});
  EXPECT_EQ(rows_of(c, ad), (rows{{"1", "10", "5"},
                                  {"2", "20", "5"},
                                  {"3", "10", "5"},
                                  {"1", "10", "6"},
                                  {"2", "20", "6"},
                                  {"3", "10", "6"}}));

  run_result aba = run_join(c, {"A", "B", "A"});
  EXPECT_EQ(rows_of(c, aba), (rows{{"1", "10", "100"},
                                   {"1", "10", "300"},
                                   {"2", "20", "200"},
                                   {"3", "10", "100"},
                                   {"3", "10", "300"}}));
}

// The result holds each distinct row once, where it first occurs, whichever
// way the join came to know it: keys that vouch for the rows, a small table
// checked row by row, or a search of the result.
TEST(Join, GivesEachDistinctRowOnceWhereItFirstOccurs) {
  struct {
    std::string_view tables;
    std::vector<std::string> join;
    rows expected;
  } cases[] = {
      {"A(x int)\n1\n1\n", {"A", "A"}, {{"1"}}},
      {"A(x int)\n1\n1\n", {"A"}, {{"1"}}},
      {"A(x int)\n1\n2\n1\n", {"A"}, {{"1"}, {"2"}}},
      // Unique keys on both sides, one to one: nothing to search.
      {"A(k int, a char(1))\n1,'p'\n2,'q'\n\nB(k int, b int)\n2,7\n1,8\n",
       {"A", "B"},
       {{"2", "q", "7"}, {"1", "p", "8"}}},
      // A key that two rows share, and rows equal in every column.
      {"A(k int, a int)\n1,5\n1,5\n1,6\n\nB(k int)\n1\n1\n", {"A", "B"}, {{"1", "5"}, {"1", "6"}}},
      {"B(k int)\n1\n1\n\nA(k int, a int)\n1,5\n1,5\n1,6\n", {"B", "A"}, {{"1", "5"}, {"1", "6"}}},
      // A product of small tables, each checked row by row; one with a repeat.
      {"A(x int)\n1\n2\n\nB(y int)\n3\n4\n\nR(z int)\n5\n5\n",
       {"A", "B"},
       {{"1", "3"}, {"2", "3"}, {"1", "4"}, {"2", "4"}}},
      {"A(x int)\n1\n2\n\nR(z int)\n5\n5\n", {"A", "R"}, {{"1", "5"}, {"2", "5"}}},
      {"A(x int)\n1\n1\n\nB(y int)\n3\n4\n", {"A", "B"}, {{"1", "3"}, {"1", "4"}}},
      // Char values that hold commas: the texts are compared.
      {"T(a char(5), b char(5))\n'x,y','z'\n'x','y,z'\n'x,y','z'\n",
       {"T"},
       {{"x,y", "z"}, {"x", "y,z"}}},
      {"T(a char(5), b char(5))\n'x,y','z'\n\nU(b char(5), c int)\n'z',1\n'z',1\n",
       {"T", "U"},
       {{"x,y", "z", "1"}}},
  };
  for (const auto& c : cases) {
    catalogue t = load(c.tables);
    run_result r = run_join(t, c.join);
    ASSERT_EQ(r.status, 0) << c.tables;
    EXPECT_EQ(rows_of(t, r), c.expected) << c.tables;
  }
}

// A search by hash compares the values of rows whose hashes agree, and keeps
// the first row of each kind however the hashes fall: a hash for each kind,
// one hash for every row, kinds that share a hash, or hashes alike in the
// half that a slot keeps or in the half that picks it.
TEST(Join, KeepsTheFirstRowOfEachKindWhateverTheHashes) {
  const catalogue c = load("T(a int, b char(1))\n1,'x'\n2,'x'\n1,'x'\n1,'y'\n2,'x'\n1,'x'\n");
  const table_values& table = c.data.at("T");
  const std::vector<column_view> columns{{&table, 0, 2, nullptr, int_code},
                                         {&table, 1, 2, nullptr, 1}};
  constexpr std::uint64_t high = std::uint64_t{1} << 32;
  const struct {
    const char* name;
    std::vector<std::uint64_t> hashes;  // by row of T
    std::vector<std::uint32_t> rows;
    std::vector<std::uint32_t> kept;
  } cases[] = {
      {"a hash for each kind", {1, 2, 1, 3, 2, 1}, {0, 1, 2, 3, 4, 5}, {0, 1, 3}},
      {"one hash for every row", {7, 7, 7, 7, 7, 7}, {0, 1, 2, 3, 4, 5}, {0, 1, 3}},
      {"one hash, no repeat", {7, 7, 7, 7, 7, 7}, {0, 1, 3}, {0, 1, 3}},
      {"two kinds share a hash", {5, 5, 5, 9, 5, 5}, {0, 1, 2, 3, 4, 5}, {0, 1, 3}},
      {"rows out of table order", {1, 2, 1, 3, 2, 1}, {5, 4, 3, 2, 1, 0}, {5, 4, 3}},
      {"upper halves alike",
       {high + 1, high + 2, high + 1, high + 3, high + 2, high + 1},
       {3, 0, 1, 2, 4, 5},
       {3, 0, 1}},
      {"lower halves alike",
       {high + 4, 2 * high + 4, high + 4, 3 * high + 4, 2 * high + 4, high + 4},
       {0, 1, 2, 3, 4, 5},
       {0, 1, 3}},
  };
  for (const auto& t : cases) {
    region_vector<std::uint64_t> hashes(t.hashes.size());
    std::copy(t.hashes.begin(), t.hashes.end(), hashes.begin());
    std::vector<std::uint32_t> rows = t.rows;
    hash_search search;
    const std::size_t kept =
        keep_first_by_hash(c.text, columns, hashes, rows.data(), rows.size(), search);
    EXPECT_EQ(std::vector<std::uint32_t>(rows.begin(), rows.begin() + kept), t.kept) << t.name;
  }
}

constexpr std::size_t max_memory = static_cast<std::size_t>(-1);

// A large indexed side keeps its short keys packed beside its slots; the
// join must give the same rows as for any other key: with every key short,
// with a long key among the indexed ones, and with long keys probing; with
// the index in the partitions that the cache asks for, one a thread, or a
// partition for every few rows.
TEST(Join, MatchesKeysOfEveryLengthOnALargeIndex) {
  constexpr int rows = 70000;
  const work_split splits[] = {
      {}, {2, 1000, max_memory, std::size_t{64} << 20}, {1, 5000, max_memory, 4096}};
  for (const std::string& pad : {std::string(), std::string("12345678")}) {
    std::string tables = "A(k int, a int)\n";
    for (int i = 0; i < rows; ++i) {
      // The middle key of A is long when pad is given.
      tables += (i == rows / 2 ? pad : "") + std::to_string(i) + "," + std::to_string(i) + "\n";
    }
    tables += "\nB(k int, b int)\n";
    for (int i = rows; i-- > 0;) {
      // Every third key of B is long, and matches no row of A.
      tables += std::to_string(i % 3 == 0 ? i + 10000000 : i) + "," + std::to_string(-i) + "\n";
    }
    catalogue c = load(tables);
    rows_type expected;
    for (int i = rows; i-- > 0;) {
      if (i % 3 == 0 || (i == rows / 2 && !pad.empty())) continue;
      expected.push_back({std::to_string(i), std::to_string(i), std::to_string(-i)});
    }
    for (const work_split& split : splits) {
      run_result r = run_join(c, {"A", "B"}, split);
      ASSERT_EQ(r.status, 0);
      EXPECT_EQ(rows_of(c, r), expected)
          << "pad " << pad << ", " << split.threads << " threads, a cache of " << split.cache_bytes;
    }
  }
}

TEST(Join, GivesAllColumnsAndNoRowsForAnEmptyTable) {
  catalogue c = load("A(x int, y char(2))\n1,'a'\n\nE(y char(2), z int)\n");
  for (const auto& tables : {std::vector<std::string>{"A", "E"}, {"E", "A"}, {"E"}}) {
    run_result r = run_join(c, tables);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.columns.size(), tables.size() == 1 ? 2u : 3u);
    for (const auto& [name, column] : r.data) EXPECT_TRUE(column.rows->empty()) << name;
  }
}

TEST(Join, ComparesStoredValuesAsBytes) {
  catalogue c = load("A(k int, n char(3))\n007,'Abc'\n\nB(k int, n char(3))\n7,'abc'\n7,'Abc'\n");
  EXPECT_EQ(rows_of(c, run_join(c, {"A", "B"})), (rows{{"7", "Abc"}}));
}

TEST(Join, FailsOnAMissingTableOrADeclarationConflict) {
  catalogue c =
      load("A(x int)\n1\n\nI(x char(5))\n'a'\n\nJ(x char(6))\n'a'\n\nK(x char(5))\n'a'\n");
  EXPECT_EQ(run_join(c, {"M"}).status, 1);
  EXPECT_EQ(run_join(c, {"A", "M"}).status, 1);
  EXPECT_EQ(run_join(c, {""}).status, 1);
  EXPECT_EQ(run_join(c, {"A", "I"}).status, 2);
  EXPECT_EQ(run_join(c, {"I", "J"}).status, 2);
  EXPECT_EQ(run_join(c, {"I", "K"}).status, 0);
  // The steps run in statement order: the first fault met is the one reported.
  EXPECT_EQ(run_join(c, {"A", "M", "I"}).status, 1);
  EXPECT_EQ(run_join(c, {"A", "I", "M"}).status, 2);
  EXPECT_EQ(run_join(c, {"I", "K", "A", "M"}).status, 2);
}

TEST(Join, EmptiesTheResultContainersFirst) {
  catalogue c = load(worked_tables);
  run_result r = run_join(c, {"A"});
  r.status = join(c.text, {"M"}, c.data, c.types, c.names, r.types, r.columns, r.data);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.columns.empty() && r.types.empty() && r.data.empty());
}

std::string write_to_string(std::string_view input, const catalogue& c, run_result& r,
                            std::string_view line_end = "\n") {
  std::string out;
  output_sink sink = [&](std::string_view block) {
    out.append(block);
    return 0;
  };
  EXPECT_EQ(write_result(input, c.text, r.columns, r.types, r.data, sink, line_end), 0);
  return out;
}

TEST(Writer, WritesTheWorkedExample) {
  const std::string input =
      "join(A, B)\nA(id int, color char(5))\n1,'red'\n2,'blue'\n\n"
      "B(id int, shape char(6))\n2,'square'\n1,'circle'\n1,'circle'\n";
  catalogue c = load(std::string_view(input).substr(input.find('\n') + 1));
  run_result r = run_join(c, {"A", "B"});
  EXPECT_EQ(write_to_string(input, c, r), input +
                                              "\n\nresult(color char(5), id int, shape char(6))\n"
                                              "'blue',2,'square'\n'red',1,'circle'\n");
  // Without the final line end the separator follows the last line directly.
  std::string_view cut(input.data(), input.size() - 1);
  EXPECT_EQ(write_to_string(cut, c, r).substr(cut.size(), 9), "\n\nresult(");
}

// Every line written ends with the line end given, whichever line end it had
// in the input; a "\r" is part of a line end only right before a "\n", also
// where the copy is taken a block at a time.
TEST(Writer, EndsEveryLineWithTheLineEndItIsGiven) {
  catalogue c = load("A(x int)\n1\n");
  run_result r = run_join(c, {"A"});
  const std::string line((1 << 20) - 1, 'x');  // its "\r" ends the first block of the copy
  struct {
    std::string input, line_end, copy;
  } cases[] = {
      {"a\r\nb\nc\rd", "\n", "a\nb\nc\rd\n\n"},
      {"a\r\nb\nc\rd", "\r\n", "a\r\nb\r\nc\rd\r\n\r\n"},
      {"a\n\r\n", "\r\n", "a\r\n\r\n\r\n\r\n"},
      {line + "\r\nb", "\n", line + "\nb\n\n"},
      {line + "\r\n", "\r\n", line + "\r\n\r\n\r\n"},
  };
  for (const auto& k : cases) {
    const std::string le = k.line_end;
    EXPECT_TRUE(write_to_string(k.input, c, r, le) == k.copy + "result(x int)" + le + "1" + le)
        << k.input.substr(0, 12) << " with " << (le == "\n" ? "LF" : "CR LF");
  }
}

TEST(Writer, DeclaresAndQuotesByTheTypeCode) {
  catalogue c =
      load("T(Zone char(0x), area char(-3), id2 int, id char(4))\n1,2,3,'a,'''\n1,2,3,'a,'''\n");
  run_result r = run_join(c, {"T"});
  EXPECT_EQ(write_to_string("", c, r),
            "\n\nresult(Zone char(0), area int, id char(4), id2 int)\n1,2,'a,''',3\n");
}

// The values of a table too large to stay in the cache are copied in moves fitted to their
// length, each of which must take every byte of a value and none after it: values of every
// length, up to the last byte of the text.
TEST(Writer, CopiesValuesOfEveryLengthFromALargeTable) {
  std::string rows_text;
  for (int i = 0; i < 40000; ++i) {
    rows_text +=
        std::to_string(i) + ",'" + std::string(i % 41, static_cast<char>('a' + i % 26)) + "'\n";
  }
  catalogue c = load("T(n int, s char(40))\n" + rows_text);
  run_result r = run_join(c, {"T"});
  const std::string out = write_to_string("", c, r);
  const std::string expected = "\n\nresult(n int, s char(40))\n" + rows_text;
  EXPECT_TRUE(out == expected)
      << "first difference at byte "
      << std::mismatch(out.begin(), out.end(), expected.begin(), expected.end()).first -
             out.begin();
}

// Rows are formatted as many at a time as a batch has room for the places of their values, and
// a row wider than that alone.
TEST(Writer, WritesRowsOfAnyWidth) {
  for (const int width : {40, 1100}) {
    std::string declaration;
    for (int c = 0; c < width; ++c) {
      const std::string digits = std::to_string(c);
      // Names of four digits sort in declaration order.
      declaration += (c == 0 ? "c" : ", c") + std::string(4 - digits.size(), '0') + digits + " int";
    }
    std::string rows_text;
    for (int r = 0; r < 100; ++r) {
      for (int c = 0; c < width; ++c) rows_text += (c == 0 ? "" : ",") + std::to_string(r * c);
      rows_text += "\n";
    }
    catalogue c = load("T(" + declaration + ")\n" + rows_text);
    run_result r = run_join(c, {"T"});
    EXPECT_TRUE(write_to_string("", c, r) == "\n\nresult(" + declaration + ")\n" + rows_text)
        << width << " columns";
  }
}

TEST(Writer, ReportsAFailingSink) {
  catalogue c = load(worked_tables);
  run_result r = run_join(c, {"A", "B"});
  int calls = 0;
  output_sink full = [&](std::string_view) { return ++calls, 1; };
  EXPECT_EQ(write_result(std::string(3 << 20, 'x'), c.text, r.columns, r.types, r.data, full, "\n"),
            1);
  EXPECT_EQ(calls, 1);  // nothing more is written after the first failure
}

// The head of a large input is written ahead of the stages: on a thread of its own where there
// are two, and otherwise before start_input_copy returns, so that it is not read again beside the
// result. A small input's head is left to the writer. A sink's failure comes back at the end.
TEST(Writer, WritesTheHeadAheadOfTheStagesOnWhateverThreadThereIs) {
  const std::string large(copy_apart_bytes, 'x');
  const struct {
    std::size_t threads;
    std::string input;
    int sink_status;
    bool started, written_at_return;
  } cases[] = {
      {1, large, 0, true, true},  {1, large, 1, true, true}, {2, large, 0, true, false},
      {2, large, 1, true, false}, {1, "x", 0, false, false}, {2, "x", 0, false, false},
  };
  for (const auto& c : cases) {
    std::string out;
    const output_sink sink = [&](std::string_view block) {
      out.append(block);
      return c.sink_status;
    };
    input_copy_thread copy;
    work_split split;
    split.threads = c.threads;
    start_input_copy(c.input, sink, "\n", split, copy);
    const std::string context = std::to_string(c.threads) + " threads, " +
                                std::to_string(c.input.size()) + " bytes, sink " +
                                std::to_string(c.sink_status);
    if (c.written_at_return) {
      EXPECT_FALSE(out.empty()) << context;
      if (c.sink_status == 0) {
        EXPECT_TRUE(out == c.input + "\n\n") << context;
      }
    }
    EXPECT_EQ(input_copy_started(copy), c.started) << context;
    EXPECT_EQ(end_input_copy(copy, false), c.started ? c.sink_status : 0) << context;
    if (c.started && c.sink_status == 0) {
      EXPECT_TRUE(out == c.input + "\n\n") << context;
    }
  }
}

// A random input: tables over a few column names, each name with one type
// (now and then a conflicting one), some tables without rows. In the first
// kind, values come from a small pool, so that keys repeat, rows collapse
// and char values hold commas; in the second, every table's rows and keys
// are distinct, as most real tables are, so that the join can vouch for its
// rows without searching them; the third is the second with more rows.
std::string random_input(std::mt19937& rng, int kind, std::vector<std::string>& tables) {
  auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  const char* names[] = {"a", "b", "c", "d", "B"};
  const char* types[] = {" int", " char(3)", " int", " char(2)", " char(3)"};
  const char* ints[] = {"1", "2", "007", "7", "", "-1"};
  const char* chars[] = {"'x'", "'y'", "''", "','", "'x','y'", "'''"};
  std::string text;
  int table_count = 1 + pick(4);
  for (int t = 0; t < table_count; ++t) {
    std::vector<int> columns;
    for (int k = 0; k < 5; ++k) {
      if (pick(2) == 0) columns.push_back(k);
    }
    if (columns.empty()) columns.push_back(pick(5));
    std::shuffle(columns.begin(), columns.end(), rng);
    text += "T" + std::to_string(t) + "(";
    for (std::size_t i = 0; i < columns.size(); ++i) {
      bool conflict = pick(40) == 0;
      text += (i ? ", " : "") + std::string(names[columns[i]]) +
              (conflict ? " char(1)" : types[columns[i]]);
    }
    text += ")\n";
    const int rows = pick(5) == 0 ? 0 : kind == 2 ? pick(40) : pick(8);
    const int offset = pick(3);  // where a table's keys start, so that some rows find no partner
    for (int r = 0; r < rows; ++r) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        bool is_int = std::string_view(types[columns[i]]) == " int";
        std::string value = std::to_string(r + offset);
        if (kind == 0) value = is_int ? ints[pick(3)] : chars[pick(6)];
        if (kind != 0 && !is_int) value = "'" + value.substr(0, 2) + "'";
        text += (i ? "," : "") + value;
      }
      text += "\n";
    }
    text += "\n";
  }
  int join_count = 1 + pick(4);
  for (int i = 0; i < join_count; ++i) {
    tables.push_back(pick(15) == 0 ? "missing" : "T" + std::to_string(pick(table_count)));
  }
  return text;
}

// Runs one input through the fast engine, its work cut as split says, and
// through the straightforward one; the written outputs must be equal byte
// for byte.
int compare_engines(const std::string& text, const std::vector<std::string>& tables,
                    const std::string& context, const work_split& split) {
  catalogue c;
  c.text = text;
  if (tabla_ertelmezo(c.text, c.data, c.types, c.names, nullptr, nullptr, split) != 0) {
    return -1;  // a value too wide
  }
  run_result fast = run_join(c, tables, split);
  const text_catalogue strings = texts_of(c.text, c.data, c.names);
  result_types_map types;
  std::vector<std::string> columns;
  text_columns data;
  const int status = reference_join(tables, strings, c.types, c.names, types, columns, data);
  EXPECT_EQ(fast.status, status) << context;
  if (fast.status != 0 || status != 0) return fast.status;
  EXPECT_EQ(fast.columns, columns) << context;
  EXPECT_EQ(fast.types, types) << context;
  EXPECT_EQ(write_to_string(text, c, fast), reference_write(text, columns, types, data)) << context;
  return 0;
}

// A whole run in memory, with the work cut as split says: the output file,
// or the failure with its line and reason.
std::string run_whole(std::string_view input, const work_split& split) {
  std::string_view rest = input;
  std::string_view first;
  read_line(rest, first);
  std::vector<std::string> tables;
  catalogue c;
  run_result r;
  failure_detail detail;
  std::string out;
  output_sink sink = [&](std::string_view block) { return out.append(block), 0; };
  int status = join_ertelmezo(first, tables, &detail);
  if (status == 0)
    status = tabla_ertelmezo(rest, c.data, c.types, c.names, &detail, nullptr, split);
  if (status == 0) {
    status = join(rest, tables, c.data, c.types, c.names, r.types, r.columns, r.data, &detail,
                  nullptr, split);
  }
  if (status == 0)
    status = write_result(input, rest, r.columns, r.types, r.data, sink, "\r\n", nullptr, split);
  if (status != 0)
    return "status " + std::to_string(status) + " at line " + std::to_string(detail.line) + ": " +
           detail.reason;
  return out;
}

// Whatever the number of threads, the size of the pieces and the partitions
// of the key index, a run gives the bytes that one thread gives. Pieces of
// one to three rows put an edge between every two rows somewhere; a cache of
// a few bytes cuts the index into many partitions, most of them empty.
TEST(Threads, GiveTheBytesOfOneThread) {
  const std::string long_x(300, 'x');
  std::string keys = "join(A, B)\nA(k int, v int)\n";
  for (int i = 0; i < 80; ++i) keys += std::to_string(i % 7) + "," + std::to_string(i % 3) + "\n";
  keys += "\nB(k int, w char(3))\n";
  for (int i = 0; i < 8; ++i) keys += std::to_string(i % 5) + ",'" + std::to_string(i % 2) + "'\n";
  // One key holds most rows of both sides, so that its rows fill their
  // partition while the others hold a row or none.
  std::string one_key = "join(A, B)\nA(k int, v int)\n";
  for (int i = 0; i < 90; ++i)
    one_key += (i % 9 == 0 ? std::to_string(i) : "4") + "," + std::to_string(i) + "\n";
  one_key += "\nB(k int, w int)\n";
  for (int i = 0; i < 20; ++i)
    one_key += (i % 5 == 0 ? std::to_string(i * 9) : "4") + "," + std::to_string(i) + "\n";
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"line ends, commas and repeats",
       "join(A, B)\r\nA(k int, s char(5))\r\n1,'a,b'\r\n2,'c'\r\n1,'a,b'\r\n3, 'd' \r\n\r\n"
       "B(k int, t char(3))\r\n1,'x'\r\n2,'y'\r\n1,'x'\r\n"},
      {"no common column, a table of one row",
       "join(A, B, C)\nA(x int)\n1\n2\n1\n3\n\nB(y int)\n7\n\nC(z char(2))\n'p'\n'q'\n'p'\n"},
      {"an empty table", "join(A, E, B)\nA(k int)\n1\n2\n\nE(k int, e int)\n\nB(k int)\n1\n"},
      {"one table with repeats",
       "join(T)\nT(a char(5), b int)\n'x,y',1\n'x',2\n'x,y',1\n'z',3\n'x',2\n"},
      {"long values and a repeated block", "join(A, A)\nA(k int, s char(999))\n1,'" + long_x +
                                               "'\n 2 ,'y'\n\nA(k int, s char(999))\n3,'" + long_x +
                                               "z'\n1,'" + long_x + "'"},
      {"repeated keys", keys},
      {"keys that begin alike, some on one side only",
       "join(A, B)\nA(k char(4), v int)\n'ab',1\n'a',2\n'abc',3\n'',4\n'abcd',5\n'ab',6\n\n"
       "B(k char(4), w int)\n'abc',7\n'a',8\n'b',9\n'ab',10\n''    ,11\n"},
      {"one key in most rows", one_key},
      {"a malformed row behind others, a malformed declaration after it",
       "join(A)\nA(x int, s char(2))\n1,'a'\n2,'b'\n3,'ccc'\n4,'d'\n\nB(y\n"},
  };
  for (const auto& c : cases) {
    const std::string expected = run_whole(c.input, {});
    // The stages give back only stretches of the input, which a read then brings back whole.
    for (std::size_t threads : {1, 3}) {
      std::mutex lock;
      std::size_t given = 0;
      work_split split{threads, 2, max_memory, 256};
      split.give_back = [&](std::string_view stretch) {
        const std::lock_guard<std::mutex> hold(lock);
        given += stretch.size();
        EXPECT_TRUE(stretch.data() >= c.input.data() &&
                    stretch.data() + stretch.size() <= c.input.data() + c.input.size())
            << c.name << ": a stretch outside the input";
      };
      EXPECT_TRUE(run_whole(c.input, split) == expected) << c.name << ", given back";
      EXPECT_GT(given, 0u) << c.name;
    }
    for (std::size_t threads : {1, 2, 3, 7}) {
      for (std::size_t piece_rows : {1, 2, 3}) {
        for (std::size_t cache : {std::size_t{1} << 20, std::size_t{256}, std::size_t{1}}) {
          EXPECT_TRUE(run_whole(c.input, {threads, piece_rows, max_memory, cache}) == expected)
              << c.name << ": " << threads << " threads, pieces of " << piece_rows
              << " rows, a cache of " << cache << " bytes";
        }
      }
    }
  }
}

TEST(Engine, MatchesTheStraightforwardEngineOnRandomInputs) {
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  int succeeded[3] = {};
  for (int i = 0; i < 1200; ++i) {
    const int kind = i % 3;
    std::vector<std::string> tables;
    const std::string text = random_input(rng, kind, tables);
    const std::string context =
        "seed " + std::to_string(seed) + ", input " + std::to_string(i) + "\n" + text;
    if (compare_engines(text, tables, context, {}) == 0) ++succeeded[kind];
    // Several threads, on pieces of a few rows, must give the same bytes;
    // and so must a key index cut into one partition per row or into a few.
    if (i % 4 == 0) compare_engines(text, tables, context + "(3 threads)", {3, 2});
    if (i % 4 == 1)
      compare_engines(text, tables, context + "(many partitions)", {1, 3, max_memory, 1});
    if (i % 4 == 2)
      compare_engines(text, tables, context + "(a few partitions)", {2, 5, max_memory, 64});
    if (HasFailure()) return;
  }
  for (int kind = 0; kind < 3; ++kind) EXPECT_GT(succeeded[kind], 100) << "seed " << seed;
}

// A first table large enough that the join searches most of its groups by
// hash where few of its rows repeat an earlier one, and by value where many
// do; one row in every `every` repeats a row of its key 40 rows before.
TEST(Engine, MatchesTheStraightforwardEngineOnLargeGroups) {
  for (int every : {50, 2}) {
    std::string text = "A(k int, v int, s char(4))\n";
    for (int i = 0; i < 6000; ++i) {
      const int from = i >= 40 && i % every == 0 ? i - 40 : i;
      text += std::to_string(i % 40) + "," + std::to_string(from) + ",'" +
              std::to_string(from % 997) + "'\n";
    }
    text += "\nB(k int, w int)\n";
    for (int k = 0; k < 45; ++k) text += std::to_string(k) + "," + std::to_string(k * 3) + "\n";
    const std::string context = "one row in every " + std::to_string(every) + " repeats";
    for (const work_split& split :
         {work_split{}, work_split{2, 100}, work_split{3, 7, max_memory, 256}}) {
      EXPECT_EQ(compare_engines(text, {"A", "B"}, context, split), 0) << context;
    }
  }
}

}  // namespace
