// Strings: the printable runs (ASCII and UTF-16LE) of the selection or of
// the whole file, with the staged edits. The server lists them a window at
// a time (at most 1000 runs or 8 MiB read per request); this panel asks for
// windows until it has a page of runs or a second has passed, then offers
// "more". A click selects the run.
import { get } from './api.js';
import { mapSpans } from './edits.js';
import { el, formatOffset, humanSize } from './util.js';

const WANT = 200;       // runs listed per click
const TIME_MS = 1000;   // reading per click at most

export class StringsPanel {
  // `elements`: form, min, kinds, summary, list, more; `trail`: the edits
  // since (an EditTrail), through which a run is selected where it now is.
  constructor({ elements, grid, trail, showError }) {
    Object.assign(this, elements, { grid, trail, showError });
    this.query = null;
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.find();
    });
    this.more.addEventListener('click', () => this.load());
  }

  // A new listing of the selection, or of the whole file when none.
  find() {
    const min = Number(this.min.value);
    if (!Number.isInteger(min) || min < 2 || min > 256) return this.showError(new Error('the minimum length is 2 to 256 characters'));
    const range = this.grid.hasSelection() ? this.grid.selection() : null;
    this.query = { min, kinds: this.kinds.value };
    if (range) Object.assign(this.query, { offset: range[0], length: range[1] - range[0] + 1 });
    this.what = range ? `the selection ${formatOffset(range[0], this.grid.size)}–${formatOffset(range[1], this.grid.size)}` : 'the whole file';
    this.next = range ? range[0] : 0;
    this.listedAt = { mark: this.trail.mark(), staged: this.trail.staged() };
    this.items = [];
    this.stale = false;
    this.list.replaceChildren();
    return this.load();
  }

  async load() {
    if (!this.query || this.next < 0) return;
    const t0 = performance.now();
    let added = 0;
    this.more.hidden = true;
    this.summary.textContent = `Listing the strings of ${this.what}…`;
    try {
      let answer;
      do {
        answer = await get('/api/strings', { ...this.query, from: this.next, count: WANT - added });
        this.next = answer.next;
        this.scanned = answer.scanned;
        this.end = answer.offset + answer.length;
        for (const item of answer.items) this.#add(item);
        added += answer.items.length;
      } while (this.next >= 0 && !this.stale && added < WANT && performance.now() - t0 < TIME_MS);
      if (this.stale) this.next = -1;
    } catch (e) {
      this.summary.textContent = '';
      return this.showError(e);
    }
    this.#summarize();
    if (this.stale) this.summary.textContent += ' The edits changed since: list again to see them.';
  }

  #add(item) {
    const index = this.items.length;
    this.items.push(item);
    const text = item.text + (item.length / (item.kind === 'ascii' ? 1 : 2) > item.text.length ? '…' : '');
    this.list.append(el('li', {}, el('button', { type: 'button', onclick: () => this.select(index), title: `${item.length.toLocaleString('en')} bytes` },
      el('span', { class: 'off', text: formatOffset(item.offset, this.grid.size) }),
      el('span', { class: 'ctx' }, el('span', { class: 'kind', text: item.kind === 'ascii' ? 'A' : 'U' }), ' ' + text))));
  }

  #summarize() {
    const n = this.items.length;
    const runs = `${n.toLocaleString('en')} string${n === 1 ? '' : 's'} of ${this.query.min}+ characters`;
    if (this.next < 0) {
      this.summary.textContent = `${runs} in ${this.what}.`;
    } else {
      this.summary.textContent = `${runs} so far in ${this.what}, read up to ${formatOffset(this.scanned, this.grid.size)}` +
        ` (${humanSize(this.end - this.scanned)} to go).`;
      this.more.hidden = false;
    }
  }

  select(index) {
    const item = this.items[index];
    const moved = this.#movedSince();
    if (!moved) return this.showError(new Error('the edits changed since this listing in a way it cannot follow (an undo, or a typed run that grew): list again'));
    const [{ offset, length }] = mapSpans(moved, [[item.offset, item.length]]);
    for (const li of this.list.querySelectorAll('li.now')) li.classList.remove('now');
    this.list.children[index].classList.add('now');
    this.grid.focus();
    return this.grid.jump(offset, length);
  }

  // The edits made since the listing (saved since, or staged), when they go
  // on from the ones staged then; null when those changed.
  #movedSince() {
    const { mark, staged } = this.listedAt;
    const since = this.trail.since(mark);
    const same = (a, b) => a.op === b.op && a.offset === b.offset && a.len === b.len;
    if (staged.length > since.length || !staged.every((e, i) => same(e, since[i]))) return null;
    return since.slice(staged.length);
  }

  // The listing was of the content before this change.
  editsChanged() {
    if (!this.items || !this.items.length || this.stale) return;
    this.stale = true;
    this.next = -1;  // later windows would count offsets in another content
    this.more.hidden = true;
    this.summary.textContent += ' The edits changed since: list again to see them.';
  }
}
