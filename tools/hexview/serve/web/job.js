// The long call running on the server (a search, compare, save or hash): a bar
// with the bytes done, the hits so far and the time left, a Cancel button
// and Esc. The page stays live meanwhile; the server refuses changes and a
// second long call until the job ends. Leaving the page cancels the job,
// unless it is a save.
import { get, post, cancelOnLeave } from './api.js';
import { humanSize } from './util.js';

const POLL_MS = 250;
const OPS = { search: 'Searching', compare: 'Comparing', save: 'Saving', hash: 'Hashing' };

function timeLeft(ms) {
  const s = Math.ceil(ms / 1000);
  if (s < 60) return `about ${s} s left`;
  return `about ${Math.floor(s / 60)} min ${s % 60} s left`;
}

export class JobBar {
  // `elements`: bar, text, meter, cancel.
  constructor(elements) {
    Object.assign(this, elements);
    this.id = 0;
    this.cancel.addEventListener('click', () => this.stop());
    document.addEventListener('keydown', (e) => {
      if (e.key === 'Escape' && this.id) {
        e.preventDefault();
        this.stop();
      }
    });
  }

  async stop() {
    if (!this.id) return;
    this.text.textContent = 'Cancelling…';
    try {
      await post('/api/cancel', { job: this.id });
    } catch (e) { /* the job's own end says what happened */ }
  }

  show(s) {
    const pct = s.total > 0 ? Math.min(100, (100 * s.done) / s.total) : 0;
    this.meter.value = pct;
    const parts = [`${OPS[s.op] || 'Working'}: ${humanSize(s.done)} of ${humanSize(s.total)} (${pct.toFixed(0)}%)`];
    if (s.op === 'search') parts.push(`${s.hits.toLocaleString('en')} hit${s.hits === 1 ? '' : 's'} so far`);
    if (s.done > 0 && s.total > s.done) parts.push(timeLeft((s.elapsed_ms * (s.total - s.done)) / s.done));
    this.text.textContent = parts.join(' · ');
  }

  // Follows a job the server started until it ends: its answer, as the
  // request that started it would have had it.
  async follow(started) {
    this.id = started.job;
    // A save the person confirmed runs to its end even when the tab goes.
    const stopWatching = started.op === 'save' ? () => {} : cancelOnLeave(started.job);
    this.bar.hidden = false;
    this.show(started);
    try {
      for (;;) {
        await new Promise((r) => setTimeout(r, POLL_MS));
        const s = await get('/api/job', {}, { quiet: true });
        if (s.job !== started.job) throw new Error('the server lost track of the running job');
        if (s.state === 'running') {
          this.show(s);
          continue;
        }
        return { status: s.status, answer: s.answer };
      }
    } finally {
      stopWatching();
      this.id = 0;
      this.bar.hidden = true;
    }
  }
}
