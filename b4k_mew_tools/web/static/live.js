// What both live views share: the event stream with its reconnects, posting
// a change, and the line that says what became of it.
"use strict";

const live = {
  // Calls onState with every state the server sends; shows whether the
  // stream is up. The browser reconnects a dropped stream by itself.
  connect(onState) {
    const link = document.getElementById("link");
    const source = new EventSource("events");
    source.onopen = () => { link.textContent = "live"; link.className = "live"; };
    source.onerror = () => { link.textContent = "reconnecting"; link.className = ""; };
    source.onmessage = (event) => onState(JSON.parse(event.data));
  },

  // Posts a change; resolves to null when made, to the server's message
  // when refused (shown too).
  async post(action, request) {
    let reply;
    try {
      const response = await fetch("api/" + action, {
        method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(request),
      });
      reply = await response.json();
    } catch (error) {
      reply = { error: "the server cannot be reached: " + error };
    }
    if (reply.error) { live.say(reply.error, true); return reply.error; }
    live.say(reply.message || "done", false);
    return null;
  },

  say(text, refused) {
    const line = document.getElementById("message");
    line.textContent = text;
    line.className = refused ? "refused" : "done";
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
};
