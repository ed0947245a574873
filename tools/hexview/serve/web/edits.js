// Editing: staging through the server, the staged list, the edited bytes
// marked in the grid, undo and redo (the server discards and stages the list
// again), discard, save in place after a confirmation, and save as.
import { get, post } from './api.js';
import { el, inRanges } from './util.js';

// Sorted, merged [start, end) ranges.
function addRange(ranges, s, e) {
  if (e <= s) return ranges;
  const all = [...ranges, [s, e]].sort((a, b) => a[0] - b[0]);
  const out = [];
  for (const r of all) {
    const last = out[out.length - 1];
    if (last && r[0] <= last[1]) last[1] = Math.max(last[1], r[1]);
    else out.push([r[0], r[1]]);
  }
  return out;
}

// Bytes inserted at `at` move everything from there on.
function shiftRanges(ranges, at, n) {
  const out = [];
  for (const [s, e] of ranges) {
    if (s >= at) out.push([s + n, e + n]);
    else if (e > at) out.push([s, at], [at + n, e + n]);
    else out.push([s, e]);
  }
  return out;
}

// Bytes deleted at `at` take their marks with them and pull the rest back.
function cutRanges(ranges, at, n) {
  const out = [];
  for (const [s, e] of ranges) {
    if (s < at) out.push([s, Math.min(e, at)]);
    if (e > at + n) out.push([Math.max(s, at + n) - n, e - n]);
  }
  return addRange(out, 0, 0);
}

// Where the staged edits put changed bytes, in the edited content's offsets.
export function editedRanges(staged) {
  let ranges = [];
  for (const e of staged) {
    const at = parseInt(e.offset, 16);
    if (e.op === 'write') ranges = addRange(ranges, at, at + e.len);
    else if (e.op === 'insert') ranges = addRange(shiftRanges(ranges, at, e.len), at, at + e.len);
    else ranges = cutRanges(ranges, at, e.len);
  }
  return ranges;
}

// A modal question in the page (never the browser's own dialogs).
export function ask(title, parts, okLabel) {
  const dialog = document.getElementById('confirm-dialog');
  document.getElementById('confirm-title').textContent = title;
  document.getElementById('confirm-text').replaceChildren(...parts);
  document.getElementById('confirm-ok').textContent = okLabel;
  dialog.returnValue = 'cancel';
  dialog.showModal();
  document.getElementById('confirm-cancel').focus();
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
  });
}

