// The page of `kavro view`: frames and controls over one WebSocket (the
// binary layout is described in tools/kavro/view_protocol.h).
import * as THREE from 'three';
import { OrbitControls } from './vendor/OrbitControls.js';

const $ = (id) => document.getElementById(id);
const HEADER = 16, KIND_FRAME = 1, KIND_RAYS = 2;

// State the browser tests read too.
const view = {
  received: 0, shown: 0, fpsReceived: 0, fpsShown: 0,
  frame: null,    // {index, w, h, mm: Uint16Array, gray: Uint8Array, status}
  rays: null,     // {w, h, xyz: Float32Array}
  settings: {}, lastReply: null, lastError: null, hover: null,
};
window.kavroView = view;

let ws, pendingStatus = null, fresh = false, outstanding = false, nextId = 1;
const waiting = new Map();

function send(obj) { ws.send(JSON.stringify(obj)); }
// A control request; resolves with the server's reply or error.
function request(obj) {
  const id = nextId++;
  return new Promise((resolve) => { waiting.set(id, resolve); send({ ...obj, id }); });
}
view.request = request;

function connect() {
  ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => { $('st-conn').textContent = 'connected'; outstanding = false; askNext(); };
  ws.onclose = () => { $('st-conn').textContent = 'disconnected'; setTimeout(connect, 1000); };
  ws.onmessage = (ev) => (typeof ev.data === 'string' ? onText(JSON.parse(ev.data)) : onBinary(ev.data));
}

function onText(m) {
  if (m.type === 'frame') { pendingStatus = m; return; }
  if (m.settings) showSettings(m.settings);
  // The settings come with the greeting, each reply, and on their own
  // whenever they change (a control from another tab, a camera error).
  if (m.type === 'hello' || m.type === 'settings') return;
  if (m.type === 'reply') { view.lastReply = m; message(replyText(m), false); }
  if (m.type === 'error') { view.lastError = m; message(m.error, true); }
  const done = waiting.get(m.id);
  if (done) { waiting.delete(m.id); done(m); }
}

function replyText(m) {
  if (m.cmd === 'set') return `${m.name} is now ${m.value} (read back from the camera)`;
  if (m.cmd === 'filter') return `filter ${m.name}: ${m.filter.on ? 'on ' + m.filter.value : 'off'}`;
  if (m.cmd === 'record') return m.frames !== undefined && m.path ? `recording ${m.path}: ${m.frames} frames` : 'ok';
  return 'ok';
}

function message(text, error) { const e = $('msg'); e.textContent = text; e.className = error ? 'error' : ''; }

function onBinary(buf) {
  const h = new DataView(buf);
  const kind = h.getUint8(0), w = h.getUint16(4, true), hgt = h.getUint16(6, true), index = h.getUint32(8, true);
  const n = w * hgt;
  if (kind === KIND_RAYS) { view.rays = { w, h: hgt, xyz: new Float32Array(buf, HEADER, n * 3) }; return; }
  if (kind !== KIND_FRAME) return;
  view.frame = { index, w, h: hgt, mm: new Uint16Array(buf, HEADER, n), gray: new Uint8Array(buf, HEADER + n * 2, n),
                 status: pendingStatus };
  view.received++;
  outstanding = false;
  // The next frame is asked for at once when this one is the only one not
  // drawn yet: it travels while this one is drawn. A tab that does not get
  // to draw (hidden, busy) holds at most two and asks for no more.
  if (!fresh) askNext();
  fresh = true;
}

function askNext() {
  if (outstanding || ws.readyState !== WebSocket.OPEN) return;
  outstanding = true;
  send({ cmd: 'next' });
}

// ---- drawing -------------------------------------------------------------

// Red at the near end of the range, through yellow, green, cyan to blue at
// the far end; black where there is no measurement.
const lut = new Uint8Array(256 * 3);
for (let i = 0; i < 256; i++) {
  const c = new THREE.Color().setHSL((i / 255) * (240 / 360), 1, 0.5);
  lut[i * 3] = c.r * 255; lut[i * 3 + 1] = c.g * 255; lut[i * 3 + 2] = c.b * 255;
}
function range() { return [parseFloat($('near').value) * 1000 || 0, parseFloat($('far').value) * 1000 || 6000]; }
function depthIndex(mm, near, far) { return Math.max(0, Math.min(255, Math.round(((mm - near) / (far - near)) * 255))); }

// Colours as 32-bit RGBA words (little-endian: 0xAABBGGRR): one per
// distance in mm for the current range, one per gray value.
let mmColours = null, mmRange = '';
function depthColours(near, far) {
  const key = `${near}:${far}`;
  if (mmColours && key === mmRange) return mmColours;
  mmColours = new Uint32Array(65536);
  for (let mm = 1; mm < 65536; mm++) {
    const k = depthIndex(mm, near, far) * 3;
    mmColours[mm] = 0xff000000 | (lut[k + 2] << 16) | (lut[k + 1] << 8) | lut[k];
  }
  mmColours[0] = 0xff000000;
  mmRange = key;
  return mmColours;
}
const grayColours = new Uint32Array(256).map((_, g) => 0xff000000 | (g << 16) | (g << 8) | g);

