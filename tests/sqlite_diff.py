#!/usr/bin/env python3
"""Differential test of natjoin against the sqlite3 command-line program.

Generates random well-formed inputs (1 to 4 tables in the join statement,
some named twice; int and char columns; shared and disjoint columns; repeated
rows; tables without rows), runs natjoin on each, and compares its result
with what sqlite3 computes for

    SELECT DISTINCT <columns sorted by bytes>
    FROM s0 AS t0 NATURAL JOIN s1 AS t1 NATURAL JOIN ...

over the same tables loaded as TEXT columns, so that values compare as
strings, as natjoin compares them. For every case it checks:

  status   natjoin exits with status 0 and prints nothing;
  copy     the output file starts with the copy of the input and the
           separator line;
  header   the "result(" line lists the joined columns sorted by the bytes of
           their names, each with its declared type;
  rows     the set of result rows equals sqlite3's;
  repeats  no result row is written twice;
  order    the rows follow the table joined last, and for each of its rows the
           matching rows of the result so far in their order (checked against
           sqlite3's rows ordered by the rowids of the joined tables, last
           table first, each row kept at its first occurrence).

The layout of an input varies as the README allows: "\n" or "\r\n" line
ends, a missing last line end, blank lines of spaces and tabs in any mix,
blanks around int values, spacing in the join statement and declarations,
tables defined but not joined. --plain-layout writes every input plainly.

sqlite3 is used only through its command-line program (Debian package
sqlite3); all cases of a run go through one sqlite3 process. The first failing
case is shrunk to a small input that still fails the same check and reported
with the seed, the case number, the input and both row sets.

Usage: sqlite_diff.py --natjoin PATH [--cases N] [--seed S] [--case K]
                      [--plain-layout] [--keep-going] [--no-shrink]
"""

import argparse
import concurrent.futures
import copy
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# ---------------------------------------------------------------------------
# Generation

# Column names: byte order differs from case-insensitive order ("Zone" <
# "_k" < "a"), names differ only in case ("a", "A"; sqlite3 would take them
# as one column, so the SQL side renames every column), names hold the
# letters of a type word, and some are not ASCII.
COLUMN_NAMES = ["a", "A", "b", "id", "Id", "id2", "Zone", "area", "_k", "k_", "x1", "x10",
                "X2", "9", "pint", "tint", "charm", "print", "\u00e9t", "\u03a9"]
# Table names, renamed on the SQL side too.
TABLE_NAMES = ["A", "B", "C", "a", "T2", "Emp", "Dept", "join", "x_y", "\u00c4"]
CHAR_ALPHABET = "ABCabcxyzXYZ0123456789 _."
CHAR_WIDTHS = [1, 1, 2, 3, 4, 5, 8, 12, 30]
# Blank lines: empty once trimmed. Trimming takes the spaces off both ends,
# then the tabs, once each, so "\t \t" (which trims to " ") is not blank.
BLANK_LINES = ["", "", "", " ", "\t", "  ", " \t", "\t ", " \t "]
# Blanks before and after an int value that trimming removes: spaces outside,
# tabs inside ("5 \t" would keep its space).
LEFT_PADS = ["", "", " ", "\t", "  ", " \t"]
RIGHT_PADS = ["", "", " ", "\t", "  ", "\t "]
INT_TYPE = -1  # a column type: INT_TYPE, or the width N of char(N)


class Table:
    def __init__(self, name, cols, rows):
        self.name = name
        self.cols = cols  # column names in declaration order
        self.rows = rows  # lists of values, in declaration order
        self.blanks = [""]  # the blank lines written before the block (not before the first)
        self.pads = None  # per row and column, the blanks written around an int value


class Layout:
    """How a case is written out; none of it changes the result."""

    def __init__(self, rng, plain):
        self.eol = "\n" if plain or rng.random() < 0.7 else "\r\n"
        self.final_eol = plain or rng.random() < 0.85
        self.blank_after_join = None if rng.random() < 0.3 else "" if plain else rng.choice(BLANK_LINES)
        self.join_sep = ", " if plain else rng.choice([", ", ",", " , ", ",  "])
        self.join_inner = "" if plain or rng.random() < 0.8 else " "
        self.decl_sep = ", " if plain else rng.choice([", ", ","])


