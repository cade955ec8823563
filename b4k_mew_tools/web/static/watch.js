// The watch page: a row per point, its trend drawn as steps over the
// window, scrolled with the server's clock.
"use strict";

const CHART = { width: 260, height: 54, pad: 4 };
let rows = "";
// The server's clock minus this browser's, in seconds: the server sends its
// time in whole seconds, so the largest difference seen is the closest.
let offset = -Infinity;

function draw(canvas, trend, now, window) {
  const context = canvas.getContext("2d");
  context.clearRect(0, 0, canvas.width, canvas.height);
  const samples = trend.filter(([, value]) => value !== null);
  canvas.dataset.samples = String(samples.length);
  if (!samples.length) return;
  const values = samples.map(([, value]) => value);
  let low = Math.min(...values), high = Math.max(...values);
  if (low === high) { low -= 1; high += 1; }
  const start = now - window;
  const x = (t) => CHART.pad + (Math.min(Math.max(t, start), now) - start) / window * (canvas.width - 2 * CHART.pad);
  const y = (v) => canvas.height - CHART.pad - (v - low) / (high - low) * (canvas.height - 2 * CHART.pad);
  context.strokeStyle = "#2f6fd6";
  context.lineWidth = 1.5;
  context.beginPath();
  let last = null;
  for (const [time, value] of trend) {
    if (value === null) { last = null; continue; }
    if (last === null) context.moveTo(x(time), y(value));
    else { context.lineTo(x(time), y(last)); context.lineTo(x(time), y(value)); }
    last = value;
  }
  if (last !== null) context.lineTo(x(now), y(last));
  context.stroke();
  context.fillStyle = "#6b7585";
  context.font = "10px sans-serif";
  context.fillText(String(+high.toPrecision(6)), CHART.pad, 10);
  context.fillText(String(+low.toPrecision(6)), CHART.pad, canvas.height - CHART.pad);
  const span = window >= 120 ? `${+(window / 60).toFixed(1)} min` : `${window} s`;
  context.textAlign = "right";
  context.fillText("last " + span, canvas.width - CHART.pad, canvas.height - CHART.pad);
  context.textAlign = "left";
}

function build(state) {
  document.querySelector("#points tbody").replaceChildren(...state.points.map((p, i) => live.element("tr", { id: `point-${i}` }, [
    live.element("td", { text: p.name, style: "text-align: left" }),
    live.element("td", { text: p.type }),
    live.element("td", { id: `value-${i}`, style: "font-family: monospace" }),
    live.element("td", { id: `changed-${i}` }),
    live.element("td", { id: `read-${i}` }),
    live.element("td", {}, p.trend ? [live.element("canvas", { id: `trend-${i}`, class: "trend", width: CHART.width, height: CHART.height })] : []),
    live.element("td", { id: `error-${i}`, class: "error", style: "text-align: left" }),
  ])));
}

let latest = null;

function update() {
  if (!latest) return;
  const now = Date.now() / 1000 + offset;
  latest.points.forEach((p, i) => {
    document.getElementById(`value-${i}`).textContent = p.value === null ? "–" : p.value;
    document.getElementById(`changed-${i}`).textContent = live.clock(p.changed);
    document.getElementById(`read-${i}`).textContent = live.clock(p.read);
    document.getElementById(`error-${i}`).textContent = p.error || "";
    if (p.trend) draw(document.getElementById(`trend-${i}`), p.trend, now, latest.window);
  });
}

function show(state) {
  document.getElementById("title").textContent = "b4k-mew " + state.title;
  offset = Math.max(offset, state.now - Date.now() / 1000);
  const shape = JSON.stringify(state.points.map((p) => [p.name, p.type, p.trend !== null]));
  if (shape !== rows) { build(state); rows = shape; }
  latest = state;
  update();
}

setInterval(update, 1000);
live.connect(show);
