#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""mixlink serve against mixsim: the page in headless Chromium, the JSON routes, the WebSocket
frames, the token rules and the limits. Everything runs in a network namespace of its own, on
its loopback only (the test starts itself again inside one; without the right to make one it
skips)."""
import asyncio
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SKIP = 77  # what CTest takes as a skipped test

if os.environ.get("MIXLINK_SERVE_NETNS") != "1":
    os.environ["MIXLINK_SERVE_NETNS"] = "1"
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "--net", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        print("skipped: cannot create a network namespace (needs root and unshare)")
        sys.exit(SKIP)
    os.execvp("unshare", ["unshare", "--net", "--", sys.executable, *sys.argv])
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

import websockets  # noqa: E402 (only needed once inside the namespace)

MIXSIM = os.environ["MIXSIM"]
TOOL = os.environ["MIXLINK_TOOL"]
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
BANDSCOPE = os.environ.get("BANDSCOPE", "")
HOST = "127.0.0.1"
PORT = 8080
# The server's limits (serve/server.h).
MAX_CLIENTS = 32
IDLE_CLOSE_S = 5.0
MAX_HEADER_BYTES = 8 * 1024
MAX_FRAMES_PER_S = 30


def wait_for(what, timeout, step=0.05):
    """Polls what() until it returns a true value; returns it, or None after timeout seconds."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = what()
        if v:
            return v
        time.sleep(step)
    return None


def accepts(port):
    with socket.socket() as s:
        return s.connect_ex((HOST, port)) == 0


def fetch(path, headers=None, method="GET", port=PORT):
    c = http.client.HTTPConnection(HOST, port, timeout=10)
    c.request(method, path, headers=headers or {})
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body


class Serving(unittest.TestCase):
    """Each test gets its own mixsim and mixlink serve."""

    sim_options = ()

    def start(self, *serve_options, sim_options=()):
        self.sim = subprocess.Popen([MIXSIM, "--bind", HOST, "--quiet", *sim_options])
        self.addCleanup(self.stop, self.sim)
        self.assertTrue(wait_for(lambda: accepts(2222), 5), "mixsim does not listen")
        self.serve = subprocess.Popen([TOOL, "-a", HOST, "serve", *serve_options], stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop, self.serve)
        self.url = self.serve.stdout.readline().strip()
        self.assertTrue(self.url.startswith("http://"), "serve printed no address")
        self.assertTrue(wait_for(lambda: json.loads(fetch("/api/rta", self.auth())[1])["status"] == "live", 5),
                        "no live frames from the console")

    def auth(self):
        token = self.url.partition("?token=")[2]
        return {"Authorization": "Bearer " + token} if token else {}

    @staticmethod
    def stop(p):
        if p.poll() is None:
            os.kill(p.pid, signal.SIGCONT)
            p.terminate()
            p.wait(10)
        if p.stdout:
            p.stdout.close()

    def silence(self):
        os.kill(self.sim.pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.sim.pid, signal.SIGCONT)


class Browser:
    """Headless Chromium on the page, driven through its debugging protocol."""

    def __init__(self, url):
        self.profile = tempfile.mkdtemp()
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + self.profile, "--remote-debugging-address=127.0.0.1",
             "--remote-debugging-port=9222", "--window-size=844,390", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        targets = wait_for(lambda: self._pages(), 30, 0.2)
        if not targets:
            raise RuntimeError("Chromium gave no page to drive")
        self.endpoint = targets[0]["webSocketDebuggerUrl"]
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        self.ws = self.loop.run_until_complete(websockets.connect(self.endpoint, max_size=None))
        self.next_id = 0

    def _pages(self):
        try:
            return [t for t in json.loads(fetch("/json/list", port=9222)[1]) if t["type"] == "page"]
        except (OSError, ValueError, http.client.HTTPException):
            return None

    def call(self, method, **params):
        async def go():
            self.next_id += 1
            await self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
            while True:
                m = json.loads(await self.ws.recv())
                if m.get("id") == self.next_id:
                    return m
        return self.loop.run_until_complete(go())

    def eval(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return r.get("result", {}).get("result", {}).get("value")

    def close(self):
        self.loop.run_until_complete(self.ws.close())
        self.loop.close()
        self.proc.terminate()
        self.proc.wait(10)
        shutil.rmtree(self.profile, ignore_errors=True)


def coloured(rgb):
    return rgb is not None and len(set(rgb)) > 1


def grey(rgb):
    return rgb is not None and len(set(rgb)) == 1


@unittest.skipUnless(os.path.exists(CHROMIUM), "no Chromium to show the page")
class Page(Serving):
    def test_bars_grey_when_silent_and_live_again_by_themselves(self):
        self.start()
        b = Browser(self.url)
        self.addCleanup(b.close)
        foot = "window.mixlinkView && mixlinkView.sample(mixlinkView.loudest())"
        text = "document.getElementById('status').textContent"
        self.assertTrue(wait_for(lambda: b.eval("window.mixlinkView && mixlinkView.frames > 3"), 15, 0.2),
                        "the page drew no frames")
        self.assertEqual(b.eval(text), "Live")
        self.assertTrue(coloured(b.eval(foot)), "a live bar is not drawn in colour")

        self.silence()
        silent_at = time.monotonic()
        self.assertTrue(wait_for(lambda: grey(b.eval(foot)), 3, 0.05), "the bars stay in colour")
        self.assertLess(time.monotonic() - silent_at, 2.0, "the bars turned grey too late")
        self.assertTrue(wait_for(lambda: b.eval(text).startswith("No meter data for "), 1),
                        f"status reads {b.eval(text)!r}")

        self.resume()
        self.assertTrue(wait_for(lambda: coloured(b.eval(foot)) and b.eval(text) == "Live", 10, 0.1),
                        "the page did not come back to live")

        # The canvas fills a phone's screen both ways round.
        for width, height in ((390, 844), (844, 390)):
            b.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=2,
                   mobile=True)
            fills = wait_for(lambda: b.eval(
                "(() => { const c = document.getElementById('bars');"
                " return c.clientWidth === innerWidth && c.clientHeight > 0.8 * innerHeight"
                " && c.width === Math.round(c.clientWidth * devicePixelRatio); })()"), 3)
            self.assertTrue(fills, f"the canvas does not fill {width}x{height}")


