// The parsers of the input file: the join statement, declaration lines, data
// rows and the table reader that drives them.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "base/text.h"
#include "f1.h"
#include "read/row_parser.h"
#include "reference.h"

using namespace natjoin;

namespace {

using names = std::vector<std::string>;
using codes = std::vector<int>;

TEST(JoinStatement, YieldsTheTrimmedNamesBetweenTheFirstParentheses) {
  struct {
    std::string_view line;
    names expected;
  } cases[] = {
      {"join(A, B)", {"A", "B"}},
      {"join(A,B,C)", {"A", "B", "C"}},
      {"join( A\t,\tB )", {"A", "B"}},
      {"join(A)", {"A"}},
      {"join()", {""}},
      {"join(A,,B)", {"A", "", "B"}},
      {"joined(A, B)", {"A", "B"}},
      {"join x (A, B)", {"A", "B"}},
      {"join(A, B) rest", {"A", "B"}},
      {"join(A, (B))", {"A", "(B"}},
  };
  for (const auto& c : cases) {
    names tables;
    EXPECT_EQ(join_ertelmezo(c.line, tables), 0) << c.line;
    EXPECT_EQ(tables, c.expected) << c.line;
  }
}

TEST(JoinStatement, RejectsNearMissesAndLeavesTheListUnchanged) {
  for (std::string_view line : {" join(A, B)", "Join(A, B)", "select(A, B)", "", "join A, B",
                                "join(A, B", "join)(A", "xjoin(A)"}) {
    names tables = {"kept"};
    EXPECT_EQ(join_ertelmezo(line, tables), 1) << '"' << line << '"';
    EXPECT_EQ(tables, names{"kept"}) << line;
  }
}

TEST(Declaration, ReadsNamesAndTypeCodes) {
  struct {
    std::string_view line;
    std::string table;
    names columns;
    codes types;
  } cases[] = {
      {"Emp(id int, name char(10))", "Emp", {"id", "name"}, {-1, 10}},
      {"Emp ( id int , name char ( 4 ) )", "Emp", {"id", "name"}, {-1, 4}},
      {"(id int)", "", {"id"}, {-1}},
      {"my table(id int)", "my table", {"id"}, {-1}},
      {"Emp(id int))", "Emp", {"id"}, {-1}},
      {"Emp(id int, name char(10)", "Emp", {"id", "name"}, {-1, 10}},
      {"Emp(id integer)", "Emp", {"id"}, {-1}},
      {"Emp(id int x)", "Emp", {"id"}, {-1}},
      {"Emp(print int)", "Emp", {"print"}, {-1}},
      {"Emp(chart int)", "Emp", {"chart"}, {-1}},
      {"Emp(int char(3))", "Emp", {"int"}, {3}},
      {"Emp(char int)", "Emp", {"char"}, {-1}},
      {"Emp(a\t int)", "Emp", {"a"}, {-1}},
      {"Emp(id int,\t int)", "Emp", {"id", ""}, {-1, -1}},  // the piece trims to " int"
      {"Emp(a char(007))", "Emp", {"a"}, {7}},
      {"Emp(a char 10)", "Emp", {"a"}, {10}},
      {"Emp(a char( 10 ))", "Emp", {"a"}, {10}},
      {"Emp(a char((10)))", "Emp", {"a"}, {10}},
      {"Emp(a char(10) x)", "Emp", {"a"}, {10}},
      {"Emp(a char(10x))", "Emp", {"a"}, {10}},
      {"Emp(a char(1 0))", "Emp", {"a"}, {1}},
      {"Emp(a char(+5))", "Emp", {"a"}, {5}},
      {"Emp(a char(-3))", "Emp", {"a"}, {-3}},
      {"Emp(a char(x))", "Emp", {"a"}, {0}},
      {"Emp(a character)", "Emp", {"a"}, {0}},
      {"Emp(a char())", "Emp", {"a"}, {0}},
      {"Emp(a char)", "Emp", {"a"}, {0}},
      {"Emp(a int)\t \t", "Emp", {"a"}, {-1}},
      {"Emp(a int, A int)", "Emp", {"a", "A"}, {-1, -1}},  // names compare by bytes
  };
  for (const auto& c : cases) {
    std::string table;
    names columns;
    codes types;
    ASSERT_EQ(parse_declaration(trim(c.line), table, columns, types), 0) << c.line;
    EXPECT_EQ(table, c.table) << c.line;
    EXPECT_EQ(columns, c.columns) << c.line;
    EXPECT_EQ(types, c.types) << c.line;
  }
}

TEST(Declaration, RejectsMalformedLines) {
  for (std::string_view line : {
           "Emp id int",
           "Emp(id int",
           "Emp(id int) x",
           "Emp(",
           "Emp()",
           "Emp(id int,)",
           "Emp(id number)",
           "Emp(id INT)",
           "Emp(idint)",
           "Emp(a int print)",
           "Emp(first name int)",
           "Emp(a \t int)",
           "Emp(name char(0))",
           "Emp(name char(00))",
           "Emp(a int) \t \t",
           "Emp(a char int)",
           // no name before the type word
           "Emp(int)",
           "Emp(id int, char(5))",
           "Emp(integer)",
           // a repeated column name
           "Emp(a int, a char(3))",
           "Emp(\t int,\t char(2))",
           // widths beyond the 32-bit range
           "Emp(a char(99999999999))",
           "Emp(a char(-99999999999))",
           "Emp(a char(2147483648))",
       }) {
    std::string table;
    names columns;
    codes types;
    EXPECT_EQ(parse_declaration(trim(line), table, columns, types), 1) << '"' << line << '"';
  }
}

TEST(CharWidth, ReadsLikeAtoiWithinThe32BitRange) {
  struct {
    std::string_view text;
    int expected;
  } cases[] = {{"(2147483647)", 2147483647},
               {"(-2147483648)", -2147483648},
               {"(+0000000000005)", 5},
               {"(-0)", 0},
               {"(0x)", 0},
               {"(\r7)", 7},
               {"", 0}};
  for (const auto& c : cases) {
    int code = 99;
    EXPECT_EQ(parse_char_width(c.text, code), 0) << c.text;
    EXPECT_EQ(code, c.expected) << c.text;
  }
  int code;
  EXPECT_EQ(parse_char_width("(-2147483649)", code), 1);
  EXPECT_EQ(parse_char_width("(000)", code), 1);
}

// Rows of Item(id int, name char(5), qty int), each row a text of its own;
// the values are read back from the text as the join and the writer do.
struct parsed_row {
  int status;
  std::vector<std::string_view> values;
};

parsed_row parse_line(std::string_view line, const codes& types) {
  table_values table;
  parsed_row row{parse_row(line, line, types, table), {}};
  for (const value_ref& value : table.values) row.values.push_back(value_text(line, table, value));
  return row;
}

parsed_row parse_item_row(std::string_view line) {
  return parse_line(line, {-1, 5, -1});
}

TEST(Row, StoresNormalisedValues) {
  struct {
    std::string_view line, id, name, qty;
  } cases[] = {
      {"1, 'abc', 10", "1", "abc", "10"},
      {"007,'x',0", "7", "x", "0"},
      {"-5, '', 0010", "-5", "", "10"},
      {"1,'abcde',000", "1", "abcde", "0"},
      {"abc, 'x', 1", "abc", "x", "1"},
      {"2, 'a,b', 3", "2", "a,b", "3"},
      {"1, ',', 2", "1", ",", "2"},
      {"3, ' a b ', 4", "3", " a b ", "4"},
      {"4, 'it''s', 5", "4", "it''s", "5"},
      {"12, ''', 1", "12", "'", "1"},
      {"20, 'x'y', 1", "20", "x'y", "1"},
      {"16 , 'x' , 17", "16", "x", "17"},
      {"1,'x' ,2", "1", "x", "2"},
      {"10, 'x', 2, 99", "10", "x", "2"},
      {"1,'x',", "1", "x", ""},
      {"13, 'a,b,c', 14", "13", "a,b,c", "14"},
      {"5, ',,', 6", "5", ",,", "6"},
      {"-007, 'x', 0.50", "-007", "x", ".50"},
  };
  for (const auto& c : cases) {
    parsed_row row = parse_item_row(c.line);
    ASSERT_EQ(row.status, 0) << c.line;
    EXPECT_EQ(row.values, (std::vector<std::string_view>{c.id, c.name, c.qty})) << c.line;
  }
}

TEST(Row, RejectsMalformedRows) {
  for (std::string_view line : {
           "5, 'abcdef', 1",   // 6 bytes in a column of width 5
           "14, 'abcd,e', 1",  // the comma counts
           "6, abc, 1",        // no quote: the pieces run out
           "7, 'ab'c, 1",      // the trimmed text ends with "c"
           "8, 'a, b' , 1",    // after a join only a quote in the last byte closes
           "11,,'x',1",        // ",'x'" does not begin with a quote
           "19,\t 'x' ,20",    // a space behind a tab survives trimming
           "9, 'x'",           // no field for qty
           "9, '",             // an opening quote alone
       }) {
    EXPECT_EQ(parse_item_row(line).status, 1) << '"' << line << '"';
  }
}

TEST(Row, KeepsTheValuesBeforeTheFaultyColumn) {
  parsed_row row = parse_item_row("5, 'abcdef', 1");
  EXPECT_EQ(row.values, (std::vector<std::string_view>{"5"}));
}

TEST(Row, ReadsCodesBelowOneAsIntColumns) {
  parsed_row row = parse_line(" 0042 ,'x'", {0, -3});
  EXPECT_EQ(row.status, 0);
  EXPECT_EQ(row.values, (std::vector<std::string_view>{"42", "'x'"}));
}

struct catalogue {
  table_data_map data;
  column_types_map types;
  column_names_map names;
};

int read_tables(std::string_view rest, catalogue& c) {
  return tabla_ertelmezo(rest, c.data, c.types, c.names);
}

using texts = std::vector<std::string>;

// The values of one column of a table that read_tables read from rest.
texts column(std::string_view rest, const catalogue& c, const std::string& table,
             const std::string& name) {
  return texts_of(rest, c.data, c.names)[table][name];
}

// The one-pass reader against the row parser, on random rows near the plain shape: where it
// reads a row, the parser stores the same values; where the parser refuses a row, so does it.
std::string random_row(std::mt19937& random, const codes& types, std::size_t fields) {
  static const char* const plain_ints[] = {"12", "-3", "5", "x1"};
  static const char* const plain_chars[] = {"'ab'", "''", "'abc'", "'a b'"};
  static const char* const near_misses[] = {"0",     "007",      " 5",    "5 ",      "",
                                            "'a,b'", "'abcdef'", " 'x' ", "'it''s'", "'a'b",
                                            "'ab",   "x'y'",     "\t7",   "'ab' ",   "12"};
  std::string row;
  for (std::size_t f = 0; f < fields; ++f) {
    if (f != 0) row += ',';
    const bool quoted = f < types.size() && types[f] > 0;
    if (random() % 5 == 0) {
      row += near_misses[random() % std::size(near_misses)];
    } else {
      row += quoted ? plain_chars[random() % 4] : plain_ints[random() % 4];
    }
  }
  return row;
}

TEST(PlainRow, StoresWhatTheRowParserStoresOrLeavesTheRowToIt) {
  const codes types = {-1, 4, -1, 0, 3};
  std::mt19937 random(11);
  int read_plain = 0;
  int left = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::size_t fields = types.size() - 1 + random() % 3;
    const std::string line = random_row(random, types, fields);
    const std::string text = line + (round % 2 == 0 ? "\n" : "\r\n") + "next";
    table_values plain;
    table_values parsed;
    const std::size_t next = read_plain_row(text, 0, types, plain);
    const int status =
        parse_row(text, trim(std::string_view(text).substr(0, line.size())), types, parsed);
    if (next == std::string_view::npos) {
      EXPECT_TRUE(plain.values.empty()) << line;
      ++left;
      continue;
    }
    ++read_plain;
    ASSERT_EQ(status, 0) << line;
    EXPECT_EQ(next, text.size() - 4) << line;
    ASSERT_EQ(plain.values.size(), parsed.values.size()) << line;
    for (std::size_t v = 0; v < plain.values.size(); ++v) {
      EXPECT_EQ(value_text(text, plain, plain.values[v]),
                value_text(text, parsed, parsed.values[v]))
          << line << ", value " << v;
    }
    EXPECT_EQ(plain.holds_commas, parsed.holds_commas) << line;
  }
  // The rows cover both ways in.
  EXPECT_GT(read_plain, 50);
  EXPECT_GT(left, 50);
}

