// The HTML report in a real browser: Debian's chromium, headless, opens the
// page from disk (no network), and the page must draw its four charts with
// nothing on the console. Keeps a screenshot in the build tree.
//
//   node report_page_test.js QELTTRACE SAMPLE OUTPUT_DIR
"use strict";
const { execFileSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

async function main() {
  const [qelttrace, sample, outDir] = process.argv.slice(2);
  fs.mkdirSync(outDir, { recursive: true });
  const page = path.join(outDir, "report.html");
  // Run beside the sample, so the page is titled by its name and not by a
  // path of the machine that made it (the README shows the screenshot).
  execFileSync(qelttrace, ["--html", page, path.basename(sample)], { cwd: path.dirname(sample) });

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
    // A drawn chart has coloured pixels, not only the blank canvas.
    const inked = await tab.evaluate(() => Array.from(document.querySelectorAll(".chart canvas"))
      .filter((c) => { const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
                       for (let i = 3; i < d.length; i += 4) if (d[i] !== 0) return true; return false; })
      .length);
    await tab.screenshot({ path: path.join(outDir, "report.png"), fullPage: false });
    const failures = [];
    if (charts !== 4) failures.push("charts drawn: " + charts + ", expected 4");
    if (canvases !== 4) failures.push("canvases: " + canvases);
    if (inked !== 4) failures.push("canvases with ink: " + inked);
    if (problems.length) failures.push("console: " + problems.join(" | "));
    if (requests.length) failures.push("network requests: " + requests.join(" "));
    if (failures.length) {
      console.error("FAIL " + failures.join("; "));
      process.exitCode = 1;
    } else {
      console.log("ok: 4 charts drawn, console clean, screenshot " + path.join(outDir, "report.png"));
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error("FAIL " + e); process.exit(1); });
