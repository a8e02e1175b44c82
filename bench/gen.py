#!/usr/bin/env python3
"""Generate natjoin benchmark workloads.

For each workload W it writes into --out:
  wN.txt        natjoin input
  wN_T.csv      table T as CSV with a header row (same values, no quotes)
  wN.sql        sqlite3 script: imports the CSVs, writes the distinct
                natural join (columns in byte order of names) to wN.sqlite.out
  wN.duckdb.sql the same query for DuckDB over read_csv of the CSVs, written
                to wN.duckdb.out
  wN.polars.json the same query for bench/polars.cjs: each CSV with its
                declared types, the columns each join step matches on, the
                result's columns and its file, wN.polars.out
Output is a pure function of --seed and --scale.
"""
import argparse
import itertools
import json
import os
import random

# 64 symbols, so each random byte maps uniformly onto one of them.
ALPHA = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_."
TABLE = bytes(ALPHA[i % 64] for i in range(256))


def strs(rng, n, lo, hi):
    """n random strings of lo..hi characters of [A-Za-z0-9_.]."""
    lens = rng.choices(range(lo, hi + 1), k=n)
    pool = rng.randbytes(sum(lens)).translate(TABLE).decode()
    out, p = [], 0
    for ln in lens:
        out.append(pool[p:p + ln])
        p += ln
    return out


def ints(rng, n, lo=-10**9, hi=10**9):
    return [rng.randint(lo, hi) for _ in range(n)]


def distinct_ints(rng, n, lo=-10**9, hi=10**9):
    return rng.sample(range(lo, hi + 1), n)


def sc(n, scale):
    return max(1, round(n * scale))


# Each workload returns (join order, [(table, [(column, type)], [column values])]).

def w1(rng, s):
    n = sc(1_000_000, s)
    ka, kb = list(range(n)), list(range(n))
    rng.shuffle(ka)
    rng.shuffle(kb)
    return ["A", "B"], [
        ("A", [("k", "int"), ("a", "char(16)")], [ka, strs(rng, n, 8, 16)]),
        ("B", [("k", "int"), ("b", "char(16)")], [kb, strs(rng, n, 8, 16)]),
    ]


def w2(rng, s):
    nf, nd = sc(1_000_000, s), sc(10_000, s)
    k1, k2 = distinct_ints(rng, nd), distinct_ints(rng, nd)
    return ["F", "D1", "D2"], [
        ("F", [("k1", "int"), ("k2", "int"), ("v", "char(10)")],
         [rng.choices(k1, k=nf), rng.choices(k2, k=nf), strs(rng, nf, 6, 10)]),
        ("D1", [("k1", "int"), ("n1", "char(12)")], [k1, strs(rng, nd, 4, 12)]),
        ("D2", [("k2", "int"), ("n2", "char(12)")], [k2, strs(rng, nd, 4, 12)]),
    ]


def w3(rng, s):
    # B: nb distinct keys. A: npair distinct (k, g) pairs with k in B, each
    # twice, plus nmiss rows whose k is not in B. Join: 2*npair rows, npair distinct.
    nb, npair, nmiss = sc(1_000, s), sc(200_000, s), sc(100_000, s)
    keys = distinct_ints(rng, 2 * nb, 0, 10**7)
    bk, miss = keys[:nb], keys[nb:]
    g = distinct_ints(rng, npair)
    rows = [(rng.choice(bk), x) for x in g] * 2
    rows += [(rng.choice(miss), x) for x in ints(rng, nmiss)]
    rng.shuffle(rows)
    return ["A", "B"], [
        ("A", [("k", "int"), ("g", "int")], [list(c) for c in zip(*rows)]),
        ("B", [("k", "int")], [bk]),
    ]


def w4(rng, s):
    n = sc(2_000, s)
    return ["A", "B"], [
        ("A", [("x", "int"), ("s", "char(8)")], [distinct_ints(rng, n), strs(rng, n, 1, 8)]),
        ("B", [("y", "int"), ("t", "char(8)")], [distinct_ints(rng, n), strs(rng, n, 1, 8)]),
    ]


def pairs(rng, n, nsecond):
    """n distinct (x, y) pairs, y among nsecond distinct values."""
    ys = distinct_ints(rng, nsecond, 0, 10**6)
    seen = set()
    while len(seen) < n:
        seen.add((rng.randint(0, 10**6), rng.choice(ys)))
    out = sorted(seen)
    rng.shuffle(out)
    return out


