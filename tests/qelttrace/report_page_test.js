// The HTML report in a real browser: Debian's chromium, headless, opens the
// page of a generated dump from disk (no network), and the page must draw
// every chart (the four of the records, and per pair rule its latency
// density, for the keyed one also its queue depth), mark each error on the
// delta chart at its own time and delta (as the records' JSON lines export
// has them), name no column of a table twice, show the records around a
// slow transaction and an error when their rows are clicked, with nothing
// on the console. Then the page of a dump with nothing for some charts: no
// SATAWakeup (the states chart says so) and latencies all equal (each
// density draws its one bucket); and that of a failing device: commands that
// never complete listed first, the oldest first, with the records around
// their start, the oldest's age drawn as a ramp up to its age at the end,
// the aborted commands' latencies dashed apart from the completed ones'.
// Keeps a screenshot in the build tree (doc/report.png is one of them).
//
//   node report_page_test.js QELTTRACE DUMP OUTPUT_DIR
"use strict";
const { execFileSync } = require("child_process");
const fs = require("fs");
const path = require("path");
const { withChromium, openTab, problemsOf, columnsNamedTwice, verdict } =
  require("./chromium_page");

const kCharts = 4 + 3 + 2;  // the records', the rules' densities, the keyed rule's depth and age
const kRed = [214, 39, 40];       // the errors' marks
const kFirstKind = [31, 119, 180];  // a density's first series

const failures = [];

// The page made of `dump` (run beside it, so the page is titled by its name
// and not by a path of the machine that made it: the README shows the
// screenshot), opened in a tab.
function openPage(context, qelttrace, dump, page) {
  execFileSync(qelttrace, ["--html", page, path.basename(dump)], { cwd: path.dirname(dump) });
  return openTab(context, page);
}

function clean(what, seen) {
  for (const problem of problemsOf(seen)) failures.push(what + ": " + problem);
}

// How many pixels of `colour` the canvas of chart `id` holds (-1: no canvas).
function pixels(tab, id, colour) {
  return tab.evaluate(([id, colour]) => {
    const c = document.querySelector("#" + id + " canvas");
    if (!c) return -1;
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) {
      if (d[i] === colour[0] && d[i + 1] === colour[1] && d[i + 2] === colour[2]) n++;
    }
    return n;
  }, [id, colour]);
}

// A line of a dump at `ns` nanoseconds: "%6d.%09d CODE TAG ARG".
function dumpLine(ns, rest) {
  return String(Math.floor(ns / 1e9)).padStart(6) + "." + String(ns % 1e9).padStart(9, "0") + " " +
         rest;
}

// The records that tell of trouble, as the JSON lines export has them: time
// since the first record (ns) and delta.
function errorsOf(qelttrace, dump) {
  const lines = (args) => execFileSync(qelttrace, args.concat([dump]), { maxBuffer: 1 << 30 })
    .toString().split("\n").filter((l) => l !== "").map((l) => JSON.parse(l));
  const origin = lines(["--format", "jsonl"])[0].time_ns;
  return lines(["--format", "jsonl", "--errors"]).map((r) => [r.time_ns - origin, r.delta_ns]);
}

