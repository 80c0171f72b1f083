// The HTML report in a real browser: Debian's chromium, headless, opens the
// page of a generated dump from disk (no network), and the page must draw
// every chart (the four of the records, and per pair rule its latency
// density, for the keyed one also its queue depth), mark the errors on the
// delta chart, name no column of a table twice, show the records around a
// slow transaction and an error when their rows are clicked, with nothing
// on the console. Keeps a screenshot in the build tree (doc/report.png is
// one of them).
//
//   node report_page_test.js QELTTRACE DUMP OUTPUT_DIR
"use strict";
const { execFileSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

const kCharts = 4 + 3 + 1;

async function main() {
  const [qelttrace, dump, outDir] = process.argv.slice(2);
  fs.mkdirSync(outDir, { recursive: true });
  const page = path.join(outDir, "report.html");
  // Run beside the dump, so the page is titled by its name and not by a
  // path of the machine that made it (the README shows the screenshot).
  execFileSync(qelttrace, ["--html", page, path.basename(dump)], { cwd: path.dirname(dump) });

  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "qelt-chromium-"));
  // A fresh profile each run (playwright passes it as --user-data-dir).
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width: 1200, height: 900 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const problems = [];
  const requests = [];
  const failures = [];
  try {
    const tab = await context.newPage();
    tab.on("console", (m) => { if (m.type() === "error" || m.type() === "warning") problems.push(m.text()); });
    tab.on("pageerror", (e) => problems.push(String(e)));
    tab.on("request", (r) => { if (!r.url().startsWith("file:")) requests.push(r.url()); });
    await tab.goto("file://" + page);
    await tab.waitForFunction(() => document.body.getAttribute("data-charts") !== null,
                              null, { timeout: 20000 });
    const charts = await tab.evaluate(() => Number(document.body.getAttribute("data-charts")));
    const canvases = await tab.evaluate(() => document.querySelectorAll(".chart canvas").length);
    // A drawn chart has coloured pixels, not only the blank canvas; the
    // delta chart has the errors' red marks (each canvas read once).
    const [inked, marks] = await tab.evaluate(() => {
      let ink = 0, red = 0;
      for (const c of document.querySelectorAll(".chart canvas")) {
        const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
        const delta = c.closest("#chart-delta") !== null;
        let any = false;
        for (let i = 0; i < d.length; i += 4) {
          if (d[i + 3] !== 0) any = true;
          if (delta && d[i] === 214 && d[i + 1] === 39 && d[i + 2] === 40) red++;
        }
        if (any) ink++;
      }
      return [ink, red];
    });
    const twice = await tab.evaluate(() => Array.from(document.querySelectorAll("table"))
      .map((t) => Array.from(t.rows[0].cells).filter((c) => c.tagName === "TH").map((c) => c.textContent))
      .filter((heads) => new Set(heads).size !== heads.length).map((h) => h.join("|")));
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
    if (marks === 0) failures.push("no error marked on the delta chart");
    if (twice.length) failures.push("a column named twice: " + twice.join(", "));
    // A command's start and end, ten records around each (with a row of dots
    // between); an error, ten records on either side.
    if (!shown.slowest || shown.slowest.marked !== 2 || shown.slowest.rows < 43) {
      failures.push("around the slowest: " + JSON.stringify(shown.slowest));
    }
    if (!shown.error || shown.error.marked !== 1 || shown.error.rows !== 21) {
      failures.push("around the first error: " + JSON.stringify(shown.error));
    }
    if (problems.length) failures.push("console: " + problems.join(" | "));
    if (requests.length) failures.push("network requests: " + requests.join(" "));
    if (failures.length) {
      console.error("FAIL " + failures.join("; "));
      process.exitCode = 1;
    } else {
      console.log("ok: " + kCharts + " charts drawn, errors marked, records around shown, console " +
                  "clean, screenshot " + path.join(outDir, "report.png"));
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error("FAIL " + e); process.exit(1); });