TEST(TableReader, LoadsBlocksSeparatedByBlankLines) {
  catalogue c;
  const std::string_view rest =
      "\nEmp(id int, name char(8), dept int)\n1,'Ann',10\n2,'Bob',20\n \t \n"
      "Dept(dept int, title char(12))\n10,'Sales'";
  ASSERT_EQ(read_tables(rest, c), 0);
  EXPECT_EQ(c.names["Emp"], (names{"id", "name", "dept"}));
  EXPECT_EQ(c.types["Emp"], (codes{-1, 8, -1}));
  EXPECT_EQ(c.types["Dept"], (codes{-1, 12}));
  EXPECT_EQ(column(rest, c, "Emp", "name"), (texts{"Ann", "Bob"}));
  EXPECT_EQ(column(rest, c, "Dept", "title"), (texts{"Sales"}));
}

TEST(TableReader, AcceptsFilesWithoutBlocks) {
  for (std::string_view rest : {"", "\n", "\n \n\t\n"}) {
    catalogue c;
    EXPECT_EQ(read_tables(rest, c), 0);
    EXPECT_TRUE(c.data.empty());
  }
}

TEST(TableReader, ReadsTheFirstLineOfABlockAsADeclaration) {
  catalogue c;
  EXPECT_EQ(read_tables("1,2\n", c), 1);
  // "\t \t" trims to " ", which is not blank.
  EXPECT_EQ(read_tables("A(x int)\n1\n\t \t\n", c), 0);
  EXPECT_EQ(column("A(x int)\n1\n\t \t\n", c, "A", "x"), (texts{"1", ""}));
}

