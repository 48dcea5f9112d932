// The page end to end against the real server (SKIFFBOX_EXE) on 127.0.0.1, in a desktop
// context and a phone context; the phone opens the server under a name that is not a
// secure context, as a phone on the LAN address does.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import {
  launchBrowser, newContext, startServer, probeServer, waitToast, dropEntries, answerDialogs,
  collectErrors, readTree, sleep, pacedProxy, WINE, LAN_HOST,
} from './lib.mjs';

const has = await probeServer();
// An endpoint that this build does not serve yet skips the tests that need it, saying so.
function needs(...names) {
  const missing = names.filter((n) => !has[n]);
  return missing.length ? `the server does not serve ${missing.join(', ')} yet` : false;
}

let browser;

async function openReal(server, kind) {
  const ctx = await newContext(browser, kind);
  const page = await ctx.newPage();
  const errors = collectErrors(page);
  const requests = [];
  page.on('request', (r) => requests.push(r));
  await page.goto(kind === 'phone' ? server.lanUrl('/') : server.url('/'));
  await page.waitForFunction(() => document.title !== '舟匣');
  return { ctx, page, errors, requests };
}

// The resumable uploads the page created, with their metadata decoded.
const creations = (requests) => requests
  .filter((r) => r.method() === 'POST' && new URL(r.url()).pathname === '/api/uploads')
  .map((r) => {
    const meta = {};
    for (const pair of (r.headers()['upload-metadata'] || '').split(',')) {
      const [k, v = ''] = pair.split(' ');
      meta[k] = Buffer.from(v, 'base64').toString('utf8');
    }
    return meta;
  });

async function waitFor(cond, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    if (await cond()) return;
    if (Date.now() > end) throw new Error('condition not met in time: ' + cond);
    await sleep(50);
  }
}

function writeFiles(root, files) {
  for (const [rel, content] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(root, rel)), { recursive: true });
    fs.writeFileSync(path.join(root, rel), content);
  }
}

// Uploads [name, content] pairs through the file picker and waits until the page lists
// the last one. (Pairs, not an object: a literal key "__proto__" would set a prototype.)
async function pickFiles(page, files) {
  await page.setInputFiles('#picker', files.map(([name, content]) => ({
    name, mimeType: 'application/octet-stream', buffer: Buffer.from(content),
  })));
  await page.waitForSelector(`.row[data-path="${files[files.length - 1][0]}"]`);
}

function zipEntries(file) {
  const out = execFileSync('python3', ['-c',
    'import json,sys,zipfile\nz=zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n' +
    'print(json.dumps({i.filename: z.read(i).decode() for i in z.infolist()}))', file]);
  return JSON.parse(out.toString());
}

async function downloadOf(page, action) {
  const [dl] = await Promise.all([page.waitForEvent('download'), action()]);
  const file = await dl.path();
  return { dl, file, text: fs.readFileSync(file, 'utf8') };
}

