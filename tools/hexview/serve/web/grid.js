// The hex grid: rows fetched on demand in blocks, a scroll position mapped
// onto the whole file (a 64 GiB file has 4 billion rows, far taller than a
// browser can lay out), the cursor, the selection and the marks.
import { get } from './api.js';
import { ROW, formatOffset } from './util.js';

const BLOCK_ROWS = 64;              // rows per page request
const BLOCK = BLOCK_ROWS * ROW;     // bytes per block
const MAX_SPACER_PX = 8_000_000;    // well below every browser's element height limit
const CACHE_BLOCKS = 256;
const AHEAD_BLOCKS = 2;             // blocks fetched ahead of the view, in the way it moves
const MAX_REQUEST_BLOCKS = 15;      // a page request holds at most 1000 rows
const HOLD_MS = 100;                // a view none of whose rows are here yet waits this long before it shows them loading
const HEX_CHARS = 50;               // the hex column's width in characters (.c-hex)
const TEXT_INDENT = 2;              // the text column's left padding in characters (.c-txt)

// Calls `f` once the frame being made now is painted: a task posted from an
// animation frame runs after that frame's rendering.
const afterFrame = (() => {
  const channel = new MessageChannel();
  const queue = [];
  channel.port1.onmessage = () => queue.splice(0).forEach((f) => f());
  return (f) => {
    queue.push(f);
    if (queue.length === 1) channel.port2.postMessage(null);
  };
})();

// Changes an element's text only when it differs: writing the same text
// still costs the browser a new text node and its style and layout.
function setText(el, text) {
  const node = el.firstChild;
  if (node && node.nodeType === Node.TEXT_NODE && !node.nextSibling) {
    if (node.data !== text) node.data = text;
  } else {
    el.textContent = text;
  }
}

// A row's column is painted as runs: bytes with no mark of their own are
// plain text (zeros in a dim span), one text node for a whole row of them,
// and each marked byte (cursor, selection, hit, difference, edit) is an
// element of its own. The browser lays out a row of plain text in a
// fraction of the time it takes for sixteen elements, which is most of what
// a jump to rows of random bytes costs.
function addRun(runs, cls, text, own = false) {
  const last = runs[runs.length - 1];
  if (!own && last && !last.own && last.cls === cls) last.text += text;
  else runs.push({ cls, text, own });
}

// A marked byte of the hex column is span.b > span (its digits); of the text
// column span.t; a run of zeros span.zero; a plain run a text node.
function runNode(run) {
  const text = document.createTextNode(run.text);
  if (!run.cls) return [text, text];
  const span = document.createElement('span');
  span.className = run.cls;
  if (run.own && run.cls.startsWith('b')) {
    const digits = document.createElement('span');
    digits.append(text);
    span.append(digits);
  } else {
    span.append(text);
  }
  return [span, text];
}

// Writes the runs into the column: when its runs have the classes they had,
// only the texts that changed (a scroll, a jump), else its nodes again.
function paintRuns(col, runs) {
  const shape = runs.map((r) => (r.own ? '!' : '') + r.cls).join('|');
  if (shape !== col.shape) {
    const nodes = runs.map(runNode);
    col.el.replaceChildren(...nodes.map((n) => n[0]));
    col.texts = nodes.map((n) => n[1]);
    col.shape = shape;
    return;
  }
  for (let k = 0; k < runs.length; k++) {
    if (col.texts[k].data !== runs[k].text) col.texts[k].data = runs[k].text;
  }
}

// A row of the server's page: its byte values and its text column.
function parseRow(r) {
  const bytes = new Array(ROW);
  const hex = r.hex;
  // "xx xx xx xx xx xx xx xx  xx xx ...": the pairs sit at fixed places.
  let n = 0;
  for (let i = 0; i < hex.length && n < ROW; i++) {
    if (hex.charCodeAt(i) !== 32) {
      bytes[n++] = parseInt(hex.substr(i, 2), 16);
      i++;
    }
  }
  return { bytes: n === ROW ? bytes : bytes.slice(0, n), ascii: r.ascii };
}

