// gateway.js - one gateway: what `gwcfg show` prints, laid out; a form that
// checks changes against the forwarder's rules (the server's key table, on
// the configuration the gateway reported) before it sends them; backup,
// apply of a profile file and confirm.
import { ago, el, fillTable, getJson, getSession, post } from './common.js';

const mac = new URLSearchParams(location.search).get('mac') || '';
const api = `/api/gateways/${encodeURIComponent(mac)}`;
let gateway = null;
const edited = new Map();  // key -> new value text

function keyValue(path) {
  const k = (gateway.keys || []).find((x) => x.path === path);
  return k ? k.value : '';
}

function withUnit(path) {
  const k = (gateway.keys || []).find((x) => x.path === path);
  if (!k) return '';
  return k.unit ? `${k.value} ${k.unit}` : k.value;
}

function showResult(text, failed, where = 'result') {
  const out = document.getElementById(where);
  out.hidden = !text;
  out.textContent = text;
  out.classList.toggle('failed', !!failed);
}

function renderOverview() {
  const g = gateway;
  document.getElementById('title').textContent = `Gateway ${g.mac}`;
  document.title = `gwcfg web: ${g.mac}`;
  document.getElementById('summary').textContent =
    `${g.state}, revision ${g.revision}, at ${g.endpoint}, last seen ${ago(g.last_seen)}`;
  const pairs = [
    ['State', g.state],
    ['Device name', g.name || '—'],
    ['Gateway ID', g.gateway_ID || '—'],
    ['Region plan', g.region || 'none of the shipped plans'],
    ['Last change', (g.last_change && (g.last_change.summary || g.last_change.state)) || '—'],
    ['Identity', `${keyValue('device_info.vendor')} ${keyValue('device_info.model')}, serial ${keyValue('device_info.serial_no') || '—'}, hardware ${keyValue('device_info.hw_id') || '—'}`],
    ['Network (live)', `${keyValue('device_info.ip')} mask ${keyValue('device_info.netmask')}, gateway ${keyValue('device_info.gateway')}, DNS ${keyValue('device_info.pri_dns')} ${keyValue('device_info.sec_dns')}`],
    ['Network (fixed)', `${keyValue('serverIP_conf.fixed_ip')} mask ${keyValue('serverIP_conf.fixed_netmask')}, gateway ${keyValue('serverIP_conf.fixed_gateway')}, ${keyValue('serverIP_conf.networkmode') === '1' ? 'fixed settings' : 'DHCP'}`],
    ['Server', `${keyValue('gateway_conf.server_address') || '—'}, port up ${keyValue('gateway_conf.serv_port_up')}, down ${keyValue('gateway_conf.serv_port_down')}`],
    ['Intervals', `keep-alive ${withUnit('gateway_conf.keepalive_interval')}, statistics ${withUnit('gateway_conf.stat_interval')}, push time-out ${withUnit('gateway_conf.push_timeout_ms')}`],
  ];
  const dl = document.getElementById('overview');
  dl.replaceChildren(...pairs.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
  fillTable(document.getElementById('radios'), g.page.radios);
  fillTable(document.getElementById('channels'), g.page.channels);
  fillTable(document.getElementById('tx'), g.page.tx_table);
  const base = mac.replace(/:/g, '-');
  const backup = document.getElementById('backup');
  backup.href = `${api}/backup`;
  backup.download = `${base}.json`;
  const watching = g.last_change && g.last_change.state === 'watching';
  document.getElementById('confirm').disabled = !watching;
}

function renderKeys() {
  const section = document.getElementById('key-filter').value;
  const body = document.querySelector('#keys tbody');
  const rows = [];
  for (const k of gateway.keys) {
    if (k.section !== section) continue;
    const id = `key-${k.path.replace(/[^A-Za-z0-9_]/g, '-')}`;
    const input = el('input', {
      id, name: k.path, value: edited.has(k.path) ? edited.get(k.path) : k.value,
      readOnly: !k.writable, autocomplete: 'off', spellcheck: false,
    });
    input.dataset.key = k.path;
    input.dataset.original = k.value;
    input.addEventListener('input', () => {
      if (input.value === input.dataset.original) edited.delete(k.path);
      else edited.set(k.path, input.value);
      input.classList.toggle('edited', edited.has(k.path));
    });
    input.classList.toggle('edited', edited.has(k.path));
    const label = el('label', { htmlFor: id, className: 'mono' }, k.path);
    rows.push(el('tr', {},
      el('th', { scope: 'row' }, label, el('div', { className: 'muted' }, k.meaning)),
      el('td', {}, el('div', { className: 'value' }, input, k.unit ? el('span', { className: 'unit' }, k.unit) : null)),
      el('td', { className: 'rule' }, k.rule || (k.writable ? 'anything the block carries' : 'read only'))));
  }
  body.replaceChildren(...rows);
}

function showFaults(list) {
  const box = document.getElementById('faults');
  box.hidden = !list.length;
  box.replaceChildren(...(list.length ? [el('p', {}, 'Not sent: the gateway would refuse this.'),
    el('ul', {}, ...list.map((f) => el('li', {}, f)))] : []));
}

async function sendChanges(e) {
  e.preventDefault();
  if (!edited.size) {
    showFaults(['Nothing changed: edit a value first.']);
    return;
  }
  const changes = Object.fromEntries(edited);
  // The rules first, on the configuration the gateway reported: nothing
  // reaches the gateway when one is broken.
  const check = await post(`${api}/check`, { changes });
  if (!check.ok) {
    showFaults([check.body.error || 'the check failed']);
    return;
  }
  if (!check.body.ok) {
    showFaults(check.body.faults);
    return;
  }
  showFaults([]);
  showResult('Sending…', false, 'change-result');
  const res = await post(`${api}/set`, { changes });
  const text = [res.body.output, res.body.error].filter(Boolean).join('\n');
  if (res.ok) {
    edited.clear();
    showResult(text || 'Changed.', false, 'change-result');
  } else {
    showFaults([res.body.error || text || `refused (${res.status})`]);
    showResult(text, true, 'change-result');
  }
  await load();
}

async function applyProfile(e) {
  e.preventDefault();
  const file = document.getElementById('profile').files[0];
  if (!file) {
    showResult('Choose a profile or backup file first.', true);
    return;
  }
  const text = await file.text();
  showResult('Applying…');
  const res = await post(`${api}/apply`, text);
  showResult([res.body.output, res.body.error].filter(Boolean).join('\n') || (res.ok ? 'Applied.' : 'Refused.'), !res.ok);
  await load();
}

async function confirmChange() {
  const res = await post(`${api}/confirm`, {});
  showResult([res.body.output, res.body.error].filter(Boolean).join('\n'), !res.ok);
  await load();
}

async function load() {
  try {
    gateway = await getJson(api);
    document.getElementById('status').textContent = '';
    renderOverview();
    renderKeys();
    document.body.dataset.loaded = 'true';
  } catch (err) {
    document.getElementById('status').textContent = `Cannot show ${mac}: ${err.message}`;
  }
}

document.getElementById('key-filter').addEventListener('change', renderKeys);
document.getElementById('change-form').addEventListener('submit', sendChanges);
document.getElementById('apply-form').addEventListener('submit', applyProfile);
document.getElementById('confirm').addEventListener('click', confirmChange);
getSession().catch(() => {});
load();