class Case:
    def __init__(self, types, tables, join, layout):
        self.types = types    # column name -> INT_TYPE or char width
        self.tables = tables  # in definition order
        self.join = join      # table names of the join statement
        self.layout = layout

    def table(self, name):
        return next(t for t in self.tables if t.name == name)

    def result_columns(self):
        """The joined tables' columns, sorted by the bytes of their names."""
        names = {c for name in set(self.join) for c in self.table(name).cols}
        return sorted(names, key=lambda n: n.encode("utf-8"))

    def type_text(self, col):
        code = self.types[col]
        return "int" if code == INT_TYPE else "char(%d)" % code

    def render(self):
        lay = self.layout
        lines = ["join(" + lay.join_inner + lay.join_sep.join(self.join) + lay.join_inner + ")"]
        if lay.blank_after_join is not None:
            lines.append(lay.blank_after_join)
        for i, t in enumerate(self.tables):
            if i > 0:
                lines.extend(t.blanks)
            decl = lay.decl_sep.join(c + " " + self.type_text(c) for c in t.cols)
            lines.append("%s(%s)" % (t.name, decl))
            for r, row in enumerate(t.rows):
                fields = []
                for j, (c, v) in enumerate(zip(t.cols, row)):
                    if self.types[c] != INT_TYPE:
                        fields.append("'" + v + "'")
                    elif t.pads is not None:
                        fields.append(t.pads[r][j][0] + v + t.pads[r][j][1])
                    else:
                        fields.append(v)
                lines.append(",".join(fields))
        return lay.eol.join(lines) + (lay.eol if lay.final_eol else "")


def value_pool(rng, code):
    """A few values for one column; tables draw from it so that rows match."""
    pool = set()
    for _ in range(rng.randint(1, 5)):
        if code == INT_TYPE:
            if rng.random() < 0.1:
                v = rng.randrange(10 ** 18, 10 ** 30)  # beyond 64 bits
            else:
                v = rng.randint(-3, 20)
            pool.add(str(-v if rng.random() < 0.15 else v))
        else:
            size = rng.randint(0, min(code, 4 if rng.random() < 0.8 else code))
            pool.add("".join(rng.choice(CHAR_ALPHABET) for _ in range(size)))
    return sorted(pool)


def generate(rng, plain):
    length = rng.randint(1, 4)
    distinct = rng.randint(1, length)
    names = rng.sample(TABLE_NAMES, distinct + (rng.random() < 0.2))
    joined, unused = names[:distinct], names[distinct:]
    join = joined + [rng.choice(joined) for _ in range(length - distinct)]
    rng.shuffle(join)

    disjoint = rng.random() < 0.15
    cols = rng.sample(COLUMN_NAMES, rng.randint(len(names) if disjoint else 1, 7))
    types = {c: INT_TYPE if rng.random() < 0.5 else rng.choice(CHAR_WIDTHS) for c in cols}
    pools = {c: value_pool(rng, types[c]) for c in cols}

    tables = []
    for i, name in enumerate(names):
        if disjoint:
            mine = cols[i::len(names)]
            tcols = rng.sample(mine, rng.randint(1, min(4, len(mine))))
        else:
            tcols = rng.sample(cols, rng.randint(1, min(4, len(cols))))
        nrows = 0 if rng.random() < 0.1 else rng.randint(1, 8)
        rows = [[rng.choice(pools[c]) for c in tcols] for _ in range(nrows)]
        if rows and rng.random() < 0.3:  # repeated rows
            for _ in range(rng.randint(1, 3)):
                rows.insert(rng.randrange(len(rows) + 1), list(rng.choice(rows)))
            del rows[8:]
        table = Table(name, tcols, rows)
        if not plain:
            table.blanks = [rng.choice(BLANK_LINES) for _ in range(1 + (rng.random() < 0.1))]
            if rng.random() < 0.2:
                table.pads = [[(rng.choice(LEFT_PADS), rng.choice(RIGHT_PADS)) for _ in tcols]
                              for _ in rows]
        tables.append(table)
    rng.shuffle(tables)
    return Case(types, tables, join, Layout(rng, plain))


