// The station's screen: draws the station's events as they come (Server-Sent Events from
// /events). Every text that came from the station (port names, file names, a device's replies)
// is set with textContent: shown as text, never read as markup.
"use strict";

const RECORDS_SHOWN = 50;
const RETRY_MS = 2000;

const STATES = {
  empty: "EMPTY",
  board: "BOARD IN",
  flashing: "FLASHING",
  passed: "PASSED",
  failed: "FAILED",
  interrupted: "INTERRUPTED",
};

const STEP_WORDS = {
  read_file: "reading the file",
  open_link: "opening the port",
  start: "start",
  program: "programming",
  verify: "verifying",
  end: "end",
  close_link: "closing the port",
};

let model = null;
let source = null;
let drawPending = false;

function newModel() {
  return { slots: new Map(), tallies: null, image: null, stopped: null, records: [] };
}

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function slotOf(position, port) {
  let slot = model.slots.get(position);
  if (!slot) {
    slot = { position, port: port || "", location: "", state: "empty", board: null, serial: null,
             step: null, pass: null, done: 0, total: 0, last: null, node: null };
    model.slots.set(position, slot);
  }
  if (port && !slot.port) slot.port = port;
  return slot;
}

function resultState(result) {
  if (result.success) return "passed";
  return result.layer === "interrupted" ? "interrupted" : "failed";
}

function apply(e) {
  switch (e.event) {
    case "station_started":
      model = newModel();
      model.image = e.image || null;
      break;
    case "slot": {
      const slot = slotOf(e.position, e.port);
      slot.location = e.location || "";
      break;
    }
    case "board_arrived": {
      const slot = slotOf(e.position, e.port);
      Object.assign(slot, { state: "board", board: e.board, serial: e.serial, step: null,
                            pass: null, done: 0, total: 0 });
      break;
    }
    case "board_left": {
      const slot = slotOf(e.position, e.port);
      Object.assign(slot, { state: "empty", board: null, serial: null, step: null, pass: null });
      break;
    }
    case "step_started": {
      const slot = slotOf(e.position, e.port);
      slot.state = "flashing";
      slot.step = { number: e.step, name: e.name };
      break;
    }
    case "progress": {
      const slot = slotOf(e.position, e.port);
      slot.state = "flashing";
      Object.assign(slot, { pass: e.pass, done: e.done, total: e.total });
      break;
    }
    case "result": {
      const slot = slotOf(e.position, e.port);
      slot.last = { success: e.success, layer: e.layer, message: e.message,
                    step: e.failed_step_name, seconds: e.seconds, board: slot.board };
      slot.state = resultState(e);
      break;
    }
    case "tallies":
      model.tallies = e;
      break;
    case "summary":
      model.stopped = e;
      break;
    default:
      return;  // log lines and the run's other steps change nothing drawn
  }
  scheduleDraw();
}

function addRecord(r) {
  model.records.push(r);
  if (model.records.length > RECORDS_SHOWN) model.records.shift();
  scheduleDraw();
}

function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    draw();
  });
}

function slotCard(slot) {
  const card = el("article", "slot");
  const head = el("div", "head");
  const parts = {
    name: el("span", "name"),
    number: el("span", "number"),
    location: el("div", "location"),
    state: el("div", "state"),
    step: el("div", "step"),
    bar: el("div", "bar"),
    fill: el("div", "fill"),
    serial: el("div", "serial"),
    last: el("div", "last"),
  };
  head.append(parts.name, parts.number);
  parts.bar.append(parts.fill);
  card.append(head, parts.location, parts.state, parts.step, parts.bar, parts.serial, parts.last);
  card.dataset.position = String(slot.position);
  return { card, parts };
}

