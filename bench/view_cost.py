#!/usr/bin/env python3
"""The live view's frame rate and cost: a model program with --view and a headless chromium
page playing it at full speed, against the same program without the view.

  bench/view_cost.py PROGRAM FIRST LAST [model options...]

Prints the new pictures the page drew per second, the time one drawing of a picture took and the seconds per step
between step FIRST and step LAST with the page open, and without the view (the difference of
two runs of LAST and FIRST steps, so that the set-up cancels)."""
import json, os, re, subprocess, sys, tempfile, time, urllib.request
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "libs", "modelkit", "tests"))
from view_browser_test import Browser  # noqa: E402

program, first, last, args = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]

# With two CPUs or more, the program runs on the first and the browser on the others, so that the
# figure is the view's own cost and not two programs sharing a core.
cpus = sorted(os.sched_getaffinity(0))
model_cpus, browser_cpus = ({cpus[0]}, set(cpus[1:])) if len(cpus) > 1 else (set(cpus), set(cpus))
on_model_cpus = lambda: os.sched_setaffinity(0, model_cpus)


def timed(steps):
    start = time.monotonic()
    subprocess.run([program, "--steps", str(steps)] + args, check=True, stdout=subprocess.DEVNULL,
                   preexec_fn=on_model_cpus)
    return time.monotonic() - start


without = (timed(last) - timed(first)) / (last - first)
served = subprocess.Popen([program, "--view", "--port", "0", "--steps", str(last + 1000)] + args,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, preexec_fn=on_model_cpus)
url = re.search(r"http://\S+", served.stderr.readline()).group(0)
os.sched_setaffinity(0, browser_cpus)  # the browser's processes inherit it
browser = Browser("/usr/bin/chromium", tempfile.mkdtemp())
try:
    browser.open(url)
    browser.wait_for("state && state.steps >= 1", "the page shows the run")
    browser.evaluate("document.getElementById('speed').value = '0'; document.getElementById('play').click()")
    state = lambda: json.loads(urllib.request.urlopen(url.replace("/?", "/state?")).read())
    while state()["steps"] < first:
        time.sleep(0.01)
    t0, s0 = time.monotonic(), state()["steps"]
    fps = []
    while True:
        s = state()["steps"]
        if s >= last:
            break
        time.sleep(1.0)
        fps.append((browser.evaluate("view.fps"), browser.evaluate("view.drawn"), browser.evaluate("view.drawMs")))
    t1 = time.monotonic()
    with_view = (t1 - t0) / (s - s0)
finally:
    browser.close()
    served.terminate()
    served.wait()
rates = [f[0] for f in fps[1:]] or [f[0] for f in fps]
print("page: %.1f new pictures/s, %d objects drawn per picture, %.1f ms to decode and draw one (%.0f frames/s)"
      % (sum(rates) / len(rates), fps[-1][1], fps[-1][2], 1000 / fps[-1][2]))
print("seconds per step: without the view %.5f, with the page playing %.5f: ratio %.3f"
      % (without, with_view, with_view / without))