describe('page against the real server', { skip: WINE ? 'the Windows build runs the smoke test only' : false }, () => {
  let server;
  before(async () => { browser = await launchBrowser(); });
  after(async () => { await browser.close(); });
  const fresh = async () => { server = await startServer(); return server; };
  const done = async (...ctxs) => { for (const c of ctxs) await c.close(); await server.stop(); };

  for (const kind of ['desktop', 'phone']) {
    test(`${kind}: the page loads and requests nothing but itself`, { skip: needs('page') }, async () => {
      await fresh();
      const { ctx, page, errors, requests } = await openReal(server, kind);
      await page.waitForTimeout(3500);
      const origin = new URL(page.url()).origin;
      const seen = new Set(requests.map((r) => `${r.method()} ${r.url().replace(origin, '')}`));
      const allowed = ['GET /', 'GET /api/info', 'GET /api/files', 'GET /api/texts', 'GET /favicon.ico'];
      for (const s of seen) assert.ok(allowed.includes(s), 'unexpected request ' + s);
      assert.equal(await page.isHidden('#btnOpen'), kind === 'phone');
      if (has.info) assert.equal(await page.textContent('#addr'), `${LAN_HOST}:${server.port}`);
      assert.deepEqual(errors, []);
      await done(ctx);
    });
  }

  test('the QR dialog shows the server\'s code of the address', { skip: needs('page', 'info', 'qr') }, async () => {
    await fresh();
    const { ctx, page, errors } = await openReal(server, 'phone');
    await page.click('#btnQr');
    await page.waitForFunction(() => { const i = document.querySelector('#modalBox .qr-svg'); return i && i.complete && i.naturalWidth > 0; });
    const url = await page.textContent('#modalBox .qr-u');
    assert.equal(url, 'http://' + (await page.textContent('#addr')));
    assert.equal(await page.getAttribute('#modalBox .qr-svg', 'src'), '/qr.svg?data=' + encodeURIComponent(url));
    await page.click('#modal', { position: { x: 5, y: 5 } });
    assert.equal(await page.isHidden('#modal'), true);
    assert.deepEqual(errors, []);
    await done(ctx);
  });

  test('phone: pickers upload loose files and a folder tree, under the device name', { skip: needs('page', 'uploads', 'files') }, async () => {
    await fresh();
    const { ctx, page, errors, requests } = await openReal(server, 'phone');
    answerDialogs(page, ['  小明 的 手机  ']);
    await page.click('#deviceChip');
    assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_device')), '小明 的 手机');

    await pickFiles(page, [['a.txt', 'A'], ['说明 1.txt', 'B'], ['c.bin', '']]);
    const folder = path.join(server.tmp, 'picked', '项目资料');
    writeFiles(folder, { '图片/a.jpg': 'jpg', '文档/b.txt': 'txt', 'top.md': '# md' });
    await page.setInputFiles('#folderPick', folder);
    await page.waitForSelector('.row[data-path="项目资料"]');
    // A folder is listed with its first file; the others follow one by one.
    await waitFor(() => Object.keys(readTree(server.inbox)).length === 6);
    assert.equal(creations(requests).length, 6);
    assert.deepEqual([...new Set(creations(requests).map((m) => m.device))], ['小明 的 手机']);
    assert.deepEqual(readTree(server.inbox), {
      'a.txt': 'A', 'c.bin': '', '说明 1.txt': 'B',
      '项目资料/图片/a.jpg': 'jpg', '项目资料/文档/b.txt': 'txt', '项目资料/top.md': '# md',
    });
    // The sender is recorded once the drop has settled on the PC; the next poll shows it.
    await page.waitForFunction(() => / · 小明 的 手机 · /.test(document.querySelector('.row[data-path="a.txt"] .sb').textContent));
    await page.click('.row[data-path="项目资料"]');
    await page.waitForSelector('.row[data-path="项目资料/图片"]');
    assert.deepEqual(errors, []);
    await done(ctx);
  });

  test('drops: one group per drop; a folder dropped again lands whole in a numbered folder, loose names numbered; a 250-file folder read in batches', { skip: needs('page', 'uploads', 'files') }, async () => {
    await fresh();
    const { ctx, page, requests } = await openReal(server, 'desktop');
    const drop = [
      { name: 'x.txt' }, { name: '项目资料', files: ['图片/a.jpg', '文档/b.jpg'] }, { name: 'y.txt' },
      { name: 'photos', files: ['2024/p.jpg'] },
    ];
    await dropEntries(page, drop);
    await page.waitForSelector('.row[data-path="photos"]');
    await waitFor(() => Object.keys(readTree(server.inbox)).length === 5);
    let made = creations(requests);
    assert.deepEqual(made.map((m) => m.filename).sort(), ['photos/2024/p.jpg', 'x.txt', 'y.txt', '项目资料/图片/a.jpg', '项目资料/文档/b.jpg']);
    assert.equal(new Set(made.map((m) => m.group)).size, 1);

    // The same drop again: the names a multipart upload of the same files would get.
    await dropEntries(page, drop);
    await waitFor(() => Object.keys(readTree(server.inbox)).length === 10);
    made = creations(requests);
    assert.equal(new Set(made.map((m) => m.group)).size, 2);
    assert.deepEqual(readTree(server.inbox), {
      'photos/2024/p.jpg': 'data of /photos/2024/p.jpg', 'photos(1)/2024/p.jpg': 'data of /photos/2024/p.jpg',
      'x(1).txt': 'data of /x.txt', 'x.txt': 'data of /x.txt', 'y(1).txt': 'data of /y.txt', 'y.txt': 'data of /y.txt',
      '项目资料(1)/图片/a.jpg': 'data of /项目资料/图片/a.jpg', '项目资料(1)/文档/b.jpg': 'data of /项目资料/文档/b.jpg',
      '项目资料/图片/a.jpg': 'data of /项目资料/图片/a.jpg', '项目资料/文档/b.jpg': 'data of /项目资料/文档/b.jpg',
    });

    const names = Array.from({ length: 250 }, (_, i) => `n${i}.txt`);
    await dropEntries(page, [{ name: '批量', files: names }]);
    await page.waitForSelector('.row[data-path="批量"]');
    await waitFor(() => fs.existsSync(path.join(server.inbox, '批量')) && fs.readdirSync(path.join(server.inbox, '批量')).length === 250, 60000);
    await page.waitForSelector('#upCard[hidden]', { state: 'attached' });
    assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_uploads')), null);
    await done(ctx);
  });

  // A phone's upload through a paced proxy, so that the test can act half-way.
  async function pacedUpload(kind, size) {
    await fresh();
    const proxy = await pacedProxy(() => server.port, 16 * 1048576);
    const ctx = await newContext(browser, kind);
    const page = await ctx.newPage();
    const errors = collectErrors(page);
    await page.goto(`http://${LAN_HOST}:${proxy.port}/`);
    const file = path.join(server.tmp, 'clip.mp4');
    fs.writeFileSync(file, crypto.randomBytes(size));
    await page.setInputFiles('#picker', file);
    const sha = (f) => crypto.createHash('sha256').update(fs.readFileSync(f)).digest('hex');
    return { proxy, ctx, page, errors, file, sha };
  }

  test('phone: the server stops and starts again mid-upload; the upload finishes by itself, bytes intact', { skip: needs('page', 'uploads', 'files') }, async () => {
    const size = 80 * 1048576;
    const { proxy, ctx, page, errors, file, sha } = await pacedUpload('phone', size);
    // Into the second piece of 64 MiB, so that the first is recorded on the PC before the cut.
    await waitFor(() => proxy.sent > 70 * 1048576, 30000);
    await server.restart();
    const after = proxy.sent;
    await page.waitForSelector('.row[data-path="clip.mp4"]', { timeout: 60000 });
    assert.equal(sha(path.join(server.inbox, 'clip.mp4')), sha(file));
    assert.ok(proxy.sent - after < size, `sent ${proxy.sent - after} bytes after the restart for a ${size}-byte file`);
    assert.deepEqual(Object.keys(readTree(server.inbox)), ['clip.mp4']);
    assert.deepEqual(errors, []);
    await proxy.close();
    await done(ctx);
  });

  test('phone: after a reload the half-sent file is listed, and picking it again sends only the rest', { skip: needs('page', 'uploads', 'files') }, async () => {
    const size = 40 * 1048576;
    const { proxy, ctx, page, errors, file, sha } = await pacedUpload('phone', size);
    await waitFor(() => proxy.sent > 20 * 1048576, 30000);
    await page.reload();
    await page.waitForSelector('.up.pend');
    assert.equal(await page.textContent('.up.pend .up-nm'), 'clip.mp4');
    // What the PC holds, asked after the reload: every byte that arrived before the cut.
    await page.waitForFunction(() => /^已传 (1\d|2\d)\.\d MB \/ 40\.0 MB/.test(document.querySelector('.up.pend .up-sb').textContent));
    const before = proxy.sent;
    await page.setInputFiles('#picker', file);
    await page.waitForSelector('.row[data-path="clip.mp4"]', { timeout: 60000 });
    assert.equal(sha(path.join(server.inbox, 'clip.mp4')), sha(file));
    assert.ok(proxy.sent - before < size - 10 * 1048576, `sent ${proxy.sent - before} bytes the second time for a ${size}-byte file`);
    assert.deepEqual(Object.keys(readTree(server.inbox)), ['clip.mp4']);
    assert.deepEqual(errors, []);
    await proxy.close();
    await done(ctx);
  });

  test('two pages: a new file shows within one poll; a deleted folder returns the other page to the top', { skip: needs('page', 'uploads', 'files', 'delete', 'stat') }, async () => {
    await fresh();
    const a = await openReal(server, 'desktop');
    const b = await openReal(server, 'phone');
    await pickFiles(a.page, [['new.txt', 'fresh']]);
    const t0 = Date.now();
    await b.page.waitForSelector('.row[data-path="new.txt"]', { timeout: 4500 });
    assert.ok(Date.now() - t0 < 4500);

    writeFiles(path.join(server.tmp, 'src', 'trip'), { 'x.txt': 'x' });
    await a.page.setInputFiles('#folderPick', path.join(server.tmp, 'src', 'trip'));
    await b.page.click('.row[data-path="trip"]', { timeout: 5000 });
    await b.page.waitForSelector('.row[data-path="trip/x.txt"]');
    answerDialogs(a.page, [true]);
    await a.page.click('.row[data-path="trip"] [data-act=del]');
    await a.page.waitForSelector('.row[data-path="trip"]', { state: 'detached' });
    await b.page.waitForSelector('#crumb[hidden]', { state: 'attached', timeout: 4500 });
    await b.page.waitForSelector('.row[data-path="new.txt"]');
    await done(a.ctx, b.ctx);
  });

  test('downloads: one file directly, a folder or two files as a ZIP, a ZIP error as a notice; __proto__ too', { skip: needs('page', 'uploads', 'files', 'download', 'zip') }, async () => {
    await fresh();
    const { ctx, page, errors } = await openReal(server, 'desktop');
    await pickFiles(page, [['a.txt', 'A file'], ['__proto__', 'proto']]);
    writeFiles(path.join(server.tmp, 'src', 'pics'), { 'x.txt': 'x', 'sub/y.txt': 'y' });
    await page.setInputFiles('#folderPick', path.join(server.tmp, 'src', 'pics'));
    await page.waitForSelector('.row[data-path="pics"]');
    // A folder is listed with its first file; the others follow one by one.
    await waitFor(() => Object.keys(readTree(server.inbox)).length === 4);
    const box = (p) => `.row[data-path="${p}"] input.pick`;

    await page.check(box('__proto__'));
    let got = await downloadOf(page, () => page.click('#btnZip'));
    assert.equal(got.text, 'proto');
    assert.equal(got.dl.suggestedFilename(), '__proto__');

    await page.check(box('a.txt'));
    got = await downloadOf(page, () => page.click('#btnZip'));
    assert.deepEqual(zipEntries(got.file), JSON.parse('{"__proto__": "proto", "a.txt": "A file"}'));
    assert.match(got.dl.suggestedFilename(), /^收件箱-\d{8}-\d{4}\.zip$/);

    got = await downloadOf(page, () => page.click('.row[data-path="pics"] [data-act=zip]'));
    assert.deepEqual(zipEntries(got.file), { 'pics/sub/y.txt': 'y', 'pics/x.txt': 'x' });

    // Files gone behind the page's back: the archive is refused and the page stays.
    fs.rmSync(path.join(server.inbox, 'a.txt'));
    fs.rmSync(path.join(server.inbox, '__proto__'));
    await page.click('#btnZip');
    await waitToast(page, '文件不存在');
    assert.equal(page.url(), server.url('/'));
    assert.deepEqual(errors, []);
    await done(ctx);
  });

  test('previews: an image dialog, a video whose dialog stops it on close, a text file in a new window', { skip: needs('page', 'uploads', 'files', 'download') }, async () => {
    await fresh();
    const { ctx, page } = await openReal(server, 'desktop');
    const png = await page.screenshot({ clip: { x: 0, y: 0, width: 40, height: 30 } });
    const webm = Buffer.from(await page.evaluate(recordVideo), 'base64');
    await page.setInputFiles('#picker', [
      { name: 'pic.png', mimeType: 'image/png', buffer: png },
      { name: 'clip.webm', mimeType: 'video/webm', buffer: webm },
      { name: 'notes.txt', mimeType: 'text/plain', buffer: Buffer.from('plain notes') },
    ]);
    await page.waitForSelector('.row[data-path="notes.txt"]');
    await page.waitForFunction(() => { const i = document.querySelector('.row[data-path="pic.png"] .ico img'); return i && i.naturalWidth === 40; });

    await page.click('.row[data-path="pic.png"] [data-act=view]');
    await page.waitForFunction(() => { const i = document.querySelector('#modalBox img'); return i && i.naturalWidth === 40; });
    await page.click('#modalBox [data-close]');

    await page.click('.row[data-path="clip.webm"] [data-act=view]');
    await page.waitForFunction(() => { const v = document.querySelector('#modalBox video'); return v && !v.paused && v.currentTime > 0; });
    await page.evaluate(() => { window.__video = document.querySelector('#modalBox video'); });
    await page.click('#modalBox [data-close]');
    assert.equal(await page.evaluate(() => window.__video.paused && !window.__video.isConnected), true);
    assert.equal(await page.isHidden('#modal'), true);

    const [popup] = await Promise.all([ctx.waitForEvent('page'), page.click('.row[data-path="notes.txt"] [data-act=view]')]);
    await popup.waitForLoadState();
    assert.equal(new URL(popup.url()).pathname, '/f/notes.txt');
    assert.equal((await popup.textContent('body')).trim(), 'plain notes');
    await done(ctx);
  });

  test('delete, clear and the text tab from a phone', { skip: needs('page', 'uploads', 'files', 'delete', 'stat', 'clear', 'text', 'texts') }, async () => {
    await fresh();
    const { ctx, page, errors } = await openReal(server, 'phone');
    const d = answerDialogs(page, [true, true, true, true]);
    await pickFiles(page, [['keep.txt', '12345678'], ['gone.txt', 'x']]);
    writeFiles(path.join(server.tmp, 'src', 'photos'), { 'a.jpg': 'aaa', 'b.jpg': 'bbbb', 'sub/c.jpg': 'ccccc' });
    await page.setInputFiles('#folderPick', path.join(server.tmp, 'src', 'photos'));
    await page.waitForSelector('.row[data-path="photos"]');
    // A folder is listed with its first file; the others follow one by one.
    await waitFor(() => Object.keys(readTree(server.inbox)).length === 5);

    await page.click('.row[data-path="photos"] [data-act=del]');
    await page.waitForSelector('.row[data-path="photos"]', { state: 'detached' });
    assert.equal(d.seen[0].message, '删除文件夹「photos」？里面有 3 个文件，含 1 个子文件夹、共 12 B。删了不可恢复。');
    await page.click('.row[data-path="gone.txt"] [data-act=del]');
    await page.waitForSelector('.row[data-path="gone.txt"]', { state: 'detached' });
    assert.equal(d.seen[1].message, '确定删除「gone.txt」？删除后不可恢复。');
    assert.deepEqual(readTree(server.inbox), { 'keep.txt': '12345678' });

    await page.click('#btnClear');
    await waitToast(page, '已清空 1 项');
    assert.equal(d.seen[2].message, '确定清空收件箱里的 1 个文件（共 8 B）？子文件夹会一起删掉，不可恢复。');
    assert.deepEqual(readTree(server.inbox), {});
    await page.waitForSelector('#fileList .empty');

    await page.click('[data-tab=text]');
    for (const text of ['第一段', ' 验证码 482913 ']) {
      await page.fill('#ta', text);
      await page.click('#btnSend');
      await waitToast(page, '已发送，另一台设备刷新即可看到');
    }
    await page.waitForFunction(() => document.querySelectorAll('.tx').length === 2);
    assert.equal(await page.textContent('.tx .tx-body'), '验证码 482913');
    assert.match(await page.textContent('.tx .tx-foot span'), /^安卓手机 · 今天 \d\d:\d\d$/);
    await page.evaluate(() => { window.__toasts = []; });
    await page.click('.tx [data-copy]');
    await waitToast(page, '已复制');
    await page.click('.tx [data-del]');
    await page.waitForFunction(() => document.querySelectorAll('.tx').length === 1);
    assert.equal(await page.textContent('.tx .tx-body'), '第一段');
    await page.click('#btnClearTx');
    await page.waitForSelector('#txList .empty');
    assert.equal(d.seen[3].message, '清空全部文字？');
    assert.deepEqual(errors, []);
    await done(ctx);
  });
});

