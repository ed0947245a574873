#!/usr/bin/python3
"""hexview serve in headless Chromium, each figure beside a baseline measured
in the same run and the same page:

- jump to painted rows: the page's own jump (go to an offset far from the
  view), from the call until every visible row is painted with its bytes, on a
  1 GiB file of random bytes and a 64 GiB sparse file; median and p95;
- wheel scrolling: real wheel input (CDP Input.dispatchMouseEvent, one event
  per frame) over the grid; the frame times (worst, count over 33 ms) and the
  frames that showed blank rows (rows not painted with bytes yet);
- the time per typed byte, from the keys to the server's answer, with no other
  edit staged and with 900 staged.

Baselines: a bare request to the server (GET /api/staged with nothing
staged) and a frame with nothing to paint (requestAnimationFrame on the idle
page; for the wheel run, the frames of the idle page over the same time).
The latency of a page request while a search runs is in serve_bench.cpp.

Usage: bench/serve/browser_bench.py build/default/tools/hexview/hexview [JUMPS]
"""
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

GIB = 1 << 30
LONG_FRAME_MS = 33
# Frame times are whole vsync intervals (16.7 ms at 60 Hz) give or take a
# fraction of a millisecond: two intervals (33.4 ms) are not over 33 ms.
VSYNC_SLACK_MS = 1