def case_rng(seed, number):
    return random.Random("natjoin-sqlite-diff/%d/%d" % (seed, number))


# ---------------------------------------------------------------------------
# The sqlite3 side

MARK = "@@sqlite_diff"  # never starts a row in .mode quote


def sql_quote(value):
    return "'" + value.replace("'", "''") + "'"


def sql_for(case, tag):
    """SQL statements that print case tag's distinct rows, then its ordered rows."""
    col_id = {c: "c%d" % i for i, c in enumerate(sorted(case.types))}
    tab_id = {t.name: "s%d" % i for i, t in enumerate(case.tables)}
    out = []
    for t in case.tables:
        out.append("CREATE TABLE %s(%s);" % (tab_id[t.name], ", ".join(col_id[c] + " TEXT" for c in t.cols)))
        if t.rows:
            values = ",".join("(" + ",".join(sql_quote(v) for v in row) + ")" for row in t.rows)
            out.append("INSERT INTO %s VALUES %s;" % (tab_id[t.name], values))
    select = ", ".join(col_id[c] for c in case.result_columns())
    source = " NATURAL JOIN ".join("%s AS t%d" % (tab_id[n], k) for k, n in enumerate(case.join))
    order = ", ".join("t%d.rowid" % k for k in reversed(range(len(case.join))))
    out.append(".print %s %s distinct" % (MARK, tag))
    out.append("SELECT DISTINCT %s FROM %s;" % (select, source))
    out.append(".print %s %s ordered" % (MARK, tag))
    out.append("SELECT %s FROM %s ORDER BY %s;" % (select, source, order))
    out.append(".print %s %s end" % (MARK, tag))
    out.extend("DROP TABLE %s;" % tab_id[t.name] for t in case.tables)
    return out


def parse_quote_row(line):
    """Splits one row printed by .mode quote into its text values."""
    values, i = [], 0
    while True:
        if not line.startswith("'", i):
            raise ValueError("sqlite3 printed a value that is not text: %r" % line)
        j, chars = i + 1, []
        while True:
            k = line.index("'", j)
            chars.append(line[j:k])
            if line.startswith("''", k):
                chars.append("'")
                j = k + 2
            else:
                i = k + 1
                break
        values.append("".join(chars))
        if i == len(line):
            return tuple(values)
        if line[i] != ",":
            raise ValueError("cannot parse sqlite3 row %r" % line)
        i += 1


class SqliteError(Exception):
    pass


def run_sqlite(sqlite3, cases):
    """Returns (distinct rows, ordered rows) of each case, from one sqlite3 run."""
    script = [".bail on", ".headers off", ".mode quote"]
    for n, case in enumerate(cases):
        script.extend(sql_for(case, n))
    with tempfile.NamedTemporaryFile("w", suffix=".sqliterc") as init:
        proc = subprocess.run([sqlite3, "-batch", "-bail", "-init", init.name, ":memory:"],
                              input="\n".join(script) + "\n", capture_output=True,
                              encoding="utf-8")
    results = [None] * len(cases)
    current = None
    for line in proc.stdout.splitlines():
        if line.startswith(MARK):
            _, tag, kind = line.split(" ")
            n = int(tag)
            if kind == "distinct":
                results[n] = ([], [])
                current = results[n][0]
            elif kind == "ordered":
                current = results[n][1]
            else:
                current = None
        elif current is None:
            raise SqliteError("unexpected sqlite3 output line %r" % line)
        else:
            current.append(parse_quote_row(line))
    if proc.returncode != 0 or proc.stderr or None in results:
        done = sum(r is not None for r in results)
        raise SqliteError("sqlite3 failed (status %d) at case %d of this batch:\n%s\nits SQL:\n%s"
                          % (proc.returncode, done, proc.stderr.strip(),
                             "\n".join(sql_for(cases[min(done, len(cases) - 1)], 0))))
    return results


# ---------------------------------------------------------------------------
# The natjoin side and the comparison

