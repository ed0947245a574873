// Search: the hit count, the stored hits with their contexts, next and
// previous, and the hits marked in the grid.
import { get, post } from './api.js';
import { savedPlace, showMapped } from './edits.js';
import { el, formatOffset, inRanges, spacedHex } from './util.js';

// Bytes of hex context shown before a hit: the match stays in view.
const HEX_LEAD = 4;

// `text` as UTF-16LE bytes, as a hex pattern (surrogate pairs included).
export function utf16Hex(text) {
  const out = [];
  for (let i = 0; i < text.length; i++) {
    const u = text.charCodeAt(i);
    out.push((u & 0xff).toString(16).padStart(2, '0'), (u >> 8).toString(16).padStart(2, '0'));
  }
  return out.join(' ');
}

const PAGE = 200;

export class SearchPanel {
  // `elements`: the panel's parts in the page; `limits`: the engine's, from
  // the server; `edited()`: whether edits are staged.
  // `trail`: the edits through which hits are shown where they now are (an EditTrail).
  constructor({ elements, grid, limits, edited, trail, showError, refreshGrid }) {
    Object.assign(this, { grid, limits, edited, trail, showError, refreshGrid });
    Object.assign(this, elements);  // form, mode, input, fromCursor, summary, list, more, next, prev
    this.hits = [];
    this.ranges = [];
    this.mappedFor = null;  // the staged list the hits were mapped through
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
    // The engine searches the file as saved: the cursor's place there.
    const from = savedPlace(this.trail.staged(), start, false);
    this.summary.textContent = 'Searching…';
    this.clear();
    try {
      // UTF-16LE is encoded here, from the text as typed (the engine's own
      // utf16 mode widens single bytes only).
      const r = await post('/api/search', mode === 'utf16' ? { mode: 'hex', pattern: utf16Hex(pattern), start: from } : { mode, pattern, start: from });
      this.count = r.count;
      this.stored = r.stored;
      this.patLen = r.length;
      this.searched = { mode, pattern };
      await this.loadMore();
      this.describe(start);
      if (this.hits.length) await this.select(0);
      else this.refreshGrid();
    } catch (e) {
      this.summary.textContent = 'The search failed; no hits.';
      this.refreshGrid();
      this.showError(e);
    }
  }

  // No hits: listed, marked or stepped through.
  clear() {
    this.searched = null;  // {mode, pattern} of the hits listed
    this.count = 0;
    this.stored = 0;
    this.hits = [];
    this.ranges = [];
    this.mappedFor = null;
    this.mark = this.trail.mark();
    this.current = -1;
    this.list.replaceChildren();
    this.more.hidden = true;
  }

  // The hits where the staged edits put them; hits an edit touched are marked as changed.
  #map() {
    const staged = this.movedBy();
    if (this.mappedFor === staged && this.ranges.length === this.hits.length) return;
    this.mappedFor = staged;
    this.ranges = showMapped(staged, this.hits.map((h) => [h.offset, Math.max(1, this.patLen)]), this.list, this.grid.size);
  }

  // The edits that moved the hits since they were found: saved since, or staged.
  movedBy() { return this.trail.since(this.mark); }

  // The staged edits changed: show the hits where they now are.
  editsChanged() {
    this.#map();
    this.refreshGrid();
  }

  describe(start) {
    const from = start ? ` from 0x${start.toString(16)}` : '';
    const n = this.count;
    let text = `${n === 0 ? 'No' : n.toLocaleString('en')} hit${n === 1 ? '' : 's'}${from}`;
    const kept = this.limits.max_stored_hits;
    if (n > kept) text += `; the first ${kept.toLocaleString('en')} are kept and listed`;
    this.summary.replaceChildren(el('strong', { text }));
    if (this.edited()) this.summary.append(el('span', { text: ' (searched in the file as saved; the hits are shown where the staged edits moved them)' }));
  }

  async loadMore() {
    if (this.hits.length >= this.stored) return;
    try {
      const r = await get('/api/hits', { from: this.hits.length, count: PAGE });
      for (const h of r.items) {
        const hit = { offset: parseInt(h.offset, 16), hex: h.context_hex, ascii: h.context_ascii };
        this.list.append(this.item(hit, this.hits.length));
        this.hits.push(hit);
      }
      this.mappedFor = null;
      this.#map();
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
    const hexLead = Math.min(HEX_LEAD, lead);
    const hexText = el('span', { class: 'ctx muted' },
      spacedHex(hit.hex.slice(2 * (lead - hexLead), 2 * lead)) + ' ', el('mark', { text: spacedHex(hit.hex.slice(2 * lead, 2 * (lead + len))) }),
      ' ' + spacedHex(hit.hex.slice(2 * (lead + len))));
    const button = el('button', { type: 'button', onclick: () => this.select(index) },
      el('span', { class: 'off', text: formatOffset(hit.offset, this.grid.size) }), text, el('span'), hexText);
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
    this.#map();
    const [s, e] = this.ranges[index];
    await this.grid.jump(s, e - s);
  }

  // Next or previous hit; before any is chosen, the first one after the cursor.
  step(dir) {
    if (!this.hits.length) {
      if (this.input.value) this.find();
      return;
    }
    let i = this.current;
    if (i < 0) {
      this.#map();
      i = this.ranges.findIndex((r) => r[0] >= this.grid.cursor);
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
    this.#map();
    const i = inRanges(this.ranges, off);
    if (i < 0) return 0;
    return i === this.current ? 2 : 1;
  }
}
