#!/usr/bin/python3
"""Browser tests of `hexview serve` in Debian's headless Chromium, driven by
Selenium through chromium-driver, on files the tests make.

Usage: browser_test.py HEXVIEW [unittest arguments]
HEXVIEW_SCREENSHOT=path makes test_screenshot save the README's picture there.
"""
import http.client
import http.server
import json
import os
import re
import subprocess
import threading
import urllib.parse
import urllib.request

from browser_support import GIB, BrowserCase, By, Keys, Recorder, main, sample_bytes


class BrowserTest(BrowserCase):
    def test_first_rows(self):
        data = sample_bytes()
        self.open(self.file('sample.bin', data))
        rows = self.rows()
        self.assertEqual(rows[0][0], '0x00000000')
        self.assertEqual(rows[0][1], '4d 5a 90 00 00 00 00 00  00 00 00 00 00 00 00 00')
        self.assertEqual(rows[0][2], 'MZ..............')
        self.assertEqual(rows[4], ['0x00000040', '54 68 69 73 20 70 72 6f  67 72 61 6d 20 63 61 6e', 'This program can'])
        self.assertIn('read-write', self.by_id('mode-badge').text)
        self.assertIn(f'({len(data):,} bytes)', self.by_id('st-size').text)
        self.assertEqual(self.driver.execute_script('return document.activeElement.id'), 'grid')
        # The inspector reads the bytes at the cursor.
        self.assertIn('23117', self.by_id('inspector').text)  # 0x5a4d as little-endian uint16
        self.grid_keys(Keys.ARROW_DOWN, Keys.ARROW_RIGHT)
        self.settle()
        self.assertEqual(self.status(), 'offset 0x11 (17)')

    def test_jump_near_the_end_of_a_64_gib_sparse_file(self):
        size = 64 * GIB
        path = self.sparse_file('sparse.bin', size, b'near the end of 64 GiB!')
        self.open(path, '--read-only')
        self.assertIn('read-only', self.by_id('mode-badge').text)
        self.by_id('tab-edits').click()
        self.assertFalse(self.by_id('saveas-form').is_displayed(), 'nothing that writes is offered')
        self.assertFalse(self.by_id('save-btn').is_displayed())
        self.go_to(hex(size - 40))
        row = self.row_at(size - 48)
        self.assertEqual(row[1], '00 00 00 00 00 00 00 00  6e 65 61 72 20 74 68 65')
        self.assertEqual(row[2], '........near the')
        self.assertEqual(self.status(), f'offset {hex(size - 40)} ({size - 40:,})')
        # The scroll bar maps onto the whole file: its end is the file's end.
        self.grid_keys(Keys.CONTROL, Keys.END)
        self.settle()
        self.assertEqual(self.rows()[-1][0], '0x%012x' % (size - 16))
        top = self.driver.execute_script('const s = document.getElementById("scroller");'
                                         'return s.scrollTop / (s.scrollHeight - s.clientHeight)')
        self.assertGreater(top, 0.999)

    def test_long_search_keeps_the_page_live_shows_progress_and_is_cancelled(self):
        size = 16 * GIB
        path = self.sparse_file('big.bin', size, b'near the end of 16 GiB!')
        self.open(path)
        self.by_id('tab-search').click()
        self.by_id('search-mode').send_keys('hex')
        # 256 zero bytes: a pattern that can match zeros reads the holes too.
        self.by_id('search-input').send_keys('00' * 256, Keys.ENTER)
        self.wait.until(lambda d: d.find_element(By.ID, 'job-bar').is_displayed())
        meter = lambda: float(self.by_id('job-meter').get_attribute('value'))
        first = meter()
        # The page stays live: a jump and a scroll show their rows meanwhile.
        self.go_to('0x123456780')
        self.assertEqual(self.row_at(0x123456780)[1], '00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00')
        self.grid_keys(Keys.PAGE_DOWN)
        self.settle()
        self.assertGreater(int(self.rows()[0][0], 16), 0x123456780)
        self.assertTrue(self.by_id('job-bar').is_displayed(), 'still searching')
        self.wait.until(lambda d: meter() > first)
        self.assertRegex(self.by_id('job-text').text, r'^Searching: .* of 16\.0 GiB .*hits so far.*left')
        shot = os.environ.get('HEXVIEW_SCREENSHOT')
        if shot:
            self.driver.save_screenshot(shot.replace('.png', '-job.png'))
        self.refusals_expected = True
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        self.wait.until(lambda d: not d.find_element(By.ID, 'job-bar').is_displayed())
        self.until_text('error-text', r'^cancelled')
        self.until_text('search-summary', 'failed')
        # A second search runs to its end and shows its hit.
        self.by_id('error-close').click()
        self.by_id('search-mode').send_keys('ASCII')
        box = self.by_id('search-input')
        box.clear()
        box.send_keys('near the end', Keys.ENTER)
        self.until_text('search-summary', r'^1 hit')
        self.assertIn('near the end', self.by_id('hit-list').text)

    def test_search_and_step_through_hits(self):
        data = bytearray(8192)
        hits = [0x10, 0x400, 0x1800, 0x1ff0]
        for off in hits:
            data[off:off + 6] = b'needle'
        self.open(self.file('hay.bin', bytes(data)))
        self.by_id('search-mode').send_keys('ASCII')
        self.by_id('search-input').send_keys('needle', Keys.ENTER)
        self.until_text('search-summary', r'^4 hits')
        items = self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li')
        self.assertEqual(len(items), 4)
        self.assertEqual(items[1].text.split('\n')[0].split()[0], '0x00000400')
        self.settle()
        self.assertEqual(self.status(), 'offset 0x10 (16)')  # the first hit is chosen
        self.by_id('hit-next').click()
        self.settle()
        self.assertEqual(self.status(), 'offset 0x400 (1,024)')
        marked = self.driver.execute_script(
            'return [...document.querySelectorAll("#grid .b.hit")].map((b) => b.textContent).join(" ")')
        self.assertEqual(marked, '6e 65 65 64 6c 65')
        self.by_id('grid').send_keys(Keys.F3)
        self.settle()
        self.assertEqual(self.status(), 'offset 0x1800 (6,144)')
        self.by_id('hit-prev').click()
        self.settle()
        self.assertEqual(self.status(), 'offset 0x400 (1,024)')
        items[3].find_element(By.TAG_NAME, 'button').click()
        self.settle()
        self.assertEqual(self.status(), 'offset 0x1ff0 (8,176)')
        # Hex with wildcards, from the cursor.
        self.by_id('search-mode').send_keys('hex')
        self.by_id('search-from-cursor').click()
        box = self.by_id('search-input')
        box.clear()
        box.send_keys('6e ?? 65 64', Keys.ENTER)
        self.until_text('search-summary', r'^1 hit from 0x1ff0')
        # A bad pattern: the engine's message in the page.
        box.clear()
        box.send_keys('6e 6', Keys.ENTER)
        self.until_text('error-text', 'invalid hex pattern: 6e 6')

    def test_type_insert_delete_undo_redo(self):
        path = self.file('e.bin', bytes(range(32)))
        self.open(path)
        self.grid_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, 'f', 'f')
        self.settle()
        self.by_id('tab-edits').click()
        self.assertEqual(self.staged(), [['write', '0x00000002', '1: ff']])
        self.assertEqual(self.row_at(0)[1], '00 01 ff 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f')
        edited = self.driver.execute_script('return [...document.querySelectorAll("#grid .b.edit")].map((b) => b.textContent)')
        self.assertEqual(edited, ['ff'])
        self.assertEqual(self.status(), 'offset 0x3 (3)')  # typing steps on
        # Text column: typing writes the characters.
        self.grid_keys(Keys.TAB, 'A')
        self.settle()
        self.assertEqual(self.row_at(0)[2][:5], '..\ufffdA.'.replace('\ufffd', '.'))
        # Insert two bytes before the cursor (at 4) with the Insert form.
        self.by_id('insert-btn').click()
        box = self.by_id('insert-input')
        box.clear()
        box.send_keys('aa bb', Keys.ENTER)
        self.settle()
        self.assertEqual(self.row_at(0)[1], '00 01 ff 41 aa bb 04 05  06 07 08 09 0a 0b 0c 0d')
        # Select two bytes with Shift and delete them.
        self.by_id('grid').click()
        self.driver.execute_script('window.hexview.grid.moveTo(8)')
        self.grid_keys(Keys.SHIFT, Keys.ARROW_RIGHT)
        self.grid_keys(Keys.DELETE)
        self.settle()
        self.assertEqual(self.row_at(0)[1], '00 01 ff 41 aa bb 04 05  08 09 0a 0b 0c 0d 0e 0f')
        # 'A' went on from the end of the typed ff: one typed run, one edit.
        self.assertEqual([s[0] for s in self.staged()], ['write', 'insert', 'delete'])
        self.assertIn('(32 bytes)', self.by_id('st-size').text)
        # Undo twice, redo once.
        self.grid_keys(Keys.CONTROL, 'z')
        self.settle()
        self.grid_keys(Keys.CONTROL, 'z')
        self.settle()
        self.assertEqual([s[0] for s in self.staged()], ['write'])
        self.assertEqual(self.row_at(0)[1], '00 01 ff 41 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f')
        self.by_id('redo-btn').click()
        self.settle()
        self.assertEqual(self.staged()[-1], ['insert', '0x00000004', '2: aabb'])
        self.assertEqual(self.by_id('redo-btn').text, 'Redo (1)')
        self.assertEqual(self.row_at(0)[1], '00 01 ff 41 aa bb 04 05  06 07 08 09 0a 0b 0c 0d')
        # Insert mode: quick typing inserts the bytes in order.
        self.driver.execute_script('window.hexview.grid.setColumn("hex"); window.hexview.grid.moveTo(0)')
        self.grid_keys(Keys.INSERT, '1', '2', '3', '4', Keys.INSERT)
        self.settle()
        self.wait.until(lambda d: d.find_element(By.ID, 'st-cursor').text == 'offset 0x2 (2)')
        self.settle()
        self.assertEqual(self.row_at(0)[1], '12 34 00 01 ff 41 aa bb  04 05 06 07 08 09 0a 0b')
        self.assertIn('OVR', self.by_id('st-input').text)
        with open(path, 'rb') as f:
            self.assertEqual(f.read(), bytes(range(32)), 'nothing saved yet')

    def test_buttons_wait_for_typed_edits(self):
        """A button clicked while typed bytes still wait for the server acts
        after them, as its key would: Undo takes back the last typed byte, not
        the edit before, and Discard drops every edit, the late ones too."""
        cases = [
            # button, the question to confirm (or None), staged writes after, row 0 after
            ('undo-btn', None, ['11', '22', '33'], '11 00 22 00 33 00'),
            ('discard-btn', 'Drop all 4 staged edits', [], '00 00 00 00 00 00'),
        ]
        for button, question, writes, row in cases:
            with self.subTest(button=button):
                self.open(self.file(button + '.bin', bytes(32)))
                self.by_id('tab-edits').click()
                self.by_id('grid').click()
                self.driver.execute_script('window.hexview.grid.moveTo(0)')
                self.grid_keys('1', '1')
                self.settle()  # an edit from before, the one a hasty Undo would take back
                # The queue as the click finds it, read before the button acts.
                self.driver.execute_script(
                    'document.addEventListener("click", () => { window.waitingAtClick = window.hexview.edits.waiting; },'
                    ' { capture: true, once: true })')
                with self.slow_server(400):
                    # Each byte a place further on, so each is an edit of its own.
                    self.grid_keys(Keys.ARROW_RIGHT, '2', '2', Keys.ARROW_RIGHT, '3', '3', Keys.ARROW_RIGHT, '4', '4')
                    self.by_id(button).click()
                    waiting = self.driver.execute_script('return window.waitingAtClick')
                    self.assertGreaterEqual(waiting, 2, 'typed edits were still queued at the click')
                    if question:
                        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
                        self.assertIn(question, self.by_id('confirm-text').text)
                        self.by_id('confirm-ok').click()
                    self.settle()
                self.assertEqual([s[2] for s in self.staged()], ['1: ' + w for w in writes])
                self.assertEqual(self.row_at(0)[1][:len(row)], row)

    def test_backspace_at_the_last_byte(self):
        """The cursor stays on its byte, which moved back by one."""
        self.open(self.file('b.bin', bytes([0, 1, 2, 3])))
        self.driver.execute_script('window.hexview.grid.moveTo(3)')
        self.grid_keys(Keys.BACKSPACE)
        self.settle()
        self.assertEqual(self.row_at(0)[1][:8], '00 01 03')
        self.assertEqual(self.status(), 'offset 0x2 (2)')

    def test_save_as_goes_on_with_the_new_file_and_save_in_place(self):
        data = sample_bytes()
        path = self.file('s.bin', data)
        copy = os.path.join(self.dir, 'copy.bin')
        self.file('other.bin', b'other')
        self.open(path)
        self.grid_keys('0', '1', Keys.BACKSPACE)  # write 01 at 0, then delete it
        self.settle()
        self.driver.execute_script('window.hexview.grid.moveTo(0x40)')
        self.grid_keys(Keys.TAB, 'X')
        self.settle()
        self.by_id('tab-edits').click()
        expected = data[1:0x41] + b'X' + data[0x42:]
        box = self.by_id('saveas-input')
        box.send_keys('copy.bin', Keys.ENTER)
        self.until_text('saved-note', 'Saved as .*copy.bin; now editing it')
        self.until_text('notice', 'Saved as .*copy.bin')  # said where the person works too
        with open(copy, 'rb') as f:
            self.assertEqual(f.read(), expected)
        self.assertEqual(self.staged(), [], 'the edits are in the copy')
        self.assertEqual(self.by_id('file-name').text, copy)
        self.assertEqual(self.row_at(0x40)[2][:1], 'X', 'the grid shows the copy')
        # The next save goes into the copy; the original is never touched.
        self.driver.execute_script('window.hexview.grid.setColumn("hex"); window.hexview.grid.moveTo(0x41)')
        self.grid_keys('6', '6')
        self.settle()
        self.grid_keys(Keys.CONTROL, 's')
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.assertIn(copy, self.by_id('confirm-text').text)
        self.by_id('confirm-cancel').click()
        with open(copy, 'rb') as f:
            self.assertEqual(f.read(), expected, 'Cancel writes nothing')
        self.by_id('save-btn').click()
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.by_id('confirm-ok').click()
        self.until_text('notice', 'Saved ' + re.escape(copy))
        with open(copy, 'rb') as f:
            self.assertEqual(f.read(), expected[:0x41] + b'\x66' + expected[0x42:])
        with open(path, 'rb') as f:
            self.assertEqual(f.read(), data)
        # Saving onto an existing file asks first.
        self.grid_keys('7', '7')
        self.settle()
        box.clear()
        box.send_keys('other.bin', Keys.ENTER)
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.assertIn('other.bin', self.by_id('confirm-text').text)
        self.by_id('confirm-ok').click()
        self.until_text('saved-note', 'Saved as .*other.bin')
        with open(os.path.join(self.dir, 'other.bin'), 'rb') as f:
            self.assertEqual(f.read()[0x42], 0x77)

    def test_closing_the_tab_cancels_its_search(self):
        """A search of a 16 GiB sparse file runs; its tab is closed (another
        window stays): the server cancels the search at once."""
        server = self.open(self.sparse_file('big.bin', 16 * GIB, b'the end'))
        token = self.driver.execute_script('return sessionStorage.getItem("hexview-session")')
        first = self.driver.current_window_handle
        self.driver.switch_to.new_window('tab')
        kept = self.driver.current_window_handle
        self.driver.switch_to.window(first)
        self.by_id('tab-search').click()
        self.by_id('search-mode').send_keys('hex')
        self.by_id('search-input').send_keys('00' * 256, Keys.ENTER)
        self.wait.until(lambda d: d.find_element(By.ID, 'job-bar').is_displayed())
        self.driver.close()
        self.driver.switch_to.window(kept)

        def job():
            req = urllib.request.Request(server.base + '/api/job', headers={'X-Hexview-Token': token})
            with urllib.request.urlopen(req, timeout=10) as res:
                return json.load(res)
        self.wait.until(lambda d: job()['state'] != 'running')
        ended = job()
        self.assertEqual(ended['state'], 'cancelled', ended)
        self.assertLess(ended['done'], ended['total'], 'it stopped before the end of the file')

    def test_open_another_file_of_the_folder(self):
        """Ctrl+O opens another file by a name from the folder, asking first
        when edits are unsaved; the page then shows that file."""
        first = self.file('first.bin', b'first file ' * 8)
        second = self.file('second.bin', b'SECOND file ' * 8)
        self.open(first)
        self.grid_keys('4', '1')
        self.settle()
        self.grid_keys(Keys.CONTROL, 'o')
        self.wait.until(lambda d: d.find_element(By.ID, 'open-dialog').get_attribute('open'))
        self.until_text('open-folder', 'In ' + re.escape(self.dir))
        offered = self.driver.execute_script(
            'return [...document.querySelectorAll("#open-files option")].map((o) => o.value)')
        self.assertEqual(offered, ['first.bin', 'second.bin'])
        shot = os.environ.get('HEXVIEW_SCREENSHOT')
        if shot:
            self.driver.save_screenshot(shot.replace('.png', '-open.png'))
        self.by_id('open-input').send_keys('second.bin', Keys.ENTER)
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.assertIn('1 staged edit is not saved', self.by_id('confirm-text').text)
        self.by_id('confirm-ok').click()
        self.wait.until(lambda d: d.find_element(By.ID, 'file-name').text == second)
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait_painted()
        self.assertEqual(self.rows()[0][2], 'SECOND file SECO')
        self.assertEqual(self.staged(), [])
        with open(first, 'rb') as f:
            self.assertEqual(f.read(), b'first file ' * 8, 'the dropped edit was never saved')

    def test_a_save_that_fails_part_way_offers_to_save_a_copy(self):
        """A hard-linked file is rewritten in place on a small file system
        (a tmpfs in the server's own mount namespace) with no room for the
        file's new content; its copy is whole in the user's state folder."""
        disk = os.path.join(self.dir, 'disk')
        os.mkdir(disk)
        if subprocess.run(['unshare', '-m', 'sh', '-c', f'mount -t tmpfs tmpfs {disk}'],
                          stderr=subprocess.DEVNULL).returncode:
            self.skipTest('no mount namespace with a tmpfs here (needs root)')
        original = bytes(range(256)) * 64
        src, path = self.file('src.bin', original), os.path.join(disk, 'data.bin')
        script = f'mount -t tmpfs -o size=20k tmpfs {disk} && cp {src} {path} && ln {path} {disk}/link.bin && exec "$@"'
        self.open(path, wrapper=['unshare', '-m', 'sh', '-c', script, 'sh'])
        self.refusals_expected = True
        self.by_id('tab-edits').click()
        self.by_id('insert-btn').click()
        self.driver.execute_script('const box = document.getElementById("insert-input");'
                                   'box.value = "aa ".repeat(8192); box.form.requestSubmit()')
        self.settle()
        self.by_id('save-btn').click()
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.by_id('confirm-ok').click()
        self.wait.until(lambda d: d.find_element(By.ID, 'at-risk').is_displayed())
        self.assertRegex(self.by_id('at-risk-text').text,
                         f'^WriteFile failed: {re.escape(path)}: the save failed part-way, and {re.escape(path)} '
                         f'may be partly written. The edited content '
                         f'is whole only in \\S*/\\.[0-9a-f-]+~[0-9a-f]{{8}}\\.hxcopy-[0-9a-f]{{8}}\\. Save a copy')
        shot = os.environ.get('HEXVIEW_SCREENSHOT')
        if shot:
            self.driver.save_screenshot(shot.replace('.png', '-at-risk.png'))
        self.assertFalse(self.by_id('error').is_displayed(), 'the bar says it all')
        self.go_to('0x2000')
        self.assertEqual(self.row_at(0x2000)[1], '00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f',
                         'the grid shows the content whole, not what is left of the file')
        # Undo would start again from the partly written file: it waits.
        self.by_id('undo-btn').click()
        self.until_text('error-text', 'save a copy \\(Save as\\) first')
        self.assertEqual(len(self.staged()), 1)
        # The bar's button opens Save as with a name beside the file.
        self.by_id('at-risk-save').click()
        box = self.by_id('saveas-input')
        self.assertTrue(self.by_id('pane-edits').is_displayed())
        self.assertEqual(box.get_attribute('value'), 'data-copy.bin')
        self.assertEqual(self.driver.execute_script('return document.activeElement.id'), 'saveas-input')
        copy = os.path.join(self.dir, 'rescued.bin')
        box.clear()
        box.send_keys(copy, Keys.ENTER)
        self.until_text('saved-note', 'Saved as ' + re.escape(copy))
        self.assertFalse(self.by_id('at-risk').is_displayed())
        with open(copy, 'rb') as f:
            self.assertEqual(f.read(), b'\xaa' * 8192 + original)

    # ---- edits that can be trusted ------------------------------------------

    def test_quick_typing_lands_in_order_as_one_edit_and_shows_at_once(self):
        """Keys typed faster than the server answers: every byte in order, a
        typed run staged as one edit, each byte in the grid before the server
        has it."""
        typed = bytes(range(1, 17))
        cases = [('insert', [Keys.INSERT], typed + bytes(32)), ('write', [], typed + bytes(16))]
        for op, keys, expected in cases:
            with self.subTest(op=op):
                path = self.file(op + '.bin', bytes(32))
                self.open(path)
                with self.slow_server(150):
                    self.grid_keys(*keys, *''.join('%02x' % b for b in typed))
                    self.assertEqual(self.row_at(0)[1], '01 02 03 04 05 06 07 08  09 0a 0b 0c 0d 0e 0f 10',
                                     'typed bytes show before the server has them')
                    self.settle()
                self.assertEqual(self.status(), 'offset 0x10 (16)')
                self.assertEqual(self.staged(), [[op, '0x00000000', '16: ' + typed.hex()]])
                self.save_in_place()
                with open(path, 'rb') as f:
                    self.assertEqual(f.read(), expected)

    def save_in_place(self):
        self.grid_keys(Keys.CONTROL, 's')
        self.wait.until(lambda d: d.find_element(By.ID, 'confirm-dialog').get_attribute('open'))
        self.by_id('confirm-ok').click()
        self.until_text('notice', 'Saved')

    def test_append_after_the_last_byte(self):
        """The cursor has a place after the last byte; typing there appends,
        in an empty file too."""
        cases = [('empty.bin', b'', [Keys.TAB, 'A', 'B', 'C'], b'ABC'),
                 ('three.bin', b'\x00\x01\x02', [Keys.CONTROL, Keys.END], b'\x00\x01\x02\x41\x42\x43')]
        for name, data, keys, expected in cases:
            with self.subTest(name=name):
                path = self.file(name, data)
                self.open(path)
                self.grid_keys(*keys)
                if data:
                    self.assertEqual(self.status(), 'offset 0x3 (3), after the end')
                    self.grid_keys('4', '1', '4', '2', '4', '3')
                self.settle()
                self.assertEqual(self.row_at(0)[1].split()[:len(expected)], ['%02x' % b for b in expected])
                self.assertEqual(len(self.staged()), 1, 'one typed run')
                self.save_in_place()
                with open(path, 'rb') as f:
                    self.assertEqual(f.read(), expected)

    def stage_many(self, server, n):
        """Stages `n` more one-byte writes at even offsets straight through the
        API with the page's session token (quicker than the page's own
        calls), then lets the page catch up."""
        token = self.driver.execute_script('return sessionStorage.getItem("hexview-session")')
        headers = {'X-Hexview-Token': token, 'Origin': server.base, 'Content-Type': 'application/json'}
        first = len(self.staged())
        for i in range(first, first + n):
            conn = http.client.HTTPConnection('127.0.0.1', server.port, timeout=30)
            conn.request('POST', '/api/write', json.dumps({'offset': 2 * i, 'hex': 'ee'}), headers)
            self.assertEqual(conn.getresponse().read()[:10], b'{"staged":')
            conn.close()
        self.driver.execute_async_script('window.hexview.edits.refresh().then(arguments[arguments.length - 1])')
        self.settle()

    def test_edit_cap_is_shown_before_it_is_reached(self):
        server = self.open(self.file('cap.bin', bytes(4096)))
        self.assertEqual(self.by_id('st-edits').text, 'edits 0/1000')
        self.stage_many(server, 900)
        self.assertEqual(self.by_id('st-edits').text, 'edits 900/1000')
        self.assertIn('warn', self.by_id('st-edits').get_attribute('class'))
        self.stage_many(server, 100)
        # At the cap a new typed edit is refused plainly and the cursor stays.
        self.driver.execute_script('window.hexview.grid.moveTo(0xf01)')
        self.grid_keys('1', '2')
        self.settle()
        self.until_text('error-text', r'cap is reached \(1000\)')
        self.assertEqual(self.status(), 'offset 0xf01 (3,841)')
        self.assertEqual(self.row_at(0xf00)[1][:5], '00 00')

    def test_hits_are_shown_where_the_edits_moved_them(self):
        data = bytearray(256)
        data[0x10:0x14] = b'IHDR'
        data[0x80:0x84] = b'IHDR'
        self.open(self.file('png.bin', bytes(data)))
        self.by_id('tab-edits').click()
        self.by_id('insert-btn').click()
        box = self.by_id('insert-input')
        box.clear()
        box.send_keys('aa bb', Keys.ENTER)  # two bytes at 0
        self.settle()
        self.by_id('tab-search').click()
        self.by_id('search-mode').send_keys('ASCII')
        self.by_id('search-input').send_keys('IHDR', Keys.ENTER)
        self.until_text('search-summary', r'^2 hits')
        self.settle()
        self.assertEqual(self.by_id('st-selection').text, 'selected 0x12–0x15 (4 bytes)')
        marked = self.driver.execute_script(
            'return [...document.querySelectorAll("#grid .t.hit")].map((t) => t.textContent).join("")')
        self.assertEqual(marked, 'IHDRIHDR')
        self.assertEqual(self.by_id('hit-list').text.split()[0], '0x00000012')
        # Typing over the chosen hit changes it: said in the list.
        self.grid_keys('0', '0')
        self.settle()
        first = self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li')[0]
        self.assertIn('changed', first.get_attribute('class'))

    def test_unsaved_edits_ask_before_the_tab_closes(self):
        self.open(self.file('u.bin', bytes(16)))
        asks = ('const e = new Event("beforeunload", { cancelable: true }); window.dispatchEvent(e);'
                'return e.defaultPrevented')
        self.assertFalse(self.driver.execute_script(asks))
        self.grid_keys('1', '1')
        self.settle()
        self.assertTrue(self.driver.execute_script(asks))

    # ---- moving around --------------------------------------------------------

    def test_jumps_put_the_target_in_view(self):
        path = os.path.join(self.dir, 'sparse.bin')
        size = 64 * GIB
        with open(path, 'wb') as f:
            f.truncate(size)
        self.open(path, '--read-only')
        seed = 12345
        for _ in range(20):
            seed = (seed * 6364136223846793005 + 1442695040888963407) % (1 << 64)
            target = seed % size
            self.go_to(hex(target))
            self.row_at(target - target % 16)
            self.assertEqual(self.status(), f'offset {hex(target)} ({target:,})')

    def scroll_bar(self, part, px):
        """A mouse press on the scroll bar's arrow, thumb or track, the scroll
        it makes, and the rows the grid moved."""
        return self.driver.execute_async_script(
            'const [part, px, done] = arguments;'
            'const s = document.getElementById("scroller");'
            'const r = s.getBoundingClientRect();'
            'const thumbTop = r.top + 16 + (r.height - 52) * s.scrollTop / (s.scrollHeight - s.clientHeight);'
            'const y = part === "arrow" ? r.bottom - 4 : part === "thumb" ? thumbTop + 8 : thumbTop > r.top + r.height / 2 ? r.top + 30 : r.bottom - 40;'
            'const before = window.hexview.grid.firstRow;'
            's.dispatchEvent(new MouseEvent("mousedown", { clientX: r.left + 4, clientY: y, bubbles: true }));'
            's.scrollTop += px;'
            'setTimeout(() => {'
            '  window.dispatchEvent(new MouseEvent("mouseup", { bubbles: true }));'
            '  done(window.hexview.grid.firstRow - before);'
            '}, 150);', part, px)

    def test_scroll_bar_steps_rows_and_pages_at_any_size(self):
        path = os.path.join(self.dir, 'sparse.bin')
        with open(path, 'wb') as f:
            f.truncate(64 * GIB)
        self.open(path, '--read-only')
        visible = self.driver.execute_script('return window.hexview.grid.visibleRows')
        self.assertIn(self.scroll_bar('arrow', 40), [1, 2, 3])
        self.assertEqual(self.scroll_bar('track', 600), visible - 1)
        # A drag maps across the whole file.
        half = self.driver.execute_script('const s = document.getElementById("scroller");'
                                          'return (s.scrollHeight - s.clientHeight) / 2 - s.scrollTop')
        self.scroll_bar('thumb', half)
        first = self.driver.execute_script('return window.hexview.grid.firstRow')
        self.assertAlmostEqual(first / (64 * GIB / 16), 0.5, places=2)

    def test_focus_stays_in_the_grid_and_ctrl_a_selects_every_byte(self):
        self.open(self.file('f.bin', bytes(100)))
        self.grid_keys(Keys.TAB)  # to the text column
        self.grid_keys(Keys.TAB)  # out of the grid, never into the scroll bar
        self.assertNotEqual(self.driver.execute_script('return document.activeElement.id'), 'scroller')
        self.by_id('grid').click()
        self.grid_keys(Keys.CONTROL, 'a')
        self.assertEqual(self.by_id('st-selection').text, 'selected 0x0–0x63 (100 bytes)')
        self.assertEqual(self.driver.execute_script('return String(window.getSelection())'), '')

    # ---- searches and compares that fail ---------------------------------------

    def test_failed_search_or_compare_clears_the_old_results(self):
        self.refusals_expected = True
        data = bytearray(1024)
        data[0x100:0x103] = b'abc'
        self.file('twin.bin', bytes(data[:1000]) + b'x' * 24)
        self.open(self.file('s.bin', bytes(data)))
        self.by_id('search-mode').send_keys('ASCII')
        self.by_id('search-input').send_keys('abc', Keys.ENTER)
        self.until_text('search-summary', r'^1 hit')
        self.by_id('search-mode').send_keys('hex')
        box = self.by_id('search-input')
        box.clear()
        box.send_keys('zz', Keys.ENTER)
        self.until_text('error-text', 'invalid hex pattern')
        self.settle()
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li'), [])
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#grid .hit'), [])
        self.driver.execute_script('window.hexview.grid.moveTo(0)')
        self.grid_keys(Keys.F3)
        self.settle()
        self.assertEqual(self.status(), 'offset 0x0 (0)', 'F3 has nothing to step to')
        self.by_id('tab-compare').click()
        self.by_id('compare-input').send_keys('twin.bin', Keys.ENTER)
        self.until_text('compare-summary', r'^1 differing run')
        box = self.by_id('compare-input')
        box.clear()
        box.send_keys('missing.bin', Keys.ENTER)
        self.until_text('error-text', 'cannot open compare file')
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#run-list li'), [])

    def test_utf16_search_encodes_the_text_as_typed(self):
        text = 'café 😀'
        encoded = text.encode('utf-16-le')
        data = b'\x00' * 40 + encoded + b'\x00' * 40 + 'café'.encode('latin-1')
        self.open(self.file('u16.bin', data))
        self.by_id('search-mode').send_keys('UTF-16LE')
        # Chromedriver types characters of the Basic Multilingual Plane only.
        self.driver.execute_script('document.getElementById("search-input").value = arguments[0]', text)
        self.by_id('search-input').send_keys(Keys.ENTER)
        self.until_text('search-summary', r'^1 hit')
        self.settle()
        self.assertEqual(self.by_id('st-selection').text,
                         f'selected 0x28–0x{40 + len(encoded) - 1:x} ({len(encoded)} bytes)')

    # ---- the small things ---------------------------------------------------------

    def test_minor_items(self):
        data = bytes(range(256)) * 16
        self.refusals_expected = True
        self.open(self.file('m.bin', data))
        grid_top = self.driver.execute_script('return document.getElementById("grid").getBoundingClientRect().top')
        # A go-to before the start: the offset said with its sign; the banner moves nothing.
        self.driver.execute_script('window.hexview.grid.moveTo(0x1ff)')
        self.go_to('-0x2000')
        self.until_text('error-text', r'offset -0x1e01 is outside the file')
        self.assertEqual(self.driver.execute_script(
            'return document.getElementById("grid").getBoundingClientRect().top'), grid_top)
        self.by_id('error-close').click()
        # A half-typed byte left behind is said.
        self.by_id('grid').click()
        self.driver.execute_script('window.hexview.grid.moveTo(0x10)')
        self.grid_keys('a', Keys.ARROW_RIGHT)
        self.until_text('notice', 'half-typed byte "a" was dropped')
        # Typing over a selection starts at its first byte.
        self.driver.execute_script('window.hexview.grid.moveTo(0x20)')
        self.grid_keys(Keys.SHIFT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
        self.grid_keys('f', 'f')
        self.settle()
        self.assertEqual(self.row_at(0x20)[1][:8], 'ff 21 22')
        # Undo brings the undone edit into view; an edit's offset in the list jumps to it.
        self.go_to('0xf00')
        self.grid_keys(Keys.CONTROL, 'z')
        self.settle()
        self.row_at(0x20)
        self.grid_keys('e', 'e')
        self.settle()
        self.go_to('0xf00')
        self.by_id('tab-edits').click()
        self.driver.find_element(By.CSS_SELECTOR, '#staged-list li button').click()
        self.settle()
        self.assertEqual(self.status(), 'offset 0x20 (32)')
        # Hit offsets have the grid's digits; the hex context shows the match.
        self.by_id('tab-search').click()
        self.by_id('search-input').send_keys('7f 80', Keys.ENTER)
        self.until_text('search-summary', r'^16 hits')
        first = self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li')[0]
        self.assertEqual(first.text.split()[0], '0x0000007f')
        mark = first.find_elements(By.CSS_SELECTOR, 'mark')[1]
        ctx = mark.find_element(By.XPATH, '..')
        self.assertLessEqual(mark.location['x'] + mark.size['width'], ctx.location['x'] + ctx.size['width'])
        # The inspector stays in view while the hits are stepped through.
        inspector_top = self.by_id('inspector').location['y']
        for _ in range(12):
            self.grid_keys(Keys.F3)
        self.settle()
        self.assertEqual(self.by_id('inspector').location['y'], inspector_top)
        # At 640 px the status bar is whole.
        self.driver.set_window_size(640, 800)
        try:
            clipped = self.driver.execute_script('const s = document.querySelector(".status");'
                                                 'return s.scrollWidth > s.clientWidth + 1')
            self.assertFalse(clipped)
        finally:
            self.driver.set_window_size(1400, 900)

    # ---- the daily tools --------------------------------------------------------

    def test_histogram_entropy_strip_and_keyboard_help(self):
        data = bytes(4096) + bytes((i * 73 + 41) % 256 for i in range(4096))
        self.open(self.file('map.bin', data))
        self.wait.until(lambda d: d.find_element(By.ID, 'entropy-strip').get_attribute('data-regions'))
        # A click low on the strip goes to the random half.
        strip = self.by_id('entropy-strip')
        self.driver.execute_script(
            'const c = arguments[0], r = c.getBoundingClientRect();'
            'c.dispatchEvent(new MouseEvent("click", { clientX: r.left + 2, clientY: r.top + r.height * 0.75, bubbles: true }))',
            strip)
        self.settle()
        cursor = self.driver.execute_script('return window.hexview.grid.cursor')
        self.assertLess(abs(cursor - 0x1800), 0x40, hex(cursor))
        # The real histogram: all 256 values of the whole file, then of a selection.
        self.by_id('tab-analysis').click()
        self.until_text('histogram-caption', r'whole file; entropy')
        bars = self.driver.find_elements(By.CSS_SELECTOR, '#histogram-chart svg rect.bar')
        self.assertEqual(len(bars), 256)
        self.assertIn('The engine', self.by_id('pane-analysis').text)
        self.driver.execute_script('window.hexview.grid.moveTo(0); window.hexview.grid.moveTo(0xff, true)')
        self.by_id('analysis-refresh').click()
        self.until_text('histogram-caption', r'selection 0x0–0xff; entropy 0\.000')
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, '#histogram-chart svg rect.bar')), 1)
        # ? and F1 list the keys.
        self.by_id('grid').send_keys('?')
        self.wait.until(lambda d: d.find_element(By.ID, 'help-dialog').get_attribute('open'))
        self.assertIn('Ctrl+A', self.by_id('help-dialog').text)
        self.by_id('help-close').click()
        self.by_id('grid').send_keys(Keys.F1)
        self.wait.until(lambda d: d.find_element(By.ID, 'help-dialog').get_attribute('open'))
        self.by_id('help-close').click()

    def test_copy_the_selection_in_each_format(self):
        self.open(self.file('c.bin', b'AB\x00\xff' + bytes(60)))
        self.driver.execute_script('window.hexview.grid.moveTo(0); window.hexview.grid.moveTo(3, true)')
        self.by_id('tab-edits').click()
        cases = [('hex', '41 42 00 ff'), ('C array', 'unsigned char data[4] = {0x41, 0x42, 0x00, 0xff};'),
                 ('Python bytes', "b'\\x41\\x42\\x00\\xff'"), ('base64', 'QUIA/w==')]
        for label, expected in cases:
            with self.subTest(format=label):
                self.by_id('copy-format').send_keys(label)
                self.driver.execute_script('window.hexview.lastCopied = null')
                self.by_id('copy-form').find_element(By.TAG_NAME, 'button').click()
                self.wait.until(lambda d: d.execute_script('return window.hexview.lastCopied') is not None)
                self.assertEqual(self.driver.execute_script('return window.hexview.lastCopied'), expected)
        self.until_text('notice', 'Copied 4 bytes as base64')

    def test_entropy_chart(self):
        self.open(self.file('e.bin', sample_bytes()))
        self.by_id('tab-analysis').click()
        self.wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '#entropy-chart svg .avg'))
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, '#bucket-chart svg rect.bar')), 16)
        label = self.driver.find_element(By.CSS_SELECTOR, '#entropy-chart svg').get_attribute('aria-label')
        self.assertRegex(label, r'^entropy: minimum \d\.\d+, mean \d\.\d+, maximum \d\.\d+ bits per byte$')
        self.assertIn('e.bin', self.by_id('summary').text)
        width = self.driver.execute_script('return document.querySelector("#entropy-chart svg").getBoundingClientRect().width')
        self.assertGreater(width, 200)

    def test_compare_and_jump_to_a_run(self):
        a = bytearray(65536)
        b = bytearray(a)
        b[0x20:0x24] = b'\xff\xff\xff\xff'
        b[0xbeef] = 1
        self.file('b.bin', bytes(b))
        self.open(self.file('a.bin', bytes(a)))
        self.by_id('tab-compare').click()
        self.by_id('compare-input').send_keys('b.bin', Keys.ENTER)
        self.until_text('compare-summary', r'^2 differing runs')
        runs = self.driver.find_elements(By.CSS_SELECTOR, '#run-list li button')
        self.assertEqual(len(runs), 2)
        runs[1].click()
        self.settle()
        self.assertEqual(self.status(), 'offset 0xbeef (48,879)')
        diff = self.driver.execute_script('return [...document.querySelectorAll("#grid .b.diff")].length')
        self.assertEqual(diff, 1)
        # More runs than are stored: said plainly.
        c = bytearray(65536)
        c[0::2] = b'\x01' * 32768
        self.file('c.bin', bytes(c))
        box = self.by_id('compare-input')
        box.clear()
        box.send_keys('c.bin', Keys.ENTER)
        self.until_text('compare-summary', r'Only the first 10,000 runs were stored: differences after 0x4e1f exist')

    def test_screenshot(self):
        """The README's pictures: a search and an edit on a small file; the
        byte histogram and the key list; a replace of every hit."""
        out = os.environ.get('HEXVIEW_SCREENSHOT', os.path.join(self.dir, 'serve.png'))
        self.open(self.file('firmware.bin', sample_bytes()))
        self.by_id('search-mode').send_keys('ASCII')
        self.by_id('search-input').send_keys('hexview', Keys.ENTER)
        self.until_text('search-summary', r'^20 hits')
        self.settle()
        self.driver.execute_script('window.hexview.grid.moveTo(0x92c)')
        self.grid_keys('c', '0', 'd', 'e')
        self.settle()
        self.driver.execute_script('window.hexview.search.select(1)')
        self.settle()
        self.wait.until(lambda d: d.find_element(By.ID, 'entropy-strip').get_attribute('data-regions'))
        self.driver.save_screenshot(out)
        self.assertTrue(os.path.getsize(out) > 10000)
        # The second picture: the byte histogram of the whole file beside the entropy strip.
        self.grid_keys(Keys.ESCAPE)
        self.by_id('tab-analysis').click()
        self.until_text('histogram-caption', 'whole file')
        self.driver.execute_script('document.getElementById("histogram-chart").scrollIntoView()')
        tools = out.replace('.png', '-tools.png')
        self.driver.save_screenshot(tools)
        self.assertTrue(os.path.getsize(tools) > 10000)
        self.by_id('grid').send_keys(Keys.F1)
        self.wait.until(lambda d: d.find_element(By.ID, 'help-dialog').get_attribute('open'))
        self.by_id('help-close').click()
        # The third picture: every hit replaced as one undo step, the edited
        # bytes marked in the grid.
        self.by_id('tab-search').click()
        self.by_id('replace-input').send_keys('HEXVIEW')
        self.by_id('replace-all').click()
        self.until_text('notice', r'^Replaced \d+ hits as one step')
        self.settle()
        self.driver.execute_script('window.hexview.search.select(3)')
        self.settle()
        edit_tools = out.replace('.png', '-edit-tools.png')
        self.driver.save_screenshot(edit_tools)
        self.assertTrue(os.path.getsize(edit_tools) > 10000)

    def test_no_token_gets_nothing(self):
        self.refusals_expected = True
        server = self.open(self.file('secret.bin', b'top secret bytes'))
        # Another tab of a new browser profile: no session; the page without
        # a launch address says so and shows nothing of the file.
        self.driver.execute_script('sessionStorage.clear()')
        self.driver.get(server.base + '/')
        self.until_text('error-text', 'refused: no access token')
        self.assertNotIn('secret', self.driver.find_element(By.TAG_NAME, 'body').text)
        for path in ['/api/page', '/api/info']:
            self.driver.get(server.base + path)
            body = self.driver.find_element(By.TAG_NAME, 'body').text
            self.assertIn('refused: no access token', body)
            self.assertNotIn('secret', body)
            self.assertNotIn('top', body)
        # Nor does a script from another page reach it.
        self.assertEqual(server.status('/api/page', {}), 401)

    def test_a_used_address_is_worth_nothing(self):
        """The address bar and the history lose the launch token as the page
        starts; the address, opened again, starts nothing; a reload keeps the
        tab's session, and a fresh address opens a second tab."""
        self.refusals_expected = True
        server = self.open(self.file('a.bin', b'launch once'))
        self.assertEqual(self.driver.current_url, server.base + '/')
        self.driver.refresh()
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.assertIn('a.bin', self.by_id('file-name').text)
        first = self.driver.current_window_handle
        self.driver.switch_to.new_window('tab')
        try:
            self.driver.get(server.url)
            self.until_text('error-text', 'this address was used already')
            self.assertNotEqual(self.by_id('file-name').text.split('/')[-1], 'a.bin')
            self.driver.get(server.fresh_url())
            self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
            self.assertIn('a.bin', self.by_id('file-name').text)
        finally:
            self.driver.close()
            self.driver.switch_to.window(first)

    def test_credential_stays_on_its_port(self):
        """After the page, the browser visits another 127.0.0.1 port (and is
        redirected there): nothing it sends there is accepted by the server."""
        server = self.open(self.file('c.bin', b'private bytes'))
        token = self.driver.execute_script('return sessionStorage.getItem("hexview-session")')
        self.assertRegex(token, '^[0-9a-f]{64}$')
        Recorder.seen = []
        other = http.server.HTTPServer(('127.0.0.1', 0), Recorder)
        thread = threading.Thread(target=other.serve_forever, daemon=True)
        thread.start()
        try:
            port = other.server_address[1]
            self.driver.get(f'http://127.0.0.1:{port}/')
            self.driver.get(f'http://localhost:{port}/redirect')
            self.wait.until(lambda d: d.current_url.endswith('/landing'))
        finally:
            other.shutdown()
            other.server_close()
        seen = '\n'.join(Recorder.seen)
        self.assertGreaterEqual(len(Recorder.seen), 3, seen)
        self.assertNotIn(token, seen)
        self.assertNotIn(server.launch, seen)
        # Whatever it received, sent back as a credential in any form, is refused.
        values = set(re.findall(r'[^\s:;=,]{8,}', seen))
        for value in values:
            for headers in ({'X-Hexview-Token': value}, {'Cookie': value}, {'Authorization': value}):
                self.assertIn(server.status('/api/info', headers), (401, 403), headers)
            self.assertEqual(server.status('/api/info?token=' + urllib.parse.quote(value), {}), 401)
        self.assertEqual(server.status('/api/info', {'X-Hexview-Token': token}), 200, 'the page\'s own token works')



if __name__ == '__main__':
    main()
