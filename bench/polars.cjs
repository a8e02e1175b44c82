// Runs one workload's join in Polars, for bench/run.
// Usage: NODE_PATH=DIR/node_modules node bench/polars.cjs THREADS [PLANFILE]
// THREADS is the size of Polars' thread pool, or "default" for Polars' own.
// PLANFILE (wN.polars.json from bench/gen.py) names the tables' CSV files
// with their declared types, the columns each join step matches on, the
// result's columns and its file, all relative to PLANFILE's folder. Without
// PLANFILE Polars loads and nothing runs: the time of node starting and
// loading the package. Exits 1 with Polars' message on a failure.
'use strict';
const fs = require('fs');
const path = require('path');

const threads = process.argv[2] || 'default';
// Polars sizes its pool from the environment once, when the package loads;
// "default" drops a size that the caller's environment may hold.
if (threads === 'default') delete process.env.POLARS_MAX_THREADS;
else process.env.POLARS_MAX_THREADS = String(Number(threads));
const pl = require('nodejs-polars');

// scan(table): the lazy frame of table's CSV file, every column read with
// its declared type (nothing inferred, so "0.10" stays "0.10").
function scan(table) {
  const schema = {};
  for (const [name, type] of Object.entries(table.schema)) schema[name] = pl[type];
  // An empty field of a string column is the empty string, as in the input.
  return pl.scanCSV(table.file, { hasHeader: true, schema, missingUtf8IsEmptyString: true });
}

// run(plan): the distinct join of plan's tables in order, its columns in
// plan.select's order, written to plan.out as CSV without a header.
// Sinking the lazy query runs it on Polars' streaming engine, which took
// less time than collecting the frame and writing it on every workload.
function run(plan) {
  let df = scan(plan.tables[0]);
  for (const table of plan.tables.slice(1)) {
    // No common column: every pair of rows, as a natural join has it.
    const opts = table.on.length ? { on: table.on, how: 'inner' } : { how: 'cross' };
    df = df.join(scan(table), opts);
  }
  df.unique().select(plan.select).sinkCSV(plan.out, { includeHeader: false }).collectSync();
}

function main(file) {
  if (!file) return;
  const plan = JSON.parse(fs.readFileSync(file, 'utf8'));
  process.chdir(path.dirname(file));
  run(plan);
}

try {
  main(process.argv[3]);
} catch (e) {
  console.error(e.message);
  process.exit(1);
}
