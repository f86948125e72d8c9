#include "serve/status_page.hpp"

namespace strovix::tools {

const std::string& status_page_html() {
  static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>strovix-read cameras</title>
<style>
body { font-family: system-ui, sans-serif; margin: 0; background: #111; color: #eee; }
header { padding: 0.6em 1em; background: #222; display: flex; justify-content: space-between;
  flex-wrap: wrap; gap: 0.5em; }
h1 { font-size: 1.1em; margin: 0; }
#tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(260px, 1fr)); gap: 0.8em;
  padding: 0.8em; }
.tile { background: #1c1c1c; border-radius: 6px; overflow: hidden; border-top: 4px solid #777; }
.tile.up { border-top-color: #2c2; }
.tile.down { border-top-color: #d33; }
.thumb { width: 100%; aspect-ratio: 16 / 9; background: #000; display: flex;
  align-items: center; justify-content: center; color: #888; }
.thumb img { width: 100%; height: 100%; object-fit: contain; }
.info { padding: 0.5em 0.7em; font-size: 0.9em; }
.name { font-weight: bold; font-size: 1.05em; }
.facts { display: grid; grid-template-columns: auto 1fr; column-gap: 0.8em; margin-top: 0.3em; }
.facts dt { color: #999; }
.facts dd { margin: 0; overflow-wrap: anywhere; }
</style>
</head>
<body>
<header><h1>strovix-read</h1><span id="summary">loading&hellip;</span></header>
<main id="tiles"></main>
<script>
"use strict";
const tiles = new Map();
function fact(dl, label, key) {
  const dt = document.createElement("dt");
  dt.textContent = label;
  const dd = document.createElement("dd");
  dd.dataset.field = key;
  dl.append(dt, dd);
}
function tileFor(cam) {
  let t = tiles.get(cam.name);
  if (t) return t;
  const el = document.createElement("section");
  el.className = "tile";
  el.id = "camera-" + cam.name;
  el.dataset.camera = cam.name;
  const thumb = document.createElement("div");
  thumb.className = "thumb";
  thumb.textContent = "no frame yet";
  const img = document.createElement("img");
  img.alt = cam.name;
  img.hidden = true;
  img.dataset.loads = "0";
  thumb.append(img);
  const info = document.createElement("div");
  info.className = "info";
  const name = document.createElement("div");
  name.className = "name";
  name.textContent = cam.name;
  const dl = document.createElement("dl");
  dl.className = "facts";
  fact(dl, "status", "status");
  fact(dl, "fps", "fps");
  fact(dl, "frame age", "age");
  fact(dl, "size", "size");
  fact(dl, "restarts", "restarts");
  fact(dl, "last error", "last_error");
  fact(dl, "options", "options");
  info.append(name, dl);
  el.append(thumb, info);
  document.getElementById("tiles").append(el);
  t = { el, img, thumb, busy: false };
  img.onload = () => {
    t.busy = false;
    img.hidden = false;
    img.dataset.loads = String(Number(img.dataset.loads) + 1);
    img.dataset.size = img.naturalWidth + "x" + img.naturalHeight;
    if (thumb.firstChild && thumb.firstChild.nodeType === Node.TEXT_NODE) thumb.firstChild.remove();
  };
  img.onerror = () => { t.busy = false; };
  tiles.set(cam.name, t);
  return t;
}
function set(t, key, text) {
  t.el.querySelector('[data-field="' + key + '"]').textContent = text;
}
// The options that differ from the library's defaults, as the list writes them.
function options(o) {
  const parts = [];
  for (const [key, value] of Object.entries(o || {})) {
    if (value === true) parts.push(key);
    else if (typeof value === "string" && !(key === "format" && value === "bgr")) parts.push(key + "=" + value);
  }
  return parts.length ? parts.join(" ") : "defaults";
}
function age(ms) {
  if (ms === null) return "-";
  return ms < 10000 ? Math.round(ms) + " ms" : Math.round(ms / 1000) + " s";
}
async function refresh() {
  let cams;
  try {
    const r = await fetch("api/cameras", { cache: "no-store" });
    cams = await r.json();
  } catch (e) {
    document.getElementById("summary").textContent = "server unreachable";
    return;
  }
  let up = 0;
  // Cameras a reload removed lose their tiles.
  const listed = new Set(cams.map((c) => c.name));
  for (const [name, t] of tiles) {
    if (!listed.has(name)) {
      t.el.remove();
      tiles.delete(name);
    }
  }
  for (const cam of cams) {
    const t = tileFor(cam);
    if (cam.up) up++;
    t.el.classList.toggle("up", cam.up);
    t.el.classList.toggle("down", !cam.up);
    t.el.dataset.status = cam.status;
    set(t, "status", cam.status);
    set(t, "fps", cam.fps === null ? "-" : cam.fps.toFixed(1));
    set(t, "age", age(cam.age_ms));
    set(t, "size", cam.width ? cam.width + "x" + cam.height + (cam.codec ? " " + cam.codec : "") : "-");
    set(t, "restarts", String(cam.restarts));
    set(t, "last_error", cam.last_error || "-");
    set(t, "options", options(cam.options));
    if (cam.frames_delivered > 0 && !t.busy) {
      t.busy = true;
      t.img.src = "cameras/" + encodeURIComponent(cam.name) + "/snapshot.jpg?t=" + Date.now();
    }
  }
  document.getElementById("summary").textContent = up + " of " + cams.length + " cameras up";
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)html";
  return page;
}

}  // namespace strovix::tools
