#!/usr/bin/env python3
"""A model program's live view (--view) in a real browser: Debian's chromium, headless,
driven through its DevTools protocol over a pipe (file descriptors 3 and 4, messages of JSON
ended by a NUL byte). Standard library only.

  view_browser_test.py --program PATH --restart NAME=VALUE [--space|--no-space]
                       [--screenshot FILE] [-- model options...]

It opens the page with the token and without it (refused), presses Step and sees the
iteration advance, presses Play and Pause, restarts the run with one parameter changed from
the form and sees the new run with that value, clicks an object of the space and reads it
in the inspector, and takes a screenshot of the model's space (or of the plots, for a model
without one) that must hold more than the background. Exit status 77 (skipped) when chromium
is not installed, 1 on a failure, 0 when every check passed."""

import argparse
import base64
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SKIP = 77


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print("ok:", what)


class Browser:
    """chromium --headless with --remote-debugging-pipe; one page target, flat sessions."""

    def __init__(self, chromium, profile):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def wire():  # in the child: its fd 3 reads our messages, its fd 4 writes its own
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        args = [chromium, "--headless=new", "--remote-debugging-pipe", "--no-first-run",
                "--no-default-browser-check", "--disable-gpu", "--disable-extensions",
                "--window-size=1400,1100", "--user-data-dir=" + profile, "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        self.process = subprocess.Popen(args, preexec_fn=wire, pass_fds=(3, 4),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.session = None

    def close(self):
        try:
            self.send("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise Failure("chromium did not answer in time")
            import select
            ready, _, _ = select.select([self._from_browser], [], [], 0.5)
            if ready:
                chunk = os.read(self._from_browser, 1 << 20)
                if not chunk:
                    raise Failure("chromium closed its pipe")
                self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=True, timeout=30):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise Failure(method + ": " + json.dumps(reply["error"]))
                return reply["result"]

    def open(self, url):
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.send("Page.enable")
        self.navigate(url)

    def navigate(self, url):
        self.send("Page.navigate", {"url": url})
        self.wait_for("document.readyState === 'complete'", "the page loads")

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True})
        if "exceptionDetails" in result:
            raise Failure("the page's script failed on " + expression + ": " +
                          json.dumps(result["exceptionDetails"])[:300])
        return result["result"].get("value")

    def wait_for(self, expression, what, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate(expression):
                return
            time.sleep(0.1)
        raise Failure("timed out waiting until " + what)

    def click_at(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": "left",
                                                   "clickCount": 1})


