// What both live views share: the event stream with its reconnects, the
// banner that says when the server stopped, posting a change, the line that
// says what became of it, and moving through a grid with the arrow keys.
"use strict";

const live = {
  // The time of the last state the server sent, in this browser's clock.
  lastState: 0,
  // Whether the stream is up: while it is not, everything shown is as it
  // was at lastState, and the page says so.
  up: false,

  // Calls onState with every state the server sends and onLog with every
  // batch of its log (frames, samples); onRun when the server is another
  // run than the one shown (restarted), before its first state. The browser
  // reconnects a dropped stream by itself.
  connect({ onState, onLog, onRun, onStale }) {
    const link = document.getElementById("link");
    let run = null;
    const source = new EventSource("events");
    const stale = () => {
      live.up = false;
      link.textContent = source.readyState === EventSource.CLOSED ? "stopped" : "reconnecting";
      link.className = "down";
      document.body.classList.add("stale");
      live.banner(`The server stopped answering${live.lastState ? " at " + live.clock(live.lastState / 1000).slice(0, 8) : ""}: ` +
                  "the values shown are as they were then" +
                  (source.readyState === EventSource.CLOSED ? "." : "; trying again."));
      if (onStale) onStale();
    };
    source.onopen = () => {
      live.up = true;
      link.textContent = "live";
      link.className = "live";
      document.body.classList.remove("stale");
      live.banner("");
      // A failed post's "cannot be reached" is no longer true.
      const line = document.getElementById("message");
      if (line.dataset.unreachable) live.say("", false);
    };
    source.onerror = stale;
    source.onmessage = (event) => {
      const state = JSON.parse(event.data);
      live.lastState = Date.now();
      if (state.run !== run) { if (run !== null && onRun) onRun(); run = state.run; }
      onState(state);
    };
    if (onLog) source.addEventListener("log", (event) => onLog(JSON.parse(event.data)));
  },

  banner(text) {
    const banner = document.getElementById("banner");
    banner.textContent = text;
    banner.hidden = !text;
  },

  // Posts a change; resolves to null when made, to the server's message
  // when refused (shown too).
  async post(action, request) {
    let reply;
    let unreachable = false;
    try {
      const response = await fetch("api/" + action, {
        method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(request),
      });
      reply = await response.json();
    } catch (error) {
      reply = { error: "the server cannot be reached: " + error.message };
      unreachable = true;
    }
    if (reply.error) { live.say(reply.error, true, unreachable); return reply.error; }
    live.say(reply.message || "done", false);
    return null;
  },

  say(text, refused, unreachable = false) {
    const line = document.getElementById("message");
    line.textContent = text;
    line.className = text ? (refused ? "refused" : "done") : "";
    if (unreachable) line.dataset.unreachable = "1"; else delete line.dataset.unreachable;
  },

  element(tag, attributes = {}, children = []) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) {
      if (name === "text") node.textContent = value;
      else node.setAttribute(name, value);
    }
    for (const child of children) node.append(child);
    return node;
  },

  clock(seconds) {
    if (!seconds) return "";
    const date = new Date(seconds * 1000);
    return date.toTimeString().slice(0, 8) + "." + String(date.getMilliseconds()).padStart(3, "0");
  },

  age(seconds) {
    if (seconds < 90) return `${Math.max(0, Math.round(seconds))} s`;
    if (seconds < 5400) return `${Math.round(seconds / 60)} min`;
    return `${Math.round(seconds / 3600)} h`;
  },

  // One Tab stop for a grid of cells (rows of elements): the arrow keys,
  // Home and End move the stop; ``free(cell, key)`` says whether the cell
  // keeps a key for itself (the caret of a text being typed).
  grid(container, rows, free = () => false) {
    const cells = rows.flat();
    cells.forEach((cell, i) => { cell.tabIndex = i === 0 ? 0 : -1; });
    const moveTo = (cell) => {
      for (const other of cells) other.tabIndex = -1;
      cell.tabIndex = 0;
      cell.focus();
    };
    container.addEventListener("focusin", (event) => {
      if (cells.includes(event.target)) { for (const other of cells) other.tabIndex = -1; event.target.tabIndex = 0; }
    });
    container.addEventListener("keydown", (event) => {
      const r = rows.findIndex((row) => row.includes(event.target));
      if (r < 0 || free(event.target, event.key)) return;
      const c = rows[r].indexOf(event.target);
      const to = { ArrowLeft: [r, c - 1], ArrowRight: [r, c + 1], ArrowUp: [r - 1, c], ArrowDown: [r + 1, c],
                   Home: [r, 0], End: [r, rows[r].length - 1] }[event.key];
      if (!to) return;
      event.preventDefault();
      const row = rows[Math.min(Math.max(to[0], 0), rows.length - 1)];
      moveTo(row[Math.min(Math.max(to[1], 0), row.length - 1)]);
    });
  },
};
