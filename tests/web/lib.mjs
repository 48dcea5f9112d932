// Shared pieces of the browser tests: Debian's chromium through playwright-core, the real
// server on 127.0.0.1, and a stand-in site (the page from the source tree, API answers
// given by each test) for behaviour that needs exact requests or answers the real server
// cannot be made to give.
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const HERE = path.dirname(fileURLToPath(import.meta.url));
export const PAGE_FILE = path.join(HERE, '..', '..', 'src', 'web', 'index.html');
export const EXE = process.env.SKIFFBOX_EXE || '';
export const WINE = process.env.SKIFFBOX_WINE || '';

// A name that only this browser resolves, to 127.0.0.1: a page opened under it is not a
// secure context, which is what a phone on the LAN address sees.
export const LAN_HOST = 'skiffbox.test';

export const PHONE_UA =
  'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) ' +
  'Chrome/156.0.0.0 Mobile Safari/537.36';
export const DESKTOP_UA =
  'Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) ' +
  'Chrome/156.0.0.0 Safari/537.36';

export async function launchBrowser() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--disable-gpu',
      // Every name resolves to nothing except the test name for loopback.
      `--host-resolver-rules=MAP ${LAN_HOST} 127.0.0.1, MAP * ~NOTFOUND, EXCLUDE 127.0.0.1`,
    ],
  });
}

export const DESKTOP = {
  viewport: { width: 1280, height: 800 }, userAgent: DESKTOP_UA, locale: 'zh-CN',
};
export const PHONE = {
  viewport: { width: 390, height: 844 }, userAgent: PHONE_UA, isMobile: true, hasTouch: true,
  deviceScaleFactor: 2, locale: 'zh-CN',
};

export async function newContext(browser, kind, extra = {}) {
  const ctx = await browser.newContext({ ...(kind === 'phone' ? PHONE : DESKTOP), acceptDownloads: true, ...extra });
  ctx.setDefaultTimeout(15000);
  await ctx.addInitScript(watchToasts);
  return ctx;
}

// ---- the real server ---------------------------------------------------------------

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function hostPath(p) {
  return WINE ? 'Z:' + path.resolve(p).replace(/\//g, '\\') : p;
}

// Starts the executable with a fresh inbox on a free port, with any further arguments given;
// resolves once it accepts. restart() ends it as a power cut would and starts it again on
// the same port and inbox.
export async function startServer(extraArgs = []) {
  if (!EXE) throw new Error('SKIFFBOX_EXE is not set');
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'skf-web-'));
  const inbox = path.join(tmp, 'inbox');
  const server = {
    port: await freePort(), inbox, tmp, extraArgs, proc: null, out: '', exited: null,
    output: () => server.out,
    url: (p = '/') => `http://127.0.0.1:${server.port}${p}`,
    lanUrl: (p = '/') => `http://${LAN_HOST}:${server.port}${p}`,
    async kill() {
      const { proc } = server;
      if (proc && server.exited === null) {
        try { process.kill(-proc.pid, 'SIGKILL'); } catch { proc.kill('SIGKILL'); }
        await new Promise((r) => (server.exited !== null ? r() : proc.once('exit', r)));
      }
    },
    async restart() {
      await server.kill();
      await launch(server);
    },
    async stop() {
      await server.kill();
      fs.rmSync(tmp, { recursive: true, force: true });
    },
  };
  try {
    await launch(server);
  } catch (e) {
    await server.stop();
    throw e;
  }
  return server;
}

async function launch(server) {
  // The phone's name is given as "--ip", as a user would: the server refuses every name that
  // is neither an address nor its own, since any site can point a name of its own here.
  const args = ['--no-open', '-p', String(server.port), '--inbox', hostPath(server.inbox), '--ip', LAN_HOST,
    ...server.extraArgs];
  const proc = spawn(WINE || EXE, WINE ? [EXE, ...args] : args, {
    stdio: ['ignore', 'pipe', 'ignore'], detached: true,
    env: WINE ? { ...process.env, WINEDEBUG: '-all' } : process.env,
  });
  server.proc = proc;
  server.exited = null;
  proc.stdout.on('data', (d) => { server.out += d.toString('utf8'); });
  proc.on('exit', (code) => { server.exited = code; });
  const deadline = Date.now() + (WINE ? 90000 : 20000);
  while (Date.now() < deadline) {
    if (server.exited !== null) throw new Error(`server ended at start (${server.exited}):\n${server.out}`);
    const m = server.out.match(/http:\/\/127\.0\.0\.1:(\d+)/g);
    if (m) server.port = Number(m[m.length - 1].split(':').pop());
    if (await accepts(server.port)) return;
    await sleep(50);
  }
  throw new Error('server did not start listening:\n' + server.out);
}