export class HexGrid {
  // Everything is private: the other modules read the grid through getters
  // and change it through its methods, so it always paints what it holds.
  #gridEl; #scroller; #spacer; #marks; #onCursor; #onSize; #onError; #onKey; #onNotice;
  #size = 0;             // the size shown: the server's plus typed inserts on their way
  #serverSize = 0;
  #sizeVersion = 0;      // the server's version of #serverSize
  #appendable = false;   // a cursor place after the last byte, to append at
  #local = [];           // typed edits shown before the server has them (below)
  #topRow = 0;
  #visible = 1;
  #cursor = 0;
  #anchor = null;        // selection start, or null
  #column = 'hex';       // where typing goes: 'hex' or 'text'
  #pending = null;       // first hex digit typed over the cursor's byte
  #cache = new Map();    // block index -> {rows, version} | Promise
  #stale = new Map();    // blocks from before the last change, shown until fresh ones come
  #generation = 0;
  #rowEls = [];
  #paintWaiters = [];
  #wheelPx = 0;
  #rowH = 20;            // read from the style sheet at each layout, not on every event
  #heading = 1;          // 1 while the view moves down the file, -1 up
  #lastScrollTop = -1;
  #scrollGesture = null;  // 'arrow', 'track' or 'drag' while the mouse is down on the scroll bar
  #renderQueued = false;
  #paintedTop = 0;       // the first row as painted: what a click lands on
  #holdSince = null;     // when the view went where none of its rows are here yet

