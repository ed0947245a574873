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

// `elements`: the summary list and the two chart boxes in the page.
export async function loadAnalysis({ summary, entropyChart: entropyBox, bucketChart: bucketBox }, showError) {
  try {
    const [info, profile] = await Promise.all([get('/api/info'), get('/api/entropy')]);
    const i = info.info;
    const facts = [
      ['name', i.name],
      ['size', `${humanSize(i.size)} (${i.size.toLocaleString('en')} bytes)`],
      ['open', i.is_rw ? 'read-write' : 'read-only'],
      ['entropy', `${i.entropy_avg.toFixed(4)} bits/byte (first and last MiB)`],
      ['edits', i.modified ? `staged, ${i.staged_bytes.toLocaleString('en')} byte${i.staged_bytes === 1 ? '' : 's'}` : 'none staged'],
      ['sampled', `${humanSize(profile.sampled_bytes)} in eight blocks from the start`],
    ];
    summary.replaceChildren(...facts.flatMap(([k, v]) => [el('dt', { text: k }), el('dd', { text: v })]));
    entropyBox.replaceChildren(entropyChart(profile));
    bucketBox.replaceChildren(bucketChart(profile.buckets));
  } catch (e) {
    showError(e);
  }
}
