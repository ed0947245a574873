// Bookmarks: named ranges of the open file, kept in this browser's
// localStorage under the file's path, so they come back on a reload or the
// next session on the same file. A click selects the range. Each bookmark
// keeps the file's size when it was made; the list says when it differs.
// They are kept in the offsets of the file as saved: the staged edits move
// them where their bytes are now (as search hits), and a save keeps them there.
import { mapSpans, savedPlace } from './edits.js';
import { el, formatOffset } from './util.js';

const KEY = 'hexview-bookmarks:';

export class BookmarksPanel {
  // `elements`: form, name (input), range (what the form would mark), list, summary.
  // `staged()`: the staged edits, as the server lists them.
  constructor({ elements, grid, path, staged, showError }) {
    Object.assign(this, elements, { grid, staged, showError });
    this.path = path;
    this.items = this.#load();
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.add(this.name.value);
    });
    this.render();
  }

  #load() {
    try {
      const items = JSON.parse(localStorage.getItem(KEY + this.path) || '[]');
      return Array.isArray(items) ? items.filter((b) => Number.isSafeInteger(b.offset) && Number.isSafeInteger(b.length)) : [];
    } catch (e) {
      return [];
    }
  }

  #store() {
    try {
      localStorage.setItem(KEY + this.path, JSON.stringify(this.items));
    } catch (e) {
      this.showError(new Error(`the bookmarks cannot be kept in this browser: ${e.message}`));
    }
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
      const edited = changed ? '; a staged edit changed these bytes' : '';
      const go = el('button', { type: 'button', class: 'go', title: `Select ${length.toLocaleString('en')} bytes${other}${edited}`, onclick: () => this.jump(i) },
        el('span', { class: 'off', text: formatOffset(offset, size) }),
        el('span', { class: 'ctx', text: b.name }),
        el('span', { class: 'muted', text: `${length.toLocaleString('en')} B` }));
      const drop = el('button', { type: 'button', class: 'ghost drop', title: `Delete "${b.name}"`, 'aria-label': `Delete bookmark ${b.name}`,
        onclick: () => this.remove(i), text: '✕' });
      return el('li', changed ? { class: 'changed' } : {}, go, drop);
    }));
    this.summary.textContent = this.items.length
      ? `${this.items.length} bookmark${this.items.length === 1 ? '' : 's'}, kept in this browser for this file`
      : 'No bookmarks yet: select bytes, name them and press Add (Ctrl+D).';
  }
}
