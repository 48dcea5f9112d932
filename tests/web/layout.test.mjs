// The page on a 375 px touch screen, against the stand-in site: text fields big enough that
// Safari does not zoom into them, whole file names, 44 px touch targets, the notice clear of
// the keyboard; and a style sheet that old in-app engines (no inset, min(), max(), env() or
// dvh) still lay out, checked in its source and by serving the page without those parts.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {
  launchBrowser, newContext, mockSite, jsonAnswer, INFO, MOCK_LAN_ORIGIN, PAGE_FILE,
  fileEntry, folderEntry, listing, waitToast, collectErrors,
} from './lib.mjs';

const SMALL = { viewport: { width: 375, height: 667 } };
const ZH_NAME = '第三季度产品路线图与预算讨论会议纪要最终修订版本确认稿' + '附件一二三.docx';
const ZH_FOLDER = '二〇二四年春节全家福合影原图未压缩版本请勿外传谢谢大家';
const FILES = [
  folderEntry(ZH_FOLDER),
  fileEntry(ZH_NAME, { kind: 'doc', from: 'iPhone' }),
  fileEntry('a-very-long-file-name-without-any-break-opportunity-whatsoever.txt'),
  fileEntry('短.jpg', { kind: 'image', size: 5000000 }),
];
const HANDLERS = {
  'GET /api/info': () => jsonAnswer({ ...INFO, ips: ['192.168.1.5', '10.0.0.7'] }),
  'GET /api/files': (r) => (r.query.get('dir')
    ? listing([fileEntry('里面.txt', { dir: ZH_FOLDER })], ZH_FOLDER)
    : listing(FILES)),
  'GET /api/texts': () => jsonAnswer({ texts: [{ id: '1', text: '验证码 482913', from: 'iPhone', time: Date.now() / 1000 }] }),
  'GET /qr.svg': () => ({ status: 200, contentType: 'image/svg+xml', body: '<svg xmlns="http://www.w3.org/2000/svg" width="264" height="264"/>' }),
};

let browser;

// The page on a 375 px phone at its LAN address (not a secure context, as a phone sees it);
// `html` replaces the page's source when given.
async function openSmall({ kind = 'phone', html = null } = {}) {
  const ctx = await newContext(browser, kind, SMALL);
  await mockSite(ctx, HANDLERS, MOCK_LAN_ORIGIN);
  const page = await ctx.newPage();
  if (html) await page.route(MOCK_LAN_ORIGIN + '/', (route) => route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: html }));
  const errors = collectErrors(page);
  await page.goto(MOCK_LAN_ORIGIN + '/');
  await page.waitForSelector('.row');
  return { ctx, page, errors };
}

// ---- the style sheet as source --------------------------------------------------------

