// tus-js-client, an independent client of the resumable upload protocol, in Node against the
// real server (SKIFFBOX_EXE, or Skiffbox.exe under wine): an upload in chunks, and one whose
// connection is cut half-way by a relay and that the client resumes by itself. The stored
// bytes are compared by sha256.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import * as tus from 'tus-js-client';
import { startServer } from './lib.mjs';

let server;
before(async () => { server = await startServer(); });
after(async () => { await server?.stop(); });

const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

function send(endpoint, data, options) {
  return new Promise((resolve, reject) => {
    const upload = new tus.Upload(data, {
      endpoint,
      retryDelays: [0, 200, 500, 1000, 2000],
      ...options,
      onSuccess: () => resolve(upload),
      onError: reject,
    });
    upload.start();
  });
}

// A relay in front of the server that cuts the first PATCH connection after `cutAfter` bytes
// and notes the Upload-Offset of every PATCH it passes on.
function cuttingRelay(port, cutAfter) {
  const offsets = [];
  let cut = false;
  const relay = net.createServer((client) => {
    const upstream = net.connect(port, '127.0.0.1');
    let seen = 0;
    let head = '';
    client.on('data', (chunk) => {
      if (seen === 0) head = chunk.toString('latin1', 0, Math.min(chunk.length, 4096));
      seen += chunk.length;
      if (seen === chunk.length && head.startsWith('PATCH')) {
        const m = head.match(/upload-offset:\s*(\d+)/i);
        if (m) offsets.push(Number(m[1]));
      }
      if (!cut && head.startsWith('PATCH') && seen > cutAfter) {
        cut = true;
        client.destroy();
        upstream.destroy();
        return;
      }
      upstream.write(chunk);
    });
    client.on('end', () => upstream.end());
    upstream.on('data', (chunk) => client.write(chunk));
    upstream.on('end', () => client.end());
    client.on('error', () => upstream.destroy());
    upstream.on('error', () => client.destroy());
  });
  return new Promise((resolve) => {
    relay.listen(0, '127.0.0.1', () => resolve({ relay, offsets, port: relay.address().port, wasCut: () => cut }));
  });
}

test('tus-js-client uploads a file in chunks into a folder of the inbox', async () => {
  const data = crypto.randomBytes(3 * 1024 * 1024 + 11);
  await send(server.url('/api/uploads'), data, {
    chunkSize: 1024 * 1024,
    metadata: { filename: '客户端/chunks.bin', device: 'node' },
  });
  const stored = fs.readFileSync(path.join(server.inbox, '客户端', 'chunks.bin'));
  assert.equal(sha256(stored), sha256(data));
});

test('tus-js-client resumes after its connection is cut', async () => {
  const data = crypto.randomBytes(8 * 1024 * 1024 + 3);
  const relay = await cuttingRelay(server.port, 3 * 1024 * 1024);
  try {
    await send(`http://127.0.0.1:${relay.port}/api/uploads`, data, {
      metadata: { filename: 'resumed.bin' },
      // The server answers only its own address; the relay is a stretch of wire, not a name.
      headers: { Host: `127.0.0.1:${server.port}` },
    });
  } finally {
    relay.relay.close();
  }
  assert.ok(relay.wasCut(), 'the relay cut a request');
  // The request after the cut went on from the bytes the server had kept.
  assert.ok(Math.max(...relay.offsets) > 1024 * 1024, `offsets sent: ${relay.offsets}`);
  const stored = fs.readFileSync(path.join(server.inbox, 'resumed.bin'));
  assert.equal(sha256(stored), sha256(data));
});
