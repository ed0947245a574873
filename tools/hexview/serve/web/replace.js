// Find and replace: the hits of the last search, where the staged edits put
// them now, replaced one at a time (the current hit, then on to the next) or
// all at once as one undo step. Hits that staged edits changed are skipped.
// The replacement is read as the search was: hex, or text as UTF-8 or UTF-16LE.
import { mapSpans } from './edits.js';
import { hexDigits, parseHex, textBytes } from './paste.js';
import { utf16Hex } from './search.js';

// The bytes searched for, as hex ("??" kept): the server checks each hit still holds them.
function searchedHex({ mode, pattern }) {
  if (mode === 'hex') return pattern;
  return mode === 'utf16' ? utf16Hex(pattern) : hexDigits(textBytes(pattern));
}

export class ReplaceTool {
  // `elements`: the Search tab's replace form.
  constructor({ elements, search, edits, grid, limits, writable, showError, notify }) {
    Object.assign(this, { search, edits, grid, limits, showError, notify });
    const { form, input, all } = elements;
    this.input = input;
    form.hidden = !writable;
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.replaceOne();
    });
    all.addEventListener('click', () => this.replaceAll());
  }

  // The replacement's bytes, read as the last search was.
  #replacement() {
    const { mode } = this.search.searched;
    const text = this.input.value;
    if (mode === 'hex') return parseHex(text, 'the replacement');
    return mode === 'utf16' ? parseHex(utf16Hex(text), 'the replacement') : textBytes(text);
  }

  // Checks there is something to replace; the replacement's hex, or null after saying why not.
  #ready() {
    try {
      if (!this.search.searched || !this.search.hits.length) throw new Error('search first: the hits of the last search are what is replaced');
      return hexDigits(this.#replacement());
    } catch (e) {
      this.showError(e);
      return null;
    }
  }

  // Each listed hit where it is now: {offset, length, changed}.
  #mapped() {
    const s = this.search;
    return mapSpans(s.movedBy(), s.hits.map((h) => [h.offset, s.patLen]));
  }

  // The selection (or the cursor's byte) as [offset, length], and which end the cursor is at.
  #selectionSpan() {
    const g = this.grid;
    const [first, last] = g.selection();
    return { span: [first, last - first + 1], selected: g.hasSelection(), forward: g.cursor === last };
  }

  // The selection follows the bytes the step staged: a hit replaced with
  // fewer bytes is selected as those bytes, and hits replaced before it pull
  // it back. Left alone (and the view too) when the step did not move it.
  #followSelection({ count, selection }) {
    const [{ offset, length }] = mapSpans(this.edits.staged.slice(count), [selection.span]);
    const [at, n] = selection.span;
    if (offset === at && length === n) return;
    if (!selection.selected || length < 2) {
      this.grid.moveTo(offset);
      return;
    }
    const last = offset + length - 1;
    this.grid.moveTo(selection.forward ? offset : last);
    this.grid.moveTo(selection.forward ? last : offset, true);
  }

  // The current hit, or the first after the cursor, skipping hits edits changed.
  async replaceOne() {
    const hex = this.#ready();
    if (hex === null) return;
    const s = this.search;
    let index = -1;
    const staged = await this.edits.stage('/api/replace', () => {
      const mapped = this.#mapped();
      const from = s.current >= 0 ? s.current : Math.max(0, mapped.findIndex((m) => m.offset >= this.grid.cursor));
      index = mapped.findIndex((m, i) => i >= from && !m.changed);
      if (index < 0) {
        this.showError(new Error('no hit left to replace from here: staged edits changed the rest'));
        return null;
      }
      return { offsets: String(mapped[index].offset), find: searchedHex(s.searched), hex };
    });
    if (!staged) return;
    // On to the next hit that is still as searched.
    const mapped = this.#mapped();
    const next = mapped.findIndex((m, i) => i > index && !m.changed);
    if (next >= 0) await s.select(next);
    else if (s.hits.length < s.stored) await s.select(index + 1);
    else this.notify('Replaced the last hit');
  }

  // Every kept hit that is still as searched, as one undo step within the edit cap.
  async replaceAll() {
    const hex = this.#ready();
    if (hex === null) return;
    const s = this.search;
    const perHit = hex.length / 2 === s.patLen || !hex ? 1 : 2;
    const max = this.limits.max_edits;
    if (s.count * perHit > max - this.edits.staged.length) {
      const n = s.count.toLocaleString('en');
      this.showError(new Error(`replacing all ${n} hits takes ${(s.count * perHit).toLocaleString('en')} staged edits, and ${this.edits.staged.length} of the cap of ${max} are staged: nothing was staged (save first, or do less at once)`));
      return;
    }
    // Every kept hit is listed first (a failed load has said why and stops here).
    for (let had = -1; s.hits.length < s.stored && s.hits.length > had;) {
      had = s.hits.length;
      await s.loadMore();
    }
    if (s.hits.length < s.stored) return;
    let skipped = 0;
    let replaced = 0;
    let before = null;
    const staged = await this.edits.stage('/api/replace', () => {
      before = { count: this.edits.staged.length, selection: this.#selectionSpan() };
      const mapped = this.#mapped();
      const offsets = mapped.filter((m) => !m.changed).map((m) => m.offset);
      skipped = mapped.length - offsets.length;
      replaced = offsets.length;
      if (!offsets.length) {
        this.showError(new Error('no hit left to replace: staged edits changed every one'));
        return null;
      }
      return { offsets: offsets.join(','), find: searchedHex(s.searched), hex };
    });
    if (!staged) return;
    this.#followSelection(before);
    const skip = skipped ? `; ${skipped} that staged edits changed were skipped` : '';
    this.notify(`Replaced ${replaced.toLocaleString('en')} hit${replaced === 1 ? '' : 's'} as one step (one Undo puts them back)${skip}`);
  }
}
