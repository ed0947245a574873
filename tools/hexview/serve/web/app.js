// hexview serve: the page. Wires the grid, the inspector and the panels to
// the server, and holds the keyboard map.
import { get, onBusy, onJob, onStale, setContentVersion, startSession } from './api.js';
import { JobBar } from './job.js';
import { HexGrid } from './grid.js';
import { renderInspector } from './inspector.js';
import { SearchPanel } from './search.js';
import { EditTrail, EditsPanel, makeAsk } from './edits.js';
import { ComparePanel } from './compare.js';
import { EntropyStrip, loadAnalysis } from './analysis.js';
import { copySelection } from './copy.js';
import { PasteTool } from './paste.js';
import { FillTool } from './fill.js';
import { ReplaceTool } from './replace.js';
import { OpenDialog } from './open.js';
import { HashesPanel } from './hashes.js';
import { StringsPanel } from './strings.js';
import { BookmarksPanel } from './bookmarks.js';
import { humanSize, parseOffset } from './util.js';

const $ = (id) => document.getElementById(id);

// An error stays over the page (it moves nothing) until it is dismissed or
// the person's next action: a key (not a modifier alone, nor one typed into
// a field), a click (not into a field), or a form sent. That action, when it
// fails too, shows its own error.
function showError(e) {
  $('error-text').textContent = e && e.message ? e.message : String(e);
  $('error').hidden = false;
}
const dropError = () => { $('error').hidden = true; };
$('error-close').addEventListener('click', dropError);
const FIELD = 'input, select, textarea, [contenteditable]';
const MODIFIERS = ['Shift', 'Control', 'Alt', 'AltGraph', 'Meta', 'CapsLock'];
// Caught before the page's own handlers, so an error they show stays.
document.addEventListener('keydown', (e) => {
  // A key typed into a field is no action yet; Enter there is.
  if (MODIFIERS.includes(e.key) || (e.target.closest?.(FIELD) && e.key !== 'Enter')) return;
  dropError();
}, true);
document.addEventListener('pointerdown', (e) => {
  if (!e.target.closest?.(`#error, ${FIELD}`)) dropError();
}, true);
document.addEventListener('submit', dropError, true);

// A launch address pasted into this tab starts the page again with it (a
// change of the fragment alone loads nothing).
window.addEventListener('hashchange', () => {
  if (window.location.hash.includes('launch=')) window.location.reload();
});

// A short confirmation over the grid, wherever the person is working.
let noticeTimer = 0;
function notify(text) {
  $('notice').textContent = text;
  $('notice').hidden = false;
  clearTimeout(noticeTimer);
  noticeTimer = setTimeout(() => { $('notice').hidden = true; }, 5000);
}

// -0x1e01, not 0x-1e01.
const signedHex = (n) => (n < 0 ? '-0x' : '0x') + Math.abs(n).toString(16);

function showPath(path) {
  const name = path.split(/[\\/]/).pop();
  document.title = `${name} – hexview`;
  $('file-name').textContent = path;
  $('file-name').title = path;
}

const jobs = new JobBar({ bar: $('job-bar'), text: $('job-text'), meter: $('job-meter'), cancel: $('job-cancel') });
onJob((started) => jobs.follow(started));

// The Tools tab: hashes, bookmarks and strings of the selection or the file.
function makeTools(grid, path, staged, trail) {
  const hashes = new HashesPanel({
    elements: { form: $('hash-form'), scope: $('hash-scope'), summary: $('hash-summary'), list: $('hash-list') },
    grid, showError,
  });
  const bookmarks = new BookmarksPanel({
    elements: { form: $('bookmark-form'), name: $('bookmark-name'), range: $('bookmark-range'), list: $('bookmark-list'), summary: $('bookmark-summary') },
    grid, path, staged, showError,
  });
  const strings = new StringsPanel({
    elements: { form: $('strings-form'), min: $('strings-min'), kinds: $('strings-kinds'), summary: $('strings-summary'), list: $('strings-list'), more: $('strings-more') },
    grid, trail, showError,
  });
  return {
    hashes, bookmarks, strings,
    cursorMoved() {
      if ($('pane-tools').hidden) return;
      hashes.showScope();
      bookmarks.showRange();
    },
    editsChanged() {
      hashes.editsChanged();
      strings.editsChanged();
      bookmarks.render();
    },
  };
}