def png_pixels(data):
    """(width, height, rows of RGB(A) tuples) of an 8-bit RGB or RGBA PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise Failure("the screenshot is not a PNG")
    at, idat, width = 8, b"", 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            if depth != 8 or colour not in (2, 6):
                raise Failure("unexpected PNG format")
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up, corner = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(line)
        previous = line
    return width, height, [[tuple(r[i:i + 3]) for i in range(0, stride, channels)] for r in rows]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--restart", required=True, help="NAME=VALUE for the restarted run")
    parser.add_argument("--no-space", action="store_true", help="the model has no space: its plots are its view")
    parser.add_argument("--screenshot", help="also save the screenshot of the whole page here")
    parser.add_argument("model_args", nargs="*")
    options = parser.parse_args()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("skipped: chromium is not installed (Debian: chromium)")
        return SKIP

    program = subprocess.Popen([options.program, "--view", "--port", "0"] + options.model_args,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    browser = None
    try:
        line = program.stderr.readline()
        match = re.search(r"(http://127\.0\.0\.1:\d+/)\?token=([0-9a-f]+)", line)
        check(match is not None, "the program prints the view's URL with a token: " + line.strip())
        base, token = match.group(1), match.group(2)
        profile = tempfile.mkdtemp(prefix="quarnel-view-")
        browser = Browser(chromium, profile)

        # Without the token: refused, the page and every other request.
        browser.open(base)
        check("refused" in browser.evaluate("document.body.innerText"), "the page without the token is refused")
        check(browser.evaluate("fetch('/state').then(r => r.status)") == 403, "/state without the token: 403")
        wrong = ("1" if token[0] == "0" else "0") + token[1:]  # differs from the token in its first digit
        check(browser.evaluate("fetch('/state?token=" + wrong + "').then(r => r.status)") == 403,
              "/state with a wrong token: 403")

        browser.navigate(base + "?token=" + token)
        browser.wait_for("typeof state !== 'undefined' && state !== null && state.steps >= 1",
                         "the page shows the run, paused after its first step")
        check(browser.evaluate("state.playing") is False, "the run starts paused")
        before = browser.evaluate("state.steps")
        time.sleep(0.5)
        check(browser.evaluate("state.steps") == before, "a paused run does not advance")

        browser.evaluate("document.getElementById('step').click()")
        browser.wait_for("state.steps === %d && Number(document.getElementById('iteration').textContent) === %d"
                         % (before + 1, before + 1), "Step advances the iteration by one")
        print("ok: Step advanced the iteration from", before, "to", before + 1)

        browser.evaluate("document.getElementById('speed').value = '20'")
        browser.evaluate("document.getElementById('play').click()")
        browser.wait_for("state.playing && state.steps >= %d" % (before + 4), "Play runs the model on")
        browser.evaluate("document.getElementById('pause').click()")
        browser.wait_for("!state.playing", "Pause holds the run")
        time.sleep(0.4)
        held = browser.evaluate("state.steps")
        time.sleep(0.6)
        check(browser.evaluate("state.steps") == held, "after Pause the iteration stays at %d" % held)
        browser.wait_for("series.length >= 3 && document.querySelectorAll('#plots canvas').length >= 1",
                         "the plots hold the recorded rows")

        if not options.no_space:
            browser.wait_for("picture !== null && picture.head.steps === %d && picture.head.count > 0" % held,
                             "the space shows the paused iteration")
            # A click on the first object drawn: the inspector shows its kind and fields.
            x, y = browser.evaluate(
                "(() => { const c = document.getElementById('space'), r = c.getBoundingClientRect();"
                " const s = c.width / picture.head.width, f = picture.floats;"
                " return [r.left + f[0] * s * r.width / c.width, r.top + f[1] * s * r.height / c.height]; })()")
            browser.click_at(x, y)
            browser.wait_for("document.getElementById('inspector').textContent.includes('\\n')",
                             "a click on an object shows it in the inspector")
            print("ok: inspector shows:", browser.evaluate("document.getElementById('inspector').textContent")
                  .replace("\n", " | "))

        name, value = options.restart.split("=", 1)
        browser.evaluate("document.getElementById('param-%s').value = %s" % (name, json.dumps(value)))
        browser.evaluate("document.getElementById('restart').click()")
        browser.wait_for("state.run === 2 && state.values[%s] === %s" % (json.dumps(name), json.dumps(value)),
                         "the run restarts with %s" % options.restart)
        browser.wait_for("state.steps >= 1 && state.steps < %d" % (held + 1) if held > 2 else "state.steps >= 1",
                         "the restarted run starts from its first step")
        check(browser.evaluate("document.getElementById('param-%s').value" % name) == value,
              "the form shows the new run's value")

        browser.evaluate("document.getElementById('speed').value = '100'")
        browser.evaluate("document.getElementById('play').click()")
        browser.wait_for("state.steps >= 12", "the restarted run plays")
        browser.evaluate("document.getElementById('pause').click()")
        browser.wait_for("!state.playing && series.length >= 2", "the restarted run pauses")
        if options.no_space:
            browser.wait_for("series.length >= 2", "the plots show the restarted run")
            selector = "#plots"
        else:
            browser.wait_for("picture !== null && picture.head.run === 2 && picture.head.steps === state.steps",
                             "the space shows the restarted run")
            selector = "#space"
        time.sleep(0.3)  # the next animation frame has painted
        rect = browser.evaluate("(() => { const r = document.querySelector('%s').getBoundingClientRect();"
                                " return [r.left, r.top, r.width, r.height]; })()" % selector)
        shot = base64.b64decode(browser.send("Page.captureScreenshot", {
            "format": "png", "clip": {"x": rect[0], "y": rect[1], "width": rect[2], "height": rect[3], "scale": 1}})
            ["data"])
        width, height, rows = png_pixels(shot)
        background = {(240, 240, 240), (255, 255, 255)}
        drawn = sum(1 for row in rows for p in row if p not in background)
        colours = {p for row in rows for p in row if p not in background}
        check(drawn >= 200 and len(colours) >= 2,
              "the screenshot of %s (%dx%d) shows the model: %d pixels drawn in %d colours"
              % (selector, width, height, drawn, len(colours)))
        if options.screenshot:
            whole = browser.send("Page.captureScreenshot", {"format": "png"})["data"]
            with open(options.screenshot, "wb") as f:
                f.write(base64.b64decode(whole))
            print("saved", options.screenshot)
        check(program.poll() is None, "the program still serves")
    except Failure as e:
        print("FAILED:", e)
        return 1
    finally:
        if browser:
            browser.close()
        if program.poll() is None:
            program.send_signal(signal.SIGTERM)
            try:
                program.wait(timeout=20)
            except subprocess.TimeoutExpired:
                program.kill()
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
