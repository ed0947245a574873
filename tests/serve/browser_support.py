"""What the browser tests of `hexview serve` share: the server in the
background, one headless Chromium for a test class, and helpers that read
the page as a person sees it. Debian's chromium, chromium-driver and
python3-selenium; without them a test file reports itself skipped (77).
"""
import atexit
import contextlib
import http.client
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request

try:
    from selenium import webdriver
except ImportError:
    print('SKIPPED: python3-selenium is not installed (scripts/install-deps python3-selenium)')
    sys.exit(77)
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

TOOL = None  # the hexview binary; main() sets it
GIB = 1 << 30

# Journals that cannot lie beside their file go to the user's state folder:
# the servers these tests start get one of their own, never the real user's.
STATE_HOME = tempfile.mkdtemp(prefix='hexview-state-')
os.environ['XDG_STATE_HOME'] = STATE_HOME
atexit.register(shutil.rmtree, STATE_HOME, ignore_errors=True)
# Bookmarks go to the user's data folder: the same for every server of a test
# file (a later run finds what an earlier one kept), never the real user's.
DATA_HOME = tempfile.mkdtemp(prefix='hexview-data-')
os.environ['XDG_DATA_HOME'] = DATA_HOME
atexit.register(shutil.rmtree, DATA_HOME, ignore_errors=True)

CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                  '--disable-background-networking', '--disable-component-update', '--disable-sync',
                  '--window-size=1400,900']


def sample_bytes():
    """A small file with a header, text, every byte value and repeated words."""
    data = bytearray(b'MZ\x90\x00' + bytes(60))
    data += b'This program cannot be run in DOS mode.\r\n$' + bytes(range(256))
    data += bytes((i * 73 + 41) % 256 for i in range(2000))
    data += b'Hello, hexview! ' * 20
    return bytes(data)


