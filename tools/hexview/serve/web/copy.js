// Copying the selection: its bytes come from the server (up to 16 MiB, said
// plainly beyond), formatted here as hex, text, a C or Python array, or
// base64, and put on the clipboard.
import { get } from './api.js';

// A copy holds 16 MiB at most: more is no use on a clipboard.
const COPY_LIMIT = 16 << 20;
// The server answers 1 MiB of bytes at most a request.
const PIECE_BYTES = 1 << 20;

function hexToBytes(hex) {
  const bytes = new Uint8Array(hex.length >> 1);
  for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(hex.substr(2 * i, 2), 16);
  return bytes;
}

// The bytes of [offset, offset+length), asked for one piece after another
// (so no answer waits unread) and joined in order; fewer when the content
// ends first.
async function fetchBytes(offset, length) {
  const bytes = new Uint8Array(length);
  let got = 0;
  while (got < length) {
    const want = Math.min(PIECE_BYTES, length - got);
    const piece = hexToBytes((await get('/api/bytes', { offset: offset + got, length: want })).hex);
    bytes.set(piece, got);
    got += piece.length;
    if (piece.length < want) break;
  }
  return bytes.subarray(0, got);
}

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
  const length = e - s + 1;
  if (length > COPY_LIMIT) {
    showError(new Error(`a copy holds 16 MiB at most; this selection has ${length} bytes`));
    return;
  }
  try {
    await settled();
    const bytes = await fetchBytes(s, length);
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
