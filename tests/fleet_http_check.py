#!/usr/bin/env python3
"""Checks a running `strovix-read --cameras ... --serve` with real HTTP clients.

Usage: fleet_http_check.py BASE_URL LIVE_NAMES DOWN_NAMES PASSWORD WIDTHxHEIGHT [PID]
(names comma-separated; PID: the server's process, for CPU figures). Prints figures as "figure: ..." lines; exits 0 when every check
holds, 1 otherwise, 77 when prometheus_client is missing.
"""
import concurrent.futures
import http.client
import json
import os
import socket
import statistics
import struct
import sys
import time
import urllib.parse

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("python3-prometheus-client is not installed", file=sys.stderr)
    sys.exit(77)

BASE, LIVE, DOWN, PASSWORD, SIZE = sys.argv[1:6]
PID = int(sys.argv[6]) if len(sys.argv) > 6 else None
LIVE = [n for n in LIVE.split(",") if n]
DOWN = [n for n in DOWN.split(",") if n]
WIDTH, HEIGHT = (int(v) for v in SIZE.split("x"))
HOST = urllib.parse.urlsplit(BASE).hostname
PORT = urllib.parse.urlsplit(BASE).port
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def request(method, path, timeout=10.0):
    conn = http.client.HTTPConnection(HOST, PORT, timeout=timeout)
    try:
        conn.request(method, path)
        r = conn.getresponse()
        body = r.read()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), body
    finally:
        conn.close()


def get(path):
    return request("GET", path)


def jpeg_size(data):
    """(width, height) from a JPEG's SOF marker, or None."""
    if data[:2] != b"\xff\xd8":
        return None
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        length = struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            height, width = struct.unpack(">HH", data[i + 5:i + 9])
            return width, height
        i += 2 + length
    return None


def cpu_seconds(pid):
    """(CPU seconds of the server's own threads, of the whole process)."""
    tick = os.sysconf("SC_CLK_TCK")
    server = 0.0
    total = 0.0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        seconds = (int(fields[11]) + int(fields[12])) / tick
        total += seconds
        if name in ("strovix-http", "strovix-jpeg"):
            server += seconds
    return server, total


def cameras():
    status, headers, body = get("/api/cameras")
    check(status == 200, "/api/cameras answers 200, not %d" % status)
    check(headers.get("content-type", "").startswith("application/json"), "/api/cameras is JSON")
    return json.loads(body)


# The live cameras deliver within a bounded wait.
deadline = time.monotonic() + 20
while True:
    cams = {c["name"]: c for c in cameras()}
    if all(cams.get(n, {}).get("frames_delivered", 0) > 0 and cams[n]["width"] for n in LIVE):
        break
    if time.monotonic() > deadline:
        check(False, "live cameras deliver within 20 s: %s" % cams)
        break
    time.sleep(0.2)

# /api/cameras: every camera, every field, nothing of the credentials.
FIELDS = ["name", "url", "status", "fps", "frames_delivered", "frames_replaced", "restarts",
          "packets_lost", "frames_damaged_dropped",
          "last_error", "last_error_time", "age_ms", "width", "height", "codec", "transport"]
check(sorted(cams) == sorted(LIVE + DOWN), "every camera listed: %s" % sorted(cams))
for name, cam in cams.items():
    for field in FIELDS:
        check(field in cam, "%s has %s" % (name, field))
    check("@" not in cam["url"] and cam["url"].startswith(("rtsp://", "http://")),
          "%s url without credentials: %s" % (name, cam["url"]))
for name in LIVE:
    cam = cams[name]
    check(cam["status"] == "STREAMING", "%s streaming: %s" % (name, cam["status"]))
    check((cam["width"], cam["height"]) == (WIDTH, HEIGHT), "%s size %sx%s" % (name, cam["width"], cam["height"]))
    check(cam["age_ms"] is not None and cam["age_ms"] < 3000, "%s fresh: %s" % (name, cam["age_ms"]))
    check(cam["codec"], "%s codec known" % name)
    check(cam["transport"] in ("udp", "tcp"), "%s transport: %s" % (name, cam["transport"]))
for name in DOWN:
    cam = cams[name]
    check(cam["frames_delivered"] == 0 and cam["age_ms"] is None, "%s has no frame" % name)
    check(cam["last_error"] and "refused" in cam["last_error"], "%s cause: %s" % (name, cam["last_error"]))
    check(cam["last_error_time"] and cam["last_error_time"] > 1e9, "%s error time" % name)

# Snapshots at the frame's size; 503 before a first frame, 404 for an unknown camera.
for name in LIVE:
    status, headers, body = get("/cameras/%s/snapshot.jpg" % name)
    check(status == 200 and headers.get("content-type") == "image/jpeg", "%s snapshot 200 JPEG" % name)
    check(jpeg_size(body) == (WIDTH, HEIGHT), "%s snapshot size %s" % (name, jpeg_size(body)))
for name in DOWN:
    check(get("/cameras/%s/snapshot.jpg" % name)[0] == 503, "%s snapshot 503" % name)
check(get("/cameras/no-such-camera/snapshot.jpg")[0] == 404, "unknown camera 404")
check(get("/no/such/page")[0] == 404, "unknown path 404")
for method in ("POST", "PUT", "DELETE"):
    status, headers, _ = request(method, "/api/cameras")
    check(status == 405 and "GET" in headers.get("allow", ""), "%s answers 405 with Allow" % method)
