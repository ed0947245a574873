// Paste: bytes from the clipboard (Ctrl+V in the grid: hex in the hex column,
// text in the text column) or from the Edits tab, written over the bytes from
// the cursor (or the selection's first byte) or inserted there. A paste is
// one undo step; what an overwrite runs past the end is appended.

// The server reads request bodies of 1 MiB at most.
const BODY_LIMIT = 1 << 20;

// Hex as people paste it: pairs of digits with spaces, line ends, commas or
// colons between bytes. Throws an Error that says what is wrong.
export function parseHex(text, what) {
  const bytes = [];
  const t = text.replace(/[\s,:]+/g, ' ').trim();
  for (const word of t ? t.split(' ') : []) {
    const bad = word.match(/[^0-9a-fA-F]/);
    if (bad) throw new Error(`${what}: not hex: "${bad[0]}" (use 0-9 a-f, with spaces or line ends between bytes)`);
    if (word.length % 2) throw new Error(`${what}: an odd number of hex digits in "${word.length > 16 ? word.slice(0, 16) + '…' : word}" (each byte takes two)`);
    for (let i = 0; i < word.length; i += 2) bytes.push(parseInt(word.slice(i, i + 2), 16));
  }
  return bytes;
}

export const hexDigits = (bytes) => bytes.map((b) => b.toString(16).padStart(2, '0')).join('');

// Text pastes as its UTF-8 bytes.
export const textBytes = (text) => [...new TextEncoder().encode(text)];

export class PasteTool {
  // `elements`: the Edits tab's paste form and the grid's element;
  // `insertMode()`: whether typing inserts (INS).
  constructor({ elements, grid, edits, writable, insertMode, showError, notify }) {
    Object.assign(this, { grid, edits, writable, insertMode, showError, notify });
    const { form, input, kind } = elements;
    form.hidden = !writable;
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.paste(input.value, kind.value, e.submitter && e.submitter.value === 'insert');
    });
    // Ctrl+V in the grid: the browser hands over the clipboard's text.
    elements.grid.addEventListener('paste', (e) => {
      e.preventDefault();
      if (!writable) {
        showError(new Error('the file is open read-only: restart hexview serve without --read-only to paste'));
        return;
      }
      const text = e.clipboardData ? e.clipboardData.getData('text/plain') : '';
      this.paste(text, grid.column === 'hex' ? 'hex' : 'text', insertMode(), ' (to paste it as text, Tab to the text column first)');
    });
  }

  // Pastes `text` read as `kind` ('hex' or 'text'); true once staged.
  // `hint` follows a refusal of the hex.
  async paste(text, kind, insert, hint = '') {
    let bytes;
    try {
      bytes = kind === 'hex' ? parseHex(text, 'the pasted hex') : textBytes(text);
    } catch (e) {
      this.showError(new Error(e.message + hint));
      return false;
    }
    if (!bytes.length) {
      this.showError(new Error('nothing to paste: the clipboard is empty'));
      return false;
    }
    const grid = this.grid;
    const at = grid.hasSelection() ? grid.selection()[0] : grid.cursor;
    const body = { offset: at, hex: hexDigits(bytes), insert };
    const room = Math.floor((BODY_LIMIT - JSON.stringify({ ...body, hex: '' }).length) / 2);
    if (bytes.length > room) {
      this.showError(new Error(`the paste has ${bytes.length.toLocaleString('en')} bytes; a paste holds ${room.toLocaleString('en')} at most (the server takes requests of 1 MiB): nothing was pasted`));
      return false;
    }
    // Shown at once, the cursor past them, as typed bytes: an overwrite
    // appends what runs past the end.
    const over = insert ? 0 : Math.max(0, Math.min(bytes.length, grid.size - at));
    const local = [];
    if (over) local.push(grid.addLocal('write', at, bytes.slice(0, over)));
    if (over < bytes.length) local.push(grid.addLocal('insert', at + over, bytes.slice(over)));
    grid.moveTo(at + bytes.length);
    grid.focus();
    if (!(await this.edits.stageShown('/api/paste', body, local))) return false;
    this.notify(`Pasted ${bytes.length.toLocaleString('en')} byte${bytes.length === 1 ? '' : 's'} ${insert ? 'inserted' : 'over the bytes'} at 0x${at.toString(16)}`);
    return true;
  }
}