// What old engines do not know: a declaration using any of it is dropped there whole.
const NEWER = /\b(?:min|max|clamp|env)\(|\d(?:dvh|svh|lvh)\b/;
const isInset = (prop) => /^inset(-|$)/.test(prop);

function styleText() {
  const html = fs.readFileSync(PAGE_FILE, 'utf8');
  return /<style>([\s\S]*?)<\/style>/.exec(html)[1];
}

// Splits a style sheet at the braces and semicolons outside parentheses and quotes, and
// calls `onDecl(prop, value, raw)` for each declaration; what it returns replaces the
// declaration's text. Returns the rebuilt sheet and its rule blocks
// ({selector, media, decls: [{prop, value}]}).
function walkStyle(css, onDecl = (p, v, raw) => raw) {
  css = css.replace(/\/\*[\s\S]*?\*\//g, '');
  const heads = [];
  const blocks = [];
  let out = '';
  let seg = '';
  let depth = 0;
  let quote = '';
  let decls = [];
  const endDecl = () => {
    const m = /^\s*(-?[a-z-]+)\s*:([\s\S]*)$/i.exec(seg);
    if (m && heads.length && !heads[heads.length - 1].startsWith('@')) {
      decls.push({ prop: m[1].toLowerCase(), value: m[2].trim() });
      out += onDecl(m[1].toLowerCase(), m[2].trim(), seg);
    } else {
      out += seg;
    }
    seg = '';
  };
  for (const c of css) {
    if (quote) { seg += c; if (c === quote) quote = ''; continue; }
    if (c === '"' || c === "'") { quote = c; seg += c; continue; }
    if (c === '(') depth++;
    if (c === ')') depth--;
    if (depth === 0 && c === '{') {
      heads.push(seg.trim().replace(/\s+/g, ' '));
      out += seg + c;
      seg = '';
      decls = [];
    } else if (depth === 0 && c === ';') {
      endDecl();
      out += c;
    } else if (depth === 0 && c === '}') {
      endDecl();
      out += c;
      const head = heads.pop();
      if (!head.startsWith('@')) {
        blocks.push({ selector: head, media: heads.join(' '), decls });
      }
      decls = [];
    } else {
      seg += c;
    }
  }
  return { css: out + seg, blocks };
}

// The page as an engine without inset, min(), max(), clamp(), env() or dvh reads it.
function pageForOldEngine() {
  const html = fs.readFileSync(PAGE_FILE, 'utf8');
  const css = styleText();
  const old = walkStyle(css, (prop, value, raw) => (NEWER.test(value) || isInset(prop) ? '' : raw)).css;
  return html.replace(css, () => old);
}

describe('the page on a small touch screen', () => {
  before(async () => { browser = await launchBrowser(); });
  after(async () => { await browser.close(); });

  test('style source: no inset, a plain fallback before every newer value, dvh after every vh height, hover colours only where a pointer hovers', () => {
    const { blocks } = walkStyle(styleText());
    assert.ok(blocks.length > 50, 'rules read: ' + blocks.length);
    const fallbacks = [];
    const dvh = [];
    for (const { selector, media, decls } of blocks) {
      decls.forEach((d, k) => {
        const where = `${selector} { ${d.prop}: ${d.value} }`;
        assert.ok(!isInset(d.prop), 'inset is missing in old engines: ' + where);
        if (NEWER.test(d.value)) {
          const plain = decls.slice(0, k).some((e) => e.prop === d.prop && !NEWER.test(e.value) && !/var\(/.test(e.value));
          assert.ok(plain, 'no plain value before ' + where);
          fallbacks.push(`${selector} ${d.prop}`);
        }
        if (/height$/.test(d.prop) && /\dvh\b/.test(d.value)) {
          const next = decls[k + 1];
          assert.ok(next && next.prop === d.prop && /\ddvh\b/.test(next.value), 'no dvh after ' + where);
          dvh.push(`${selector} ${d.prop}`);
        }
      });
      if (selector.includes(':hover')) assert.match(media, /\(hover: ?hover\)/, selector);
    }
    for (const want of ['body padding', '.modal-box max-height', '.modal-box .qr-svg width', '.toast bottom', '.login-box width']) {
      assert.ok(fallbacks.includes(want), 'expected a fallback for ' + want + ' among ' + fallbacks.join(', '));
    }
    assert.deepEqual(dvh, ['body min-height', '.modal-box max-height', '.modal-box img,.modal-box video max-height']);
  });

  test('an engine without inset, min(), max(), env() or dvh: paddings, the dialog over the screen, the QR code inside it', async () => {
    const { ctx, page, errors } = await openSmall({ html: pageForOldEngine() });
    assert.equal(await page.$eval('body', (b) => getComputedStyle(b).padding), '10px 10px 30px');
    await page.click('#btnQr');
    const r = await page.evaluate(() => {
      const rect = (el) => { const b = el.getBoundingClientRect(); return [b.left, b.top, b.right, b.bottom].map(Math.round); };
      return { modal: rect(document.getElementById('modal')), box: rect(document.getElementById('modalBox')),
        qr: rect(document.querySelector('.qr-svg')), close: rect(document.querySelector('[data-close]')) };
    });
    assert.deepEqual(r.modal, [0, 0, 375, 667]);
    for (const part of ['box', 'qr', 'close']) {
      const [l, t, rt, b] = r[part];
      assert.ok(l >= 0 && t >= 0 && rt <= 375 && b <= 667, `${part} off the screen: ${r[part]}`);
    }
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('every text field is at least 16 px, on the phone and on the PC', async () => {
    for (const kind of ['phone', 'desktop']) {
      const { ctx, page } = await openSmall({ kind });
      await page.waitForSelector('#ipSel:not([hidden])');
      const sizes = await page.evaluate(() => [...document.querySelectorAll('input, select, textarea')]
        .filter((el) => !/^(checkbox|radio|file|hidden)$/.test(el.type))
        .map((el) => [el.id, parseFloat(getComputedStyle(el).fontSize)]));
      assert.deepEqual(sizes.map((s) => s[0]).sort(), ['ipSel', 'loginPin', 'ta'], kind);
      for (const [id, px] of sizes) assert.ok(px >= 16, `${kind} ${id}: ${px}px`);
      await ctx.close();
    }
  });

  test('names at 375 px: a 30-character Chinese name and a name without breaks are whole, on lines inside their box, the actions beneath', async () => {
    const { ctx, page, errors } = await openSmall();
    // Every line of a name's text lies inside the name's box, the box inside its row, and the
    // row's actions below the name.
    const whole = (sel) => page.$$eval(sel, (els) => els.map((el) => {
      const range = document.createRange();
      range.selectNodeContents(el);
      const box = el.getBoundingClientRect();
      const row = (el.closest('.row') || el.parentElement).getBoundingClientRect();
      const lines = [...range.getClientRects()];
      const inside = lines.every((l) => l.left >= box.left - 0.5 && l.right <= box.right + 0.5 && l.top >= box.top - 0.5 && l.bottom <= box.bottom + 0.5);
      const acts = el.closest('.row') && el.closest('.row').querySelector('.acts').getBoundingClientRect();
      return {
        text: el.textContent, clipped: el.scrollWidth > el.clientWidth || el.scrollHeight > el.clientHeight,
        ellipsis: getComputedStyle(el).textOverflow === 'ellipsis' && getComputedStyle(el).whiteSpace === 'nowrap',
        inside, inRow: box.left >= row.left && box.right <= row.right,
        tops: new Set(lines.map((l) => Math.round(l.top))).size, below: acts ? acts.top >= box.bottom : true,
      };
    }));
    const names = await whole('.nm');
    assert.equal(names.length, FILES.length);
    for (const n of names) {
      assert.deepEqual([n.clipped, n.ellipsis, n.inside, n.inRow, n.below], [false, false, true, true, true], n.text);
    }
    assert.ok(names.find((n) => n.text === ZH_NAME).tops >= 2, 'the long name takes more than one line');
    assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 375);

    await page.click(`.row[data-path="${ZH_FOLDER}"] .nm`);
    await page.waitForSelector('#crumb em');
    const [crumb] = await whole('#crumb em');
    assert.deepEqual([crumb.text, crumb.clipped, crumb.ellipsis, crumb.inside], [ZH_FOLDER, false, false, true]);
    assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 375);
    assert.deepEqual(errors, []);
    await ctx.close();
  });

  test('touch targets at 375 px: checkboxes, buttons, links styled as buttons, the selector and the breadcrumb are 44 px; a row checkbox answers in all of it', async () => {
    const { ctx, page } = await openSmall();
    // Each shown control, or the label that holds it, as [what, width, height].
    const sizes = () => page.evaluate(() => [...document.querySelectorAll(
      'button, a.btn, a.icon-btn, select, input[type=checkbox], .crumb b, .tab')]
      .map((el) => {
        const r = (el.closest('label') || el).getBoundingClientRect();
        return [el.id || el.className + ' ' + el.textContent, Math.round(r.width), Math.round(r.height)];
      })
      .filter(([, w, h]) => w || h));
    const check = async (where, atLeast) => {
      const seen = await sizes();
      assert.ok(seen.length >= atLeast, `${where}: ${seen.length} controls`);
      for (const [what, w, h] of seen) assert.ok(w >= 44 && h >= 44, `${where}: ${what} is ${w}x${h}`);
    };
    await page.waitForSelector('#ipSel:not([hidden])');
    await check('files', 20);
    // The edges of a row's checkbox (its corners are rounded off) reach it, not the icon or
    // the row around it.
    const edges = await page.$eval('.row .pick', (box) => {
      // Points outside the viewport hit nothing, and the list may start below it.
      box.scrollIntoView({ block: 'center' });
      const r = box.getBoundingClientRect();
      const x = (r.left + r.right) / 2;
      const y = (r.top + r.bottom) / 2;
      return [[r.left + 1, y], [r.right - 1, y], [x, r.top + 1], [x, r.bottom - 1]]
        .map(([px, py]) => document.elementFromPoint(px, py) === box);
    });
    assert.deepEqual(edges, [true, true, true, true]);
    await page.click('.row .pick', { position: { x: 2, y: 22 } });
    assert.equal(await page.$eval('.row .pick', (b) => b.checked), true);
    assert.equal(await page.textContent('#pickTxt'), '已选 1 / 4 项');

    await page.click(`.row[data-path="${ZH_FOLDER}"] .nm`);
    await page.waitForSelector('#crumb b');
    await check('folder', 8);
    await page.click('[data-tab=text]');
    await page.waitForSelector('.tx');
    await check('texts', 8);
    await page.click('#btnQr');
    await page.waitForSelector('#modal:not([hidden])');
    await check('QR dialog', 9);
    await ctx.close();
  });

  test('hover colours stay off a touch screen; a mouse still gets them', async () => {
    for (const [kind, coloured] of [['phone', false], ['desktop', true]]) {
      const { ctx, page } = await openSmall({ kind });
      await page.hover('#btnCopy');
      await page.waitForTimeout(250);
      const colour = await page.$eval('#btnCopy', (b) => getComputedStyle(b).borderTopColor);
      assert.equal(colour === 'rgb(47, 107, 255)', coloured, `${kind}: ${colour}`);
      await ctx.close();
    }
  });

  test('the notice goes to the top while a text field has focus, and back to the bottom after', async () => {
    const { ctx, page } = await openSmall();
    const toastAt = () => page.$eval('#toast', (t) => {
      const r = t.getBoundingClientRect();
      return r.top < innerHeight / 2 ? 'top' : 'bottom';
    });
    await page.click('[data-tab=text]');
    // Not a secure context: the paste button puts the cursor into the text area and says so.
    await page.click('#btnPaste');
    await waitToast(page, '把这个框点一下，然后按 Ctrl+V（手机长按粘贴）');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'ta');
    await page.waitForTimeout(300);
    assert.equal(await toastAt(), 'top');
    assert.ok((await page.$eval('#toast', (t) => t.getBoundingClientRect().top)) >= 0);

    await page.click('#btnSend');
    await waitToast(page, '先写点什么');
    await page.waitForTimeout(300);
    assert.equal(await toastAt(), 'bottom');
    await ctx.close();
  });
});
