// Bookmarks: named ranges of the open file, kept in this browser's
// localStorage under the file's path, so they come back on a reload or the
// next session on the same file. A click selects the range. Each bookmark
// keeps the file's size when it was made; the list says when it differs.
import { el, formatOffset } from './util.js';

const KEY = 'hexview-bookmarks:';

export class BookmarksPanel {
  // `elements`: form, name (input), range (what the form would mark), list, summary.
  constructor({ elements, grid, path, showError }) {
    Object.assign(this, elements, { grid, showError });
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

  // After a save as the editor goes on with the new file: its bookmarks go along.
  setPath(path) {
    this.path = path;
    this.#store();
  }

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
    this.items.push({ name: label, offset, length, size: this.grid.size });
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
    if (b.offset >= this.grid.size) return this.showError(new Error(`"${b.name}" lies past the end of the file now`));
    this.grid.focus();
    return this.grid.jump(b.offset, b.length);
  }

  // Focuses the name field (Ctrl+D).
  focusName() {
    this.showRange();
    this.name.focus();
  }

  render() {
    const size = this.grid.size;
    this.list.replaceChildren(...this.items.map((b, i) => {
      const other = b.size !== undefined && b.size !== size ? ` (made when the file had ${b.size.toLocaleString('en')} bytes)` : '';
      const go = el('button', { type: 'button', class: 'go', title: `Select ${b.length.toLocaleString('en')} bytes${other}`, onclick: () => this.jump(i) },
        el('span', { class: 'off', text: formatOffset(b.offset, size) }),
        el('span', { class: 'ctx', text: b.name }),
        el('span', { class: 'muted', text: `${b.length.toLocaleString('en')} B` }));
      const drop = el('button', { type: 'button', class: 'ghost drop', title: `Delete "${b.name}"`, 'aria-label': `Delete bookmark ${b.name}`,
        onclick: () => this.remove(i), text: '✕' });
      return el('li', {}, go, drop);
    }));
    this.summary.textContent = this.items.length
      ? `${this.items.length} bookmark${this.items.length === 1 ? '' : 's'}, kept in this browser for this file`
      : 'No bookmarks yet: select bytes, name them and press Add (Ctrl+D).';
  }
}