const images = new Map();  // canvas -> its ImageData, reused frame after frame
function drawImage(canvas, f, values, colours) {
  if (canvas.width !== f.w || canvas.height !== f.h) { canvas.width = f.w; canvas.height = f.h; images.delete(canvas); }
  const ctx = canvas.getContext('2d');
  let img = images.get(canvas);
  if (!img) { img = ctx.createImageData(f.w, f.h); images.set(canvas, img); }
  const out = new Uint32Array(img.data.buffer);
  for (let i = 0, n = f.w * f.h; i < n; i++) out[i] = colours[values[i]];
  ctx.putImageData(img, 0, 0);
}

function drawFrame(f) {
  const [near, far] = range();
  drawImage($('depth'), f, f.mm, depthColours(near, far));
  drawImage($('gray'), f, f.gray, grayColours);
  drawHistogram(f, near, far);
  drawCloud(f, near, far);
  showStatus(f.status);
  if (view.hover) showHover(view.hover.x, view.hover.y);
}

function drawHistogram(f, near, far) {
  const c = $('hist'), ctx = c.getContext('2d'), bins = new Uint32Array(64);
  for (const mm of f.mm) if (mm && mm >= near && mm < far) bins[Math.floor(((mm - near) / (far - near)) * 64)]++;
  const top = Math.max(1, ...bins);
  ctx.fillStyle = '#000'; ctx.fillRect(0, 0, c.width, c.height);
  const bw = c.width / 64;
  bins.forEach((b, i) => {
    const k = Math.round((i / 63) * 255) * 3;
    ctx.fillStyle = `rgb(${lut[k]},${lut[k + 1]},${lut[k + 2]})`;
    const bh = (b / top) * (c.height - 2);
    ctx.fillRect(i * bw, c.height - bh, bw - 1, bh);
  });
}

// ---- point cloud -----------------------------------------------------------

let cloudDirty = false;
let renderer = null, scene, camera, controls, points, geometry;
function setupCloud() {
  const el = $('cloud');
  try {
    renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
  } catch (e) {
    el.textContent = 'the 3-D view needs WebGL, which this browser does not offer';
    return;
  }
  renderer.setPixelRatio(1);
  el.appendChild(renderer.domElement);
  scene = new THREE.Scene();
  camera = new THREE.PerspectiveCamera(60, 4 / 3, 0.05, 100);
  controls = new OrbitControls(camera, renderer.domElement);
  controls.addEventListener('change', () => { cloudDirty = true; });
  resetCloudView();
  const resize = () => { const w = el.clientWidth, h = el.clientHeight; renderer.setSize(w, h, false);
    renderer.domElement.style.width = '100%'; renderer.domElement.style.height = '100%';
    camera.aspect = w / h; camera.updateProjectionMatrix(); cloudDirty = true; };
  new ResizeObserver(resize).observe(el);
  resize();
}
function resetCloudView() {
  if (!controls) return;
  camera.position.set(0, 0, 0.01);
  controls.target.set(0, 0, -2.5);
  controls.update();
  cloudDirty = true;
}

function drawCloud(f, near, far) {
  if (!renderer || !view.rays || view.rays.w !== f.w || view.rays.h !== f.h) return;
  const n = f.w * f.h;
  if (!geometry || geometry.userData.n !== n) {
    if (points) scene.remove(points);
    geometry = new THREE.BufferGeometry();
    geometry.userData.n = n;
    geometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(n * 3), 3));
    geometry.setAttribute('color', new THREE.BufferAttribute(new Float32Array(n * 3), 3));
    geometry.boundingSphere = new THREE.Sphere(new THREE.Vector3(), 100);
    points = new THREE.Points(geometry, new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: true }));
    // Camera coordinates have +Y down and +Z ahead; the scene's are up and behind.
    points.rotation.x = Math.PI;
    points.frustumCulled = false;
    scene.add(points);
  }
  const pos = geometry.attributes.position.array, col = geometry.attributes.color.array, r = view.rays.xyz;
  const byGray = $('cloud-colour').value === 'gray';
  for (let i = 0; i < n; i++) {
    const mm = f.mm[i], o = i * 3;
    if (!mm) { pos[o] = pos[o + 1] = pos[o + 2] = NaN; continue; }
    const d = mm / 1000;
    pos[o] = r[o] * d; pos[o + 1] = r[o + 1] * d; pos[o + 2] = r[o + 2] * d;
    if (byGray) { col[o] = col[o + 1] = col[o + 2] = f.gray[i] / 255; } else {
      const k = depthIndex(mm, near, far) * 3; col[o] = lut[k] / 255; col[o + 1] = lut[k + 1] / 255; col[o + 2] = lut[k + 2] / 255;
    }
  }
  geometry.attributes.position.needsUpdate = true;
  geometry.attributes.color.needsUpdate = true;
}

// ---- status, hover, controls ----------------------------------------------

