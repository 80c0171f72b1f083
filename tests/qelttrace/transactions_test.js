// The transactions of a generated dump counted apart from qelttrace's own
// statistics: the records as its CSV export decodes them and the records
// --errors selects are all this test takes from it; it pairs them itself
// (keyed: an end closes the open start with its key, a second start leaves
// the open one unmatched; unkeyed: one open at a time) and finds each rule's
// counts, latencies by kind and by kind and outcome, slowest, those open at
// the end (the oldest first, their ages to the last record), and the time at
// each depth. Then --stats=json and the --transactions listing, from one
// pass, must agree: counts, minimum, maximum, the slowest, the open and the
// depths exactly, means within 1 ns, percentiles exact up to 10,000
// latencies and within 1% beyond.
//
//   node transactions_test.js QELTTRACE DUMP WORK_DIR
"use strict";
const { execFileSync } = require("child_process");
const fs = require("fs");
const path = require("path");

const kTop = 20;
const rules = [
  { start: "DMA Start", end: "DMA End", key: null, kind: null, outcome: null },
  { start: "FPGA_DMARXStart", end: "FPGA_DMARXStop", key: null, kind: null, outcome: null },
  { start: "ActivateTransaction", end: "CompleteTransation", key: "argument", kind: "qualifier",
    outcome: "qualifier" },
];

let failed = 0;
function check(ok, what) {
  if (!ok) {
    console.error("FAIL " + what);
    failed++;
  }
}

// RFC 4180 rows, the header first.
function csvRows(text) {
  const rows = [];
  let row = [], field = "", quoted = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (quoted) {
      if (c === '"' && text[i + 1] === '"') { field += '"'; i++; }
      else if (c === '"') quoted = false;
      else field += c;
    } else if (c === '"') quoted = true;
    else if (c === ",") { row.push(field); field = ""; }
    else if (c === "\r" && text[i + 1] === "\n") { row.push(field); rows.push(row); row = []; field = ""; i++; }
    else field += c;
  }
  return rows;
}

// Nearest rank, as the report's percentiles are defined.
function percentile(sorted, q) {
  const rank = Math.max(1, Math.min(sorted.length, Math.ceil(q * sorted.length)));
  return sorted[rank - 1];
}

function summary(durations) {
  const sorted = durations.slice().sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
  let total = 0n;
  for (const d of sorted) total += d;
  return { count: sorted.length, min: sorted[0], max: sorted[sorted.length - 1],
           mean: Number(total) / sorted.length,
           p50: percentile(sorted, 0.5), p90: percentile(sorted, 0.9),
           p99: percentile(sorted, 0.99), p999: percentile(sorted, 0.999) };
}

function sameLatencies(what, got, exact) {
  check(got.count === exact.count, what + " count " + got.count + " != " + exact.count);
  check(BigInt(got.min_ns) === exact.min, what + " min " + got.min_ns + " != " + exact.min);
  check(BigInt(got.max_ns) === exact.max, what + " max " + got.max_ns + " != " + exact.max);
  check(Math.abs(got.mean_ns - exact.mean) <= 1, what + " mean " + got.mean_ns + " vs " + exact.mean);
  for (const p of ["p50", "p90", "p99", "p999"]) {
    const e = Number(exact[p]);
    const within = exact.count <= 10000 ? 0 : Math.max(1, e * 0.01);
    check(Math.abs(got[p + "_ns"] - e) <= within, what + " " + p + " " + got[p + "_ns"] + " vs " + e);
  }
}