NATJOIN_TIMEOUT = 10  # seconds; a case takes milliseconds


def run_natjoin(natjoin, workdir, n, text):
    path_in = os.path.join(workdir, "in%d.txt" % n)
    path_out = os.path.join(workdir, "out%d.txt" % n)
    with open(path_in, "wb") as f:
        f.write(text.encode("utf-8"))
    try:
        proc = subprocess.run([natjoin, path_in, path_out], capture_output=True,
                              timeout=NATJOIN_TIMEOUT)
        status, messages = proc.returncode, proc.stdout + proc.stderr
    except subprocess.TimeoutExpired:
        status, messages = "timeout", b""
    except OSError as e:
        status, messages = "error", str(e).encode()
    try:
        with open(path_out, "rb") as f:
            output = f.read()
    except OSError:
        output = None
    for path in (path_in, path_out):
        if os.path.exists(path):
            os.remove(path)
    return status, messages, output


class Outcome:
    def __init__(self):
        self.problems = []  # (check, message)
        self.natjoin_rows = []
        self.sqlite_rows = []
        self.sqlite_ordered = []

    def fail(self, check, message):
        self.problems.append((check, message))

    def check(self):
        return self.problems[0][0] if self.problems else None


def first_occurrences(rows):
    seen, out = set(), []
    for row in rows:
        if row not in seen:
            seen.add(row)
            out.append(row)
    return out


def compare(case, text, natjoin_result, sqlite_result):
    status, messages, output = natjoin_result
    out = Outcome()
    out.sqlite_rows, out.sqlite_ordered = sqlite_result
    if status == "timeout":
        out.fail("status", "natjoin did not finish within %d s" % NATJOIN_TIMEOUT)
        return out
    if status == "error":
        out.fail("status", "natjoin could not be run: %s" % messages.decode())
        return out
    if status != 0 or messages:
        if status < 0:
            how = "was killed by signal %s" % signal.Signals(-status).name
        else:
            how = "exited with status %d" % status
        out.fail("status", "natjoin %s and printed %r" % (how, messages.decode("utf-8", "replace")))
        return out
    if output is None:
        out.fail("status", "natjoin exited with status 0 but wrote no output file")
        return out
    try:
        output = output.decode("utf-8")
    except UnicodeDecodeError as e:
        out.fail("copy", "the output file is not UTF-8: %s" % e)
        return out

    prefix = text.replace("\r\n", "\n") + "\n\n"
    if not output.startswith(prefix):
        out.fail("copy", "the output file does not start with the copy of the input and an "
                         "empty line; it starts with %r" % output[:len(prefix) + 40])
        return out
    lines = output[len(prefix):].split("\n")
    if lines[-1] != "":
        out.fail("copy", "the output file does not end with a line end")
        return out
    header, row_lines = lines[0], lines[1:-1]
    columns = case.result_columns()
    expected_header = "result(%s)" % ", ".join(c + " " + case.type_text(c) for c in columns)
    if header != expected_header:
        out.fail("header", "header %r, expected %r" % (header, expected_header))
        return out

    quoted = [case.types[c] != INT_TYPE for c in columns]
    for line in row_lines:
        fields = line.split(",")
        if len(fields) != len(columns) or any(
                q and (len(f) < 2 or f[0] != "'" or f[-1] != "'") for q, f in zip(quoted, fields)):
            out.fail("rows", "cannot read result row %r for columns %s" % (line, columns))
            return out
        out.natjoin_rows.append(tuple(f[1:-1] if q else f for q, f in zip(quoted, fields)))

    if set(out.natjoin_rows) != set(out.sqlite_rows):
        out.fail("rows", "the result rows differ from sqlite3's")
    if len(set(row_lines)) != len(row_lines):
        out.fail("repeats", "natjoin wrote a row more than once")
    if len(set(out.sqlite_rows)) != len(out.sqlite_rows):
        out.fail("rows", "sqlite3's SELECT DISTINCT returned a row twice")
    if not out.problems and out.natjoin_rows != first_occurrences(out.sqlite_ordered):
        out.fail("order", "the rows are the same, their order is not")
    return out