TEST(TableReader, ReadsADeclarationBelowARowAsARow) {
  catalogue c;
  const std::string_view rest = "A(x int, y int)\n1,2\nDept(dept int, title char(12))\n";
  ASSERT_EQ(read_tables(rest, c), 0);
  EXPECT_EQ(column(rest, c, "A", "x"), (texts{"1", "Dept(dept int"}));
  EXPECT_EQ(c.data.count("Dept"), 0u);
  catalogue d;
  EXPECT_EQ(read_tables("A(x int, y char(3))\n1,'a'\nDept(dept int, title char(12))\n", d), 1);
}

// A value is stored as where it starts and how long it is; the end of a long
// value is found again from the row around it. Each case runs twice: as
// written, and with every "@" made a run of 300 bytes, with every kind of
// line end and blank behind the values.
TEST(TableReader, ReadsEveryValueBackAsItWasStored) {
  struct {
    std::string_view rest;
    texts x, s;
  } cases[] = {
      {"T(x int, s char(999))\n1@,'a@'\r\n2@ ,'b@' \t\n 3@\t,'c,@' \n4@,'d@'",
       {"1@", "2@", "3@", "4@"},
       {"a@", "b@", "c,@", "d@"}},
      {"T(s char(999), x int)\n'a@',5@ \t \t\r\n'b@', 0 \n'',\n''@',9@\r",
       {"5@ ", "0", "", "9@\r"},
       {"a@", "b@", "", "'@"}},
      {"T(s char(999), x int)\n'a,b@',1@\n' ,, @', 2@\n'x''y@',\t \t\n',@',3@\n'@,',4@ ",
       {"1@", "2@", "", "3@", "4@"},
       {"a,b@", " ,, @", "x''y@", ",@", "@,"}},
      {"T(x int, s char(999))\n0,'a, b@'\r\n, 'q@'\n-00@,'''@' \t",
       {"0", "", "-00@"},
       {"a, b@", "q@", "''@"}},
  };
  for (const std::string& filler : {std::string(), std::string(300, 'v')}) {
    auto fill = [&](std::string_view written) {
      std::string text;
      for (char c : written) c == '@' ? text += filler : text += c;
      return text;
    };
    auto fill_all = [&](const texts& written) {
      texts filled;
      for (const std::string& value : written) filled.push_back(fill(value));
      return filled;
    };
    for (const auto& c : cases) {
      const std::string rest = fill(c.rest);
      catalogue t;
      ASSERT_EQ(read_tables(rest, t), 0) << rest;
      EXPECT_EQ(column(rest, t, "T", "x"), fill_all(c.x)) << rest;
      EXPECT_EQ(column(rest, t, "T", "s"), fill_all(c.s)) << rest;
    }
  }
}

TEST(TableReader, KeepsTheFirstDeclarationOfARepeatedName) {
  catalogue c;
  const std::string_view rest = "A(x int, y char(2))\n1,'a'\n\nA(z char(9))\n2,'b'\n";
  ASSERT_EQ(read_tables(rest, c), 0);
  EXPECT_EQ(c.names["A"], (names{"x", "y"}));
  EXPECT_EQ(column(rest, c, "A", "x"), (texts{"1", "2"}));
  EXPECT_EQ(column(rest, c, "A", "y"), (texts{"a", "b"}));
  // The later block is checked all the same.
  catalogue d;
  EXPECT_EQ(read_tables("A(x int)\n\nA(x int, x int)\n", d), 1);
}

TEST(TableReader, StopsAtTheFirstMalformedLine) {
  catalogue c;
  EXPECT_EQ(read_tables("A(x int)\n1\n\nB(y char(1))\n'toolong'\n\nC(z int)\n", c), 1);
  EXPECT_EQ(c.data.count("A"), 1u);
  EXPECT_EQ(c.data.count("C"), 0u);
}

}  // namespace
