// Calls to the server's API. Every failure becomes an Error whose message is
// the server's (or the engine's) own text.
let busy = 0;
const busyListeners = [];

export function onBusy(listener) { busyListeners.push(listener); }

function setBusy(delta) {
  busy += delta;
  for (const l of busyListeners) l(busy > 0);
}

async function call(method, path, body) {
  const init = { method, credentials: 'same-origin', headers: {} };
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
