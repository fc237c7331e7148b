// MQTT.js over the `ws` library against the broker daemon: permessage-deflate
// on and off, subprotocol "mqtt", QoS 0 and 1, payloads from 10 bytes to
// 200 KiB in both directions, with a TCP subscriber as a cross-check.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import mqtt from 'mqtt';
import WebSocket from 'ws';

import { compressiblePayload, startBroker } from './broker.mjs';

const WAIT_MS = 10000;
const SIZES = [10, 1000, 70 * 1024, 200 * 1024];

let broker;
before(async () => {
  broker = await startBroker();
});
after(async () => {
  if (broker) assert.equal(await broker.stop(), 0, 'the daemon stops cleanly on SIGTERM');
});

// Messages of one client, awaited one at a time with a time-out.
function inbox(client) {
  const queue = [];
  const waiters = [];
  client.on('message', (topic, payload) => {
    const waiter = waiters.shift();
    if (waiter) waiter({ topic, payload });
    else queue.push({ topic, payload });
  });
  return () => {
    if (queue.length) return Promise.resolve(queue.shift());
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('no message within time')), WAIT_MS);
      waiters.push((m) => {
        clearTimeout(timer);
        resolve(m);
      });
    });
  };
}

function connectWs(clientId, { deflate, protocolVersion = 4, sockets }) {
  return mqtt.connectAsync(`ws://127.0.0.1:${broker.wsPort}/mqtt`, {
    clientId,
    protocolVersion,
    reconnectPeriod: 0,
    connectTimeout: WAIT_MS,
    createWebsocket: (url, protocols) => {
      const socket = new WebSocket(url, protocols, { perMessageDeflate: deflate });
      sockets.push(socket);
      return socket;
    },
  });
}

for (const deflate of [false, true]) {
  const mode = deflate ? 'deflate' : 'plain';
  test(`MQTT.js over WebSocket, permessage-deflate ${deflate ? 'on' : 'off'}`, { timeout: 60000 }, async () => {
    const sockets = [];
    const pub = await connectWs(`pub-${mode}`, { deflate, sockets });
    const sub = await connectWs(`sub-${mode}`, { deflate, sockets });
    const tcp = await mqtt.connectAsync(`mqtt://127.0.0.1:${broker.port}`, {
      clientId: `tcp-${mode}`, reconnectPeriod: 0, connectTimeout: WAIT_MS,
    });
    try {
      for (const socket of sockets) {
        assert.equal(socket.protocol, 'mqtt');
        assert.equal(socket.extensions, deflate ? 'permessage-deflate' : '');
      }
      const subNext = inbox(sub);
      const tcpNext = inbox(tcp);
      const pubNext = inbox(pub);
      await sub.subscribeAsync(`peer/${mode}/#`, { qos: 1 });
      await tcp.subscribeAsync(`peer/${mode}/#`, { qos: 1 });
      await pub.subscribeAsync(`back/${mode}/#`, { qos: 1 });

      let sent = 0;
      for (const qos of [0, 1]) {
        for (const size of SIZES) {
          const topic = `peer/${mode}/q${qos}/s${size}`;
          const payload = compressiblePayload(size, size + qos);
          await pub.publishAsync(topic, payload, { qos });
          sent += size;
          for (const next of [subNext, tcpNext]) {
            const m = await next();
            assert.equal(m.topic, topic);
            assert.ok(m.payload.equals(payload), `payload of ${topic}`);
          }
          // The other way: from TCP to a WebSocket client.
          const back = `back/${mode}/q${qos}/s${size}`;
          await tcp.publishAsync(back, payload, { qos });
          const m = await pubNext();
          assert.equal(m.topic, back);
          assert.ok(m.payload.equals(payload), `payload of ${back}`);
        }
      }
      // Compression shows on the wire, in both directions.
      const written = sockets[0]._socket.bytesWritten;
      const read = sockets[1]._socket.bytesRead;
      if (deflate) {
        assert.ok(written < sent / 3, `publisher wrote ${written} bytes for ${sent}`);
        assert.ok(read < sent / 3, `subscriber read ${read} bytes for ${sent}`);
      } else {
        assert.ok(written > sent && read > sent);
      }
    } finally {
      await Promise.all([pub.endAsync(), sub.endAsync(), tcp.endAsync()]);
    }
  });
}

test('MQTT.js at protocol level 5 over compressed WebSocket', { timeout: 30000 }, async () => {
  const sockets = [];
  const client = await connectWs('v5', { deflate: true, protocolVersion: 5, sockets });
  try {
    const next = inbox(client);
    await client.subscribeAsync('v5/echo', { qos: 1 });
    const payload = compressiblePayload(50000, 5);
    await client.publishAsync('v5/echo', payload, { qos: 1 });
    const m = await next();
    assert.equal(m.topic, 'v5/echo');
    assert.ok(m.payload.equals(payload));
  } finally {
    await client.endAsync();
  }
});

test('ws library: exact CONNACK, ping answered with pong', { timeout: 30000 }, async () => {
  for (const perMessageDeflate of [false, true]) {
    const socket = new WebSocket(`ws://127.0.0.1:${broker.wsPort}/`, ['mqtt'], { perMessageDeflate });
    await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('no upgrade')), WAIT_MS);
      socket.once('open', () => { clearTimeout(timer); resolve(); });
      socket.once('error', reject);
    });
    const reply = (event) => new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no ${event}`)), WAIT_MS);
      socket.once(event, (data) => { clearTimeout(timer); resolve(data); });
    });
    const connack = reply('message');
    // CONNECT, level 4, clean session, client id "raw".
    socket.send(Buffer.from('100f00044d5154540402003c0003726177', 'hex'));
    assert.equal((await connack).toString('hex'), '20020000');
    const pong = reply('pong');
    socket.ping(Buffer.from('are you there'));
    assert.equal((await pong).toString(), 'are you there');
    const closed = reply('close');
    socket.close();
    await closed;
  }
});
