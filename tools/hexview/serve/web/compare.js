// Compare with another file: the differing runs, the cap said plainly, and
// a click on a run jumps to it.
import { get, post } from './api.js';
import { showMapped } from './edits.js';
import { el, formatOffset, humanSize, inRanges, spacedHex } from './util.js';

const PAGE = 200;

// The two sizes in words: rounded, unless the rounded ones read the same
// (4.00 MiB and 4.00 MiB), then in bytes; with the difference.
function sizesDiffer(mine, theirs) {
  const bytes = (n) => `${n.toLocaleString('en')} byte${n === 1 ? '' : 's'}`;
  let [a, b] = [humanSize(mine), humanSize(theirs)];
  if (a === b) [a, b] = [bytes(mine), bytes(theirs)];
  const more = theirs > mine ? 'longer' : 'shorter';
  return `Sizes differ: this file ${a}, the other ${b} (${bytes(Math.abs(theirs - mine))} ${more}); past its end the shorter reads as 00.`;
}

export class ComparePanel {
  // `elements`: the panel's parts in the page; `limits`: the engine's, from
  // the server; `edited()`: whether edits are staged.
  // `trail`: the edits through which runs are shown where they now are (an EditTrail).
  constructor({ elements, grid, limits, edited, trail, showError, refreshGrid }) {
    Object.assign(this, { grid, limits, edited, trail, showError, refreshGrid });
    Object.assign(this, elements);  // form, input, summary, list, more
    this.runs = [];
    this.ranges = [];
    this.count = 0;
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.compare();
    });
    this.more.addEventListener('click', () => this.loadMore());
  }

  async compare() {
    const path = this.input.value.trim();
    if (!path) {
      this.showError(new Error('type the path of the file to compare with'));
      this.input.focus();
      return;
    }
    this.summary.textContent = 'Comparing…';
    this.clear();
    try {
      const r = await post('/api/compare', { path });
      this.count = r.count;
      await this.loadMore();
      // The cap is said with the end of the last stored run.
      const last = r.capped ? (await get('/api/runs', { from: r.count - 1, count: 1 })).items[0] : null;
      this.describe(r, last);
      this.refreshGrid();
    } catch (e) {
      this.summary.textContent = 'The compare failed; no runs.';
      this.refreshGrid();
      this.showError(e);
    }
  }

  clear() {
    this.count = 0;
    this.runs = [];
    this.ranges = [];
    this.mappedFor = null;
    this.mark = this.trail.mark();
    this.list.replaceChildren();
    this.more.hidden = true;
  }

  // The edits that moved the runs since they were found: saved since, or staged.
  movedBy() { return this.trail.since(this.mark); }

  // The runs where the staged edits put them.
  #map() {
    const staged = this.movedBy();
    if (this.mappedFor === staged && this.ranges.length === this.runs.length) return;
    this.mappedFor = staged;
    this.ranges = showMapped(staged, this.runs.map((r) => [r.offset, r.len]), this.list, this.grid.size);
  }

  editsChanged() {
    this.#map();
    this.refreshGrid();
  }

  describe(r, last) {
    const parts = [];
    if (r.count === 0 && r.size === r.other_size) parts.push(el('strong', { text: 'The files are equal.' }));
    else parts.push(el('strong', { text: `${r.count.toLocaleString('en')} differing run${r.count === 1 ? '' : 's'}` }), ` (runs of up to ${this.limits.run_bytes} bytes).`);
    if (r.size !== r.other_size) parts.push(el('br'), sizesDiffer(r.size, r.other_size));
    if (last) {
      const end = parseInt(last.offset, 16) + last.this_hex.length / 2;
      parts.push(el('br'), el('strong', { text: `Only the first ${r.count.toLocaleString('en')} runs were stored:` }),
        ` differences after 0x${end.toString(16)} exist but are not listed.`);
    }
    if (this.edited()) parts.push(el('br'), 'The file is compared as saved: staged edits are not part of it.');
    this.summary.replaceChildren(...parts);
  }

  async loadMore() {
    if (this.runs.length >= this.count) return;
    try {
      const r = await get('/api/runs', { from: this.runs.length, count: PAGE });
      for (const item of r.items) {
        const run = { offset: parseInt(item.offset, 16), mine: item.this_hex, theirs: item.other_hex, len: item.this_hex.length / 2 };
        const index = this.runs.length;
        this.list.append(el('li', {}, el('button', { type: 'button', onclick: () => this.select(index) },
          el('span', { class: 'off', text: formatOffset(run.offset, this.grid.size) }),
          el('span', { class: 'ctx' }, el('span', { class: 'minus', text: '− ' }), spacedHex(run.mine)),
          el('span', { class: 'muted', text: `${run.len} B` }),
          el('span', { class: 'ctx' }, el('span', { class: 'plus', text: '+ ' }), spacedHex(run.theirs)))));
        this.runs.push(run);
      }
      this.mappedFor = null;
      this.#map();
      this.more.hidden = this.runs.length >= this.count;
      this.more.textContent = `Show more runs (${this.runs.length.toLocaleString('en')} of ${this.count.toLocaleString('en')} shown)`;
    } catch (e) {
      this.showError(e);
    }
  }

  select(index) {
    for (const li of this.list.querySelectorAll('li.now')) li.classList.remove('now');
    this.list.children[index].classList.add('now');
    this.#map();
    const [s, e] = this.ranges[index];
    return this.grid.jump(s, e - s);
  }

  markAt(off) {
    this.#map();
    return inRanges(this.ranges, off) >= 0;
  }
}
