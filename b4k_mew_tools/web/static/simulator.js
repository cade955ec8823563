// The simulator page: built once per layout of stations and ranges, then
// updated in place, so that a register being typed into keeps its text.
"use strict";

// Frames this page keeps, and shows of those that pass the filter.
const FRAMES_KEPT = 5000;
const FRAMES_SHOWN = 200;

let layout = "";
let latest = null;
let frames = [];
const cells = new Map();  // input -> [station, area, index]

function contactName(area, point) {
  return area + String(Math.floor(point / 16)).padStart(3, "0") + (point % 16).toString(16).toUpperCase();
}

function registerText(value, format) {
  if (format === "int16") return String(value >= 0x8000 ? value - 0x10000 : value);
  if (format === "hex") return "0x" + value.toString(16).toUpperCase().padStart(4, "0");
  return String(value);
}

function format() { return document.getElementById("format").value; }

// --- contacts: a grid of lamps per station, one Tab stop ----------------------------------------

function lampGrid(station, blocks) {
  const grid = live.element("div", { class: "lamps", role: "grid", "aria-label": `station ${station} contacts` });
  const rows = [];
  for (const block of blocks) {
    block.words.forEach((_, offset) => {
      const word = block.start + offset;
      const lamps = [];
      for (let bit = 0; bit < 16; bit++) {
        const point = word * 16 + bit;
        const name = contactName(block.area, point);
        const lamp = live.element("button", {
          id: `lamp-${station}-${block.area}-${point}`, type: "button", class: "lamp", title: name,
          "aria-label": name, "aria-pressed": "false", text: bit.toString(16).toUpperCase(),
        });
        lamp.addEventListener("click", () => live.post("contact", {
          station, area: block.area, point, value: lamp.getAttribute("aria-pressed") !== "true",
        }));
        lamps.push(lamp);
      }
      rows.push(lamps);
      grid.append(live.element("div", { class: "word", role: "row" }, [
        live.element("span", { class: "label", role: "rowheader", text: "W" + block.area + word }),
        live.element("div", { class: "bits" }, lamps.map((lamp) => live.element("span", { role: "gridcell" }, [lamp]))),
      ]));
    });
  }
  if (rows.length) live.grid(grid, rows);
  return grid;
}

// --- registers: a table per range, one Tab stop each ----------------------------------------------

function shownValue(input) {
  const [station, area, index] = cells.get(input);
  const s = latest && latest.stations.find((item) => item.station === station);
  const block = s && s.registers.find((b) => b.area === area && index >= b.start && index < b.start + b.values.length);
  return block ? registerText(block.values[index - block.start], format()) : input.value;
}

// Shows the station's value, unless the cell is being typed into.
function showCell(input) {
  if (input.dataset.typed) return;
  const text = shownValue(input);
  if (input.value !== text) input.value = text;
  if (input.classList.contains("refused")) {
    input.classList.remove("refused");
    input.removeAttribute("aria-invalid");
    input.title = input.getAttribute("aria-label");
  }
}

async function commit(input) {
  if (!input.dataset.typed) return;
  const [station, area, index] = cells.get(input);
  delete input.dataset.typed;
  const refused = await live.post("register", { station, area, index, text: input.value, format: format() });
  if (refused === null) return showCell(input);  // the pushed state brings the value read back
  input.classList.add("refused");
  input.setAttribute("aria-invalid", "true");
  input.title = refused;
  // Left to be mended while the cursor is in it; elsewhere the station's value shows.
  if (document.activeElement === input) input.dataset.typed = "1";
  else { const mark = input.title; showCell(input); input.title = mark; }
}

function cancel(input) {
  delete input.dataset.typed;
  showCell(input);
  input.select();
}

// Eight registers to a row; four on a narrow screen.
const narrow = window.matchMedia("(max-width: 600px)");

