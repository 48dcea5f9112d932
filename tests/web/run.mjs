// The browser suite: the page against a stand-in site, then against the real server
// (SKIFFBOX_EXE). Run with `node run.mjs`; SKIFFBOX_WINE selects the Windows smoke run.
if (!process.env.SKIFFBOX_WINE) await import('./page.test.mjs');
