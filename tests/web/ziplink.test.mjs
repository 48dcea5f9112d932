// A ZIP download by address against the real server: the page asks for an address of the
// selection and the browser fetches the archive from it by GET, so a browser or download
// manager can fetch it again, until the address expires.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { launchBrowser, newContext, startServer, collectErrors, waitToast, sleep } from './lib.mjs';

// Shortened for the test; the server reads it from its environment at start-up.
const LIFETIME_MS = 8000;
const GONE = '下载地址已过期，请回到页面重新点下载';

function zipEntries(file) {
  const out = execFileSync('python3', ['-c',
    'import json,sys,zipfile\nz=zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n' +
    'print(json.dumps({i.filename: z.read(i).decode() for i in z.infolist()}))', file]);
  return JSON.parse(out.toString());
}

// Fetches url from inside the page, with its session, as the browser would fetch it again.
function fetchInPage(page, url) {
  return page.evaluate(async (u) => {
    const r = await fetch(u);
    const bytes = new Uint8Array(await r.arrayBuffer());
    let binary = '';
    for (const b of bytes) binary += String.fromCharCode(b);
    return { status: r.status, type: r.headers.get('content-type'), base64: btoa(binary) };
  }, url);
}

describe('ZIP by address', () => {
  let browser;
  let server;
  before(async () => {
    browser = await launchBrowser();
    process.env.SKIFFBOX_TEST_ZIP_LINK_SECONDS = String(LIFETIME_MS / 1000);
    try {
      server = await startServer(['--pin', '2580']);
    } finally {
      delete process.env.SKIFFBOX_TEST_ZIP_LINK_SECONDS;
    }
  });
  after(async () => {
    await server.stop();
    await browser.close();
  });

  test('phone: two files come as a GET download, fetched again from its address until it expires', async () => {
    fs.writeFileSync(path.join(server.inbox, 'a.txt'), 'A file');
    fs.writeFileSync(path.join(server.inbox, '照片.txt'), '中文');
    // The banner is written by the console's own thread, possibly after the port answers.
    let login = null;
    for (let waited = 0; !login && waited < 5000; waited += 50) {
      login = server.output().match(/127\.0\.0\.1:\d+\/\?k=([0-9a-f]{32})/);
      if (!login) await sleep(50);
    }
    assert.ok(login, 'the banner shows the login address');
    const token = login[1];
    const ctx = await newContext(browser, 'phone');
    const page = await ctx.newPage();
    const errors = collectErrors(page);
    await page.goto(server.lanUrl('/?k=' + token));
    await page.waitForSelector('.row[data-path="照片.txt"]');
    await page.check('.row[data-path="a.txt"] input.pick');
    await page.check('.row[data-path="照片.txt"] input.pick');

    const clicked = Date.now();
    const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#btnZip')]);
    const made = Date.now();  // the address was made by now
    await waitToast(page, '正在打包 2 项…');
    const address = new URL(dl.url());
    assert.match(address.pathname + address.search, /^\/zip\?id=[0-9a-f]{32}$/);
    const file = await dl.path();
    assert.deepEqual(zipEntries(file), { 'a.txt': 'A file', '照片.txt': '中文' });

    const again = await fetchInPage(page, dl.url());
    assert.ok(Date.now() - clicked < LIFETIME_MS, 'fetched again within the lifetime');
    assert.equal(again.status, 200);
    assert.equal(again.type, 'application/zip');
    assert.deepEqual(Buffer.from(again.base64, 'base64'), fs.readFileSync(file));

    await sleep(made + LIFETIME_MS + 300 - Date.now());
    const late = await fetchInPage(page, dl.url());
    assert.equal(late.status, 404);
    assert.deepEqual(JSON.parse(Buffer.from(late.base64, 'base64').toString('utf8')), { error: GONE });
    assert.deepEqual(errors, []);
    await ctx.close();
  });
});
