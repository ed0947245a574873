#!/usr/bin/python3
"""Browser tests of what the grid's speed-ups must keep: the rows a wheel run
or a jump brings into view are the right ones and are painted, a click lands
on the byte painted under it, and the staged list stays right as a typed run
grows. Behaviour only: the times are in bench/serve/browser_bench.py.

Usage: browser_perf_test.py HEXVIEW [unittest arguments]
"""
from browser_support import GIB, BrowserCase, By, main


def numbered_rows(count):
    """Each 16-byte row holds its own offset (8 bytes, big-endian) and 'rowdata!'."""
    return b''.join((16 * i).to_bytes(8, 'big') + b'rowdata!' for i in range(count))


def row_hex(offset):
    data = offset.to_bytes(8, 'big') + b'rowdata!'
    return ' '.join(f'{b:02x}' for b in data[:8]) + '  ' + ' '.join(f'{b:02x}' for b in data[8:])


class PerfBehaviourTest(BrowserCase):
    def assert_rows_numbered(self):
        """Every row in view is painted with the bytes of its own offset."""
        rows = self.rows()
        self.assertGreater(len(rows), 10)
        for off, hexes, _ in rows:
            self.assertEqual(hexes, row_hex(int(off, 16)), f'row {off}')

    def wheel(self, events, delta_y):
        """Real wheel input over the grid, then waits for the painted rows."""
        x, y = self.driver.execute_script('''const r = document.getElementById('grid').getBoundingClientRect();
            return [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)];''')
        for _ in range(events):
            self.driver.execute_cdp_cmd('Input.dispatchMouseEvent',
                                        {'type': 'mouseWheel', 'x': x, 'y': y, 'deltaX': 0, 'deltaY': delta_y})
        self.settle()

    def test_wheel_runs_down_and_up_leave_every_row_painted_with_its_own_bytes(self):
        self.open(self.file('rows.bin', numbered_rows(1 << 16)))
        row_px = self.driver.execute_script('return window.hexview.grid.rowHeight')
        # Small steps move rows within the view, large ones past it; each
        # run in both directions, ending where the sum of the steps says.
        expected = 0
        for events, rows in [(30, 1), (12, 7), (8, 40), (10, -3), (6, -45), (25, 2)]:
            with self.subTest(events=events, rows=rows):
                self.wheel(events, rows * row_px)
                expected = max(0, expected + events * rows)
                self.assertEqual(self.rows()[0][0], '0x%08x' % (16 * expected))
                self.assert_rows_numbered()
                self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#grid .hrow.loading:not([hidden])'), [])

    def test_a_click_after_a_wheel_run_lands_on_the_byte_painted_under_it(self):
        self.open(self.file('rows.bin', numbered_rows(1 << 12)))
        row_px = self.driver.execute_script('return window.hexview.grid.rowHeight')
        self.wheel(9, 3 * row_px)
        # Each side of the gap after byte 7, both ends of a row, and the text column.
        for row, column, index in [(5, 'hex', 3), (6, 'hex', 7), (7, 'hex', 8), (8, 'hex', 0), (9, 'hex', 15),
                                   (10, 'text', 0), (11, 'text', 12), (12, 'text', 15)]:
            with self.subTest(column=column, index=index):
                target = self.driver.find_elements(By.CSS_SELECTOR, '#grid .hrow:not([hidden])')[row]
                offset = int(target.find_element(By.CSS_SELECTOR, '.c-off').text, 16) + index
                self.click_byte(target, index, column)
                self.settle()
                self.assertEqual(self.status(), f'offset 0x{offset:x} ({offset:,})')
                self.assertEqual(self.driver.execute_script('return window.hexview.grid.column'), column)

    def test_each_jump_on_64_gib_shows_its_target_row_painted(self):
        size = 64 * GIB
        marks = [0x1234560, 7 * GIB + 0x7770, 33 * GIB - 0x100, 50 * GIB + 0x10, size - 0x40]
        path = self.sparse_file('sparse.bin', size, b'')
        with open(path, 'r+b') as f:
            for at in marks:
                f.seek(at)
                f.write(b'MARK' + at.to_bytes(8, 'big') + b'KRAM')
        self.open(path)
        # Jumps back and forth, some before the rows of the last one came.
        for at in marks + marks[::-1]:
            with self.subTest(at=hex(at)):
                self.driver.execute_script('window.hexview.grid.jump(arguments[0] + 1000)', at)
                self.driver.execute_async_script(
                    'window.hexview.grid.jump(arguments[0]).then(arguments[arguments.length - 1])', at)
                row = self.row_at(at)
                self.assertEqual(row[1].split()[:4], ['4d', '41', '52', '4b'])
                self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, '#grid .hrow.loading:not([hidden])'), [])

    def test_a_slow_jump_shows_its_rows_once_they_come(self):
        self.open(self.file('rows.bin', numbered_rows(1 << 16)))
        with self.slow_server(300):  # longer than the old rows are kept in view
            self.driver.execute_async_script(
                'window.hexview.grid.jump(0x80000).then(arguments[arguments.length - 1])')
        self.settle()
        self.assertIsNotNone(self.row_at(0x80000))
        self.assert_rows_numbered()

    def test_the_staged_list_follows_a_typed_run_and_its_undo(self):
        self.open(self.file('rows.bin', numbered_rows(256)))
        self.driver.execute_async_script('''const done = arguments[arguments.length - 1];
            import('/api.js').then(async ({ post, setContentVersion }) => {
              // Each change names the version it was made on, as the page's own do.
              for (const offset of [1, 3, 5]) setContentVersion((await post('/api/write', { offset, hex: 'ee' })).version);
              await window.hexview.edits.refresh();
              done();
            });''')
        self.driver.execute_script('window.hexview.grid.moveTo(0x40)')
        self.grid_keys('abcd')
        self.settle()
        staged = self.staged()
        self.assertEqual(len(staged), 4)
        self.assertEqual(staged[3][0], 'write')
        self.assertEqual(int(staged[3][1], 16), 0x40)
        self.assertEqual(staged[3][2], '2: abcd')
        self.grid_keys('ef')
        self.settle()
        self.assertEqual(self.staged()[3][2], '3: abcdef')
        self.driver.execute_script('window.hexview.edits.undo()')
        self.settle()
        self.assertEqual([s[2] for s in self.staged()], ['1: ee', '1: ee', '1: ee'])


if __name__ == '__main__':
    main()