def random_gib_file():
    path = os.path.join(tempfile.gettempdir(), 'hexview-serve-bench-1g.bin')
    if not os.path.exists(path) or os.path.getsize(path) != GIB:
        with open(path, 'wb') as f:
            for _ in range(GIB // (16 << 20)):
                f.write(os.urandom(16 << 20))
    # Read once, so the jumps measure the page and not the disk (the file
    # written in an earlier run may have left the system's cache).
    with open(path, 'rb') as f:
        while f.read(16 << 20):
            pass
    return path


def sparse_file():
    path = os.path.join(tempfile.gettempdir(), 'hexview-serve-bench-64g.bin')
    with open(path, 'wb') as f:
        f.truncate(64 * GIB)
    return path


def start_server(tool, path, *args):
    return subprocess.Popen([tool, 'serve', path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def stop_server(proc):
    proc.terminate()
    proc.wait()
    proc.stdout.close()
    proc.stdin.close()


def open_page(driver, proc):
    url = next(m.group(1) for line in proc.stdout if (m := re.search(r'open (http://\S+)', line)))
    driver.get(url)
    driver.execute_async_script('''const done = arguments[arguments.length - 1];
        (function wait() { window.hexview ? window.hexview.grid.painted().then(done) : setTimeout(wait, 20); })();''')


def percentile(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(len(s) * q))]


def bare_requests(driver, count=40):
    """Times of a bare request to the server from the page (the staged list)."""
    return driver.execute_async_script('''const [n, done] = arguments;
        import('/api.js').then(async ({ get }) => {
          const times = [];
          for (let i = 0; i < n; i++) { const t0 = performance.now(); await get('/api/staged'); times.push(performance.now() - t0); }
          done(times);
        });''', count)


def empty_frames(driver, count=40):
    """Times from asking for a frame to its callback, with nothing to paint."""
    return driver.execute_async_script('''const [n, done] = arguments;
        (async () => {
          const times = [];
          for (let i = 0; i < n; i++) {
            const t0 = performance.now();
            await new Promise((r) => requestAnimationFrame(r));
            times.push(performance.now() - t0);
          }
          done(times);
        })();''', count)


def jump_times(driver, jumps):
    size = driver.execute_script('return window.hexview.grid.size')
    rng = random.Random(1)
    return [driver.execute_async_script('window.hexview.timedJump(arguments[0]).then(arguments[arguments.length - 1])',
                                        rng.randrange(size)) for _ in range(jumps)]


# Records every frame from now on: its time since the frame before, and
# whether the frame before it showed rows not painted with bytes (this
# callback runs before the grid paints the new frame).
START_FRAMES = '''window.benchFrames = { times: [], blank: 0, last: performance.now(), on: true };
    (function frame(t) {
      const f = window.benchFrames;
      if (!f.on) return;
      f.times.push(t - f.last);
      f.last = t;
      if (document.querySelector('#grid .hrow.loading:not([hidden])')) f.blank++;
      requestAnimationFrame(frame);
    })(performance.now());'''
STOP_FRAMES = '''const f = window.benchFrames; f.on = false; return { times: f.times.slice(1), blank: f.blank };'''


def idle_frames(driver, seconds):
    driver.execute_script(START_FRAMES)
    time.sleep(seconds)
    return driver.execute_script(STOP_FRAMES)


def wheel_frames(driver, events, delta_y):
    """Wheel input over the grid, one event per frame, downwards."""
    x, y = driver.execute_script('''const r = document.getElementById('grid').getBoundingClientRect();
        return [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)];''')
    driver.execute_script(START_FRAMES)
    for _ in range(events):
        t0 = time.monotonic()
        driver.execute_cdp_cmd('Input.dispatchMouseEvent',
                               {'type': 'mouseWheel', 'x': x, 'y': y, 'deltaX': 0, 'deltaY': delta_y})
        time.sleep(max(0.0, 1 / 60 - (time.monotonic() - t0)))
    driver.execute_async_script('window.hexview.grid.painted().then(arguments[arguments.length - 1])')
    return driver.execute_script(STOP_FRAMES)


def frames_line(label, frames):
    t = frames['times']
    long_ = sum(1 for x in t if x > LONG_FRAME_MS + VSYNC_SLACK_MS)
    return (f'{label}: {len(t)} frames, median {statistics.median(t):5.1f} ms, worst {max(t):6.1f} ms, '
            f'{long_} over {LONG_FRAME_MS} ms, {frames["blank"]} showed blank rows')


def measure_file(driver, tool, name, path, jumps):
    proc = start_server(tool, path, '--read-only')
    try:
        open_page(driver, proc)
        bare = statistics.median(bare_requests(driver))
        frame = statistics.median(empty_frames(driver))
        jump_times(driver, 3)  # warm up: the page's code paths, the server's caches
        t = jump_times(driver, jumps)
        med, p95 = statistics.median(t), percentile(t, 0.95)
        print(f'{name}: baselines: bare request {bare:5.2f} ms, empty frame {frame:5.2f} ms')
        print(f'{name}: jump to painted rows: median {med:6.1f} ms ({med / bare:5.1f}x request, '
              f'{med / frame:4.1f}x frame), p95 {p95:6.1f} ms ({p95 / bare:5.1f}x request, {p95 / frame:4.1f}x frame), '
              f'max {max(t):6.1f} ms ({len(t)} jumps)')
        driver.execute_async_script('window.hexview.grid.jump(0).then(arguments[arguments.length - 1])')
        print(frames_line(f'{name}: idle page (baseline), 2 s', idle_frames(driver, 2)))
        for events, delta in [(120, 100), (120, 600)]:
            driver.execute_async_script('window.hexview.grid.jump(arguments[0]).then(arguments[arguments.length - 1])',
                                        random.Random(events + delta).randrange(driver.execute_script(
                                            'return window.hexview.grid.size') // 2))
            print(frames_line(f'{name}: wheel, {events} events of {delta} px', wheel_frames(driver, events, delta)))
    finally:
        stop_server(proc)


# Types two hex digits at the cursor and waits until the server has the byte.
TYPE_BYTE = '''const done = arguments[arguments.length - 1];
    const grid = document.getElementById('grid');
    const t0 = performance.now();
    for (const key of ['a', 'b']) grid.dispatchEvent(new KeyboardEvent('keydown', { key, bubbles: true, cancelable: true }));
    (function wait() {
      if (window.hexview.edits.waiting === 0) done(performance.now() - t0);
      else setTimeout(wait, 0);
    })();'''


def typed_byte_times(driver, tool, staged, count=30):
    path = os.path.join(tempfile.gettempdir(), 'hexview-serve-bench-typing.bin')
    with open(path, 'wb') as f:
        f.write(bytes(64 << 10))
    proc = start_server(tool, path, '--force')
    try:
        open_page(driver, proc)
        bare = bare_requests(driver, count)
        driver.set_script_timeout(300)
        driver.execute_async_script('''const [n, done] = arguments;
            import('/api.js').then(async ({ post }) => {
              for (let i = 0; i < n; i++) await post('/api/write', { offset: 2 * i, hex: 'ee' });
              await window.hexview.edits.refresh();
              done();
            });''', staged)
        driver.execute_script('window.hexview.grid.moveTo(0x8000); document.getElementById("grid").focus()')
        driver.execute_async_script(TYPE_BYTE)  # the run's first byte, a new edit
        typed = [driver.execute_async_script(TYPE_BYTE) for _ in range(count)]
        return typed, bare
    finally:
        stop_server(proc)
        os.remove(path)


def main():
    tool = sys.argv[1]
    jumps = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    options = Options()
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--window-size=1400,900', '--user-data-dir=' + tempfile.mkdtemp()]:
        options.add_argument(flag)
    options.binary_location = '/usr/bin/chromium'
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    driver.set_script_timeout(120)
    try:
        for name, path in [('1 GiB random file', random_gib_file()), ('64 GiB sparse file', sparse_file())]:
            measure_file(driver, tool, name, path, jumps)
        for staged in [0, 900]:
            typed, bare = typed_byte_times(driver, tool, staged)
            t, b = statistics.median(typed), statistics.median(bare)
            print(f'typed byte with {staged:3d} edits staged: median {t:6.1f} ms, p95 {percentile(typed, 0.95):6.1f} ms, '
                  f'max {max(typed):6.1f} ms ({len(typed)} bytes); bare request {b:5.2f} ms, ratio {t / b:5.1f}')
    finally:
        driver.quit()


if __name__ == '__main__':
    main()
