// The access code in the browser, at phone size against the real server: the code form,
// then an upload and a download; a reload keeps the session, a lost session brings the form
// back, and the QR code's login address lets a second phone straight in.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {
  launchBrowser, newContext, startServer, collectErrors, readTree, LAN_HOST,
} from './lib.mjs';

describe('access code', () => {
  let browser;
  let server;
  before(async () => {
    browser = await launchBrowser();
    server = await startServer(['--pin', '2580']);
  });
  after(async () => {
    await server.stop();
    await browser.close();
  });

  const formShown = (page) => page.isVisible('#login');

  test('phone: the code form, then upload and download; a reload keeps the session', async () => {
    const ctx = await newContext(browser, 'phone');
    const page = await ctx.newPage();
    const errors = collectErrors(page);
    await page.goto(server.lanUrl('/'));
    await page.waitForSelector('#login', { state: 'visible' });
    assert.equal(await page.getAttribute('#loginPin', 'inputmode'), 'numeric');
    assert.match(await page.textContent('#loginMsg'), /纯数字/);
    assert.ok(await page.evaluate(() => document.activeElement.id === 'loginPin'));

    await page.fill('#loginPin', '1111');
    await page.click('#loginBtn');
    await page.waitForFunction(() => document.getElementById('loginMsg').textContent === '访问码不对，请再试一次');
    assert.equal(await formShown(page), true);
    await page.fill('#loginPin', '2580');
    await page.press('#loginPin', 'Enter');
    await page.waitForSelector('#login', { state: 'hidden' });
    await page.waitForFunction((want) => document.getElementById('addr').textContent === want, `${LAN_HOST}:${server.port}`);
    const cookies = await ctx.cookies();
    assert.deepEqual(cookies.map((c) => [c.name, c.httpOnly, c.sameSite]), [[`skiffbox_${server.port}`, true, 'Strict']]);
    assert.notEqual(cookies[0].value, '2580');

    await page.setInputFiles('#picker', [{ name: '口令.txt', mimeType: 'text/plain', buffer: Buffer.from('through the door') }]);
    await page.waitForSelector('.row[data-path="口令.txt"]');
    assert.deepEqual(readTree(server.inbox), { '口令.txt': 'through the door' });
    const [dl] = await Promise.all([page.waitForEvent('download'), page.click('.row[data-path="口令.txt"] a.icon-btn')]);
    assert.equal(fs.readFileSync(await dl.path(), 'utf8'), 'through the door');

    await page.reload();
    await page.waitForSelector('.row[data-path="口令.txt"]');
    assert.equal(await formShown(page), false);

    // The session gone (as after the PC restarted): the next poll brings the form back.
    await ctx.clearCookies();
    await page.waitForSelector('#login', { state: 'visible', timeout: 8000 });
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('the QR code holds the login address, which lets a phone in and leaves the address bar', async () => {
    const token = server.output().match(/127\.0\.0\.1:\d+\/\?k=([0-9a-f]{32})/)[1];
    const pc = await newContext(browser, 'desktop');
    const page = await pc.newPage();
    await page.goto(server.url('/?k=' + token));
    await page.waitForFunction(() => document.title !== '舟匣');
    assert.equal(await formShown(page), false);
    assert.equal(new URL(page.url()).search, '');
    await page.click('#btnQr');
    const shown = await page.textContent('#modalBox .qr-u');
    assert.equal(shown, `http://${LAN_HOST}:${server.port}/?k=${token}`);
    assert.equal(await page.getAttribute('#modalBox .qr-svg', 'src'), '/qr.svg?data=' + encodeURIComponent(shown));
    await page.waitForFunction(() => { const i = document.querySelector('#modalBox .qr-svg'); return i && i.complete && i.naturalWidth > 0; });

    const phone = await newContext(browser, 'phone');
    const scanned = await phone.newPage();
    const errors = collectErrors(scanned);
    await scanned.goto(shown);
    await scanned.waitForFunction(() => document.title !== '舟匣');
    assert.equal(await formShown(scanned), false);
    assert.equal(scanned.url(), `http://${LAN_HOST}:${server.port}/`);
    assert.deepEqual(errors, []);
    await phone.close();
    await pc.close();
  });

  // Last: it bars the browser's address for a minute.
  test('too many wrong codes: the form shows the wait', async () => {
    const ctx = await newContext(browser, 'phone');
    const page = await ctx.newPage();
    await page.goto(server.lanUrl('/'));
    await page.waitForSelector('#login', { state: 'visible' });
    for (let i = 0; i < 5; i++) {
      await page.fill('#loginPin', '000' + i);
      await page.click('#loginBtn');
      await page.waitForFunction(() => !document.getElementById('loginBtn').disabled);
    }
    await page.fill('#loginPin', '2580');
    await page.click('#loginBtn');
    await page.waitForFunction(() => /试错太多次了，请 \d+ 秒后再试/.test(document.getElementById('loginMsg').textContent));
    assert.equal(await page.isDisabled('#loginBtn'), true);
    assert.equal(await formShown(page), true);
    await ctx.close();
  });
});