  constructor({ grid, scroller, spacer, headHex, marks, onCursor, onSize, onError, onKey, onNotice }) {
    this.#gridEl = grid;
    this.#scroller = scroller;
    this.#spacer = spacer;
    this.#marks = marks;
    this.#onCursor = onCursor;
    this.#onSize = onSize;
    this.#onError = onError;
    this.#onKey = onKey;
    this.#onNotice = onNotice || (() => {});
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

  get rowHeight() { return this.#rowH; }
  get totalRows() { return Math.max(1, Math.ceil((this.#size + (this.#appendable ? 1 : 0)) / ROW)); }
  get maxTop() { return Math.max(0, this.totalRows - this.#visible); }
  get lastOffset() { return Math.max(0, this.#size - 1); }
  // The furthest the cursor goes: the last byte, or the place after it when appending is allowed.
  get lastCursor() { return this.#appendable ? this.#size : this.lastOffset; }
  get firstRow() { return this.#topRow; }
  get visibleRows() { return this.#visible; }

  // Writable files get a cursor place after the last byte, to append at.
  setAppendable(on) {
    this.#appendable = on;
    this.layout();
  }

  layout() {
    this.#rowH = parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--row-h')) || 20;
    const h = this.#rowH;
    const visible = Math.max(1, Math.floor(this.#gridEl.clientHeight / h));
    if (visible !== this.#rowEls.length) this.#buildRows(visible);
    this.#visible = visible;
    this.#spacer.style.height = `${Math.min(this.totalRows * h, MAX_SPACER_PX)}px`;
    this.#setTop(this.#topRow);
  }

  #buildRows(n) {
    this.#paintedTop = this.#topRow;
    this.#gridEl.replaceChildren();
    this.#rowEls = [];
    for (let r = 0; r < n; r++) {
      const row = document.createElement('div');
      row.className = 'hrow';
      row.setAttribute('role', 'row');
      const off = document.createElement('span');
      off.className = 'c-off';
      off.textContent = ' ';
      const hex = document.createElement('span');
      hex.className = 'c-hex';
      const txt = document.createElement('span');
      txt.className = 'c-txt';
      row.append(off, hex, txt);
      this.#gridEl.append(row);
      this.#rowEls.push({ row, off, hex: { el: hex, shape: null, texts: [] }, txt: { el: txt, shape: null, texts: [] } });
    }
  }

  // The scroll bar stands for the whole file: its position maps linearly onto
  // the first visible row, so any row is reachable with it.
  #scrollRange() { return Math.max(1, this.#scroller.scrollHeight - this.#scroller.clientHeight); }

  #setTop(row, fromScroll = false) {
    const before = this.#topRow;
    this.#topRow = Math.min(Math.max(0, Math.round(row)), this.maxTop);
    if (this.#topRow !== before) this.#heading = this.#topRow > before ? 1 : -1;
    if (!fromScroll) {
      const top = this.maxTop ? (this.#topRow / this.maxTop) * this.#scrollRange() : 0;
      this.#scroller.scrollTop = top;
      // The browser rounds what it keeps: remember its own value, so the
      // scroll event this setting causes is known as ours and never read
      // back as a move.
      this.#lastScrollTop = this.#scroller.scrollTop;
    }
    this.#fetchVisible();
    this.render();
  }

  // Asks for the rows in view at once (one request), rather than a frame
  // later when they are painted; once they are here, for the blocks ahead in
  // the way the view moves and the one behind, so scrolling finds its rows
  // there (asked for together, they would slow the rows in view).
  #fetchVisible() {
    const first = Math.floor(this.#topRow / BLOCK_ROWS);
    const lastBlock = Math.floor((this.totalRows - 1) / BLOCK_ROWS);
    const last = Math.floor(Math.min(this.#topRow + this.#visible, this.totalRows - 1) / BLOCK_ROWS);
    const around = () => {
      if (this.#heading > 0) {
        this.#fetchBlocks(last + 1, Math.min(lastBlock, last + AHEAD_BLOCKS));
        this.#fetchBlocks(Math.max(0, first - 1), first - 1);
      } else {
        this.#fetchBlocks(Math.max(0, first - AHEAD_BLOCKS), first - 1);
        this.#fetchBlocks(last + 1, Math.min(lastBlock, last + 1));
      }
    };
    const inView = this.#fetchBlocks(first, last);
    if (inView) inView.then(around);
    else around();
  }

  // Fetches the blocks first..last that are neither held nor on their way,
  // each run of adjacent ones in one request; gives the last request's
  // promise, or null when none was needed.
  #fetchBlocks(first, last) {
    let run = -1;
    let asked = null;
    for (let b = first; b <= last + 1; b++) {
      const missing = b <= last && !this.#cache.has(b);
      if (missing && run < 0) run = b;
      if (run >= 0 && (!missing || b - run === MAX_REQUEST_BLOCKS)) {
        asked = this.#request(run, b - run);
        run = missing ? b : -1;
      }
    }
    return asked;
  }

  // The scroll bar: a drag maps its place onto the whole file; its arrows
  // step a few rows and a click in its track a page, whatever the file's
  // size (on a huge file one pixel of the bar is thousands of rows).
  #onScroll() {
    const top = this.#scroller.scrollTop;
    if (top === this.#lastScrollTop) return;  // our own setting
    const down = top > this.#lastScrollTop;
    this.#lastScrollTop = top;
    if (this.#scrollGesture === 'arrow') this.#setTop(this.#topRow + (down ? 3 : -3));
    else if (this.#scrollGesture === 'track') this.#setTop(this.#topRow + (down ? 1 : -1) * Math.max(1, this.#visible - 1));
    else this.#setTop((top / this.#scrollRange()) * this.maxTop, true);
  }

  // Where on the scroll bar the mouse went down: an arrow, the thumb or the track.
  #scrollPart(e) {
    const s = this.#scroller;
    const rect = s.getBoundingClientRect();
    const y = e.clientY - rect.top;
    const arrow = Math.max(12, s.offsetWidth - s.clientWidth || 16);
    if (y < arrow || y > rect.height - arrow) return 'arrow';
    const track = rect.height - 2 * arrow;
    const thumb = Math.max(20, (track * s.clientHeight) / Math.max(1, s.scrollHeight));
    const thumbTop = arrow + ((track - thumb) * s.scrollTop) / this.#scrollRange();
    return y >= thumbTop - 2 && y <= thumbTop + thumb + 2 ? 'drag' : 'track';
  }

  // ---- data --------------------------------------------------------------

  // The size of the content on the server at `version` (an answer older
  // than the last size's is not taken); typed edits on their way change it.
  setSize(size, version = this.#sizeVersion) {
    if (version < this.#sizeVersion) return;
    this.#sizeVersion = version;
    this.#serverSize = size;
    const shown = size + this.#localGrowth();
    if (shown === this.#size) return;
    this.#size = shown;
    this.#cursor = Math.min(this.#cursor, this.lastCursor);
    if (this.#anchor !== null) this.#anchor = Math.min(this.#anchor, this.lastOffset);
    this.layout();
  }

  // The content changed on the server: fetch again, showing the old rows
  // (with the typed edits over them) until the new ones come.
  invalidate() {
    this.#generation++;
    const first = Math.floor(this.#topRow / BLOCK_ROWS) - 1;
    const last = Math.floor((this.#topRow + this.#visible) / BLOCK_ROWS) + 1;
    const stale = new Map();
    for (let index = first; index <= last; index++) {
      const entry = this.#blockData(index);
      if (entry) stale.set(index, entry);
    }
    this.#stale = stale;
    this.#cache.clear();
    this.#fetchVisible();
    this.render();
  }

  // ---- typed edits shown at once -------------------------------------------
  // A typed byte is shown as soon as it is typed; the server stores it a
  // little later. Each local edit carries the server's version once stored;
  // rows fetched at that version or later have it already. A delete (kind
  // 'delete', no bytes) takes `cut` bytes out of the view the same way.

  addLocal(kind, at, bytes, cut = 0) {
    const entry = { kind, at, bytes: [...bytes], cut, version: Infinity };
    this.#local.push(entry);
    this.#localChanged();
    return entry;
  }

  extendLocal(entry, bytes) {
    entry.bytes.push(...bytes);
    this.#localChanged();
  }

  // The server stored it: rows of `version` or later include it.
  confirmLocal(entry, version) {
    entry.version = version;
    this.#pruneLocal();
  }

  dropLocal(entry) {
    this.#local = this.#local.filter((e) => e !== entry);
    this.#localChanged();
  }

  #localGrowth() {
    let n = 0;
    for (const e of this.#local) if (e.version === Infinity) n += e.kind === 'insert' ? e.bytes.length : -e.cut;
    return n;
  }

  #localChanged() {
    this.setSize(this.#serverSize);
    this.render();
  }

  // Local edits that every row held has already are no longer needed.
  #pruneLocal() {
    let oldest = Infinity;
    for (const m of [this.#cache, this.#stale])
      for (const entry of m.values()) if (!(entry instanceof Promise)) oldest = Math.min(oldest, entry.version);
    this.#local = this.#local.filter((e) => e.version === Infinity || e.version > oldest);
  }

  // The byte shown at `off`: a typed one not in the row data yet, or the
  // row data's byte (null while it is fetched).
  #shownByte(off) {
    const block = this.#blockData(Math.floor(off / BLOCK));
    const version = block ? block.version : -1;
    for (let i = this.#local.length - 1; i >= 0; i--) {
      const e = this.#local[i];
      if (version >= e.version) continue;
      if (off >= e.at && off < e.at + e.bytes.length) return { byte: e.bytes[off - e.at], typed: true };
      if (e.kind === 'insert' && off >= e.at + e.bytes.length) off -= e.bytes.length;
      if (e.kind === 'delete' && off >= e.at) off += e.cut;
    }
    const data = this.#rowData(Math.floor(off / ROW));
    if (!data) this.#block(Math.floor(off / BLOCK));
    return data ? { byte: data.bytes[off % ROW], ascii: data.ascii[off % ROW] } : null;
  }

  // The block's rows, or a promise of them (null on failure).
  #block(index) {
    if (!this.#cache.has(index)) this.#request(index, 1);
    return this.#cache.get(index);
  }

  // One page request for `count` blocks from `first`; each block's place in
  // the cache holds a promise of its rows until they come.
  #request(first, count) {
    const generation = this.#generation;
    const all = get('/api/page', { offset: first * BLOCK, rows: count * BLOCK_ROWS })
      .then((page) => {
        if (generation !== this.#generation) return null;
        const version = page.version ?? 0;
        const entries = [];
        for (let k = 0; k < count; k++) {
          const rows = page.rows.slice(k * BLOCK_ROWS, (k + 1) * BLOCK_ROWS).map(parseRow);
          const entry = { rows, version };
          this.#cache.set(first + k, entry);
          this.#stale.delete(first + k);
          entries.push(entry);
        }
        while (this.#cache.size > CACHE_BLOCKS) this.#cache.delete(this.#cache.keys().next().value);
        this.#pruneLocal();
        // A page asked for before an edit was stored may answer after it, with the size before it.
        if (page.size !== this.#serverSize && version >= this.#sizeVersion) this.#onSize(page.size, version);
        this.render();
        return entries;
      })
      .catch((e) => {
        if (generation === this.#generation) this.#onError(e);
        return null;
      });
    for (let k = 0; k < count; k++) {
      const p = all.then((entries) => {
        if (!entries && this.#cache.get(first + k) === p) this.#cache.delete(first + k);
        return entries ? entries[k] : null;
      });
      this.#cache.set(first + k, p);
    }
    return all;
  }

  #blockData(index) {
    const b = this.#cache.get(index);
    if (b && !(b instanceof Promise)) return b;
    return this.#stale.get(index) || null;
  }

  #rowData(row) {
    const b = this.#blockData(Math.floor(row / BLOCK_ROWS));
    return b ? b.rows[row % BLOCK_ROWS] || null : null;
  }

  // `n` bytes from `offset` (fewer at the end of the file), as shown, from
  // the cache or fetched.
  async bytesAt(offset, n) {
    const out = [];
    const end = Math.min(offset + n, this.#size);
    for (let off = offset; off < end; off++) {
      let shown = this.#shownByte(off);
      if (!shown) {
        if (!(await this.#block(Math.floor(off / BLOCK)))) return null;
        shown = this.#shownByte(off);
        if (!shown) return null;
      }
      out.push(shown.byte);
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

  // None of the rows in view are here yet (a jump far away): the rows
  // painted before stay a moment, so the view changes once, to the new rows,
  // rather than twice (empty rows first) when they come soon.
  #holding() {
    const last = Math.min(this.#topRow + this.#rowEls.length, this.totalRows) - 1;
    for (let row = this.#topRow; row <= last; row++) {
      if (row * ROW >= this.#serverSize || this.#rowData(row)) {
        this.#holdSince = null;
        return false;
      }
    }
    const now = performance.now();
    if (this.#holdSince === null) {
      this.#holdSince = now;
      setTimeout(() => this.render(), HOLD_MS);
    }
    if (now - this.#holdSince >= HOLD_MS) return false;
    this.#fetchVisible();
    return true;
  }

  // The view moved by fewer rows than it shows: the row elements whose rows
  // stay in view keep them (moved up or down as a whole), so a scroll writes
  // only the rows that come into view.
  #recycle(moved) {
    const els = this.#rowEls;
    const n = els.length;
    if (moved === 0 || Math.abs(moved) >= n) return;
    if (moved > 0) {
      const out = els.splice(0, moved);
      els.push(...out);
      this.#gridEl.append(...out.map((e) => e.row));
    } else {
      const out = els.splice(n + moved, -moved);
      els.unshift(...out);
      this.#gridEl.prepend(...out.map((e) => e.row));
    }
  }

  #paint() {
    if (this.#holding()) return;
    this.#recycle(this.#topRow - this.#paintedTop);
    this.#paintedTop = this.#topRow;
    const [selStart, selEnd] = this.selection();
    let missing = false;
    for (let r = 0; r < this.#rowEls.length; r++) {
      const el = this.#rowEls[r];
      const row = this.#topRow + r;
      if (row >= this.totalRows) {
        el.row.hidden = true;
        continue;
      }
      el.row.hidden = false;
      setText(el.off, formatOffset(row * ROW, this.#size));
      const loading = this.#paintRow(el, row * ROW, selStart, selEnd);
      if (loading) {
        missing = true;
        this.#fetchVisible();
      }
      el.row.classList.toggle('loading', loading);
    }
    if (!missing && this.#paintWaiters.length) {
      const waiters = this.#paintWaiters;
      this.#paintWaiters = [];
      afterFrame(() => waiters.forEach((w) => w()));
    }
  }

  // Paints the row from `base` as runs (see paintRuns); true while some of
  // its bytes are still on their way.
  #paintRow(el, base, selStart, selEnd) {
    const hexRuns = [];
    const txtRuns = [];
    let loading = false;
    for (let i = 0; i < ROW; i++) {
      const off = base + i;
      const inFile = off < this.#size;
      const shown = inFile ? this.#shownByte(off) : null;
      if (inFile && !shown) loading = true;
      const v = shown ? shown.byte : null;
      const isCur = off === this.#cursor && (inFile || off === this.lastCursor);
      let text = v === null ? (inFile ? '··' : '  ') : v.toString(16).padStart(2, '0');
      if (isCur && this.#pending !== null) text = this.#pending + '·';
      const char = v === null ? ' ' : shown.ascii ?? (v >= 0x20 && v < 0x7f ? String.fromCharCode(v) : '.');
      const marks = inFile ? this.#classesAt(off, selStart, selEnd) : '';
      let hexMarks = marks;
      let txtMarks = marks;
      if (isCur) {
        const end = inFile ? '' : ' end';
        hexMarks += (this.#column === 'hex' ? ' cur active' : ' cur') + end;
        txtMarks += (this.#column === 'text' ? ' cur active' : ' cur') + end;
      }
      const zero = v === 0 ? 'zero' : '';
      const gap = i === 7 ? '  ' : ' ';
      if (hexMarks) {
        addRun(hexRuns, `b${hexMarks}${zero && ' zero'}`, text, true);
        addRun(hexRuns, '', gap);
      } else {
        addRun(hexRuns, zero, text + gap);
      }
      addRun(txtRuns, txtMarks && `t${txtMarks}`, char, !!txtMarks);
    }
    paintRuns(el.hex, hexRuns);
    paintRuns(el.txt, txtRuns);
    return loading;
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

  // The selected bytes, first and last; the cursor's place when none. The
  // anchor may be the place after the last byte (a drag or Shift+arrow from
  // there), which is no byte: the selection ends at the last byte.
  selection() {
    if (this.#anchor === null) return [this.#cursor, this.#cursor];
    return [Math.min(this.#anchor, this.#cursor), Math.min(Math.max(this.#anchor, this.#cursor), this.lastOffset)];
  }
  hasSelection() { return this.#anchor !== null && this.#anchor !== this.#cursor; }

  // Every byte of the file.
  selectAll() {
    if (!this.#size) return;
    this.#anchor = 0;
    this.#dropPending();
    this.#cursor = this.lastOffset;
    this.#scrollTo(this.#cursor);
    this.#onCursor();
  }

  clearSelection() {
    this.#anchor = null;
    this.render();
  }

  // Where typing goes: the hex or the text column.
  setColumn(column) {
    this.#column = column;
    this.#dropPending();
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

  // A half-typed hex digit is dropped when the cursor leaves its byte: say so.
  #dropPending() {
    if (this.#pending === null) return;
    this.#onNotice(`the half-typed byte "${this.#pending}" was dropped (type two hex digits per byte)`);
    this.#pending = null;
  }

  #scrollTo(offset) {
    const row = Math.floor(offset / ROW);
    if (row < this.#topRow) this.#setTop(row);
    else if (row >= this.#topRow + this.#visible) this.#setTop(row - this.#visible + 1);
    else this.render();
  }

  moveTo(offset, extend = false) {
    offset = Math.min(Math.max(0, offset), extend ? this.lastOffset : this.lastCursor);
    if (extend && this.#anchor === null) this.#anchor = this.#cursor;
    if (!extend) this.#anchor = null;
    if (offset !== this.#cursor) this.#dropPending();
    this.#cursor = offset;
    this.#scrollTo(offset);
    this.#onCursor();
  }

  // Puts `offset` in view (a few rows below the top when it was far away),
  // selects `length` bytes from it, and resolves when painted.
  jump(offset, length = 0) {
    offset = Math.min(Math.max(0, offset), this.lastCursor);
    const row = Math.floor(offset / ROW);
    if (row < this.#topRow || row >= this.#topRow + this.#visible) this.#setTop(row - Math.min(4, Math.floor(this.#visible / 3)));
    this.#anchor = length > 1 ? Math.min(offset + length - 1, this.lastOffset) : null;
    if (offset !== this.#cursor) this.#dropPending();
    this.#cursor = offset;
    this.render();
    this.#onCursor();
    return this.painted();
  }

  // ---- input -------------------------------------------------------------

  #bindEvents() {
    this.#scroller.addEventListener('scroll', () => this.#onScroll());
    this.#scroller.addEventListener('mousedown', (e) => { this.#scrollGesture = this.#scrollPart(e); });
    window.addEventListener('mouseup', () => { this.#scrollGesture = null; });
    // The scroll bar is a mouse control only: keys stay with the grid.
    this.#scroller.tabIndex = -1;
    this.#scroller.addEventListener('focus', () => this.focus());
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
    this.#gridEl.addEventListener('mousedown', (e) => {
      const c = this.#cellAt(e);
      if (!c || c.off > this.lastCursor) return;
      e.preventDefault();
      this.#gridEl.focus();
      this.#column = c.col;
      this.moveTo(c.off, e.shiftKey);
      if (!e.shiftKey) this.#anchor = this.#cursor;
      dragging = true;
    });
    this.#gridEl.addEventListener('mousemove', (e) => {
      if (!dragging) return;
      const c = this.#cellAt(e);
      // Past the last byte (its row's rest, the place to append at) the
      // selection reaches the last byte.
      const off = c ? Math.min(c.off, this.lastOffset) : this.#cursor;
      if (off !== this.#cursor) this.moveTo(off, true);
    });
    window.addEventListener('mouseup', () => {
      dragging = false;
      if (this.#anchor === this.#cursor) this.#anchor = null;
    });
    this.#gridEl.addEventListener('keydown', (e) => this.#keydown(e));
  }

  // The byte under the mouse. Most bytes are not elements of their own (see
  // paintRuns), so it is found from the place along the row: the columns are
  // monospace, the hex column HEX_CHARS wide and the text column TEXT_INDENT
  // in from its left (as the style sheet has them).
  #cellAt(e) {
    const row = e.target.closest ? e.target.closest('.hrow') : null;
    const r = this.#rowEls.findIndex((el) => el.row === row);
    if (r < 0) return null;
    const { hex, txt } = this.#rowEls[r];
    const hexBox = hex.el.getBoundingClientRect();
    const ch = hexBox.width / HEX_CHARS;
    const base = (this.#paintedTop + r) * ROW;
    const inHex = (e.clientX - hexBox.left) / ch;
    if (inHex >= 0 && inHex < HEX_CHARS) {
      // Bytes 0-7 take 3 characters each (byte 7 a fourth, the gap), 8-15 three from 25 on.
      const i = inHex < 25 ? Math.min(7, Math.floor(inHex / 3)) : Math.min(ROW - 1, 8 + Math.floor((inHex - 25) / 3));
      return { off: base + i, col: 'hex' };
    }
    const inText = (e.clientX - txt.el.getBoundingClientRect().left) / ch - TEXT_INDENT;
    if (inText >= 0 && inText < ROW) return { off: base + Math.floor(inText), col: 'text' };
    return null;
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
      End: () => (e.ctrlKey ? this.lastCursor : this.#cursor - (this.#cursor % ROW) + ROW - 1),
    };
    if ((e.ctrlKey || e.metaKey) && !e.altKey && e.key.toLowerCase() === 'a') {
      e.preventDefault();
      this.selectAll();
      return;
    }
    if (moves[e.key] && !e.altKey && !e.metaKey) {
      e.preventDefault();
      const target = moves[e.key]();
      // Paging keeps the cursor's place on the screen.
      if (e.key === 'PageUp' || e.key === 'PageDown') this.#setTop(this.#topRow + (e.key === 'PageUp' ? -this.#visible : this.#visible));
      this.moveTo(target, ext);
      return;
    }
    // Tab and Shift+Tab switch columns, from either one (as the help says);
    // Ctrl+G and Ctrl+F take the keys out of the grid.
    if (e.key === 'Tab' && !e.ctrlKey && !e.altKey && !e.metaKey) {
      e.preventDefault();
      this.setColumn(this.#column === 'hex' ? 'text' : 'hex');
      return;
    }
    if (e.key === 'Escape') {
      this.#dropPending();
      this.#anchor = null;
      this.render();
      this.#onCursor();
      return;
    }
    if (this.#onKey(e)) e.preventDefault();
  }
}
