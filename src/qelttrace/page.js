// The report page's charts, drawn with uPlot from the data element
// "qelt-data" that qelttrace writes: the delta of every record over time, the
// SATA state over time, the delta histogram and the records per interval.
// Sets data-charts on the body to the number drawn, for the browser test.
(function () {
  "use strict";
  var D = JSON.parse(document.getElementById("qelt-data").textContent);
  function sum(a) { var s = 0; return a.map(function (v) { s += v; return s; }); }
  function millis(a) { return sum(a).map(function (v) { return v / 1e6; }); }
  function positive(a) { return a.map(function (v) { return Math.max(v, 1); }); }
  function width() { return Math.max(400, document.body.clientWidth - 40); }
  var drawn = 0;
  function chart(id, opts, data) {
    var el = document.getElementById(id);
    opts.width = width();
    opts.height = 260;
    opts.cursor = { drag: { x: true, y: false } };
    new uPlot(opts, data, el);
    drawn++;
  }
  var xs = { time: false };
  var d = D.delta;
  if (d.x.length > 0) {
    var dx = millis(d.x);
    var series = [{ label: "ms since the first record" }];
    var data = [dx];
    if (d.y) {
      series.push({ label: "delta (ns)", stroke: "#1f77b4", points: { show: false } });
      data.push(positive(d.y));
    } else {
      series.push({ label: "max delta (ns)", stroke: "#d62728" });
      series.push({ label: "min delta (ns)", stroke: "#1f77b4" });
      data.push(positive(d.max), positive(d.min));
    }
    chart("chart-delta", { scales: { x: xs, y: { distr: 3 } }, axes: [{}, { size: 80 }],
                           series: series }, data);
  }
  var s = D.states;
  if (s.x.length > 0) {
    var names = D.stateNames;
    var sx = millis(s.x);
    var sseries = [{ label: "ms since the first record" }];
    var sdata = [sx];
    var step = uPlot.paths.stepped({ align: 1 });
    if (s.y) {
      sseries.push({ label: "state", stroke: "#2ca02c", paths: step });
      sdata.push(s.y);
    } else {
      sseries.push({ label: "highest state", stroke: "#2ca02c", paths: step });
      sseries.push({ label: "lowest state", stroke: "#9467bd", paths: step });
      sdata.push(s.max, s.min);
    }
    chart("chart-states", {
      scales: { x: xs, y: { range: [-0.5, names.length - 0.5] } },
      axes: [{}, { size: 110, splits: function () { return names.map(function (n, i) { return i; }); },
                   values: function (u, v) { return v.map(function (i) { return names[i] || ""; }); } }],
      series: sseries
    }, sdata);
  }
  var h = D.histogram;
  if (h.x.length > 0) {
    chart("chart-histogram", {
      scales: { x: { time: false, distr: 3 } }, axes: [{}, { size: 70 }],
      series: [{ label: "delta from (ns)" },
               { label: "records", stroke: "#ff7f0e", fill: "rgba(255,127,14,0.3)",
                 paths: uPlot.paths.bars({ size: [0.9, 40] }), points: { show: false } }]
    }, [positive(h.x), h.y]);
  }
  var r = D.rate;
  if (r.x.length > 0) {
    chart("chart-rate", {
      scales: { x: xs },
      series: [{ label: "ms since the first record" },
               { label: "records per " + (r.width / 1e6) + " ms", stroke: "#8c564b",
                 fill: "rgba(140,86,75,0.2)", paths: uPlot.paths.stepped({ align: 1 }) }]
    }, [millis(r.x), r.y]);
  }
  document.body.setAttribute("data-charts", String(drawn));
})();
