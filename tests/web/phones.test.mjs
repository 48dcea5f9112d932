// The page as phone browsers see it, against the stand-in site at phone size: what the
// user agent decides (the chat apps' browsers, which engines pick folders, iPads that ask
// for desktop pages), the copy fallback when the browser's copy command fails or lies,
// and pictures or films the browser cannot show.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  launchBrowser, newContext, mockSite, jsonAnswer, INFO, MOCK_LAN_ORIGIN, tusServer,
  fileEntry, folderEntry, listing, waitToast, collectErrors, sleep, ONE_PIXEL_PNG,
} from './lib.mjs';

const IPHONE_17 = 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 ' +
  '(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1';
const IPHONE_18_4 = 'Mozilla/5.0 (iPhone; CPU iPhone OS 18_4 like Mac OS X) AppleWebKit/605.1.15 ' +
  '(KHTML, like Gecko) Version/18.4 Mobile/15E148 Safari/604.1';
const WECHAT_ANDROID = 'Mozilla/5.0 (Linux; Android 13; V2055A Build/TP1A.220624.014; wv) AppleWebKit/537.36 ' +
  '(KHTML, like Gecko) Version/4.0 Chrome/134.0.6998.136 Mobile Safari/537.36 XWEB/1340129 MMWEBSDK/20250201 ' +
  'MMWEBID/1234 MicroMessenger/8.0.58.2841(0x28003A35) WeChat/arm64 Weixin NetType/WIFI Language/zh_CN ABI/arm64';
const QQ_IOS = 'Mozilla/5.0 (iPhone; CPU iPhone OS 18_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) ' +
  'Mobile/15E148 QQ/9.1.75.613 V1_IPH_SQ_9.1.75_1_APP_A Pixel/1179 Core/WKWebView Device/Apple(iPhone 15 Pro) ' +
  'NetType/WIFI QBWebViewType/1 WKType/1';
const QQ_BROWSER = 'Mozilla/5.0 (Linux; U; Android 12; zh-cn; PDEM10 Build/SKQ1.210216.001) AppleWebKit/537.36 ' +
  '(KHTML, like Gecko) Version/4.0 Chrome/109.0.5414.86 MQQBrowser/15.4 Mobile Safari/537.36';
const chromeAndroid = (v) => 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) ' +
  `Chrome/${v}.0.0.0 Mobile Safari/537.36`;
// What Safari on an iPad and on a Mac both send.
const MAC_SAFARI = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) ' +
  'Version/18.4 Safari/605.1.15';

const WECHAT_ADVICE = '在微信里下载不了文件：请点右上角 ··· ，选「在浏览器打开」。';

// touch: navigator.maxTouchPoints; stored: a device name this browser kept from before.
const AGENTS = [
  { name: 'iPhone Safari 17', ua: IPHONE_17, device: 'iPhone', folders: false, ios: true },
  { name: 'iPhone Safari 18.4', ua: IPHONE_18_4, device: 'iPhone', folders: true, ios: true },
  { name: 'WeChat on Android', ua: WECHAT_ANDROID, device: '安卓手机', inApp: true },
  { name: 'QQ on iOS', ua: QQ_IOS, device: 'iPhone', inApp: true, ios: true },
  { name: 'QQ Browser', ua: QQ_BROWSER, device: '安卓手机' },
  { name: 'Chrome for Android 131', ua: chromeAndroid(131), device: '安卓手机' },
  { name: 'Chrome for Android 132', ua: chromeAndroid(132), device: '安卓手机', folders: true },
  { name: 'iPad asking for desktop pages', ua: MAC_SAFARI, touch: 5, stored: 'Mac 电脑', device: 'iPad', folders: true, ios: true },
  { name: 'Mac', ua: MAC_SAFARI, touch: 0, stored: 'Mac 电脑', device: 'Mac 电脑', folders: true, open: true },
];

let browser;

