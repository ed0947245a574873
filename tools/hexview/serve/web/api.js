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
    headers: { 'Content-Type': 'application/json', 'X-Hexview-Launch': launch }, body: '{}',
  });
  const data = await res.json().catch(() => ({}));
  // A used address in a tab that has its session (a reload) changes nothing.
  if (!res.ok && token) return;
  if (!res.ok) throw new Error(data.error || `request failed (${res.status})`);
  token = data.token;
  sessionStorage.setItem(SESSION_KEY, token);
}

let busy = 0;
const busyListeners = [];

export function onBusy(listener) { busyListeners.push(listener); }

function setBusy(delta) {
  busy += delta;
  for (const l of busyListeners) l(busy > 0);
}

async function call(method, path, body) {
  const init = { method, credentials: 'omit', headers: { 'X-Hexview-Token': token } };
  if (method === 'POST') {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body || {});
  }
  setBusy(1);
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
    if (!res.ok) {
      const err = new Error(data.error || `request failed (${res.status})`);
      err.status = res.status;
      throw err;
    }
    return data;
  } finally {
    setBusy(-1);
  }
}

export const get = (path, params = {}) => {
  const q = new URLSearchParams(params).toString();
  return call('GET', q ? `${path}?${q}` : path);
};
export const post = (path, body) => call('POST', path, body);