// The transactions of one rule over the decoded records.
function transactionsOf(rule, records, trouble) {
  const open = new Map();  // key: {record, ns, kind}
  const out = { matched: [], unmatchedStarts: [], unmatchedEnds: 0, open: [] };
  const depth = { time: [], max: 0, started: false, since: 0n, level: 0, pending: [], pendingMax: 0 };
  const word = (r, which) => (which === "argument" ? r.argument : which === "qualifier" ? r.qualifier : "");
  for (const r of records) {
    if (r.status !== "ok" || (r.event !== rule.start && r.event !== rule.end)) continue;
    const key = word(r, rule.key);
    let matchedEnd = false;
    if (r.event === rule.start) {
      if (open.has(key)) out.unmatchedStarts.push(Object.assign({ key }, open.get(key)));
      open.set(key, { record: r.record, ns: r.ns, kind: word(r, rule.kind) });
    } else if (open.has(key)) {
      const s = open.get(key);
      open.delete(key);
      let errors = 0;
      for (let n = s.record; n <= r.record; n++) if (trouble.has(n)) errors++;
      out.matched.push({ key, kind: s.kind, start: s.record, end: r.record, startNs: s.ns,
                         duration: r.ns - s.ns, records: r.record - s.record + 1, errors,
                         outcome: word(r, rule.outcome) });
      matchedEnd = true;
    } else {
      out.unmatchedEnds++;
    }
    if (!rule.key) continue;
    // The time spent at each depth, from the first start to the last end.
    if (depth.started) depth.pending.push([depth.level, r.ns - depth.since]);
    depth.started = true;
    depth.since = r.ns;
    depth.level = open.size;
    depth.pendingMax = Math.max(depth.pendingMax, open.size);
    if (matchedEnd) {
      depth.max = Math.max(depth.max, depth.pendingMax);
      for (const [d, t] of depth.pending) depth.time[d] = (depth.time[d] || 0n) + t;
      depth.pending = [];
      depth.pendingMax = open.size;
    }
  }
  for (const [key, s] of open) {
    out.unmatchedStarts.push(Object.assign({ key }, s));
    out.open.push(Object.assign({ key }, s));
  }
  out.depth = depth;
  return out;
}

