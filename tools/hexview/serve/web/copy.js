// Copying the selection: its bytes come from the server (any size up to its
// limit, said plainly beyond it), formatted here as hex, text, a C or Python
// array, or base64, and put on the clipboard.
import { get } from './api.js';

function formatBytes(bytes, format) {
  const hexes = [...bytes].map((b) => b.toString(16).padStart(2, '0'));
  switch (format) {
    // UTF-8, as a paste reads text: copied text pastes back as the same bytes.
    case 'text': return new TextDecoder('utf-8').decode(bytes);
    case 'c': return `unsigned char data[${bytes.length}] = {${hexes.map((h) => '0x' + h).join(', ')}};`;
    case 'python': return `b'${hexes.map((h) => '\\x' + h).join('')}'`;
    case 'base64': {
      let s = '';
      for (const b of bytes) s += String.fromCharCode(b);
      return btoa(s);
    }
    default: return hexes.join(' ');
  }
}

// Copies the selection (or the byte at the cursor); says how much was copied.
// `settled()`: resolves once the edits asked for are with the server, whose
// bytes are copied.
export async function copySelection(grid, format, notify, showError, settled) {
  const [s, e] = grid.selection();
  if (s >= grid.size) {
    showError(new Error('nothing to copy: the cursor is after the last byte (select the bytes to copy)'));
    return;
  }
  try {
    await settled();
    const r = await get('/api/bytes', { offset: s, length: e - s + 1 });
    const bytes = Uint8Array.from(r.hex.match(/../g) || [], (h) => parseInt(h, 16));
    const text = formatBytes(bytes, format);
    window.hexview.lastCopied = text;
    await navigator.clipboard.writeText(text).catch((refused) => {
      throw new Error(`the browser kept the clipboard from the page (${refused.message}): nothing was copied`);
    });
    notify(`Copied ${bytes.length.toLocaleString('en')} byte${bytes.length === 1 ? '' : 's'} as ${format}`);
  } catch (err) {
    showError(err);
  }
}
