// The browser suite: the page against a stand-in site, then against the real server
// (SKIFFBOX_EXE). With SKIFFBOX_WINE set (the Windows build under wine) only the smoke
// run against the real server is made.
if (!process.env.SKIFFBOX_WINE) await import('./page.test.mjs');
await import('./server.test.mjs');
