#!/usr/bin/python3
"""Time from a jump to the painted rows in headless Chromium, on a 1 GiB file
of random bytes and a 64 GiB sparse file: the page's own jump (go to an offset
far from the view), measured in the page from the call until every visible
row is painted with its bytes (the rows are fetched from hexview serve).

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
    finally:
        driver.quit()


if __name__ == '__main__':
    main()
