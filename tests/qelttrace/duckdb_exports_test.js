// The exports load where engineers take them: DuckDB (the npm package
// @duckdb/node-api from the build tree) reads the CSV and the JSON lines
// export of a generated dump in place, with the types it guesses itself, and
// the counts by event and by status it finds are --stats=json's; time_ns and
// delta_ns arrive as 64-bit integers.
//
//   node duckdb_exports_test.js QELTTRACE SAMPLE WORK_DIR
"use strict";
const { execFileSync } = require("child_process");
const fs = require("fs");
const path = require("path");
const { DuckDBInstance } = require("@duckdb/node-api");

// The sample's record texts with rising times, and some junk among them.
function generatedDump(sample, records) {
  const bodies = fs.readFileSync(sample, "latin1").split("\n")
    .filter((l) => l.trim() !== "").map((l) => l.replace(/^ *\S+ /, ""));
  const lines = ["SATA history dump"];
  let sec = 1523, ns = 104233120;
  for (let i = 0; i < records; i++) {
    ns += 1000 * (1 + (i * 7919) % 997);
    while (ns >= 1e9) { ns -= 1e9; sec++; }
    const time = String(sec).padStart(6) + "." + String(ns).padStart(9, "0");
    if (i % 997 === 500) lines.push("abc " + bodies[i % bodies.length]);
    else if (i % 1999 === 1000) lines.push(time);
    else lines.push(time + " " + bodies[i % bodies.length]);
  }
  return lines.join("\r\n") + "\r\n";
}

function fail(message) {
  console.error("FAIL " + message);
  process.exitCode = 1;
}

function sameCounts(what, got, expected) {
  const a = JSON.stringify(Object.entries(got).sort());
  const b = JSON.stringify(Object.entries(expected).sort());
  if (a !== b) fail(what + ": DuckDB " + a + ", --stats=json " + b);
}

async function main() {
  const [qelttrace, sample, work] = process.argv.slice(2);
  fs.mkdirSync(work, { recursive: true });
  const dump = path.join(work, "generated.txt");
  fs.writeFileSync(dump, generatedDump(sample, 50000), "latin1");
  const run = (args) => execFileSync(qelttrace, args, { maxBuffer: 1 << 30 });
  fs.writeFileSync(path.join(work, "generated.csv"), run(["--format", "csv", dump]));
  fs.writeFileSync(path.join(work, "generated.jsonl"), run(["--format", "jsonl", dump]));
  const stats = JSON.parse(run(["--stats=json", dump]).toString());

  const expectedEvents = {};
  for (const e of stats.events) expectedEvents[e.event] = e.count;
  const expectedStatuses = {};
  for (const [status, count] of Object.entries(stats.statuses)) {
    if (count > 0) expectedStatuses[status] = count;
  }
  if (Object.keys(expectedStatuses).length < 4) fail("the dump holds too few kinds of record");

  const instance = await DuckDBInstance.create(":memory:");
  const connection = await instance.connect();
  const query = async (sql) => (await connection.runAndReadAll(sql)).getRowObjectsJson();
  for (const [kind, reader] of [["csv", "read_csv"], ["jsonl", "read_json"]]) {
    const file = path.join(work, "generated." + kind).replace(/'/g, "''");
    const source = reader + "('" + file + "')";
    const types = {};
    for (const row of await query("DESCRIBE SELECT * FROM " + source)) {
      types[row.column_name] = row.column_type;
    }
    for (const column of ["time_ns", "delta_ns"]) {
      if (types[column] !== "BIGINT") fail(kind + " " + column + " is " + types[column]);
    }
    const events = {};
    for (const row of await query("SELECT event, count(*) AS n FROM " + source +
                                  " WHERE status = 'ok' GROUP BY event")) {
      events[row.event] = Number(row.n);
    }
    sameCounts(kind + " counts by event", events, expectedEvents);
    const statuses = {};
    for (const row of await query("SELECT status, count(*) AS n FROM " + source +
                                  " GROUP BY status")) {
      statuses[row.status] = Number(row.n);
    }
    sameCounts(kind + " counts by status", statuses, expectedStatuses);
    const [total] = await query("SELECT count(*) AS n, max(record) AS last FROM " + source);
    if (Number(total.n) !== stats.records || Number(total.last) !== stats.records) {
      fail(kind + ": " + total.n + " rows, the last record " + total.last + ", --stats=json " +
           stats.records);
    }
  }
  connection.closeSync();
  if (!process.exitCode) {
    console.log("ok: CSV and JSON lines of " + stats.records + " records load into DuckDB with " +
                "the counts of --stats=json");
  }
}

main().catch((e) => { console.error("FAIL " + e); process.exit(1); });
