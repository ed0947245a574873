// Search: the hit count, the stored hits with their contexts, next and
// previous, and the hits marked in the grid.
import { get, post } from './api.js';
import { el, inRanges, spacedHex } from './util.js';

const PAGE = 200;

export class SearchPanel {
  // `elements`: the panel's parts in the page; `limits`: the engine's, from
  // the server; `edited()`: whether edits are staged.
  constructor({ elements, grid, limits, edited, showError, refreshGrid }) {
    Object.assign(this, { grid, limits, edited, showError, refreshGrid });
    Object.assign(this, elements);  // form, mode, input, fromCursor, summary, list, more, next, prev
    this.hits = [];
    this.ranges = [];
    this.count = 0;
    this.stored = 0;
    this.current = -1;
    this.patLen = 0;
    const placeholders = { hex: '4d 5a ?? ?? 50 45', ascii: 'text, case-sensitive', utf16: 'text as UTF-16LE' };
    this.mode.addEventListener('change', () => { this.input.placeholder = placeholders[this.mode.value]; });
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.find();
    });
    this.next.addEventListener('click', () => this.step(1));
    this.prev.addEventListener('click', () => this.step(-1));
    this.more.addEventListener('click', () => this.loadMore());
  }

  async find() {
    const pattern = this.input.value;
    if (!pattern) {
      this.showError(new Error('type a pattern to search for'));
      this.input.focus();
      return;
    }
    const mode = this.mode.value;
    const start = this.fromCursor.checked ? this.grid.cursor : 0;
    this.summary.textContent = 'Searching…';
    try {
      const r = await post('/api/search', { mode, pattern, start });
      this.count = r.count;
      this.stored = r.stored;
      this.patLen = r.length;
      this.hits = [];
      this.ranges = [];
      this.current = -1;
      this.list.replaceChildren();
      await this.loadMore();
      this.describe(start);
      if (this.hits.length) await this.select(0);
      else this.refreshGrid();
    } catch (e) {
      this.summary.textContent = '';
      this.showError(e);
    }
  }

  describe(start) {
    const from = start ? ` from 0x${start.toString(16)}` : '';
    const n = this.count;
    let text = `${n === 0 ? 'No' : n.toLocaleString('en')} hit${n === 1 ? '' : 's'}${from}`;
    const kept = this.limits.max_stored_hits;
    if (n > kept) text += `; the first ${kept.toLocaleString('en')} are kept and listed`;
    this.summary.replaceChildren(el('strong', { text }));
    if (this.edited()) this.summary.append(el('span', { text: ' (in the file as saved: staged edits are not searched)' }));
  }

  async loadMore() {
    if (this.hits.length >= this.stored) return;
    try {
      const r = await get('/api/hits', { from: this.hits.length, count: PAGE });
      for (const h of r.items) {
        const hit = { offset: parseInt(h.offset, 16), hex: h.context_hex, ascii: h.context_ascii };
        this.ranges.push([hit.offset, hit.offset + Math.max(1, this.patLen)]);
        this.list.append(this.item(hit, this.hits.length));
        this.hits.push(hit);
      }
      this.more.hidden = this.hits.length >= this.stored;
      this.more.textContent = `Show more hits (${this.hits.length.toLocaleString('en')} of ${this.stored.toLocaleString('en')} shown)`;
    } catch (e) {
      this.showError(e);
    }
  }

  item(hit, index) {
    const lead = Math.min(16, hit.offset);  // the context starts 16 bytes before the hit
    const len = this.patLen;
    const text = el('span', { class: 'ctx' },
      hit.ascii.slice(0, lead), el('mark', { text: hit.ascii.slice(lead, lead + len) }), hit.ascii.slice(lead + len));
    const hexText = el('span', { class: 'ctx muted' },
      spacedHex(hit.hex.slice(0, 2 * lead)) + ' ', el('mark', { text: spacedHex(hit.hex.slice(2 * lead, 2 * (lead + len))) }),
      ' ' + spacedHex(hit.hex.slice(2 * (lead + len))));
    const button = el('button', { type: 'button', onclick: () => this.select(index) },
      el('span', { class: 'off', text: '0x' + hit.offset.toString(16).padStart(8, '0') }), text, el('span'), hexText);
    return el('li', {}, button);
  }

  async select(index) {
    if (index < 0 || index >= this.stored) return;
    while (index >= this.hits.length && this.hits.length < this.stored) await this.loadMore();
    const prev = this.list.children[this.current];
    if (prev) prev.classList.remove('now');
    this.current = index;
    const li = this.list.children[index];
    if (li) {
      li.classList.add('now');
      li.scrollIntoView({ block: 'nearest' });
    }
    this.summary.dataset.current = index + 1;
    await this.grid.jump(this.hits[index].offset, this.patLen);
  }

  // Next or previous hit; before any is chosen, the first one after the cursor.
  step(dir) {
    if (!this.hits.length) {
      if (this.input.value) this.find();
      return;
    }
    let i = this.current;
    if (i < 0) {
      i = this.hits.findIndex((h) => h.offset >= this.grid.cursor);
      if (i < 0) i = 0;
      if (dir < 0) i -= 1;
    } else {
      i += dir;
    }
    if (i < 0 || i >= this.stored) {
      this.showError(new Error(dir > 0 ? 'no more hits after this one' : 'no hit before this one'));
      return;
    }
    this.select(i);
  }

  // 0: no hit here; 1: a hit; 2: the chosen hit.
  markAt(off) {
    const i = inRanges(this.ranges, off);
    if (i < 0) return 0;
    return i === this.current ? 2 : 1;
  }
}