// A loopback proxy in front of the server that paces what clients send to `bytesPerSecond`
// (all connections together), so a test can act in the middle of an upload, and counts it.
// A connection whose server side is gone is cut, as a dropped network would. The server
// answers only its own address, so the proxy's port in Host and Origin becomes the server's
// (every connection carries one request).
export async function pacedProxy(targetPort, bytesPerSecond) {
  let nextFree = Date.now();
  const conns = new Set();
  const proxy = { sent: 0, port: 0 };
  const server = net.createServer((client) => {
    conns.add(client);
    const upstream = net.connect({ host: '127.0.0.1', port: targetPort() });
    const cut = () => { client.destroy(); upstream.destroy(); conns.delete(client); };
    upstream.on('error', cut);
    client.on('error', cut);
    client.on('close', cut);
    // The server's end of the answer ends the client's side once all of it is written.
    upstream.pipe(client);
    let head = Buffer.alloc(0);
    client.on('data', (buf) => {
      proxy.sent += buf.length;
      if (head) {
        head = Buffer.concat([head, buf]);
        const end = head.indexOf('\r\n\r\n');
        if (end < 0) return;
        const text = head.subarray(0, end).toString('latin1')
          .replaceAll(`${LAN_HOST}:${proxy.port}`, `${LAN_HOST}:${targetPort()}`);
        upstream.write(Buffer.concat([Buffer.from(text, 'latin1'), head.subarray(end)]));
        head = null;
      } else {
        upstream.write(buf);
      }
      nextFree = Math.max(nextFree, Date.now()) + buf.length / bytesPerSecond * 1000;
      const wait = nextFree - Date.now();
      if (wait > 1) { client.pause(); setTimeout(() => client.resume(), wait); }
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  proxy.port = server.address().port;
  proxy.close = () => new Promise((r) => { for (const c of conns) c.destroy(); server.close(r); });
  return proxy;
}

function accepts(port) {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port });
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

export function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }

// What the server on this build answers already: endpoints still missing from the build
// answer with the router's 404 for unknown paths (or nothing at all before the router).
export async function probeServer() {
  const has = {};
  let server;
  try {
    server = await startServer();
  } catch {
    return has;
  }
  const ask = async (method, p) => {
    try {
      const r = await fetch(server.url(p), { method, body: method === 'POST' ? '' : undefined });
      const text = await r.text();
      return { status: r.status, text };
    } catch {
      return { status: 0, text: '' };
    }
  };
  const known = (r) => r.status !== 0 && !/没有这个接口|没有这个页面/.test(r.text);
  try {
    has.page = (await ask('GET', '/')).text.includes('id="deviceChip"');
    const info = await ask('GET', '/api/info');
    has.info = info.status === 200 && info.text.includes('"base"');
    has.files = (await ask('GET', '/api/files')).text.includes('"usage"');
    has.texts = (await ask('GET', '/api/texts')).text.includes('"texts"');
    has.download = known(await ask('GET', '/f/missing.txt'));
    has.uploads = known(await ask('POST', '/api/uploads'));
    has.qr = (await ask('GET', '/qr.svg')).text.startsWith('<svg');
    for (const [name, p] of [['upload', '/api/upload'], ['zip', '/zip'], ['text', '/api/text'],
      ['delete', '/api/delete'], ['stat', '/api/stat'], ['clear', '/api/clear']]) {
      has[name] = known(await ask('POST', p));
    }
  } finally {
    await server.stop();
  }
  return has;
}

// ---- the stand-in site --------------------------------------------------------------

export const MOCK_ORIGIN = 'http://127.0.0.1:9';
export const MOCK_LAN_ORIGIN = `http://${LAN_HOST}:9`;

export function jsonAnswer(obj, status = 200) {
  return { status, contentType: 'application/json; charset=utf-8', body: typeof obj === 'string' ? obj : JSON.stringify(obj) };
}

export const INFO = {
  name: '舟匣', version: '1.0.0', port: 8620, ips: ['192.168.1.5'], ip: '192.168.1.5',
  base: 'http://192.168.1.5:8620', inbox: 'C:\\Users\\me\\舟匣\\收件箱', host: 'PC', tree: true,
};

// Serves the page from the source tree and answers the API from handlers keyed by
// "METHOD /path" (or "/path" for any method); every request is logged. Requests for
// another origin are aborted, so nothing leaves the browser.
export async function mockSite(context, handlers = {}, origin = MOCK_ORIGIN) {
  const log = [];
  const defaults = {
    'GET /api/info': () => jsonAnswer(INFO),
    'GET /api/files': () => jsonAnswer({ files: [], dir: '', usage: { count: 0, size: 0, warn: false } }),
    'GET /api/texts': () => jsonAnswer({ texts: [] }),
    'GET /favicon.ico': () => ({ status: 204, contentType: 'image/x-icon', body: '' }),
  };
  await context.route('**/*', async (route) => {
    const req = route.request();
    const url = new URL(req.url());
    const entry = {
      method: req.method(), path: url.pathname, query: url.searchParams, url: req.url(),
      headers: await req.allHeaders(), body: req.postDataBuffer(),
    };
    log.push(entry);
    if (url.origin !== origin) return route.abort();
    if (req.method() === 'GET' && (url.pathname === '/' || url.pathname === '/index.html')) {
      return route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: fs.readFileSync(PAGE_FILE) });
    }
    const key = `${req.method()} ${url.pathname}`;
    // "METHOD /folder/*" answers every path directly under the folder.
    const under = `${req.method()} ${url.pathname.slice(0, url.pathname.lastIndexOf('/'))}/*`;
    const h = handlers[key] || handlers[url.pathname] || handlers[under] || defaults[key];
    if (!h) return route.fulfill(jsonAnswer({ error: '没有这个页面' }, 404));
    const answer = await h(entry);
    if (answer === 'abort') return route.abort('connectionreset');
    return route.fulfill(answer);
  });
  return log;
}

