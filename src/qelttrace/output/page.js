// The report page's charts, drawn with uPlot from the data element
// "qelt-data" that qelttrace writes: per pair rule its latency density by
// kind and, for a keyed rule, the transactions open over time; the delta of
// every record over time with the records that tell of trouble marked, the
// SATA state over time, the delta density and the records per interval. A
// click on a row with data-ctx shows the records around its item beneath it.
// Sets data-charts on the body to the number drawn, for the browser test.
// Its chart functions serve the comparison's page too (window.qeltPage).
(function () {
  "use strict";
  var D = JSON.parse(document.getElementById("qelt-data").textContent);
  var colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
                 "#7f7f7f", "#bcbd22", "#17becf"];
  function sum(a) { var s = 0; return a.map(function (v) { s += v; return s; }); }
  function millis(a) { return sum(a).map(function (v) { return v / 1e6; }); }
  function positive(a) { return a.map(function (v) { return Math.max(v, 1); }); }
  var drawn = 0;
  function chart(id, opts, data) {
    var el = document.getElementById(id);
    if (!el) return null;
    opts.width = Math.max(360, el.clientWidth || 360);
    opts.height = 240;
    opts.cursor = { drag: { x: true, y: false } };
    var u = new uPlot(opts, data, el);
    drawn++;
    return u;
  }
  var xs = { time: false };

  // A density chart of log buckets: each series' count over the bucket's
  // width, per microsecond, as steps from each bucket's lower bound to the
  // next (a last point closes the last bucket); empty buckets draw nothing.
  function density(id, h, series, xLabel, yLabel) {
    if (h.x.length === 0) return;
    var x = h.x.concat([h.x[h.x.length - 1] + h.w[h.w.length - 1]]);
    var data = [x.map(function (v) { return Math.max(v, 1) / 1000; })];
    var opts = [{ label: xLabel }];
    series.forEach(function (s, i) {
      var y = s.n.map(function (n, g) { return n > 0 ? n / h.w[g] * 1000 : null; });
      y.push(null);
      data.push(y);
      opts.push({ label: s.label, stroke: s.stroke || colours[i % colours.length], width: 1.5,
                  paths: uPlot.paths.stepped({ align: 1 }), points: { show: false } });
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

  // The comparison's page draws its own charts with these (compare.js).
  window.qeltPage = { data: D, chart: chart, density: density, colours: colours,
                      drawn: function () { return drawn; } };
  if (D.comparison) return;

  D.rules.forEach(function (r, i) {
    var l = r.latency;
    density("chart-latency-" + i, l, l.kinds.map(function (k) {
      return { label: k.kind === "" ? "transactions" : k.kind, n: k.n };
    }), "latency (\u00b5s)", "per \u00b5s");
    if (r.depth && r.depth.x.length > 0) {
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
  });

  // The records that tell of trouble, marked where they fall on the delta chart.
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
  }
  var s = D.states;
  if (s.x.length > 0) {
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
          "delta (\u00b5s)", "per \u00b5s");
  var r = D.rate;
  if (r.x.length > 0) {
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
    var title = document.createElement("div");
    title.className = "note";
    title.textContent = "The records around record" + (marked.length > 1 ? "s " : " ") +
                        marked.join(" and ") + " (marked):";
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
