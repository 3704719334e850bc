// A stand-in for the card's web application: opens the "sv-ws" protocol,
// joins the text frames, cuts the stream at the delimiter, parses each
// reply as JSON and shows every parameter it holds; later replies (pushed
// changes) update the rows in place.
"use strict";

const DELIMITER = "!@#";
let socket = null;
let stream = "";
const rows = new Map(); // route -> table row

function cell(tr, i, text) {
  tr.cells[i].textContent = text;
}

function valueText(node) {
  if (node.writeonly) return "(write-only)";
  if (!("value" in node)) return "";
  return String(node.value);
}

function show(node) {
  if (!node || typeof node !== "object" || node.type === "None") return;
  let tr = rows.get(node.ref);
  if (!tr) {
    tr = document.createElement("tr");
    for (let i = 0; i < 4; i++) tr.insertCell();
    tr.addEventListener("click", () => {
      document.getElementById("route").value = node.ref;
      document.getElementById("value").value = tr.cells[3].textContent;
    });
    document.getElementById("rows").appendChild(tr);
    rows.set(node.ref, tr);
  }
  cell(tr, 0, node.ref);
  cell(tr, 1, node.label);
  cell(tr, 2, node.type);
  cell(tr, 3, valueText(node));
  tr.className = node.readonly ? "ro" : "";
  if (node.params && typeof node.params === "object")
    for (const child of Object.values(node.params)) show(child);
}

function onReply(text) {
  if (text.trim() === "") return;
  let reply;
  try {
    reply = JSON.parse(text);
  } catch (e) {
    console.warn("unreadable reply", e, text.slice(0, 200));
    return;
  }
  for (const node of Object.values(reply)) show(node);
}

// Scripts named by the "JS Files" parameter are loaded once at start.
function loadDynamic(text) {
  for (const name of text.split(", ").filter((n) => n)) {
    const s = document.createElement("script");
    s.src = name;
    document.head.appendChild(s);
  }
}

function send(text) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(text);
}

// "#search=ROUTE&set=ROUTE VALUE" in the address runs a search and, once
// its reply is shown, one set (handy for a quick look and for tests).
const scripted = new URLSearchParams(location.hash.slice(1));
if (scripted.has("search")) document.getElementById("query").value = scripted.get("search");
let pendingSet = scripted.get("set");

function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  socket = new WebSocket(scheme + location.host + "/", "sv-ws");
  socket.onopen = () => {
    document.getElementById("state").textContent = "connected";
    send("websocket/js_files");
    send(document.getElementById("query").value);
  };
  let dynamicLoaded = false;
  const searched = '"ref":"' + document.getElementById("query").value.replace(/\*+$/, "");
  socket.onmessage = (ev) => {
    stream += ev.data;
    let cut;
    while ((cut = stream.indexOf(DELIMITER)) >= 0) {
      const text = stream.slice(0, cut);
      stream = stream.slice(cut + DELIMITER.length);
      if (!dynamicLoaded && text.includes('"js_files"')) {
        dynamicLoaded = true;
        try {
          loadDynamic(JSON.parse(text).js_files.value || "");
        } catch (e) { /* shown as a row anyway */ }
      }
      onReply(text);
      if (pendingSet && text.includes(searched)) {
        send(pendingSet);
        pendingSet = null;
      }
    }
  };
  socket.onclose = () => {
    document.getElementById("state").textContent = "disconnected, retrying…";
    stream = "";
    setTimeout(connect, 2000);
  };
}

document.getElementById("search").addEventListener("submit", (ev) => {
  ev.preventDefault();
  document.getElementById("rows").textContent = "";
  rows.clear();
  send(document.getElementById("query").value.trim());
});

document.getElementById("set").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const route = document.getElementById("route").value.trim();
  const value = document.getElementById("value").value;
  if (route) send(route + " " + (value === "" ? '""' : value));
});

connect();