function drawSlot(slot) {
  if (!slot.node) slot.node = slotCard(slot);
  const { card, parts } = slot.node;
  card.className = "slot " + slot.state;
  parts.name.textContent = slot.port;
  parts.number.textContent = "slot " + (slot.position + 1);
  parts.location.textContent = slot.location && slot.location !== slot.port ? slot.location : "";
  parts.state.textContent = STATES[slot.state];
  let stepText = "";
  if (slot.state === "flashing" && slot.step) {
    stepText = "Step " + slot.step.number + "/7: " + (STEP_WORDS[slot.step.name] || slot.step.name);
  } else if (slot.state === "board") {
    stepText = "Waiting to start";
  } else if (slot.state === "empty") {
    stepText = "Waiting for a board";
  } else if (slot.board !== null) {
    stepText = "Done: remove the board";
  }
  if (slot.state === "flashing" && slot.pass && slot.total > 0) {
    stepText += " - " + Math.floor((100 * slot.done) / slot.total) + " %";
  }
  parts.step.textContent = stepText;
  let fraction = 0;
  if (slot.total > 0) {
    // The program pass fills the first half of the bar, verify the second.
    const half = slot.done / slot.total / 2;
    fraction = slot.pass === "verify" ? 0.5 + half : half;
  }
  if (slot.state === "passed") fraction = 1;
  parts.fill.style.width = Math.round(fraction * 100) + "%";
  parts.serial.textContent = slot.board !== null
      ? "Board " + slot.board + (slot.serial ? " - serial " + slot.serial : " - no serial number")
      : "";
  parts.last.replaceChildren();
  if (slot.last) {
    const word = STATES[resultState(slot.last)];
    let text = "Last: " + word;
    if (slot.last.board !== null && slot.last.board !== undefined) text += " (board " + slot.last.board + ")";
    if (typeof slot.last.seconds === "number") text += ", " + slot.last.seconds.toFixed(1) + " s";
    parts.last.append(el("span", null, text));
    if (!slot.last.success) {
      const why = (slot.last.step ? slot.last.step + ": " : "") + (slot.last.message || "");
      parts.last.append(el("div", "failure", why));
    }
  }
  return card;
}

// A record's result: "success", "failure" or "interrupted", as the records file has it.
function recordResult(r) {
  if (r.result === "success") return "passed";
  if (r.result === "interrupted") return "interrupted";
  return "failed";
}

function first(...values) {
  for (const v of values) if (v !== undefined && v !== null) return v;
  return "";
}

function drawRecords() {
  const body = document.getElementById("records");
  const rows = [];
  for (let i = model.records.length - 1; i >= 0; i--) {
    const r = model.records[i];
    const result = recordResult(r);
    const row = el("tr");
    const slot = typeof r.slot === "number" ? r.slot + 1 : first(r.slot);
    row.append(
      el("td", null, first(r.time)),
      el("td", null, slot),
      el("td", null, first(r.port)),
      el("td", null, first(r.serial)),
      el("td", result, STATES[result]),
      el("td", null, first(r.failed_step_name)),
      el("td", null, first(r.message)),
      el("td", null, typeof r.seconds === "number" ? r.seconds.toFixed(1) : first(r.seconds)));
    rows.push(row);
  }
  body.replaceChildren(...rows);
}

function draw() {
  const t = model.tallies || {};
  for (const name of ["passed", "failed", "interrupted", "in_progress"]) {
    document.getElementById(name).textContent = String(t[name] || 0);
  }
  const rate = t.boards_per_hour || 0;
  document.getElementById("boards_per_hour").textContent = String(Math.round(rate));
  document.getElementById("image").textContent = model.image
      ? model.image.path + " (" + model.image.length + " bytes)"
      : "";
  const banner = document.getElementById("banner");
  banner.hidden = !model.stopped;
  banner.textContent = model.stopped ? "STATION STOPPED - " + model.stopped.devices + " attempts" : "";
  const grid = document.getElementById("slots");
  const cards = [...model.slots.values()]
      .sort((a, b) => a.position - b.position)
      .map(drawSlot);
  grid.replaceChildren(...cards);
  drawRecords();
}

function showConnection(state, text) {
  const node = document.getElementById("connection");
  node.className = "connection " + state;
  node.textContent = text;
}

function connect() {
  if (source) source.close();
  source = new EventSource("/events");
  source.onopen = () => {
    // The server sends what the station is now first: draw from nothing.
    model = newModel();
      showConnection("live", "LIVE");
    scheduleDraw();
  };
  source.onmessage = (message) => {
      try { apply(JSON.parse(message.data)); } catch (err) { /* a line the page does not know */ }
  };
  source.addEventListener("record", (message) => {
      try { addRecord(JSON.parse(message.data)); } catch (err) { /* ditto */ }
  });
  source.onerror = () => {
    showConnection("lost", "NO CONNECTION - RETRYING");
    if (source.readyState === EventSource.CLOSED) {
      // Refused (the station has its viewers already) or not an event stream: try again later.
      source = null;
      setTimeout(connect, RETRY_MS);
    }
  };
}

model = newModel();
document.addEventListener("DOMContentLoaded", () => {
  draw();
  connect();
});
