#!/usr/bin/env python3
"""A model program's --view as a client sees it, over plain HTTP on the loopback (standard
library only):

  view_program_test.py --program PATH [-- model options...]

 - without --view the program opens no socket and starts no thread beyond its workers;
 - a port in use is one line on standard error and status 1, before any run;
 - requests without the token are refused (403); a malformed request gets 400, an oversized
   one 413, a bad control 400, and the run goes on;
 - many clients at once are all answered; a client that closes mid-picture does not disturb
   the run;
 - a speed far below a step an hour holds the run (it does not overflow into full speed);
 - slow clients without the token: one address keeps few connections, a request that does
   not arrive in time is closed, a request with the token is answered meanwhile, and a stop
   does not wait for them;
 - a view address other than the loopback gets one line of warning;
 - a run played at full speed with the view records the same CSV as one without it.
Prints 'N passed, N failed'; exit status 0 when every check passed."""

import argparse
import concurrent.futures
import filecmp
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

passed = failed = 0


def check(condition, what):
    global passed, failed
    if condition:
        passed += 1
        print("ok:", what)
    else:
        failed += 1
        print("FAILED:", what)


def json_of(reply):
    import json
    return json.loads(reply[1])


def request(url, data=None, timeout=10):
    """(status, body bytes) of a GET, or of a POST with `data`."""
    try:
        with urllib.request.urlopen(url, data=data, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


class Served:
    """The program with --view on a free port; stopped by SIGTERM at the end."""

    def __init__(self, program, args):
        self.process = subprocess.Popen([program, "--view", "--port", "0"] + args, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32})", line)
        if not match:
            raise RuntimeError("no URL line: " + line)
        self.port, self.token = int(match.group(1)), match.group(2)
        self.base = "http://127.0.0.1:%d" % self.port

    def url(self, path, query=""):
        return self.base + path + "?token=" + self.token + ("&" + query if query else "")

    def state(self):
        return json_of(request(self.url("/state")))

    def wait(self, condition, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = self.state()
            if condition(s):
                return s
            time.sleep(0.05)
        return None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.process.stderr.close()
        return status


def raw(port, data, read=True):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(data)
        if not read:
            return b""
        reply = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
        except socket.timeout:
            pass
        return reply


class Slow_Clients:
    """`count` connections that send a request without the token one byte every `every` s,
    from a thread of their own, until `close()` or `limit` s have passed."""

    def __init__(self, port, count, every=0.5, limit=15):
        self.opened = time.monotonic()
        self.sockets = []
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.sendall(b"GET /state HTTP/1.1\r\n")
            s.setblocking(False)  # open_count peeks without waiting
            self.sockets.append(s)
        self.closed = threading.Event()
        self.thread = threading.Thread(target=self._drip, args=(every, limit), daemon=True)
        self.thread.start()

    def _drip(self, every, limit):
        deadline = time.monotonic() + limit
        while not self.closed.wait(every) and time.monotonic() < deadline:
            for s in self.sockets:
                try:
                    s.send(b"X")
                except OSError:
                    pass

    def open_count(self):
        """How many the server has not closed."""
        count = 0
        for s in self.sockets:
            try:
                s.recv(65536, socket.MSG_DONTWAIT | socket.MSG_PEEK)  # an answer or the end: closed
            except BlockingIOError:
                count += 1
            except OSError:
                pass
        return count

    def close(self):
        self.closed.set()
        self.thread.join()
        for s in self.sockets:
            s.close()


def check_slow_clients(program, args):
    served = Served(program, args + ["--set", "steps=3"])
    request(served.url("/control"), data=b"action=play&speed=0")
    check(served.wait(lambda s: not s["running"]) is not None, "a short run ends before slow clients come")
    slow = Slow_Clients(served.port, 20)
    try:
        time.sleep(1.5)
        start = time.monotonic()
        try:
            status = request(served.url("/state"), timeout=5)[0]
        except OSError as e:  # a time-out
            status = str(e)
        took = time.monotonic() - start
        check(status == 200 and took < 2.5,
              "a request with the token beside 20 slow clients: %s in %.1f s" % (status, took))
        time.sleep(max(0.0, slow.opened + 3.5 - time.monotonic()))
        open_now = slow.open_count()
        check(open_now <= 8, "one address keeps at most 8 slow connections: %d of 20 open" % open_now)
        while slow.open_count() > 0 and time.monotonic() < slow.opened + 9:
            time.sleep(0.1)
        late = time.monotonic() - slow.opened
        check(slow.open_count() == 0 and late < 8,
              "requests that take over 5 s to arrive are closed: the last after %.1f s" % late)
    finally:
        slow.close()
    slow = Slow_Clients(served.port, 12)
    try:
        time.sleep(0.3)
        start = time.monotonic()
        status = served.stop()
        took = time.monotonic() - start
    finally:
        slow.close()
    check(status == 0 and took < 2.5, "SIGTERM beside 12 slow clients ends the program: %d in %.1f s" % (status, took))


def check_address_warning(program, args):
    def lines_of(address):
        """The lines on standard error of a view bound to `address`, until it says nothing for a second."""
        process = subprocess.Popen([program, "--view", "--port", "0", "--view-address", address] + args,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        text = b""
        while select.select([process.stderr], [], [], 1.0)[0]:
            chunk = os.read(process.stderr.fileno(), 65536)
            if not chunk:
                break
            text += chunk
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=30)
        process.stderr.close()
        return text.decode(errors="replace").splitlines()

    lines = lines_of("0.0.0.0")
    check(len(lines) == 2 and "view at http://0.0.0.0:" in lines[0] and "warning" in lines[1] and
          "only protection" in lines[1], "a view on every address warns in one line: %s" % lines)
    lines = lines_of("localhost")
    check(len(lines) == 1 and "view at http://localhost:" in lines[0], "a view on the loopback does not warn: %s" % lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--sanitized", action="store_true", help="a sanitizer build, whose runtime may run a thread")
    parser.add_argument("model_args", nargs="*")
    options = parser.parse_args()
    program, args = options.program, options.model_args
    work = tempfile.mkdtemp(prefix="quarnel-view-")

    # Without --view: no socket and no thread beyond the main thread and the one worker.
    plain = subprocess.Popen([program, "--threads", "1"] + args + ["--set", "steps=100000000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    fds = [os.readlink("/proc/%d/fd/%s" % (plain.pid, fd)) for fd in os.listdir("/proc/%d/fd" % plain.pid)]
    tasks = len(os.listdir("/proc/%d/task" % plain.pid))
    plain.send_signal(signal.SIGINT)
    plain.wait(timeout=30)
    check(not any(fd.startswith("socket:") for fd in fds), "without --view the program has no socket: %s" % fds)
    allowed = 3 if options.sanitized else 2
    check(tasks <= allowed, "without --view the program runs %d threads: the main thread and its worker" % tasks)

    # A port in use.
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        r = subprocess.run([program, "--view", "--port", str(port)] + args, capture_output=True, text=True,
                           timeout=30)
        lines = r.stderr.splitlines()
        check(r.returncode == 1 and len(lines) == 1 and "in use" in lines[0] and str(port) in lines[0],
              "a port in use: status %d, %s" % (r.returncode, lines))
    r = subprocess.run([program, "--port", "80"] + args, capture_output=True, text=True, timeout=30)
    check(r.returncode == 1 and "need --view" in r.stderr, "--port without --view is refused")

    served = Served(program, args + ["--set", "steps=100000"])
    try:
        check(request(served.base + "/state")[0] == 403, "no token: 403")
        check(request(served.base + "/?token=" + "0" * 32)[0] == 403, "a wrong token: 403")
        check(request(served.url("/"))[0] == 200, "the page with the token: 200")
        reply = raw(served.port, b"GARBAGE\r\n\r\n")
        check(reply.startswith(b"HTTP/1.1 400"), "a malformed request: %r" % reply[:40])
        status, _ = request(served.url("/restart"), data=b"birds=" + b"9" * 200000)
        check(status == 413, "an oversized request: %d" % status)
        check(request(served.url("/control"), data=b"action=fly")[0] == 400, "an unknown control: 400")
        check(request(served.url("/control"), data=b"action=speed&speed=fast")[0] == 400, "a bad speed: 400")
        check(request(served.url("/series", "run=x"))[0] == 400, "a bad series query: 400")
        status, body = request(served.url("/restart"), data=b"no_such_parameter=1")
        check(status == 400 and b"no_such_parameter" in body, "a restart naming no parameter: 400")
        check(served.state()["run"] == 1, "bad requests leave the run as it was")

        # A step every 10^10 s is a step an hour: the run holds.
        state = json_of(request(served.url("/control"), data=b"action=play&speed=1e-10"))
        before = served.state()["steps"]
        time.sleep(1.0)
        after = served.state()["steps"]
        check(abs(state["speed"] - 1 / 3600) < 1e-12 and after == before,
              "speed=1e-10 is a step an hour: speed %s, steps %s -> %s" % (state["speed"], before, after))

        request(served.url("/control"), data=b"action=play&speed=0")
        with concurrent.futures.ThreadPoolExecutor(max_workers=40) as pool:
            paths = ["/state", "/frame", "/series", "/parameters"] * 40
            statuses = list(pool.map(lambda p: request(served.url(p), timeout=30)[0], paths))
        check(all(s in (200, 204) for s in statuses), "160 requests from 40 clients at once are all answered")
        # A client that asks for a picture and goes away before reading it.
        for _ in range(20):
            raw(served.port, ("GET /frame?token=%s HTTP/1.1\r\nHost: x\r\n\r\n" % served.token).encode(), read=False)
        before = served.state()["steps"]
        after = served.wait(lambda s: s["steps"] > before + 5)
        check(after is not None and served.process.poll() is None,
              "closed clients do not disturb the run (steps %s -> %s)" % (before, after and after["steps"]))
    finally:
        status = served.stop()
    check(status == 143 or status == -signal.SIGTERM, "SIGTERM mid-run ends the program by the signal: %d" % status)

    check_slow_clients(program, args)
    check_address_warning(program, args)

    # The same series with and without the view, the view playing at full speed.
    without, with_view = os.path.join(work, "without.csv"), os.path.join(work, "with.csv")
    r = subprocess.run([program, "--csv", without] + args, capture_output=True, timeout=600)
    check(r.returncode == 0, "the run without the view")
    served = Served(program, ["--csv", with_view] + args)
    request(served.url("/control"), data=b"action=play&speed=0")
    # A page reading pictures throughout.
    done = None
    deadline = time.monotonic() + 600
    while done is None and time.monotonic() < deadline:
        request(served.url("/frame"))
        s = served.state()
        done = s if not s["running"] else None
    status = served.stop()
    check(done is not None and status == 0, "the run with the view ends, and SIGTERM then ends the program: %d" % status)
    check(filecmp.cmp(without, with_view, shallow=False), "the CSV with the view equals the CSV without it")

    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