async function generatedPage(context, qelttrace, dump, outDir) {
  const file = path.join(outDir, "report.html");
  const { tab, seen } = await openPage(context, qelttrace, dump, file);
  const charts = await tab.evaluate(() => Number(document.body.getAttribute("data-charts")));
  const canvases = await tab.evaluate(() => document.querySelectorAll(".chart canvas").length);
  // Each error at its own time: in the page's data (times as differences)
  // and where the chart draws its mark.
  const errors = errorsOf(qelttrace, dump);
  const html = fs.readFileSync(file, "utf8");
  const json = html.slice(html.indexOf("id=qelt-data>") + 13);
  const D = JSON.parse(json.slice(0, json.indexOf("</script>")));
  let at = 0;
  const data = D.errors.x.map((dx, k) => [at += dx, D.errors.y[k]]);
  if (D.errors.count !== errors.length || data.length !== Math.min(errors.length, 5000) ||
      data.some((p, k) => p[0] !== errors[k][0] || p[1] !== errors[k][1])) {
    failures.push("the errors in the page's data: " + JSON.stringify(data.slice(0, 3)) +
                  ", exported: " + JSON.stringify(errors.slice(0, 3)));
  }
  // A drawn chart has coloured pixels, not only the blank canvas; on the
  // delta chart, the pixel at each error's time and delta is its mark's red
  // (within rounding: marks that overlap blend their edges). Each canvas is
  // read once.
  const [inked, marks] = await tab.evaluate(([expected, red]) => {
    let ink = 0;
    const marks = { marked: 0, outside: 0, unmarked: [] };
    for (const c of document.querySelectorAll(".chart canvas")) {
      const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
      for (let i = 3; i < d.length; i += 4) {
        if (d[i] !== 0) { ink++; break; }
      }
      if (c.closest("#chart-delta") === null) continue;
      const u = window.qeltCharts["chart-delta"], b = u.bbox;
      for (const [ns, delta] of expected) {
        const x = Math.round(u.valToPos(ns / 1e6, "x", true));
        const y = Math.round(u.valToPos(Math.max(delta, 1), "y", true));
        if (x < b.left || x > b.left + b.width || y < b.top || y > b.top + b.height) {
          marks.outside++;
          continue;
        }
        const i = (y * c.width + x) * 4;
        if ([0, 1, 2].every((k) => Math.abs(d[i + k] - red[k]) <= 4)) {
          marks.marked++;
        } else if (marks.unmarked.length < 5) {
          marks.unmarked.push([ns, d[i], d[i + 1], d[i + 2]]);
        }
      }
    }
    return [ink, marks];
  }, [errors.slice(0, 5000), kRed]);
  const twice = await columnsNamedTwice(tab);
  await tab.screenshot({ path: path.join(outDir, "report.png"), fullPage: false });
  // The records around the slowest command, and around the first error.
  const shown = {};
  for (const [what, selector] of [["slowest", "table.slowest tr.ctx"],
                                  ["error", "tr.ctx[data-ctx=e0]"]]) {
    await tab.click(selector);
    shown[what] = await tab.evaluate((s) => {
      const panel = document.querySelector(s).closest("table").nextElementSibling;
      if (!panel || !panel.classList.contains("around")) return null;
      return { rows: panel.querySelectorAll("tr").length - 1,
               marked: panel.querySelectorAll("tr.item").length };
    }, selector);
  }
  if (charts !== kCharts) failures.push("charts drawn: " + charts + ", expected " + kCharts);
  if (canvases !== kCharts) failures.push("canvases: " + canvases);
  if (inked !== kCharts) failures.push("canvases with ink: " + inked);
  if (errors.length === 0 || marks.outside !== 0 || marks.marked !== errors.length) {
    failures.push(errors.length + " errors, marked at their times: " + JSON.stringify(marks));
  }
  if (twice.length) failures.push("a column named twice: " + twice.join(", "));
  // A command's start and end, ten records around each (with a row of dots
  // between); an error, ten records on either side.
  if (!shown.slowest || shown.slowest.marked !== 2 || shown.slowest.rows < 43) {
    failures.push("around the slowest: " + JSON.stringify(shown.slowest));
  }
  if (!shown.error || shown.error.marked !== 1 || shown.error.rows !== 21) {
    failures.push("around the first error: " + JSON.stringify(shown.error));
  }
  clean("the generated dump's page", seen);
  return errors.length;
}

// Thirty commands of 5 us and their transfers of 1 us each, no SATAWakeup.
async function sparsePage(context, qelttrace, outDir) {
  const dump = path.join(outDir, "equal.txt");
  const lines = [];
  for (let i = 0; i < 30; i++) {
    const t = 100e9 + i * 10000, id = String(i + 1).padStart(4, "0");
    lines.push(dumpLine(t, "07 1 " + id), dumpLine(t + 1000, "0 70 0200"),
               dumpLine(t + 2000, "0 71 0200"), dumpLine(t + 5000, "1 3 " + id));
  }
  fs.writeFileSync(dump, lines.join("\n") + "\n");
  const { tab, seen } = await openPage(context, qelttrace, dump, path.join(outDir, "equal.html"));
  const charts = await tab.evaluate(() => Number(document.body.getAttribute("data-charts")));
  const states = await tab.evaluate(() => document.getElementById("chart-states").textContent);
  // Drawn: the densities of the transfers and the commands, the queue depth
  // and the oldest open's age, the deltas, their density and the rate; not
  // the states.
  if (charts !== 7) failures.push("sparse page: charts drawn: " + charts + ", expected 7");
  if (!/No SATAWakeup records/.test(states)) failures.push("the states chart says: " + states);
  for (const id of ["chart-latency-0", "chart-latency-2"]) {
    const n = await pixels(tab, id, kFirstKind);
    if (n <= 0) failures.push(id + ": its one bucket is not drawn (" + n + ")");
  }
  clean("the sparse page", seen);
}