async function openPhone(ua, handlers = {}, { touch, stored } = {}) {
  const ctx = await newContext(browser, 'phone', { userAgent: ua });
  await ctx.addInitScript(({ touch, stored }) => {
    if (window !== window.top) return;
    if (touch !== undefined) Object.defineProperty(Navigator.prototype, 'maxTouchPoints', { get: () => touch });
    if (stored !== undefined) localStorage.setItem('skiffbox_device', stored);
  }, { touch, stored });
  const log = await mockSite(ctx, handlers, MOCK_LAN_ORIGIN);
  const page = await ctx.newPage();
  const errors = collectErrors(page);
  await page.goto(MOCK_LAN_ORIGIN + '/');
  await page.waitForFunction(() => document.getElementById('deviceName').textContent !== '读取中…');
  return { ctx, page, log, errors };
}

async function waitFor(cond, ms = 10000) {
  const end = Date.now() + ms;
  while (!cond()) {
    if (Date.now() > end) throw new Error('condition not met in time: ' + cond);
    await sleep(25);
  }
}

const inbox = {
  'GET /api/files': () => listing([folderEntry('photos'), fileEntry('a.txt'), fileEntry('setup.exe', { kind: 'file' })]),
  '/f/a.txt': () => ({ status: 200, contentType: 'text/plain', headers: { 'Content-Disposition': 'attachment; filename="a.txt"' }, body: 'a' }),
  '/f/setup.exe': () => ({ status: 200, contentType: 'application/x-msdownload', headers: { 'Content-Disposition': 'attachment; filename="setup.exe"' }, body: 'MZ' }),
};

