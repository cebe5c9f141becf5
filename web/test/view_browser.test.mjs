// The viewer in a real browser: Debian's chromium, headless, driven through
// playwright-core, against `kavro view --sim`.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, existsSync } from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { startViewer, KAVRO } from './view_server.mjs';

let server, browser, page;

before(async () => {
  server = await startViewer();
  // A fresh profile folder each run (playwright passes it as --user-data-dir).
  browser = await chromium.launchPersistentContext(mkdtempSync(path.join(server.dir, 'chromium-')), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1600, height: 700 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           // WebGL without a GPU: the software renderer.
           '--enable-unsafe-swiftshader', '--use-angle=swiftshader'],
  });
  // Waits are for events and counters of the page; on a loaded machine
  // they may take long, so none gives up early.
  browser.setDefaultTimeout(240000);
  page = browser.pages()[0] || await browser.newPage();
  await page.goto(server.url);
  await page.waitForFunction(() => window.kavroView && window.kavroView.shown > 0 && window.kavroView.rays);
});

after(async () => {
  if (browser) await browser.close();
  if (server) {
    const { code } = await server.stop();
    assert.equal(code, 130, `the viewer stops cleanly on Ctrl-C: ${server.stderr()}`);
  }
});

// The page keeps showing new frames: a run of frames in a row, each newer
// than the one before (the camera's frame index rises), waited on the
// page's own event for each frame it draws. How many it shows a second
// depends on the machine: the figure is printed here and reported by
// bench/view_bench.mjs, not judged.
test('the page keeps showing new frames', { timeout: 300000 }, async () => {
  // Its first frames compile the shaders and fill the caches.
  await page.waitForFunction(() => window.kavroView.shown >= 30);
  const shown = await page.evaluate((n) => new Promise((resolve) => {
    const seen = [];
    const on = (ev) => {
      seen.push({ index: ev.detail.index, t: performance.now() });
      if (seen.length < n) return;
      removeEventListener('kavroshown', on);
      resolve(seen);
    };
    addEventListener('kavroshown', on);
  }), 60);
  for (let i = 1; i < shown.length; i++)
    assert.ok(shown[i].index > shown[i - 1].index,
              `frame ${shown[i].index} shown after frame ${shown[i - 1].index}`);
  const seconds = (shown.at(-1).t - shown[0].t) / 1000;
  console.log(`frames shown: ${((shown.length - 1) / seconds).toFixed(1)} per second ` +
              `(${shown.length} frames, indices ${shown[0].index}..${shown.at(-1).index}; not judged)`);
});

// A view is blank when all its pixels have (nearly) one colour.
async function distinctColours(locator) {
  const png = await locator.screenshot();
  return page.evaluate(async (b64) => {
    const img = new Image();
    img.src = `data:image/png;base64,${b64}`;
    await img.decode();
    const c = new OffscreenCanvas(img.width, img.height), ctx = c.getContext('2d');
    ctx.drawImage(img, 0, 0);
    const d = ctx.getImageData(0, 0, img.width, img.height).data, seen = new Set();
    for (let i = 0; i < d.length; i += 4) seen.add((d[i] >> 3) << 10 | (d[i + 1] >> 3) << 5 | (d[i + 2] >> 3));
    return seen.size;
  }, png.toString('base64'));
}

test('each view shows a picture', async () => {
  for (const sel of ['#depth', '#gray', '#cloud canvas', '#hist']) {
    const colours = await distinctColours(page.locator(sel));
    assert.ok(colours > 8, `${sel}: ${colours} colours`);
  }
  // The picture of the viewer: into the build folder (ctest names it), never
  // the source tree; `./run view-shot` copies it to the README's.
  await page.screenshot({ path: process.env.KAVRO_VIEW_SHOT || path.join(server.dir, 'kavro_view.png') });
});

// The distance the page shows for a pixel is the library's for that pixel
// of the same frame: the server writes that raw frame as a one-frame
// recording, and `kavro convert` decodes it with kavro_frame_get_distance.
test('hovered distance equals the library decoding of the same frame', async () => {
  await page.evaluate(() => window.kavroView.request({ cmd: 'pause' }));
  try {
    await hoverChecks();
  } finally {
    await page.evaluate(() => window.kavroView.request({ cmd: 'resume' }));
  }
});

