// Fill: the selection (or the byte at the cursor) overwritten with a byte or
// a repeated hex pattern. The server repeats the pattern, so a large
// selection costs a small request; it is one staged edit and one undo step.
import { hexDigits, parseHex } from './paste.js';

export class FillTool {
  // `elements`: the Edits tab's fill form.
  constructor({ elements, grid, edits, writable, showError, notify }) {
    Object.assign(this, { grid, edits, showError, notify });
    const { form, input } = elements;
    form.hidden = !writable;
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.fill(input.value);
    });
  }

  async fill(patternText) {
    let pattern;
    try {
      pattern = parseHex(patternText, 'the fill pattern');
      if (!pattern.length) throw new Error('type a byte or a pattern in hex to fill with, such as 00 or de ad');
      if (!this.grid.size) throw new Error('the file is empty: there is nothing to fill');
    } catch (e) {
      this.showError(e);
      return false;
    }
    const [s, e] = this.grid.selection();
    const length = e - s + 1;
    if (!(await this.edits.stage('/api/fill', { offset: s, length, hex: hexDigits(pattern) }))) return false;
    this.notify(`Filled ${length.toLocaleString('en')} byte${length === 1 ? '' : 's'} from 0x${s.toString(16)}`);
    return true;
  }
}
