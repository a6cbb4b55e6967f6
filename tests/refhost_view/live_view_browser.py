#!/usr/bin/python3
"""The live view end to end: a simulated drive followed in headless Chromium
(its DevTools protocol, through Debian's python3-websocket) in a half-hour time
zone, where the page's counts must never be more than a second behind the JSON
Lines file; a replay with and without --view (same bytes, the stream is the
file); a session whose disk fills.   usage: ORVIK_HOST WORK_DIR [--screenshot PNG]
"""
import base64
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request

import websocket

DURATION = 40
TIMELINE = [(5, "follow"), (8, "follow"), (11, "stall"), (13, "follow"), (14, "vanish"), (16, "reload"),
            (20, "follow"), (23, "pixels"), (27, "follow"), (31, "follow")]


def counts_in(path):
    """Records and events among the whole lines of the JSON Lines file."""
    with open(path if os.path.exists(path) else os.devnull, encoding="utf-8", errors="replace") as f:
        kinds = [json.loads(line)["type"] for line in f if line.endswith("\n")]
    return kinds.count("record"), kinds.count("event")


def url_of(proc):
    return re.search(r"open (http://\S+) in a browser", proc.stdout.readline()).group(1)


def open_stream(url, receive_buffer=0):
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.connect(("127.0.0.1", int(url.rsplit(":", 1)[1].strip("/"))))
    s.send(b"GET /events HTTP/1.1\r\nHost: %s\r\n\r\n" % url.split("/")[2].encode())
    return s