async function hoverChecks() {
  const box = await page.locator('#depth').boundingBox();
  const cases = [[0.5, 0.5], [0.2, 0.3], [0.7, 0.3]];
  const out = mkdtempSync(path.join(server.dir, 'convert-'));
  for (const [fx, fy] of cases) {
    await page.mouse.move(box.x + box.width * fx, box.y + box.height * fy);
    const hover = await page.evaluate(() => window.kavroView.hover);
    assert.ok(hover && hover.mm > 0, `a measured pixel at ${fx}, ${fy}`);
    assert.match(await page.locator('#hover').innerText(), new RegExp(`${hover.mm} mm, X .* Y .* Z `));
    const snap = await page.evaluate((i) => window.kavroView.request({ cmd: 'snapshot', index: i }), hover.index);
    assert.equal(snap.type, 'reply', JSON.stringify(snap));
    const dir = path.join(out, `${hover.index}_${hover.x}_${hover.y}`);
    execFileSync(KAVRO, ['--cache-dir', path.join(server.dir, 'cache2'), 'convert', snap.path, '-o', dir]);
    const file = readFileSync(path.join(dir, 'frames.dist'));
    const header = file.subarray(0, file.indexOf(10)).toString();
    const w = (await page.evaluate(() => window.kavroView.frame.w));
    const off = file.indexOf(10) + 1 + (hover.y * w + hover.x) * 4;
    const metres = file.readFloatLE(off);
    assert.ok(Math.abs(metres * 1000 - hover.mm) <= 1, `${header}: library ${metres * 1000} mm, page ${hover.mm} mm`);
  }
}

test('integration time and a filter set in the page are read back from the camera', async () => {
  // Through the page's own inputs and buttons.
  await page.fill('#intg', '777');
  await page.click('#intg-set');
  await page.waitForFunction(() => window.kavroView.lastReply && window.kavroView.lastReply.name === 'intg_time');
  assert.equal(await page.evaluate(() => window.kavroView.settings.intg_time), 777);
  assert.match(await page.locator('#st-intg').innerText(), /^777$/);
  // The hdr filter writes the camera's HDR integration time, which is read back.
  await page.selectOption('#filter', 'hdr');
  await page.fill('#filter-value', '600,300');
  await page.click('#filter-on');
  await page.waitForFunction(() => window.kavroView.lastReply && window.kavroView.lastReply.cmd === 'filter');
  const s = await page.evaluate(() => window.kavroView.settings);
  assert.equal(s.hdr_intg_time, 300);
  assert.equal(s.intg_time, 600);
  assert.deepEqual(s.filters.hdr, { on: true, value: '600,300' });
  // A refusal shows the library's (or the camera's) reason.
  const bad = await page.evaluate(() => window.kavroView.request({ cmd: 'set', name: 'intg_time', value: 999999 }));
  assert.equal(bad.type, 'error');
  assert.match(await page.locator('#msg').innerText(), /intg_time/);
  await page.evaluate(() => window.kavroView.request({ cmd: 'filter', name: 'hdr', on: false }));
});

test('record writes a recording that kavro convert decodes', async () => {
  await page.click('#record');
  await page.waitForFunction(() => window.kavroView.recording && window.kavroView.recording.frames >= 10);
  assert.match(await page.locator('#st-rec').innerText(), /recording .*\.raw: \d+ frames/);
  const stopped = await page.evaluate(() => window.kavroView.request({ cmd: 'record', on: false }));
  assert.equal(stopped.type, 'reply');
  assert.ok(existsSync(stopped.path));
  const out = mkdtempSync(path.join(server.dir, 'rec-'));
  const text = execFileSync(KAVRO, ['--cache-dir', path.join(server.dir, 'cache3'), 'convert', stopped.path, '-o', out]).toString();
  assert.match(text, new RegExp(`^${stopped.frames} frames written`, 'm'));
});