function registerTable(station, block) {
  const columns = Math.min(narrow.matches ? 4 : 8, block.values.length);
  const table = live.element("table", { class: "registers", role: "grid",
                                        "aria-label": `station ${station} ${block.area}${block.start}` });
  const head = live.element("tr", {}, [live.element("th")]);
  for (let c = 0; c < columns; c++) head.append(live.element("th", { text: "+" + c, scope: "col" }));
  table.append(live.element("thead", {}, [head]));
  const body = live.element("tbody");
  const rows = [];
  for (let row = 0; row < block.values.length; row += columns) {
    const tr = live.element("tr", {}, [live.element("th", { text: block.area + (block.start + row), scope: "row" })]);
    const inputs = [];
    for (let c = row; c < Math.min(row + columns, block.values.length); c++) {
      const index = block.start + c;
      const name = block.area + index;
      const input = live.element("input", { id: `reg-${station}-${block.area}-${index}`, type: "text", title: name,
                                            "aria-label": name, spellcheck: "false", autocomplete: "off",
                                            inputmode: "text" });
      cells.set(input, [station, block.area, index]);
      input.addEventListener("input", () => { input.dataset.typed = "1"; });
      input.addEventListener("keydown", (event) => {
        if (event.key === "Enter") { event.preventDefault(); commit(input); }
        else if (event.key === "Escape") { event.preventDefault(); cancel(input); live.say("", false); }
      });
      // Leaving a cell writes what was typed; Esc before it takes it back.
      input.addEventListener("blur", () => commit(input));
      input.addEventListener("focus", () => input.select());
      inputs.push(input);
      tr.append(live.element("td", {}, [input]));
    }
    rows.push(inputs);
    body.append(tr);
  }
  table.append(body);
  // The arrows move between cells unless a text is being typed (then
  // left and right move its caret).
  live.grid(table, rows, (input, key) => input.dataset.typed && (key === "ArrowLeft" || key === "ArrowRight" ||
                                                                  key === "Home" || key === "End"));
  return table;
}

function stationCard(state) {
  const station = state.station;
  const silent = live.element("input", { id: `silent-${station}`, type: "checkbox" });
  silent.addEventListener("change", () => live.post("silent", { station, value: silent.checked }));
  const code = live.element("input", { id: `error-${station}`, type: "text", placeholder: "none", inputmode: "numeric" });
  const apply = live.element("button", { id: `error-apply-${station}`, type: "button", text: "apply" });
  apply.addEventListener("click", () => live.post("error_code", { station, text: code.value }));
  code.addEventListener("keydown", (event) => { if (event.key === "Enter") apply.click(); });
  const card = live.element("section", { class: "card", id: `station-${station}`, "aria-label": `station ${station}` }, [
    live.element("h2", {}, [`Station ${station}`, live.element("span", { class: "muted", id: `about-${station}` })]),
    live.element("div", { class: "controls" }, [
      live.element("label", {}, [silent, " silent"]),
      live.element("label", {}, ["answer with error ", code]), apply,
    ]),
    lampGrid(station, state.contacts),
  ]);
  for (const block of state.registers) card.append(registerTable(station, block));
  return card;
}

function build(state) {
  cells.clear();
  document.getElementById("stations").replaceChildren(...state.stations.map(stationCard));
  const filter = document.getElementById("frames-station");
  const chosen = filter.value;
  filter.replaceChildren(live.element("option", { value: "", text: "all" }),
    ...state.stations.map((s) => live.element("option", { value: String(s.station), text: String(s.station) })));
  filter.value = chosen;
}

// Only what changed is touched: a page that redraws everything a few times
// a second costs its machine, which may be the simulator's.
function setText(node, text) { if (node.textContent !== text) node.textContent = text; }