function main() {
  const [qelttrace, dump, work] = process.argv.slice(2);
  fs.mkdirSync(work, { recursive: true });
  const run = (args) => execFileSync(qelttrace, args, { maxBuffer: 1 << 30 }).toString("latin1");
  const records = csvRows(run(["--format", "csv", dump])).slice(1).map((f) => ({
    record: Number(f[0]), ns: BigInt(f[2]), event: f[4], qualifier: f[5], argument: f[6], status: f[7],
  }));
  const trouble = new Set(csvRows(run(["--errors", "--format", "csv", dump])).slice(1).map((f) => Number(f[0])));
  const listing = path.join(work, "transactions.csv");
  const stats = JSON.parse(run(["--stats=json", "--top", String(kTop), "--transactions", listing, dump]));
  check(records.length === 100000 && trouble.size > 50, "a dump of 100000 records with errors");
  const lastNs = records[records.length - 1].ns;

  const expectedRows = [];
  const left = [];
  rules.forEach((rule, i) => {
    const name = rule.start + "->" + rule.end;
    const got = stats.pairs[i];
    const t = transactionsOf(rule, records, trouble);
    check(got.start === rule.start && got.end === rule.end, name + " is rule " + i);
    check(got.count === t.matched.length, name + " count " + got.count + " != " + t.matched.length);
    check(got.unmatched_starts === t.unmatchedStarts.length, name + " unmatched starts");
    check(got.unmatched_ends === t.unmatchedEnds, name + " unmatched ends");
    check(t.matched.length > 1000, name + ": enough transactions to measure");
    sameLatencies(name, got, summary(t.matched.map((m) => m.duration)));

    // The kinds by count, each measured alone.
    const kinds = new Map();
    for (const m of t.matched) {
      if (!kinds.has(m.kind)) kinds.set(m.kind, []);
      kinds.get(m.kind).push(m.duration);
    }
    const counts = [...kinds.entries()].map(([k, d]) => [k, d.length]);
    check(JSON.stringify(got.kinds.map((k) => [k.kind, k.count]).sort()) ===
          JSON.stringify(counts.sort()), name + " kinds " + JSON.stringify(counts));
    for (let k = 1; k < got.kinds.length; k++) {
      check(got.kinds[k - 1].count >= got.kinds[k].count, name + " kinds by count");
    }
    for (const k of got.kinds) sameLatencies(name + " kind " + k.kind, k, summary(kinds.get(k.kind)));

    // The outcomes: a row per kind and outcome, in the kinds' order, then the words'.
    const outcomes = new Map();
    if (rule.outcome) {
      for (const m of t.matched) {
        const at = m.kind + "\0" + m.outcome;
        if (!outcomes.has(at)) outcomes.set(at, []);
        outcomes.get(at).push(m.duration);
      }
    }
    const order = got.kinds.map((k) => k.kind);
    const rows = [...outcomes.keys()].map((at) => at.split("\0")).sort((a, b) =>
      order.indexOf(a[0]) - order.indexOf(b[0]) || (a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0));
    check(JSON.stringify(got.outcomes.map((o) => [o.kind, o.outcome])) === JSON.stringify(rows),
          name + " outcomes " + JSON.stringify(rows));
    for (const o of got.outcomes) {
      sameLatencies(name + " kind " + o.kind + " outcome " + o.outcome, o,
                    summary(outcomes.get(o.kind + "\0" + o.outcome)));
    }
    check(!rule.outcome || rows.some((r) => r[1] === "1"), name + ": commands completed");

    // Those open at the end: the oldest first, their ages to the last record.
    const oldest = t.open.slice().sort((a, b) => (a.ns !== b.ns ? (a.ns < b.ns ? -1 : 1) :
                                                  a.record - b.record)).slice(0, kTop);
    check(JSON.stringify(got.open_at_end) === JSON.stringify({ count: t.open.length,
      oldest: oldest.map((s) => ({ key: s.key, kind: s.kind, start_record: s.record,
                                   start_ns: Number(s.ns), age_ns: Number(lastNs - s.ns) })) }),
          name + " open at the end " + JSON.stringify(got.open_at_end));

    // The slowest: longest first, the earlier start first among equals.
    const slowest = t.matched.slice().sort((a, b) =>
      a.duration !== b.duration ? (a.duration > b.duration ? -1 : 1) : a.start - b.start).slice(0, kTop);
    check(JSON.stringify(got.slowest) === JSON.stringify(slowest.map((m) => ({
      key: m.key, kind: m.kind, start_record: m.start, end_record: m.end,
      start_ns: Number(m.startNs), duration_ns: Number(m.duration) }))), name + " slowest");

    if (rule.key) {
      const time = [];
      for (let d = 0; d <= t.depth.max; d++) time.push(Number(t.depth.time[d] || 0n));
      check(got.depth.max === t.depth.max, name + " depth max " + got.depth.max + " != " + t.depth.max);
      check(JSON.stringify(got.depth.time_ns) === JSON.stringify(time), name + " time at each depth " +
            JSON.stringify(got.depth.time_ns) + " != " + JSON.stringify(time));
      const total = time.reduce((a, b) => a + b, 0);
      const mean = time.reduce((a, t2, d) => a + d * t2, 0) / total;
      check(Math.abs(got.depth.mean - mean) < 1e-5, name + " mean depth " + got.depth.mean + " vs " + mean);
      check(t.depth.max >= 4, name + ": the queue holds several at once");
    } else {
      check(got.depth === undefined, name + " is unkeyed: no depth");
    }
    for (const m of t.matched) {
      expectedRows.push({ end: m.end, rule: i, row: [name, m.key, m.kind, m.start, m.end, m.startNs,
                                                     m.duration, m.records, m.errors, m.outcome].join(",") });
    }
    for (const s of t.unmatchedStarts) {
      left.push({ start: s.record, rule: i, row: [name, s.key, s.kind, s.record, "", s.ns, "", "", "", ""].join(",") });
    }
  });

  // The listing: as the transactions end (of one record, in rule order),
  // then the unmatched starts in start order.
  expectedRows.sort((a, b) => a.end - b.end || a.rule - b.rule);
  left.sort((a, b) => a.start - b.start || a.rule - b.rule);
  const expected = ["rule,key,kind,start_record,end_record,start_ns,duration_ns,records,errors,outcome"]
    .concat(expectedRows.map((r) => r.row), left.map((r) => r.row));
  const got = fs.readFileSync(listing, "latin1").split("\r\n");
  check(got.pop() === "", "the listing ends its last row");
  let first = -1;
  for (let i = 0; i < Math.max(got.length, expected.length) && first < 0; i++) {
    if (got[i] !== expected[i]) first = i;
  }
  check(first < 0, "the listing: row " + first + " is " + got[first] + ", expected " + expected[first]);
  check(expectedRows.some((r) => !/,0,[^,]*$/.test(r.row)), "some transactions hold errors");

  if (failed === 0) {
    console.log("ok: " + expectedRows.length + " transactions, " + left.length +
                " unmatched starts, every figure as counted apart");
  } else {
    process.exitCode = 1;
  }
}

main();