describe('the page in phone browsers', () => {
  before(async () => { browser = await launchBrowser(); });
  after(async () => { await browser.close(); });

  for (const a of AGENTS) {
    test(`${a.name}: banner, download taps, folder link, hints and device name`, async () => {
      const { ctx, page, log, errors } = await openPhone(a.ua, inbox, a);
      const downloads = [];
      page.on('download', (d) => downloads.push(new URL(d.url()).pathname));
      await page.waitForSelector('.row');
      assert.equal(await page.textContent('#deviceName'), a.device);
      assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_device')), a.device);
      assert.equal(await page.isVisible('#btnOpen'), !!a.open);
      assert.equal(await page.isVisible('#btnFolderPick'), !!a.folders);
      assert.equal(await page.isVisible('#photoHint'), !!a.ios);
      assert.equal(await page.isVisible('#saveHint'), !!a.ios && !a.inApp);
      assert.equal(await page.isVisible('#inAppBar'), !!a.inApp);

      await page.click('.row[data-path="a.txt"] a[download]');
      if (a.inApp) {
        // Neither a file link nor a ZIP fetches anything: each tap says where it works.
        await page.waitForSelector('#modal:not([hidden])');
        assert.equal(await page.textContent('#modalBox .qr-t'), '这里下载不了');
        await page.click('#modalBox [data-close]');
        await page.click('.row.dir [data-act=zip]');
        await page.waitForSelector('#modal:not([hidden])');
        await page.click('#modalBox [data-close]');
        await page.click('.row[data-path="setup.exe"] [data-act=view]');
        await page.waitForSelector('#modal:not([hidden])');
        await sleep(300);
        assert.deepEqual(downloads, []);
        assert.ok(!log.some((r) => r.path.startsWith('/f/') || r.method === 'POST'), 'fetched: ' + log.map((r) => r.path));
      } else {
        await waitFor(() => downloads.includes('/f/a.txt'));
        assert.equal(await page.isHidden('#modal'), true);
      }
      assert.deepEqual(errors, []);
      await ctx.close();
    });
  }

  test('WeChat: the banner\'s exact text, the access code in it once one is set; uploads and texts work', async () => {
    const plain = await openPhone(WECHAT_ANDROID);
    assert.equal(await plain.page.textContent('#inAppBar'), WECHAT_ADVICE + '传文件、发文字在这里照常能用。');
    await plain.ctx.close();

    const tus = tusServer();
    const { ctx, page, log } = await openPhone(WECHAT_ANDROID, {
      ...tus.handlers,
      'GET /api/info': () => jsonAnswer({ ...INFO, token: 'abc' }),
      'POST /api/text': () => jsonAnswer({ ok: true }),
    });
    await page.waitForFunction(() => /访问码/.test(document.getElementById('inAppBar').textContent));
    assert.equal(await page.textContent('#inAppBar'),
      '在微信里下载不了文件：请点右上角 ··· ，选「在浏览器打开」，到浏览器里再输入一次访问码。传文件、发文字在这里照常能用。');
    await page.setInputFiles('#picker', { name: 'IMG_1.jpg', mimeType: 'image/jpeg', buffer: Buffer.from('jpeg') });
    await page.waitForSelector('.up-pc.ok');
    assert.equal(tus.created[0].data.toString(), 'jpeg');
    await page.click('[data-tab=text]');
    await page.fill('#ta', '你好');
    await page.click('#btnSend');
    await waitFor(() => log.some((r) => r.method === 'POST' && r.path === '/api/text'));

    // The PC's QR dialog names the permission iOS WeChat needs for addresses on the Wi-Fi.
    await page.click('#btnQr');
    assert.equal(await page.innerText('#modalBox .qr-s'),
      '手机连上同一个 WiFi，用相机或微信扫这个码\n打不开就手动在浏览器输入上面这串地址\niPhone 用微信扫了打不开：到 设置 → 微信 里打开「本地网络」');
    await ctx.close();
  });

  test('copy without a clipboard interface: only a copy the browser really made counts, else the text waits selected in a dialog', async () => {
    const text = '第一行\nsecond line 🙂';
    const cases = [
      ['the copy command works', 'return true;', false],
      ['the copy command fails', 'return false;', true],
      ['it throws', 'throw new Error("denied");', true],
      // Safari may answer true while copying nothing when the selection is lost.
      ['it says true but the selection is gone', 'document.activeElement.setSelectionRange(0, 0); return true;', true],
    ];
    const { ctx, page, errors } = await openPhone(IPHONE_18_4, {
      'GET /api/texts': () => jsonAnswer({ texts: [{ id: '1', text, from: 'iPhone', time: Date.now() / 1000 }] }),
    });
    await page.click('[data-tab=text]');
    await page.waitForSelector('.tx');
    for (const [name, body, dialog] of cases) {
      await page.evaluate((body) => {
        window.__toasts = [];
        document.execCommand = new Function('cmd', body);
      }, body);
      await page.click('.tx [data-copy]');
      if (!dialog) {
        await waitToast(page, '已复制');
        assert.equal(await page.isHidden('#modal'), true, name);
        continue;
      }
      await page.waitForSelector('#modal:not([hidden])');
      assert.equal(await page.textContent('#modalBox .qr-t'), '长按复制', name);
      const box = await page.$eval('#modalBox textarea', (t) => ({
        value: t.value, readOnly: t.readOnly, focused: document.activeElement === t,
        selected: t.value.slice(t.selectionStart, t.selectionEnd),
      }));
      assert.deepEqual(box, { value: text, readOnly: true, focused: true, selected: text }, name);
      await page.click('#modalBox [data-close]');
    }
    // The field the copy used is gone again.
    assert.equal(await page.$$eval('textarea', (t) => t.length), 1);
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('pictures and films the browser cannot show fall back to the file\'s icon', async () => {
    const files = [
      fileEntry('IMG_1.heic', { kind: 'image', size: 900 }),
      fileEntry('ok.png', { kind: 'image', size: ONE_PIXEL_PNG.length }),
      fileEntry('IMG_2.mov', { kind: 'video', size: 4000 }),
    ];
    const { ctx, page, errors } = await openPhone(chromeAndroid(132), {
      'GET /api/files': () => listing(files),
      '/f/IMG_1.heic': () => ({ status: 200, contentType: 'image/heic', body: Buffer.from('\0\0\0\x18ftypheic not decodable') }),
      '/f/ok.png': () => ({ status: 200, contentType: 'image/png', body: ONE_PIXEL_PNG }),
      // A film without a picture track: it loads, but never gets a width, as HEVC does.
      '/f/IMG_2.mov': () => ({ status: 200, contentType: 'audio/wav', body: silentWav() }),
    });
    const icon = (p) => page.$eval(`.row[data-path="${p}"] .ico`, (e) => e.innerHTML);
    await page.waitForFunction(() => document.querySelector('.row[data-path="IMG_1.heic"] .ico').textContent === '\u{1F5BC}\uFE0F');
    await page.waitForFunction(() => document.querySelector('.row[data-path="ok.png"] img').complete);
    assert.equal(await icon('ok.png'), '<img src="/f/ok.png" loading="lazy" alt="">');

    for (const [name, glyph] of [['IMG_1.heic', '\u{1F5BC}\uFE0F'], ['IMG_2.mov', '\u{1F3AC}']]) {
      await page.click(`.row[data-path="${name}"] [data-act=view]`);
      await page.waitForSelector('#modalBox .pv-ico');
      assert.equal(await page.textContent('#modalBox .pv-ico'), glyph, name);
      assert.equal(await page.$$eval('#modalBox img, #modalBox video', (m) => m.length), 0, name);
      assert.equal(await page.getAttribute('#modalBox a.btn.primary', 'href'), `/f/${name}?dl=1`);
      await page.click('#modalBox [data-close]');
    }
    await page.click('.row[data-path="ok.png"] [data-act=view]');
    await page.waitForFunction(() => { const i = document.querySelector('#modalBox img'); return i && i.complete && i.naturalWidth === 1; });
    assert.equal(await page.$$eval('#modalBox .pv-ico', (m) => m.length), 0);
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('a folder pick that arrives without relative paths says the folders were not kept', async () => {
    const tus = tusServer();
    const { ctx, page } = await openPhone(chromeAndroid(132), tus.handlers);
    await page.evaluate(() => {
      const dt = new DataTransfer();
      dt.items.add(new File(['1'], 'a.jpg'));
      dt.items.add(new File(['2'], 'b.jpg'));
      const input = document.getElementById('folderPick');
      input.files = dt.files;
      input.dispatchEvent(new Event('change', { bubbles: true }));
    });
    await waitToast(page, '没能保留文件夹层级：这个浏览器只给了文件，会平铺着传过去');
    await waitFor(() => tus.created.length === 2);
    assert.deepEqual(tus.created.map((u) => u.meta.filename).sort(), ['a.jpg', 'b.jpg']);

    // A picker that keeps the tree says nothing of the kind.
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'skf-phones-'));
    fs.mkdirSync(path.join(dir, 'trip'));
    fs.writeFileSync(path.join(dir, 'trip', 'c.jpg'), '3');
    await page.evaluate(() => { window.__toasts = []; });
    await page.setInputFiles('#folderPick', path.join(dir, 'trip'));
    await waitFor(() => tus.created.length === 3);
    assert.equal(tus.created[2].meta.filename, 'trip/c.jpg');
    await sleep(200);
    assert.deepEqual(await page.evaluate(() => window.__toasts.filter((t) => t.includes('层级'))), []);
    fs.rmSync(dir, { recursive: true, force: true });
    await ctx.close();
  });
});

// Half a second of silence as a WAV file: 8 kHz, 8 bits, one channel.
function silentWav() {
  const samples = 4000;
  const b = Buffer.alloc(44 + samples, 128);
  b.write('RIFF', 0);
  b.writeUInt32LE(36 + samples, 4);
  b.write('WAVEfmt ', 8);
  b.writeUInt32LE(16, 16);
  b.writeUInt16LE(1, 20);
  b.writeUInt16LE(1, 22);
  b.writeUInt32LE(8000, 24);
  b.writeUInt32LE(8000, 28);
  b.writeUInt16LE(1, 32);
  b.writeUInt16LE(8, 34);
  b.write('data', 36);
  b.writeUInt32LE(samples, 40);
  return b;
}
