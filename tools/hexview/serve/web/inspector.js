// The data inspector: the bytes at the cursor as integers of 8 to 64 bits in
// both byte orders, as floats, and as ASCII and UTF-8.
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

export function renderInspector(table, atEl, offset, bytes, size) {
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
    const value = (little) => {
      if (bytes.length < width) return '—';
      const v = view[getter](0, little);
      return name.startsWith('float') ? formatFloat(v) : String(v);
    };
    const le = value(true);
    const be = width === 1 ? '' : value(false);
    body.append(el('tr', {}, el('th', { text: name }), el('td', { text: le, title: le }), el('td', { text: be, title: be })));
  }
  body.append(el('tr', {}, el('th', { text: 'binary' }), el('td', { colspan: 2, text: bytes[0].toString(2).padStart(8, '0') })));
  body.append(el('tr', {}, el('th', { text: 'ASCII' }), el('td', { colspan: 2, text: ascii(bytes[0]) })));
  body.append(el('tr', {}, el('th', { text: 'UTF-8' }), el('td', { colspan: 2, text: utf8(bytes) })));
  table.replaceChildren(...rows, body);
}