// The parts of a multipart body: [{name, filename, data}], enough for the page's uploads.
export function multipartParts(entry) {
  const type = entry.headers['content-type'] || '';
  const m = type.match(/boundary=(.+)$/);
  if (!m || !entry.body) return [];
  const body = entry.body.toString('latin1');
  const parts = [];
  for (const chunk of body.split('--' + m[1]).slice(1, -1)) {
    const [head, ...rest] = chunk.split('\r\n\r\n');
    const name = /name="([^"]*)"/.exec(head);
    const filename = /filename="([^"]*)"/.exec(head);
    parts.push({
      name: name && name[1],
      filename: filename && Buffer.from(filename[1], 'latin1').toString('utf8'),
      data: rest.join('\r\n\r\n').slice(0, -2),
    });
  }
  return parts;
}

// A resumable-upload server in memory, for the stand-in site: handlers to spread into
// mockSite's, and what arrived. Each upload is {id, length, meta, data, patches: [offsets]}.
export function tusServer() {
  const uploads = new Map();
  const created = [];
  let n = 0;
  const tus = { 'Tus-Resumable': '1.0.0' };
  const find = (r) => uploads.get(r.path.slice(r.path.lastIndexOf('/') + 1));
  const handlers = {
    'POST /api/uploads': (r) => {
      const id = 'u' + (++n);
      const meta = {};
      for (const pair of (r.headers['upload-metadata'] || '').split(',')) {
        const [k, v = ''] = pair.trim().split(' ');
        if (k) meta[k] = Buffer.from(v, 'base64').toString('utf8');
      }
      const u = { id, length: Number(r.headers['upload-length']), meta, data: Buffer.alloc(0), patches: [], headers: r.headers };
      uploads.set(id, u);
      created.push(u);
      return { status: 201, headers: { ...tus, Location: '/api/uploads/' + id, 'Upload-Offset': '0' }, body: '' };
    },
    'HEAD /api/uploads/*': (r) => {
      const u = find(r);
      if (!u) return { status: 404, headers: tus, body: '' };
      return { status: 200, headers: { ...tus, 'Upload-Offset': String(u.data.length), 'Upload-Length': String(u.length), 'Cache-Control': 'no-store' }, body: '' };
    },
    'PATCH /api/uploads/*': (r) => {
      const u = find(r);
      if (!u) return { status: 404, headers: tus, body: '' };
      const at = Number(r.headers['upload-offset']);
      u.patches.push(at);
      if (at !== u.data.length) return { status: 409, headers: tus, body: '' };
      if (r.headers['content-type'] !== 'application/offset+octet-stream') return { status: 415, headers: tus, body: '' };
      u.data = Buffer.concat([u.data, r.body || Buffer.alloc(0)]);
      return { status: 204, headers: { ...tus, 'Upload-Offset': String(u.data.length) }, body: '' };
    },
    'DELETE /api/uploads/*': (r) => {
      const u = find(r);
      if (!u) return { status: 404, headers: tus, body: '' };
      uploads.delete(u.id);
      return { status: 204, headers: tus, body: '' };
    },
  };
  return { handlers, uploads, created };
}

// A picture every browser decodes, for thumbnails and previews that must show.
export const ONE_PIXEL_PNG = Buffer.from(
  'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAQAAAC1HAwCAAAAC0lEQVR42mNkYAAAAAYAAjCB0C8AAAAASUVORK5CYII=', 'base64');

