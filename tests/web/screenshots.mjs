// Pictures of the page's main states, desktop (1280x800) and phone (390x844), light and
// dark, into tests/web/screenshots/ (kept out of the repository) for a person to look at.
// The states are staged on the stand-in site, so they look the same on every run.
// Usage: node screenshots.mjs
import fs from 'node:fs';
import path from 'node:path';
import {
  HERE, launchBrowser, newContext, mockSite, jsonAnswer, INFO, MOCK_ORIGIN, fileEntry, folderEntry,
  listing, dropEntries, sleep,
} from './lib.mjs';

const OUT = path.join(HERE, 'screenshots');
fs.mkdirSync(OUT, { recursive: true });

const now = Date.now() / 1000;
const top = [
  folderEntry('项目资料'), folderEntry('Screenshots 2024'),
  fileEntry('IMG_20240315_093012.jpg', { kind: 'image', size: 734003, mtime: now - 300, from: 'iPhone' }),
  fileEntry('会议纪要-第三季度-产品路线图与预算讨论（最终版）-修订稿.docx', { kind: 'doc', size: 48213, mtime: now - 4000, from: '安卓手机' }),
  fileEntry('vacation.mp4', { kind: 'video', size: 523763712, mtime: now - 90000, from: 'iPhone' }),
  fileEntry('报表.xlsx', { kind: 'sheet', size: 20480, mtime: now - 200000 }),
  fileEntry('backup.zip', { kind: 'archive', size: 2254857830, mtime: now - 400000 }),
  fileEntry('notes.txt', { kind: 'text', size: 312, mtime: now - 500000, from: 'Windows 电脑' }),
];
const inFolder = [
  folderEntry('文档'),
  fileEntry('合同扫描件.pdf', { dir: '项目资料/文档', kind: 'pdf', size: 1887436 }),
  fileEntry('song.mp3', { dir: '项目资料/文档', kind: 'audio', size: 4404019, from: '安卓手机' }),
];
const texts = [
  { id: '17100000000001234', text: 'https://example.com/some/very/long/link?with=query&and=more-parameters-that-go-on-and-on', from: 'iPhone', time: now - 120 },
  { id: '17100000000005678', text: 'WiFi 密码：skiff-2024\n验证码 482913', from: '安卓手机', time: now - 86400 * 2 },
];
const PICTURE = '<svg xmlns="http://www.w3.org/2000/svg" width="640" height="420"><defs><linearGradient id="g" x1="0" y1="0" x2="1" y2="1">' +
  '<stop offset="0" stop-color="#ffb347"/><stop offset="1" stop-color="#2f6bff"/></linearGradient></defs>' +
  '<rect width="640" height="420" fill="url(#g)"/><circle cx="480" cy="120" r="60" fill="#fff8"/></svg>';
function qrStandIn() {
  let d = '';
  for (let r = 0; r < 25; r++) for (let c = 0; c < 25; c++) if ((r * 7 + c * 13 + r * c) % 3 === 0 || (r < 7 && c < 7) || (r < 7 && c > 17) || (r > 17 && c < 7)) d += `M${c * 8 + 32} ${r * 8 + 32}h8v8h-8z`;
  return `<svg xmlns="http://www.w3.org/2000/svg" width="264" height="264" viewBox="0 0 264 264" shape-rendering="crispEdges"><rect width="100%" height="100%" fill="#ffffff"/><path fill="#0f172a" d="${d}"/></svg>`;
}

const handlers = {
  'GET /api/info': () => jsonAnswer({ ...INFO, ips: ['192.168.1.5', '10.0.0.7'] }),
  'GET /api/files': (r) => {
    const dir = r.query.get('dir') || '';
    if (dir) return listing(inFolder, dir, { count: 42, size: 5905580032, warn: true });
    return listing(top, '', { count: 42, size: 3221225472, warn: false });
  },
  'GET /api/texts': () => jsonAnswer({ texts }),
  'POST /api/upload': async () => { await sleep(4000); return jsonAnswer({ ok: true }); },
  'GET /qr.svg': () => ({ status: 200, contentType: 'image/svg+xml', body: qrStandIn() }),
};
for (const f of top.concat(inFolder)) {
  if (f.kind === 'image') handlers[decodeURIComponent(f.url)] = () => ({ status: 200, contentType: 'image/svg+xml', body: PICTURE });
}

const browser = await launchBrowser();
for (const kind of ['desktop', 'phone']) {
  for (const scheme of ['light', 'dark']) {
    const ctx = await newContext(browser, kind, { colorScheme: scheme });
    await mockSite(ctx, handlers);
    const page = await ctx.newPage();
    const shot = async (name, full = false) => {
      await sleep(350);
      await page.screenshot({ path: path.join(OUT, `${kind}-${scheme}-${name}.png`), fullPage: full });
    };
    await page.goto(MOCK_ORIGIN + '/');
    await page.waitForSelector('.row');
    await page.check('.row[data-path="notes.txt"] input.pick');
    await shot('files', true);

    await page.click('.row[data-path="项目资料"]');
    await page.waitForSelector('#crumb em');
    await page.click('.row.dir');
    await page.waitForFunction(() => document.querySelectorAll('#crumb em, #crumb b').length === 3);
    await dropEntries(page, [{ name: '旅行照片', files: ['a.jpg', 'b.jpg', 'c/d.jpg'] }, { name: 'readme.txt' }]);
    await page.waitForSelector('.up');
    await page.evaluate(() => { document.querySelector('.up .bar i').style.width = '42%'; document.querySelector('.up .up-pc').textContent = '42%'; });
    await shot('folder-upload', true);

    await page.click('#btnQr');
    await shot('qr');
    await page.keyboard.press('Escape');

    await page.reload();
    await page.waitForSelector('.row');
    await page.click('.row[data-path="IMG_20240315_093012.jpg"] [data-act=view]');
    await page.waitForFunction(() => { const i = document.querySelector('#modalBox img'); return i && i.complete; });
    await shot('preview');
    await page.keyboard.press('Escape');

    await page.click('[data-tab=text]');
    await page.waitForSelector('.tx');
    await page.evaluate(() => { const t = document.getElementById('toast'); t.textContent = '已发送，另一台设备刷新即可看到'; t.classList.add('on'); });
    await shot('text', true);
    await ctx.close();
  }
}
await browser.close();
console.log('screenshots in ' + OUT);
