// Small shared helpers: offsets, hex text, elements.
export const ROW = 16;

export function hex(n, digits = 8) {
  return n.toString(16).padStart(digits, '0');
}

// The width the offset column needs for a file of this size.
export function offsetDigits(size) {
  return size > 0xffffffff ? 12 : 8;
}

export function formatOffset(n, size) {
  return '0x' + hex(n, offsetDigits(size));
}

// Decimal, or hex with 0x; also a leading + or - for a move from `from`.
export function parseOffset(text, from = 0) {
  let t = text.trim().toLowerCase().replace(/[_\s]/g, '');
  let sign = 0;
  if (t.startsWith('+') || t.startsWith('-')) {
    sign = t[0] === '+' ? 1 : -1;
    t = t.slice(1);
  }
  let v;
  if (/^0x[0-9a-f]+$/.test(t)) v = parseInt(t.slice(2), 16);
  else if (/^[0-9]+$/.test(t)) v = parseInt(t, 10);
  else if (/^[0-9a-f]+h$/.test(t)) v = parseInt(t.slice(0, -1), 16);
  else return null;
  if (!Number.isSafeInteger(v)) return null;
  return sign ? from + sign * v : v;
}

export function humanSize(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];
  let v = n;
  let u = 0;
  while (v >= 1024 && u < units.length - 1) {
    v /= 1024;
    u++;
  }
  return u === 0 ? `${n} B` : `${v.toFixed(v < 10 ? 2 : 1)} ${units[u]}`;
}

export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

// "48656c" -> "48 65 6c"
export function spacedHex(digits) {
  return digits.replace(/(..)(?!$)/g, '$1 ');
}

// Sorted, non-overlapping [start, end) ranges: is `off` inside one?
export function inRanges(ranges, off) {
  let lo = 0;
  let hi = ranges.length - 1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    const [s, e] = ranges[mid];
    if (off < s) hi = mid - 1;
    else if (off >= e) lo = mid + 1;
    else return mid;
  }
  return -1;
}
