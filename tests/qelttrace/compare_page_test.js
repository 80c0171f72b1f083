// The comparison's page in a real browser: Debian's chromium, headless,
// opens from disk (no network) the page of qelttrace --compare on two dumps
// of the simulated bridge's generated workload, and the page must hold per
// pair rule a table of its kinds as --stats=json has them, and per row an
// overlaid chart of the two latency densities (the baseline's series grey,
// the run's in colour, both drawn) whose series hold the row's counts; the
// events, errors and states tables with a verdict or a change a row, no
// column named twice, nothing on the console. Keeps a screenshot in the
// build tree.
//
//   node compare_page_test.js QELTTRACE BASELINE RUN OUTPUT_DIR
"use strict";
const { execFileSync } = require("child_process");
const fs = require("fs");
const path = require("path");
const { withChromium, openTab, problemsOf, columnsNamedTwice, verdict } =
  require("./chromium_page");

const kVerdicts = ["slower", "more", "new", "faster", "fewer", "gone", "too few", "same"];
const kChartsMax = 64;
const kGrey = "#8c8c8c", kRunColour = "#1f77b4";

async function main() {
  const [qelttrace, baseline, run, outDir] = process.argv.slice(2);
  fs.mkdirSync(outDir, { recursive: true });
  const page = path.join(outDir, "compare.html");
  // Beside the dumps, so that the page names them and not a path of this machine.
  const cwd = path.dirname(run);
  const args = ["--compare", path.relative(cwd, baseline), path.basename(run)];
  execFileSync(qelttrace, args.concat(["--html", page]), { cwd });
  const model = JSON.parse(execFileSync(qelttrace, args.concat(["--stats=json"]), { cwd }));
  const pairs = model.changes.pairs;

  const failures = [];
  const ok = await withChromium(1400, async (context) => {
    const { tab, seen: gathered } = await openTab(context, page);
    const seen = await tab.evaluate(() => {
      const stroke = (u, i) => {
        const s = u.series[i].stroke;
        return typeof s === "function" ? s(u, i) : s;
      };
      // The count a series holds: its densities times the bars' widths.
      const count = (u, i) => {
        const x = u.data[0], y = u.data[i];
        let n = 0;
        for (let g = 0; g + 1 < x.length; g++) {
          if (y[g] !== null) n += y[g] * (x[g + 1] - x[g]);
        }
        return Math.round(n);
      };
      const rows = Array.from(document.querySelectorAll("tr[data-row]")).map((tr) => {
        const heads = Array.from(tr.closest("table").rows[0].cells).map((c) => c.textContent);
        const cell = (h) => { const i = heads.indexOf(h); return i < 0 ? null : tr.cells[i].textContent; };
        const u = window.qeltCharts[tr.getAttribute("data-row")];
        const row = { id: tr.getAttribute("data-row"), kind: cell("kind"), verdict: cell("verdict"),
                      base: Number(cell("count base")), run: Number(cell("count run")) };
        if (u) {
          const canvas = u.root.querySelector("canvas");
          const d = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
          let ink = 0;
          for (let p = 0; p < d.length; p += 4) if (d[p + 3] !== 0) ink++;
          row.chart = { series: u.series.slice(1).map((s) => s.label),
                        strokes: [stroke(u, 1), stroke(u, 2)],
                        counts: [count(u, 1), count(u, 2)], ink };
        }
        return row;
      });
      const tables = {};
      for (const h of document.querySelectorAll("h2")) {
        const t = h.nextElementSibling;
        if (t && t.tagName === "TABLE") {
          tables[h.textContent] = Array.from(t.rows).slice(1).map((r) => Array.from(r.cells).map((c) => c.textContent));
        }
      }
      return { rows, tables, charts: Number(document.body.getAttribute("data-charts")),
               canvases: document.querySelectorAll(".chart canvas").length };
    });
    const twice = await columnsNamedTwice(tab);
    await tab.screenshot({ path: path.join(outDir, "compare.png"), fullPage: false });

    // The tables hold the model's rows, in its order.
    if (seen.rows.length !== pairs.length) {
      failures.push("kind rows: " + seen.rows.length + ", --stats=json has " + pairs.length);
    }
    const drawn = Math.min(pairs.length, kChartsMax);
    if (seen.charts !== drawn || seen.canvases !== drawn) {
      failures.push("charts drawn " + seen.charts + ", canvases " + seen.canvases + ", expected " + drawn);
    }
    seen.rows.forEach((row, i) => {
      const p = pairs[i] || {};
      if (row.kind !== p.kind || row.verdict !== p.verdict || row.base !== p.baseline.count ||
          row.run !== p.run.count) {
        failures.push("row " + row.id + " " + JSON.stringify(row) + " against " + JSON.stringify(p));
      }
      if (i >= kChartsMax) return;
      const c = row.chart;
      if (!c) { failures.push("row " + row.id + ": no chart"); return; }
      if (c.series.join() !== "baseline,run") failures.push("row " + row.id + " series " + c.series);
      if (c.strokes[0] !== kGrey || c.strokes[1] !== kRunColour) {
        failures.push("row " + row.id + " strokes " + c.strokes);
      }
      if (c.counts[0] !== row.base || c.counts[1] !== row.run) {
        failures.push("row " + row.id + " drawn counts " + c.counts + ", table " + row.base + " " + row.run);
      }
      if (c.ink === 0) failures.push("row " + row.id + ": nothing drawn");
    });
    const verdictAt = { Events: 1, Errors: 2 };
    for (const [title, at] of Object.entries(verdictAt)) {
      const rows = seen.tables[title];
      if (!rows || rows.length === 0) { failures.push("no " + title + " table"); continue; }
      const wanted = title === "Events" ? model.changes.events : model.changes.errors;
      if (rows.length !== wanted.length) failures.push(title + ": " + rows.length + " rows of " + wanted.length);
      rows.forEach((r, i) => {
        if (!kVerdicts.includes(r[at]) || r[at] !== wanted[i].verdict) {
          failures.push(title + " row " + i + ": " + r.join("|"));
        }
      });
    }
    const states = seen.tables["SATA states"];
    if (!states || states.length !== model.changes.states.length ||
        states.some((r, i) => r[0] !== model.changes.states[i].state || !/^[+-]\d+\.\d$/.test(r[3]))) {
      failures.push("states: " + JSON.stringify(states));
    }
    if (twice.length) failures.push("a column named twice: " + twice.join(", "));
    failures.push(...problemsOf(gathered));
    return "ok: " + seen.rows.length + " kinds in tables, " + drawn + " overlaid charts with " +
           "both series and their counts, events, errors and states, console clean, " +
           "screenshot " + path.join(outDir, "compare.png");
  });
  verdict(failures, ok);
}

main().catch((e) => { console.error("FAIL " + e); process.exit(1); });