// A file entry of a listing, as the server writes it.
export function fileEntry(name, { dir = '', size = 1000, kind = 'text', mtime = Date.now() / 1000 - 60, from = '本机' } = {}) {
  const rel = dir ? dir + '/' + name : name;
  return { name, size, mtime, from, mime: 'application/octet-stream', kind, url: '/f/' + rel.split('/').map(encodeURIComponent).join('/') };
}

export function folderEntry(name, { mtime = Date.now() / 1000 - 120 } = {}) {
  return { name, size: 0, mtime, from: '', mime: '', kind: 'dir', url: '' };
}

export function listing(files, dir = '', usage = { count: files.length, size: 12345, warn: false }) {
  return jsonAnswer({ files, dir, usage });
}

// Collects the texts of every notice the page shows, from the first one on, so a test
// can wait for a notice that may be replaced before it looks.
function watchToasts() {
  window.__toasts = [];
  new MutationObserver((records) => {
    const t = document.getElementById('toast');
    if (t && records.some((r) => t.contains(r.target))) window.__toasts.push(t.textContent);
  }).observe(document, { childList: true, characterData: true, subtree: true });
}

export async function waitToast(page, text) {
  await page.waitForFunction((want) => (window.__toasts || []).includes(want), text);
}

// Drops entries on the drop zone through the page's folder-walk path. Each entry is
// {name, files: [relative paths]} for a folder or {name} for a loose file; folder
// readers hand out at most `batch` entries per read, like the browsers do.
export async function dropEntries(page, specs, batch = 100) {
  await page.evaluate(({ specs, batch }) => {
    function fileEnt(fullPath) {
      const name = fullPath.slice(fullPath.lastIndexOf('/') + 1);
      return {
        isFile: true, isDirectory: false, name, fullPath,
        file(ok) { setTimeout(() => ok(new File(['data of ' + fullPath], name))); },
      };
    }
    function dirEnt(fullPath, children) {
      return {
        isFile: false, isDirectory: true, name: fullPath.slice(fullPath.lastIndexOf('/') + 1), fullPath,
        createReader() {
          let at = 0;
          return {
            readEntries(ok) {
              const part = children.slice(at, at + batch);
              at += part.length;
              setTimeout(() => ok(part));
            },
          };
        },
      };
    }
    // Builds the tree of one dropped folder from its files' relative paths.
    function folderTree(name, files) {
      const root = { kids: new Map() };
      for (const rel of files) {
        let node = root;
        const segs = rel.split('/');
        segs.forEach((seg, i) => {
          if (i === segs.length - 1) node.kids.set(seg, null);
          else {
            if (!node.kids.get(seg)) node.kids.set(seg, { kids: new Map() });
            node = node.kids.get(seg);
          }
        });
      }
      const build = (node, full) => dirEnt(full, [...node.kids].map(([k, v]) => (v ? build(v, full + '/' + k) : fileEnt(full + '/' + k))));
      return build(root, '/' + name);
    }
    const dt = new DataTransfer();
    const byName = new Map();
    for (const s of specs) {
      dt.items.add(new File(['data of /' + s.name], s.name));
      byName.set(s.name, s.files ? folderTree(s.name, s.files) : fileEnt('/' + s.name));
    }
    DataTransferItem.prototype.webkitGetAsEntry = function () { return byName.get(this.getAsFile().name) || null; };
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true, cancelable: true }));
  }, { specs, batch });
}

// Every file under a folder, as "relative/path" => content, hidden names left out.
export function readTree(root) {
  const out = {};
  const walk = (dir, prefix) => {
    for (const name of fs.readdirSync(dir).sort()) {
      if (name.startsWith('.')) continue;
      const full = path.join(dir, name);
      if (fs.statSync(full).isDirectory()) walk(full, prefix + name + '/');
      // An own property even for a file named __proto__.
      else Object.defineProperty(out, prefix + name, { value: fs.readFileSync(full, 'utf8'), enumerable: true, writable: true, configurable: true });
    }
  };
  if (fs.existsSync(root)) walk(root, '');
  return out;
}

// Answers the page's confirm and prompt dialogs from a queue (true accepts, false or null
// dismisses, a string is typed into a prompt) and records their messages.
export function answerDialogs(page, queue = []) {
  const seen = [];
  page.on('dialog', async (d) => {
    seen.push({ type: d.type(), message: d.message(), value: d.defaultValue() });
    const a = queue.length ? queue.shift() : false;
    if (a === false || a === null) await d.dismiss();
    else await d.accept(typeof a === 'string' ? a : undefined);
  });
  return { seen, queue };
}

// Uncaught errors of the page's script fail the test that collects them.
export function collectErrors(page) {
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  // Error answers the page expects (a vanished folder, a refused ZIP) are logged by the
  // browser as failed loads; those are not faults of the script.
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) errors.push(m.text());
  });
  return errors;
}
