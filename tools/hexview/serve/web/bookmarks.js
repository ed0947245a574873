// Bookmarks: named ranges of the open file, kept by the server in the user's
// data folder under the file's path, so they come back on a reload and in
// every later run of the server, whatever its port. A click selects the range.
// Each bookmark keeps the file's size when it was made; the list says when it
// differs, and marks those the server found made on another state of the file
// (replaced or resized since the list was kept).
// They are kept in the offsets of the file as saved: the staged edits move
// them where their bytes are now (as search hits), and a save keeps them there.
import { get, post } from './api.js';
import { mapSpans, savedPlace } from './edits.js';
import { el, formatOffset } from './util.js';

// Where this browser kept them before the server did (by origin, so by the
// server's port): taken over once when the server keeps none for the file.
const OLD_KEY = 'hexview-bookmarks:';
// A request that outlives the page may carry 64 KiB at most.
const KEEPALIVE_BYTES = 60000;

export class BookmarksPanel {
  // `elements`: form, name (input), range (what the form would mark), list, summary.
  // `staged()`: the staged edits, as the server lists them.
  constructor({ elements, grid, path, staged, showError }) {
    Object.assign(this, elements, { grid, staged, showError });
    this.path = path;
    this.items = [];
    this.loading = true;
    this.sending = null;  // the list on its way to the server
    this.dirty = false;   // changed since the last list sent
    this.problem = '';    // why the list could not be read or kept
    this.why = '';        // how the file changed since the list was kept
    this.loaded = this.#load();
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.add(this.name.value);
    });
    this.render();
  }

  // Reads the list again (another tab may have changed it), unless one is on its way.
  reload() {
    if (!this.sending && !this.loading) this.loaded = this.#load();
  }

  async #load() {
    this.loading = true;
    try {
      const kept = await get('/api/bookmarks');
      this.items = kept.bookmarks;
      this.why = kept.why || '';
      this.problem = '';
      if (!kept.kept) await this.#takeOver();
      else this.#dropOld();
    } catch (e) {
      this.problem = e.message;
      this.showError(e);
    }
    this.loading = false;
    this.render();
  }

  // What this browser kept before, for this path, goes to the server once.
  async #takeOver() {
    let old = null;
    try {
      old = JSON.parse(localStorage.getItem(OLD_KEY + this.path) || 'null');
    } catch (e) {
      return;
    }
    if (!Array.isArray(old)) return;
    this.items = old.filter((b) => b && typeof b.name === 'string' && Number.isSafeInteger(b.offset) && Number.isSafeInteger(b.length))
      .map(({ name, offset, length, size }) => ({ name, offset, length, size }));
    if (await this.#store()) this.#dropOld();
  }

  #dropOld() {
    try {
      localStorage.removeItem(OLD_KEY + this.path);
    } catch (e) {
      // storage this page may not use holds nothing of ours
    }
  }

  // Sends the whole list; changes made while one is on its way go in the
  // next. Resolves true when the server kept the last one.
  #store() {
    this.dirty = true;
    if (!this.sending) this.sending = this.#send();
    this.render();
    return this.sending;
  }

  async #send() {
    let kept = false;
    while (this.dirty) {
      this.dirty = false;
      const bookmarks = this.items.map(({ name, offset, length, size, stale }) => ({ name, offset, length, size, stale: Boolean(stale) }));
      const body = { path: this.path, bookmarks };
      try {
        await post('/api/bookmarks', body, { keepalive: JSON.stringify(body).length < KEEPALIVE_BYTES });
        this.problem = '';
        kept = true;
      } catch (e) {
        this.problem = e.message;
        kept = false;
        this.showError(e);
      }
    }
    this.sending = null;
    this.render();
    return kept;
  }

  // A save wrote the edits `staged` into `path` (the open file, or a save
  // as's copy, which the editor goes on with): the bookmarks go where those
  // edits put them, kept under that path.
  saved(staged, path) {
    this.items = this.#mapped(staged).map((m, i) => ({ ...this.items[i], offset: m.offset, length: m.length, size: this.grid.size }));
    this.path = path;
    this.#store();
    this.render();
  }

  // Each bookmark where the staged edits put it now: {offset, length, changed}.
  #mapped(staged = this.staged()) {
    return mapSpans(staged, this.items.map((b) => [b.offset, b.length]));
  }

  // The size of the file as saved.
  #savedSize() { return savedPlace(this.staged(), this.grid.size, true); }

  // The selection (or the byte at the cursor), as the form would mark it.
  #range() {
    const [s, e] = this.grid.selection();
    return [s, Math.min(e, this.grid.lastOffset) - s + 1];
  }

  // Shows what a new bookmark would mark; called when the cursor moves.
  showRange() {
    if (!this.grid.size) {
      this.range.textContent = 'the file is empty';
      return;
    }
    const [offset, length] = this.#range();
    this.range.textContent = `${formatOffset(offset, this.grid.size)}, ${length.toLocaleString('en')} byte${length === 1 ? '' : 's'}`;
  }

  // Names the selection (or the cursor's byte); an empty name gets a number.
  add(name) {
    if (this.loading) return this.showError(new Error('the bookmarks are still being read: try again in a moment'));
    if (!this.grid.size) return this.showError(new Error('nothing to bookmark: the file is empty'));
    const [offset, length] = this.#range();
    const label = name.trim() || `bookmark ${this.items.length + 1}`;
    const staged = this.staged();
    const first = savedPlace(staged, offset, false);
    const end = Math.max(first, savedPlace(staged, offset + length, true));
    this.items.push({ name: label, offset: first, length: end - first, size: this.#savedSize() });
    this.items.sort((a, b) => a.offset - b.offset || a.length - b.length);
    this.#store();
    this.name.value = '';
    this.render();
  }

  remove(index) {
    this.items.splice(index, 1);
    this.#store();
    this.render();
  }

  jump(index) {
    const b = this.items[index];
    const { offset, length } = this.#mapped()[index];
    if (offset >= this.grid.size) return this.showError(new Error(`"${b.name}" lies past the end of the file now`));
    this.grid.focus();
    return this.grid.jump(offset, length);
  }

  // Focuses the name field (Ctrl+D).
  focusName() {
    this.showRange();
    this.name.focus();
  }

  render() {
    const size = this.grid.size;
    const saved = this.#savedSize();
    const mapped = this.#mapped();
    this.list.replaceChildren(...this.items.map((b, i) => {
      const { offset, length, changed } = mapped[i];
      const other = b.size !== undefined && b.size !== saved ? ` (made when the file had ${b.size.toLocaleString('en')} bytes)` : '';
      const stale = b.stale ? '; made on another state of the file' : '';
      const edited = changed ? '; a staged edit changed these bytes' : '';
      const go = el('button', { type: 'button', class: 'go', title: `Select ${length.toLocaleString('en')} bytes${other}${stale}${edited}`, onclick: () => this.jump(i) },
        el('span', { class: 'off', text: formatOffset(offset, size) }),
        el('span', { class: 'ctx', text: b.name }),
        el('span', { class: 'muted', text: `${length.toLocaleString('en')} B` }));
      const drop = el('button', { type: 'button', class: 'ghost drop', title: `Delete "${b.name}"`, 'aria-label': `Delete bookmark ${b.name}`,
        onclick: () => this.remove(i), text: '✕' });
      const classes = [changed && 'changed', b.stale && 'stale'].filter(Boolean).join(' ');
      return el('li', classes ? { class: classes } : {}, go, drop);
    }));
    this.summary.textContent = this.#summary();
  }

  #summary() {
    const n = this.items.length;
    if (this.loading) return 'Reading the bookmarks…';
    if (!n && this.problem) return `No bookmarks: ${this.problem}`;
    if (!n && !this.sending) return 'No bookmarks yet: select bytes, name them and press Add (Ctrl+D).';
    const where = this.sending ? 'keeping them…' : this.problem ? `not kept: ${this.problem}` : 'kept by hexview serve for this file';
    const stale = this.items.filter((b) => b.stale).length;
    const changed = stale ? `; ${stale === n ? 'all' : stale} made on another state of the file${this.why ? ` (${this.why})` : ''}: check ${stale === 1 ? 'it' : 'them'} before use` : '';
    return `${n} bookmark${n === 1 ? '' : 's'}, ${where}${changed}`;
  }
}
