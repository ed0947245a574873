// The hex grid: rows fetched on demand in blocks, a scroll position mapped
// onto the whole file (a 64 GiB file has 4 billion rows, far taller than a
// browser can lay out), the cursor, the selection and the marks.
import { get } from './api.js';
import { ROW, formatOffset } from './util.js';

const BLOCK_ROWS = 64;              // rows per page request
const BLOCK = BLOCK_ROWS * ROW;     // bytes per block
const MAX_SPACER_PX = 8_000_000;    // well below every browser's element height limit
const CACHE_BLOCKS = 256;

export class HexGrid {
  // Everything is private: the other modules read the grid through getters
  // and change it through its methods, so it always paints what it holds.
  #gridEl; #scroller; #spacer; #marks; #onCursor; #onSize; #onError; #onKey;
  #size = 0;
  #topRow = 0;
  #visible = 1;
  #cursor = 0;
  #anchor = null;        // selection start, or null
  #column = 'hex';       // where typing goes: 'hex' or 'text'
  #pending = null;       // first hex digit typed over the cursor's byte
  #cache = new Map();    // block index -> {rows} | Promise
  #generation = 0;
  #rowEls = [];
  #paintWaiters = [];
  #wheelPx = 0;
  #lastScrollTop = -1;
  #renderQueued = false;