// A save started by this tab before a reload (or by a closed tab) runs on:
// the page follows it to its end, or says how it ended when nobody heard.
async function reportSaveOfEarlierPage(edits, notify, showError) {
  let job;
  try {
    job = await get('/api/job', {}, { quiet: true });
  } catch (e) {
    return;
  }
  if (job.op !== 'save') return;
  let ended = job;
  if (job.state === 'running') ended = await jobs.follow(job).catch(() => null);
  else if (!job.unseen) return;
  if (!ended) return;
  await edits.refresh();
  const answer = ended.answer || {};
  if (ended.status >= 200 && ended.status < 300) notify(`The save started before this page was loaded ended: saved ${answer.saved || edits.path}`);
  else showError(new Error(`The save started before this page was loaded did not end well: ${answer.error || 'failed'}`));
}

async function boot() {
  let info;
  try {
    await startSession();
    info = await get('/api/info');
  } catch (e) {
    showError(e);
    return;
  }
  const writable = info.writable;
  setContentVersion(info.version ?? null);
  showPath(info.path);
  $('mode-badge').textContent = writable ? 'read-write' : 'read-only';
  $('mode-badge').classList.toggle('rw', writable);

  let insertMode = false;
  let edits, search, compare, tools;
  const grid = new HexGrid({
    grid: $('grid'), scroller: $('scroller'), spacer: $('scroll-spacer'), headHex: $('head-hex'),
    marks: {
      hit: (off) => search.markAt(off),
      edit: (off) => edits.markAt(off),
      diff: (off) => compare.markAt(off),
    },
    onCursor: () => { updateStatus(); scheduleInspector(); tools?.cursorMoved(); },
    onSize: (size, version) => { grid.setSize(size, version); updateStatus(); },
    onError: showError,
    onNotice: notify,
    onKey: (e) => typing(e),
  });
  grid.setAppendable(writable);
  const refreshGrid = () => grid.render();
  const limits = info.limits;
  const edited = () => edits.edited;
  const staged = () => edits.staged;
  const trail = new EditTrail(staged);
  search = new SearchPanel({
    elements: {
      form: $('search-form'), mode: $('search-mode'), input: $('search-input'), fromCursor: $('search-from-cursor'),
      summary: $('search-summary'), list: $('hit-list'), more: $('hit-more'), next: $('hit-next'), prev: $('hit-prev'),
    },
    grid, limits, edited, trail, showError, refreshGrid,
  });
  compare = new ComparePanel({
    elements: { form: $('compare-form'), input: $('compare-input'), summary: $('compare-summary'), list: $('run-list'), more: $('run-more') },
    grid, limits, edited, trail, showError, refreshGrid,
  });
  const ask = makeAsk({
    dialog: $('confirm-dialog'), title: $('confirm-title'), text: $('confirm-text'), ok: $('confirm-ok'), cancel: $('confirm-cancel'),
  });
  edits = new EditsPanel({
    elements: {
      list: $('staged-list'), summary: $('edits-summary'), count: $('edit-count'), status: $('st-edits'), savedNote: $('saved-note'),
      undo: $('undo-btn'), redo: $('redo-btn'), save: $('save-btn'),
      insert: $('insert-btn'), delete: $('delete-btn'), discard: $('discard-btn'),
      insertForm: $('insert-form'), insertInput: $('insert-input'), insertCancel: $('insert-cancel'),
      saveAsForm: $('saveas-form'), saveAsInput: $('saveas-input'),
      risk: $('at-risk'), riskText: $('at-risk-text'), riskSave: $('at-risk-save'),
      writeOnly: [$('edit-actions'), $('insert-btn'), $('delete-btn'), $('discard-btn'), $('saveas-form')],
    },
    grid, ask, showError, notify, path: info.path, writable, limits,
    onChange: (size) => {
      grid.setSize(size, edits.version);
      grid.invalidate();
      search.editsChanged();
      compare.editsChanged();
      tools.editsChanged();
      updateStatus();
      scheduleInspector();
    },
    onPath: showPath,
    onSaved: (saved, path) => {
      trail.saved(saved);
      tools.bookmarks.saved(saved, path);
    },
    onShowEdits: () => selectTab('edits'),
  });
  tools = makeTools(grid, info.path, staged, trail);

  // ---- status bar and inspector ------------------------------------------
  function updateStatus() {
    const c = grid.cursor;
    $('st-cursor').textContent = grid.size || c ? `offset 0x${c.toString(16)} (${c.toLocaleString('en')})${c >= grid.size ? ', after the end' : ''}`
      : writable ? 'offset 0x0 (0), the file is empty: type to add bytes' : 'offset —';
    if (grid.hasSelection()) {
      const [s, e] = grid.selection();
      $('st-selection').textContent = `selected 0x${s.toString(16)}–0x${e.toString(16)} (${(e - s + 1).toLocaleString('en')} bytes)`;
    } else {
      $('st-selection').textContent = '';
    }
    $('st-size').textContent = `size ${humanSize(grid.size)} (${grid.size.toLocaleString('en')} bytes)${edits.edited ? ', with staged edits' : ''}`;
    $('st-mode').textContent = writable ? 'read-write' : 'read-only';
    $('st-input').textContent = writable ? `${insertMode ? 'INS' : 'OVR'} · ${grid.column} column` : `${grid.column} column`;
  }
  let inspectorTimer = 0;
  let inspectorAt = -1;
  function scheduleInspector() {
    clearTimeout(inspectorTimer);
    inspectorTimer = setTimeout(async () => {
      // The selection's first byte, whichever way it was made; else the cursor's.
      const at = grid.selection()[0];
      const bytes = grid.size ? await grid.bytesAt(at, 8) : null;
      const onEdit = async (b) => { if (await edits.write(at, b)) grid.focus(); };
      const edit = writable ? { onEdit, onError: showError } : null;
      // A value being typed in the inspector stays until Enter or a move.
      if (document.activeElement.closest('#inspector') && at === inspectorAt) return;
      inspectorAt = at;
      if (at === grid.selection()[0]) renderInspector($('inspector'), $('inspector-at'), at, bytes, grid.size, edit);
    }, 25);
  }
  onBusy((busy) => { $('st-busy').textContent = busy ? 'working…' : ''; });

  // ---- typing in the grid: every edit goes through the edits panel's queue --
  function typing(e) {
    // AltGr makes characters (@ { € on many layouts); Windows reports it as Ctrl+Alt.
    const altGr = e.getModifierState('AltGraph') || (e.ctrlKey && e.altKey && !e.metaKey);
    if ((e.ctrlKey || e.metaKey || e.altKey) && !altGr) return false;
    if (e.key === 'Insert') {
      insertMode = !insertMode;
      updateStatus();
      return true;
    }
    if (e.key === 'Delete' || e.key === 'Backspace') {
      if (!writable) return readOnly();
      edits.deleteAtCursor(e.key === 'Backspace');
      return true;
    }
    if (e.key.length !== 1 && [...e.key].length !== 1) return false;
    if (grid.column === 'hex') {
      if (!/^[0-9a-fA-F]$/.test(e.key)) return false;
      if (!writable) return readOnly();
      if (grid.pending === null) {
        // Typing over a selection starts at its first byte.
        if (grid.hasSelection()) grid.moveTo(grid.selection()[0]);
        grid.setPending(e.key.toLowerCase());
        return true;
      }
      const byte = parseInt(grid.pending + e.key, 16);
      grid.setPending(null);
      putBytes([byte]);
      return true;
    }
    if (!writable) return readOnly();
    putBytes([...new TextEncoder().encode(e.key)]);
    return true;
  }
  function readOnly() {
    showError(new Error('the file is open read-only: restart hexview serve without --read-only to edit'));
    return true;
  }
  // Overwrite (or insert) at the cursor, or at the selection's first byte,
  // and step past the bytes at once; the server stores them in order behind
  // the scenes. Past the last byte, typing appends.
  function putBytes(bytes) {
    const at = grid.hasSelection() ? grid.selection()[0] : grid.cursor;
    const over = insertMode ? 0 : Math.max(0, Math.min(bytes.length, grid.size - at));
    if (over && !edits.type('write', at, bytes.slice(0, over))) return grid.moveTo(at);
    if (over < bytes.length && !edits.type('insert', at + over, bytes.slice(over))) return grid.moveTo(at + over);
    grid.moveTo(at + bytes.length);
  }

  // ---- keys anywhere -----------------------------------------------------
  document.addEventListener('keydown', (e) => {
    const inField = e.target.matches('input, select, textarea, [contenteditable]');
    const key = e.key.toLowerCase();
    if (e.key === 'F1' || (!inField && !e.defaultPrevented && e.key === '?' && !e.ctrlKey && !e.metaKey)) {
      e.preventDefault();
      if (!$('help-dialog').open) $('help-dialog').showModal();
    } else if (!inField && (e.ctrlKey || e.metaKey) && key === 'c' && !e.shiftKey) {
      e.preventDefault();
      copySelection(grid, 'hex', notify, showError, () => edits.settled());
    } else if (!inField && (e.ctrlKey || e.metaKey) && key === 'a') {
      e.preventDefault();
      grid.selectAll();
      grid.focus();
    } else if (e.key === 'F3') {
      e.preventDefault();
      search.step(e.shiftKey ? -1 : 1);
    } else if ((e.ctrlKey || e.metaKey) && key === 'g') {
      e.preventDefault();
      $('goto-input').focus();
      $('goto-input').select();
    } else if ((e.ctrlKey || e.metaKey) && key === 'f') {
      e.preventDefault();
      selectTab('search');
      $('search-input').focus();
      $('search-input').select();
    } else if ((e.ctrlKey || e.metaKey) && key === 's') {
      e.preventDefault();
      if (writable) edits.save();
    } else if ((e.ctrlKey || e.metaKey) && key === 'o') {
      e.preventDefault();
      opener.show();
    } else if ((e.ctrlKey || e.metaKey) && key === 'd') {
      e.preventDefault();
      selectTab('tools');
      tools.bookmarks.focusName();
    } else if ((e.ctrlKey || e.metaKey) && key === 'i' && writable) {
      e.preventDefault();
      selectTab('edits');
      edits.openInsert();
    } else if (!inField && (e.ctrlKey || e.metaKey) && writable && (key === 'y' || (key === 'z' && e.shiftKey))) {
      e.preventDefault();
      edits.redo();
    } else if (!inField && (e.ctrlKey || e.metaKey) && writable && key === 'z') {
      e.preventDefault();
      edits.undo();
    }
  });

  $('goto-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const off = parseOffset($('goto-input').value, grid.cursor);
    if (off === null) return showError(new Error(`not an offset: "${$('goto-input').value}" (use decimal, or hex with 0x)`));
    if (off < 0 || off > grid.lastCursor) return showError(new Error(`offset ${signedHex(off)} is outside the file (0 to ${signedHex(grid.lastCursor)})`));
    $('grid').focus();
    await grid.jump(off);
  });

  // ---- tabs --------------------------------------------------------------
  const tabs = ['search', 'edits', 'analysis', 'compare', 'tools'];
  const analysisElements = {
    summary: $('summary'), entropyChart: $('entropy-chart'), bucketChart: $('bucket-chart'),
    histogramChart: $('histogram-chart'), histogramCaption: $('histogram-caption'),
  };
  const analysisRange = () => (grid.hasSelection() ? grid.selection() : null);
  function selectTab(name) {
    for (const t of tabs) {
      $(`tab-${t}`).setAttribute('aria-selected', String(t === name));
      $(`tab-${t}`).tabIndex = t === name ? 0 : -1;
      $(`pane-${t}`).hidden = t !== name;
    }
    if (name === 'analysis') loadAnalysis(analysisElements, showError, analysisRange());
    if (name === 'tools') tools.cursorMoved();
  }
  tabs.forEach((t, i) => {
    $(`tab-${t}`).addEventListener('click', () => selectTab(t));
    $(`tab-${t}`).addEventListener('keydown', (e) => {
      const step = e.key === 'ArrowRight' ? 1 : e.key === 'ArrowLeft' ? -1 : 0;
      if (!step) return;
      const next = tabs[(i + step + tabs.length) % tabs.length];
      selectTab(next);
      $(`tab-${next}`).focus();
    });
  });
  const strip = new EntropyStrip($('entropy-strip'), grid, showError);
  $('analysis-refresh').addEventListener('click', () => {
    loadAnalysis(analysisElements, showError, analysisRange());
    strip.load();
  });
  selectTab('search');

  // ---- edit tools: paste, fill, find and replace ----------------------------
  const toolParts = { grid, edits, writable, showError, notify };
  new PasteTool({
    ...toolParts, insertMode: () => insertMode,
    elements: { form: $('paste-form'), input: $('paste-input'), kind: $('paste-kind'), grid: $('grid') },
  });
  new FillTool({ ...toolParts, elements: { form: $('fill-form'), input: $('fill-input') } });
  new ReplaceTool({
    ...toolParts, search, limits,
    elements: { form: $('replace-form'), input: $('replace-input'), all: $('replace-all') },
  });

  $('copy-form').addEventListener('submit', (e) => {
    e.preventDefault();
    copySelection(grid, $('copy-format').value, notify, showError, () => edits.settled());
  });

  // Another tab on the same server may have staged, saved or changed the
  // bookmarks: catch up when this one comes back into view.
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState !== 'visible') return;
    edits.refresh();
    tools.bookmarks.reload();
  });
  // Another file: the page starts again on it, and says what its open found.
  let reopening = false;
  const opener = new OpenDialog({
    dialog: $('open-dialog'), form: $('open-form'), input: $('open-input'), files: $('open-files'),
    folder: $('open-folder'), cancel: $('open-cancel'), unsaved: () => edits.editCount, ask, showError,
    onOpened: (notice) => {
      if (notice) sessionStorage.setItem('hexview-notice', notice);
      reopening = true;  // the edits were dropped by the server already
      window.location.reload();
    },
  });
  $('open-btn').addEventListener('click', () => opener.show());
  const notice = sessionStorage.getItem('hexview-notice');
  if (notice) {
    sessionStorage.removeItem('hexview-notice');
    notify(notice);
  }
  // A change made on what another tab replaced: this tab starts again on
  // the file as it is now, and says why.
  onStale(() => {
    sessionStorage.setItem('hexview-stale', 'Not done: the file or its edits changed in another tab. '
      + 'This tab now shows the file as it is.');
    reopening = true;
    window.location.reload();
  });
  const stale = sessionStorage.getItem('hexview-stale');
  if (stale) {
    sessionStorage.removeItem('hexview-stale');
    showError(new Error(stale));
  }

  // Closing or reloading the tab with unsaved edits asks first.
  // A running save carries them to the file whatever the tab does.
  window.addEventListener('beforeunload', (e) => {
    if (!edits.editCount || reopening || edits.saving) return;
    e.preventDefault();
    e.returnValue = '';
  });

  grid.setSize(info.size);
  grid.layout();
  await edits.refresh();
  await reportSaveOfEarlierPage(edits, notify, showError);
  await tools.bookmarks.loaded;
  strip.load();
  updateStatus();
  scheduleInspector();
  $('grid').focus();

  // For the browser tests and the benchmark: jump and time until painted.
  window.hexview = {
    grid, search, edits, compare, strip, tools,
    async timedJump(offset) {
      const t0 = performance.now();
      await grid.jump(offset);
      return performance.now() - t0;
    },
  };
  document.body.dataset.ready = 'true';
}

boot();
