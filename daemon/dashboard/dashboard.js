// The dashboard's behaviour: every second it reads the broker's JSON reports
// (/api/stats, /api/topics, /api/messages, /api/storage) and redraws the
// counters, the message-rate chart, the tables and the storage status.
//
// Topics, payloads and client ids come from any MQTT client on the network.
// They reach the page only as text nodes (never as markup), and characters
// that could hide or reorder text (controls, bidi overrides, zero-width
// marks) are shown as escapes, as --watch does on the terminal.
'use strict';

const REFRESH_MS = 1000;
const CHART_SECONDS = 120;
const MESSAGES_SHOWN = 50;
const PAYLOAD_CHARS = 200;
const TOOLTIP_CHARS = 2000;

const rates = []; // {t: ms since page load, rate: messages per second}
let lastSample = null; // {t, routed}

// ---- text ------------------------------------------------------------------

function isHidden(code) {
  return code < 0x20 || (code >= 0x7f && code < 0xa0) || (code >= 0x200b && code <= 0x200f) ||
    (code >= 0x2028 && code <= 0x202e) || (code >= 0x2060 && code <= 0x2069) ||
    code === 0xfeff || code === 0xad || code === 0x061c;
}

function escapeOf(ch) {
  if (ch === '\n') return '\\n';
  if (ch === '\r') return '\\r';
  if (ch === '\t') return '\\t';
  const code = ch.codePointAt(0);
  return code < 0x100 ? '\\x' + code.toString(16).padStart(2, '0')
    : '\\u' + code.toString(16).padStart(4, '0');
}

// The text as nodes, hidden characters as escapes in their own style, cut
// after `max` characters with a marker.
function textNodes(text, max) {
  const fragment = document.createDocumentFragment();
  const chars = Array.from(String(text));
  let plain = '';
  const flush = () => {
    if (plain) fragment.append(document.createTextNode(plain));
    plain = '';
  };
  const shown = max && chars.length > max ? chars.slice(0, max) : chars;
  for (const ch of shown) {
    if (isHidden(ch.codePointAt(0))) {
      flush();
      const span = document.createElement('span');
      span.className = 'escape';
      span.textContent = escapeOf(ch);
      fragment.append(span);
    } else {
      plain += ch;
    }
  }
  flush();
  if (shown.length < chars.length) {
    const more = document.createElement('span');
    more.className = 'escape';
    more.textContent = `…(${chars.length} characters)`;
    fragment.append(more);
  }
  return fragment;
}

// A plain-text rendering, for tooltips.
function visibleText(text, max) {
  const chars = Array.from(String(text)).slice(0, max);
  return chars.map((ch) => (isHidden(ch.codePointAt(0)) ? escapeOf(ch) : ch)).join('');
}

function cell(content, className) {
  const td = document.createElement('td');
  if (className) td.className = className;
  if (content instanceof Node) td.append(content);
  else td.textContent = String(content);
  return td;
}

function textCell(text, max) {
  const td = cell(textNodes(text, max), 'text');
  if (max && Array.from(text).length > max) td.title = visibleText(text, TOOLTIP_CHARS);
  if (text === '') td.append(Object.assign(document.createElement('span'),
    { className: 'empty', textContent: '(empty)' }));
  return td;
}

function setText(id, text) {
  const element = document.getElementById(id);
  if (element.textContent !== text) element.textContent = text;
}

// ---- numbers ---------------------------------------------------------------

function bytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = n;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${n} B` : `${value.toFixed(1)} ${units[unit]}`;
}

function duration(seconds) {
  const d = Math.floor(seconds / 86400);
  const h = Math.floor((seconds % 86400) / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = seconds % 60;
  if (d > 0) return `${d}d ${h}h ${m}m`;
  if (h > 0) return `${h}h ${m}m ${s}s`;
  if (m > 0) return `${m}m ${s}s`;
  return `${s}s`;
}

function clock(unixSeconds) {
  return new Date(unixSeconds * 1000).toLocaleTimeString();
}

function dateTime(unixSeconds) {
  return new Date(unixSeconds * 1000).toLocaleString();
}

function rateText(rate) {
  return rate < 10 ? rate.toFixed(1) : String(Math.round(rate));
}

// ---- sections --------------------------------------------------------------

function renderStats(stats) {
  const status = document.getElementById('broker-status');
  status.textContent = stats.status;
  status.className = `badge ${stats.status === 'running' ? 'running' : 'stopped'}`;
  setText('uptime', stats.status === 'running' ? `up ${duration(stats.uptime_seconds)}` : '');
  for (const key of ['active_clients', 'total_received', 'total_published', 'retained_count',
    'sessions', 'session_queued', 'session_dropped']) {
    setText(`stat-${key}`, String(stats[key]));
  }
  setText('stat-bytes_in', bytes(stats.bytes_in));
  setText('stat-bytes_out', bytes(stats.bytes_out));
  setText('ports', `MQTT on TCP port ${stats.tcp_port}` +
    (stats.ws_port > 0 ? `, WebSocket port ${stats.ws_port}` : ', no WebSocket listener'));

  const now = performance.now();
  const routed = stats.total_received + stats.total_published;
  if (lastSample && now > lastSample.t) {
    const rate = Math.max(0, (routed - lastSample.routed) * 1000 / (now - lastSample.t));
    rates.push({ t: now, rate });
    while (rates.length && rates[0].t < now - CHART_SECONDS * 1000) rates.shift();
    setText('stat-rate', rateText(rate));
  }
  lastSample = { t: now, routed };
  drawChart();
}

// The report lists every retained message and then each message of the
// history on a topic without one, oldest first; the table shows one row per
// topic with its newest message and how many the history holds.
function renderTopics(topics) {
  const byTopic = new Map();
  for (const t of topics) {
    const seen = byTopic.get(t.topic);
    if (seen && seen.retained) continue;
    byTopic.set(t.topic, { ...t, count: t.retained ? null : (seen ? seen.count : 0) + 1 });
  }
  const sorted = Array.from(byTopic.values()).sort((a, b) => (a.topic < b.topic ? -1 : a.topic > b.topic ? 1 : 0));
  setText('topics-count', `(${sorted.length})`);
  const rows = sorted.map((t) => {
    const tr = document.createElement('tr');
    tr.append(textCell(t.topic), cell(t.retained ? 'yes' : 'no'), cell(t.qos, 'num'),
      textCell(t.payload, PAYLOAD_CHARS), cell(dateTime(t.last_updated)),
      cell(t.count === null ? '' : t.count, 'num'));
    return tr;
  });
  document.querySelector('#topics tbody').replaceChildren(...rows);
}

function renderMessages(messages) {
  const rows = messages.slice().reverse().map((m) => {
    const tr = document.createElement('tr');
    tr.dataset.id = String(m.id);
    tr.append(cell(m.id, 'num'), cell(clock(m.timestamp)), textCell(m.client_id),
      textCell(m.topic), cell(m.qos, 'num'), cell(m.retain ? 'yes' : 'no'),
      textCell(m.payload, PAYLOAD_CHARS));
    return tr;
  });
  document.querySelector('#messages tbody').replaceChildren(...rows);
}

function renderStorage(storage) {
  const warning = document.getElementById('storage-warning');
  if (storage.warning) {
    warning.replaceChildren(textNodes(storage.warning));
    warning.hidden = false;
  } else {
    warning.hidden = true;
    warning.replaceChildren();
  }
  const onOff = (on) => (on ? 'on' : 'off');
  const limit = (n, unit) => (n > 0 ? `${n} ${unit}` : 'no limit');
  const facts = [
    ['Folder', storage.dir || '(none)', 'dir'],
    ['Active', storage.active ? 'yes' : 'no', 'active'],
    ['Snapshots', onOff(storage.persistence), 'persistence'],
    ['Message log', onOff(storage.log), 'log'],
    ['Log file', storage.log_file || '(none open)', 'log_file'],
    ['Log records written', String(storage.log_written), 'log_written'],
    ['Log records dropped', String(storage.log_dropped), 'log_dropped'],
    ['Log queue', String(storage.log_queue), 'log_queue'],
    ['Snapshot passes', String(storage.snapshots), 'snapshots'],
    ['Last snapshot', storage.last_snapshot_ms > 0
      ? new Date(storage.last_snapshot_ms).toLocaleString() : 'none since start', 'last_snapshot_ms'],
    ['Write errors', String(storage.write_errors), 'write_errors'],
    ['Loaded at start', `${storage.loaded_retained} retained, ${storage.loaded_sessions} sessions`,
      'loaded'],
    ['Log files', `${storage.log_files} (${bytes(storage.log_bytes)})`, 'log_files'],
    ['Log files deleted', String(storage.log_deleted), 'log_deleted'],
    ['Retention', limit(storage.retention_days, 'days'), 'retention_days'],
    ['Log size limit', limit(storage.max_total_mb, 'MiB'), 'max_total_mb'],
    ['Log part size', limit(storage.max_file_mb, 'MiB'), 'max_file_mb'],
  ];
  const nodes = [];
  for (const [label, value, key] of facts) {
    const dt = document.createElement('dt');
    dt.textContent = label;
    const dd = document.createElement('dd');
    dd.id = `storage-${key}`;
    dd.append(textNodes(value));
    nodes.push(dt, dd);
  }
  document.getElementById('storage').replaceChildren(...nodes);
}

// ---- chart -----------------------------------------------------------------

// A round upper bound for the axis: 1, 2 or 5 times a power of ten.
function niceCeiling(value) {
  if (value <= 1) return 1;
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [1, 2, 5, 10]) {
    if (value <= step * power) return step * power;
  }
  return 10 * power;
}

function drawChart() {
  const canvas = document.getElementById('rate-chart');
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio)) canvas.width = Math.round(width * ratio);
  if (canvas.height !== Math.round(height * ratio)) canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);

  const style = getComputedStyle(document.documentElement);
  const colour = (name) => style.getPropertyValue(name).trim();
  const left = 48;
  const right = width - 12;
  const top = 12;
  const bottom = height - 24;
  const now = performance.now();
  const peak = niceCeiling(Math.max(0, ...rates.map((r) => r.rate)));
  const x = (t) => right - ((now - t) / (CHART_SECONDS * 1000)) * (right - left);
  const y = (rate) => bottom - (rate / peak) * (bottom - top);

  g.font = '11px system-ui, sans-serif';
  g.fillStyle = colour('--muted');
  g.strokeStyle = colour('--line');
  g.lineWidth = 1;
  g.textAlign = 'right';
  g.textBaseline = 'middle';
  for (let i = 0; i <= 4; i += 1) {
    const value = (peak * i) / 4;
    const py = Math.round(y(value)) + 0.5;
    g.beginPath();
    g.moveTo(left, py);
    g.lineTo(right, py);
    g.stroke();
    g.fillText(String(Number(value.toFixed(2))), left - 6, py);
  }
  g.textAlign = 'center';
  g.textBaseline = 'top';
  for (const seconds of [120, 90, 60, 30, 0]) {
    const label = seconds === 0 ? 'now' : `-${seconds}s`;
    g.fillText(label, x(now - seconds * 1000), bottom + 6);
  }

  if (rates.length < 2) return;
  g.beginPath();
  rates.forEach((r, i) => (i === 0 ? g.moveTo(x(r.t), y(r.rate)) : g.lineTo(x(r.t), y(r.rate))));
  g.strokeStyle = colour('--accent');
  g.lineWidth = 2;
  g.stroke();
  g.lineTo(x(rates[rates.length - 1].t), bottom);
  g.lineTo(x(rates[0].t), bottom);
  g.closePath();
  g.fillStyle = colour('--accent-fill');
  g.fill();
}

// ---- refresh loop ----------------------------------------------------------

async function getJson(path) {
  const response = await fetch(path, { cache: 'no-store' });
  if (!response.ok) throw new Error(`${path}: HTTP ${response.status}`);
  return response.json();
}

async function refresh() {
  try {
    const [stats, topics, messages, storage] = await Promise.all([
      getJson('/api/stats'), getJson('/api/topics'),
      getJson(`/api/messages?limit=${MESSAGES_SHOWN}`), getJson('/api/storage'),
    ]);
    renderStats(stats);
    renderTopics(topics);
    renderMessages(messages);
    renderStorage(storage);
    const connection = document.getElementById('connection');
    connection.className = 'muted';
    connection.textContent = `updated ${new Date().toLocaleTimeString()}`;
  } catch (error) {
    const connection = document.getElementById('connection');
    connection.className = 'lost';
    connection.textContent = `cannot reach the broker (${error.message}); retrying`;
  } finally {
    setTimeout(refresh, REFRESH_MS);
  }
}

window.addEventListener('resize', drawChart);
refresh();