def mixed(rng, n, prefix, count):
    """count payload columns alternating int / char(w)."""
    cols, vals = [], []
    widths = [12, 8, 20]
    for i in range(count):
        if i % 2 == 0:
            cols.append((f"{prefix}{i + 1}", "int"))
            vals.append(ints(rng, n))
        else:
            w = widths[(i // 2) % 3]
            cols.append((f"{prefix}{i + 1}", f"char({w})"))
            vals.append(strs(rng, n, 1, w))
    return cols, vals


def w5(rng, s):
    # (a, b) unique in T1 and T2 holds each T1 key once; same for (c, d) of
    # T2 in T3. Result: exactly n rows.
    n = sc(200_000, s)
    nv = min(500, n)
    ab, cd = pairs(rng, n, nv), pairs(rng, n, nv)
    ab2 = ab[:]
    rng.shuffle(ab2)
    cd3 = cd[:]
    rng.shuffle(cd3)
    I = "int"
    p_cols, p_vals = mixed(rng, n, "p", 6)
    q_cols, q_vals = mixed(rng, n, "q", 4)
    r_cols, r_vals = mixed(rng, n, "r", 6)
    col = lambda ps, i: [p[i] for p in ps]
    return ["T1", "T2", "T3"], [
        ("T1", [("a", I), ("b", I)] + p_cols, [col(ab, 0), col(ab, 1)] + p_vals),
        ("T2", [("a", I), ("b", I), ("c", I), ("d", I)] + q_cols,
         [col(ab2, 0), col(ab2, 1), col(cd, 0), col(cd, 1)] + q_vals),
        ("T3", [("c", I), ("d", I)] + r_cols, [col(cd3, 0), col(cd3, 1)] + r_vals),
    ]


WORKLOADS = {"W1": w1, "W2": w2, "W3": w3, "W4": w4, "W5": w5}


def write_lines(f, lines, chunk=1 << 16):
    lines = iter(lines)
    while buf := list(itertools.islice(lines, chunk)):
        f.write("\n".join(buf) + "\n")


def write(out, name, order, tables):
    base = os.path.join(out, name)
    with open(base + ".txt", "w", buffering=1 << 20) as f:
        f.write(f"join({', '.join(order)})\n")
        for t, cols, vals in tables:
            f.write("\n" + t + "(" + ", ".join(f"{c} {ty}" for c, ty in cols) + ")\n")
            strcols = [[f"'{v}'" for v in vs] if ty != "int" else list(map(str, vs))
                       for (c, ty), vs in zip(cols, vals)]
            write_lines(f, map(",".join, zip(*strcols)))
    sql = ["PRAGMA temp_store=memory;", ".mode csv"]
    allcols = set()
    for t, cols, vals in tables:
        allcols.update(c for c, _ in cols)
        with open(f"{base}_{t}.csv", "w", buffering=1 << 20) as f:
            f.write(",".join(c for c, _ in cols) + "\n")
            write_lines(f, map(",".join, zip(*[list(map(str, vs)) for vs in vals])))
        decl = ", ".join(f"{c} {'INTEGER' if ty == 'int' else 'TEXT'}" for c, ty in cols)
        sql += [f"CREATE TABLE {t}({decl});", f".import --skip 1 {name}_{t}.csv {t}"]
    sel = ", ".join(sorted(allcols, key=lambda c: c.encode()))
    sql += [f".once {name}.sqlite.out",
            f"SELECT DISTINCT {sel} FROM {' NATURAL JOIN '.join(order)};"]
    with open(base + ".sql", "w") as f:
        f.write("\n".join(sql) + "\n")
    with open(base + ".duckdb.sql", "w") as f:
        f.write(duckdb_sql(name, order, tables, sel))
    with open(base + ".polars.json", "w") as f:
        json.dump(polars_plan(name, order, tables, sorted(allcols, key=lambda c: c.encode())),
                  f, indent=1)
        f.write("\n")


def duckdb_sql(name, order, tables, sel):
    """DuckDB's statement: the distinct join of the CSVs, copied to wN.duckdb.out."""
    decls = {t: cols for t, cols, _ in tables}
    seen, src = set(), ""
    for t in order:
        names = {c for c, _ in decls[t]}
        # DuckDB refuses a NATURAL JOIN without a common column; sqlite3 takes
        # it as the Cartesian product, which CROSS JOIN says outright.
        if src:
            src += " NATURAL JOIN " if names & seen else " CROSS JOIN "
        types = ", ".join(f"'{c}': '{'INTEGER' if ty == 'int' else 'VARCHAR'}'"
                          for c, ty in decls[t])
        src += f"read_csv('{name}_{t}.csv', header = true, columns = {{{types}}}) AS {t}"
        seen |= names
    return (f"COPY (SELECT DISTINCT {sel} FROM {src})\n"
            f"  TO '{name}.duckdb.out' (HEADER false);\n")


def polars_plan(name, order, tables, sel):
    """Polars' plan: the tables in join order, each with its CSV file, its
    columns' declared types and the columns it shares with those before it
    (none: a cross join), then the result's columns and file."""
    decls = {t: cols for t, cols, _ in tables}
    seen, steps = set(), []
    for t in order:
        steps.append({
            "name": t,
            "file": f"{name}_{t}.csv",
            "schema": {c: "Int64" if ty == "int" else "Utf8" for c, ty in decls[t]},
            "on": [c for c, _ in decls[t] if c in seen],
        })
        seen |= {c for c, _ in decls[t]}
    return {"tables": steps, "select": sel, "out": f"{name}.polars.out"}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--workload", default="all", help="W1..W5 or all")
    ap.add_argument("--scale", type=float, default=1.0, help="row count multiplier")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default=".")
    a = ap.parse_args()
    names = list(WORKLOADS) if a.workload.lower() == "all" else [a.workload.upper()]
    for w in names:
        if w not in WORKLOADS:
            ap.error(f"unknown workload {w}")
    os.makedirs(a.out, exist_ok=True)
    for w in names:
        # Per-workload seed: a workload does not depend on which others are generated.
        rng = random.Random(f"{a.seed}-{w}")
        order, tables = WORKLOADS[w](rng, a.scale)
        write(a.out, w.lower(), order, tables)


if __name__ == "__main__":
    main()
