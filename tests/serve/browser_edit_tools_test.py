#!/usr/bin/python3
"""Browser tests of the edit tools of `hexview serve`: paste (Ctrl+V and the
Edits tab), fill, find and replace, and values typed into the inspector, on
files the tests make, checked in the rows and in the saved file.

Usage: browser_edit_tools_test.py HEXVIEW [unittest arguments]
"""
import re
import struct

from browser_support import GIB, BrowserCase, By, Keys, main


class EditToolsTest(BrowserCase):
    # ---- helpers ----------------------------------------------------------

    def clipboard(self, text):
        """Puts `text` on the browser's clipboard, as another program would."""
        origin = re.match(r'http://[^/]+', self.driver.current_url).group(0)
        self.driver.execute_cdp_cmd('Browser.grantPermissions',
                                    {'permissions': ['clipboardReadWrite', 'clipboardSanitizedWrite'], 'origin': origin})
        done = self.driver.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            'navigator.clipboard.writeText(arguments[0]).then(() => done("ok"), (e) => done(String(e)))', text)
        self.assertEqual(done, 'ok')

    def paste_keys(self, text):
        """Ctrl+V in the grid with `text` on the clipboard."""
        self.clipboard(text)
        self.grid_keys(Keys.CONTROL, 'v')
        self.settle()

    def move(self, offset, column='hex'):
        self.driver.execute_script(f'window.hexview.grid.setColumn("{column}"); window.hexview.grid.moveTo({offset})')
        self.settle()

    def shown(self, *row_offsets):
        """The bytes the hex column shows in these rows (blank cells past the end left out)."""
        return bytes.fromhex(''.join(''.join(self.row_at(off)[1].split()) for off in row_offsets))

    def select(self, first, last):
        self.move(first)
        self.driver.execute_script(f'window.hexview.grid.moveTo({last}, true)')

    def saved(self, path):
        with open(path, 'rb') as f:
            return f.read()

    def error(self):
        return self.by_id('error-text').text if self.by_id('error').is_displayed() else ''

    def dismiss(self):
        self.by_id('error-close').click()

    def undo_steps(self):
        return self.driver.execute_script('return window.hexview.edits.undoCount')

    # ---- paste ------------------------------------------------------------

    def test_paste_hex_and_text_over_and_inserted_then_saved(self):
        path = self.file('p.bin', bytes(range(32)))
        self.open(path)
        # Hex column, OVR: hex over the bytes from the cursor; line ends and
        # spaces between bytes are fine.
        self.move(2)
        self.paste_keys('de ad\nbe:ef')
        self.assertEqual(self.row_at(0)[1], '00 01 de ad be ef 06 07  08 09 0a 0b 0c 0d 0e 0f')
        self.assertEqual(self.status(), 'offset 0x6 (6)', 'the cursor steps past the paste')
        # Text column, INS: the text's UTF-8 bytes, inserted.
        self.move(0x10, 'text')
        self.grid_keys(Keys.INSERT)
        self.paste_keys('Hé!')
        self.grid_keys(Keys.INSERT)
        self.assertEqual(self.row_at(0x10)[1], '48 c3 a9 21 10 11 12 13  14 15 16 17 18 19 1a 1b')
        self.assertEqual(self.row_at(0x10)[2][:4], 'H..!')
        # The Edits tab: text over the bytes, then hex inserted at the cursor.
        self.by_id('tab-edits').click()
        self.move(8)
        self.by_id('paste-input').send_keys('AB')
        self.by_id('paste-kind').send_keys('as text')
        self.by_id('paste-over').click()
        self.settle()
        self.assertEqual(self.row_at(0)[1], '00 01 de ad be ef 06 07  41 42 0a 0b 0c 0d 0e 0f')
        box = self.by_id('paste-input')
        box.clear()
        box.send_keys('ff ee')
        self.by_id('paste-kind').send_keys('as hex')
        self.move(0)
        self.by_id('paste-insert').click()
        self.settle()
        self.assertEqual(self.row_at(0)[1], 'ff ee 00 01 de ad be ef  06 07 41 42 0a 0b 0c 0d')
        # Each paste is one staged edit and one undo step.
        self.assertEqual([s[0] for s in self.staged()], ['write', 'insert', 'write', 'insert'])
        self.assertEqual(self.undo_steps(), 4)
        self.grid_keys(Keys.CONTROL, 'z')
        self.settle()
        self.assertEqual(self.row_at(0)[1], '00 01 de ad be ef 06 07  41 42 0a 0b 0c 0d 0e 0f')
        self.save()
        self.assertEqual(self.saved(path), bytes([0, 1, 0xde, 0xad, 0xbe, 0xef, 6, 7]) + b'AB' + bytes(range(10, 16))
                         + 'Hé!'.encode() + bytes(range(16, 32)))

    def test_paste_over_the_last_bytes_appends_the_rest_in_one_step(self):
        path = self.file('end.bin', b'0123456789')
        self.open(path)
        self.move(8)
        self.paste_keys('41 42 43 44')
        self.assertEqual(self.shown(0), b'01234567ABCD')
        self.assertEqual(self.undo_steps(), 1)
        self.save()
        self.assertEqual(self.saved(path), b'01234567ABCD')

    def test_a_refused_paste_says_why_and_stages_nothing(self):
        self.open(self.file('r.bin', bytes(64)))
        self.refusals_expected = True
        cases = [('abc', 'the pasted hex: an odd number of hex digits'),
                 ('hello', 'the pasted hex: not hex: "h"'),
                 ('', 'nothing to paste')]
        for text, says in cases:
            with self.subTest(text=text):
                self.paste_keys(text)
                self.assertIn(says, self.error())
                self.dismiss()
        # Beyond the server's request limit of 1 MiB: said before anything is sent.
        self.by_id('tab-edits').click()
        self.driver.execute_script('document.getElementById("paste-input").value = "ab".repeat(600000)')
        self.by_id('paste-insert').click()
        self.settle()
        self.assertRegex(self.error(), r'^the paste has 600,000 bytes; a paste holds [0-9,]+ at most \(the server '
                                       r'takes requests of 1 MiB\): nothing was pasted')
        self.assertEqual(self.staged(), [])
        self.assertEqual(self.row_at(0)[1], '00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00')

    # ---- fill ------------------------------------------------------------

    def test_fill_the_selection_with_a_pattern_as_one_step(self):
        path = self.file('f.bin', bytes(range(48)))
        self.open(path)
        self.by_id('tab-edits').click()
        self.select(4, 0x14)
        box = self.by_id('fill-input')
        box.clear()
        box.send_keys('de ad be', Keys.ENTER)
        self.settle()
        self.assertEqual(self.row_at(0)[1], '00 01 02 03 de ad be de  ad be de ad be de ad be')
        self.assertEqual(self.row_at(0x10)[1], 'de ad be de ad 15 16 17  18 19 1a 1b 1c 1d 1e 1f')
        self.assertEqual(self.staged(), [['write', '0x00000004', '17: deadbedeadbedeadbedeadbedeadbedead']])
        self.until_text('notice', 'Filled 17 bytes from 0x4')
        # A bad pattern is refused in words.
        self.refusals_expected = True
        box.clear()
        box.send_keys('4', Keys.ENTER)
        self.until_text('error-text', 'the fill pattern: an odd number of hex digits')
        self.dismiss()
        self.assertEqual(len(self.staged()), 1)
        self.save()
        self.assertEqual(self.saved(path), bytes(range(4)) + (b'\xde\xad\xbe' * 6)[:17] + bytes(range(0x15, 48)))

    def test_tools_at_the_end_of_a_64_gib_sparse_file(self):
        size = 64 * GIB
        tail = b'the last forty bytes of a 64 GiB file..!'
        path = self.sparse_file('huge.bin', size, tail)
        self.open(path)
        self.go_to(hex(size - 16))
        self.by_id('tab-edits').click()
        self.select(size - 16, size - 9)
        box = self.by_id('fill-input')
        box.clear()
        box.send_keys('ff', Keys.ENTER)
        self.settle()
        self.move(size - 4, 'text')
        self.paste_keys('END.')
        self.move(size - 40)
        self.inspector_value('uint32 big-endian', '0x54484521')
        expected = b'THE!' + tail[4:24] + b'\xff' * 8 + tail[32:36] + b'END.'
        self.go_to(hex(size - 48))
        self.assertEqual(self.shown(size - 48, size - 32, size - 16), bytes(8) + expected)
        self.assertEqual(self.undo_steps(), 3)
        self.save()
        with open(path, 'rb') as f:
            f.seek(size - 40)
            self.assertEqual(f.read(), expected)

    # ---- find and replace --------------------------------------------------

    def search(self, mode, pattern, hits):
        self.by_id('tab-search').click()
        self.by_id('search-mode').send_keys(mode)
        box = self.by_id('search-input')
        box.clear()
        box.send_keys(pattern, Keys.ENTER)
        self.until_text('search-summary', f'^{hits} hits?')
        self.settle()

    def test_replace_one_then_all_as_one_undo_step(self):
        text = b'a cat, a dog, a cat, a cow, a cat and a cat.'
        path = self.file('cats.bin', text)
        self.open(path)
        self.search('ASCII', 'cat', 4)
        # Two bytes inserted before every hit: replacing hits them where they are now.
        self.by_id('tab-edits').click()
        self.move(0)
        self.by_id('insert-btn').click()
        box = self.by_id('insert-input')
        box.clear()
        box.send_keys('3e 20', Keys.ENTER)
        self.settle()
        # An edit over the last hit: replacing skips it.
        self.move(text.rindex(b'cat') + 4, 'text')
        self.grid_keys('r')
        self.settle()
        self.by_id('tab-search').click()
        self.driver.execute_script('window.hexview.search.select(0)')
        self.settle()
        self.by_id('replace-input').send_keys('dog', Keys.ENTER)  # Replace: the current hit, then the next
        self.settle()
        self.assertEqual(self.status(), 'offset 0x12 (18)', 'on to the next hit, where it is now')
        self.assertEqual(self.row_at(0)[2], '> a dog, a dog, ')
        self.by_id('replace-all').click()
        self.settle()
        self.until_text('notice', r'^Replaced 2 hits as one step \(one Undo puts them back\); 2 that staged edits '
                                  r'changed were skipped')
        replaced = b'> a dog, a dog, a dog, a cow, a dog and a car.'
        self.assertEqual(self.shown(0, 0x10, 0x20), replaced)
        self.assertEqual(self.undo_steps(), 4)
        self.assertEqual(len(self.staged()), 5)
        # One Undo takes back the whole replace-all, and Redo brings it back.
        self.by_id('undo-btn').click()
        self.settle()
        self.assertEqual(self.row_at(0x10)[2], 'a cat, a cow, a ')
        self.assertEqual(len(self.staged()), 3)
        self.by_id('redo-btn').click()
        self.settle()
        self.assertEqual(self.row_at(0x10)[2], 'a dog, a cow, a ')
        self.save()
        self.assertEqual(self.saved(path), replaced)

    def test_replace_all_with_another_length_and_refused_beyond_the_cap(self):
        path = self.file('hex.bin', b'\x01\x02\x00' * 8)
        self.open(path)
        self.search('hex', '01 02', 8)
        self.by_id('replace-input').send_keys('aa bb cc')
        self.by_id('replace-all').click()
        self.settle()
        self.assertEqual(self.row_at(0)[1], 'aa bb cc 00 aa bb cc 00  aa bb cc 00 aa bb cc 00')
        self.assertEqual(len(self.staged()), 16, 'a delete and an insert a hit')
        self.assertEqual(self.undo_steps(), 1)
        self.save()
        self.assertEqual(self.saved(path), b'\xaa\xbb\xcc\x00' * 8)
        # 600 hits that take two edits each: beyond the cap, nothing is staged.
        self.open(self.file('many.bin', b'ab.' * 600))
        self.search('ASCII', 'ab', 600)
        self.refusals_expected = True
        self.by_id('replace-input').send_keys('xyz')
        self.by_id('replace-all').click()
        self.until_text('error-text', r'^replacing all 600 hits takes 1,200 staged edits, and 0 of the cap of 1000 '
                                      r'are staged: nothing was staged')
        self.assertEqual(self.staged(), [])

    def test_replace_all_with_a_shorter_text_moves_the_selection_and_the_hits(self):
        """'cat' replaced by 'DO' everywhere: the selected hit is selected as
        its two new bytes, and the hits are listed, marked and stepped to
        where their replacements are."""
        self.open(self.file('c.bin', b'ab cat cd cat ef cat gh cat.' + bytes(8)))
        self.search('ASCII', 'cat', 4)
        self.driver.execute_script('window.hexview.search.select(1)')
        self.settle()
        selection = lambda: tuple(self.driver.execute_script('return window.hexview.grid.selection()'))
        self.assertEqual(selection(), (10, 12))
        self.by_id('replace-input').send_keys('DO')
        self.by_id('replace-all').click()
        self.until_text('notice', '^Replaced 4 hits as one step')
        self.settle()
        self.assertEqual(self.row_at(0)[2] + self.row_at(0x10)[2][:8], 'ab DO cd DO ef DO gh DO.')
        self.assertEqual(selection(), (9, 10), 'the second hit, now DO')
        listed = [li.find_element(By.CSS_SELECTOR, '.off').text for li in self.driver.find_elements(By.CSS_SELECTOR, '#hit-list li')]
        self.assertEqual(listed, ['0x00000003', '0x00000009', '0x0000000f', '0x00000015'])
        self.assertEqual(self.driver.execute_script('return [...Array(24).keys()].map((o) => window.hexview.search.markAt(o))'),
                         [0, 0, 0, 1, 1, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 0])
        self.grid_keys(Keys.F3)
        self.settle()
        self.assertEqual(selection(), (15, 16), 'F3 goes on to the third, where it is now')
        # A selection made by hand, from the last byte of a hit over the next
        # one: it keeps the bytes left of it (" ef DO "), pulled back.
        self.by_id('undo-btn').click()
        self.settle()
        self.select(12, 20)
        self.by_id('replace-all').click()
        self.settle()
        self.assertEqual(selection(), (11, 17))
        self.assertEqual(self.driver.execute_script('return window.hexview.grid.cursor'), 17, 'the cursor at its end still')

    # ---- the inspector ------------------------------------------------------

    def test_the_inspector_reads_from_the_selections_first_byte_either_way(self):
        """Selected left to right (the cursor at its end) or right to left,
        the inspector reads from the first selected byte, and a value typed
        there is written there."""
        data = bytes(range(0x10, 0x30))
        self.open(self.file('s.bin', data))
        for first, last in [(4, 7), (7, 4)]:
            with self.subTest(first=first, last=last):
                self.select(first, last)
                self.until_text('inspector-at', '^at 0x4$')
                self.assertEqual(self.driver.find_element(By.CSS_SELECTOR, '#inspector [aria-label="uint32 little-endian"]').text,
                                 str(int.from_bytes(data[4:8], 'little')))
        self.move(4)
        self.grid_keys(Keys.SHIFT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
        self.until_text('st-selection', '^selected 0x4–0x7')
        self.until_text('inspector-at', '^at 0x4$')
        field = self.driver.find_element(By.CSS_SELECTOR, '#inspector [aria-label="uint16 big-endian"]')
        field.click()
        field.send_keys(Keys.CONTROL, 'a')
        field.send_keys('0xabcd', Keys.ENTER)
        self.settle()
        self.assertEqual(self.shown(0)[:8], data[:4] + b'\xab\xcd' + data[6:8])


    def inspector_value(self, label, text):
        at = self.driver.execute_script('return window.hexview.grid.cursor')
        self.until_text('inspector-at', f'^at 0x{at:x}$')
        field = self.driver.find_element(By.CSS_SELECTOR, f'#inspector [aria-label="{label}"]')
        field.click()
        field.send_keys(Keys.CONTROL, 'a')
        field.send_keys(text, Keys.ENTER)
        self.settle()

    def test_inspector_values_are_written_in_either_byte_order(self):
        path = self.file('i.bin', bytes(32))
        self.open(path)
        cases = [(0, 'uint16 little-endian', '258', b'\x02\x01'),
                 (2, 'int32 big-endian', '-2', b'\xff\xff\xff\xfe'),
                 (6, 'int8', '-128', b'\x80'),
                 (8, 'float32 little-endian', '1.5', struct.pack('<f', 1.5)),
                 (12, 'uint64 big-endian', '0x0102030405060708', bytes(range(1, 9))),
                 (20, 'float64 big-endian', '-0.1', struct.pack('>d', -0.1))]
        expected = bytearray(32)
        for at, label, value, data in cases:
            with self.subTest(label=label):
                self.move(at)
                self.inspector_value(label, value)
                expected[at:at + len(data)] = data
                self.assertEqual(self.shown(0, 16), bytes(expected))
        self.assertEqual(self.undo_steps(), len(cases))
        # A value beyond the type, or no number at all, is refused in words.
        self.refusals_expected = True
        self.move(0)
        refusals = [('uint8', '256', '256 is out of range for uint8 (0 to 255)'),
                    ('int16 big-endian', '-40000', '-40000 is out of range for int16 (-32768 to 32767)'),
                    ('uint32 little-endian', '12abc', 'not an integer: "12abc"'),
                    ('float32 little-endian', '1e39', '1e39 is out of range for float32'),
                    ('float64 little-endian', 'pi', 'not a number: "pi"')]
        for label, value, says in refusals:
            with self.subTest(label=label):
                self.inspector_value(label, value)
                self.assertIn(says, self.error())
                self.dismiss()
        self.assertEqual(self.undo_steps(), len(cases))
        self.save()
        self.assertEqual(self.saved(path), bytes(expected))

    # ---- read-only ---------------------------------------------------------

    def test_read_only_offers_no_edit_tool(self):
        self.open(self.file('ro.bin', b'a cat' * 4), '--read-only')
        self.by_id('tab-edits').click()
        self.assertFalse(self.by_id('paste-form').is_displayed())
        self.assertFalse(self.by_id('fill-form').is_displayed())
        self.by_id('tab-search').click()
        self.assertFalse(self.by_id('replace-form').is_displayed())
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#inspector [contenteditable]'), [])
        self.assertIn('8289', self.by_id('inspector').text)  # 'a ' as a little-endian uint16, shown as text
        self.paste_keys('00')
        self.assertIn('the file is open read-only', self.error())


if __name__ == '__main__':
    main()
