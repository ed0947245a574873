// Analysis: the engine's summary, and its entropy profile drawn as a chart
// beside the byte-value counts (SVG built here; nothing fetched from outside).
import { get } from './api.js';
import { el, humanSize } from './util.js';

const SVG = 'http://www.w3.org/2000/svg';

function svg(tag, attrs = {}, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

// Minimum, mean and maximum block entropy on a 0 to 8 bits-per-byte scale.
function entropyChart(p) {
  const W = 340, H = 96, L = 34, R = 10, top = 14, barH = 30;
  const x = (bits) => L + (bits / 8) * (W - L - R);
  const s = svg('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label':
    `entropy: minimum ${p.entropy_min}, mean ${p.entropy_avg}, maximum ${p.entropy_max} bits per byte` });
  s.append(svg('rect', { class: 'axis', x: L, y: top, width: W - L - R, height: barH, fill: 'none' }));
  s.append(svg('rect', { class: 'range', x: x(p.entropy_min), y: top, width: Math.max(2, x(p.entropy_max) - x(p.entropy_min)), height: barH },));
  s.append(svg('line', { class: 'avg', x1: x(p.entropy_avg), x2: x(p.entropy_avg), y1: top - 4, y2: top + barH + 4 }));
  for (let b = 0; b <= 8; b += 2) {
    s.append(svg('line', { class: 'axis', x1: x(b), x2: x(b), y1: top + barH, y2: top + barH + 5 }));
    s.append(svg('text', { x: x(b), y: top + barH + 17, 'text-anchor': 'middle' }, String(b)));
  }
  s.append(svg('text', { x: 0, y: top + barH / 2 + 4 }, 'bits'));
  const legend = `min ${p.entropy_min.toFixed(3)}   mean ${p.entropy_avg.toFixed(3)}   max ${p.entropy_max.toFixed(3)}`;
  s.append(svg('text', { x: L, y: H - 6 }, legend));
  return s;
}

// Bars of the counts of the values 0x00, 0x10, ... 0xf0.
function bucketChart(buckets) {
  const W = 340, H = 150, L = 6, bottom = 20, top = 8;
  const max = Math.max(1, ...buckets);
  const slot = (W - L) / buckets.length;
  const s = svg('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': `counts of byte values: ${buckets.join(', ')}` });
  buckets.forEach((n, k) => {
    const h = n ? Math.max(1.5, (n / max) * (H - bottom - top)) : 0;
    const bar = svg('rect', { class: 'bar', x: L + k * slot + 2, y: H - bottom - h, width: slot - 4, height: h });
    bar.append(svg('title', {}, `0x${(16 * k).toString(16).padStart(2, '0')}: ${n.toLocaleString('en')}`));
    s.append(bar);
    if (k % 2 === 0) s.append(svg('text', { x: L + k * slot + slot / 2, y: H - 6, 'text-anchor': 'middle' }, (16 * k).toString(16).padStart(2, '0')));
  });
  s.append(svg('line', { class: 'axis', x1: L, x2: W, y1: H - bottom, y2: H - bottom }));
  return s;
}

// Bars of the counts of all 256 byte values.
function histogramChart(counts) {
  const W = 340, H = 130, L = 6, bottom = 20, top = 6;
  const max = Math.max(1, ...counts);
  const slot = (W - L) / 256;
  const s = svg('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': 'counts of the 256 byte values' });
  counts.forEach((n, v) => {
    if (!n) return;
    const h = Math.max(1, (n / max) * (H - bottom - top));
    const bar = svg('rect', { class: 'bar', x: L + v * slot, y: H - bottom - h, width: Math.max(0.8, slot - 0.2), height: h });
    bar.append(svg('title', {}, `0x${v.toString(16).padStart(2, '0')}: ${n.toLocaleString('en')}`));
    s.append(bar);
  });
  for (let v = 0; v < 256; v += 64) s.append(svg('text', { x: L + v * slot, y: H - 6 }, `0x${v.toString(16).padStart(2, '0')}`));
  s.append(svg('line', { class: 'axis', x1: L, x2: W, y1: H - bottom, y2: H - bottom }));
  return s;
}

// The real byte histogram of the selection (or of the whole file), sampled
// by the server on large ranges.
async function loadHistogram({ histogramChart: box, histogramCaption: caption }, range) {
  const h = await get('/api/histogram', range ? { offset: range[0], length: range[1] - range[0] + 1 } : {});
  const what = range ? `the selection 0x${range[0].toString(16)}–0x${range[1].toString(16)}` : 'the whole file';
  const sampled = h.sampled < h.length ? `, sampled: ${humanSize(h.sampled)} in 256 pieces` : '';
  caption.textContent = `Counts of all 256 byte values in ${what}${sampled}; entropy ${h.entropy.toFixed(3)} bits/byte`;
  box.replaceChildren(histogramChart(h.counts));
}

// The entropy strip beside the scroll bar: one figure per region of the
// whole file; a click goes to the region.
export class EntropyStrip {
  constructor(canvas, grid, showError) {
    Object.assign(this, { canvas, grid, showError });
    this.map = null;
    canvas.addEventListener('click', (e) => {
      if (!this.map || !this.grid.size) return;
      const r = canvas.getBoundingClientRect();
      const at = Math.floor(((e.clientY - r.top) / r.height) * this.grid.size);
      this.grid.focus();
      this.grid.jump(Math.min(at - (at % 16), this.grid.lastOffset));
    });
  }

  async load() {
    const height = Math.max(16, Math.min(1024, Math.round(this.canvas.clientHeight / 2)));
    try {
      this.map = await get('/api/entropy-map', { regions: height });
    } catch (e) {
      this.showError(e);
      return;
    }
    const values = this.map.entropy;
    this.canvas.height = values.length;
    this.canvas.width = 1;
    const ctx = this.canvas.getContext('2d');
    values.forEach((bits, i) => {
      const t = bits / 8;  // dark blue for low entropy, warm yellow for high
      ctx.fillStyle = `hsl(${230 - 190 * t} 70% ${18 + 52 * t}%)`;
      ctx.fillRect(0, i, 1, 1);
    });
    this.canvas.dataset.regions = values.length;
  }
}

// `elements`: the summary list and the chart boxes in the page; `range`:
// the selection as [first, last], or null for the whole file.
export async function loadAnalysis(elements, showError, range = null) {
  const { summary, entropyChart: entropyBox, bucketChart: bucketBox } = elements;
  try {
    const [info, profile] = await Promise.all([get('/api/info'), get('/api/entropy')]);
    const i = info.info;
    const facts = [
      ['name', i.name],
      ['size', `${humanSize(i.size)} (${i.size.toLocaleString('en')} bytes)`],
      ['open', i.is_rw ? 'read-write' : 'read-only'],
      ['estimate', `${i.entropy_avg.toFixed(4)} bits/byte: the engine's estimate from the first and last MiB`],
      ['edits', i.modified ? `staged, ${i.staged_bytes.toLocaleString('en')} byte${i.staged_bytes === 1 ? '' : 's'}` : 'none staged'],
      ['profile', `${humanSize(profile.sampled_bytes)} in eight blocks from the start: the engine's profile below`],
    ];
    summary.replaceChildren(...facts.flatMap(([k, v]) => [el('dt', { text: k }), el('dd', { text: v })]));
    entropyBox.replaceChildren(entropyChart(profile));
    bucketBox.replaceChildren(bucketChart(profile.buckets));
    await loadHistogram(elements, range);
  } catch (e) {
    showError(e);
  }
}