class Server:
    """`hexview serve FILE` in the background, with the launch address it printed."""

    def __init__(self, path, *args, wrapper=()):
        """`wrapper`: a command the server runs under (e.g. in a namespace of its own)."""
        self.proc = subprocess.Popen([*wrapper, TOOL, 'serve', path, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.base, self.port, self.launch = self.next_address()
        self.url = f'{self.base}/#launch={self.launch}'

    def next_address(self):
        for line in self.proc.stdout:
            m = re.search(r'open (http://127\.0\.0\.1:(\d+))/#launch=([0-9a-f]{64})$', line)
            if m:
                return m.group(1), int(m.group(2)), m.group(3)
        raise RuntimeError('hexview serve printed no address')

    def fresh_url(self):
        """Enter where it runs: a fresh launch address."""
        self.proc.stdin.write('\n')
        self.proc.stdin.flush()
        base, _, launch = self.next_address()
        return f'{base}/#launch={launch}'

    def status(self, path, headers):
        """The status of a GET to the server with these headers."""
        req = urllib.request.Request(self.base + path, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=10) as res:
                return res.status
        except urllib.error.HTTPError as e:
            return e.code

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.proc.stdin.close()


class Recorder(http.server.BaseHTTPRequestHandler):
    """A small server of the test's own on another port: answers every GET
    with a page and keeps every request it saw, whole, in `seen`."""
    seen = []

    def do_GET(self):
        Recorder.seen.append(self.requestline + '\n' + str(self.headers))
        if self.path == '/redirect':
            self.send_response(302)
            self.send_header('Location', '/landing')
            self.end_headers()
            return
        body = b'<!doctype html><title>another server</title><p>another server</p>'
        self.send_response(200)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class BrowserCase(unittest.TestCase):
    # One browser for all the tests (it takes seconds to start); each test
    # has its own server, files and cookies.
    @classmethod
    def setUpClass(cls):
        cls.profile = tempfile.mkdtemp(prefix='hexview-browser-profile-')
        options = Options()
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        options.add_argument('--user-data-dir=' + cls.profile)
        options.binary_location = '/usr/bin/chromium'
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        cls.driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.profile, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='hexview-browser-')
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        # The page redraws its elements as it updates: an element found in
        # one poll may be gone by the next read, which is only a retry.
        self.wait = WebDriverWait(self.driver, 20, poll_frequency=0.05,
                                  ignored_exceptions=(StaleElementReferenceException,))
        self.refusals_expected = False
        self.driver.get('about:blank')
        self.driver.get_log('browser')  # drop what earlier tests left

    def tearDown(self):
        # A script error in the page fails the test, whatever it checked.
        errors = [e for e in self.driver.get_log('browser')
                  if e['level'] == 'SEVERE' and not (self.refusals_expected and 'status of 40' in e['message'])
                  and '/api/' not in e['message']]
        self.assertEqual(errors, [])

    # ---- helpers ----------------------------------------------------------

    def file(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, 'wb') as f:
            f.write(data)
        return path

    def sparse_file(self, name, size, tail):
        """A sparse file of `size` bytes whose data is `tail`, 40 bytes before its end."""
        path = os.path.join(self.dir, name)
        with open(path, 'wb') as f:
            f.truncate(size)
            f.seek(size - 40)
            f.write(tail)
        return path

    def open(self, path, *args, wrapper=()):
        server = Server(path, *args, wrapper=wrapper)
        self.addCleanup(server.stop)
        self.driver.get(server.url)
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait_painted()
        return server

    def wait_painted(self):
        self.driver.execute_async_script('window.hexview.grid.painted().then(arguments[arguments.length - 1])')

    def by_id(self, id_):
        return self.driver.find_element(By.ID, id_)

    def rows(self):
        """The visible rows as (offset, hex, text) with the page's spacing."""
        return self.driver.execute_script('''
            return [...document.querySelectorAll('#grid .hrow:not([hidden])')].map((r) => [
              r.querySelector('.c-off').textContent,
              r.querySelector('.c-hex').textContent.trim(),
              r.querySelector('.c-txt').textContent]);''')

    def click_byte(self, row, index, column='hex'):
        """A real click on the byte `index` of a row element, in the hex or the text column."""
        col = row.find_element(By.CSS_SELECTOR, '.c-hex' if column == 'hex' else '.c-txt')
        # From the column's centre (where Selenium's offsets start) to the byte's middle.
        x = self.driver.execute_script('''const [col, i, hex] = arguments;
            const box = col.getBoundingClientRect();
            const ch = col.closest('.hrow').querySelector('.c-hex').getBoundingClientRect().width / 50;
            const middle = hex ? (3 * i + (i > 7 ? 1 : 0) + 1) * ch : (2 + i + 0.5) * ch;
            return Math.round(middle - box.width / 2);''', col, index, column == 'hex')
        ActionChains(self.driver).move_to_element_with_offset(col, x, 0).click().perform()

    def row_at(self, offset):
        label = '0x%0*x' % (12 if self.driver.execute_script('return window.hexview.grid.size') > 0xffffffff else 8,
                            offset)
        for row in self.rows():
            if row[0] == label:
                return row
        self.fail(f'no row {label} in view: {[r[0] for r in self.rows()]}')

    def status(self):
        return self.by_id('st-cursor').text

    def until_text(self, id_, pattern):
        try:
            self.wait.until(lambda d: re.search(pattern, d.find_element(By.ID, id_).text))
        except TimeoutException:
            self.fail(f'#{id_} never matched {pattern!r}: {self.by_id(id_).text!r}')

    def staged(self):
        return self.driver.execute_script(
            'return [...document.querySelectorAll("#staged-list li")].map((li) => [...li.children].map((c) => c.textContent))')

    def grid_keys(self, *keys):
        self.by_id('grid').send_keys(*keys)

    def settle(self):
        """Waits until no edit waits in the queue, no request is in flight and the grid is painted."""
        self.wait.until(lambda d: d.execute_script('return window.hexview.edits.waiting') == 0)
        self.wait.until(lambda d: d.find_element(By.ID, 'st-busy').text == '')
        self.wait_painted()

    @contextlib.contextmanager
    def slow_server(self, latency_ms):
        """Every answer from the server comes `latency_ms` later inside the block."""
        def latency(ms):
            self.driver.execute_cdp_cmd('Network.emulateNetworkConditions', {
                'offline': False, 'latency': ms, 'downloadThroughput': -1, 'uploadThroughput': -1})
        self.driver.execute_cdp_cmd('Network.enable', {})
        latency(latency_ms)
        try:
            yield
        finally:
            latency(0)
            self.driver.execute_cdp_cmd('Network.disable', {})

    @contextlib.contextmanager
    def viewport(self, width, height):
        """The page is `width` x `height` CSS pixels inside the block, as in a
        window of that inner size (the window's own bars left out)."""
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': False})
        try:
            yield
        finally:
            self.driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})

    def screenshot(self, suffix):
        """Saves what the page shows beside HEXVIEW_SCREENSHOT's file, when it is set."""
        shot = os.environ.get('HEXVIEW_SCREENSHOT')
        if shot:
            self.driver.save_screenshot(shot.replace('.png', f'-{suffix}.png'))

    def save(self):
        """Ctrl+S, confirmed, until the page says it saved."""
        self.grid_keys(Keys.CONTROL, 's')
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.by_id('confirm-ok').click()
        self.until_text('notice', '^Saved ')
        self.settle()

    def go_to(self, offset_text):
        box = self.by_id('goto-input')
        box.clear()
        box.send_keys(offset_text, Keys.ENTER)
        self.settle()



def main():
    """Runs a test file's cases: `FILE.py HEXVIEW [unittest arguments]`."""
    global TOOL
    TOOL = sys.argv.pop(1)
    for needed in ['/usr/bin/chromium', '/usr/bin/chromedriver']:
        if not os.path.exists(needed):
            print(f'SKIPPED: {needed} is missing (scripts/install-deps chromium chromium-driver)')
            sys.exit(77)
    unittest.main(module='__main__')
