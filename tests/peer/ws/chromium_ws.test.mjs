// Headless Chromium, driven by playwright-core, loads a page served from
// localhost that uses MQTT.js's browser build for a publish/subscribe round
// trip through the broker over WebSocket. Chromium offers permessage-deflate
// with a window-bits parameter by itself, so this also proves the
// negotiation with a browser.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import mqtt from 'mqtt';
import { chromium } from 'playwright-core';

import { ROOT, startBroker } from './broker.mjs';

const CHROMIUM = process.env.BV_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
];
const WAIT_MS = 15000;
const BIG = 200 * 1024;

const PAGE = `<!doctype html>
<html><head><meta charset="utf-8"><title>broker round trip</title>
<script src="/mqtt.min.js"></script></head>
<body><script>
// Connects, subscribes, publishes a small and a 200 KiB message and waits
// for both to come back. Resolves with what the page saw.
window.roundTrip = (url, big) => new Promise((resolve, reject) => {
  let socket = null;
  const client = mqtt.connect(url, {
    clientId: 'chromium', reconnectPeriod: 0, connectTimeout: 10000,
    createWebsocket: (u, protocols) => (socket = new WebSocket(u, protocols)),
  });
  const got = {};
  const large = 'x'.repeat(big).replace(/x/g, (_, i) => String.fromCharCode(97 + (i * 7) % 26));
  client.on('error', (e) => reject(String(e)));
  client.on('message', (topic, payload) => {
    got[topic] = topic === 'browser/big' ? payload.toString() === large : payload.toString();
    if ('browser/small' in got && 'browser/big' in got) {
      const result = { got, protocol: socket.protocol, extensions: socket.extensions };
      client.end(false, () => resolve(result));
    }
  });
  client.on('connect', () => {
    client.subscribe('browser/#', { qos: 1 }, (err) => {
      if (err) return reject(String(err));
      client.publish('browser/small', 'hello from chromium', { qos: 1 });
      client.publish('browser/big', large, { qos: 0 });
    });
  });
});
</script></body></html>`;

let broker;
let server;
let pageUrl;
let userDataDir;

before(async () => {
  broker = await startBroker();
  const bundle = fs.readFileSync(path.join(ROOT, 'node_modules', 'mqtt', 'dist', 'mqtt.min.js'));
  server = http.createServer((req, res) => {
    if (req.url === '/') {
      res.writeHead(200, { 'content-type': 'text/html' });
      res.end(PAGE);
    } else if (req.url === '/mqtt.min.js') {
      res.writeHead(200, { 'content-type': 'text/javascript' });
      res.end(bundle);
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  pageUrl = `http://localhost:${server.address().port}/`;
  userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'bv-chromium-'));
});

after(async () => {
  if (server) await new Promise((resolve) => server.close(resolve));
  if (userDataDir) fs.rmSync(userDataDir, { recursive: true, force: true });
  if (broker) assert.equal(await broker.stop(), 0);
});

test('Chromium round trip over WebSocket with permessage-deflate', { timeout: 90000 }, async () => {
  assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing (apt-get install chromium)`);
  // A TCP subscriber sees what the browser published: the broker routed it.
  const watcher = await mqtt.connectAsync(`mqtt://127.0.0.1:${broker.port}`, {
    clientId: 'watcher', reconnectPeriod: 0, connectTimeout: WAIT_MS,
  });
  const seen = new Map();
  watcher.on('message', (topic, payload) => seen.set(topic, payload.length));
  await watcher.subscribeAsync('browser/#', { qos: 1 });

  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
    timeout: 30000,
  });
  try {
    const page = context.pages()[0] ?? (await context.newPage());
    page.setDefaultTimeout(WAIT_MS);
    await page.goto(pageUrl);
    const result = await page.evaluate(
      ([url, big]) => window.roundTrip(url, big),
      [`ws://127.0.0.1:${broker.wsPort}/mqtt`, BIG],
    );
    assert.deepEqual(result.got, { 'browser/small': 'hello from chromium', 'browser/big': true });
    assert.equal(result.protocol, 'mqtt');
    assert.equal(result.extensions, 'permessage-deflate');
  } finally {
    await context.close();
  }
  const deadline = Date.now() + WAIT_MS;
  while (seen.size < 2 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 20));
  assert.equal(seen.get('browser/small'), 'hello from chromium'.length);
  assert.equal(seen.get('browser/big'), BIG);
  await watcher.endAsync();
});
