// The dashboard of brelvane-mqttd --http in headless Chromium (driven by
// playwright-core): it loads without errors, shows the broker's counters as
// the JSON report gives them, follows a publish, shows the storage warning,
// and renders hostile topics, payloads and client ids as inert text.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import mqtt from 'mqtt';
import { chromium } from 'playwright-core';

import { ROOT, freePort } from './broker.mjs';

const CHROMIUM = process.env.BV_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
];
const WAIT_MS = 15000;

function daemonPath() {
  if (process.env.BV_DAEMON) return path.resolve(ROOT, process.env.BV_DAEMON);
  for (const build of ['release', 'dev']) {
    const candidate = path.join(ROOT, 'build', build, 'daemon', 'brelvane-mqttd');
    if (fs.existsSync(candidate)) return candidate;
  }
  throw new Error('no broker daemon: build it or set BV_DAEMON');
}

// Starts the daemon with --http; resolves once it announced the dashboard.
async function startDaemon(args, cwd) {
  const port = await freePort();
  const httpPort = await freePort();
  const child = spawn(daemonPath(), ['--port', String(port), '--ws-port', '0', '--quiet',
    '--http', String(httpPort), ...args], { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  const exited = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`daemon did not start: ${output}`)), WAIT_MS);
    child.stdout.on('data', (chunk) => {
      output += chunk;
      if (/dashboard on http:\/\/\S+\//.test(output)) {
        clearTimeout(timer);
        resolve();
      }
    });
    child.stderr.on('data', (chunk) => { output += chunk; });
    exited.then((code) => {
      clearTimeout(timer);
      reject(new Error(`daemon exited (${code}) before serving: ${output}`));
    });
  });
  return {
    port,
    url: `http://127.0.0.1:${httpPort}/`,
    async stop() {
      if (child.exitCode !== null) return child.exitCode;
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      const code = await exited;
      clearTimeout(timer);
      return code;
    },
  };
}

let daemon;
let workDir;
let context;

before(async () => {
  workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'bv-dashboard-'));
  // Storage is refused (its folder would be inside a file), which leaves a
  // warning for the page to show.
  fs.writeFileSync(path.join(workDir, 'afile'), '');
  daemon = await startDaemon(['--storage', 'afile/sub'], workDir);
  assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing (apt-get install chromium)`);
  context = await chromium.launchPersistentContext(path.join(workDir, 'profile'), {
    executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30000,
  });
});

after(async () => {
  if (context) await context.close();
  if (daemon) assert.equal(await daemon.stop(), 0);
  if (workDir) fs.rmSync(workDir, { recursive: true, force: true });
});

async function stats() {
  const response = await fetch(`${daemon.url}api/stats`);
  return response.json();
}

async function publish(clientId, messages) {
  const client = await mqtt.connectAsync(`mqtt://127.0.0.1:${daemon.port}`, {
    clientId, reconnectPeriod: 0, connectTimeout: WAIT_MS,
  });
  for (const [topic, payload, options] of messages) {
    await client.publishAsync(topic, payload, { qos: 1, ...options });
  }
  await client.endAsync();
}

// Opens the dashboard, recording script errors, failed requests and CSP
// violations.
async function openDashboard() {
  const page = await context.newPage();
  page.setDefaultTimeout(WAIT_MS);
  const problems = [];
  page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error' && !/favicon/.test(message.text())) {
      problems.push(`console: ${message.text()}`);
    }
  });
  page.on('requestfailed', (request) => problems.push(`failed: ${request.url()}`));
  page.on('request', (request) => {
    if (!request.url().startsWith(daemon.url)) problems.push(`external: ${request.url()}`);
  });
  await page.goto(daemon.url);
  return { page, problems };
}

const counter = (page, key) => page.locator(`#stat-${key}`);

