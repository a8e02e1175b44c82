// The natural join and the result writer: the worked examples, the failures,
// and the fast engine against the straightforward one on random inputs.
#include <gtest/gtest.h>

#include <random>

#include "f1.h"
#include "reference.h"

namespace {

struct run_result {
  int status = 0;
  std::vector<std::string> columns;
  result_types_map types;
  column_map data;
};

struct catalogue {
  table_data_map data;
  column_types_map types;
  column_names_map names;
};

// Reads the table blocks of text; the catalogue's values point into text.
catalogue load(std::string_view text) {
  catalogue c;
  EXPECT_EQ(tabla_ertelmezo(text, c.data, c.types, c.names), 0) << text;
  return c;
}

run_result run_join(const catalogue& c, const std::vector<std::string>& tables) {
  run_result r;
  r.status = join(tables, c.data, c.types, c.names, r.types, r.columns, r.data);
  return r;
}

// Row r of the result as its values in result column order.
std::vector<std::vector<std::string_view>> rows_of(const run_result& r) {
  std::vector<std::vector<std::string_view>> rows(r.data.at(r.columns[0]).size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (const std::string& name : r.columns) rows[i].push_back(r.data.at(name)[i]);
  }
  return rows;
}

constexpr std::string_view worked_tables =
    "A(x int, y int)\n1,10\n2,20\n3,10\n\n"
    "B(y int, z int)\n10,100\n20,200\n10,300\n\n"
    "C(x int, w int)\n3,8\n1,7\n\n"
    "D(v int)\n5\n6\n";

using rows = std::vector<std::vector<std::string_view>>;

TEST(Join, FollowsTheRowsOfTheNewTableThenTheRunningOrder) {
  catalogue c = load(worked_tables);
  run_result ab = run_join(c, {"A", "B"});
  ASSERT_EQ(ab.status, 0);
  EXPECT_EQ(ab.columns, (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(ab.types, (result_types_map{{"x", -1}, {"y", -1}, {"z", -1}}));
  EXPECT_EQ(rows_of(ab), (rows{{"1", "10", "100"},
                               {"3", "10", "100"},
                               {"2", "20", "200"},
                               {"1", "10", "300"},
                               {"3", "10", "300"}}));

  run_result abc = run_join(c, {"A", "B", "C"});
  EXPECT_EQ(abc.columns, (std::vector<std::string>{"x", "y", "z", "w"}));
  EXPECT_EQ(rows_of(abc), (rows{{"3", "10", "100", "8"},
                                {"3", "10", "300", "8"},
                                {"1", "10", "100", "7"},
                                {"1", "10", "300", "7"}}));

  run_result ad = run_join(c, {"A", "D"});
  EXPECT_EQ(rows_of(ad), (rows{{"1", "10", "5"},
                               {"2", "20", "5"},
                               {"3", "10", "5"},
                               {"1", "10", "6"},
                               {"2", "20", "6"},
                               {"3", "10", "6"}}));

  run_result aba = run_join(c, {"A", "B", "A"});
  EXPECT_EQ(rows_of(aba), (rows{{"1", "10", "100"},
                                {"1", "10", "300"},
                                {"2", "20", "200"},
                                {"3", "10", "100"},
                                {"3", "10", "300"}}));
}

TEST(Join, KeepsEveryRepeatedPair) {
  catalogue c = load("A(x int)\n1\n1\n");
  EXPECT_EQ(rows_of(run_join(c, {"A", "A"})), (rows{{"1"}, {"1"}, {"1"}, {"1"}}));
  EXPECT_EQ(rows_of(run_join(c, {"A"})), (rows{{"1"}, {"1"}}));
}

TEST(Join, GivesAllColumnsAndNoRowsForAnEmptyTable) {
  catalogue c = load("A(x int, y char(2))\n1,'a'\n\nE(y char(2), z int)\n");
  for (const auto& tables : {std::vector<std::string>{"A", "E"}, {"E", "A"}, {"E"}}) {
    run_result r = run_join(c, tables);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.columns.size(), tables.size() == 1 ? 2u : 3u);
    for (const auto& [name, values] : r.data) EXPECT_TRUE(values.empty()) << name;
  }
}

TEST(Join, ComparesStoredValuesAsBytes) {
  catalogue c = load("A(k int, n char(3))\n007,'Abc'\n\nB(k int, n char(3))\n7,'abc'\n7,'Abc'\n");
  EXPECT_EQ(rows_of(run_join(c, {"A", "B"})), (rows{{"7", "Abc"}}));
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
  r.status = join({"M"}, c.data, c.types, c.names, r.types, r.columns, r.data);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.columns.empty() && r.types.empty() && r.data.empty());
}

std::string write_to_string(std::string_view input, run_result& r) {
  std::string out;
  output_sink sink = [&](std::string_view block) {
    out.append(block);
    return 0;
  };
  EXPECT_EQ(write_result(input, r.columns, r.types, r.data, sink), 0);
  return out;
}

TEST(Writer, WritesTheWorkedExample) {
  const std::string input =
      "join(A, B)\nA(id int, color char(5))\n1,'red'\n2,'blue'\n\n"
      "B(id int, shape char(6))\n2,'square'\n1,'circle'\n1,'circle'\n";
  catalogue c = load(std::string_view(input).substr(input.find('\n') + 1));
  run_result r = run_join(c, {"A", "B"});
  EXPECT_EQ(write_to_string(input, r), input +
                                           "\n\nresult(color char(5), id int, shape char(6))\n"
                                           "'blue',2,'square'\n'red',1,'circle'\n");
  // Without the final line end the separator follows the last line directly.
  std::string_view cut(input.data(), input.size() - 1);
  EXPECT_EQ(write_to_string(cut, r).substr(cut.size(), 9), "\n\nresult(");
}

TEST(Writer, DeclaresAndQuotesByTheTypeCode) {
  catalogue c =
      load("T(Zone char(0x), area char(-3), id2 int, id char(4))\n1,2,3,'a,'''\n1,2,3,'a,'''\n");
  run_result r = run_join(c, {"T"});
  EXPECT_EQ(write_to_string("", r),
            "\n\nresult(Zone char(0), area int, id char(4), id2 int)\n1,2,'a,''',3\n");
}

TEST(Writer, ComparesRowsAsTextsNotAsValues) {
  // ("x','y", "z") and ("x", "y','z") both write 'x','y','z'.
  run_result r;
  r.columns = {"b", "a"};
  r.types = {{"a", 9}, {"b", 9}};
  r.data = {{"a", {"x','y", "x", "x"}}, {"b", {"z", "y','z", "z"}}};
  EXPECT_EQ(write_to_string("", r), "\n\nresult(a char(9), b char(9))\n'x','y','z'\n'x','z'\n");
}

TEST(Writer, ReportsAFailingSink) {
  catalogue c = load(worked_tables);
  run_result r = run_join(c, {"A", "B"});
  int calls = 0;
  output_sink full = [&](std::string_view) { return ++calls, 1; };
  EXPECT_EQ(write_result(std::string(3 << 20, 'x'), r.columns, r.types, r.data, full), 1);
  EXPECT_EQ(calls, 1);  // nothing more is written after the first failure
}

// A random input: tables over a few column names, each name with one type
// (now and then a conflicting one), values from a small pool so that keys
// repeat and rows collapse, some tables without rows.
std::string random_input(std::mt19937& rng, std::vector<std::string>& tables) {
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
    int rows = pick(5) == 0 ? 0 : pick(8);
    for (int r = 0; r < rows; ++r) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        bool is_int = std::string_view(types[columns[i]]) == " int";
        text += (i ? "," : "") + std::string(is_int ? ints[pick(3)] : chars[pick(6)]);
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

TEST(Engine, MatchesTheStraightforwardEngineOnRandomInputs) {
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  int succeeded = 0;
  for (int i = 0; i < 400; ++i) {
    std::vector<std::string> tables;
    const std::string text = random_input(rng, tables);
    catalogue c;
    int read = tabla_ertelmezo(text, c.data, c.types, c.names);
    if (read != 0) continue;  // a char value over its width: nothing to join
    run_result fast = run_join(c, tables);
    run_result slow;
    slow.status =
        reference_join(tables, c.data, c.types, c.names, slow.types, slow.columns, slow.data);
    ASSERT_EQ(fast.status, slow.status) << "seed " << seed << "\n" << text;
    if (fast.status != 0) continue;
    ASSERT_EQ(fast.columns, slow.columns) << "seed " << seed << "\n" << text;
    ASSERT_EQ(fast.types, slow.types) << "seed " << seed << "\n" << text;
    ASSERT_EQ(fast.data, slow.data) << "seed " << seed << "\n" << text;
    ASSERT_EQ(write_to_string(text, fast),
              reference_write(text, slow.columns, slow.types, slow.data))
        << "seed " << seed << "\n"
        << text;
    ++succeeded;
  }
  EXPECT_GT(succeeded, 100) << "seed " << seed;
}

}  // namespace
