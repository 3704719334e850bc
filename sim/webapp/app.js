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
  if (node.ref === "websocket/access") document.getElementById("access").textContent = node.value;
  // A login or logout gives the session a new id: kept as the cookie, so
  // that uploads and a reload of the page find the session.
  if (node.ref === "websocket/session" && node.value)
    document.cookie = "ZWSUI_SESSION=" + node.value + ";Max-Age=36000;Path=/";
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

// "#login=USER:PASSWORD&search=ROUTE&set=ROUTE VALUE&upload=NAME:TEXT" in
// the address logs in, runs a search and, once its reply is shown, one set
// and one upload of a small text file (handy for a quick look and tests).
const scripted = new URLSearchParams(location.hash.slice(1));
if (scripted.has("search")) document.getElementById("query").value = scripted.get("search");
let pendingSet = scripted.get("set");
let pendingUpload = scripted.get("upload");

// Uploads go to "/upload" as the form would send them; the session cookie
// (set at the websocket handshake) tells the server who is uploading.
async function upload(file, kind) {
  const form = new FormData();
  form.append("uploadfile", file, file.name);
  form.append("uploadsubmit", "Upload");
  const shown = document.getElementById("uploaded");
  try {
    const reply = await fetch("upload" + (kind ? "?" + kind : ""), { method: "POST", body: form });
    shown.textContent = file.name + ": " + reply.status;
  } catch (e) {
    shown.textContent = file.name + ": failed";
  }
}

// The password never leaves the page: "Auth" takes the user name, "_" and
// the SHA-512 digest of the password in lower-case hexadecimal.
async function login(user, password) {
  const bytes = new TextEncoder().encode(password);
  const digest = new Uint8Array(await crypto.subtle.digest("SHA-512", bytes));
  const hex = Array.from(digest, (b) => b.toString(16).padStart(2, "0")).join("");
  send("websocket/auth " + user + "_" + hex);
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  socket = new WebSocket(scheme + location.host + "/", "sv-ws");
  socket.onopen = async () => {
    document.getElementById("state").textContent = "connected";
    if (scripted.has("login")) {
      const [user, ...rest] = scripted.get("login").split(":");
      await login(user, rest.join(":"));
    }
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
      if (pendingUpload && text.includes('"ref":"websocket/access"') && text.includes("Operator")) {
        const [name, ...rest] = pendingUpload.split(":");
        pendingUpload = null;
        upload(new File([rest.join(":")], name), "");
      }
    }
  };
  socket.onclose = () => {
    document.getElementById("state").textContent = "disconnected, retrying…";
    stream = "";
    setTimeout(connect, 2000);
  };
}

document.getElementById("login").addEventListener("submit", (ev) => {
  ev.preventDefault();
  login(document.getElementById("user").value.trim(), document.getElementById("password").value);
});

document.getElementById("upload").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const file = document.getElementById("file").files[0];
  if (file) upload(file, document.getElementById("kind").value);
});

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