test('the dashboard shows the counters and follows a publish', { timeout: 90000 }, async () => {
  await publish('before-load', [['plant/a', 'first', { retain: true }]]);
  const before = await stats();
  assert.equal(before.total_received, 1);
  const { page, problems } = await openDashboard();
  try {
    await page.waitForFunction(() => document.getElementById('broker-status').textContent === 'running');
    for (const key of ['total_received', 'total_published', 'retained_count', 'sessions']) {
      assert.equal(await counter(page, key).textContent(), String(before[key]), key);
    }
    assert.match(await page.locator('#ports').textContent(), new RegExp(`TCP port ${daemon.port}\\b`));
    assert.equal(await page.locator('#topics tbody tr').count(), 1);

    await publish('sensor-7', [['plant/b', 'second'], ['plant/b', 'second again'],
      ['plant/c', 'third', { retain: true }]]);
    await page.waitForFunction(() => document.getElementById('stat-total_received').textContent === '4');
    assert.equal(await counter(page, 'retained_count').textContent(), '2');
    await page.waitForFunction(() => document.querySelectorAll('#messages tbody tr').length === 4);
    // Newest first, with the publisher's id.
    const first = page.locator('#messages tbody tr').first();
    assert.deepEqual(await first.locator('td').allTextContents().then((cells) => [cells[2], cells[3], cells[6]]),
      ['sensor-7', 'plant/c', 'third']);
    // One row per topic: its newest message and how many the history holds.
    const topicRows = await page.locator('#topics tbody tr').evaluateAll((rows) =>
      rows.map((r) => Array.from(r.cells, (c) => c.textContent)));
    assert.deepEqual(topicRows.map((r) => [r[0], r[1], r[3], r[5]]), [
      ['plant/a', 'yes', 'first', ''], ['plant/b', 'no', 'second again', '2'],
      ['plant/c', 'yes', 'third', '']]);
    // The rate is a number once two samples were taken.
    await page.waitForFunction(() => /^\d+(\.\d)?$/.test(document.getElementById('stat-rate').textContent));

    // Storage status and its warning.
    const warning = page.locator('#storage-warning');
    assert.equal(await warning.isVisible(), true);
    assert.match(await warning.textContent(), /storage disabled: cannot create directory 'afile\/sub'/);
    assert.equal(await page.locator('#storage-active').textContent(), 'no');
    assert.equal(await page.locator('#storage-dir').textContent(), 'afile/sub');
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
  }
});

test('hostile topics, payloads and client ids stay text', { timeout: 90000 }, async () => {
  const { page, problems } = await openDashboard();
  try {
    await page.waitForFunction(() => document.getElementById('broker-status').textContent === 'running');
    const topic = '<img src=x onerror="window.pwned=1">/"\'&amp;';
    const payload = '<script>window.pwned=2</script><b onmouseover=alert(1)>x</b>\u202eevil\u0007';
    const clientId = '<svg onload=window.pwned=3>';
    await publish(clientId, [[topic, payload, { retain: true }]]);
    await page.waitForFunction((t) => Array.from(document.querySelectorAll('#messages tbody tr td:nth-child(4)'))
      .some((td) => td.textContent === t), topic);

    const row = page.locator('#messages tbody tr').first();
    const cells = await row.locator('td').allTextContents();
    assert.equal(cells[2], clientId);
    assert.equal(cells[3], topic);
    // Bidi overrides and control characters are shown as escapes.
    assert.equal(cells[6], '<script>window.pwned=2</script><b onmouseover=alert(1)>x</b>\\u202eevil\\x07');
    const topicsCell = page.locator('#topics tbody td:first-child', { hasText: '<img' });
    assert.equal(await topicsCell.textContent(), topic);

    // Nothing became markup, and nothing ran.
    assert.equal(await page.locator('main img, main script, main svg, main b').count(), 0);
    assert.equal(await page.evaluate(() => window.pwned), undefined);
    assert.deepEqual(problems, []);
  } finally {
    await page.close();
  }
});