class Routes(Serving):
    def test_json_routes(self):
        self.start()
        rta = json.loads(fetch("/api/rta")[1])
        self.assertEqual(len(rta["bands"]), 120)
        self.assertTrue(all(-32768 <= v <= 32767 for v in rta["bands"]))
        self.assertEqual(len(rta["centre_hz"]), 120)
        self.assertAlmostEqual(rta["centre_hz"][67], 1000.0)
        self.assertEqual(rta["status"], "live")
        self.assertLess(rta["age_ms"], 500)

        cases = [
            ("/api/value?path=ch.2.name", 200, {"path": "ch.2.name", "type": "string", "value": "CH 2"}),
            ("/api/value?path=ch.1.fdr", 200, {"path": "ch.1.fdr", "type": "float", "value": 0.0}),
            ("/api/value?path=ch.no.such", 404, None),
            ("/api/value?path=ch.1", 400, None),      # a container
            ("/api/dump?path=ch.1.fdr", 400, None),   # a leaf
            ("/api/value", 400, None),
            ("/api/values", 404, None),
            ("/index.html", 404, None),              # nothing is served from disk
            ("/../../etc/passwd", 404, None),
        ]
        for path, status, body in cases:
            with self.subTest(path=path):
                got, raw = fetch(path)
                self.assertEqual(got, status, raw)
                reply = json.loads(raw)
                if body is not None:
                    self.assertEqual(reply, body)
                else:
                    self.assertIn("error", reply)
        dump = json.loads(fetch("/api/dump?path=ch.1.eq")[1])
        self.assertEqual(dump["path"], "ch.1.eq")
        self.assertIn("ch.1.eq.on", dump["values"])
        self.assertEqual(fetch("/api/rta", method="POST")[0], 405)
        page_status, page = fetch("/")
        self.assertEqual(page_status, 200)
        self.assertNotIn(b"http://", page)  # nothing loaded from another host

        # A console that does not answer: 504 after a second, not later.
        self.silence()
        started = time.monotonic()
        self.assertEqual(fetch("/api/value?path=ch.1.fdr")[0], 504)
        self.assertLess(time.monotonic() - started, 1.6)
        self.resume()


class Frames(Serving):
    def test_websocket_frames_to_every_client(self):
        # A console faster than the cap shows the cap.
        self.start(sim_options=("--rate", "100"))

        async def go():
            clients = [await websockets.connect(f"ws://{HOST}:{PORT}/ws") for _ in range(MAX_CLIENTS)]
            with self.assertRaises(websockets.exceptions.InvalidStatusCode) as refused:
                await websockets.connect(f"ws://{HOST}:{PORT}/ws")
            self.assertEqual(refused.exception.status_code, 503)

            async def count(ws, seconds):
                frames, end = [], time.monotonic() + seconds
                while time.monotonic() < end:
                    try:
                        frames.append(json.loads(await asyncio.wait_for(ws.recv(), end - time.monotonic())))
                    except asyncio.TimeoutError:
                        break
                return frames

            seconds = 2.0
            received = await asyncio.gather(*(count(ws, seconds) for ws in clients))
            for frames in received:  # none starved, none beyond the cap
                self.assertGreater(len(frames), 10 * seconds)
                self.assertLessEqual(len(frames), MAX_FRAMES_PER_S * seconds + 2)
                self.assertTrue(all(len(f["bands"]) == 120 and f["status"] == "live" for f in frames))
            # A client that leaves makes room for another.
            await clients.pop().close()
            await asyncio.sleep(0.3)
            clients.append(await websockets.connect(f"ws://{HOST}:{PORT}/ws"))
            self.assertIn("bands", json.loads(await asyncio.wait_for(clients[-1].recv(), 2)))
            await asyncio.gather(*(ws.close() for ws in clients))

        asyncio.run(go())


