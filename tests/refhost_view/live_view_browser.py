#!/usr/bin/python3
"""A simulated drive watched in headless Chromium, driven through its DevTools
protocol (websocket-client, Debian's python3-websocket).

One session, one browser, and a timeline of steps: at each, the page's
data-records must lie between the JSON Lines file's record count one second
earlier and its count now; a reload must catch up; the map and the radio
panel must hold drawn pixels; a page that never reads its socket, or one
that resets its connection, must not hold the session up. Run in a time
zone with a half-hour offset. Then a recorded drive replayed with and
without --view (the same bytes; the stream is the file), and a session whose
disk fills (a small tmpfs, when it can be mounted).

usage: live_view_browser.py ORVIK_HOST WORK_DIR [--screenshot PNG]
"""
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import zlib

import websocket

DURATION = 36
# (seconds into the session, what to do)
TIMELINE = [
    (5, "follow"), (8, "follow"), (11, "stall"), (13, "follow"), (14, "vanish"), (16, "reload"),
    (20, "follow"), (23, "pixels"), (27, "follow"), (31, "follow"),
]


def counts_in(path):
    """Records and events in the JSON Lines file so far (whole lines only)."""
    counts = {"record": 0, "event": 0}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.endswith("\n"):
                    kind = json.loads(line)["type"]
                    counts[kind] = counts.get(kind, 0) + 1
    except FileNotFoundError:
        pass
    return counts["record"], counts["event"]


def png_pixels(data):
    """Width, height and rows of RGB(A) pixels of an 8-bit PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), "8-bit RGB or RGBA"
            step = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, rows, prev = zlib.decompress(idat), [], bytearray(width * step)
    stride = width * step
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b, c = prev[i], prev[i - step] if i >= step else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * step:x * step + 3]) for x in range(width)])
        prev = line
    return width, height, rows


class Browser:
    def __init__(self, work):
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--force-device-scale-factor=1", "--window-size=1220,1400",
             "--remote-debugging-port=0", "--user-data-dir=" + os.path.join(work, "profile"), "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for line in self.proc.stderr:
            m = re.search(r"DevTools listening on (ws://\S+)", line)
            if m:
                break
        else:
            raise RuntimeError("chromium gave no DevTools address")
        port = m.group(1).split(":")[2].split("/")[0]
        import urllib.request
        pages = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
        page = next(p for p in pages if p["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=30)
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
        return tuple(int(self.eval("document.body.getAttribute('data-%s') || 0" % k)) for k in ("records", "events"))

    def drawn(self, selector):
        """Pixels of the element's box, as on the screen, that are not its most common colour."""
        box = self.eval("(function(){var r=document.querySelector(%r).getBoundingClientRect();"
                        "return [r.left+scrollX,r.top+scrollY,r.width,r.height];})()" % selector)
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": box[0], "y": box[1], "width": box[2], "height": box[3], "scale": 1})
        import base64
        _, _, rows = png_pixels(base64.b64decode(shot["data"]))
        counts = {}
        for row in rows:
            for p in row:
                counts[p] = counts.get(p, 0) + 1
        return sum(counts.values()) - max(counts.values()), len(counts)

    def close(self):
        self.proc.kill()
        self.proc.wait()


