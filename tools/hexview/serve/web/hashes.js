// Hashes: CRC32, MD5, SHA-1 and SHA-256 of the selection or of the whole
// file, with the staged edits, computed by the server. A large range runs
// as a job, with its bar and Cancel (Esc).
import { post } from './api.js';
import { el, formatOffset } from './util.js';

const NAMES = { crc32: 'CRC32', md5: 'MD5', sha1: 'SHA-1', sha256: 'SHA-256' };

export class HashesPanel {
  // `elements`: form, scope (what the button hashes), summary, list.
  constructor({ elements, grid, showError }) {
    Object.assign(this, elements, { grid, showError });
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.run();
    });
  }

  #range() { return this.grid.hasSelection() ? this.grid.selection() : null; }

  #describe(range) {
    if (!range) return 'the whole file';
    const n = range[1] - range[0] + 1;
    return `the selection ${formatOffset(range[0], this.grid.size)}–${formatOffset(range[1], this.grid.size)} (${n.toLocaleString('en')} bytes)`;
  }

  // Says what the button would hash; called when the cursor moves.
  showScope() { this.scope.textContent = `of ${this.#describe(this.#range())}`; }

  async run() {
    const range = this.#range();
    const what = this.#describe(range);
    this.summary.textContent = `Hashing ${what}…`;
    this.list.replaceChildren();
    try {
      const h = await post('/api/hash', range ? { offset: range[0], length: range[1] - range[0] + 1 } : {});
      this.summary.textContent = `Hashes of ${what}, with the staged edits:`;
      this.list.replaceChildren(...Object.entries(h.hashes).flatMap(([name, value]) => [
        el('dt', { text: NAMES[name] || name }), el('dd', { text: value, 'data-hash': name })]));
    } catch (e) {
      this.summary.textContent = '';
      this.showError(e);
    }
  }

  // The hashes shown were of the content before this change.
  editsChanged() {
    if (!this.list.children.length) return;
    this.list.replaceChildren();
    this.summary.textContent = 'The edits changed: hash again.';
  }
}
