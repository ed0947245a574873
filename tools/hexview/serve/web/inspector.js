// The data inspector: the bytes at the cursor, or from the selection's first
// byte, as integers of 8 to 64 bits in both byte orders, as floats, and as
// ASCII and UTF-8. In a writable file each number is a field: a value typed
// there and Enter stage its bytes over the bytes shown, in that field's byte
// order.
import { el, hex } from './util.js';

const INTS = [
  ['int8', 1, 'getInt8'], ['uint8', 1, 'getUint8'],
  ['int16', 2, 'getInt16'], ['uint16', 2, 'getUint16'],
  ['int32', 4, 'getInt32'], ['uint32', 4, 'getUint32'],
  ['int64', 8, 'getBigInt64'], ['uint64', 8, 'getBigUint64'],
  ['float32', 4, 'getFloat32'], ['float64', 8, 'getFloat64'],
];

function formatFloat(v) {
  if (Number.isNaN(v) || !Number.isFinite(v)) return String(v);
  return Math.abs(v) !== 0 && (Math.abs(v) >= 1e15 || Math.abs(v) < 1e-6) ? v.toExponential(6) : String(+v.toPrecision(9));
}

const INTEGER = /^[-+]?(0x[0-9a-f]+|[0-9]+)$/i;

// A typed integer within the type's range, as a BigInt.
function integerValue(name, width, text) {
  if (!INTEGER.test(text)) throw new Error(`not an integer: "${text}" (type a whole number, or hex with 0x, for ${name})`);
  const negative = text.startsWith('-');
  const v = BigInt(text.replace(/^[-+]/, '')) * (negative ? -1n : 1n);
  const bits = BigInt(8 * width);
  const signed = !name.startsWith('u');
  const min = signed ? -(1n << (bits - 1n)) : 0n;
  const max = signed ? (1n << (bits - 1n)) - 1n : (1n << bits) - 1n;
  if (v < min || v > max) throw new Error(`${text} is out of range for ${name} (${min} to ${max})`);
  return v;
}

// A typed float: a number, inf or nan; a float32 must fit one.
function floatValue(name, text) {
  const word = text.toLowerCase().replace(/^\+/, '');
  const named = { inf: Infinity, infinity: Infinity, '-inf': -Infinity, '-infinity': -Infinity, nan: NaN, '-nan': NaN };
  const v = word in named ? named[word] : /^-?(\d+\.?\d*|\.\d+)(e[-+]?\d+)?$/.test(word) ? Number(word) : undefined;
  if (v === undefined) throw new Error(`not a number: "${text}" (type a ${name} such as 1.5, -2e10, inf or nan)`);
  const most = name === 'float32' ? 3.4028234663852886e38 : Number.MAX_VALUE;
  if (!(word in named) && !(Math.abs(v) <= most))
    throw new Error(`${text} is out of range for ${name} (at most ±${most.toPrecision(8)})`);
  return v;
}

// The bytes of `text` as the row's type in that byte order; throws an Error
// that says what is wrong with the value.
export function encodeValue(name, width, setter, little, text) {
  const t = text.trim();
  const view = new DataView(new ArrayBuffer(width));
  if (name.startsWith('float')) view[setter](0, floatValue(name, t), little);
  else if (width === 8) view[setter](0, integerValue(name, width, t), little);
  else view[setter](0, Number(integerValue(name, width, t)), little);
  return [...new Uint8Array(view.buffer)];
}

// A number shown in an editable cell (its text stays the page's text): Enter
// stages the typed value, Escape puts the shown one back.
function valueCell(shown, label, encode, onEdit, onError) {
  const td = el('td', { class: 'iv', contenteditable: 'true', role: 'textbox', spellcheck: 'false', text: shown,
    title: `${label}: type a value and press Enter to write it`, 'aria-label': label });
  td.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
      td.textContent = shown;
      return;
    }
    if (e.key !== 'Enter') return;
    e.preventDefault();
    const typed = td.textContent.trim();
    if (typed === shown) return;
    try {
      onEdit(encode(typed));
    } catch (err) {
      onError(err);
    }
  });
  td.addEventListener('focus', () => window.getSelection().selectAllChildren(td));
  return td;
}

function ascii(b) {
  if (b >= 0x20 && b < 0x7f) return `'${String.fromCharCode(b)}'`;
  const names = { 0: 'NUL', 9: 'TAB', 10: 'LF', 13: 'CR', 27: 'ESC', 127: 'DEL' };
  return names[b] || (b < 0x20 ? 'control' : 'not ASCII');
}

function utf8(bytes) {
  if (!bytes.length) return '';
  const b0 = bytes[0];
  const len = b0 < 0x80 ? 1 : b0 >= 0xc2 && b0 < 0xe0 ? 2 : b0 >= 0xe0 && b0 < 0xf0 ? 3 : b0 >= 0xf0 && b0 < 0xf5 ? 4 : 0;
  if (!len || bytes.length < len) return 'not UTF-8';
  try {
    const ch = new TextDecoder('utf-8', { fatal: true }).decode(bytes.slice(0, len));
    const cp = ch.codePointAt(0);
    const shown = cp < 0x20 || cp === 0x7f ? '' : `'${ch}' `;
    return `${shown}U+${cp.toString(16).toUpperCase().padStart(4, '0')} (${len} byte${len > 1 ? 's' : ''})`;
  } catch (e) {
    return 'not UTF-8';
  }
}

// `edit`: {onEdit(bytes), onError(e)} in a writable file, else null.
export function renderInspector(table, atEl, offset, bytes, size, edit = null) {
  atEl.textContent = bytes ? `at 0x${hex(offset, 1)}` : '';
  const rows = [el('thead', {}, el('tr', {}, el('th', { text: 'type' }), el('th', { text: 'little-endian' }), el('th', { text: 'big-endian' })))];
  const body = el('tbody');
  if (!bytes || !bytes.length) {
    body.append(el('tr', {}, el('td', { colspan: 3, text: size === 0 ? 'the file is empty' : '—' })));
    table.replaceChildren(...rows, body);
    return;
  }
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (const [name, width, getter] of INTS) {
    const cell = (little) => {
      if (width === 1 && !little) return el('td');
      if (bytes.length < width) return el('td', { text: '—', title: `${width} bytes are needed` });
      const v = view[getter](0, little);
      const shown = name.startsWith('float') ? formatFloat(v) : String(v);
      if (!edit) return el('td', { text: shown, title: shown });
      const order = width === 1 ? '' : little ? ' little-endian' : ' big-endian';
      const encode = (text) => encodeValue(name, width, getter.replace('get', 'set'), little, text);
      return valueCell(shown, `${name}${order}`, encode, edit.onEdit, edit.onError);
    };
    body.append(el('tr', {}, el('th', { text: name }), cell(true), cell(false)));
  }
  body.append(el('tr', {}, el('th', { text: 'binary' }), el('td', { colspan: 2, text: bytes[0].toString(2).padStart(8, '0') })));
  body.append(el('tr', {}, el('th', { text: 'ASCII' }), el('td', { colspan: 2, text: ascii(bytes[0]) })));
  body.append(el('tr', {}, el('th', { text: 'UTF-8' }), el('td', { colspan: 2, text: utf8(bytes) })));
  table.replaceChildren(...rows, body);
}
