"""hexview serve with more than one tab, and tabs that go away: a change made
on what another tab replaced is refused and the tab catches up; a save runs
to its end when its tab is reloaded, and the page that comes back says so.

Run: python3 browser_tabs_test.py /path/to/hexview"""
import json
import os
import urllib.request

from browser_support import BrowserCase, Keys, main


class OtherTab:
    """Another tab of the same server, played by the test over HTTP: a session
    of its own, traded from a fresh launch address as a page does."""

    def __init__(self, server):
        self.server = server
        launch = server.fresh_url().rsplit('#launch=', 1)[1]
        answer = self.request('/api/session', None, {'X-Hexview-Launch': launch})
        self.token = answer['token']

    def request(self, path, body, headers=None):
        headers = dict(headers or {})
        headers.update({'Origin': self.server.base, 'Content-Type': 'application/json'})
        if getattr(self, 'token', None):
            headers['X-Hexview-Token'] = self.token
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.server.base + path, data=data, headers=headers,
                                     method='POST' if path != '/api/staged' else 'GET')
        with urllib.request.urlopen(req, timeout=30) as res:
            return json.load(res)


class TabsTest(BrowserCase):
    def error_text(self):
        return self.driver.execute_script(
            'const e = document.getElementById("error"); return e.hidden ? "" : e.textContent')

    def until_caught_up(self, path):
        """The page started again on `path` and says why."""
        self.until_text('file-name', os.path.basename(path))
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait.until(lambda d: 'changed in another tab' in self.error_text())
        self.wait_painted()

    def test_a_change_on_what_another_tab_replaced_is_refused(self):
        """The other tab opens another file: bytes typed here, on the first
        file's rows, never land in it. The other tab stages an edit: an undo
        here, made before this tab saw it, never takes it away."""
        first = self.file('first.bin', b'first file ' * 8)
        second = self.file('second.bin', b'SECOND file ' * 8)
        server = self.open(first)
        self.refusals_expected = True
        other = OtherTab(server)
        other.request('/api/open', {'path': second})

        self.grid_keys('e', 'e')
        self.until_caught_up(second)
        self.assertEqual(self.rows()[0][2], 'SECOND file SECO', 'the tab shows the file as it is now')
        self.assertEqual(self.staged(), [])
        self.assertEqual(other.request('/api/staged', None)['staged'], [], 'nothing landed in the other file')

        # Coming back into view, a tab asks for the staged list: when another
        # file was opened meanwhile, it starts again on it rather than
        # taking its version and showing its bytes under the old name.
        third = self.file('third.bin', b'THIRD file ' * 8)
        other.request('/api/open', {'path': third})
        self.driver.execute_script('window.hexview.edits.refresh()')
        self.until_caught_up(third)
        self.assertEqual(self.rows()[0][2], 'THIRD file THIRD')
        other.request('/api/open', {'path': second})
        self.driver.execute_script('window.hexview.edits.refresh()')
        self.until_caught_up(second)

        other.request('/api/write', {'offset': 0, 'hex': '73'})
        self.grid_keys(Keys.CONTROL, 'z')
        self.until_caught_up(second)
        kept = other.request('/api/staged', None)
        self.assertEqual([(e['op'], e['offset']) for e in kept['staged']], [('write', '0x000000000000')],
                         "the other tab's edit is still staged")
        self.assertEqual(self.rows()[0][2], 'sECOND file SECO', 'and this tab shows it')
        with open(first, 'rb') as f:
            self.assertEqual(f.read(), b'first file ' * 8)

    def test_a_save_runs_to_its_end_when_its_tab_is_reloaded(self):
        """A save of a few hundred MiB that must rewrite the file (an insert)
        goes on through a reload, and the page that comes back says it ended."""
        size = 384 << 20
        path = os.path.join(self.dir, 'big.bin')
        with open(path, 'wb') as f:
            block = bytes(range(256)) * 4096
            for _ in range(size // len(block)):
                f.write(block)
        self.open(path)
        self.grid_keys(Keys.INSERT, 'a', 'b', Keys.INSERT)
        self.settle()
        self.grid_keys(Keys.CONTROL, 's')
        self.wait.until(lambda d: d.find_element('id', 'confirm-dialog').get_attribute('open'))
        self.by_id('confirm-ok').click()
        self.wait.until(lambda d: d.find_element('id', 'job-bar').is_displayed())
        self.driver.refresh()  # no question: the running save carries the edits
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait.until(lambda d: 'The save started before this page was loaded ended: saved '
                        in d.execute_script('return document.getElementById("notice").textContent'))
        self.assertEqual(self.staged(), [])
        self.assertEqual(os.path.getsize(path), size + 1)
        with open(path, 'rb') as f:
            self.assertEqual(f.read(4), b'\xab\x00\x01\x02')


if __name__ == '__main__':
    main()
