// common.js - what the pages share: the API calls (with the CSRF token on
// every change) and building elements from data. Values from gateways are
// only ever set as text (textContent), never parsed as HTML.

let session = null;

export async function getSession() {
  if (!session) session = await getJson('/api/session');
  return session;
}

export async function getJson(path) {
  const res = await fetch(path, { credentials: 'same-origin', cache: 'no-store' });
  const body = await res.json().catch(() => ({ error: res.statusText }));
  if (!res.ok) throw new Error(body.error || res.statusText);
  return body;
}

// A change: POST with the session's CSRF token. Resolves to { ok, body }.
export async function post(path, body, type = 'application/json') {
  const s = await getSession();
  const res = await fetch(path, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': type, 'X-CSRF-Token': s.csrf },
    body: typeof body === 'string' ? body : JSON.stringify(body),
  });
  const parsed = await res.json().catch(() => ({ error: res.statusText }));
  return { ok: res.ok, status: res.status, body: parsed };
}

// el('td', {className: 'x'}, 'text', child, ...): strings become text nodes.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'dataset') Object.assign(node.dataset, v);
    else if (k.startsWith('aria-') || k === 'role' || k === 'scope') node.setAttribute(k, v);
    else node[k] = v;
  }
  for (const c of children) {
    if (c === null || c === undefined) continue;
    node.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return node;
}

export function ago(ms, now = Date.now()) {
  if (!ms) return 'never';
  const s = Math.max(0, Math.round((now - ms) / 1000));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return new Date(ms).toISOString().slice(0, 16).replace('T', ' ');
}

export function duration(s) {
  if (s === null || s === undefined) return '—';
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min`;
  if (s < 86400) return `${Math.floor(s / 3600)} h`;
  return `${Math.floor(s / 86400)} d`;
}

// A table from rows of cells, the first row the heading.
export function fillTable(table, rows) {
  table.replaceChildren();
  if (!rows || !rows.length) return;
  const head = el('thead', {}, el('tr', {}, ...rows[0].map((c) => el('th', { scope: 'col' }, c))));
  const body = el('tbody', {}, ...rows.slice(1).map((r) => el('tr', {}, ...r.map((c) => el('td', {}, c)))));
  table.append(head, body);
}