def check_cases(args, workdir, cases, pool):
    texts = [c.render() for c in cases]
    futures = [pool.submit(run_natjoin, args.natjoin, workdir, n, t) for n, t in enumerate(texts)]
    sqlite_results = run_sqlite(args.sqlite3, cases)
    return [compare(c, t, f.result(), s)
            for c, t, f, s in zip(cases, texts, futures, sqlite_results)]


# ---------------------------------------------------------------------------
# Shrinking

def without_unused_tables(case):
    case.tables = [t for t in case.tables if t.name in case.join]
    return case


def drop_row(table, rows):
    del table.rows[rows]
    if table.pads is not None:
        del table.pads[rows]


def drop_column(table, j):
    table.cols = table.cols[:j] + table.cols[j + 1:]
    table.rows = [row[:j] + row[j + 1:] for row in table.rows]
    if table.pads is not None:
        table.pads = [row[:j] + row[j + 1:] for row in table.pads]


def smaller_cases(case):
    """Candidates one step smaller or plainer than case, the biggest steps first."""
    for k in range(len(case.join)):
        if len(case.join) > 1:
            c = copy.deepcopy(case)
            del c.join[k]
            yield without_unused_tables(c)
    if any(t.name not in case.join for t in case.tables):
        yield without_unused_tables(copy.deepcopy(case))
    for i, t in enumerate(case.tables):
        if len(t.rows) > 1:
            for half in (slice(None, len(t.rows) // 2), slice(len(t.rows) // 2, None)):
                c = copy.deepcopy(case)
                drop_row(c.tables[i], half)
                yield c
        for r in range(len(t.rows)):
            c = copy.deepcopy(case)
            drop_row(c.tables[i], r)
            yield c
        for j in range(len(t.cols)):
            if len(t.cols) > 1:
                c = copy.deepcopy(case)
                drop_column(c.tables[i], j)
                yield c
    plain = Layout(random.Random(0), True)
    for attr in ("eol", "final_eol", "join_sep", "join_inner", "decl_sep", "blank_after_join"):
        if getattr(case.layout, attr) != getattr(plain, attr):
            c = copy.deepcopy(case)
            setattr(c.layout, attr, getattr(plain, attr))
            yield c
    for i, t in enumerate(case.tables):
        if t.blanks != [""]:
            c = copy.deepcopy(case)
            c.tables[i].blanks = [""]
            yield c
        if t.pads is not None:
            c = copy.deepcopy(case)
            c.tables[i].pads = None
            yield c
            for r, row in enumerate(t.pads):
                for j, pad in enumerate(row):
                    if pad != ("", ""):
                        c = copy.deepcopy(case)
                        c.tables[i].pads[r][j] = ("", "")
                        yield c


def shrink(args, workdir, case, check, pool, budget=2000):
    """The smallest case found that still fails the same check."""
    for _ in range(budget):
        for candidate in smaller_cases(case):
            try:
                outcome = check_cases(args, workdir, [candidate], pool)[0]
            except SqliteError:
                continue
            if outcome.check() == check:
                case = candidate
                break
        else:
            return case
    return case


# ---------------------------------------------------------------------------
# Reporting

def show_text(text):
    shown = []
    for line in text.split("\n"):
        shown.append("    | " + line.replace("\r", "\\r").replace("\t", "\\t"))
    if text.endswith("\n"):
        shown.pop()
    else:
        shown.append("    (no line end after the last line)")
    return "\n".join(shown)


def show_rows(rows):
    if not rows:
        return "    (none)"
    return "\n".join("    " + repr(r) for r in rows)


def report(args, number, case, outcome, original):
    text = case.render()
    check = outcome.check()
    print("sqlite_diff: FAILED case %d (seed %d), check '%s'" % (number, args.seed, check))
    for name, message in outcome.problems:
        print("  %s: %s" % (name, message))
    print("  reproduce the original case: %s --natjoin %s --seed %d --case %d"
          % (sys.argv[0], args.natjoin, args.seed, number))
    print("  input%s (\\t tab, \\r carriage return):" % (" (shrunk)" if text != original else ""))
    print(show_text(text))
    print("  the same input as a Python literal: %r" % text)
    print("  result columns: %s" % ", ".join(case.result_columns()))
    if check != "status":
        print("  natjoin rows (%d, in output order):" % len(outcome.natjoin_rows))
        print(show_rows(outcome.natjoin_rows))
    print("  sqlite3 rows of its SELECT DISTINCT (%d):" % len(outcome.sqlite_rows))
    print(show_rows(sorted(outcome.sqlite_rows)))
    if check == "order":
        print("  sqlite3 rows ordered by the rowids, last table first, repeats dropped:")
        print(show_rows(first_occurrences(outcome.sqlite_ordered)))
    elif check != "status":
        nat, sql_rows = set(outcome.natjoin_rows), set(outcome.sqlite_rows)
        print("  only in natjoin:")
        print(show_rows(sorted(nat - sql_rows)))
        print("  only in sqlite3:")
        print(show_rows(sorted(sql_rows - nat)))
    names = sorted(case.types)
    print("  the sqlite3 statements (columns c0.. are %s; tables s0.. are %s):"
          % (", ".join(names), ", ".join(t.name for t in case.tables)))
    for line in sql_for(case, 0):
        print("    " + line)
    if text != original:
        print("  the original input of case %d:" % number)
        print(show_text(original))
    sys.stdout.flush()


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--natjoin", required=True, help="the natjoin binary")
    parser.add_argument("--sqlite3", default="sqlite3", help="the sqlite3 program (default: sqlite3)")
    parser.add_argument("--cases", type=int, default=500, help="number of cases (default: 500)")
    parser.add_argument("--seed", type=int, help="seed of the run (default: random)")
    parser.add_argument("--case", type=int, help="run only this case of the seed's run")
    parser.add_argument("--plain-layout", action="store_true",
                        help="write every input with single spaces, \\n line ends and empty "
                             "blank lines")
    parser.add_argument("--keep-going", action="store_true",
                        help="report every failing case instead of stopping at the first")
    parser.add_argument("--no-shrink", action="store_true", help="report failing cases as generated")
    args = parser.parse_args()

    sqlite3 = shutil.which(args.sqlite3)
    if sqlite3 is None:
        print("sqlite_diff: the sqlite3 command-line program (%s) was not found; it is the "
              "reference engine of this test. Install it with: apt-get install sqlite3"
              % args.sqlite3)
        return 1
    args.sqlite3 = sqlite3
    if not os.access(args.natjoin, os.X_OK):
        print("sqlite_diff: natjoin binary %s is not an executable file" % args.natjoin)
        return 1
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 32)
    version = subprocess.run([sqlite3, "--version"], capture_output=True, text=True).stdout.split()
    numbers = [args.case] if args.case is not None else range(args.cases)
    print("sqlite_diff: seed %d, %d case(s), %s, sqlite3 %s"
          % (args.seed, len(numbers), args.natjoin, version[0] if version else "?"))
    sys.stdout.flush()

    start = time.monotonic()
    passed = failed = 0
    jobs = max(2, min(8, os.cpu_count() or 2))
    with tempfile.TemporaryDirectory(prefix="sqlite_diff.") as workdir, \
            concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for first in range(0, len(numbers), 250):
            batch = numbers[first:first + 250]
            cases = [generate(case_rng(args.seed, n), args.plain_layout) for n in batch]
            try:
                outcomes = check_cases(args, workdir, cases, pool)
            except SqliteError as e:
                print("sqlite_diff: %s (seed %d)" % (e, args.seed))
                return 2
            for n, case, outcome in zip(batch, cases, outcomes):
                if not outcome.problems:
                    passed += 1
                    continue
                failed += 1
                original = case.render()
                if not args.no_shrink:
                    case = shrink(args, workdir, case, outcome.check(), pool)
                    outcome = check_cases(args, workdir, [case], pool)[0]
                report(args, n, case, outcome, original)
                if not args.keep_going:
                    break
            if failed and not args.keep_going:
                break
    print("sqlite_diff: %d passed, %d failed (seed %d) in %.1f s"
          % (passed, failed, args.seed, time.monotonic() - start))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
