#!/usr/bin/python3
"""Browser tests of `hexview serve` as a day of patching a firmware image
goes: typing, the mouse, the clipboard, bookmarks and the read tools around
inserts and deletes, each checked against the bytes the server holds or the
saved file.

Usage: browser_daily_test.py HEXVIEW [unittest arguments]
"""
import base64
import os
import random
import socket

from browser_support import BrowserCase, By, Keys, WebDriverWait, main


def firmware(size):
    """A firmware image: a header, version strings, zero padding, random code
    and a text configuration block."""
    rnd = random.Random(7)
    data = bytearray(b'FWIM' + (1).to_bytes(4, 'little') + size.to_bytes(4, 'little') + bytes(52))
    data += b'QuillFirmware v1.2.3\x00' * 4 + bytes(256)
    data += rnd.randbytes(4096) + b'config: baud=115200 mode=8N1\n' * 8
    return bytes(data + rnd.randbytes(size - len(data)))


class DailyTest(BrowserCase):
    # ---- helpers ----------------------------------------------------------

    def content(self):
        """The edited content as the server holds it now."""
        return bytes.fromhex(self.driver.execute_async_script('''
            const done = arguments[arguments.length - 1];
            const token = sessionStorage.getItem("hexview-session");
            fetch(`/api/bytes?offset=0&length=${window.hexview.grid.size}`, {headers: {"X-Hexview-Token": token}})
              .then((r) => r.json()).then((j) => done(j.hex));'''))

    def move(self, offset, extend=False):
        self.driver.execute_script('window.hexview.grid.moveTo(arguments[0], arguments[1])', offset, extend)

    def selection(self):
        return tuple(self.driver.execute_script('return window.hexview.grid.selection()'))

    # ---- typing and deleting ----------------------------------------------

    def test_delete_at_the_place_after_the_last_byte_stages_nothing(self):
        """Delete removes the byte at the cursor: after the last byte there is
        none, so nothing is staged and the cursor stays; Backspace there
        removes the last byte."""
        data = b'0123456789abcdefXYZ'
        self.open(self.file('end.bin', data))
        self.grid_keys(Keys.CONTROL, Keys.END)
        self.grid_keys(Keys.DELETE)
        self.settle()
        self.assertEqual(self.staged(), [])
        self.assertEqual(self.status(), 'offset 0x13 (19), after the end')
        self.assertEqual(self.content(), data)
        self.grid_keys(Keys.BACKSPACE)
        self.settle()
        self.assertEqual(self.content(), data[:-1])
        self.assertEqual(self.status(), 'offset 0x12 (18), after the end')

    def selected(self):
        first, last = self.selection()
        return self.content()[first:last + 1]

    # ---- search hits and compare runs after a save ---------------------------

    def test_hits_and_runs_found_before_a_save_stay_on_their_bytes(self):
        """A save writes the inserts and deletes into the file: hits and runs
        found before it are shown, stepped to and replaced where their bytes
        went, not at their old offsets."""
        text = b'ab cat cd cat ef cat gh cat.'
        path = self.file('c.bin', text)
        self.file('other.bin', text.replace(b'gh', b'GH'))
        self.open(path)
        self.by_id('tab-compare').click()
        self.by_id('compare-input').send_keys('other.bin', Keys.ENTER)
        self.settle()
        self.by_id('tab-search').click()
        self.driver.execute_script("document.getElementById('search-mode').value = 'ascii'")
        self.by_id('search-input').send_keys('cat', Keys.ENTER)
        self.settle()
        self.move(0)
        self.grid_keys(Keys.INSERT, *'4142', Keys.INSERT)
        self.settle()
        self.move(10)
        self.grid_keys(Keys.DELETE)
        self.settle()
        self.save()
        with open(path, 'rb') as f:
            self.assertEqual(f.read(), b'ABab cat c cat ef cat gh cat.')
        # The second hit: F3 from the start steps to it where it is now.
        self.move(4)
        self.grid_keys(Keys.F3)
        self.settle()
        self.assertEqual((self.selection(), self.selected()), ((11, 13), b'cat'))
        self.assertEqual(self.driver.execute_script('return [21, 22, 23, 24].map((o) => window.hexview.compare.markAt(o))'),
                         [False, True, True, False], 'the run gh/GH where its bytes are')
        listed = [li.text.split()[0] for li in self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li')]
        self.assertEqual(listed, ['0x00000005', '0x0000000b', '0x00000012', '0x00000019'])
        # Replace goes to the bytes the hits are on.
        self.by_id('replace-input').send_keys('DOG')
        self.by_id('replace-all').click()
        self.settle()
        self.assertEqual(self.content(), b'ABab DOG c DOG ef DOG gh DOG.')

    def test_deletes_act_where_the_keys_were_pressed_while_the_server_is_slow(self):
        """Delete, Backspace and the Insert form act on the cursor and the
        selection as they were when pressed, even when keys move the cursor
        before the edits before them are stored."""
        self.open(self.file('d.bin', bytes(range(32))))
        self.by_id('tab-edits').click()
        with self.slow_server(400):
            self.by_id('grid').click()
            self.move(0)
            self.grid_keys(*'aabb')
            self.grid_keys(Keys.DELETE)                 # the byte 02, at 2
            self.grid_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
            self.grid_keys(Keys.BACKSPACE)              # the byte before 5: 05
            self.grid_keys(Keys.SHIFT, Keys.ARROW_RIGHT)
            self.grid_keys(Keys.DELETE)                 # the selection 4-5: 06 07
            self.by_id('insert-btn').click()
            self.by_id('insert-input').clear()
            self.by_id('insert-input').send_keys('ee', Keys.ENTER)  # before 4
            self.move(9)
            self.settle()
        self.assertEqual(self.content()[:8], bytes([0xaa, 0xbb, 3, 4, 0xee, 8, 9, 10]))
        self.assertEqual(self.status(), 'offset 0x9 (9)', 'the cursor stays where it was moved')

    def test_random_keys_typed_ahead_of_a_slow_server_land_as_shown(self):
        """Keys of every kind (hex and text, INS and OVR, moves, Shift
        selections, Delete and Backspace, the place after the last byte)
        pressed faster than the server answers: the content and the cursor
        end as a model of the keys says, as the grid showed them."""
        for seed in (2, 5, 8):
            with self.subTest(seed=seed):
                keys, expected, cursor = self.random_keys(random.Random(seed), bytes(random.Random(seed).randbytes(40)))
                self.open(self.file(f'k{seed}.bin', random.Random(seed).randbytes(40)))
                with self.slow_server(200):
                    for k in keys:
                        self.grid_keys(*k)
                    self.settle()
                self.assertEqual((self.content(), self.driver.execute_script('return window.hexview.grid.cursor')),
                                 (expected, cursor), keys)

    @staticmethod
    def random_keys(rnd, data):
        """60 random key presses for the grid, with the content and the cursor they leave."""
        content = bytearray(data)
        cur, anchor, column, insert = 0, None, 'hex', False
        keys = []

        def selection():
            return None if anchor is None or anchor == cur else (min(anchor, cur), max(anchor, cur))

        def put(byte):
            nonlocal cur, anchor
            at = selection()[0] if selection() else cur
            if not insert and at < len(content):
                content[at] = byte
            else:
                content.insert(at, byte)
            cur, anchor = at + 1, None

        for _ in range(60):
            op = rnd.choice(['hex', 'hex', 'text', 'text', 'left', 'right', 'shift', 'del', 'bs', 'ins', 'tab', 'end'])
            if op in ('hex', 'text', 'tab'):
                if op == 'tab' or column != op:
                    keys.append([Keys.TAB] if column == 'hex' else [Keys.SHIFT, Keys.TAB])
                    column = 'text' if column == 'hex' else 'hex'
                if op == 'hex':
                    byte = rnd.randrange(256)
                    keys.append(list('%02x' % byte))
                    put(byte)
                elif op == 'text':
                    char = rnd.choice('abcXYZ019 !')
                    keys.append([char])
                    put(ord(char))
            elif op in ('left', 'right', 'end'):
                keys.append({'left': [Keys.ARROW_LEFT], 'right': [Keys.ARROW_RIGHT], 'end': [Keys.CONTROL, Keys.END]}[op])
                cur = {'left': max(0, cur - 1), 'right': min(len(content), cur + 1), 'end': len(content)}[op]
                anchor = None
            elif op == 'shift' and content:
                keys.append([Keys.SHIFT, Keys.ARROW_RIGHT])
                anchor = cur if anchor is None else anchor
                cur = min(cur + 1, len(content) - 1)
            elif op in ('del', 'bs'):
                keys.append([Keys.DELETE if op == 'del' else Keys.BACKSPACE])
                first, last = selection() or ((cur, cur) if op == 'del' else (cur - 1, cur - 1))
                if 0 <= first < len(content):
                    del content[first:last + 1]
                    cur = first
                anchor = None
            elif op == 'ins':
                keys.append([Keys.INSERT])
                insert = not insert
        return keys, bytes(content), cur

    def test_a_search_from_the_cursor_starts_where_the_cursor_is_with_staged_inserts(self):
        """The file is searched as saved: a search from the cursor starts at
        the cursor's place there, so no hit after the cursor is left out."""
        data = bytearray(100)
        data[10:13] = data[60:63] = b'cat'
        self.open(self.file('c.bin', bytes(data)))
        self.grid_keys(Keys.INSERT, *('ab' * 40), Keys.INSERT)
        self.settle()
        self.move(45)
        self.by_id('search-from-cursor').click()
        self.driver.execute_script("document.getElementById('search-mode').value = 'ascii'")
        self.by_id('search-input').send_keys('cat', Keys.ENTER)
        self.settle()
        listed = [li.text.split()[0] for li in self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li')]
        self.assertEqual(listed, ['0x00000032', '0x00000064'])
        self.until_text('search-summary', '^2 hits from 0x2d')

    # ---- bookmarks ----------------------------------------------------------

    def bookmark(self, first, last, name):
        self.move(first)
        self.move(last, True)
        self.grid_keys(Keys.CONTROL, 'd')
        self.wait.until(lambda d: d.execute_script('return document.activeElement.id') == 'bookmark-name')
        self.by_id('bookmark-name').send_keys(name, Keys.ENTER)

    def bookmarked(self, name):
        """Clicks the bookmark `name`: the bytes it selects, and its offset as listed."""
        for button in self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li button.go'):
            if name in button.text:
                button.click()
                self.settle()
                first, last = self.selection()
                return self.content()[first:last + 1], int(button.text.split()[0], 16)
        self.fail(f'no bookmark {name}: {self.by_id("bookmark-list").text}')

    def test_bookmarks_follow_inserts_and_deletes_and_keep_their_bytes_after_a_save(self):
        data = firmware(1 << 16)
        config = data.index(b'config:')
        version = data.index(b'QuillFirmware')
        path = self.file('fw.bin', data)
        server = self.open(path)
        self.bookmark(config, config + 6, 'config')
        # Four bytes inserted before it: the bookmark moves with its bytes.
        self.move(0x10)
        self.grid_keys(Keys.INSERT, *'11223344', Keys.INSERT)
        self.settle()
        self.assertEqual(self.bookmarked('config'), (b'config:', config + 4))
        # One made while the insert is staged, then two bytes deleted before both.
        self.bookmark(version + 4, version + 4 + 12, 'version')
        self.move(0x20)
        self.move(0x21, True)
        self.grid_keys(Keys.DELETE)
        self.settle()
        self.assertEqual(self.bookmarked('config'), (b'config:', config + 2))
        self.assertEqual(self.bookmarked('version'), (b'QuillFirmware', version + 2))
        # Saved, the file holds the bytes where the bookmarks now are, after a reload too.
        self.save()
        with open(path, 'rb') as f:
            saved = f.read()
        self.assertEqual(saved[config + 2:config + 9], b'config:')
        self.driver.get(server.fresh_url())
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait_painted()
        self.by_id('tab-tools').click()
        self.assertEqual(self.bookmarked('config'), (b'config:', config + 2))
        # A discarded insert leaves them where the file has them.
        self.move(0)
        self.grid_keys(Keys.INSERT, 'a', 'a', Keys.INSERT)
        self.settle()
        self.assertEqual(self.bookmarked('version'), (b'QuillFirmware', version + 3))
        self.by_id('tab-edits').click()
        self.by_id('discard-btn').click()
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.by_id('confirm-ok').click()
        self.settle()
        self.by_id('tab-tools').click()
        self.assertEqual(self.bookmarked('version'), (b'QuillFirmware', version + 2))

    def load(self, url):
        self.driver.get(url)
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait_painted()

    def test_bookmarks_kept_by_one_run_are_found_by_the_next_on_another_port(self):
        """The browser keeps localStorage by origin, so by port: the server
        keeps the bookmarks, and says when the file was replaced since."""
        data = firmware(1 << 14)
        version = data.index(b'QuillFirmware')
        path = self.file('fw.bin', data)
        first = self.open(path)
        self.bookmark(0, 3, 'magic')
        self.bookmark(version, version + 12, 'version')
        self.until_text('bookmark-summary', '^2 bookmarks, kept by hexview serve for this file$')
        first.stop()
        with socket.socket() as s:  # a free port, not the first run's
            s.bind(('127.0.0.1', 0))
            port = s.getsockname()[1] if s.getsockname()[1] != first.port else first.port + 1
        second = self.open(path, '--port', str(port))
        self.assertNotEqual(second.port, first.port)
        self.by_id('tab-tools').click()
        self.assertEqual(self.bookmarked('version'), (b'QuillFirmware', version))
        self.assertEqual(self.bookmarked('magic'), (b'FWIM', 0))
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li.stale'), [])

        # Another file at the same path: they come back marked, and stay so.
        second.stop()
        with open(path + '.new', 'wb') as f:
            f.write(firmware(1 << 14))
        os.replace(path + '.new', path)
        self.open(path)
        self.by_id('tab-tools').click()
        self.until_text('bookmark-summary', r'^2 bookmarks, kept by hexview serve for this file; all made on another '
                        r'state of the file \(another file is at this path now \(it was replaced\)\): check them')
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li.stale')), 2)
        self.bookmark(4, 7, 'size')
        self.until_text('bookmark-summary', r'^3 bookmarks, kept by hexview serve for this file; 2 made on another')
        stale = [li.text for li in self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li.stale')]
        self.assertEqual([t.split('\n')[1] for t in stale], ['magic', 'version'])

    def test_bookmarks_this_browser_kept_are_taken_over_once(self):
        """A list the page kept in localStorage before the server kept them
        goes to the server the first time, and leaves the browser."""
        data = firmware(1 << 14)
        path = self.file('old.bin', data)
        server = self.open(path)
        key = 'hexview-bookmarks:' + path
        self.driver.execute_script('localStorage.setItem(arguments[0], JSON.stringify(arguments[1]))', key,
                                   [{'name': 'old', 'offset': 4, 'length': 4, 'size': len(data)}])
        self.load(server.fresh_url())
        self.by_id('tab-tools').click()
        self.until_text('bookmark-summary', '^1 bookmark, kept by hexview serve for this file$')
        self.assertEqual(self.bookmarked('old'), (data[4:8], 4))
        self.assertIsNone(self.driver.execute_script('return localStorage.getItem(arguments[0])', key))
        # Deleted, it does not come back from the browser.
        self.driver.find_element(By.CSS_SELECTOR, '#bookmark-list li button.drop').click()
        self.until_text('bookmark-summary', '^No bookmarks yet')
        self.settle()
        self.load(server.fresh_url())
        self.by_id('tab-tools').click()
        self.until_text('bookmark-summary', '^No bookmarks yet')

    def test_characters_made_with_altgr_are_typed_in_the_text_column(self):
        """On many keyboards @, { and € take AltGr, which Windows reports as
        Ctrl+Alt: they are characters to type, not shortcuts."""
        self.open(self.file('a.bin', bytes(8)))
        self.driver.execute_script('window.hexview.grid.setColumn("text")')
        for key, code in [('@', 'KeyQ'), ('{', 'Digit7'), ('€', 'KeyE')]:
            for kind in ('keyDown', 'keyUp'):
                self.driver.execute_cdp_cmd('Input.dispatchKeyEvent', {
                    'type': kind, 'modifiers': 3, 'key': key, 'code': code, 'text': key if kind == 'keyDown' else ''})
        self.settle()
        self.assertEqual(self.content(), '@{€'.encode() + bytes(3))

    def test_a_half_typed_byte_dropped_by_tab_is_said(self):
        self.open(self.file('h.bin', bytes(32)))
        self.grid_keys('a', Keys.TAB)
        self.until_text('notice', 'the half-typed byte "a" was dropped')
        self.grid_keys('Z')
        self.settle()
        self.assertEqual(self.content()[:2], b'Z\x00')

    def test_tab_and_shift_tab_switch_columns_from_either_one(self):
        """As the help says: Tab and Shift+Tab switch between the hex and the
        text column from either one, and the keys stay in the grid (not on to
        the inspector)."""
        self.open(self.file('t.bin', bytes(16)))
        for keys, column in [([Keys.TAB], 'text'), ([Keys.TAB], 'hex'),
                             ([Keys.SHIFT, Keys.TAB], 'text'), ([Keys.SHIFT, Keys.TAB], 'hex')]:
            self.grid_keys(*keys)
            self.assertEqual(self.driver.execute_script(
                'return [window.hexview.grid.column, document.activeElement.id]'), [column, 'grid'], keys)
        # Text, then Tab back: hex digits go to the hex column.
        self.grid_keys(Keys.TAB, 'A', Keys.TAB, *'42')
        self.settle()
        self.assertEqual(self.content()[:3], b'AB\x00')
        self.assertIn('Tab / Shift+Tabswitch between the hex and text columns',
                      self.by_id('help-dialog').get_attribute('textContent'))

    # ---- messages -----------------------------------------------------------

    def error_shown(self):
        return self.by_id('error').is_displayed()

    def test_an_error_goes_when_a_later_action_succeeds(self):
        """An error bar covers the first rows: the next action that works
        takes it away (a key in the grid, a click, a form sent); one that
        fails shows its own. Typing into a field to mend it is no action yet."""
        self.open(self.file('e.bin', bytes(64)))
        self.go_to('zz')
        self.until_text('error-text', '^not an offset: "zz"')
        box = self.by_id('goto-input')
        box.clear()
        box.send_keys('0x2')
        self.assertTrue(self.error_shown(), 'typing into the field to mend it')
        box.send_keys(Keys.ENTER)
        self.settle()
        self.assertEqual((self.error_shown(), self.status()), (False, 'offset 0x2 (2)'))
        # A key in the grid after a failure elsewhere.
        self.go_to('0x999')
        self.until_text('error-text', '^offset 0x999 is outside the file')
        self.grid_keys(Keys.ARROW_RIGHT)
        self.assertEqual((self.error_shown(), self.status()), (False, 'offset 0x3 (3)'))
        # A click on a tab; and an action that fails again shows its error.
        self.go_to('zz')
        self.until_text('error-text', '^not an offset')
        self.by_id('tab-edits').click()
        self.assertFalse(self.error_shown())
        self.by_id('tab-compare').click()
        self.by_id('compare-input').send_keys('missing.bin', Keys.ENTER)
        self.until_text('error-text', 'missing.bin')
        self.driver.execute_script('window.hexview.grid.focus()')
        self.grid_keys(Keys.ARROW_DOWN)
        self.assertFalse(self.error_shown())

    # ---- compare --------------------------------------------------------------

    def test_sizes_that_read_the_same_rounded_are_said_in_bytes(self):
        """4 MiB and 4 MiB + 10 bytes both read "4.00 MiB": the compare says
        the sizes in bytes, and by how much they differ."""
        path = self.sparse_file('a.bin', 4 << 20, b'same tail ' * 4)
        self.sparse_file('b.bin', (4 << 20) + 10, b'same tail ' * 4)
        self.file('small.bin', bytes(1024))
        self.open(path)
        self.by_id('tab-compare').click()
        self.by_id('compare-input').send_keys('b.bin', Keys.ENTER)
        self.until_text('compare-summary', 'Sizes differ')
        self.assertIn('Sizes differ: this file 4,194,304 bytes, the other 4,194,314 bytes (10 bytes longer); '
                      'past its end the shorter reads as 00.', self.by_id('compare-summary').text)
        box = self.by_id('compare-input')
        box.clear()
        box.send_keys('small.bin', Keys.ENTER)
        self.until_text('compare-summary', 'Sizes differ: this file 4.00 MiB, the other 1.00 KiB '
                                           r'\(4,193,280 bytes shorter\)')

    # ---- the layout in smaller windows ------------------------------------------

    def test_the_help_fits_a_760_px_tall_window(self):
        """The list of keys is taller than a 760 px window: it scrolls within
        the help, whose title and Close button stay in view."""
        with self.viewport(1400, 760):
            self.open(self.file('h.bin', bytes(256)))
            self.grid_keys(Keys.F1)
            self.wait.until(lambda d: d.find_element(By.ID, 'help-dialog').get_attribute('open'))
            self.screenshot('help-760')
            seen = self.driver.execute_script('''
                const box = (id) => document.getElementById(id).getBoundingClientRect();
                const close = box('help-close');
                const hit = document.elementFromPoint((close.left + close.right) / 2, (close.top + close.bottom) / 2);
                return {dialog: [box('help-dialog').top, box('help-dialog').bottom], title: box('help-title').top,
                        close: [close.top, close.bottom], onClose: hit && hit.id, height: innerHeight};''')
            self.assertEqual(seen['height'], 760)
            self.assertGreaterEqual(seen['dialog'][0], 0, seen)
            self.assertLessEqual(seen['dialog'][1], 760, seen)
            self.assertGreaterEqual(seen['title'], 0, seen)
            self.assertLessEqual(seen['close'][1], 760, seen)
            self.assertEqual(seen['onClose'], 'help-close', 'the Close button is in view, on top')
            # The last key is reached by scrolling the list.
            last = self.driver.execute_script('''
                const list = document.querySelector('#help-dialog .keys-scroll');
                list.scrollTop = list.scrollHeight;
                const row = list.querySelector('tr:last-child').getBoundingClientRect();
                return [row.bottom <= list.getBoundingClientRect().bottom + 1, list.querySelector('tr:last-child').textContent];''')
            self.assertEqual(last, [True, '? or F1this list'])
            self.by_id('help-close').click()
            self.assertFalse(self.by_id('help-dialog').get_attribute('open'))

    def test_the_inspector_has_room_in_an_800_px_wide_window(self):
        """Below the grid at 800 px wide, the inspector stands whole beside the
        tool tabs, not in a box of three rows."""
        for height in (900, 760):
            with self.subTest(height=height), self.viewport(800, height):
                self.open(self.file('i.bin', bytes(range(256))))
                self.screenshot(f'inspector-800x{height}')
                seen = self.driver.execute_script('''
                    const panel = document.getElementById('inspector').closest('.panel').getBoundingClientRect();
                    const rows = [...document.querySelectorAll('#inspector tbody tr')].map((r) => r.getBoundingClientRect());
                    const pane = document.getElementById('pane-search').getBoundingClientRect();
                    return {rows: rows.length, inView: rows.filter((r) => r.top >= panel.top && r.bottom <= panel.bottom + 1).length,
                            beside: pane.left >= panel.right - 1, pane: pane.height};''')
                self.assertEqual(seen['inView'], seen['rows'], seen)
                self.assertEqual(seen['rows'], 13)
                self.assertTrue(seen['beside'], seen)
                self.assertGreater(seen['pane'], 200, seen)

    # ---- the mouse ----------------------------------------------------------

    def point(self, offset, column='hex', into=0.5):
        """Where in the window the byte at `offset` is painted (`into` its
        width from the left), in its row's hex or text column; past the last
        byte, where it would be."""
        return self.driver.execute_script('''const [offset, hex, into] = arguments;
            const grid = window.hexview.grid;
            const row = document.querySelectorAll('#grid .hrow')[Math.floor(offset / 16) - grid.firstRow];
            const i = offset % 16;
            const col = row.querySelector(hex ? '.c-hex' : '.c-txt').getBoundingClientRect();
            const ch = row.querySelector('.c-hex').getBoundingClientRect().width / 50;
            const x = hex ? (3 * i + (i > 7 ? 1 : 0) + 2 * into) * ch : (2 + i + into) * ch;
            return [col.left + x, (col.top + col.bottom) / 2];''', offset, column == 'hex', into)

    def mouse(self, kind, at, shift=False):
        self.driver.execute_cdp_cmd('Input.dispatchMouseEvent', {
            'type': kind, 'x': at[0], 'y': at[1], 'button': 'left', 'clickCount': 1,
            'buttons': 0 if kind == 'mouseReleased' else 1, 'modifiers': 8 if shift else 0})

    def drag(self, *points):
        self.mouse('mousePressed', points[0])
        for at in points[1:]:
            self.mouse('mouseMoved', at)
        self.mouse('mouseReleased', points[-1])

    def test_drags_across_rows_the_gap_and_past_the_last_byte(self):
        """A drag selects from the byte it starts on to the one under the
        mouse, across rows, the gap after byte 7 and into the text column;
        past the last byte (the rest of its row, the place to append at) it
        reaches the last byte. At 1400 and 640 px, where the type shrinks."""
        size = 16 * 4 + 5
        for width in (1400, 640):
            with self.subTest(width=width):
                self.driver.set_window_size(width, 900)
                self.addCleanup(self.driver.set_window_size, 1400, 900)
                self.open(self.file('m.bin', bytes(range(size))))
                cases = [
                    ([self.point(14), self.point(7 + 32, 'hex', 0.9)], (14, 39)),
                    ([self.point(7, 'hex', 0.95), self.point(8, 'hex', 0.05)], (7, 8)),
                    ([self.point(20, 'text'), self.point(3, 'text')], (3, 20)),
                    ([self.point(5), self.point(size - 3, 'text')], (5, size - 3)),
                    ([self.point(size - 3), self.point(size)], (size - 3, size - 1)),
                    ([self.point(size - 2, 'text'), self.point(size + 6, 'text')], (size - 2, size - 1)),
                ]
                for points, selected in cases:
                    self.drag(*points)
                    self.assertEqual(self.selection(), selected, points)
                # Shift+click extends from the cursor; a click on the place after the last byte puts the cursor there.
                self.drag(self.point(2))
                self.mouse('mousePressed', self.point(50, 'text'), shift=True)
                self.mouse('mouseReleased', self.point(50, 'text'), shift=True)
                self.assertEqual(self.selection(), (2, 50))
                self.drag(self.point(size))
                self.assertEqual(self.status(), f'offset 0x{size:x} ({size}), after the end')

    def test_a_string_listed_before_edits_is_selected_where_its_bytes_went(self):
        data = firmware(1 << 14)
        config = data.index(b'config:')
        path = self.file('fw.bin', data)
        self.open(path)
        self.move(0x10)
        self.grid_keys(Keys.INSERT, *'aabbccdd', Keys.INSERT)
        self.settle()
        self.by_id('tab-tools').click()
        self.by_id('strings-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('strings-summary', 'strings of 4\\+ characters')
        # The second config line: a run of its own (random bytes may run into the first).
        line = data.index(b'config:', config + 1)
        item = next(b for b in self.driver.find_elements(By.CSS_SELECTOR, '#strings-list li button')
                    if b.text.startswith('0x%08x' % (line + 4)))
        self.move(0)
        self.grid_keys(Keys.DELETE)           # one byte before every run
        self.settle()
        self.save()                            # and the listing's edits, saved
        self.move(0)
        self.grid_keys(Keys.INSERT, *'eeff', Keys.INSERT)
        self.settle()
        item.click()
        self.settle()
        first, last = self.selection()
        self.assertEqual((first, self.selected()[:7]), (line + 4 - 1 + 2, b'config:'))
        # A listing made with an edit that is then undone: said, nothing selected.
        self.move(0)
        self.by_id('strings-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('strings-summary', 'strings of 4\\+ characters in the whole file')
        self.grid_keys(Keys.CONTROL, 'z')
        self.settle()
        self.move(3)
        self.driver.find_elements(By.CSS_SELECTOR, '#strings-list li button')[0].click()
        self.until_text('error-text', '^the edits changed since this listing in a way it cannot follow')
        self.assertEqual(self.status(), 'offset 0x3 (3)')

    # ---- the clipboard ----------------------------------------------------

    def test_text_copied_as_text_pastes_back_as_the_same_bytes(self):
        data = 'Grüße, café ☕'.encode() + bytes(16)
        self.open(self.file('t.bin', data))
        self.move(0)
        self.move(len('Grüße, café ☕'.encode()) - 1, True)
        self.by_id('tab-edits').click()
        self.by_id('copy-format').send_keys('text (UTF-8)')
        self.by_id('copy-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('notice', '^Copied 18 bytes as text')
        self.assertEqual(self.driver.execute_script('return window.hexview.lastCopied'), 'Grüße, café ☕')
        self.driver.execute_script('window.hexview.grid.setColumn("text")')
        self.move(len(data) - 16)
        self.grid_keys(Keys.CONTROL, 'v')
        self.settle()
        self.assertEqual(self.content(), 'Grüße, café ☕'.encode() * 2)

    def test_keys_after_a_paste_go_on_from_its_end_while_the_server_is_slow(self):
        """A paste shows at once and the cursor steps past it, as typed bytes
        do: keys pressed before the server answers go on from there."""
        cases = [('over', [], bytes([0xaa, 0xbb, 0xcc]) + bytes(13)),
                 ('inserted', [Keys.INSERT], bytes([0xaa, 0xbb, 0xcc]) + bytes(16)),
                 ('past the end', [Keys.CONTROL, Keys.END], bytes(16) + bytes([0xaa, 0xbb, 0xcc]))]
        for name, keys, expected in cases:
            with self.subTest(name):
                self.open(self.file('p.bin', bytes(16)))
                self.clipboard('aa bb')
                with self.slow_server(300):
                    if keys:
                        self.grid_keys(*keys)
                    self.grid_keys(Keys.CONTROL, 'v')
                    self.grid_keys('c', 'c')
                    self.assertEqual(self.status().split(' (')[0], 'offset 0x%x' % (expected.index(0xcc) + 1))
                    self.settle()
                self.assertEqual(self.content(), expected)

    def clipboard(self, text):
        """Puts `text` on the browser's clipboard, as another program would."""
        self.driver.execute_cdp_cmd('Browser.grantPermissions', {
            'permissions': ['clipboardReadWrite', 'clipboardSanitizedWrite'],
            'origin': self.driver.execute_script('return location.origin')})
        self.assertEqual(self.driver.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            'navigator.clipboard.writeText(arguments[0]).then(() => done("ok"), (e) => done(String(e)))', text), 'ok')

    def test_a_copy_the_browser_refuses_says_nothing_was_copied(self):
        self.open(self.file('r.bin', b'ABCD'))
        self.driver.execute_script('''Object.defineProperty(navigator.clipboard, "writeText",
            { value: () => Promise.reject(new DOMException("Document is not focused.", "NotAllowedError")) })''')
        self.grid_keys(Keys.CONTROL, 'a')
        self.grid_keys(Keys.CONTROL, 'c')
        self.until_text('error-text', r'^the browser kept the clipboard from the page \(Document is not focused\.\): '
                                      'nothing was copied')
        self.assertFalse(self.by_id('notice').is_displayed())

    def test_a_copy_of_several_server_answers_gets_every_byte_in_order(self):
        """The server answers 1 MiB at a time: a copy of 2.5 MiB that starts
        and ends off the pieces' bounds, with typed bytes across a bound,
        comes out whole."""
        data = random.Random(11).randbytes(3 << 20)
        self.open(self.file('big.bin', data))
        first, last = 5, 5 + (5 << 19)
        bound = first + (1 << 20)
        self.move(bound - 1)
        self.grid_keys(*'aabb')
        self.settle()
        expected = data[:bound - 1] + b'\xaa\xbb' + data[bound + 1:]
        self.move(first)
        self.move(last, True)
        self.by_id('tab-edits').click()
        self.by_id('copy-format').send_keys('base64')
        self.by_id('copy-form').find_element(By.TAG_NAME, 'button').click()
        # Three answers of 2 MiB of JSON each: on a loaded machine that takes a
        # while, and a failure says why.
        WebDriverWait(self.driver, 120, poll_frequency=0.05).until(
            lambda d: d.execute_script('return window.hexview.lastCopied') or self.by_id('error-text').text)
        copied = self.driver.execute_script('return window.hexview.lastCopied')
        self.assertIsNotNone(copied, self.by_id('error-text').text)
        self.assertEqual(base64.b64decode(copied), expected[first:last + 1])

    def test_a_copy_past_16_mib_is_refused_in_words(self):
        self.open(self.sparse_file('huge.bin', (16 << 20) + 1, b'end'))
        self.grid_keys(Keys.CONTROL, 'a')
        self.grid_keys(Keys.CONTROL, 'c')
        self.until_text('error-text', '^a copy holds 16 MiB at most; this selection has 16777217 bytes')
        self.assertIsNone(self.driver.execute_script('return window.hexview.lastCopied'))

    def test_copy_right_after_typing_copies_the_typed_bytes(self):
        """Ctrl+C right after typing copies the bytes the grid shows, those
        still on their way to the server included."""
        self.open(self.file('c.bin', bytes(64)))
        with self.slow_server(300):
            self.grid_keys(*'1122334455667788')
            self.move(0)
            self.move(7, True)
            self.driver.execute_script('window.hexview.lastCopied = null')
            self.grid_keys(Keys.CONTROL, 'c')
            self.wait.until(lambda d: d.execute_script('return window.hexview.lastCopied') is not None)
        self.assertEqual(self.driver.execute_script('return window.hexview.lastCopied'), '11 22 33 44 55 66 77 88')
        # After the last byte there is nothing to copy: said so, and the clipboard keeps what it had.
        self.grid_keys(Keys.CONTROL, Keys.END)
        self.grid_keys(Keys.CONTROL, 'c')
        self.until_text('error-text', '^nothing to copy: the cursor is after the last byte')
        self.assertEqual(self.driver.execute_script('return window.hexview.lastCopied'), '11 22 33 44 55 66 77 88')


if __name__ == '__main__':
    main()