class Tokens(Serving):
    def test_token_rules(self):
        # Beyond loopback (every interface of the namespace): a fresh token, in the printed address.
        self.start("--listen", f"0.0.0.0:{PORT}")
        self.assertRegex(self.url, rf"^http://0\.0\.0\.0:{PORT}/\?token=[0-9a-f]{{32}}$")
        token = self.url.partition("?token=")[2]
        cases = [
            ("/api/rta", {}, 401),
            ("/api/rta?token=" + "0" * 32, {}, 401),
            ("/api/rta?token=" + token[:-1], {}, 401),
            ("/api/rta", {"Authorization": "Bearer wrong"}, 401),
            ("/api/rta?token=" + token, {}, 200),
            ("/api/rta", {"Authorization": "Bearer " + token}, 200),
            ("/api/value?path=ch.1.fdr", {}, 401),
            ("/no/such/route", {}, 401),  # nothing tells a stranger which routes exist
            ("/", {}, 200),                # the page holds no data and takes the token it keeps
        ]
        for path, headers, status in cases:
            with self.subTest(path=path, headers=headers):
                self.assertEqual(fetch(path, headers)[0], status)

        async def ws(query):
            async with websockets.connect(f"ws://{HOST}:{PORT}/ws{query}") as w:
                return json.loads(await asyncio.wait_for(w.recv(), 2))

        with self.assertRaises(websockets.exceptions.InvalidStatusCode) as refused:
            asyncio.run(ws(""))
        self.assertEqual(refused.exception.status_code, 401)
        self.assertIn("bands", asyncio.run(ws("?token=" + token)))

        # Another site's page in a browser may not open the stream, token or not.
        async def foreign():
            async with websockets.connect(f"ws://{HOST}:{PORT}/ws?token={token}", origin="http://example.org"):
                pass
        with self.assertRaises(websockets.exceptions.InvalidStatusCode) as refused:
            asyncio.run(foreign())
        self.assertEqual(refused.exception.status_code, 403)

        # A token must stand in an address as it is.
        for bad in ("a b", "a&b", "x" * 129):
            with self.subTest(token=bad):
                r = subprocess.run([TOOL, "-a", HOST, "serve", "--token", bad], capture_output=True, text=True)
                self.assertEqual(r.returncode, 2, r.stderr)

    def test_given_token_is_needed_on_loopback_too(self):
        self.start("--token", "s3cret")
        self.assertTrue(self.url.endswith("/?token=s3cret"))
        self.assertEqual(fetch("/api/rta")[0], 401)
        self.assertEqual(fetch("/api/rta?token=s3cret")[0], 200)


class Limits(Serving):
    def test_huge_header_and_idle_connections(self):
        self.start()
        # Headers up to the limit are read; beyond it, up to 100 KiB, they are refused with a 4xx,
        # and the server goes on.
        for size, status in ((MAX_HEADER_BYTES - 1024, rb"200"), (MAX_HEADER_BYTES + 1024, rb"4\d\d"),
                             (100 * 1024, rb"4\d\d")):
            with self.subTest(size=size), socket.create_connection((HOST, PORT), timeout=10) as s:
                s.sendall(b"GET /api/rta HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * size + b"\r\n\r\n")
                self.assertRegex(s.recv(100), rb"^HTTP/1\.[01] " + status)

        # 50 connections that send nothing while a request is served.
        idle = [socket.create_connection((HOST, PORT), timeout=10) for _ in range(50)]
        started = time.monotonic()
        self.assertEqual(fetch("/api/rta")[0], 200)
        self.assertLess(time.monotonic() - started, 1.0)
        # ... and they are closed once idle for long enough.
        for s in idle:
            s.settimeout(IDLE_CLOSE_S + 5)
        closed = 0
        for s in idle:
            try:
                if s.recv(1) == b"":
                    closed += 1
            except (ConnectionResetError, socket.timeout):
                pass
            s.close()
        self.assertEqual(closed, 50)
        self.assertLess(time.monotonic() - started, IDLE_CLOSE_S + 5)


@unittest.skipUnless(BANDSCOPE, "bandscope is not part of this build")
class Bandscope(unittest.TestCase):
    def test_bandscope_serves_its_link(self):
        sim = subprocess.Popen([MIXSIM, "--bind", HOST, "--quiet"])
        self.addCleanup(Serving.stop, sim)
        self.assertTrue(wait_for(lambda: accepts(2222), 5))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=tempfile.mkdtemp())
        app = subprocess.Popen([BANDSCOPE, HOST, "--connect", "--all-features", "--serve", f"{HOST}:{PORT}"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        self.addCleanup(Serving.stop, app)
        self.assertEqual(app.stdout.readline().strip(), f"bandscope: web view at http://{HOST}:{PORT}/")
        self.assertTrue(wait_for(lambda: json.loads(fetch("/api/rta")[1])["status"] == "live", 10))
        # Reads go through bandscope's own link.
        self.assertEqual(json.loads(fetch("/api/value?path=ch.2.name")[1])["value"], "CH 2")


if __name__ == "__main__":
    unittest.main(verbosity=2)
