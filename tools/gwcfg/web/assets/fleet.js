// fleet.js - the fleet page: one row per gateway, sorted and filtered in
// the page, refreshed from /api/fleet every second and a half.
import { ago, duration, el, getJson, getSession } from './common.js';

const kPollMs = 1500;
// Rows per page: a fleet of thousands sorts in full, and a page of it is
// drawn at once.
const kPageSize = 100;
const kStateRank = { offline: 0, 'never seen': 1, online: 2 };

const view = { sort: 'state', descending: false, state: '', text: '', rolledBack: false, page: 0 };
let fleet = { gateways: [], counts: {} };
let sortedCache = null;
// The row of each gateway for the data at hand: a new sort or filter moves
// rows, it does not build them again.
let rowCache = new Map();

function changeText(g) {
  const c = g.last_change || {};
  return c.summary || c.state || '';
}

function sortValue(g, key) {
  switch (key) {
    case 'state': return kStateRank[g.state] ?? 3;
    case 'last_seen': return -(g.last_seen || 0);
    case 'revision': return g.revision ?? -1;
    case 'uptime_s': return g.uptime_s ?? -1;
    case 'change': return changeText(g);
    default: return String(g[key] ?? '').toLowerCase();
  }
}

function sorted() {
  if (sortedCache) return sortedCache;
  const key = view.sort;
  const rows = fleet.gateways.map((g) => [sortValue(g, key), g.mac, g]);
  rows.sort((a, b) => {
    let d = a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0;
    if (d === 0) d = a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0;
    return view.descending ? -d : d;
  });
  sortedCache = rows.map((r) => r[2]);
  return sortedCache;
}

function matches(g) {
  if (view.state && g.state !== view.state) return false;
  if (view.rolledBack) {
    const s = (g.last_change || {}).state;
    if (s !== 'rolled back' && s !== 'failed') return false;
  }
  if (view.text) {
    const hay = [g.mac, g.gateway_ID, g.name, g.address, g.region, changeText(g)].join(' ').toLowerCase();
    if (!hay.includes(view.text)) return false;
  }
  return true;
}

// One row, cloned from a template and filled with text only.
const template = el('tr', {},
  el('td', {}, el('span', { className: 'badge' })), el('td'), el('td', { className: 'mono' }, el('a')),
  el('td', { className: 'mono' }), el('td'), el('td'), el('td', { className: 'num' }), el('td'),
  el('td', { className: 'num' }));

function rowOf(g, now) {
  const tr = template.cloneNode(true);
  const td = tr.children;
  const changeState = (g.last_change || {}).state || '';
  tr.className = `state-${String(g.state).replace(' ', '-')}`;
  tr.dataset.mac = g.mac;
  td[0].firstChild.textContent = g.state;
  td[1].textContent = ago(g.last_seen, now);
  const link = td[2].firstChild;
  link.href = `/gateway.html?mac=${encodeURIComponent(g.mac)}`;
  link.textContent = g.mac;
  td[3].textContent = g.gateway_ID || '—';
  td[4].textContent = g.name || '—';
  td[5].textContent = g.region || '—';
  td[6].textContent = g.revision ?? '—';
  td[7].className = `change change-${changeState.replace(' ', '-')}`;
  td[7].textContent = changeText(g) || '—';
  td[8].textContent = duration(g.uptime_s);
  return tr;
}

function render() {
  const now = Date.now();
  const body = document.querySelector('#fleet tbody');
  const frag = document.createDocumentFragment();
  let shown = 0;
  const list = sorted().filter(matches);
  const pages = Math.max(1, Math.ceil(list.length / kPageSize));
  view.page = Math.min(view.page, pages - 1);
  const first = view.page * kPageSize;
  for (const g of list.slice(first, first + kPageSize)) {
    let row = rowCache.get(g.mac);
    if (!row) {
      row = rowOf(g, now);
      rowCache.set(g.mac, row);
    }
    frag.append(row);
    ++shown;
  }
  body.replaceChildren(frag);
  const c = fleet.counts || {};
  document.getElementById('count-all').textContent = fleet.gateways.length;
  document.getElementById('count-online').textContent = c.online ?? 0;
  document.getElementById('count-offline').textContent = c.offline ?? 0;
  document.getElementById('count-never-seen').textContent = c['never seen'] ?? 0;
  document.getElementById('status').textContent =
    `${list.length} of ${fleet.gateways.length} gateways match; updated ${new Date(fleet.generated || now).toLocaleTimeString()}`;
  document.getElementById('range').textContent = list.length
    ? `rows ${first + 1}–${first + shown} of ${list.length}` : 'no gateway matches';
  document.getElementById('prev').disabled = view.page === 0;
  document.getElementById('next').disabled = view.page >= pages - 1;
  for (const b of document.querySelectorAll('th button[data-sort]')) {
    const on = b.dataset.sort === view.sort;
    b.parentElement.setAttribute('aria-sort', on ? (view.descending ? 'descending' : 'ascending') : 'none');
  }
  document.body.dataset.rows = String(shown);
  // Since the navigation began, for the first render laid out (the browser
  // test's figure).
  if (!document.body.dataset.firstRenderMs && fleet.generated) {
    void document.body.offsetHeight;  // laid out, not only built
    document.body.dataset.firstRenderMs = performance.now().toFixed(0);
  }
}

async function refresh() {
  try {
    fleet = await getJson('/api/fleet');
    sortedCache = null;
    rowCache = new Map();
    document.getElementById('source').textContent = fleet.source || '';
    render();
  } catch (e) {
    document.getElementById('status').textContent = `Cannot read the fleet: ${e.message}. Retrying.`;
  }
}

function wire() {
  for (const b of document.querySelectorAll('th button[data-sort]')) {
    b.addEventListener('click', () => {
      if (view.sort === b.dataset.sort) view.descending = !view.descending;
      else { view.sort = b.dataset.sort; view.descending = false; }
      sortedCache = null;
      view.page = 0;
      render();
    });
  }
  document.getElementById('prev').addEventListener('click', () => { --view.page; render(); });
  document.getElementById('next').addEventListener('click', () => { ++view.page; render(); });
  for (const b of document.querySelectorAll('button.count')) {
    b.addEventListener('click', () => {
      view.state = b.dataset.state;
      view.page = 0;
      for (const o of document.querySelectorAll('button.count')) o.setAttribute('aria-pressed', String(o === b));
      render();
    });
  }
  document.getElementById('search').addEventListener('input', (e) => {
    view.text = e.target.value.trim().toLowerCase();
    view.page = 0;
    render();
  });
  document.getElementById('rolled-back').addEventListener('change', (e) => {
    view.rolledBack = e.target.checked;
    view.page = 0;
    render();
  });
  document.getElementById('filters').addEventListener('submit', (e) => e.preventDefault());
}

wire();
getSession().catch(() => {});
refresh();
setInterval(refresh, kPollMs);
