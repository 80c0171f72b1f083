// The comparison's page: per pair rule and kind, the latency densities of
// the baseline (grey) and of the run (in colour) overlaid, drawn with the
// report page's functions (page.js, run before this, leaves them in
// window.qeltPage) from D.comparison.latency: each chart's bars (x, w) and
// the two sides' counts in them. The uPlot instances stay in
// window.qeltCharts by the id of their table row, for the browser test; the
// body's data-charts is the number drawn.
(function () {
  "use strict";
  var P = window.qeltPage;
  var charts = {};
  P.data.comparison.latency.forEach(function (c) {
    charts[c.id] = P.density("chart-compare-" + c.id, c,
      [{ label: "baseline", n: c.baseline, stroke: "#8c8c8c" },
       { label: "run", n: c.run, stroke: P.colours[0] }],
      "latency (\u00b5s)", "per \u00b5s");
  });
  window.qeltCharts = charts;
  document.body.setAttribute("data-charts", String(P.drawn()));
})();
