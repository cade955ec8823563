// The watch page: a card per point with its value, its age when it is not
// live, and its trend over the window (steps for numbers, an on/off
// timeline for contacts) with a time axis and the value under the pointer.
// The trends are kept here: the server sends the window once, then only
// new samples.
"use strict";

const PAD = { left: 4, right: 4, top: 12, bottom: 14 };
const TREND_SAMPLES = 600;  // as the server thins
let shape = "";
let latest = null;
let trends = {};
// The server's clock minus this browser's, in seconds: the server sends its
// time in whole seconds, so the largest difference seen is the closest.
let offset = -Infinity;
// Where the charts end: now while the stream is up, the last state's time
// once it is down (nothing after it is known).
let frozen = null;

function addSample(name, time, value) {
  const trend = trends[name] || (trends[name] = []);
  if (trend.length && trend[trend.length - 1][1] === value) return;
  const spacing = (latest ? latest.window : 300) / TREND_SAMPLES;
  if (trend.length > 1 && time - trend[trend.length - 2][0] < spacing) trend[trend.length - 1] = [time, value];
  else trend.push([time, value]);
}

function trim(now, window) {
  for (const trend of Object.values(trends)) {
    let cut = 0;
    while (cut + 1 < trend.length && trend[cut + 1][0] <= now - window) cut++;
    if (cut) trend.splice(0, cut);
  }
}

function onLog(batch) {
  if (batch.reset) trends = {};
  for (const [name, time, value] of batch.samples) addSample(name, time, value);
  draw();
}

function niceStep(window) {
  for (const step of [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200]) {
    if (window / step <= 5) return step;
  }
  return 86400;
}

function valueAt(trend, time) {
  let found = null;
  for (const sample of trend) { if (sample[0] <= time) found = sample; else break; }
  return found;
}

function drawChart(canvas, p, now) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio)) { canvas.width = Math.round(width * ratio); canvas.height = Math.round(height * ratio); }
  const span = latest.window;
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  context.clearRect(0, 0, width, height);
  const trend = trends[p.name] || [];
  const samples = trend.filter(([, value]) => value !== null);
  canvas.dataset.samples = String(samples.length);
  canvas.dataset.gaps = String(trend.filter(([, value]) => value === null).length);
  const start = now - span;
  const x = (t) => PAD.left + (Math.min(Math.max(t, start), now) - start) / span * (width - PAD.left - PAD.right);
  // The time axis: ticks at round times, labelled.
  context.font = "10px sans-serif";
  context.fillStyle = "#5b6473";
  context.strokeStyle = "#e1e5ea";
  const step = niceStep(span);
  for (let tick = Math.ceil(start / step) * step; tick <= now; tick += step) {
    context.beginPath(); context.moveTo(x(tick), PAD.top); context.lineTo(x(tick), height - PAD.bottom); context.stroke();
    const label = live.clock(tick).slice(step >= 60 ? 0 : 3, step >= 60 ? 5 : 8);
    context.textAlign = x(tick) < 20 ? "left" : x(tick) > width - 20 ? "right" : "center";
    context.fillText(label, x(tick), height - 3);
  }
  context.textAlign = "left";
  const bottom = height - PAD.bottom, top = PAD.top;
  if (p.trend === "timeline") {
    // On: a filled dark band; off: a thin line; unknown (outage): nothing.
    for (let i = 0; i < trend.length; i++) {
      const [time, value] = trend[i];
      if (value === null) continue;
      const end = i + 1 < trend.length ? trend[i + 1][0] : now;
      context.fillStyle = value ? "#1b7a34" : "#8a8f98";
      if (value) context.fillRect(x(time), top + 4, Math.max(1, x(end) - x(time)), bottom - top - 8);
      else context.fillRect(x(time), (top + bottom) / 2 - 1, Math.max(1, x(end) - x(time)), 2);
    }
    context.fillStyle = "#5b6473";
    context.fillText("on/off", PAD.left, 10);
  } else if (samples.length) {
    const values = samples.map(([, value]) => value);
    let low = Math.min(...values), high = Math.max(...values);
    if (low === high) { low -= 1; high += 1; }
    const y = (v) => bottom - (v - low) / (high - low) * (bottom - top);
    context.strokeStyle = "#1a56c4";
    context.lineWidth = 1.5;
    context.beginPath();
    let last = null;
    for (let i = 0; i < trend.length; i++) {
      const [time, value] = trend[i];
      if (value === null) { last = null; continue; }  // an outage: a gap
      if (last === null) context.moveTo(x(time), y(value));
      else { context.lineTo(x(time), y(last)); context.lineTo(x(time), y(value)); }
      last = value;
      const next = i + 1 < trend.length ? trend[i + 1][0] : now;
      if (i + 1 === trend.length || trend[i + 1][1] === null) context.lineTo(x(next), y(value));
    }
    context.stroke();
    context.fillStyle = "#5b6473";
    context.fillText(String(+high.toPrecision(6)), PAD.left, 10);
    context.fillText(String(+low.toPrecision(6)), PAD.left, bottom - 2);
  }
  // The pointer's time and the value then.
  const hover = Number(canvas.dataset.hover);
  const text = document.getElementById(`hover-${canvas.dataset.index}`);
  if (canvas.dataset.hover) {
    const time = start + (hover - PAD.left) / (width - PAD.left - PAD.right) * span;
    context.strokeStyle = "#1d2430";
    context.beginPath(); context.moveTo(hover, top); context.lineTo(hover, bottom); context.stroke();
    const sample = valueAt(trend, time);
    const shown = sample === null || time > now ? "–" : sample[1] === null ? "no answer" :
      p.trend === "timeline" ? (sample[1] ? "on" : "off") : String(+sample[1].toPrecision(8));
    text.textContent = `${live.clock(time)}  ${shown}${p.unit && sample && sample[1] !== null && p.trend !== "timeline" ? " " + p.unit : ""}`;
  } else {
    text.textContent = "";
  }
}

