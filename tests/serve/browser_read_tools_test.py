#!/usr/bin/python3
"""Browser tests of the Tools tab of `hexview serve`: hashes, strings and
bookmarks, in Debian's headless Chromium driven by Selenium.

Usage: browser_read_tools_test.py HEXVIEW [unittest arguments]
HEXVIEW_TOOLS_SHOTS=folder saves the tab's screenshots (light and dark,
1400 and 640 px wide) there; docs/serve-read-tools.png is the light one at 1400.
"""
import hashlib
import os
import zlib

from browser_support import GIB, BrowserCase, By, Keys, main, sample_bytes


def expected_hashes(data):
    return {'crc32': '%08x' % zlib.crc32(data), 'md5': hashlib.md5(data).hexdigest(),
            'sha1': hashlib.sha1(data).hexdigest(), 'sha256': hashlib.sha256(data).hexdigest()}


class ReadToolsTest(BrowserCase):
    def shown_hashes(self):
        return self.driver.execute_script(
            'return Object.fromEntries([...document.querySelectorAll("#hash-list dd")].map((d) => [d.dataset.hash, d.textContent]))')

    def select(self, first, last):
        self.driver.execute_script(f'window.hexview.grid.moveTo({first}); window.hexview.grid.moveTo({last}, true)')

    def test_hashes_of_the_whole_file_and_of_a_selection_with_an_edit(self):
        data = sample_bytes() * 40  # about 100 KiB: several pages of the server's reader
        self.open(self.file('h.bin', data))
        self.by_id('tab-tools').click()
        self.until_text('hash-scope', 'the whole file')
        self.by_id('hash-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('hash-summary', r'^Hashes of the whole file')
        self.assertEqual(self.shown_hashes(), expected_hashes(data))
        self.assertIn('SHA-256', self.by_id('hash-list').text)

        # An overwrite inside the selection is part of what is hashed.
        self.go_to('0x10')
        self.grid_keys('ab')
        self.settle()
        self.until_text('hash-summary', 'hash again')
        edited = data[:0x10] + b'\xab' + data[0x11:]
        self.select(5, 0x3000)
        self.until_text('hash-scope', r'selection 0x00000005–0x00003000 \(12,284 bytes\)')
        self.by_id('hash-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('hash-summary', r'^Hashes of the selection')
        self.assertEqual(self.shown_hashes(), expected_hashes(edited[5:0x3001]))

    def test_hash_of_a_large_file_shows_progress_and_cancels(self):
        self.open(self.sparse_file('big.bin', 16 * GIB, b'end'), '--read-only')
        self.by_id('tab-tools').click()
        self.by_id('hash-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('job-text', r'Hashing: .* of 16\.0 GiB')
        self.by_id('job-cancel').click()
        self.wait.until(lambda d: not d.find_element(By.ID, 'job-bar').is_displayed())
        self.until_text('error-text', 'cancelled: hash stopped before its end')
        self.assertEqual(self.shown_hashes(), {})
        self.refusals_expected = True

    def test_strings_list_and_a_click_selects_the_run(self):
        data = bytearray(b'\x01' * 0x400)
        data[0x40:0x40 + 11] = b'hello world'
        data[0x101:0x101 + 14] = 'wide text'.encode('utf-16-le')[:14]
        data[0x300:0x303] = b'abc'  # shorter than 4
        self.open(self.file('s.bin', bytes(data)))
        self.by_id('tab-tools').click()
        self.by_id('strings-form').find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        self.until_text('strings-summary', r'^2 strings of 4\+ characters in the whole file\.')
        items = self.driver.find_elements(By.CSS_SELECTOR, '#strings-list li button')
        self.assertEqual([i.text.replace('\n', ' ') for i in items],
                         ['0x00000040 A hello world', '0x00000101 U wide te'])
        items[1].click()
        self.settle()
        self.assertEqual(self.by_id('st-selection').text, 'selected 0x101–0x10e (14 bytes)')
        self.assertEqual(self.driver.execute_script('return document.activeElement.id'), 'grid')

        # Of the selection only, with a shorter minimum.
        self.select(0x2f0, 0x3ff)
        box = self.by_id('strings-min')
        box.clear()
        box.send_keys('3', Keys.ENTER)
        self.until_text('strings-summary', r'^1 string of 3\+ characters in the selection')
        self.driver.find_element(By.CSS_SELECTOR, '#strings-list li button').click()
        self.settle()
        self.assertEqual(self.by_id('st-selection').text, 'selected 0x300–0x302 (3 bytes)')

    def test_strings_of_a_large_file_page_on(self):
        data = b''.join(b'string %04d\x00' % i for i in range(300))
        self.open(self.file('many.bin', data))
        self.by_id('tab-tools').click()
        self.by_id('strings-form').find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        self.until_text('strings-summary', r'^200 strings .* so far')
        self.by_id('strings-more').click()
        self.until_text('strings-summary', r'^300 strings of 4\+ characters in the whole file\.')
        self.assertFalse(self.by_id('strings-more').is_displayed())
        last = self.driver.find_elements(By.CSS_SELECTOR, '#strings-list li button')[-1]
        self.assertIn('string 0299', last.text)

    def test_bookmarks_survive_a_reload_jump_and_are_deleted(self):
        server = self.open(self.file('b.bin', sample_bytes()))
        self.select(0x40, 0x66)
        self.grid_keys(Keys.CONTROL, 'd')
        self.wait.until(lambda d: d.execute_script('return document.activeElement.id') == 'bookmark-name')
        self.assertTrue(self.by_id('pane-tools').is_displayed())
        self.until_text('bookmark-range', r'0x00000040, 39 bytes')
        self.by_id('bookmark-name').send_keys('DOS stub', Keys.ENTER)
        self.select(0, 1)
        self.by_id('bookmark-name').send_keys('MZ')
        self.by_id('bookmark-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('bookmark-summary', '^2 bookmarks, kept by hexview serve')

        # A reload (a fresh address of the same server) finds them again.
        self.driver.get(server.fresh_url())
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.wait_painted()
        self.by_id('tab-tools').click()
        marks = self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li button.go')
        self.assertEqual([m.text.replace('\n', ' ') for m in marks],
                         ['0x00000000 MZ 2 B', '0x00000040 DOS stub 39 B'])
        marks[1].click()
        self.settle()
        self.assertEqual(self.by_id('st-selection').text, 'selected 0x40–0x66 (39 bytes)')

        self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li button.drop')[0].click()
        self.until_text('bookmark-summary', '^1 bookmark, kept by hexview serve')
        self.driver.refresh()
        self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready === "true"'))
        self.by_id('tab-tools').click()
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, '#bookmark-list li')), 1)
        self.assertIn('Ctrl+D', self.by_id('help-dialog').get_attribute('textContent'))

    def test_screenshots(self):
        """The Tools tab in light and dark, wide and narrow, with each tool used."""
        out = os.environ.get('HEXVIEW_TOOLS_SHOTS')
        if not out:
            self.skipTest('HEXVIEW_TOOLS_SHOTS not set')
        os.makedirs(out, exist_ok=True)
        data = bytearray(sample_bytes() * 4)
        data[0x900:0x900 + 24] = 'UTF-16 text in a file'.encode('utf-16-le')[:24]
        self.open(self.file('firmware.bin', bytes(data)))
        self.by_id('tab-tools').click()
        self.select(0x40, 0x66)
        self.by_id('bookmark-name').send_keys('DOS stub', Keys.ENTER)
        self.by_id('hash-form').find_element(By.TAG_NAME, 'button').click()
        self.until_text('hash-summary', r'^Hashes')
        self.driver.execute_script('window.hexview.grid.moveTo(0)')
        self.by_id('strings-form').find_element(By.CSS_SELECTOR, 'button[type=submit]').click()
        self.until_text('strings-summary', r'strings')
        self.driver.find_element(By.CSS_SELECTOR, '#bookmark-list li button.go').click()
        self.settle()
        self.driver.execute_script('document.getElementById("pane-tools").scrollTop = 0')
        try:
            for scheme in ['light', 'dark']:
                self.driver.execute_cdp_cmd('Emulation.setEmulatedMedia',
                                            {'features': [{'name': 'prefers-color-scheme', 'value': scheme}]})
                for width in [1400, 640]:
                    self.driver.set_window_size(width, 900)
                    self.wait_painted()
                    self.driver.save_screenshot(os.path.join(out, f'tools-{scheme}-{width}.png'))
        finally:
            self.driver.set_window_size(1400, 900)
            self.driver.execute_cdp_cmd('Emulation.setEmulatedMedia', {'features': []})


if __name__ == '__main__':
    main()