describe('smoke run against the Windows build', { skip: WINE ? false : 'only with SKIFFBOX_WINE' }, () => {
  before(async () => { browser = await launchBrowser(); });
  after(async () => { await browser.close(); });

  test('load, upload, list, download', { skip: needs('page', 'uploads', 'files', 'download') }, async () => {
    const server = await startServer();
    const { ctx, page, errors } = await openReal(server, 'phone');
    await pickFiles(page, [['你好.txt', 'hello from wine']]);
    const got = await downloadOf(page, () => page.click('.row[data-path="你好.txt"] a.icon-btn'));
    assert.equal(got.text, 'hello from wine');
    assert.deepEqual(readTree(server.inbox), { '你好.txt': 'hello from wine' });
    assert.deepEqual(errors, []);
    await ctx.close();
    await server.stop();
  });
});

// Records about a second of a changing canvas as WebM, inside the page; base64 of it.
async function recordVideo() {
  const c = document.createElement('canvas');
  c.width = 64; c.height = 48;
  const g = c.getContext('2d');
  const rec = new MediaRecorder(c.captureStream(25), { mimeType: 'video/webm' });
  const chunks = [];
  rec.ondataavailable = (e) => chunks.push(e.data);
  rec.start(100);
  for (let i = 0; i < 30; i++) {
    g.fillStyle = `hsl(${i * 12},80%,50%)`;
    g.fillRect(0, 0, 64, 48);
    await new Promise((r) => setTimeout(r, 40));
  }
  rec.stop();
  await new Promise((r) => { rec.onstop = r; });
  const bytes = new Uint8Array(await new Blob(chunks).arrayBuffer());
  let s = '';
  for (const b of bytes) s += String.fromCharCode(b);
  return btoa(s);
}