  constructor({ grid, scroller, spacer, headHex, marks, onCursor, onSize, onError, onKey }) {
    this.#gridEl = grid;
    this.#scroller = scroller;
    this.#spacer = spacer;
    this.#marks = marks;
    this.#onCursor = onCursor;
    this.#onSize = onSize;
    this.#onError = onError;
    this.#onKey = onKey;
    headHex.textContent = Array.from({ length: ROW }, (_, i) => i.toString(16).padStart(2, '0') + (i === 7 ? '  ' : ' ')).join('');
    this.#bindEvents();
    new ResizeObserver(() => this.layout()).observe(this.#gridEl);
  }

  // ---- what the other modules read ----------------------------------------

  get size() { return this.#size; }
  get cursor() { return this.#cursor; }
  get column() { return this.#column; }    // 'hex' or 'text'
  get pending() { return this.#pending; }  // a half-typed hex digit, or null

  // ---- geometry ----------------------------------------------------------

  get rowHeight() {
    return parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--row-h')) || 20;
  }
  get totalRows() { return Math.max(1, Math.ceil(this.#size / ROW)); }
  get maxTop() { return Math.max(0, this.totalRows - this.#visible); }
  get lastOffset() { return Math.max(0, this.#size - 1); }

  layout() {
    const h = this.rowHeight;
    const visible = Math.max(1, Math.floor(this.#gridEl.clientHeight / h));
    if (visible !== this.#rowEls.length) this.#buildRows(visible);
    this.#visible = visible;
    this.#spacer.style.height = `${Math.min(this.totalRows * h, MAX_SPACER_PX)}px`;
    this.#setTop(this.#topRow);
  }

  #buildRows(n) {
    this.#gridEl.replaceChildren();
    this.#rowEls = [];
    for (let r = 0; r < n; r++) {
      const row = document.createElement('div');
      row.className = 'hrow';
      row.setAttribute('role', 'row');
      const off = document.createElement('span');
      off.className = 'c-off';
      const hexCol = document.createElement('span');
      hexCol.className = 'c-hex';
      const txtCol = document.createElement('span');
      txtCol.className = 'c-txt';
      const bytes = [];
      const chars = [];
      for (let i = 0; i < ROW; i++) {
        const b = document.createElement('span');
        b.className = 'b';
        b.dataset.i = i;
        b.dataset.col = 'hex';
        b.append(document.createElement('span'));
        hexCol.append(b);
        bytes.push(b);
        const t = document.createElement('span');
        t.className = 't';
        t.dataset.i = i;
        t.dataset.col = 'text';
        txtCol.append(t);
        chars.push(t);
      }
      row.append(off, hexCol, txtCol);
      row.dataset.r = r;
      this.#gridEl.append(row);
      this.#rowEls.push({ row, off, bytes, chars });
    }
  }

  // The scroll bar stands for the whole file: its position maps linearly onto
  // the first visible row, so any row is reachable with it.
  #scrollRange() { return Math.max(1, this.#scroller.scrollHeight - this.#scroller.clientHeight); }

  #setTop(row, fromScroll = false) {
    this.#topRow = Math.min(Math.max(0, Math.round(row)), this.maxTop);
    if (!fromScroll) {
      const top = this.maxTop ? (this.#topRow / this.maxTop) * this.#scrollRange() : 0;
      this.#lastScrollTop = Math.round(top);
      this.#scroller.scrollTop = top;
    }
    this.#fetchVisible();
    this.render();
  }

  // Asks for the rows in view (and the block after them) at once, rather
  // than a frame later when they are painted.
  #fetchVisible() {
    const first = Math.floor(this.#topRow / BLOCK_ROWS);
    const last = Math.floor(Math.min(this.#topRow + this.#visible, this.totalRows - 1) / BLOCK_ROWS);
    for (let b = first; b <= last; b++) this.#block(b);
    if ((last + 1) * BLOCK_ROWS < this.totalRows) this.#block(last + 1);
  }

  #onScroll() {
    const top = this.#scroller.scrollTop;
    if (Math.abs(top - this.#lastScrollTop) < 1) return;  // our own setting
    this.#lastScrollTop = top;
    this.#setTop((top / this.#scrollRange()) * this.maxTop, true);
  }

  // ---- data --------------------------------------------------------------

  setSize(size) {
    if (size === this.#size) return;
    this.#size = size;
    this.#cursor = Math.min(this.#cursor, this.lastOffset);
    if (this.#anchor !== null) this.#anchor = Math.min(this.#anchor, this.lastOffset);
    this.layout();
  }

  invalidate() {
    this.#generation++;
    this.#cache.clear();
    this.render();
  }

  #block(index) {
    const have = this.#cache.get(index);
    if (have) return have;
    const generation = this.#generation;
    const p = get('/api/page', { offset: index * BLOCK, rows: BLOCK_ROWS })
      .then((page) => {
        if (generation !== this.#generation) return null;
        const rows = page.rows.map((r) => ({ bytes: r.hex.split(/\s+/).map((h) => parseInt(h, 16)), ascii: r.ascii }));
        const entry = { rows };
        this.#cache.set(index, entry);
        if (this.#cache.size > CACHE_BLOCKS) this.#cache.delete(this.#cache.keys().next().value);
        if (page.size !== this.#size) this.#onSize(page.size);
        this.render();
        return entry;
      })
      .catch((e) => {
        if (this.#cache.get(index) === p) this.#cache.delete(index);
        if (generation === this.#generation) this.#onError(e);
        return null;
      });
    this.#cache.set(index, p);
    return p;
  }

  #rowData(row) {
    const b = this.#cache.get(Math.floor(row / BLOCK_ROWS));
    return b && !(b instanceof Promise) ? b.rows[row % BLOCK_ROWS] : null;
  }

  // `n` bytes from `offset` (fewer at the end of the file), from the cache or fetched.
  async bytesAt(offset, n) {
    const out = [];
    const end = Math.min(offset + n, this.#size);
    for (let off = offset; off < end; off++) {
      const row = Math.floor(off / ROW);
      let data = this.#rowData(row);
      if (!data) {
        const entry = await this.#block(Math.floor(row / BLOCK_ROWS));
        if (!entry) return null;
        data = entry.rows[row % BLOCK_ROWS];
      }
      out.push(data.bytes[off % ROW]);
    }
    return new Uint8Array(out);
  }

  // ---- painting ----------------------------------------------------------

  render() {
    if (this.#renderQueued) return;
    this.#renderQueued = true;
    requestAnimationFrame(() => {
      this.#renderQueued = false;
      this.#paint();
    });
  }

  #paint() {
    const [selStart, selEnd] = this.selection();
    let missing = false;
    for (let r = 0; r < this.#rowEls.length; r++) {
      const el = this.#rowEls[r];
      const row = this.#topRow + r;
      const base = row * ROW;
      if (row >= this.totalRows) {
        el.row.hidden = true;
        continue;
      }
      el.row.hidden = false;
      el.off.textContent = formatOffset(base, this.#size);
      const data = this.#rowData(row);
      if (!data) {
        missing = true;
        this.#block(Math.floor(row / BLOCK_ROWS));
      }
      el.row.classList.toggle('loading', !data);
      for (let i = 0; i < ROW; i++) {
        const off = base + i;
        const inFile = off < this.#size;
        const v = data && inFile ? data.bytes[i] : null;
        const b = el.bytes[i];
        const t = el.chars[i];
        const isCur = off === this.#cursor && (this.#size > 0 || off === 0);
        let text = v === null ? (inFile ? '··' : '  ') : v.toString(16).padStart(2, '0');
        if (isCur && this.#pending !== null) text = this.#pending + '·';
        b.firstChild.textContent = text;
        t.textContent = v === null ? ' ' : data.ascii[i];
        let cls = i === 7 ? 'b gap' : 'b';
        let tcls = 't';
        if (inFile) {
          const extra = this.#classesAt(off, selStart, selEnd);
          if (v === 0) cls += ' zero';
          if (extra) {
            cls += extra;
            tcls += extra;
          }
          if (isCur) {
            cls += this.#column === 'hex' ? ' cur active' : ' cur';
            tcls += this.#column === 'text' ? ' cur active' : ' cur';
          }
        }
        if (b.className !== cls) b.className = cls;
        if (t.className !== tcls) t.className = tcls;
      }
    }
    if (!missing && this.#paintWaiters.length) {
      const waiters = this.#paintWaiters;
      this.#paintWaiters = [];
      requestAnimationFrame(() => waiters.forEach((w) => w()));
    }
  }

  #classesAt(off, selStart, selEnd) {
    let c = '';
    if (off >= selStart && off <= selEnd) c += ' sel';
    const hit = this.#marks.hit(off);
    if (hit) c += hit === 2 ? ' hit now' : ' hit';
    if (this.#marks.diff(off)) c += ' diff';
    if (this.#marks.edit(off)) c += ' edit';
    return c;
  }

  // Resolves once every visible row is painted with its bytes.
  painted() {
    return new Promise((resolve) => {
      this.#paintWaiters.push(resolve);
      this.render();
    });
  }

  // ---- cursor and selection ---------------------------------------------

  selection() {
    if (this.#anchor === null) return [this.#cursor, this.#cursor];
    return [Math.min(this.#anchor, this.#cursor), Math.max(this.#anchor, this.#cursor)];
  }
  hasSelection() { return this.#anchor !== null && this.#anchor !== this.#cursor; }

  clearSelection() {
    this.#anchor = null;
    this.render();
  }

  // Where typing goes: the hex or the text column.
  setColumn(column) {
    this.#column = column;
    this.#pending = null;
    this.render();
    this.#onCursor();
  }

  // The first hex digit typed over the cursor's byte, shown until the
  // second one comes; null drops it.
  setPending(digit) {
    this.#pending = digit;
    this.render();
  }

  focus() { this.#gridEl.focus(); }

  moveTo(offset, extend = false) {
    offset = Math.min(Math.max(0, offset), this.lastOffset);
    if (extend && this.#anchor === null) this.#anchor = this.#cursor;
    if (!extend) this.#anchor = null;
    this.#cursor = offset;
    this.#pending = null;
    const row = Math.floor(offset / ROW);
    if (row < this.#topRow) this.#setTop(row);
    else if (row >= this.#topRow + this.#visible) this.#setTop(row - this.#visible + 1);
    else this.render();
    this.#onCursor();
  }

  // Puts `offset` in view (a few rows below the top when it was far away),
  // selects `length` bytes from it, and resolves when painted.
  jump(offset, length = 0) {
    offset = Math.min(Math.max(0, offset), this.lastOffset);
    const row = Math.floor(offset / ROW);
    if (row < this.#topRow || row >= this.#topRow + this.#visible) this.#setTop(row - Math.min(4, Math.floor(this.#visible / 3)));
    this.#anchor = length > 1 ? Math.min(offset + length - 1, this.lastOffset) : null;
    this.#cursor = offset;
    this.#pending = null;
    this.render();
    this.#onCursor();
    return this.painted();
  }

  // ---- input -------------------------------------------------------------

  #bindEvents() {
    this.#scroller.addEventListener('scroll', () => this.#onScroll());
    const body = this.#gridEl.parentElement;
    body.addEventListener('wheel', (e) => {
      e.preventDefault();
      const h = this.rowHeight;
      this.#wheelPx += e.deltaMode === 1 ? e.deltaY * h : e.deltaMode === 2 ? e.deltaY * h * this.#visible : e.deltaY;
      const rows = Math.trunc(this.#wheelPx / h);
      if (rows) {
        this.#wheelPx -= rows * h;
        this.#setTop(this.#topRow + rows);
      }
    }, { passive: false });
    let dragging = false;
    const cellAt = (e) => {
      const cell = e.target.closest('.b, .t');
      const row = e.target.closest('.hrow');
      if (!cell || !row) return null;
      return { off: (this.#topRow + Number(row.dataset.r)) * ROW + Number(cell.dataset.i), col: cell.dataset.col };
    };
    this.#gridEl.addEventListener('mousedown', (e) => {
      const c = cellAt(e);
      if (!c || c.off >= Math.max(1, this.#size)) return;
      e.preventDefault();
      this.#gridEl.focus();
      this.#column = c.col;
      this.moveTo(c.off, e.shiftKey);
      if (!e.shiftKey) this.#anchor = this.#cursor;
      dragging = true;
    });
    this.#gridEl.addEventListener('mousemove', (e) => {
      if (!dragging) return;
      const c = cellAt(e);
      if (c && c.off < this.#size && c.off !== this.#cursor) this.moveTo(c.off, true);
    });
    window.addEventListener('mouseup', () => {
      dragging = false;
      if (this.#anchor === this.#cursor) this.#anchor = null;
    });
    this.#gridEl.addEventListener('keydown', (e) => this.#keydown(e));
  }

  #keydown(e) {
    const page = this.#visible * ROW;
    const ext = e.shiftKey;
    const moves = {
      ArrowLeft: () => this.#cursor - 1,
      ArrowRight: () => this.#cursor + 1,
      ArrowUp: () => this.#cursor - ROW,
      ArrowDown: () => this.#cursor + ROW,
      PageUp: () => this.#cursor - page,
      PageDown: () => this.#cursor + page,
      Home: () => (e.ctrlKey ? 0 : this.#cursor - (this.#cursor % ROW)),
      End: () => (e.ctrlKey ? this.lastOffset : this.#cursor - (this.#cursor % ROW) + ROW - 1),
    };
    if (moves[e.key] && !e.altKey && !e.metaKey) {
      e.preventDefault();
      const target = moves[e.key]();
      // Paging keeps the cursor's place on the screen.
      if (e.key === 'PageUp' || e.key === 'PageDown') this.#setTop(this.#topRow + (e.key === 'PageUp' ? -this.#visible : this.#visible));
      this.moveTo(target, ext);
      return;
    }
    if (e.key === 'Tab' && !e.ctrlKey && ((this.#column === 'hex') !== e.shiftKey)) {
      e.preventDefault();
      this.setColumn(this.#column === 'hex' ? 'text' : 'hex');
      return;
    }
    if (e.key === 'Escape') {
      this.#pending = null;
      this.#anchor = null;
      this.render();
      this.#onCursor();
      return;
    }
    if (this.#onKey(e)) e.preventDefault();
  }
}
