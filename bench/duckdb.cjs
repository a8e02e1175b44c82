// Runs one DuckDB statement file in an in-memory database, for bench/run.
// Usage: NODE_PATH=DIR/node_modules node bench/duckdb.cjs THREADS [SQLFILE]
// THREADS is a count for SET threads, or "default" for DuckDB's own. The
// statement runs in SQLFILE's folder, so its relative paths name the files
// beside it. Without SQLFILE an empty query runs: the time of node starting
// and loading the package. Exits 1 with DuckDB's message on a failure.
'use strict';
const fs = require('fs');
const path = require('path');
const { DuckDBInstance } = require('@duckdb/node-api');

async function main(threads, file) {
  const db = await DuckDBInstance.create(':memory:');
  const con = await db.connect();
  if (threads !== 'default') await con.run(`SET threads = ${Number(threads)}`);
  if (file) {
    const sql = fs.readFileSync(file, 'utf8');
    process.chdir(path.dirname(file));
    await con.run(sql);
  } else {
    await con.run('SELECT 1 WHERE false');
  }
  con.closeSync();
  db.closeSync();
}

main(process.argv[2] || 'default', process.argv[3]).catch((e) => {
  console.error(e.message);
  process.exit(1);
});