function card(p, i) {
  const canvas = live.element("canvas", { id: `trend-${i}`, class: "trend", "data-index": String(i),
                                          role: "img", "aria-label": `trend of ${p.label || p.name}` });
  const pointer = (event) => {
    canvas.dataset.hover = String(event.clientX - canvas.getBoundingClientRect().left);
    draw();
  };
  canvas.addEventListener("mousemove", pointer);
  canvas.addEventListener("mouseleave", () => { delete canvas.dataset.hover; draw(); });
  return live.element("section", { class: "point", id: `point-${i}`, "aria-label": p.label || p.name }, [
    live.element("div", { class: "head" }, [
      live.element("span", { class: "name", text: p.label || p.name }),
      live.element("span", { class: "muted", text: (p.label ? p.name + " · " : "") + p.type }),
      live.element("span", { class: "value", id: `value-${i}` }),
    ]),
    live.element("div", { class: "meta" }, [
      live.element("span", {}, ["changed ", live.element("span", { id: `changed-${i}` })]),
      live.element("span", {}, ["read ", live.element("span", { id: `read-${i}` })]),
      live.element("span", { class: "age", id: `age-${i}` }),
    ]),
    live.element("div", { class: "error", id: `error-${i}`, role: "status" }),
    canvas,
    live.element("div", { class: "hover", id: `hover-${i}` }),
  ]);
}

function draw() {
  if (!latest) return;
  const now = frozen !== null ? frozen : Date.now() / 1000 + offset;
  trim(now, latest.window);
  latest.points.forEach((p, i) => {
    const value = document.getElementById(`value-${i}`);
    const text = p.value === null ? "–" : p.value + (p.unit ? " " + p.unit : "");
    if (value.textContent !== text) value.textContent = text;
    document.getElementById(`changed-${i}`).textContent = live.clock(p.changed) || "–";
    document.getElementById(`read-${i}`).textContent = live.clock(p.read) || "–";
    // Not live: the station fails, or the stream is down. Greyed, with the
    // age of the last good read.
    const stale = p.error !== null || frozen !== null;
    value.classList.toggle("stale", stale);
    const age = document.getElementById(`age-${i}`);
    age.textContent = stale && p.read ? `${live.age(Date.now() / 1000 + offset - p.read)} old` : "";
    document.getElementById(`error-${i}`).textContent = p.error || "";
    drawChart(document.getElementById(`trend-${i}`), p, now);
  });
}

function show(state) {
  frozen = null;
  document.getElementById("title").textContent = "b4k-mew " + state.title;
  document.title = "b4k-mew " + state.title;
  offset = Math.max(offset, state.now - Date.now() / 1000);
  const layout = JSON.stringify(state.points.map((p) => [p.name, p.label, p.type, p.trend]));
  latest = state;
  if (layout !== shape) {
    document.getElementById("points").replaceChildren(...state.points.map(card));
    shape = layout;
  }
  draw();
}

function stopped() {
  if (latest && frozen === null) frozen = live.lastState / 1000 + offset;
  draw();
}

setInterval(() => { if (frozen === null || !live.up) draw(); }, 1000);
live.connect({ onState: show, onLog, onRun: () => { trends = {}; }, onStale: stopped });
