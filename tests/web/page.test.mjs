// The page's behaviour against a stand-in site: the page comes from the source tree and
// every API answer is given here, so the exact requests and the page's reaction to
// answers the real server rarely gives (several addresses, errors, failures) are checked.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  launchBrowser, newContext, mockSite, jsonAnswer, INFO, MOCK_ORIGIN, MOCK_LAN_ORIGIN,
  tusServer, fileEntry, folderEntry, listing, waitToast, dropEntries,
  answerDialogs, collectErrors, sleep, ONE_PIXEL_PNG,
} from './lib.mjs';

let browser;

async function openPage(kind, handlers, { origin = MOCK_ORIGIN, ctxOptions = {} } = {}) {
  const ctx = await newContext(browser, kind, ctxOptions);
  const log = await mockSite(ctx, handlers, origin);
  const page = await ctx.newPage();
  const errors = collectErrors(page);
  await page.goto(origin + '/');
  await page.waitForFunction(() => document.getElementById('deviceName').textContent !== '读取中…');
  return { ctx, page, log, errors };
}

const posts = (log, p) => log.filter((r) => r.method === 'POST' && r.path === p);

describe('page against a stand-in site', () => {
  before(async () => { browser = await launchBrowser(); });
  after(async () => { await browser.close(); });

  for (const kind of ['desktop', 'phone']) {
    test(`${kind}: loads nothing but itself and fills header, footer and title`, async () => {
      const origin = kind === 'phone' ? MOCK_LAN_ORIGIN : MOCK_ORIGIN;
      const { ctx, page, log, errors } = await openPage(kind, {}, { origin });
      await page.waitForFunction(() => document.title !== '舟匣');
      await page.waitForTimeout(300);
      const asked = new Set(log.map((r) => `${r.method} ${r.url.replace(origin, '')}`));
      const allowed = ['GET /', 'GET /api/info', 'GET /api/files', 'GET /api/texts', 'GET /favicon.ico'];
      for (const a of asked) assert.ok(allowed.includes(a), 'unexpected request ' + a);
      for (const a of allowed.slice(0, 4)) assert.ok(asked.has(a), 'missing request ' + a);
      assert.equal(await page.title(), '舟匣 · 192.168.1.5:8620');
      assert.equal(await page.textContent('#addr'), '192.168.1.5:8620');
      assert.equal(await page.textContent('#footAddr'), 'http://192.168.1.5:8620');
      assert.equal(await page.textContent('#inboxPath'), INFO.inbox);
      assert.equal(await page.isHidden('#ipSel'), true);
      assert.equal(await page.textContent('#deviceName'), kind === 'phone' ? '安卓手机' : 'Windows 电脑');
      assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_device')), kind === 'phone' ? '安卓手机' : 'Windows 电脑');
      assert.equal(await page.isHidden('#btnOpen'), kind === 'phone');
      assert.equal(await page.textContent('#fileList'), '还没有文件把文件拖到上面，或让手机扫二维码传过来');
      assert.equal(await page.textContent('#usageLine'), '收件箱共 0 个文件 · 0 B');
      assert.equal(await page.isHidden('#pickBar'), true);
      assert.deepEqual(errors, []);
      await ctx.close();
    });
  }

  test('layout: narrow paddings, dark tokens that follow the system live, hidden beats flex, no sideways scroll', async () => {
    const long = 'a-very-long-file-name-without-any-break-opportunity-whatsoever-'.repeat(3) + '.txt';
    const { ctx, page } = await openPage('phone', {
      'GET /api/files': (r) => (r.query.get('dir')
        ? listing([fileEntry(long, { dir: 'x' })], 'x/' + '很长很长的文件夹名字'.repeat(6))
        : listing([folderEntry('x'), fileEntry(long)])),
    }, { origin: MOCK_LAN_ORIGIN, ctxOptions: { colorScheme: 'dark' } });
    const style = (sel, props) => page.$eval(sel, (el, props) => {
      const cs = getComputedStyle(el);
      return props.map((p) => cs.getPropertyValue(p));
    }, props);
    await page.waitForSelector('.row');
    assert.deepEqual(await style('body', ['background-color', 'color', 'padding-top', 'padding-left', 'padding-bottom']),
      ['rgb(13, 17, 23)', 'rgb(230, 237, 243)', '10px', '10px', '30px']);
    assert.deepEqual(await style('.hero', ['padding-top', 'padding-left', 'border-radius']), ['13px', '14px', '16px']);
    assert.deepEqual(await style('#drop', ['padding-top', 'padding-left', 'border-top-style']), ['24px', '14px', 'dashed']);
    assert.deepEqual(await style('#tab-files > .card:not(.drop):not([hidden])', ['padding-top', 'padding-left', 'background-color']),
      ['14px', '14px', 'rgb(22, 27, 34)']);
    assert.deepEqual(await style('#addr', ['font-size', 'padding-top', 'padding-left']), ['13.5px', '7px', '10px']);
    assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 390);

    await page.emulateMedia({ colorScheme: 'light' });
    assert.deepEqual(await style('body', ['background-color', 'color']), ['rgb(238, 242, 248)', 'rgb(15, 23, 42)']);
    assert.deepEqual(await style('.logo', ['background-image']), ['linear-gradient(135deg, rgb(47, 107, 255), rgb(111, 155, 255))']);

    for (const id of ['pickBar', 'crumb', 'modal']) {
      await page.evaluate((id) => { document.getElementById(id).hidden = true; }, id);
      assert.equal((await style('#' + id, ['display']))[0], 'none', id);
    }
    await page.evaluate(() => { document.getElementById('crumb').hidden = false; });
    await page.click('.row.dir');
    await page.waitForSelector('#crumb em');
    assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 390);
    // The current folder's long name wraps onto more lines inside the page rather than being cut.
    const em = await page.$eval('#crumb em', (e) => [e.scrollWidth <= e.clientWidth, e.getBoundingClientRect().height > 30]);
    assert.deepEqual(em, [true, true]);
    await ctx.close();

    const wide = await openPage('desktop', {});
    assert.deepEqual(await wide.page.$eval('body', (b) => getComputedStyle(b).padding), '16px 14px 40px');
    assert.deepEqual(await wide.page.$eval('.wrap', (w) => getComputedStyle(w).maxWidth), '920px');
    assert.deepEqual(await wide.page.$eval('#drop', (d) => getComputedStyle(d).padding), '30px 18px');
    await wide.ctx.close();
  });

  test('several addresses: the selector changes address, footer, QR text and copied URL, not the title', async () => {
    const info = { ...INFO, ips: ['192.168.1.5', '10.0.0.7', '172.16.3.9'] };
    const { ctx, page, errors } = await openPage('desktop', { 'GET /api/info': () => jsonAnswer(info) });
    await ctx.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: MOCK_ORIGIN });
    await page.waitForSelector('#ipSel:not([hidden])');
    assert.deepEqual(await page.$$eval('#ipSel option', (o) => o.map((x) => [x.value, x.textContent])),
      info.ips.map((ip) => [ip, ip]));
    await page.selectOption('#ipSel', '10.0.0.7');
    assert.equal(await page.textContent('#addr'), '10.0.0.7:8620');
    assert.equal(await page.textContent('#footAddr'), 'http://10.0.0.7:8620');
    assert.equal(await page.title(), '舟匣 · 192.168.1.5:8620');

    await page.click('#btnQr');
    assert.equal(await page.getAttribute('#modalBox .qr-svg', 'src'), '/qr.svg?data=' + encodeURIComponent('http://10.0.0.7:8620'));
    assert.equal(await page.getAttribute('#modalBox .qr-svg', 'alt'), '二维码');
    assert.equal(await page.textContent('#modalBox .qr-u'), 'http://10.0.0.7:8620');
    assert.equal(await page.textContent('#modalBox .qr-t'), '手机扫码打开');
    await page.keyboard.press('Escape');
    assert.equal(await page.isHidden('#modal'), true);
    assert.equal(await page.innerHTML('#modalBox'), '');

    await page.click('#btnCopy');
    await waitToast(page, '网址已复制，发到手机上粘贴即可');
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), 'http://10.0.0.7:8620');
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('info: an old server is named once; without an answer QR and copy ask to wait', async () => {
    const old = { ...INFO };
    delete old.tree;
    const a = await openPage('desktop', { 'GET /api/info': () => jsonAnswer(old) });
    await waitToast(a.page, '服务端是旧版本，文件夹不会保留层级，请重新下载新版');
    await a.ctx.close();

    const b = await openPage('desktop', { 'GET /api/info': () => 'abort' });
    await b.page.click('#btnQr');
    await waitToast(b.page, '地址还没读出来，稍等一下');
    assert.equal(await b.page.isHidden('#modal'), true);
    assert.equal(await b.page.textContent('#addr'), '—');
    await b.ctx.close();
  });

  test('phone: the device name is trimmed, cut to 20 units and sent with uploads and texts', async () => {
    const tus = tusServer();
    const { ctx, page } = await openPage('phone', {
      ...tus.handlers,
      'POST /api/text': () => jsonAnswer({ ok: true }),
    }, { origin: MOCK_LAN_ORIGIN });
    const log = [];
    page.on('request', (r) => { if (r.method() === 'POST' && r.url().endsWith('/api/text')) log.push(r); });
    const d = answerDialogs(page, [null, '   ', '  小明 的 Pixel  ']);
    for (let i = 0; i < 3; i++) await page.click('#deviceChip');
    assert.equal(d.seen[0].message, '给这台设备起个名字（对方能看到是谁传的）');
    assert.equal(d.seen[0].value, '安卓手机');
    assert.equal(await page.textContent('#deviceName'), '小明 的 Pixel');
    assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_device')), '小明 的 Pixel');

    await page.setInputFiles('#picker', { name: 'a.txt', mimeType: 'text/plain', buffer: Buffer.from('a') });
    await waitFor(() => tus.created.length === 1);
    assert.equal(tus.created[0].meta.device, '小明 的 Pixel');

    await page.click('[data-tab=text]');
    await page.fill('#ta', '  你好  ');
    await page.click('#btnSend');
    await waitFor(() => log.length === 1);
    assert.equal(log[0].postData(), '{"text":"你好","from":"小明 的 Pixel"}');
    assert.equal(log[0].headers()['content-type'], 'application/json');

    // 30 characters keep their first 20; an emoji split by the cut is dropped whole.
    d.queue.push('一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十', 'abcdefghijklmnopqrs\u{1F600}xyz');
    await page.click('#deviceChip');
    assert.equal(await page.textContent('#deviceName'), '一二三四五六七八九十一二三四五六七八九十');
    await page.click('#deviceChip');
    assert.equal(await page.textContent('#deviceName'), 'abcdefghijklmnopqrs');
    await ctx.close();
  });

  test('uploads: one resumable upload per file, the drop\'s group and folder, a row per top folder, refusals', async () => {
    const inTrip = listing([folderEntry('项目资料')], 'trip');
    const tus = tusServer();
    const create = tus.handlers['POST /api/uploads'];
    const { ctx, page, log } = await openPage('desktop', {
      ...tus.handlers,
      'GET /api/files': (r) => (r.query.get('dir') === 'trip' ? inTrip : listing([folderEntry('trip')])),
      'POST /api/uploads': async (r) => {
        await sleep(150);
        const name = Buffer.from(/filename ([^,]*)/.exec(r.headers['upload-metadata'])[1], 'base64').toString();
        if (name === 'photos/y.jpg') return jsonAnswer({ error: '文件名不能用' }, 400);
        if (name === 'w.txt') return jsonAnswer({ error: '文件太大' }, 413);
        return create(r);
      },
    });
    await stubWakeLock(page);
    await page.evaluate(() => {
      window.__rows = [];
      new MutationObserver((ms) => ms.forEach((m) => m.addedNodes.forEach((el) => {
        if (el.classList && el.classList.contains('up')) window.__rows.push(el);
      }))).observe(document.getElementById('upList'), { childList: true });
    });
    await page.click('.row.dir');
    await page.waitForSelector('#crumb:not([hidden])');
    await dropEntries(page, [
      { name: '项目资料', files: ['图片/a.jpg', '文档/b.jpg'] },
      { name: 'x.txt' },
      { name: 'photos', files: ['y.jpg'] },
      { name: 'z.txt' },
      { name: 'w.txt' },
    ]);
    await waitToast(page, '上传失败：w.txt，文件太大');
    await waitToast(page, '上传失败：photos/y.jpg，文件名不能用');
    await page.waitForFunction(() => window.__rows.every((r) => /完成|失败/.test(r.querySelector('.up-pc').textContent)));
    // Every file of the drop: one group, the folder shown at the drop, its relative path.
    const metas = tus.created.map((u) => u.meta);
    assert.deepEqual(metas.map((m) => m.filename).sort(), ['x.txt', 'z.txt', '项目资料/图片/a.jpg', '项目资料/文档/b.jpg']);
    assert.equal(new Set(metas.map((m) => m.group)).size, 1);
    assert.match(metas[0].group, /^[0-9a-f]{32}$/);
    assert.deepEqual([...new Set(metas.map((m) => m.dir))], ['trip']);
    const first = tus.created.find((u) => u.meta.filename === '项目资料/文档/b.jpg');
    assert.equal(first.data.toString(), 'data of /项目资料/文档/b.jpg');
    assert.deepEqual(first.patches, [0]);
    assert.equal(first.headers['tus-resumable'], '1.0.0');
    assert.equal(first.headers['upload-length'], String(first.data.length));
    const patch = log.find((r) => r.method === 'PATCH');
    assert.equal(patch.headers['content-type'], 'application/offset+octet-stream');
    assert.equal(patch.headers['tus-resumable'], '1.0.0');
    // A few files at a time, never one request per file all at once.
    assert.equal(posts(log, '/api/upload').length, 0);
    const rows = await page.evaluate(() => window.__rows.map((r) => [r.querySelector('.up-nm').textContent,
      r.querySelector('.up-pc').textContent, r.querySelector('.up-pc').className]));
    assert.deepEqual(rows, [
      ['项目资料（2 个文件）', '完成', 'up-pc ok'],
      ['photos（1 个文件）', '失败', 'up-pc bad'],
      ['共 3 个文件', '失败', 'up-pc bad'],
    ]);
    // The PC's own page (a secure context) holds the screen on while it uploads.
    assert.deepEqual(await page.evaluate(() => window.__wake), ['request screen', 'release']);
    // Finished drops are not kept; the card goes once the rows have gone.
    await page.waitForSelector('#upCard[hidden]', { state: 'attached', timeout: 8000 });
    assert.equal(await page.$$eval('#upList > *', (x) => x.length), 0);
    assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_uploads')), null);
    await ctx.close();
  });

  test('a dropped folder read 100 entries at a time arrives whole, a few files at a time; a single loose file names its path', async () => {
    const tus = tusServer();
    const patch = tus.handlers['PATCH /api/uploads/*'];
    let running = 0;
    let most = 0;
    const { ctx, page } = await openPage('desktop', {
      ...tus.handlers,
      'PATCH /api/uploads/*': async (r) => {
        most = Math.max(most, ++running);
        await sleep(20);
        running -= 1;
        return patch(r);
      },
    });
    const files = Array.from({ length: 250 }, (_, i) => `f${String(i).padStart(3, '0')}.txt`);
    await dropEntries(page, [{ name: '批量', files }]);
    await waitFor(() => [...tus.uploads.values()].filter((u) => u.data.length === u.length).length === 250, 30000);
    assert.deepEqual(tus.created.map((u) => u.meta.filename).sort(), files.map((f) => '批量/' + f));
    assert.ok(most > 1 && most <= 3, 'files at once: ' + most);

    await page.evaluate(() => {
      window.__titles = [];
      new MutationObserver(() => document.querySelectorAll('.up-nm').forEach((e) => window.__titles.push(e.textContent)))
        .observe(document.getElementById('upList'), { childList: true, subtree: true });
    });
    await page.setInputFiles('#picker', { name: 'only.txt', mimeType: 'text/plain', buffer: Buffer.from('1') });
    await waitFor(() => tus.created.length === 251);
    assert.ok((await page.evaluate(() => window.__titles)).includes('only.txt'));
    await ctx.close();
  });

  test('paste of files uploads them with a notice', async () => {
    const tus = tusServer();
    const { ctx, page } = await openPage('desktop', tus.handlers);
    await page.evaluate(() => {
      const dt = new DataTransfer();
      dt.items.add(new File(['png'], 'image.png', { type: 'image/png' }));
      dt.items.add(new File(['b'], 'b.txt'));
      document.dispatchEvent(new ClipboardEvent('paste', { clipboardData: dt, bubbles: true, cancelable: true }));
    });
    await waitToast(page, '已从剪贴板上传 2 个文件');
    await waitFor(() => tus.created.length === 2);
    assert.deepEqual(tus.created.map((u) => u.meta.filename).sort(), ['b.txt', 'image.png']);
    await ctx.close();
  });

  test('cut requests: the page asks the offset and sends only the rest; a 409 is read back the same way', async () => {
    const tus = tusServer();
    const patch = tus.handlers['PATCH /api/uploads/*'];
    const seen = new Set();
    const { ctx, page, errors } = await openPage('phone', {
      ...tus.handlers,
      'PATCH /api/uploads/*': (r) => {
        const u = tus.uploads.get(r.path.split('/').pop());
        if (seen.has(u.id)) return patch(r);
        seen.add(u.id);
        // The first piece: half of it arrives before the cut, or all of it arrives and the
        // page hears of it only as a conflict.
        u.patches.push(0);
        if (u.meta.filename === 'cut.bin') { u.data = r.body.subarray(0, 60000); return 'abort'; }
        u.data = Buffer.from(r.body);
        return { status: 409, headers: { 'Tus-Resumable': '1.0.0' }, body: '' };
      },
    }, { origin: MOCK_LAN_ORIGIN });
    const bytes = (n, seed) => Buffer.from(Array.from({ length: n }, (_, i) => (i * seed) & 255));
    await page.setInputFiles('#picker', [
      { name: 'cut.bin', mimeType: 'application/octet-stream', buffer: bytes(150000, 7) },
      { name: 'late.bin', mimeType: 'application/octet-stream', buffer: bytes(90000, 13) },
    ]);
    await page.waitForSelector('.up-pc.ok', { timeout: 10000 });
    const cut = tus.created.find((u) => u.meta.filename === 'cut.bin');
    const late = tus.created.find((u) => u.meta.filename === 'late.bin');
    assert.deepEqual(cut.patches, [0, 60000]);
    assert.ok(cut.data.equals(bytes(150000, 7)));
    assert.deepEqual(late.patches, [0, 90000].slice(0, late.patches.length));
    assert.equal(late.patches.length, 1, 'nothing sent again after the conflict');
    assert.ok(late.data.equals(bytes(90000, 13)));
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('offline: the row says it waits for the network, keeps the screen hint, and goes on at once when the network is back', async () => {
    const tus = tusServer();
    // The stand-in site answers even an offline browser: it fails every request itself.
    let down = false;
    const handlers = {};
    for (const [k, h] of Object.entries(tus.handlers)) handlers[k] = (r) => (down ? 'abort' : h(r));
    const { ctx, page } = await openPage('phone', handlers, { origin: MOCK_LAN_ORIGIN });
    await stubWakeLock(page);
    down = true;
    await ctx.setOffline(true);
    await page.setInputFiles('#picker', { name: 'trip.mp4', mimeType: 'video/mp4', buffer: Buffer.alloc(300000, 1) });
    await page.waitForSelector('.up.wait');
    assert.match(await page.textContent('.up .up-sb'), /^0 B \/ 293 KB\u00A0·\u00A0网络断了，连上后自动接着传$/);
    assert.equal(await page.textContent('#upTitle'), '正在上传');
    assert.equal(await page.textContent('#upHint:not([hidden])'), '传完之前请别锁屏、别切走这个页面（断了也会自动接着传）');
    // Tries at 0, 1 and 3 s have failed by now; the next would come only at 7 s.
    await sleep(3500);
    const back = Date.now();
    down = false;
    await ctx.setOffline(false);
    await page.waitForSelector('.up-pc.ok', { timeout: 10000 });
    assert.ok(Date.now() - back < 2500, 'went on ' + (Date.now() - back) + ' ms after the network came back');
    assert.equal(tus.created[0].data.length, 300000);
    // A page opened by address may not hold the screen: the hint is all it has.
    assert.deepEqual(await page.evaluate(() => window.__wake), []);
    await ctx.close();
  });

  test('a session that ends mid-upload: the code form shows, and the upload goes on at once after the code', async () => {
    const tus = tusServer();
    const patch = tus.handlers['PATCH /api/uploads/*'];
    let locked = true;
    const { ctx, page } = await openPage('phone', {
      ...tus.handlers,
      'PATCH /api/uploads/*': (r) => (locked ? jsonAnswer({ error: '请输入访问码' }, 401) : patch(r)),
      'POST /api/login': () => { locked = false; return jsonAnswer({ ok: true }); },
    }, { origin: MOCK_LAN_ORIGIN });
    await page.setInputFiles('#picker', { name: 'a.mp4', mimeType: 'video/mp4', buffer: Buffer.alloc(100000, 3) });
    await page.waitForSelector('#login:not([hidden])');
    // Tries at 0, 1 and 3 s have been refused by now; the next would come only at 7 s.
    await sleep(3500);
    await page.fill('#loginPin', '2580');
    const given = Date.now();
    await page.click('#loginBtn');
    await page.waitForSelector('.up-pc.ok', { timeout: 10000 });
    assert.ok(Date.now() - given < 2500, 'went on ' + (Date.now() - given) + ' ms after the code');
    assert.equal(tus.created[0].data.length, 100000);
    await ctx.close();
  });

  test('after a reload the unfinished drop is listed with what the PC holds; picking the file again continues it; another is dropped on request', async () => {
    const tus = tusServer();
    const patch = tus.handlers['PATCH /api/uploads/*'];
    let cutting = true;
    const handlers = {
      ...tus.handlers,
      'PATCH /api/uploads/*': (r) => {
        if (!cutting) return patch(r);
        // The first piece of each file is cut after half of it (at most 100000 bytes);
        // every later try is cut before its first byte.
        const u = tus.uploads.get(r.path.split('/').pop());
        u.patches.push(Number(r.headers['upload-offset']));
        if (!u.data.length) u.data = Buffer.from(r.body.subarray(0, Math.min(100000, r.body.length / 2)));
        return 'abort';
      },
    };
    const ctx = await newContext(browser, 'phone');
    await mockSite(ctx, handlers, MOCK_LAN_ORIGIN);
    const page = await ctx.newPage();
    const d = answerDialogs(page, [true]);
    await page.goto(MOCK_LAN_ORIGIN + '/');
    const video = Buffer.from(Array.from({ length: 250000 }, (_, i) => (i * 31) & 255));
    const other = Buffer.alloc(5000, 9);
    await page.setInputFiles('#picker', { name: 'v.mp4', mimeType: 'video/mp4', buffer: video });
    await waitFor(() => tus.created.length === 1 && tus.created[0].data.length === 100000);
    await page.setInputFiles('#picker', { name: 'other.bin', mimeType: 'application/octet-stream', buffer: other });
    await waitFor(() => tus.created.length === 2);
    await page.reload();
    await page.waitForFunction(() => document.querySelectorAll('.up.pend').length === 2);
    // The page learnt of none of the bytes before the reload; the list shows what the PC has.
    await page.waitForFunction(() => document.querySelector('.up.pend .up-sb').textContent.startsWith('已传 97.7 KB / 244 KB'));
    assert.equal(await page.textContent('#upTitle'), '上次没传完');
    assert.equal(await page.isHidden('#upHint'), true);
    assert.deepEqual(await page.$$eval('.up.pend', (rs) => rs.map((r) => [r.querySelector('.up-nm').textContent, r.querySelector('.up-pc').textContent])),
      [['v.mp4', '没传完'], ['other.bin', '没传完']]);
    assert.match(await page.textContent('.up.pend .up-sb'), /\u00A0·\u00A0重新选同一个文件（夹）就接着传\u00A0·\u00A0不传了$/);

    await page.click('.up.pend:nth-child(2) [data-drop]');
    assert.equal(d.seen[0].message, '不传「other.bin」了？电脑上收到的半截会删掉。');
    await waitFor(() => tus.uploads.size === 1);

    // Picked again under another name (phones name picks as they like): same size and content.
    cutting = false;
    await page.setInputFiles('#picker', { name: 'IMG_0001.mp4', mimeType: 'video/mp4', buffer: video });
    await page.waitForSelector('.up-pc.ok');
    assert.equal(tus.created.length, 2);
    const u = tus.created[0];
    assert.ok(u.data.equals(video));
    assert.equal(u.patches[u.patches.length - 1], 100000, 'continued from the PC\'s offset: ' + u.patches);
    await page.waitForSelector('#upCard[hidden]', { state: 'attached', timeout: 8000 });
    assert.equal(await page.evaluate(() => localStorage.getItem('skiffbox_uploads')), null);
    await ctx.close();
  });

  test('rows: details, icons by kind, thumbnails under 2 MiB, usage warning', async () => {
    const now = new Date();
    const today = new Date(now.getFullYear(), now.getMonth(), now.getDate(), 9, 5).getTime() / 1000;
    const march = new Date(2024, 2, 5, 18, 30).getTime() / 1000;
    const files = [
      folderEntry('相册.jpg', { mtime: march }),
      fileEntry('small.png', { kind: 'image', size: 2097151, mtime: today }),
      fileEntry('big.png', { kind: 'image', size: 2097152, mtime: march, from: 'iPhone' }),
      fileEntry('a <b>.txt', { kind: 'text', size: 1536 }),
      fileEntry('clip.mp4', { kind: 'video', size: 1048576 }),
      fileEntry('x.weird', { kind: 'mystery', size: 5 }),
    ];
    const { ctx, page } = await openPage('desktop', {
      'GET /api/files': () => listing(files, '', { count: 12, size: 5368709120, warn: true }),
      // A picture the browser can decode: one it cannot shows the kind's icon instead.
      '/f/small.png': () => ({ status: 200, contentType: 'image/png', body: ONE_PIXEL_PNG }),
    });
    await page.waitForSelector('.row');
    const rows = await page.$$eval('#fileList .row', (rs) => rs.map((r) => ({
      cls: r.className, icon: r.querySelector('.ico').innerHTML, nm: r.querySelector('.nm').textContent,
      title: r.querySelector('.nm').title, sb: r.querySelector('.sb').textContent,
      acts: [...r.querySelectorAll('.acts > *')].map((a) => [a.tagName, a.className, a.title, a.textContent, a.getAttribute('href')]),
    })));
    assert.equal(rows[0].cls, 'row dir');
    assert.equal(rows[0].icon, '\u{1F4C1}');
    assert.equal(rows[0].sb, '文件夹 · 点这一行进去看 · 3月5日 18:30');
    assert.deepEqual(rows[0].acts, [
      ['BUTTON', 'icon-btn', '下载（整个文件夹打包成 zip）', '\u2B07', null],
      ['BUTTON', 'icon-btn del', '删除整个文件夹', '\u2715', null]]);
    assert.equal(rows[1].icon, '<img src="/f/small.png" loading="lazy" alt="">');
    assert.equal(rows[1].sb, '2.00 MB · 本机 · 今天 09:05');
    assert.equal(rows[2].icon, '\u{1F5BC}\uFE0F');
    assert.equal(rows[2].sb, '2.00 MB · iPhone · 3月5日 18:30');
    assert.equal(rows[3].nm, 'a <b>.txt');
    assert.equal(rows[3].title, 'a <b>.txt');
    assert.equal(rows[3].icon, '\u{1F4DD}');
    assert.match(rows[3].sb, /^1\.50 KB · 本机 · /);
    assert.deepEqual(rows[3].acts, [
      ['BUTTON', 'icon-btn', '查看', '\u{1F441}', null],
      ['A', 'icon-btn', '下载', '\u2B07', '/f/a%20%3Cb%3E.txt?dl=1'],
      ['BUTTON', 'icon-btn del', '删除', '\u2715', null]]);
    assert.equal(rows[4].icon, '\u{1F3AC}');
    assert.match(rows[4].sb, /^1\.00 MB/);
    assert.equal(rows[5].icon, '\u{1F4C3}');
    assert.equal(await page.textContent('#fileCount'), '6');
    assert.equal(await page.textContent('#usageLine'), '收件箱共 12 个文件 · 5.00 GB\u3000占用不小了，用不到的可以删掉');
    assert.equal(await page.getAttribute('#usageLine', 'class'), 'usage warn');
    assert.equal(await page.textContent('#pickTxt'), '共 6 项');
    assert.equal(await page.textContent('#btnZip'), '打包下载');
    await ctx.close();
  });

  test('selection: direct download of one file, a ZIP address for folders or several, errors read back', async () => {
    const files = [folderEntry('photos'), fileEntry('__proto__'), fileEntry('a b.txt'), fileEntry('constructor')];
    const LIVE = 'ab'.repeat(16);
    const EXPIRED = 'cd'.repeat(16);
    const GONE = '下载地址已过期，请回到页面重新点下载';
    const address = (id) => jsonAnswer({ id, url: '/zip?id=' + id });
    let linkAnswer = jsonAnswer({ error: '文件不存在' }, 404);
    const { ctx, page, log, errors } = await openPage('desktop', {
      'GET /api/files': () => listing(files),
      'POST /api/zip-link': () => linkAnswer,
      'GET /zip': (r) => (r.query.get('id') === LIVE
        ? { status: 200, contentType: 'application/zip', headers: { 'Content-Disposition': 'attachment; filename="x.zip"' }, body: 'PK' }
        : jsonAnswer({ error: GONE }, 404)),
      '/f/__proto__': () => ({ status: 200, contentType: 'application/octet-stream', headers: { 'Content-Disposition': 'attachment; filename="__proto__"' }, body: 'proto!' }),
    });
    await page.waitForSelector('.row');
    const box = (name) => `.row[data-path="${name}"] input.pick`;

    await page.click('#btnZip', { force: true });
    assert.equal(await page.isDisabled('#btnZip'), true);

    await page.check(box('__proto__'));
    assert.equal(await page.textContent('#pickTxt'), '已选 1 / 4 项');
    assert.equal(await page.textContent('#btnZip'), '打包下载 (1)');
    assert.equal(await page.getAttribute('.row[data-path="__proto__"]', 'class'), 'row sel');
    const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#btnZip')]);
    assert.equal(new URL(dl.url()).pathname + new URL(dl.url()).search, '/f/__proto__?dl=1');
    assert.equal(page.url(), MOCK_ORIGIN + '/');

    // The selection survives polls; two items go as one archive, in list order, and the
    // refusal of their address is the notice.
    await page.check(box('a b.txt'));
    await page.waitForTimeout(3300);
    assert.equal(await page.textContent('#pickTxt'), '已选 2 / 4 项');
    await page.click('#btnZip');
    await waitToast(page, '正在打包 2 项…');
    await waitToast(page, '文件不存在');
    const links = posts(log, '/api/zip-link');
    assert.equal(links[0].body.toString(), 'name=__proto__&name=a+b.txt');
    assert.match(links[0].headers['content-type'], /^application\/x-www-form-urlencoded/);
    assert.equal(log.filter((r) => r.path === '/zip').length, 0);
    assert.equal(page.url(), MOCK_ORIGIN + '/');
    assert.equal(await page.$$eval('form:not(#loginForm)', (f) => f.length), 0);

    // A folder's own button packs it: the archive comes by GET from its address, and a
    // successful archive leaves no notice behind.
    linkAnswer = address(LIVE);
    await page.evaluate(() => { window.__toasts = []; });
    const [zip] = await Promise.all([page.waitForEvent('download'), page.click('.row.dir [data-act=zip]')]);
    assert.equal(zip.url(), MOCK_ORIGIN + '/zip?id=' + LIVE);
    await waitToast(page, '正在把这个文件夹打成 zip…');
    assert.equal(posts(log, '/api/zip-link')[1].body.toString(), 'name=photos');
    await page.waitForTimeout(500);
    assert.deepEqual(await page.evaluate(() => window.__toasts), ['正在把这个文件夹打成 zip…']);

    // An address refused when the browser comes for it: its error is the notice.
    linkAnswer = address(EXPIRED);
    await page.click('.row.dir [data-act=zip]');
    await waitToast(page, GONE);
    assert.ok(log.some((r) => r.method === 'GET' && r.url === MOCK_ORIGIN + '/zip?id=' + EXPIRED));

    await page.check('#pickAll');
    assert.equal(await page.textContent('#pickTxt'), '已选 4 / 4 项');
    assert.equal(await page.$$eval('.row.sel', (r) => r.length), 4);
    await page.uncheck('#pickAll');
    assert.equal(await page.textContent('#pickTxt'), '共 4 项');
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('folders: breadcrumb, empty folder, a vanished folder returns to the top', async () => {
    let bGone = false;
    const { ctx, page, log } = await openPage('desktop', {
      'GET /api/files': (r) => {
        const dir = r.query.get('dir') || '';
        if (dir === '') return listing([folderEntry('a')]);
        if (dir === 'a') return listing([folderEntry('b c')], 'a');
        if (dir === 'a/b c' && !bGone) return listing([], 'a/b c');
        return jsonAnswer({ error: '文件夹不存在' }, 404);
      },
    });
    await page.click('.row.dir');
    await page.waitForSelector('.row[data-path="a/b c"]');
    await page.check('.row[data-path="a/b c"] input.pick');
    await page.click('.row[data-path="a/b c"] .nm');
    await page.waitForFunction(() => document.querySelector('#crumb em') && document.querySelector('#crumb em').textContent === 'b c');
    assert.equal(await page.innerHTML('#crumb'), '<b data-go="">收件箱</b><i>/</i><b data-go="a">a</b><i>/</i><em title="b c">b c</em>');
    assert.equal(await page.textContent('#fileList'), '这个文件夹是空的');
    assert.equal(await page.isHidden('#pickBar'), true);
    assert.ok(log.some((r) => r.url.endsWith('/api/files?dir=a%2Fb%20c')));

    await page.click('#crumb b[data-go="a"]');
    await page.waitForSelector('.row[data-path="a/b c"]');
    assert.equal(await page.isChecked('.row[data-path="a/b c"] input.pick'), false);

    await page.click('.row[data-path="a/b c"]');
    await page.waitForSelector('#crumb em');
    bGone = true;
    await page.waitForSelector('#crumb[hidden]', { state: 'attached', timeout: 5000 });
    await page.waitForSelector('.row[data-path="a"]');
    await ctx.close();
  });

  test('delete and clear ask the exact questions and report failures', async () => {
    let stat = () => jsonAnswer({ files: 3, dirs: 1, size: 1536 });
    let del = () => jsonAnswer({ ok: true });
    const { ctx, page, log } = await openPage('desktop', {
      'GET /api/files': () => listing([folderEntry('photos'), fileEntry('a.txt')], '', { count: 7, size: 1048576, warn: false }),
      'POST /api/stat': () => stat(),
      'POST /api/delete': () => del(),
      'POST /api/clear': () => jsonAnswer({ ok: true, removed: 9 }),
    });
    const d = answerDialogs(page, [false, true, true]);
    await page.waitForSelector('.row');
    await page.click('.row[data-path="a.txt"] [data-act=del]');
    assert.equal(d.seen[0].message, '确定删除「a.txt」？删除后不可恢复。');
    assert.equal(posts(log, '/api/delete').length, 0);

    await page.click('.row.dir [data-act=del]');
    await waitFor(() => d.seen.length === 2);
    assert.equal(d.seen[1].message, '删除文件夹「photos」？里面有 3 个文件，含 1 个子文件夹、共 1.50 KB。删了不可恢复。');
    await waitFor(() => posts(log, '/api/delete').length === 1);
    assert.equal(posts(log, '/api/stat')[0].body.toString(), '{"path":"photos"}');
    assert.equal(posts(log, '/api/delete')[0].body.toString(), '{"path":"photos"}');
    assert.equal(posts(log, '/api/delete')[0].headers['content-type'], 'application/json');

    stat = () => jsonAnswer({ files: 2, dirs: 0, size: 0 });
    del = () => jsonAnswer({ error: '删不掉：文件被占用或没有权限' }, 500);
    await page.click('.row.dir [data-act=del]');
    await waitToast(page, '删不掉：文件被占用或没有权限');
    assert.equal(d.seen[2].message, '删除文件夹「photos」？里面有 2 个文件、共 0 B。删了不可恢复。');

    const cases = [
      [() => jsonAnswer({ error: '文件不存在' }, 404), '文件不存在'],
      [() => 'abort', '读不到这个文件夹'],
    ];
    for (const [answer, notice] of cases) {
      stat = answer;
      await page.click('.row.dir [data-act=del]');
      await waitToast(page, notice);
    }
    assert.equal(d.seen.length, 3);

    d.queue.push(true);
    del = () => 'abort';
    await page.click('.row[data-path="a.txt"] [data-act=del]');
    await waitToast(page, '删不掉，稍后再试');

    d.queue.push(true);
    await page.click('#btnClear');
    await waitToast(page, '已清空 9 项');
    assert.equal(d.seen[4].message, '确定清空收件箱里的 7 个文件（共 1.00 MB）？子文件夹会一起删掉，不可恢复。');
    assert.equal(posts(log, '/api/clear')[0].body, null);
    await ctx.close();

    const empty = await openPage('desktop', {});
    await empty.page.click('#btnClear');
    await waitToast(empty.page, '收件箱本来就是空的');
    await empty.ctx.close();
  });

  test('open folder: the message follows the answer and the folder on display', async () => {
    let ok = true;
    const { ctx, page, log } = await openPage('desktop', {
      'GET /api/files': (r) => (r.query.get('dir') ? listing([], 'sub') : listing([folderEntry('sub')])),
      'POST /api/open': () => jsonAnswer({ ok }),
    });
    await page.click('#btnOpen');
    await waitToast(page, '已打开收件箱文件夹');
    await page.click('.row.dir');
    await page.waitForSelector('#crumb em');
    await page.click('#btnOpen');
    await waitToast(page, '已在电脑上打开这个文件夹');
    ok = false;
    await page.click('#btnOpen');
    await waitToast(page, '这台设备打不开文件夹');
    assert.deepEqual(posts(log, '/api/open').map((r) => r.body.toString()), ['{"path":""}', '{"path":"sub"}', '{"path":"sub"}']);
    await ctx.close();
  });

  test('texts: drawn escaped with sender and time; send, delete and clear send exact requests', async () => {
    let texts = [
      { id: '17000000000001234', text: 'line 1\n<b>line 2</b>', from: 'iPhone', time: new Date(2024, 0, 2, 3, 4).getTime() / 1000 },
      { id: '17000000000005678', text: 'x'.repeat(5000), from: '安卓手机', time: Date.now() / 1000 },
    ];
    const { ctx, page, log } = await openPage('desktop', {
      'GET /api/texts': () => jsonAnswer({ texts }),
      'POST /api/text': () => jsonAnswer({ ok: true }),
      'POST /api/text/delete': () => jsonAnswer({ ok: true }),
      'POST /api/text/clear': () => { texts = []; return jsonAnswer({ ok: true }); },
    });
    const d = answerDialogs(page, [false, true]);
    await page.click('[data-tab=text]');
    assert.equal(await page.isHidden('#tab-files'), true);
    assert.equal(await page.getAttribute('[data-tab=text]', 'class'), 'tab active');
    await page.waitForSelector('.tx');
    assert.equal(await page.textContent('#txCount'), '2');
    assert.equal(await page.textContent('.tx .tx-body'), 'line 1\n<b>line 2</b>');
    assert.equal(await page.textContent('.tx .tx-foot span'), 'iPhone · 1月2日 03:04');
    const tall = await page.$eval('.tx:nth-child(2) .tx-body', (e) => [e.clientHeight, e.scrollHeight]);
    assert.ok(tall[0] <= 280 && tall[1] > 280, String(tall));

    await page.click('#btnSend');
    await waitToast(page, '先写点什么');
    await page.fill('#ta', ' \n hello \n ');
    await page.click('#btnSend');
    await waitToast(page, '已发送，另一台设备刷新即可看到');
    assert.equal(await page.inputValue('#ta'), '');
    assert.equal(posts(log, '/api/text')[0].body.toString(), '{"text":"hello","from":"Windows 电脑"}');

    await page.click('.tx:nth-child(2) [data-del]');
    await waitFor(() => posts(log, '/api/text/delete').length === 1);
    assert.equal(posts(log, '/api/text/delete')[0].body.toString(), '{"id":"17000000000005678"}');

    await page.click('#btnClearTx');
    assert.equal(d.seen[0].message, '清空全部文字？');
    assert.equal(posts(log, '/api/text/clear').length, 0);
    await page.click('#btnClearTx');
    await page.waitForSelector('#txList .empty');
    assert.equal(await page.textContent('#txList'), '还没有文字');
    assert.equal(await page.textContent('#txCount'), '0');
    await page.click('#btnClearTx');
    assert.equal(d.seen.length, 2);
    await ctx.close();
  });

  test('the fill-from-clipboard button: read in a secure context, a hint elsewhere', async () => {
    const a = await openPage('desktop', {});
    await a.ctx.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: MOCK_ORIGIN });
    await a.page.evaluate(() => navigator.clipboard.writeText('从剪贴板来的'));
    await a.page.click('[data-tab=text]');
    await a.page.click('#btnPaste');
    await a.page.waitForFunction(() => document.getElementById('ta').value === '从剪贴板来的');
    await a.ctx.close();

    const b = await openPage('phone', {}, { origin: MOCK_LAN_ORIGIN });
    await b.page.click('[data-tab=text]');
    await b.page.click('#btnPaste');
    await waitToast(b.page, '把这个框点一下，然后按 Ctrl+V（手机长按粘贴）');
    assert.equal(await b.page.evaluate(() => document.activeElement.id), 'ta');
    await b.ctx.close();
  });

  test('previews: audio dialog, PDF in a new window, other kinds download', async () => {
    const files = [fileEntry('song.mp3', { kind: 'audio', size: 2048 }), fileEntry('doc.pdf', { kind: 'pdf' }),
      fileEntry('setup.exe', { kind: 'file' })];
    const { ctx, page } = await openPage('desktop', {
      'GET /api/files': () => listing(files),
      '/f/doc.pdf': () => ({ status: 200, contentType: 'text/plain', body: 'pdf stand-in' }),
      '/f/setup.exe': () => ({ status: 200, contentType: 'application/x-msdownload', headers: { 'Content-Disposition': 'attachment; filename="setup.exe"' }, body: 'MZ' }),
      '/f/song.mp3': () => ({ status: 404, contentType: 'application/json', body: '{}' }),
    });
    await page.waitForSelector('.row');
    await page.click('.row[data-path="song.mp3"] [data-act=view]');
    assert.equal(await page.textContent('#modalBox .qr-t'), 'song.mp3');
    assert.equal(await page.getAttribute('#modalBox audio', 'src'), '/f/song.mp3');
    assert.equal(await page.textContent('#modalBox .qr-u'), 'song.mp3\u00A0·\u00A02.00 KB');
    assert.equal(await page.getAttribute('#modalBox a.btn.primary', 'href'), '/f/song.mp3?dl=1');
    assert.equal(await page.textContent('#modalBox a.btn.primary'), '下载到本机');
    await page.mouse.click(5, 5);
    assert.equal(await page.isHidden('#modal'), true);

    const [popup] = await Promise.all([ctx.waitForEvent('page'), page.click('.row[data-path="doc.pdf"] [data-act=view]')]);
    await popup.waitForLoadState();
    assert.equal(popup.url(), MOCK_ORIGIN + '/f/doc.pdf');
    await popup.close();

    const [dl] = await Promise.all([page.waitForEvent('download'), page.click('.row[data-path="setup.exe"] [data-act=view]')]);
    assert.ok(dl.url().endsWith('/f/setup.exe?dl=1'));
    assert.equal(await page.isHidden('#modal'), true);
    await ctx.close();
  });
});

// Records the page's screen wake lock requests and releases.
function stubWakeLock(page) {
  return page.evaluate(() => {
    window.__wake = [];
    Object.defineProperty(navigator, 'wakeLock', { value: { request(type) {
      window.__wake.push('request ' + type);
      const lock = new EventTarget();
      lock.release = () => { window.__wake.push('release'); return Promise.resolve(); };
      return Promise.resolve(lock);
    } } });
  });
}

async function waitFor(cond, ms = 10000) {
  const end = Date.now() + ms;
  while (!cond()) {
    if (Date.now() > end) throw new Error('condition not met in time: ' + cond);
    await sleep(25);
  }
}
