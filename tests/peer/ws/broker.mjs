// Starts the broker daemon on free loopback ports for a peer test, and stops
// it again. BV_DAEMON names the daemon binary; without it the release build,
// then the dev build, are tried.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');

const START_TIMEOUT_MS = 10000;
const STOP_TIMEOUT_MS = 5000;

function daemonPath() {
  if (process.env.BV_DAEMON) return process.env.BV_DAEMON;
  for (const build of ['release', 'dev']) {
    const candidate = path.join(ROOT, 'build', build, 'daemon', 'brelvane-mqttd');
    if (fs.existsSync(candidate)) return candidate;
  }
  throw new Error('no broker daemon: build it or set BV_DAEMON');
}

// A port that was free a moment ago.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Resolves once the daemon prints its listening line; rejects when it exits
// first or takes too long.
export async function startBroker() {
  const port = await freePort();
  const wsPort = await freePort();
  const child = spawn(daemonPath(), ['--port', String(port), '--ws-port', String(wsPort), '--no-storage'], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`broker did not start within ${START_TIMEOUT_MS} ms: ${output}`));
    }, START_TIMEOUT_MS);
    const collect = (chunk) => {
      output += chunk;
      if (output.includes('\n') && output.includes('ws://')) {
        clearTimeout(timer);
        resolve();
      }
    };
    child.stdout.on('data', collect);
    child.stderr.on('data', (chunk) => { output += chunk; });
    exited.then(({ code, signal }) => {
      clearTimeout(timer);
      reject(new Error(`broker exited (${code ?? signal}) before listening: ${output}`));
    });
  });
  return {
    port,
    wsPort,
    // Stops with SIGTERM and resolves with the exit code (SIGKILL after a
    // bounded wait, which fails the caller's check).
    async stop() {
      if (child.exitCode !== null || child.signalCode !== null) return (await exited).code;
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), STOP_TIMEOUT_MS);
      const { code } = await exited;
      clearTimeout(timer);
      return code;
    },
  };
}

// Payload of n bytes that compresses well but is not one repeated byte.
export function compressiblePayload(n, seed = 0) {
  const words = ['sensor', 'temperature', 'humidity', 'kitchen', 'garden', '21.5', '48', 'ok'];
  let text = '';
  let i = seed;
  while (text.length < n) {
    text += words[i % words.length] + (i % 7 === 0 ? '\n' : ' ');
    i = (i * 31 + 7) % 1009;
  }
  return Buffer.from(text.slice(0, n));
}
