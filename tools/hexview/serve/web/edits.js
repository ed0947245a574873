// Editing: staging through the server, the staged list, the edited bytes
// marked in the grid, undo and redo (the server discards and stages the list
// again), discard, save in place after a confirmation, and save as. Every
// one of these goes through one queue, whether a key or a button asked.
import { get, post, reportStale, setContentVersion } from './api.js';
import { el, formatOffset, inRanges } from './util.js';

// Sorted, merged [start, end) ranges with [s, e) added; linear in the
// ranges (no sort), so the marks of 1000 edits cost little on each change.
function addRange(ranges, s, e) {
  if (e <= s) return ranges;
  const out = [];
  let i = 0;
  while (i < ranges.length && ranges[i][1] < s) out.push(ranges[i++]);
  let lo = s;
  let hi = e;
  for (; i < ranges.length && ranges[i][0] <= hi; i++) {
    lo = Math.min(lo, ranges[i][0]);
    hi = Math.max(hi, ranges[i][1]);
  }
  out.push([lo, hi]);
  while (i < ranges.length) out.push(ranges[i++]);
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

// Where the staged edits moved spans of the file as on disk (search hits,
// compare runs): each [offset, length] becomes {offset, length, changed}
// in the edited content; `changed` when an edit touched the span itself.
// Bytes inserted where edits took the whole span out are the span's now (a
// replacement of another length is a delete and an insert there).
export function mapSpans(staged, spans) {
  const edits = staged.map((e) => ({ op: e.op, at: parseInt(e.offset, 16), n: e.len }));
  return spans.map(([offset, length]) => {
    let off = offset;
    let len = length;
    let changed = false;
    for (const { op, at, n } of edits) {
      if (op === 'write') {
        if (at < off + len && at + n > off) changed = true;
      } else if (op === 'insert') {
        if (changed && len === 0 && at === off) len = n;
        else if (at <= off) off += n;
        else if (at < off + len) {
          changed = true;
          len += n;
        }
      } else if (at + n <= off) {
        off -= n;
      } else if (at < off + len) {
        changed = true;
        const end = Math.max(at, off + len - n);
        off = Math.min(off, at);
        len = Math.max(0, end - off);
      }
    }
    return { offset: off, length: len, changed };
  });
}

// The edits that moved bytes since a result (search hits, compare runs)
// was found in the file as saved then: those saved since, then those staged
// now. A save writes its edits into the file, so spans found before it are
// where they were only after those edits too.
export class EditTrail {
  #saved = [];
  #cache = {};
  // `staged()`: the staged edits now.
  constructor(staged) { this.staged = staged; }

  // A place in the trail: a result found now keeps it.
  mark() { return this.#saved.length; }

  // A save wrote `edits` into the file.
  saved(edits) { this.#saved = this.#saved.concat(edits); }

  // The edits since `mark`, the same list while nothing changes (the grid
  // asks for every byte it paints).
  since(mark) {
    const staged = this.staged();
    if (!(mark < this.#saved.length)) return staged;  // no save since (or no result yet)
    const c = this.#cache;
    if (c.staged !== staged || c.mark !== mark || c.saved !== this.#saved)
      this.#cache = { staged, mark, saved: this.#saved, list: this.#saved.slice(mark).concat(staged) };
    return this.#cache.list;
  }
}

// Where a place in the edited content was in the file as saved, through the
// staged edits taken back last first. `end`: the place is the end of a span,
// so a delete just after it leaves it where it is. A place in inserted bytes
// goes to where they were inserted.
export function savedPlace(staged, off, end) {
  for (let i = staged.length - 1; i >= 0; i--) {
    const e = staged[i];
    const at = parseInt(e.offset, 16);
    if (e.op === 'insert') {
      if (off >= at + e.len) off -= e.len;
      else if (off > at || (off === at && end)) off = at;
    } else if (e.op === 'delete' && (end ? off > at : off >= at)) {
      off += e.len;
    }
  }
  return off;
}

// Maps listed spans (hits, runs) through the staged edits: each list item
// shows its span's offset now and is marked when an edit changed the span.
// Gives the spans as [start, end) ranges.
export function showMapped(staged, spans, list, size) {
  return mapSpans(staged, spans).map((m, i) => {
    const li = list.children[i];
    if (li) {
      li.classList.toggle('changed', m.changed);
      li.title = m.changed ? 'a staged edit changed these bytes' : '';
      li.querySelector('.off').textContent = formatOffset(m.offset, size);
    }
    return [m.offset, m.offset + m.length];
  });
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
  // `notify(text)`: a short confirmation where the person is looking;
  // `onPath(path)`: the editor continues on another file (after a save as);
  // `onSaved(staged, path)`: a save wrote these edits into `path`;
  // `onShowEdits()`: brings the Edits tab into view.
  constructor({ elements, grid, ask, showError, notify, onChange, onPath, onSaved, onShowEdits, path, writable, limits }) {
    Object.assign(this, { grid, ask, showError, notify, onChange, onPath, onSaved, onShowEdits, path, writable, limits });
    this.staged = [];
    this.version = 0;
    this.typedWaiting = 0;  // typed edits not stored yet
    this.run = null;        // the typed run still waiting for its turn, which later keys extend
    this.lastTyped = null;  // {kind, end} of the last typed edit, while nothing else came between
    this.ranges = [];
    this.undoCount = 0;
    this.redoCount = 0;
    this.atRisk = null;    // where the whole content is after a save failed part-way
    this.saving = false;   // a save runs: it carries the edits, and outlives the tab
    this.riskCause = '';   // that save's failure
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
    els.riskSave.addEventListener('click', () => this.offerCopy());
    if (!writable) for (const part of els.writeOnly) part.hidden = true;
  }

  // Edit actions asked for and not finished yet.
  get waiting() { return this.#queue.waiting; }
  // Resolves once the edits asked for so far (typed bytes on their way
  // included) are with the server, so a read of its content sees them.
  settled() { return this.#queue.push(() => {}); }
  get edited() { return this.staged.length > 0; }

  // ---- the actions: each waits for the ones asked for before it -----------

  // Every action but typing ends a typed run.
  #push(action) {
    this.run = null;
    this.lastTyped = null;
    return this.#queue.push(action);
  }

  refresh() { return this.#push(() => this.#refresh()); }
  write(offset, bytes) { return this.#push(() => this.#run('/api/write', { offset, hex: hexOf(bytes) })); }
  undo() { return this.#push(() => this.#undoRedo('/api/undo')); }
  redo() { return this.#push(() => this.#undoRedo('/api/redo')); }
  discard() { return this.#push(() => this.#discard()); }
  save() { return this.#push(() => this.#save()); }
  saveAs(path) { return this.#push(() => this.#saveAs(path)); }

  // A tool's change (paste, fill, replace), in its turn; `body` may be a
  // function that makes the request then (null: nothing to do). True once staged.
  stage(path, body) {
    return this.#push(async () => {
      const request = typeof body === 'function' ? await body() : body;
      return request ? this.#run(path, request) : false;
    });
  }

  // Bytes put in at once, as typed ones are (a paste): `local` the grid's
  // entries that show them until the server has them. A refusal drops them,
  // and the keys after them, as for typed bytes. True once staged.
  stageShown(path, body, local) {
    const change = { at: body.offset, epoch: this.#typingEpoch, entries: local };
    return this.#push(async () => {
      if (change.epoch !== this.#typingEpoch) {  // an earlier typed edit was refused
        for (const entry of local) this.grid.dropLocal(entry);
        return false;
      }
      try {
        const state = await post(path, body);
        for (const entry of local) this.grid.confirmLocal(entry, state.version);
        this.#apply(state);
        return true;
      } catch (err) {
        this.#cancelTyping(change, err);
        return false;
      }
    });
  }

  // Staged edits, those on their way included.
  get editCount() { return this.staged.length + this.typedWaiting; }

  // Typed bytes: `kind` 'write' or 'insert' at `at`, decided when the key
  // was pressed. They show in the grid at once and are stored in order
  // behind the scenes; bytes typed on from the end of the last typed edit
  // join it, so a typed run is one staged edit. False (and nothing staged)
  // when the edit cap leaves no room.
  type(kind, at, bytes) {
    const last = this.lastTyped;
    const continues = last && last.kind === kind && last.end === at;
    this.lastTyped = { kind, end: at + bytes.length };
    if (continues && this.run) {
      this.run.bytes.push(...bytes);
      this.grid.extendLocal(this.run.entry, bytes);
      return true;
    }
    if (!continues && this.editCount >= this.limits.max_edits) {
      this.lastTyped = null;
      this.showError(new Error(`the staged edits cap is reached (${this.limits.max_edits}): save or undo before typing more`));
      return false;
    }
    const run = { kind, at, bytes: [...bytes], merge: !!continues, epoch: this.#typingEpoch, entry: this.grid.addLocal(kind, at, bytes) };
    this.run = run;
    if (!continues) this.typedWaiting++;
    this.#renderCount();
    this.#queue.push(() => this.#storeTyped(run));
    return true;
  }

  async #storeTyped(run) {
    if (this.run === run) this.run = null;  // later keys start a run of their own
    const counted = !run.merge;
    try {
      if (run.epoch !== this.#typingEpoch) {  // an earlier typed edit was refused
        if (counted) this.typedWaiting--;
        this.grid.dropLocal(run.entry);
        this.#renderCount();
        return;
      }
      const state = await post(run.kind === 'write' ? '/api/write' : '/api/insert',
        { offset: run.at, hex: hexOf(run.bytes), merge: run.merge });
      this.grid.confirmLocal(run.entry, state.version);
      if (counted) this.typedWaiting--;
      this.#applyTyped(state);
    } catch (e) {
      if (counted) this.typedWaiting--;
      this.#cancelTyping(run, e);
    }
  }

  // A typed edit (or a delete) was refused: the keys after it counted on
  // it, so they are dropped too, and the cursor goes back to where it was.
  #typingEpoch = 0;
  #cancelTyping(run, e) {
    this.#typingEpoch++;
    for (const entry of run.entries || [run.entry]) this.grid.dropLocal(entry);
    this.run = null;
    this.lastTyped = null;
    this.grid.moveTo(run.at);
    this.#renderCount();
    this.showError(e);
  }

  // The Insert form: its bytes before the selection (or the cursor) as it
  // is when the form is sent, whatever moves while earlier edits are stored.
  insertFromForm(hexText) {
    const offset = this.grid.selection()[0];
    return this.#push(async () => {
      if (!(await this.#run('/api/insert', { offset, hex: hexText }))) return;
      this.els.insertForm.hidden = true;
      this.grid.focus();
    });
  }

  // Delete the selection, or the byte at the cursor (before it for
  // Backspace), as they are when the key is pressed. Like typed bytes, the
  // bytes leave the grid at once, the cursor goes to their place, and keys
  // pressed before the server answers go on from there.
  deleteAtCursor(before) {
    const grid = this.grid;
    const [s, e] = grid.selection();
    let at = grid.cursor;
    let n = 1;
    if (grid.hasSelection()) [at, n] = [s, e - s + 1];
    else if (before) at--;
    if (at < 0 || at >= grid.size) return this.#push(async () => {});  // no byte there
    grid.moveTo(at);
    const change = { at, epoch: this.#typingEpoch, entry: grid.addLocal('delete', at, [], n) };
    return this.#push(async () => {
      if (change.epoch !== this.#typingEpoch) return grid.dropLocal(change.entry);  // an earlier typed edit was refused
      try {
        const state = await post('/api/delete', { offset: at, length: n });
        grid.confirmLocal(change.entry, state.version);
        this.#apply(state);
      } catch (err) {
        this.#cancelTyping(change, err);
      }
    });
  }

  openInsert() {
    if (!this.writable) return;
    this.els.insertForm.hidden = false;
    this.els.insertInput.focus();
    this.els.insertInput.select();
  }

  // ---- their work, run in the queue's turn --------------------------------

  // A typed byte is stored: the counts and the size now (the grid shows the
  // byte already), the list, marks and rows once per frame, so a burst of
  // keys waits for none of that and 900 listed edits cost one list a frame.
  #typedState = null;
  #applyTyped(state) {
    this.staged = state.staged;
    this.version = state.version ?? this.version;
    setContentVersion(this.version);
    this.undoCount = state.undo;
    this.redoCount = state.redo;
    this.grid.setSize(state.size, this.version);
    if (!this.#typedState) {
      requestAnimationFrame(() => {
        const latest = this.#typedState;
        this.#typedState = null;
        if (latest) this.#apply(latest);
      });
    }
    this.#typedState = state;
  }

  // The server's answer to every edit call: the engine's list and the size.
  #apply(state) {
    // Another tab opened another file: nothing of this tab's view holds.
    if (state.path !== undefined && state.path !== this.path) {
      reportStale();
      return;
    }
    this.#typedState = null;  // this answer is later than a typed one not shown yet
    this.staged = state.staged;
    this.version = state.version ?? this.version;
    setContentVersion(this.version);
    this.ranges = editedRanges(state.staged);
    this.undoCount = state.undo;
    this.redoCount = state.redo;
    this.atRisk = state.at_risk ?? null;
    this.#renderRisk();
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

  // Undo or redo, then the edit they touched is brought into view.
  async #undoRedo(path) {
    const undoing = path === '/api/undo';
    const before = this.staged[this.staged.length - 1];
    if (!(await this.#run(path, {}))) return;
    const edit = undoing ? before : this.staged[this.staged.length - 1];
    if (edit) await this.grid.jump(parseInt(edit.offset, 16), edit.op === 'delete' ? 0 : edit.len);
  }

  async #discard() {
    const n = this.staged.length;
    if (n && !(await this.ask('Discard all edits?', [`Drop all ${n} staged edits. The file itself has not been changed.`], 'Discard'))) return;
    await this.#run('/api/discard', {});
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
    const saved = this.staged;
    this.saving = true;
    try {
      this.#apply(await post('/api/save', { confirm: this.path }));
      this.onSaved(saved, this.path);
      this.#note(`Saved ${this.path}`);
    } catch (e) {
      // A failure part-way is told by the bar, which stays until a save works.
      this.riskCause = e.message.split(' - the content is whole')[0];
      await this.#refresh();
      if (!this.atRisk) this.showError(e);
    } finally {
      this.saving = false;
    }
    this.grid.focus();
  }

  async #saveAs(path, overwrite = false) {
    if (!path) {
      this.showError(new Error('type a path to save to'));
      return;
    }
    const saved = this.staged;
    this.saving = true;
    try {
      const state = await post('/api/save-as', { path, overwrite });
      // The editor goes on with the new file, as saved.
      this.path = state.saved;
      this.onPath(state.saved);
      this.#apply(state);
      this.onSaved(saved, state.saved);
      this.#note(`Saved as ${state.saved}; now editing it`);
    } catch (e) {
      // 409 is also a busy refusal (a search runs): only an existing file asks.
      if (e.status === 409 && !overwrite && e.message.startsWith('the file exists: ')) {
        const ok = await this.ask('Replace the file?', [e.message.replace(/^the file exists: /, ''), ' exists. Replace it with the edited content?'], 'Replace');
        this.saving = false;
        if (ok) await this.#saveAs(path, true);
        return;
      }
      this.showError(e);
    } finally {
      this.saving = false;
    }
  }

  // After a save failed part-way the file may be partly written: a bar says
  // where the whole content is and offers to save a copy of it.
  #renderRisk() {
    const els = this.els;
    const where = this.atRisk;
    els.risk.hidden = !where;
    if (!where) return;
    els.riskText.textContent = `${this.riskCause ? this.riskCause + ': the' : 'The'} save failed part-way, and ${this.path} ` +
      `may be partly written. The edited content is whole only ${where === 'memory' ? 'in this editor\'s memory' : `in ${where}`}. ` +
      'Save a copy to keep it.';
  }

  // The Save as form, ready with a name beside the file.
  offerCopy() {
    this.onShowEdits();
    const name = this.path.split(/[\\/]/).pop();
    const dot = name.lastIndexOf('.');
    this.els.saveAsInput.value = dot > 0 ? `${name.slice(0, dot)}-copy${name.slice(dot)}` : `${name}-copy`;
    this.els.saveAsInput.focus();
    this.els.saveAsInput.select();
  }

  // Said in the Edits tab and where the person is looking.
  #note(text) {
    this.els.savedNote.textContent = text;
    this.notify(text);
  }

  // The staged edits against the cap, in the tab and the status bar; a
  // warning before the cap is reached.
  #renderCount() {
    const n = this.editCount;
    const max = this.limits.max_edits;
    this.els.count.textContent = n ? String(n) : '';
    const status = this.els.status;
    status.textContent = this.writable ? `edits ${n}/${max}` : '';
    status.classList.toggle('warn', n >= max * 0.9);
    status.title = n >= max ? 'The staged edits cap is reached: save to go on editing'
      : n >= max * 0.9 ? `Close to the cap of ${max} staged edits: save soon` : 'staged edits and the cap';
  }

  #renderList() {
    const els = this.els;
    const n = this.staged.length;
    this.#renderCount();
    els.undo.disabled = !this.undoCount;
    els.redo.disabled = !this.redoCount;
    els.save.disabled = !n;
    els.undo.textContent = this.undoCount ? `Undo (${this.undoCount})` : 'Undo';
    els.redo.textContent = this.redoCount ? `Redo (${this.redoCount})` : 'Redo';
    els.summary.textContent = n
      ? `${n} staged edit${n === 1 ? '' : 's'} (at most ${this.limits.max_edits}), not saved yet${this.redoCount ? `; ${this.redoCount} to redo` : ''}`
      : this.writable ? 'No staged edits. Type over bytes in the grid, or use Insert and Delete.' : 'The file is open read-only.';
    // Only the items that differ are made again: a typed run changes the
    // last one, whatever the length of the list.
    const items = els.list.children;
    this.staged.forEach((e, i) => {
      const at = formatOffset(parseInt(e.offset, 16), this.grid.size);
      const key = `${e.op} ${at} ${e.len} ${e.bytes}`;
      if (items[i]?.dataset.key === key) return;
      const li = this.#listItem(e, at);
      li.dataset.key = key;
      if (items[i]) items[i].replaceWith(li);
      else els.list.append(li);
    });
    while (items.length > this.staged.length) items[items.length - 1].remove();
  }

  // The server lists the first bytes of a long edit: an ellipsis says so.
  #listItem(e, at) {
    return el('li', {},
      el('span', { class: 'op', text: e.op }),
      el('button', { type: 'button', class: 'off link', title: 'Show this edit in the grid', text: at,
        onclick: () => this.grid.jump(parseInt(e.offset, 16), e.op === 'delete' ? 0 : e.len) }),
      el('span', { class: 'bytes', text: e.op === 'delete' ? `${e.len} byte${e.len === 1 ? '' : 's'}` : `${e.len}: ${e.bytes}${e.bytes.length < 2 * e.len ? '…' : ''}` }));
  }

  markAt(off) { return inRanges(this.ranges, off) >= 0; }
}