export class EditsPanel {
  constructor({ grid, showError, onChange, path, writable }) {
    Object.assign(this, { grid, showError, onChange, path, writable });
    this.staged = [];
    this.ranges = [];
    this.undoCount = 0;
    this.redoCount = 0;
    this.list = document.getElementById('staged-list');
    this.summary = document.getElementById('edits-summary');
    this.countEl = document.getElementById('edit-count');
    this.undoBtn = document.getElementById('undo-btn');
    this.redoBtn = document.getElementById('redo-btn');
    this.saveBtn = document.getElementById('save-btn');
    this.savedNote = document.getElementById('saved-note');
    this.insertForm = document.getElementById('insert-form');
    this.insertInput = document.getElementById('insert-input');
    this.undoBtn.addEventListener('click', () => this.undo());
    this.redoBtn.addEventListener('click', () => this.redo());
    this.saveBtn.addEventListener('click', () => this.save());
    document.getElementById('discard-btn').addEventListener('click', () => this.discard());
    document.getElementById('delete-btn').addEventListener('click', () => this.deleteAtCursor(false));
    document.getElementById('insert-btn').addEventListener('click', () => this.openInsert());
    document.getElementById('insert-cancel').addEventListener('click', () => {
      this.insertForm.hidden = true;
      this.grid.gridEl.focus();
    });
    this.insertForm.addEventListener('submit', (e) => {
      e.preventDefault();
      this.insert(this.grid.selection()[0], this.insertInput.value).then((ok) => {
        if (!ok) return;
        this.insertForm.hidden = true;
        this.grid.gridEl.focus();
      });
    });
    document.getElementById('saveas-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.saveAs(document.getElementById('saveas-input').value.trim());
    });
    if (!writable) {
      for (const id of ['edit-actions', 'insert-btn', 'delete-btn', 'discard-btn']) document.getElementById(id).hidden = true;
    }
  }

  // The server's answer to every edit call: the engine's list and the size.
  apply(state) {
    this.staged = state.staged;
    this.ranges = editedRanges(state.staged);
    this.undoCount = state.undo;
    this.redoCount = state.redo;
    this.grid.edited = this.staged.length > 0;
    this.renderList();
    this.onChange(state.size);
  }

  async refresh() {
    try {
      this.apply(await get('/api/staged'));
    } catch (e) {
      this.showError(e);
    }
  }

  async run(path, body) {
    try {
      this.apply(await post(path, body));
      return true;
    } catch (e) {
      this.showError(e);
      return false;
    }
  }

  write(offset, bytes) {
    return this.run('/api/write', { offset, hex: bytes.map((b) => b.toString(16).padStart(2, '0')).join(' ') });
  }
  insert(offset, hexText) { return this.run('/api/insert', { offset, hex: hexText }); }
  remove(offset, length) { return this.run('/api/delete', { offset, length }); }
  undo() { return this.run('/api/undo', {}); }
  redo() { return this.run('/api/redo', {}); }

  async discard() {
    if (this.staged.length && !(await ask('Discard all edits?', [`Drop all ${this.staged.length} staged edits. The file itself has not been changed.`], 'Discard'))) return;
    this.run('/api/discard', {});
  }

  // Delete the selection, or the byte at the cursor (before it for Backspace).
  async deleteAtCursor(before) {
    const [s, e] = this.grid.selection();
    if (this.grid.hasSelection()) {
      if (await this.remove(s, e - s + 1)) this.grid.moveTo(s);
    } else if (before) {
      if (this.grid.cursor > 0 && (await this.remove(this.grid.cursor - 1, 1))) this.grid.moveTo(this.grid.cursor - 1);
    } else if (this.grid.size > 0) {
      await this.remove(this.grid.cursor, 1);
    }
  }

  openInsert() {
    if (!this.writable) return;
    this.insertForm.hidden = false;
    this.insertInput.focus();
    this.insertInput.select();
  }

  async save() {
    if (!this.staged.length) {
      this.showError(new Error('nothing to save: no edits are staged'));
      return;
    }
    const n = this.staged.length;
    const ok = await ask('Save in place?', [
      `Write ${n} staged edit${n === 1 ? '' : 's'} into `, el('code', { text: this.path }),
      '? The file is replaced by the edited copy; this cannot be undone.'], 'Save');
    if (!ok) return;
    if (await this.run('/api/save', { confirm: this.path })) this.note(`Saved ${this.path}`);
  }

  async saveAs(path, overwrite = false) {
    if (!path) {
      this.showError(new Error('type a path to save to'));
      return;
    }
    try {
      const state = await post('/api/save-as', { path, overwrite });
      this.apply(state);
      this.note(`Saved a copy as ${state.saved}`);
    } catch (e) {
      if (e.status === 409 && !overwrite) {
        const ok = await ask('Replace the file?', [e.message.replace(/^the file exists: /, ''), ' exists. Replace it with the edited content?'], 'Replace');
        if (ok) this.saveAs(path, true);
        return;
      }
      this.showError(e);
    }
  }

  note(text) {
    this.savedNote.textContent = text;
  }

  renderList() {
    const n = this.staged.length;
    this.countEl.textContent = n ? String(n) : '';
    this.undoBtn.disabled = !this.undoCount;
    this.redoBtn.disabled = !this.redoCount;
    this.saveBtn.disabled = !n;
    this.undoBtn.textContent = this.undoCount ? `Undo (${this.undoCount})` : 'Undo';
    this.redoBtn.textContent = this.redoCount ? `Redo (${this.redoCount})` : 'Redo';
    this.summary.textContent = n
      ? `${n} staged edit${n === 1 ? '' : 's'} (at most 1000), not saved yet${this.redoCount ? `; ${this.redoCount} to redo` : ''}`
      : this.writable ? 'No staged edits. Type over bytes in the grid, or use Insert and Delete.' : 'The file is open read-only.';
    this.list.replaceChildren(...this.staged.map((e) => el('li', {},
      el('span', { class: 'op', text: e.op }),
      el('span', { class: 'off', text: e.offset }),
      el('span', { class: 'bytes', text: e.op === 'delete' ? `${e.len} byte${e.len === 1 ? '' : 's'}` : `${e.len}: ${e.bytes}${e.len > 64 ? '…' : ''}` }))));
  }

  markAt(off) { return inRanges(this.ranges, off) >= 0; }
}
