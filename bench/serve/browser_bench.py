#!/usr/bin/python3
"""Time from a jump to the painted rows in headless Chromium, on a 1 GiB file
of random bytes and a 64 GiB sparse file: the page's own jump (go to an offset
far from the view), measured in the page from the call until every visible
row is painted with its bytes (the rows are fetched from hexview serve).

Also the time per typed byte, from the key to the server's answer, with no
other edit staged and with 900 staged (a typed run joins the last edit, so
the server stages the whole list again for each byte).
Usage: bench/serve/browser_bench.py build/default/tools/hexview/hexview [JUMPS]
"""
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

GIB = 1 << 30


def random_gib_file():
    path = os.path.join(tempfile.gettempdir(), 'hexview-serve-bench-1g.bin')
    if not os.path.exists(path) or os.path.getsize(path) != GIB:
        with open(path, 'wb') as f:
            for _ in range(GIB // (16 << 20)):
                f.write(os.urandom(16 << 20))
    return path


def sparse_file():
    path = os.path.join(tempfile.gettempdir(), 'hexview-serve-bench-64g.bin')
    with open(path, 'wb') as f:
        f.truncate(64 * GIB)
    return path


def measure(driver, tool, path, jumps):
    proc = subprocess.Popen([tool, 'serve', path, '--read-only'], stdout=subprocess.PIPE, text=True)
    try:
        url = next(m.group(1) for line in proc.stdout if (m := re.search(r'open (http://\S+)', line)))
        driver.get(url)
        driver.execute_async_script('''const done = arguments[arguments.length - 1];
            (function wait() { window.hexview ? window.hexview.grid.painted().then(done) : setTimeout(wait, 20); })();''')
        size = driver.execute_script('return window.hexview.grid.size')
        rng = random.Random(1)
        times = []
        for _ in range(jumps):
            offset = rng.randrange(size)
            times.append(driver.execute_async_script(
                'window.hexview.timedJump(arguments[0]).then(arguments[arguments.length - 1])', offset))
        return times
    finally:
        proc.terminate()
        proc.wait()
        proc.stdout.close()


def open_page(driver, proc):
    url = next(m.group(1) for line in proc.stdout if (m := re.search(r'open (http://\S+)', line)))
    driver.get(url)
    driver.execute_async_script('''const done = arguments[arguments.length - 1];
        (function wait() { window.hexview ? window.hexview.grid.painted().then(done) : setTimeout(wait, 20); })();''')


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
    proc = subprocess.Popen([tool, 'serve', path, '--force'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        open_page(driver, proc)
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
        # The baseline: one bare request to the same server from the page.
        bare = [driver.execute_async_script('''const done = arguments[arguments.length - 1];
            import('/api.js').then(async ({ get }) => { const t0 = performance.now(); await get('/api/info');
              done(performance.now() - t0); });''') for _ in range(count)]
        return typed, bare
    finally:
        proc.terminate()
        proc.wait()
        proc.stdout.close()
        os.remove(path)


def main():
    tool = sys.argv[1]
    jumps = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    options = Options()
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--window-size=1400,900', '--user-data-dir=' + tempfile.mkdtemp()]:
        options.add_argument(flag)
    options.binary_location = '/usr/bin/chromium'
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    try:
        for name, path in [('1 GiB random file', random_gib_file()), ('64 GiB sparse file', sparse_file())]:
            t = sorted(measure(driver, tool, path, jumps))
            p95 = t[min(len(t) - 1, int(len(t) * 0.95))]
            print(f'{name:20s} jump to painted rows: median {statistics.median(t):6.1f} ms, '
                  f'p95 {p95:6.1f} ms, max {t[-1]:6.1f} ms ({len(t)} jumps)')
        for staged in [0, 900]:
            typed, bare = typed_byte_times(driver, tool, staged)
            t, b = sorted(typed), statistics.median(bare)
            print(f'typed byte with {staged:3d} edits staged: median {statistics.median(t):6.1f} ms, '
                  f'max {t[-1]:6.1f} ms ({len(t)} bytes); a bare request {b:5.1f} ms, '
                  f'ratio {statistics.median(t) / b:4.2f}')
    finally:
        driver.quit()


if __name__ == '__main__':
    main()