status, headers, body = request("HEAD", "/metrics")
check(status == 200 and body == b"", "HEAD /metrics: 200 without a body")

# /metrics through Prometheus's own parser.
status, headers, body = get("/metrics")
check(status == 200 and headers.get("content-type", "").startswith("text/plain"), "/metrics text")
text = body.decode()
families = {f.name: f for f in text_string_to_metric_families(text)}
expected = {"strovix_frames_delivered": "counter", "strovix_frames_replaced": "counter",
            "strovix_restarts": "counter", "strovix_up": "gauge",
            "strovix_packets_lost": "counter", "strovix_frames_damaged_dropped": "counter",
            "strovix_frame_age_seconds": "gauge", "strovix_fps": "gauge"}
for family, kind in expected.items():
    f = families.get(family) or families.get(family + "_total")
    check(f is not None and f.type == kind and f.documentation, "metric %s %s with HELP" % (family, kind))
    if f is None:
        continue
    by_camera = {s.labels.get("camera"): s.value for s in f.samples if not s.name.endswith("_created")}
    check(sorted(by_camera) == sorted(LIVE + DOWN), "%s for every camera: %s" % (family, by_camera))
    if family == "strovix_up":
        check(all(by_camera.get(n) == 1 for n in LIVE) and all(by_camera.get(n) == 0 for n in DOWN),
              "strovix_up: %s" % by_camera)
    if family == "strovix_frames_delivered":
        check(all(by_camera.get(n, 0) > 0 for n in LIVE), "frames delivered: %s" % by_camera)

# The page holds a tile script and fetches nothing from elsewhere.
status, headers, page = get("/")
check(status == 200 and headers.get("content-type", "").startswith("text/html"), "/ is HTML")
check(b"http://" not in page and b"https://" not in page and b"//cdn" not in page, "no external assets")
check("default-src 'none'" in headers.get("content-security-policy", ""), "page CSP")

# A client that stops reading: many snapshot requests pipelined on a small receive window.
stuck = socket.create_connection((HOST, PORT))
stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
request_text = "".join("GET /cameras/%s/snapshot.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % LIVE[0] for _ in range(200))
stuck.setblocking(False)
try:
    stuck.send(request_text.encode())
except BlockingIOError:
    pass

# 50 concurrent clients, each a round of page, API, metrics and a snapshot, several times.
latencies = {"/": [], "/api/cameras": [], "/metrics": [], "snapshot": []}
errors = []


def client(i):
    paths = ["/", "/api/cameras", "/metrics", "/cameras/%s/snapshot.jpg" % LIVE[i % len(LIVE)]]
    conn = http.client.HTTPConnection(HOST, PORT, timeout=10)
    out = []
    try:
        for _ in range(5):
            for path in paths:
                start = time.monotonic()
                conn.request("GET", path)
                r = conn.getresponse()
                body = r.read()
                out.append((path, time.monotonic() - start, r.status, body))
    except Exception as e:  # noqa: BLE001 - every failure is reported
        errors.append(repr(e))
    finally:
        conn.close()
    return out


cpu_before = cpu_seconds(PID) if PID else None
wall = time.monotonic()
with concurrent.futures.ThreadPoolExecutor(max_workers=50) as pool:
    results = [r for rs in pool.map(client, range(50)) for r in rs]
wall = time.monotonic() - wall
if PID:
    server_cpu, total_cpu = (a - b for a, b in zip(cpu_seconds(PID), cpu_before))
    print("figure: CPU during the load (%.2f s): server threads %.0f ms (%.0f %% of a core), "
          "whole process %.0f ms" % (wall, server_cpu * 1000, 100 * server_cpu / wall, total_cpu * 1000))
check(not errors, "50 clients without errors: %s" % errors[:3])
check(len(results) == 50 * 5 * 4, "every request answered: %d" % len(results))
for path, seconds, status, body in results:
    key = "snapshot" if path.endswith(".jpg") else path
    latencies[key].append(seconds)
    check(status == 200, "%s answered %d under load" % (path, status))
    check(PASSWORD.encode() not in body, "no password in %s" % path)
for key, values in latencies.items():
    values.sort()
    p50 = statistics.median(values) * 1000
    p95 = values[int(len(values) * 0.95) - 1] * 1000
    print("figure: %s latency under 50 clients: p50 %.1f ms, p95 %.1f ms, max %.1f ms" %
          (key, p50, p95, values[-1] * 1000))
    check(values[-1] < 3.0, "%s answered within 3 s under load (max %.2f s)" % (key, values[-1]))
print("figure: %d requests from 50 clients in %.2f s" % (len(results), wall))

# The readers were not held up: the live cameras still deliver fresh frames.
cams = {c["name"]: c for c in cameras()}
for name in LIVE:
    check(cams[name]["status"] == "STREAMING" and cams[name]["age_ms"] < 3000,
          "%s still fresh after the load: %s ms" % (name, cams[name]["age_ms"]))
    print("figure: %s fps after the load: %.1f" % (name, cams[name]["fps"]))
stuck.close()

# Nothing served holds the password.
for path in ["/", "/api/cameras", "/metrics"]:
    check(PASSWORD.encode() not in get(path)[2], "no password in %s" % path)

sys.exit(1 if failures else 0)
