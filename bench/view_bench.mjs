// Benchmark of `kavro view --sim`: for one and for three tabs of Debian's
// headless chromium, the frames each tab was delivered and showed per second
// and the viewer's CPU time (user + system, from /proc) per captured frame
// and per delivered frame, over a fixed window once the tabs are warmed up,
// and that CPU time split by the viewer's threads.
//   KAVRO_TOOL=build/tools/kavro node bench/view_bench.mjs [seconds]
import { readFileSync, readdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const { chromium } = await import(pathToFileURL(path.join(root, 'web/node_modules/playwright-core/index.mjs')));
const { startViewer } = await import(pathToFileURL(path.join(root, 'web/test/view_server.mjs')));
const seconds = Number(process.argv[2] || 10);
const ticks = 100;  // clock ticks a second (sysconf(_SC_CLK_TCK) on Linux)

function ticksOf(statPath) {
  const f = readFileSync(statPath, 'utf8');
  const fields = f.slice(f.lastIndexOf(')') + 2).split(' ');
  return Number(fields[11]) + Number(fields[12]);  // utime, stime
}

// The viewer's CPU seconds, whole and by part: "capture" is its capture
// thread (the library's decoding and the frame message), "serve" its
// senders and the web server's threads, "camera" everything else (with
// --sim: the simulated camera and its emulated USB, and the library's USB
// thread). Threads that ended in between are counted in the whole only.
function cpuSeconds(pid) {
  const parts = { capture: 0, serve: 0, camera: 0 };
  for (const tid of readdirSync(`/proc/${pid}/task`)) {
    let comm, t;
    try {
      comm = readFileSync(`/proc/${pid}/task/${tid}/comm`, 'utf8').trim();
      t = ticksOf(`/proc/${pid}/task/${tid}/stat`);
    } catch { continue; }  // it ended meanwhile
    const part = comm === 'view-capture' ? 'capture'
      : comm === 'view-send' || comm.startsWith('civetweb') ? 'serve' : 'camera';
    parts[part] += t / ticks;
  }
  return { total: ticksOf(`/proc/${pid}/stat`) / ticks, ...parts };
}

async function run(tabs) {
  const server = await startViewer();
  // Each tab in a context (window) of its own, so none is a background tab
  // that the browser stops drawing; playwright gives the browser a fresh
  // profile folder.
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--enable-unsafe-swiftshader', '--use-angle=swiftshader'],
  });
  const pages = [];
  for (let i = 0; i < tabs; i++) {
    const p = await (await browser.newContext({ viewport: { width: 1600, height: 700 } })).newPage();
    await p.goto(server.url);
    pages.push(p);
  }
  for (const p of pages) await p.waitForFunction(() => window.kavroView && window.kavroView.shown >= 30, null, { timeout: 120000 });
  const counters = () => Promise.all(pages.map((p) => p.evaluate(() => ({
    received: window.kavroView.received, shown: window.kavroView.shown,
    captured: window.kavroView.frame.status.captured }))));
  const c0 = await counters(), cpu0 = cpuSeconds(server.pid), t0 = Date.now();
  await new Promise((r) => setTimeout(r, seconds * 1000));
  const c1 = await counters(), cpu1 = cpuSeconds(server.pid), dt = (Date.now() - t0) / 1000;
  await browser.close();
  await server.stop();
  const delivered = c1.reduce((a, c, i) => a + c.received - c0[i].received, 0);
  const captured = Math.max(...c1.map((c) => c.captured)) - Math.min(...c0.map((c) => c.captured));
  const cpu = cpu1.total - cpu0.total;
  const perFrame = (k) => (((cpu1[k] - cpu0[k]) / captured) * 1000).toFixed(2);
  for (let i = 0; i < tabs; i++)
    console.log(`view ${tabs} tab(s): tab ${i + 1}: ${((c1[i].received - c0[i].received) / dt).toFixed(1)} frames/s delivered, ` +
                `${((c1[i].shown - c0[i].shown) / dt).toFixed(1)} shown`);
  console.log(`view ${tabs} tab(s): captured ${(captured / dt).toFixed(1)} frames/s; server CPU ` +
              `${((cpu / captured) * 1000).toFixed(2)} ms per captured frame, ` +
              `${((cpu / delivered) * 1000).toFixed(2)} ms per delivered frame (${(cpu / dt * 100).toFixed(0)}% of a core)`);
  console.log(`view ${tabs} tab(s): per captured frame: capture thread ${perFrame('capture')} ms, ` +
              `serving ${perFrame('serve')} ms, camera side ${perFrame('camera')} ms`);
}

await run(1);
await run(3);
