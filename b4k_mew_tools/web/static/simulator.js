// The simulator page: built once per layout of stations and ranges, then
// updated in place, so that a register being typed into keeps its text.
"use strict";

let layout = "";
let latest = null;

function contactName(area, point) {
  return area + String(Math.floor(point / 16)).padStart(3, "0") + (point % 16).toString(16).toUpperCase();
}

function registerText(value, format) {
  if (format === "int16") return String(value >= 0x8000 ? value - 0x10000 : value);
  if (format === "hex") return "0x" + value.toString(16).toUpperCase().padStart(4, "0");
  return String(value);
}

function lampRows(station, block) {
  const rows = [];
  block.words.forEach((_, offset) => {
    const word = block.start + offset;
    const lamps = [];
    for (let bit = 0; bit < 16; bit++) {
      const point = word * 16 + bit;
      const lamp = live.element("button", {
        id: `lamp-${station}-${block.area}-${point}`, title: contactName(block.area, point),
        class: bit && bit % 4 === 0 ? "lamp nibble" : "lamp",
      });
      lamp.addEventListener("click", () => live.post("contact", {
        station, area: block.area, point, value: !lamp.classList.contains("on"),
      }));
      lamps.push(lamp);
    }
    rows.push(live.element("div", { class: "word" }, [live.element("span", { class: "label", text: "W" + block.area + word }), ...lamps]));
  });
  return rows;
}

function registerTable(station, block) {
  const columns = 8;
  const table = live.element("table");
  const head = live.element("tr", {}, [live.element("th")]);
  for (let c = 0; c < columns; c++) head.append(live.element("th", { text: "+" + c }));
  table.append(head);
  for (let row = 0; row < block.values.length; row += columns) {
    const tr = live.element("tr", {}, [live.element("th", { text: block.area + (block.start + row) })]);
    for (let c = row; c < Math.min(row + columns, block.values.length); c++) {
      const index = block.start + c;
      const input = live.element("input", { id: `reg-${station}-${block.area}-${index}`, type: "text",
                                            title: block.area + index, spellcheck: "false" });
      const send = async () => {
        if (input.value === input.dataset.shown) return;
        const format = document.getElementById("format").value;
        const refused = await live.post("register", { station, area: block.area, index, text: input.value, format });
        input.classList.toggle("refused", refused !== null);
        input.title = refused || block.area + index;
        if (refused === null && document.activeElement === input) input.blur();
      };
      // Enter and leaving the cell both fire "change"; leaving shows the
      // station's value again, a refused text stays marked until then.
      input.addEventListener("change", send);
      input.addEventListener("blur", () => setTimeout(() => {
        if (document.activeElement !== input && input.dataset.shown !== undefined) input.value = input.dataset.shown;
      }, 0));
      input.addEventListener("focus", () => input.select());
      tr.append(live.element("td", {}, [input]));
    }
    table.append(tr);
  }
  return table;
}

function stationCard(state) {
  const station = state.station;
  const silent = live.element("input", { id: `silent-${station}`, type: "checkbox" });
  silent.addEventListener("change", () => live.post("silent", { station, value: silent.checked }));
  const code = live.element("input", { id: `error-${station}`, type: "text", placeholder: "none" });
  const apply = live.element("button", { id: `error-apply-${station}`, text: "apply" });
  apply.addEventListener("click", () => live.post("error_code", { station, text: code.value }));
  code.addEventListener("keydown", (event) => { if (event.key === "Enter") apply.click(); });
  const card = live.element("section", { class: "card", id: `station-${station}` }, [
    live.element("h2", {}, [`Station ${station}`, live.element("span", { class: "muted", id: `about-${station}` })]),
    live.element("div", { class: "controls" }, [
      live.element("label", {}, [silent, " silent"]),
      live.element("label", {}, ["answer with error ", code]), apply,
    ]),
  ]);
  for (const block of state.contacts) card.append(...lampRows(station, block));
  for (const block of state.registers) card.append(registerTable(station, block));
  return card;
}

function build(state) {
  const stations = document.getElementById("stations");
  stations.replaceChildren(...state.stations.map(stationCard));
}

// Only what changed is touched: a page that redraws everything a few times
// a second costs its machine, which may be the simulator's.
function setText(node, text) { if (node.textContent !== text) node.textContent = text; }

function update(state) {
  const format = document.getElementById("format").value;
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
        const row = document.getElementById(`lamp-${s.station}-${block.area}-${(block.start + offset) * 16}`).parentNode;
        if (row.dataset.word === String(word)) return;
        row.dataset.word = String(word);
        for (let bit = 0; bit < 16; bit++) {
          const point = (block.start + offset) * 16 + bit;
          document.getElementById(`lamp-${s.station}-${block.area}-${point}`).classList.toggle("on", ((word >> bit) & 1) === 1);
        }
      });
    }
    for (const block of s.registers) {
      block.values.forEach((value, offset) => {
        const input = document.getElementById(`reg-${s.station}-${block.area}-${block.start + offset}`);
        const text = registerText(value, format);
        if (document.activeElement === input || input.dataset.shown === text) return;  // typed into, or as shown
        input.classList.remove("refused");
        input.value = text;
        input.dataset.shown = text;
      });
    }
  }
  // New frames go on top; the oldest drop off the bottom.
  const frames = document.getElementById("frames");
  const shown = Number(frames.dataset.seq || 0);
  for (const f of state.frames) {
    if (f.seq <= shown) continue;
    frames.prepend(live.element("tr", {}, [
      live.element("td", { text: live.clock(f.time) }), live.element("td", { text: String(f.station) }),
      live.element("td", { text: f.command }),
      live.element("td", { text: f.answer || "(no answer)", class: f.answer ? "" : "none" }),
    ]));
    frames.dataset.seq = String(f.seq);
  }
  while (frames.rows.length > state.frames.length) frames.lastElementChild.remove();
}

function show(state) {
  latest = state;
  document.getElementById("title").textContent = "b4k-mew " + state.title;
  const shape = JSON.stringify(state.stations.map((s) => [s.station, s.contacts.map((b) => [b.area, b.start, b.words.length]),
                                                          s.registers.map((b) => [b.area, b.start, b.values.length])]));
  if (shape !== layout) { build(state); layout = shape; }
  update(state);
}

document.getElementById("format").addEventListener("change", () => { if (latest) update(latest); });
live.connect(show);
