// Editing: staging through the server, the staged list, the edited bytes
// marked in the grid, undo and redo (the server discards and stages the list
// again), discard, save in place after a confirmation, and save as. Every
// one of these goes through one queue, whether a key or a button asked.
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

// A modal question in the page (never the browser's own dialogs), asked in
// the dialog whose parts are passed in.
export function makeAsk({ dialog, title, text, ok, cancel }) {
  return (heading, parts, okLabel) => {
    title.textContent = heading;
    text.replaceChildren(...parts);
    ok.textContent = okLabel;
    dialog.returnValue = 'cancel';
    dialog.showModal();
    cancel.focus();
    return new Promise((resolve) => {
      dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    });
  };
}

// Edit actions run one after another in the order they were asked for: an
// Undo clicked while typed bytes are still on their way undoes the last of
// them, not an edit from before.
class EditQueue {
  #tail = Promise.resolve();
  #waiting = 0;

  // Runs `action` after every action pushed before it; resolves to its result.
  push(action) {
    this.#waiting++;
    const run = this.#tail.then(action).finally(() => { this.#waiting--; });
    this.#tail = run.catch(() => {});
    return run;
  }

  // Actions pushed and not finished yet.
  get waiting() { return this.#waiting; }
}

const hexOf = (bytes) => bytes.map((b) => b.toString(16).padStart(2, '0')).join(' ');

export class EditsPanel {
  #queue = new EditQueue();

  // `elements`: the panel's parts in the page; `limits`: the engine's, from the server.
  constructor({ elements, grid, ask, showError, onChange, path, writable, limits }) {
    Object.assign(this, { grid, ask, showError, onChange, path, writable, limits });
    this.staged = [];
    this.ranges = [];
    this.undoCount = 0;
    this.redoCount = 0;
    this.els = elements;
    const els = elements;
    els.undo.addEventListener('click', () => this.undo());
    els.redo.addEventListener('click', () => this.redo());
    els.save.addEventListener('click', () => this.save());
    els.discard.addEventListener('click', () => this.discard());
    els.delete.addEventListener('click', () => this.deleteAtCursor(false));
    els.insert.addEventListener('click', () => this.openInsert());
    els.insertCancel.addEventListener('click', () => {
      els.insertForm.hidden = true;
      this.grid.focus();
    });
    els.insertForm.addEventListener('submit', (e) => {
      e.preventDefault();
      this.insertFromForm(els.insertInput.value);
    });
    els.saveAsForm.addEventListener('submit', (e) => {
      e.preventDefault();
      this.saveAs(els.saveAsInput.value.trim());
    });
    if (!writable) for (const part of els.writeOnly) part.hidden = true;
  }

