// Calls to the server's API. Every failure becomes an Error whose message is
// the server's (or the engine's) own text.
//
// The credential: the address hexview serve prints carries a single-use
// launch token in its fragment (#launch=...), which no request sends. The page
// trades it for a session token, keeps that in this tab's sessionStorage (a
// reload keeps working) and drops the fragment from the address bar and the
// history. Only this script sends the token, in a header of its own: no cookie
// carries it, so no other page's request can.
const SESSION_KEY = 'hexview-session';
let token = sessionStorage.getItem(SESSION_KEY) || '';

export async function startSession() {
  const launch = new URLSearchParams(window.location.hash.slice(1)).get('launch');
  if (window.location.hash) window.history.replaceState(null, '', window.location.pathname);
  if (!launch) return;
  const res = await fetch('/api/session', {
    method: 'POST', credentials: 'omit', cache: 'no-store',
    // No body: the server takes none before a token is checked.
    headers: { 'Content-Type': 'application/json', 'X-Hexview-Launch': launch },
  });
  const data = await res.json().catch(() => ({}));
  // A used address in a tab that has its session (a reload) changes nothing.
  if (!res.ok && token) return;
  if (!res.ok) throw new Error(data.error || `request failed (${res.status})`);
  token = data.token;
  sessionStorage.setItem(SESSION_KEY, token);
}

// A long call still running after the server's short wait answers 202 with
// its job; `follower(job)` follows it to the end and gives its answer.
let follower = null;
export function onJob(f) { follower = f; }

// Leaving the page cancels the job it started; the request outlives the page.
// (Not a save: that runs to its end, and the next page load says how it ended.)
export function cancelOnLeave(job) {
  const leave = () => {
    fetch('/api/cancel', {
      method: 'POST', credentials: 'omit', keepalive: true,
      headers: { 'X-Hexview-Token': token, 'Content-Type': 'application/json' }, body: JSON.stringify({ job }),
    }).catch(() => {});
  };
  window.addEventListener('pagehide', leave);
  return () => window.removeEventListener('pagehide', leave);
}

// The version of the content this page shows: every change carries it, and
// one made on another file or older edits (another tab's change came
// between) is refused as "stale"; `staleHandler` then starts the page again.
let contentVersion = null;
let staleHandler = null;
export function setContentVersion(v) { contentVersion = v; }
export function onStale(f) { staleHandler = f; }
// Another tab opened another file: this one starts again on it.
export function reportStale() { if (staleHandler) staleHandler(new Error('the file changed in another tab')); }

let busy = 0;
const busyListeners = [];

export function onBusy(listener) { busyListeners.push(listener); }

function setBusy(delta) {
  busy += delta;
  for (const l of busyListeners) l(busy > 0);
}

// `keepalive`: the request outlives the page (a reload right after a change).
async function call(method, path, body, { quiet = false, keepalive = false } = {}) {
  const init = { method, credentials: 'omit', keepalive, headers: { 'X-Hexview-Token': token } };
  if (method === 'POST') {
    init.headers['Content-Type'] = 'application/json';
    if (contentVersion !== null) init.headers['X-Hexview-Version'] = String(contentVersion);
    init.body = JSON.stringify(body || {});
  }
  if (!quiet) setBusy(1);
  try {
    let res;
    try {
      res = await fetch(path, init);
    } catch (e) {
      throw new Error('the server cannot be reached (is hexview serve still running?)');
    }
    const text = await res.text();
    let data;
    try {
      data = JSON.parse(text);
    } catch (e) {
      throw new Error(`unexpected answer from the server (${res.status})`);
    }
    let status = res.status;
    if (status === 202 && data.job && follower) {
      // The job's bar shows it from here on; the page is not busy meanwhile.
      if (!quiet) setBusy(-1);
      try {
        ({ status, answer: data } = await follower(data));
      } finally {
        if (!quiet) setBusy(1);
      }
    }
    if (status < 200 || status > 299) {
      const err = new Error(data.error || `request failed (${status})`);
      err.status = status;
      if (data.reason === 'stale' && staleHandler) staleHandler(err);
      throw err;
    }
    return data;
  } finally {
    if (!quiet) setBusy(-1);
  }
}

export const get = (path, params = {}, options = {}) => {
  const q = new URLSearchParams(params).toString();
  return call('GET', q ? `${path}?${q}` : path, undefined, options);
};
export const post = (path, body, options = {}) => call('POST', path, body, options);