// Forty commands of kind 60, 10 us apart: one in ten never completes, one in
// ten is aborted (CompleteTransation 0), the others complete in 5 us.
async function failingPage(context, qelttrace, outDir) {
  const dump = path.join(outDir, "failing.txt");
  const lines = [];
  for (let i = 0; i < 40; i++) {
    const t = 100e9 + i * 10000, id = String(i + 1).padStart(4, "0");
    lines.push(dumpLine(t, "60 1 " + id));
    if (i % 10 === 7) lines.push(dumpLine(t + 3000, "0 3 " + id));
    else if (i % 10 !== 3) lines.push(dumpLine(t + 5000, "1 3 " + id));
  }
  fs.writeFileSync(dump, lines.join("\n") + "\n");
  const stats = JSON.parse(execFileSync(qelttrace, ["--stats=json", dump]).toString());
  const open = stats.pairs[2].open_at_end;
  const { tab, seen } = await openPage(context, qelttrace, dump, path.join(outDir, "failing.html"));
  const page = await tab.evaluate(() => {
    const D = JSON.parse(document.getElementById("qelt-data").textContent);
    const rows = Array.from(document.querySelectorAll("table.open tr.ctx"));
    const latency = window.qeltCharts["chart-latency-2"];
    // The open table comes first in its rule's section.
    const first = document.querySelector("table.open").compareDocumentPosition(
      document.getElementById("chart-latency-2")) & Node.DOCUMENT_POSITION_FOLLOWING;
    return { marks: rows.map((r) => Number(r.getAttribute("data-mark"))),
             first: first !== 0,
             age: D.rules[2].age.max.filter((v) => v >= 0),
             width: D.rules[2].age.width,
             aged: "chart-age-2" in window.qeltCharts,
             series: latency.series.slice(1).map((s) => [s.label, Array.isArray(s.dash)]) };
  });
  await tab.click("table.open tr.ctx");
  const around = await tab.evaluate(() => {
    const panel = document.querySelector("table.open").nextElementSibling;
    return panel && panel.classList.contains("around")
      ? { rows: panel.querySelectorAll("tr").length - 1,
          marked: panel.querySelectorAll("tr.item td")[0].textContent }
      : null;
  });
  // Starts of commands 4, 14, 24 and 34: records 7, 26, 45 and 64.
  if (open.count !== 4 || JSON.stringify(page.marks) !== "[7,26,45,64]" || !page.first) {
    failures.push("open at the end: " + JSON.stringify([open.count, page.marks, page.first]));
  }
  if (!around || around.marked !== "7" || around.rows !== 17) {
    failures.push("around the oldest open: " + JSON.stringify(around));
  }
  // A ramp from the oldest's start to the end: the age never falls again.
  let fall = 0;
  page.age.forEach((v, k) => { if (k > 0 && v < page.age[k - 1]) fall = k; });
  const ramp = (page.age.length - fall) * page.width >= 0.95 * open.oldest[0].age_ns;
  if (!page.aged || !ramp || page.age[page.age.length - 1] !== open.oldest[0].age_ns) {
    failures.push("the oldest open's age: " + JSON.stringify(page.age) + ", at the end " +
                  open.oldest[0].age_ns);
  }
  if (JSON.stringify(page.series) !== '[["60 1 (completed)",false],["60 0 (aborted)",true]]') {
    failures.push("latency series by outcome: " + JSON.stringify(page.series));
  }
  clean("the failing device's page", seen);
}

async function main() {
  const [qelttrace, dump, outDir] = process.argv.slice(2);
  fs.mkdirSync(outDir, { recursive: true });
  const errors = await withChromium(1200, async (context) => {
    const marked = await generatedPage(context, qelttrace, dump, outDir);
    await sparsePage(context, qelttrace, outDir);
    await failingPage(context, qelttrace, outDir);
    return marked;
  });
  verdict(failures, "ok: " + kCharts + " charts drawn, " + errors + " errors marked at their " +
          "times, records around shown, empty charts said, lone buckets drawn, open commands " +
          "listed first with their age as a ramp, aborted ones apart, console clean, " +
          "screenshot " + path.join(outDir, "report.png"));
}

main().catch((e) => { console.error("FAIL " + e); process.exit(1); });
