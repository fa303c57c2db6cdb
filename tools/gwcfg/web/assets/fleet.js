// fleet.js - the fleet page: one row per gateway, sorted and filtered in
// the page, refreshed from /api/fleet every second and a half.
import { ago, duration, el, getJson, getSession } from './common.js';

const kPollMs = 1500;
const kStateRank = { offline: 0, 'never seen': 1, online: 2 };

const view = { sort: 'state', descending: false, state: '', text: '', rolledBack: false };
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

function rowOf(g, now) {
  const link = el('a', { href: `/gateway.html?mac=${encodeURIComponent(g.mac)}` }, g.mac);
  const changeState = (g.last_change || {}).state || '';
  return el('tr', { className: `state-${g.state.replace(' ', '-')}`, dataset: { mac: g.mac } },
    el('td', {}, el('span', { className: 'badge' }, g.state)),
    el('td', { title: g.last_seen ? new Date(g.last_seen).toISOString() : '' }, ago(g.last_seen, now)),
    el('td', { className: 'mono' }, link),
    el('td', { className: 'mono' }, g.gateway_ID || '—'),
    el('td', {}, g.name || '—'),
    el('td', {}, g.region || '—'),
    el('td', { className: 'num' }, g.revision ?? '—'),
    el('td', { className: `change change-${changeState.replace(' ', '-')}` }, changeText(g) || '—'),
    el('td', { className: 'num' }, duration(g.uptime_s)));
}

function render() {
  const now = Date.now();
  const body = document.querySelector('#fleet tbody');
  const frag = document.createDocumentFragment();
  let shown = 0;
  for (const g of sorted()) {
    if (!matches(g)) continue;
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
    `${shown} of ${fleet.gateways.length} gateways shown; updated ${new Date(fleet.generated || now).toLocaleTimeString()}`;
  for (const b of document.querySelectorAll('th button[data-sort]')) {
    const on = b.dataset.sort === view.sort;
    b.parentElement.setAttribute('aria-sort', on ? (view.descending ? 'descending' : 'ascending') : 'none');
  }
  document.body.dataset.rows = String(shown);
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
      render();
    });
  }
  for (const b of document.querySelectorAll('button.count')) {
    b.addEventListener('click', () => {
      view.state = b.dataset.state;
      for (const o of document.querySelectorAll('button.count')) o.setAttribute('aria-pressed', String(o === b));
      render();
    });
  }
  document.getElementById('search').addEventListener('input', (e) => {
    view.text = e.target.value.trim().toLowerCase();
    render();
  });
  document.getElementById('rolled-back').addEventListener('change', (e) => {
    view.rolledBack = e.target.checked;
    render();
  });
  document.getElementById('filters').addEventListener('submit', (e) => e.preventDefault());
}

wire();
getSession().catch(() => {});
refresh();
setInterval(refresh, kPollMs);