function update(state) {
  for (const s of state.stations) {
    setText(document.getElementById(`about-${s.station}`),
      `${s.kind} · ${s.writes} write${s.writes === 1 ? "" : "s"}` +
      (s.silent ? " · silent" : s.error_code ? ` · answers error ${String(s.error_code).padStart(2, "0")}` : ""));
    const silent = document.getElementById(`silent-${s.station}`);
    if (silent.checked !== s.silent) silent.checked = s.silent;
    const code = document.getElementById(`error-${s.station}`);
    const codeText = s.error_code ? String(s.error_code) : "";
    if (document.activeElement !== code && code.value !== codeText) code.value = codeText;
    for (const block of s.contacts) {
      block.words.forEach((word, offset) => {
        const first = document.getElementById(`lamp-${s.station}-${block.area}-${(block.start + offset) * 16}`);
        const row = first.closest(".word");
        if (row.dataset.word === String(word)) return;
        row.dataset.word = String(word);
        for (let bit = 0; bit < 16; bit++) {
          const lamp = document.getElementById(`lamp-${s.station}-${block.area}-${(block.start + offset) * 16 + bit}`);
          lamp.setAttribute("aria-pressed", ((word >> bit) & 1) === 1 ? "true" : "false");
        }
      });
    }
  }
  for (const input of cells.keys()) showCell(input);
}

function show(state) {
  latest = state;
  document.getElementById("title").textContent = "b4k-mew " + state.title;
  document.title = "b4k-mew " + state.title;
  const shape = JSON.stringify(state.stations.map((s) => [s.station, s.contacts.map((b) => [b.area, b.start, b.words.length]),
                                                          s.registers.map((b) => [b.area, b.start, b.values.length])]));
  if (shape !== layout) { build(state); layout = shape; }
  update(state);
}

// --- the frames: kept here, shown newest first, filtered, paused ----------------------------------

function frameKind(f) {
  if (!f.answer) return "silence";
  return f.answer.charAt(3) === "!" ? "fault" : "";
}

function passes(f) {
  const station = document.getElementById("frames-station").value;
  if (station && String(f.station) !== station) return false;
  return !document.getElementById("frames-faults").checked || frameKind(f) !== "";
}

function frameRow(f) {
  const kind = frameKind(f);
  return live.element("tr", { class: kind }, [
    live.element("td", { text: live.clock(f.time) }), live.element("td", { text: String(f.station) }),
    live.element("td", { text: f.command }),
    live.element("td", { text: f.answer || "(no answer)" }),
  ]);
}

function paused() { return document.getElementById("frames-pause").getAttribute("aria-pressed") === "true"; }

function showFrames(added) {
  const body = document.getElementById("frames");
  const about = document.getElementById("frames-about");
  setText(about, `${frames.length} kept, newest first` + (paused() ? " · paused" : ""));
  if (paused()) return;
  const rows = (added || frames).filter(passes).slice(-FRAMES_SHOWN).reverse().map(frameRow);
  if (added) body.prepend(...rows); else body.replaceChildren(...rows);
  while (body.rows.length > FRAMES_SHOWN) body.lastElementChild.remove();
}

function addFrames(batch) {
  const last = frames.length ? frames[frames.length - 1].seq : 0;
  const added = batch.filter((f) => f.seq > last);
  frames.push(...added);
  if (frames.length > FRAMES_KEPT) frames = frames.slice(-FRAMES_KEPT);
  if (added.length) showFrames(added);
}

function restarted() {
  // Another run of the server: its frames start afresh, and so does the page.
  frames = [];
  layout = "";
  showFrames(null);
}

document.getElementById("frames-pause").addEventListener("click", (event) => {
  const button = event.currentTarget;
  const pause = button.getAttribute("aria-pressed") !== "true";
  button.setAttribute("aria-pressed", String(pause));
  button.textContent = pause ? "resume" : "pause";
  showFrames(null);
});
for (const id of ["frames-station", "frames-faults"]) {
  document.getElementById(id).addEventListener("change", () => showFrames(null));
}
document.getElementById("format").addEventListener("change", () => { if (latest) update(latest); });
narrow.addEventListener("change", () => { if (latest) { build(latest); update(latest); } });
live.connect({ onState: show, onLog: addFrames, onRun: restarted });