  // Edit actions asked for and not finished yet.
  get waiting() { return this.#queue.waiting; }
  get edited() { return this.staged.length > 0; }

  // ---- the actions: each waits for the ones asked for before it -----------

  refresh() { return this.#queue.push(() => this.#refresh()); }
  write(offset, bytes) { return this.#queue.push(() => this.#run('/api/write', { offset, hex: hexOf(bytes) })); }
  undo() { return this.#queue.push(() => this.#run('/api/undo', {})); }
  redo() { return this.#queue.push(() => this.#run('/api/redo', {})); }
  discard() { return this.#queue.push(() => this.#discard()); }
  save() { return this.#queue.push(() => this.#save()); }
  saveAs(path) { return this.#queue.push(() => this.#saveAs(path)); }

  // Inserts at the cursor and steps past the bytes. The place is read when
  // the action's turn comes, after the inserts before it moved the cursor,
  // so quick typing inserts in order.
  insertAtCursor(bytes) {
    return this.#queue.push(async () => {
      const at = this.grid.cursor;
      if (await this.#run('/api/insert', { offset: at, hex: hexOf(bytes) })) this.grid.moveTo(at + bytes.length);
    });
  }

  // The Insert form: its bytes before the selection (or the cursor).
  insertFromForm(hexText) {
    return this.#queue.push(async () => {
      if (!(await this.#run('/api/insert', { offset: this.grid.selection()[0], hex: hexText }))) return;
      this.els.insertForm.hidden = true;
      this.grid.focus();
    });
  }

  // Delete the selection, or the byte at the cursor (before it for Backspace).
  deleteAtCursor(before) { return this.#queue.push(() => this.#deleteAtCursor(before)); }

  openInsert() {
    if (!this.writable) return;
    this.els.insertForm.hidden = false;
    this.els.insertInput.focus();
    this.els.insertInput.select();
  }

  // ---- their work, run in the queue's turn --------------------------------

  // The server's answer to every edit call: the engine's list and the size.
  #apply(state) {
    this.staged = state.staged;
    this.ranges = editedRanges(state.staged);
    this.undoCount = state.undo;
    this.redoCount = state.redo;
    this.#renderList();
    this.onChange(state.size);
  }

  async #refresh() {
    try {
      this.#apply(await get('/api/staged'));
    } catch (e) {
      this.showError(e);
    }
  }

  async #run(path, body) {
    try {
      this.#apply(await post(path, body));
      return true;
    } catch (e) {
      this.showError(e);
      return false;
    }
  }

  async #discard() {
    const n = this.staged.length;
    if (n && !(await this.ask('Discard all edits?', [`Drop all ${n} staged edits. The file itself has not been changed.`], 'Discard'))) return;
    await this.#run('/api/discard', {});
  }

  async #deleteAtCursor(before) {
    const grid = this.grid;
    const [s, e] = grid.selection();
    if (grid.hasSelection()) {
      if (await this.#run('/api/delete', { offset: s, length: e - s + 1 })) grid.moveTo(s);
    } else if (before) {
      const at = grid.cursor - 1;
      if (at >= 0 && (await this.#run('/api/delete', { offset: at, length: 1 }))) grid.moveTo(at);
    } else if (grid.size > 0) {
      await this.#run('/api/delete', { offset: grid.cursor, length: 1 });
    }
  }

  async #save() {
    if (!this.staged.length) {
      this.showError(new Error('nothing to save: no edits are staged'));
      return;
    }
    const n = this.staged.length;
    const ok = await this.ask('Save in place?', [
      `Write ${n} staged edit${n === 1 ? '' : 's'} into `, el('code', { text: this.path }),
      '? The file is replaced by the edited copy; this cannot be undone.'], 'Save');
    if (!ok) return;
    if (await this.#run('/api/save', { confirm: this.path })) this.#note(`Saved ${this.path}`);
  }

  async #saveAs(path, overwrite = false) {
    if (!path) {
      this.showError(new Error('type a path to save to'));
      return;
    }
    try {
      const state = await post('/api/save-as', { path, overwrite });
      this.#apply(state);
      this.#note(`Saved a copy as ${state.saved}`);
    } catch (e) {
      if (e.status === 409 && !overwrite) {
        const ok = await this.ask('Replace the file?', [e.message.replace(/^the file exists: /, ''), ' exists. Replace it with the edited content?'], 'Replace');
        if (ok) await this.#saveAs(path, true);
        return;
      }
      this.showError(e);
    }
  }

  #note(text) {
    this.els.savedNote.textContent = text;
  }

  #renderList() {
    const els = this.els;
    const n = this.staged.length;
    els.count.textContent = n ? String(n) : '';
    els.undo.disabled = !this.undoCount;
    els.redo.disabled = !this.redoCount;
    els.save.disabled = !n;
    els.undo.textContent = this.undoCount ? `Undo (${this.undoCount})` : 'Undo';
    els.redo.textContent = this.redoCount ? `Redo (${this.redoCount})` : 'Redo';
    els.summary.textContent = n
      ? `${n} staged edit${n === 1 ? '' : 's'} (at most ${this.limits.max_edits}), not saved yet${this.redoCount ? `; ${this.redoCount} to redo` : ''}`
      : this.writable ? 'No staged edits. Type over bytes in the grid, or use Insert and Delete.' : 'The file is open read-only.';
    // The server lists the first bytes of a long edit: an ellipsis says so.
    els.list.replaceChildren(...this.staged.map((e) => el('li', {},
      el('span', { class: 'op', text: e.op }),
      el('span', { class: 'off', text: e.offset }),
      el('span', { class: 'bytes', text: e.op === 'delete' ? `${e.len} byte${e.len === 1 ? '' : 's'}` : `${e.len}: ${e.bytes}${e.bytes.length < 2 * e.len ? '…' : ''}` }))));
  }

  markAt(off) { return inRanges(this.ranges, off) >= 0; }
}