def follow(url, into):
    """Reads the stream until the server ends it; keeps its entries."""
    port = int(url.rsplit(":", 1)[1].strip("/"))
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.send(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
        raw = b""
        while True:
            block = s.recv(65536)
            if not block:
                break
            raw += block
    body, pos = b"", raw.index(b"\r\n\r\n") + 4
    while True:  # chunked transfer coding
        end = raw.index(b"\r\n", pos)
        size = int(raw[pos:end], 16)
        if size == 0:
            break
        body += raw[end + 2:end + 2 + size]
        pos = end + 4 + size
    into.extend(line[6:] for line in body.decode("utf-8").split("\n") if line.startswith('data: {"type"'))


def replay_scenario(exe, work, failures):
    """A short recorded drive replayed at its pace, with and without --view and
    a client: the outputs are the same bytes, and the stream carries the
    JSON Lines file's entries in its order."""
    import threading
    env = dict(os.environ, TZ="America/St_Johns")
    capture = os.path.join(work, "drive.orvcap")
    subprocess.run([exe, "live", "--simulate", "--duration", "8", "--quiet", "--out", os.path.join(work, "rec"),
                    "--record", capture], env=env, check=True, stdout=subprocess.DEVNULL)
    folders = {}
    for name, view in (("plain", []), ("viewed", ["--view", "127.0.0.1:0"])):
        folders[name] = os.path.join(work, name)
        proc = subprocess.Popen([exe, "replay", capture, "--realtime", "--out", folders[name]] + view,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        streamed, reader = [], None
        if view:
            url = re.search(r"open (http://\S+) in a browser", proc.stdout.readline()).group(1)
            reader = threading.Thread(target=follow, args=(url, streamed))
            reader.start()
        proc.communicate(timeout=60)
        if reader:
            reader.join(10)
        if proc.returncode != 0:
            failures.append("replay %s ended with %d" % (name, proc.returncode))
    for f in sorted(os.listdir(folders["plain"])):
        with open(os.path.join(folders["plain"], f), "rb") as a, open(os.path.join(folders["viewed"], f), "rb") as b:
            if a.read() != b.read():
                failures.append("%s differs with --view" % f)
    with open(os.path.join(folders["viewed"], "session.jsonl"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    print("replay: %d entries in the file, %d streamed" % (len(lines), len(streamed)))
    if streamed != lines:
        failures.append("the stream's %d entries are not the file's %d lines" % (len(streamed), len(lines)))


def full_disk_scenario(exe, work, failures):
    """A session whose disk fills: it fails (exit 1) and says so, and the page
    is told the end promptly, holding what the file holds."""
    import threading
    tiny = os.path.join(work, "tiny")
    os.makedirs(tiny)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=40k", "tmpfs", tiny], stderr=subprocess.DEVNULL).returncode:
        print("full disk: skipped, cannot mount a small tmpfs here")
        return
    try:
        started = time.monotonic()
        proc = subprocess.Popen([exe, "live", "--simulate", "--duration", "90", "--quiet", "--out",
                                 os.path.join(tiny, "s"), "--view", "127.0.0.1:0"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        url = re.search(r"open (http://\S+) in a browser", proc.stdout.readline()).group(1)
        streamed = []
        reader = threading.Thread(target=follow, args=(url, streamed))
        reader.start()
        _, stderr = proc.communicate(timeout=90)
        reader.join(10)
        took = time.monotonic() - started
        with open(os.path.join(tiny, "s", "session.jsonl"), encoding="utf-8", errors="replace") as f:
            whole = [line[:-1] for line in f if line.endswith("\n")]
        print("full disk: exit %d after %.1f s, %d entries streamed, %d whole lines in the file"
              % (proc.returncode, took, len(streamed), len(whole)))
        if proc.returncode != 1 or "No space left" not in stderr:
            failures.append("full disk: exit %d, %s" % (proc.returncode, stderr.strip()))
        if reader.is_alive() or took > 60:
            failures.append("full disk: the stream was not ended with the session (%.1f s)" % took)
        if not streamed or streamed != whole[:len(streamed)] or len(streamed) < len(whole) - 1:
            failures.append("full disk: the stream's %d entries are not the file's %d" % (len(streamed), len(whole)))
    finally:
        subprocess.run(["umount", tiny])


def main():
    exe, work = sys.argv[1], sys.argv[2]
    screenshot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv else None
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = dict(os.environ, TZ="Asia/Kolkata")
    out = os.path.join(work, "session")
    host = subprocess.Popen([exe, "live", "--simulate", "--dial", "0123456789", "--call-seconds", "30",
                             "--duration", str(DURATION), "--quiet", "--out", out, "--view", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    started = time.monotonic()
    url = re.search(r"open (http://\S+) in a browser", host.stdout.readline()).group(1)
    jsonl = os.path.join(out, "session.jsonl")
    browser = Browser(work)
    failures, stalled = [], None
    try:
        browser.call("Page.enable")
        browser.call("Page.navigate", url=url)
        for at, step in TIMELINE:
            time.sleep(max(0, started + at - 1 - time.monotonic()))
            before = counts_in(jsonl)
            time.sleep(1)
            if step == "reload":
                browser.call("Page.reload", ignoreCache=True)
                time.sleep(1.5)
                before = counts_in(jsonl)
            elif step == "vanish":
                # A page that reads a little and is gone, the connection reset.
                port = int(url.rsplit(":", 1)[1].strip("/"))
                gone = socket.create_connection(("127.0.0.1", port))
                gone.send(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
                gone.recv(100)
                gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                gone.close()
            elif step == "stall":
                # A page that asks for the stream and never reads it, on a tiny buffer.
                stalled = socket.socket()
                stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
                port = int(url.rsplit(":", 1)[1].strip("/"))
                stalled.connect(("127.0.0.1", port))
                stalled.send(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            elif step == "pixels":
                for selector, least in (("#live-radio", 800), ("#map", 2000)):
                    pixels, colours = browser.drawn(selector)
                    print("%s: %d drawn pixels, %d colours" % (selector, pixels, colours))
                    if pixels < least or colours < 3:
                        failures.append("%s at %d s: %d drawn pixels in %d colours" % (selector, at, pixels, colours))
                if screenshot:
                    import base64
                    shot = browser.call("Page.captureScreenshot", format="png")
                    with open(screenshot, "wb") as f:
                        f.write(base64.b64decode(shot["data"]))
            shown, now = browser.counts(), counts_in(jsonl)
            print("%2d s %-7s page %s, file %s one second earlier, %s now" % (at, step, shown, before, now))
            for i, what in enumerate(("records", "events")):
                if not before[i] <= shown[i] <= now[i] or shown[0] == 0:
                    failures.append("at %d s (%s) the page shows %d %s; the file had %d a second earlier, %d now"
                                    % (at, step, shown[i], what, before[i], now[i]))
        errors = browser.eval("document.getElementById('errors') ? document.getElementById('errors').textContent : ''")
        if errors:
            failures.append("the page reports errors: " + errors[:400])
        stdout, stderr = host.communicate(timeout=DURATION + 30)
        ended = time.monotonic() - started
        time.sleep(1.5)
        final, shown = counts_in(jsonl), browser.counts()
        state = browser.eval("document.getElementById('live-state').textContent")
        print("ended after %.1f s: page %s, file %s, '%s'" % (ended, shown, final, state))
        if host.returncode != 0:
            failures.append("orvik-host live ended with %d: %s" % (host.returncode, stderr))
        if ended > DURATION + 8:
            failures.append("the session took %.1f s for a %d s duration: something held it" % (ended, DURATION))
        if shown != final or state != "the session has ended":
            failures.append("at the end the page shows %s records and events of %s, state '%s'" % (shown, final, state))
        if "Live view:" not in stdout:
            failures.append("no live view line in the summary: " + stdout)
    finally:
        browser.close()
        if stalled:
            stalled.close()
        if host.poll() is None:
            host.send_signal(signal.SIGKILL)
    replay_scenario(exe, work, failures)
    full_disk_scenario(exe, work, failures)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
