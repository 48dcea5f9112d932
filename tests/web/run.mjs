// The browser suite: the page against a stand-in site, then against the real server
// (SKIFFBOX_EXE). With SKIFFBOX_WINE set (the Windows build under wine) only the smoke
// run against the real server is made.
import fs from 'node:fs';

if (!fs.existsSync(new URL('./node_modules/playwright-core/package.json', import.meta.url))) {
  console.error('playwright-core is missing: run `npm ci` in tests/web first');
  process.exit(1);
}
if (!process.env.SKIFFBOX_WINE) await import('./page.test.mjs');
if (!process.env.SKIFFBOX_WINE) await import('./layout.test.mjs');
if (!process.env.SKIFFBOX_WINE) await import('./phones.test.mjs');
await import('./server.test.mjs');
if (!process.env.SKIFFBOX_WINE) await import('./access.test.mjs');
if (!process.env.SKIFFBOX_WINE) await import('./ziplink.test.mjs');