let shownSettings = '';
function showStatus(s) {
  if (!s) return;
  if (s.settings) {
    const text = JSON.stringify(s.settings);
    if (text !== shownSettings) { shownSettings = text; showSettings(s.settings); }
  }
  $('st-index').textContent = s.index;
  $('st-drops').textContent = `${s.skipped} skipped, ${s.discarded} discarded`;
  $('st-decode').textContent = s.decode_ms.toFixed(1);
  $('st-temp').textContent = s.temp_c === null ? 'not reported' : s.temp_c.toFixed(1);
  $('st-calib').textContent = s.calibration;
  $('st-rec').textContent = s.recording ? `recording ${s.recording.path}: ${s.recording.frames} frames` : '';
  view.recording = s.recording || null;
}

function showSettings(s) {
  if (view.settings.version > s.version) return;  // an older copy that arrived late
  view.settings = s;
  $('st-intg').textContent = s.intg_time ?? '-';
  $('st-rate').textContent = s.frame_rate ?? '-';
  $('st-mod').textContent = s.mod_freq ? (s.mod_freq / 1e6).toFixed(2) : '-';
  for (const [id, key] of [['intg', 'intg_time'], ['rate', 'frame_rate'], ['mod', 'mod_freq']])
    if (document.activeElement !== $(id) && s[key] != null) $(id).value = s[key];
  const sel = $('filter');
  if (!sel.options.length && s.filter_names)
    for (const name of s.filter_names.split(/,\s*/)) sel.add(new Option(name, name));
  $('filters').textContent = Object.entries(s.filters || {})
    .map(([k, v]) => `${k} ${v.on ? 'on' + (v.value ? ' ' + v.value : '') : 'off'}`).join(', ');
  $('pause').textContent = s.paused ? 'resume' : 'pause';
  $('record').textContent = s.recording ? 'stop recording' : 'record';
  if (s.camera_error) message(s.camera_error, true);
}

function showHover(x, y) {
  const f = view.frame;
  if (!f || x < 0 || y < 0 || x >= f.w || y >= f.h) return;
  const i = y * f.w + x, mm = f.mm[i];
  let text = `pixel ${x}, ${y} of frame ${f.index}: `;
  const h = { x, y, index: f.index, mm, xyz: null };
  if (!mm) text += 'no measurement';
  else {
    text += `${mm} mm`;
    if (view.rays && view.rays.w === f.w) {
      const r = view.rays.xyz, d = mm / 1000;
      h.xyz = [r[i * 3] * d, r[i * 3 + 1] * d, r[i * 3 + 2] * d];
      text += `, X ${h.xyz[0].toFixed(3)} Y ${h.xyz[1].toFixed(3)} Z ${h.xyz[2].toFixed(3)} m`;
    }
  }
  view.hover = h;
  $('hover').textContent = text;
}

for (const id of ['depth', 'gray']) {
  $(id).addEventListener('mousemove', (ev) => {
    const c = $(id), b = c.getBoundingClientRect();
    showHover(Math.floor(((ev.clientX - b.left) / b.width) * c.width), Math.floor(((ev.clientY - b.top) / b.height) * c.height));
  });
}

const setters = [['intg-set', 'intg', 'intg_time'], ['rate-set', 'rate', 'frame_rate'], ['mod-set', 'mod', 'mod_freq']];
for (const [button, input, name] of setters)
  $(button).onclick = () => request({ cmd: 'set', name, value: parseInt($(input).value, 10) });
$('filter-on').onclick = () => request({ cmd: 'filter', name: $('filter').value, on: true, value: $('filter-value').value });
$('filter-off').onclick = () => request({ cmd: 'filter', name: $('filter').value, on: false });
$('pause').onclick = () => request({ cmd: view.settings.paused ? 'resume' : 'pause' });
$('record').onclick = () => request({ cmd: 'record', on: !view.settings.recording });
$('cloud-reset').onclick = resetCloudView;

// ---- the loop: draw the newest frame, then ask for the next ---------------

let tick = performance.now(), recv0 = 0, shown0 = 0;
function loop() {
  if (fresh && view.frame) {
    fresh = false;
    const t0 = performance.now();
    drawFrame(view.frame);
    view.shown++;
    // For whoever watches the page (the browser tests): which frame it shows.
    dispatchEvent(new CustomEvent('kavroshown', { detail: { index: view.frame.index, shown: view.shown } }));
    cloudDirty = true;
    askNext();
    view.drawMs = performance.now() - t0;
  }
  // The cloud is drawn again only when it or the view changed.
  if (renderer && cloudDirty) {
    const t0 = performance.now();
    cloudDirty = false;
    renderer.render(scene, camera);
    view.renderMs = performance.now() - t0;
  }
  const now = performance.now();
  if (now - tick >= 1000) {
    view.fpsReceived = ((view.received - recv0) * 1000) / (now - tick);
    view.fpsShown = ((view.shown - shown0) * 1000) / (now - tick);
    $('st-recv').textContent = view.fpsReceived.toFixed(1);
    $('st-shown').textContent = view.fpsShown.toFixed(1);
    tick = now; recv0 = view.received; shown0 = view.shown;
  }
  requestAnimationFrame(loop);
}
setupCloud();
connect();
requestAnimationFrame(loop);
