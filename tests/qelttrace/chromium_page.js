// What the browser tests share: Debian's chromium, headless, on a fresh
// profile and with nothing that reaches the network; a page opened from disk
// in a tab that gathers the console's problems and any request that leaves
// the machine; the tables that name a column twice; and the verdict a test
// prints.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

// Runs `use(context)` in a browser of that viewport width and gives back what
// it gives. A fresh profile each run (playwright passes it as
// --user-data-dir), removed whatever happens.
async function withChromium(width, use) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "qelt-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width, height: 900 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  try {
    return await use(context);
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// The page at `file` in a new tab, once its script has drawn the charts
// (data-charts set): { tab, seen }, `seen` gathering what goes wrong.
async function openTab(context, file) {
  const tab = await context.newPage();
  const seen = { problems: [], requests: [] };
  tab.on("console", (m) => {
    if (m.type() === "error" || m.type() === "warning") seen.problems.push(m.text());
  });
  tab.on("pageerror", (e) => seen.problems.push(String(e)));
  tab.on("request", (r) => { if (!r.url().startsWith("file:")) seen.requests.push(r.url()); });
  await tab.goto("file://" + file);
  await tab.waitForFunction(() => document.body.getAttribute("data-charts") !== null,
                            null, { timeout: 20000 });
  return { tab, seen };
}

// What a tab's `seen` holds against a clean page, a failure a line.
function problemsOf(seen) {
  const found = [];
  if (seen.problems.length) found.push("console: " + seen.problems.join(" | "));
  if (seen.requests.length) found.push("network requests: " + seen.requests.join(" "));
  return found;
}

// The heads of each table in `tab` that names a column twice, "|" between them.
function columnsNamedTwice(tab) {
  return tab.evaluate(() => Array.from(document.querySelectorAll("table"))
    .map((t) => Array.from(t.rows[0].cells).filter((c) => c.tagName === "TH").map((c) => c.textContent))
    .filter((heads) => new Set(heads).size !== heads.length).map((h) => h.join("|")));
}

// FAIL and the failures on standard error (exit status 1), or `ok` on standard output.
function verdict(failures, ok) {
  if (failures.length) {
    console.error("FAIL " + failures.join("; "));
    process.exitCode = 1;
  } else {
    console.log(ok);
  }
}

module.exports = { withChromium, openTab, problemsOf, columnsNamedTwice, verdict };