def followed(args, env=None):
    """orvik-host with --view, its stream read to the end: the process, its stderr, the entries."""
    proc = subprocess.Popen(args + ["--view", "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    streamed = []
    reader = threading.Thread(target=follow, args=(url_of(proc), streamed))
    reader.start()
    _, stderr = proc.communicate(timeout=90)
    reader.join(10)
    return proc, stderr + (" (the stream was left open)" if reader.is_alive() else ""), streamed


def follow(url, into):
    """Reads the stream until the server ends it and keeps its entries."""
    with open_stream(url) as s:
        raw = b"".join(iter(lambda: s.recv(65536), b""))
    body, pos = b"", raw.index(b"\r\n\r\n") + 4
    while int(raw[pos:raw.index(b"\r\n", pos)], 16):  # chunked transfer coding
        end = raw.index(b"\r\n", pos)
        size = int(raw[pos:end], 16)
        body, pos = body + raw[end + 2:end + 2 + size], end + 4 + size
    into.extend(line[6:] for line in body.decode().split("\n") if line.startswith('data: {"type"'))


class Browser:
    def __init__(self, work):
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--force-device-scale-factor=1", "--window-size=1220,1400", "--remote-debugging-port=0",
             "--user-data-dir=" + os.path.join(work, "profile"), "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        port = next(m.group(1) for m in map(re.compile(r"DevTools listening on ws://[^:]+:(\d+)/").search,
                                            self.proc.stderr) if m)
        pages = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
        self.ws = websocket.create_connection(next(p for p in pages if p["type"] == "page")["webSocketDebuggerUrl"],
                                              timeout=30)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            answer = json.loads(self.ws.recv())
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer["result"]

    def eval(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def counts(self):
        return tuple(int(self.eval("+document.body.dataset.%s || 0" % k)) for k in ("records", "events"))

    def drawn(self, canvas):
        """Pixels of the canvas that differ from its most common colour, and its colours."""
        return self.eval("""(function () { var c = document.querySelector('%s'), seen = {}, top = 0;
          var d = new Uint32Array(c.getContext('2d').getImageData(0, 0, c.width, c.height).data.buffer);
          d.forEach(function (p) { seen[p] = (seen[p] || 0) + 1; top = Math.max(top, seen[p]); });
          return [d.length - top, Object.keys(seen).length]; })()""" % canvas)


def browser_scenario(exe, work, failures, screenshot):
    out = os.path.join(work, "session")
    jsonl = os.path.join(out, "session.jsonl")
    host = subprocess.Popen([exe, "live", "--simulate", "--dial", "0123456789", "--call-seconds", "30",
                             "--duration", str(DURATION), "--quiet", "--out", out, "--view", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, TZ="Asia/Kolkata"))
    started, url = time.monotonic(), url_of(host)
    browser, stalled = Browser(work), None
    try:
        browser.call("Page.navigate", url=url)
        # On a loaded machine the browser may take a while: the timeline starts once the page follows.
        while browser.eval("(document.getElementById('live-state') || {}).textContent") != "following the session":
            if time.monotonic() > started + 20:
                raise RuntimeError("the page did not start following the session within 20 s")
            time.sleep(0.2)
        started = max(started, time.monotonic() - 4)
        for at, step in TIMELINE:
            time.sleep(max(0, started + at - 1 - time.monotonic()))
            before = counts_in(jsonl)
            time.sleep(1)
            if step == "reload":
                browser.call("Page.reload", ignoreCache=True)
                time.sleep(1.5)
                before = counts_in(jsonl)
            elif step == "stall":  # asks for the stream and never reads it, on a tiny buffer
                stalled = open_stream(url, 1024)
            elif step == "vanish":  # reads a little and is gone, the connection reset
                gone = open_stream(url)
                gone.recv(100)
                gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                gone.close()
            elif step == "pixels":
                for canvas, least in (("#live-radio", 800), ("#map", 2000)):
                    pixels, colours = browser.drawn(canvas)
                    if pixels < least or colours < 3:
                        failures.append("%s: %d drawn pixels in %d colours" % (canvas, pixels, colours))
                if screenshot:
                    with open(screenshot, "wb") as f:
                        f.write(base64.b64decode(browser.call("Page.captureScreenshot", format="png")["data"]))
            shown, now = browser.counts(), counts_in(jsonl)
            print("%2d s %-7s page %s, file %s a second earlier, %s now" % (at, step, shown, before, now))
            if not (before[0] <= shown[0] <= now[0] and before[1] <= shown[1] <= now[1]) or shown[0] == 0:
                failures.append("at %d s (%s) the page shows %s, the file had %s a second earlier, %s now"
                                % (at, step, shown, before, now))
        errors = browser.eval("document.getElementById('errors').textContent")
        if errors:
            failures.append("the page reports errors: " + errors[:400])
        stdout, stderr = host.communicate(timeout=DURATION + 30)
        ended = time.monotonic() - started
        time.sleep(1.5)
        final, shown = counts_in(jsonl), browser.counts()
        state = browser.eval("document.getElementById('live-state').textContent")
        if host.returncode != 0 or ended > DURATION + 8 or "Live view:" not in stdout:
            failures.append("orvik-host live ended with %d after %.1f s: %s" % (host.returncode, ended, stderr))
        if shown != final or state != "the session has ended":
            failures.append("at the end the page shows %s of %s, state '%s'" % (shown, final, state))
    finally:
        browser.proc.kill()
        if stalled:
            stalled.close()
        if host.poll() is None:
            host.kill()


def replay_scenario(exe, work, failures):
    capture = os.path.join(work, "drive.orvcap")
    env = dict(os.environ, TZ="America/St_Johns")
    subprocess.run([exe, "live", "--simulate", "--duration", "8", "--quiet", "--out", os.path.join(work, "rec"),
                    "--record", capture], env=env, check=True, stdout=subprocess.DEVNULL)
    replay = [exe, "replay", capture, "--realtime", "--out"]
    plain = subprocess.run(replay + [os.path.join(work, "plain")], env=env, capture_output=True)
    viewed, stderr, streamed = followed(replay + [os.path.join(work, "viewed")], env)
    if plain.returncode or viewed.returncode or "left open" in stderr:
        failures.append("replays ended with %d and %d: %s" % (plain.returncode, viewed.returncode, stderr))
    for f in sorted(os.listdir(os.path.join(work, "plain"))):
        with open(os.path.join(work, "plain", f), "rb") as a, open(os.path.join(work, "viewed", f), "rb") as b:
            if a.read() != b.read():
                failures.append("%s differs with --view" % f)
    with open(os.path.join(work, "viewed", "session.jsonl"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    if streamed != lines:
        failures.append("the stream's %d entries are not the file's %d lines" % (len(streamed), len(lines)))


def full_disk_scenario(exe, work, failures):
    tiny = os.path.join(work, "tiny")
    os.makedirs(tiny)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=40k", "tmpfs", tiny], stderr=subprocess.DEVNULL).returncode:
        print("full disk: skipped, a small tmpfs cannot be mounted here")
        return
    try:
        proc, stderr, streamed = followed([exe, "live", "--simulate", "--duration", "90", "--quiet", "--out",
                                           os.path.join(tiny, "s")])
        with open(os.path.join(tiny, "s", "session.jsonl"), encoding="utf-8", errors="replace") as f:
            whole = [line[:-1] for line in f if line.endswith("\n")]
        if proc.returncode != 1 or "No space left" not in stderr or "left open" in stderr:
            failures.append("full disk: exit %d: %s" % (proc.returncode, stderr))
        if not streamed or streamed != whole[:len(streamed)] or len(streamed) < len(whole) - 1:
            failures.append("full disk: the stream's %d entries are not the file's %d" % (len(streamed), len(whole)))
    finally:
        subprocess.run(["umount", tiny])


def main():
    exe, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    failures = []
    browser_scenario(exe, work, failures, sys.argv[4] if sys.argv[3:4] == ["--screenshot"] else None)
    replay_scenario(exe, work, failures)
    full_disk_scenario(exe, work, failures)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
