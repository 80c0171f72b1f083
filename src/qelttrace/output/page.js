// The report page's charts, drawn with uPlot from the data element
// "qelt-data" that qelttrace writes: per pair rule its latency density by
// kind (and outcome, the unusual ones dashed) and, for a keyed rule, the
// transactions open and the age of the oldest open over time; the delta of
// every record over time with the records that tell of trouble marked, the
// SATA state over time, the delta density and the records per interval. A
// chart with nothing to draw says so in its place. Every x series of the
// data is written as differences from the previous x. A click on a row with
// data-ctx shows the records around its item beneath it. Sets data-charts on
// the body to the number drawn, and keeps each chart by its element's id in
// window.qeltCharts, for the browser test. Its chart functions serve the
// comparison's page too (window.qeltPage).
(function () {
  "use strict";
  var D = JSON.parse(document.getElementById("qelt-data").textContent);
  var colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
                 "#7f7f7f", "#bcbd22", "#17becf"];
  function sum(a) { var s = 0; return a.map(function (v) { s += v; return s; }); }
  function millis(a) { return sum(a).map(function (v) { return v / 1e6; }); }
  function positive(a) { return a.map(function (v) { return Math.max(v, 1); }); }
  var drawn = 0;
  var charts = window.qeltCharts = {};
  function chart(id, opts, data) {
    var el = document.getElementById(id);
    if (!el) return null;
    opts.width = Math.max(360, el.clientWidth || 360);
    opts.height = 240;
    opts.cursor = { drag: { x: true, y: false } };
    var u = new uPlot(opts, data, el);
    charts[id] = u;
    drawn++;
    return u;
  }
  // In place of a chart with nothing to draw: why.
  function empty(id, why) {
    var el = document.getElementById(id);
    if (!el) return;
    var p = document.createElement("p");
    p.className = "note empty";
    p.textContent = why;
    el.appendChild(p);
  }
  var xs = { time: false };

  // A density chart of log buckets: each series' count over the bucket's
  // width, per microsecond, as a flat step from the bucket's lower bound to
  // the next bucket's (two points a bucket, so that a bucket alone, between
  // empty ones or the only one, shows as well); empty buckets draw nothing.
  function density(id, h, series, xLabel, yLabel, none) {
    if (h.x.length === 0) return empty(id, none || "Nothing to draw.");
    var x = [];
    h.x.forEach(function (low, g) { x.push(low, low + h.w[g]); });
    var data = [x.map(function (v) { return Math.max(v, 1) / 1000; })];
    var opts = [{ label: xLabel }];
    series.forEach(function (s, i) {
      var y = [];
      s.n.forEach(function (n, g) {
        var v = n > 0 ? n / h.w[g] * 1000 : null;
        y.push(v, v);
      });
      data.push(y);
      opts.push({ label: s.label, stroke: s.stroke || colours[i % colours.length], width: 1.5,
                  dash: s.dash, points: { show: false } });
    });
    return chart(id, { scales: { x: { time: false, distr: 3 }, y: { distr: 3 } },
                       axes: [{ label: xLabel }, { size: 70, label: yLabel }], series: opts },
                 data);
  }

  // Points drawn exactly ({x, y}) or reduced to a minimum and a maximum per
  // time bucket ({x, min, max}), as uPlot series.
  function minMax(s, label, colour, paths, map) {
    var f = map || function (a) { return a; };
    if (s.y) return { data: [f(s.y)], series: [{ label: label, stroke: colour, paths: paths }] };
    return { data: [f(s.max), f(s.min)],
             series: [{ label: "highest " + label, stroke: colour, paths: paths },
                      { label: "lowest " + label, stroke: "#9467bd", paths: paths }] };
  }

  // A rule's latency series: one a kind, or one a kind and outcome where
  // the transactions end in several (those of an outcome other than the
  // usual one dashed, in their kind's colour).
  function latencySeries(l) {
    var series = [];
    l.kinds.forEach(function (k, j) {
      var colour = colours[j % colours.length];
      if (!k.outcomes) {
        series.push({ label: k.kind === "" ? "transactions" : k.kind, n: k.n, stroke: colour });
        return;
      }
      k.outcomes.forEach(function (o) {
        series.push({ label: (k.kind === "" ? "" : k.kind + " ") + o.outcome, n: o.n, stroke: colour,
                      dash: o.outcome === l.usual ? undefined : [6, 4] });
      });
    });
    return series;
  }

  // The comparison's page draws its own charts with these (compare.js).
  window.qeltPage = { data: D, chart: chart, density: density, empty: empty, colours: colours,
                      drawn: function () { return drawn; } };
  if (D.comparison) return;

  D.rules.forEach(function (r, i) {
    var l = r.latency;
    density("chart-latency-" + i, l, latencySeries(l), "latency (\u00b5s)", "per \u00b5s",
            "No transaction to draw.");
    if (!r.depth || r.depth.x.length === 0) {
      empty("chart-depth-" + i, "No transaction open to draw.");
    } else {
      var step = uPlot.paths.stepped({ align: 1 });
      var per = r.depth.width / 1e6;
      chart("chart-depth-" + i, { scales: { x: xs, y: { range: function (u, lo, hi) { return [0, hi + 0.5]; } } },
        axes: [{}, { size: 50 }],
        series: [{ label: "ms since the first record" },
                 { label: "most open per " + per + " ms", stroke: "#98df8a", paths: step },
                 { label: "mean open", stroke: "#2ca02c", width: 2, paths: step,
                   fill: "rgba(44,160,44,0.15)" }] },
        [millis(r.depth.x), r.depth.max, r.depth.mean.map(function (v) { return v / 1000; })]);
    }
    // The oldest open transaction's age, the largest of each interval: a
    // command that never completes shows as a ramp.
    if (!r.age || r.age.max.every(function (v) { return v < 0; })) {
      empty("chart-age-" + i, "No transaction open to draw.");
    } else {
      chart("chart-age-" + i, { scales: { x: xs, y: { range: function (u, lo, hi) { return [0, hi * 1.05 || 1]; } } },
        axes: [{}, { size: 70 }],
        series: [{ label: "ms since the first record" },
                 { label: "oldest open's age (s), the largest per " + (r.age.width / 1e6) + " ms",
                   stroke: "#d62728", width: 1.5, points: { show: false } }] },
        [millis(r.age.x), r.age.max.map(function (v) { return v < 0 ? null : v / 1e9; })]);
    }
  });

  // The records that tell of trouble, marked at their own times and deltas
  // on the delta chart.
  var marks = D.errors;
  var markX = millis(marks.x), markY = positive(marks.y);
  function drawMarks(u) {
    var ctx = u.ctx;
    ctx.save();
    ctx.fillStyle = "#d62728";
    var b = u.bbox, r = 4 * devicePixelRatio;
    for (var k = 0; k < markX.length; k++) {
      var px = u.valToPos(markX[k], "x", true), py = u.valToPos(markY[k], "y", true);
      if (px < b.left || px > b.left + b.width || py < b.top || py > b.top + b.height) continue;
      ctx.beginPath();
      ctx.moveTo(px, py - r);
      ctx.lineTo(px + r, py + r);
      ctx.lineTo(px - r, py + r);
      ctx.fill();
    }
    ctx.restore();
  }
  var d = D.delta;
  if (d.x.length > 0) {
    var dm = minMax(d, "delta (ns)", "#1f77b4", undefined, positive);
    dm.series.forEach(function (s) { s.points = { show: false }; });
    if (!d.y) dm.series[1].stroke = "#aec7e8";
    chart("chart-delta", { scales: { x: xs, y: { distr: 3 } }, axes: [{}, { size: 95 }],
                           hooks: { draw: [drawMarks] },
                           series: [{ label: "ms since the first record" }].concat(dm.series) },
          [millis(d.x)].concat(dm.data));
  } else {
    empty("chart-delta", "No record to draw.");
  }
  var s = D.states;
  if (s.x.length === 0) {
    empty("chart-states", "No SATAWakeup records: no state to draw.");
  } else {
    var names = D.stateNames;
    var sm = minMax(s, "state", "#2ca02c", uPlot.paths.stepped({ align: 1 }));
    chart("chart-states", {
      scales: { x: xs, y: { range: [-0.5, names.length - 0.5] } },
      axes: [{}, { size: 110, splits: function () { return names.map(function (n, i) { return i; }); },
                   values: function (u, v) { return v.map(function (i) { return names[i] || ""; }); } }],
      series: [{ label: "ms since the first record" }].concat(sm.series)
    }, [millis(s.x)].concat(sm.data));
  }
  density("chart-histogram", D.histogram, [{ label: "records", n: D.histogram.n }],
          "delta (\u00b5s)", "per \u00b5s", "No delta to draw: fewer than two records decoded.");
  var r = D.rate;
  if (r.x.length === 0) {
    empty("chart-rate", "No record to draw.");
  } else {
    chart("chart-rate", {
      scales: { x: xs },
      series: [{ label: "ms since the first record" },
               { label: "records per " + (r.width / 1e6) + " ms", stroke: "#8c564b",
                 fill: "rgba(140,86,75,0.2)", paths: uPlot.paths.stepped({ align: 1 }) }]
    }, [millis(r.x), r.y]);
  }

  // The records around an item: its windows of rows, in a panel after its
  // table (time_ns left out: the time says it), a row of dots between
  // windows. Another click on the row closes it.
  var C = D.context;
  function aroundTable(ranges, marked) {
    var shownFields = [];
    C.fields.forEach(function (f, k) { if (f !== "time_ns") shownFields.push(k); });
    var shown = document.createElement("table"), head = shown.insertRow();
    shownFields.forEach(function (k) {
      var th = document.createElement("th");
      th.textContent = C.fields[k];
      head.appendChild(th);
    });
    var previous = null;
    C.rows.forEach(function (fields) {
      var inside = false;
      for (var k = 0; k < ranges.length; k += 2) {
        if (fields[0] >= ranges[k] && fields[0] <= ranges[k + 1]) inside = true;
      }
      if (!inside) return;
      if (previous !== null && fields[0] !== previous + 1) {
        var gap = shown.insertRow().insertCell();
        gap.colSpan = shownFields.length;
        gap.textContent = "\u2026 " + (fields[0] - previous - 1) + " records \u2026";
      }
      previous = fields[0];
      var tr = shown.insertRow();
      if (marked.indexOf(fields[0]) >= 0) tr.className = "item";
      shownFields.forEach(function (k) { tr.insertCell().textContent = String(fields[k]); });
    });
    return shown;
  }
  function around(row) {
    var table = row.closest("table"), panel = table.nextElementSibling;
    var open = panel && panel.classList.contains("around");
    var same = open && panel.getAttribute("data-for") === row.getAttribute("data-ctx");
    if (open) panel.remove();
    Array.prototype.forEach.call(table.querySelectorAll("tr.chosen"), function (r) {
      r.classList.remove("chosen");
    });
    var ranges = C.items[row.getAttribute("data-ctx")];
    if (same || !ranges) return;
    var marked = (row.getAttribute("data-mark") || "").split(" ").map(Number);
    panel = document.createElement("div");
    panel.className = "around";
    panel.setAttribute("data-for", row.getAttribute("data-ctx"));
    // A window not kept (the start of a transaction among too many open):
    // only the records around the others, and a word about it.
    var kept = [], lost = [];
    marked.forEach(function (m) {
      var inside = false;
      for (var k = 0; k < ranges.length; k += 2) {
        if (m >= ranges[k] && m <= ranges[k + 1]) inside = true;
      }
      (inside ? kept : lost).push(m);
    });
    var title = document.createElement("div");
    title.className = "note";
    title.textContent = "The records around record" + (kept.length > 1 ? "s " : " ") +
                        kept.join(" and ") + " (marked)" +
                        (lost.length ? "; those around record " + lost.join(" and ") +
                         " were not kept (too many transactions open at once)" : "") + ":";
    panel.appendChild(title);
    panel.appendChild(aroundTable(ranges, marked));
    table.parentNode.insertBefore(panel, table.nextSibling);
    row.classList.add("chosen");
  }
  Array.prototype.forEach.call(document.querySelectorAll("tr.ctx"), function (row) {
    row.addEventListener("click", function () { around(row); });
  });
  document.body.setAttribute("data-charts", String(drawn));
})();
