// The browser build in Debian's chromium, headless on its software WebGL (SwiftShader),
// driven through the DevTools protocol, the folder served from 127.0.0.1 by this test.
//   node --test tests/web/web.test.mjs      with build-web/site (scripts/web.sh) and build/
// Pictures against demo-capture --at, bars in a window of another shape, the sound the page
// plays against demo-capture's mix, the start and end by keys, the module's end, a broken
// asset's line on the page, and a console without errors.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync} from 'node:fs';
import {createServer} from 'node:http';
import {tmpdir} from 'node:os';
import {extname, join, resolve} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';

const root = resolve(fileURLToPath(import.meta.url), '../../..');
const site = process.env.DGL_WEB_SITE || join(root, 'build-web/site');
const native = process.env.DGL_NATIVE_BUILD || join(root, 'build');
const scratch = mkdtempSync(join(tmpdir(), 'dgl-web-'));
const types = {'.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm', '.png': 'image/png'};

let server, origin, browser;
before(async () => {
  server = createServer((request, response) => {
    const path = new URL(request.url, 'http://x').pathname;
    try {
      const body = readFileSync(join(site, path === '/' ? 'index.html' : path.slice(1)));
      response.writeHead(200, {'Content-Type': types[extname(path)] || 'application/octet-stream'}).end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  await new Promise(done => server.listen(0, '127.0.0.1', done));
  origin = `http://127.0.0.1:${server.address().port}`;
  browser = await puppeteer.launch({
    executablePath: process.env.DGL_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--autoplay-policy=no-user-gesture-required'],
  });
});
after(async () => {
  await browser?.close();
  server?.close();
  rmSync(scratch, {recursive: true, force: true});
});

// A page of the given size, with every console message and page error kept.
async function open(query, width = 1280, height = 720, setup = null) {
  const page = await browser.newPage();
  page.messages = [];
  page.on('console', m => page.messages.push(`${m.type()}: ${m.text()}`));
  page.on('pageerror', e => page.messages.push(`pageerror: ${e.message}`));
  await page.setViewport({width, height});
  if (setup) await setup(page);
  await page.goto(`${origin}/index.html${query}`);
  return page;
}

// Decoded PNG pixels through demo-capture's own comparison tool is the simplest reading of
// a PNG here: it prints the largest difference and how many pixels differ by more than N.
function compare(a, b, max) {
  let out;
  try {
    out = execFileSync(join(native, 'demo-picture-diff'), ['--max', String(max), a, b], {encoding: 'utf8'});
  } catch (e) {
    out = e.stdout;
  }
  const m = /largest difference (\d+).*?(\d+) pixels differ, (\d+) by more than/.exec(out);
  assert.ok(m, out);
  return {largest: +m[1], differ: +m[2], beyond: +m[3]};
}

// The moment T in the page (its fixed-step mode) against demo-capture --at T: a carousel
// stop, and the scroller over its backdrop (the carousel skipped, as one argument does). The
// two rasterisers (SwiftShader, llvmpipe) round texture filtering and blending a level apart
// and may give a polygon's edge pixel to either side: measured, 0.01% to 0.1% of the pixels
// (the covers' and letters' edges) differ by more than 16 levels. Allowed: 1%.
for (const [query, t, args] of [['?at=12', '12', []], ['?skip&at=8.5', '8.5', ['--skip-carousel']], ['?skip&at=15', '15', ['--skip-carousel']]]) {
  test(`the picture of ${query} is demo-capture's`, async () => {
    const page = await open(query);
    await page.waitForFunction(() => document.title.startsWith('at ') || document.body.className === 'failed', {timeout: 120000});
    assert.equal(await page.evaluate(() => document.body.className), 'running', page.messages.join('\n'));
    const shot = join(scratch, 'page.png');
    await page.screenshot({path: shot});
    execFileSync(join(native, 'demo-capture'), [...args, '--at', t, '--at-dir', scratch], {env: {...process.env, DGL_PLATFORM: 'headless'}, stdio: 'ignore'});
    const d = compare(join(scratch, `at-${t}.png`), shot, 16);
    console.log(`${query}: largest difference ${d.largest}, ${d.differ} pixels differ, ${d.beyond} by more than 16`);
    assert.ok(d.beyond <= 1280 * 720 / 100, `${d.beyond} pixels differ by more than 16`);
    // A normal page's console holds no error.
    assert.deepEqual(page.messages.filter(m => /^(error|pageerror)/.test(m)), []);
    await page.close();
  });
}

test('a window of another shape shows the picture between black bars', async () => {
  const page = await open('?skip&at=8.5', 1000, 1000);
  await page.waitForFunction(() => document.title.startsWith('at '), {timeout: 120000});
  // The page's own screenshot, read back by the page: lit pixels in each row.
  const shot = await page.screenshot({encoding: 'base64'});
  const lit = await page.evaluate(async png => {
    const image = new Image();
    image.src = 'data:image/png;base64,' + png;
    await image.decode();
    const c = document.createElement('canvas');
    c.width = image.width, c.height = image.height;
    const g = c.getContext('2d');
    g.drawImage(image, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data, rows = [];
    for (let y = 0; y < c.height; y++) {
      let n = 0;
      for (let x = 0; x < c.width; x++) n += d[(y * c.width + x) * 4] + d[(y * c.width + x) * 4 + 1] + d[(y * c.width + x) * 4 + 2] > 0;
      rows.push(n);
    }
    return rows;
  }, shot);
  // 1000x1000: the picture is 1000x562 at rows 219 to 780; above and below it, black.
  assert.equal(lit.length, 1000);
  assert.ok(lit.slice(0, 219).every(n => n === 0), 'rows above the picture are black');
  assert.ok(lit.slice(781).every(n => n === 0), 'rows below the picture are black');
  assert.ok(lit.slice(230, 770).every(n => n > 0), 'the picture fills its rows');
  await page.close();
});

// The scroller sequence with its sound kept by the page: the start screen waits for a key,
// the module plays as the native build mixed it, sample for sample; a key ends the show on
// the ending screen.
test('a key starts the show and its sound, a key ends it on the ending screen', async () => {
  const page = await open('?skip&record');
  assert.match(await page.$eval('#line', e => e.textContent), /click or press a key/i);
  await new Promise(r => setTimeout(r, 200));
  assert.equal(await page.evaluate(() => document.body.className), '', 'nothing starts before a key');
  await page.keyboard.press('Space');
  await page.waitForFunction(() => document.body.className === 'running');
  // Until eight seconds of sound have been played.
  await page.waitForFunction(() => Module.dglRecorded && Module.dglRecorded[0].length * 4096 >= 8 * 44100, {timeout: 60000});
  const heard = await page.evaluate(() => {
    const [l, r] = Module.dglRecorded.map(chunks => chunks.flatMap(c => Array.from(c)));
    return l.flatMap((v, i) => [Math.round(v * 32768), Math.round(r[i] * 32768)]);
  });
  await page.keyboard.press('Space');
  await page.waitForFunction(() => document.body.className === 'ended', {timeout: 30000});
  assert.match(await page.$eval('#line', e => e.textContent), /The end/);
  const wav = join(scratch, 'mix.wav');
  execFileSync(join(native, 'demo-capture'), ['--skip-carousel', '--wav', wav, '--to', '20'], {env: {...process.env, DGL_PLATFORM: 'headless'}, stdio: 'ignore'});
  const bytes = readFileSync(wav);
  const mix = new Int16Array(bytes.buffer, bytes.byteOffset + 44, (bytes.length - 44) / 2);
  let h = 0, m = 0;
  while (h + 1 < heard.length && !heard[h] && !heard[h + 1]) h += 2;
  while (m + 1 < mix.length && !mix[m] && !mix[m + 1]) m += 2;
  let same = 0;
  const n = Math.min(heard.length - h, mix.length - m);
  for (let i = 0; i < n; i++) same += heard[h + i] === mix[m + i];
  console.log(`sound: ${(n / 88200).toFixed(2)} s compared, ${(100 * same / n).toFixed(3)}% of the samples equal`);
  assert.ok(n >= 6 * 88200, `${n} samples compared`);
  assert.ok(same / n > 0.999, `${same} of ${n} samples equal`);
  await page.close();
});

// The carousel's MP3, decoded by the browser (FFmpeg's decoder, not libmpg123): not the same
// samples, so it is measured: the best alignment within 50 ms, the correlation there and
// the pitch (zero crossings a second) against demo-capture's mix.
test("the carousel's sound is the MP3 demo-capture mixes, at its pitch", async () => {
  const page = await open('?record');
  await page.keyboard.press('Space');
  await page.waitForFunction(() => Module.dglRecorded && Module.dglRecorded[0].length * 4096 >= 6 * 44100, {timeout: 60000});
  const left = await page.evaluate(() => Module.dglRecorded[0].flatMap(c => Array.from(c)).map(v => Math.round(v * 32768)));
  await page.close();
  const wav = join(scratch, 'carousel.wav');
  execFileSync(join(native, 'demo-capture'), ['--wav', wav, '--to', '8'], {env: {...process.env, DGL_PLATFORM: 'headless'}, stdio: 'ignore'});
  const bytes = readFileSync(wav);
  const stereo = new Int16Array(bytes.buffer, bytes.byteOffset + 44, (bytes.length - 44) / 2);
  const mix = Array.from({length: stereo.length / 2}, (_, i) => stereo[2 * i]);
  const first = a => a.findIndex(v => v !== 0);
  const h = first(left), m = first(mix), n = 4 * 44100;
  let best = {r: -1, shift: 0};
  for (let shift = -2205; shift <= 2205; shift++) {
    let xy = 0, xx = 0, yy = 0;
    for (let i = 0; i < n; i += 4) {
      const x = left[h + i + shift] || 0, y = mix[m + i];
      xy += x * y, xx += x * x, yy += y * y;
    }
    const r = xy / Math.sqrt(xx * yy || 1);
    if (r > best.r) best = {r, shift};
  }
  const crossings = (a, start) => { let c = 0; for (let i = start + 1; i < start + n; i++) c += (a[i - 1] < 0) !== (a[i] < 0); return c; };
  const pitch = crossings(left, h + best.shift) / crossings(mix, m);
  console.log(`carousel sound: correlation ${best.r.toFixed(4)} at ${best.shift} samples, pitch ratio ${pitch.toFixed(4)}`);
  assert.ok(best.r > 0.99, `correlation ${best.r}`);
  assert.ok(Math.abs(pitch - 1) < 0.01, `pitch ratio ${pitch}`);
});

test("the module's end ends the show on the ending screen", async () => {
  // The module started a few seconds before its end.
  const page = await open('?skip&late=80');
  await page.keyboard.press('Space');
  await page.waitForFunction(() => document.body.className === 'ended', {timeout: 120000});
  assert.equal(await page.evaluate(() => Module.dglEnded), 0);
  assert.match(await page.$eval('#line', e => e.textContent), /The end/);
  await page.close();
});

test("a broken asset shows the loader's line on the page", async () => {
  const js = readFileSync(join(site, 'quorvelt.js'), 'utf8');
  const entry = /"filename":\s*"\/data\/font\.fsh",\s*"start":\s*(\d+),\s*"end":\s*(\d+)/.exec(js);
  assert.ok(entry, 'font.fsh in the preloaded data');
  const page = await open('?at=1', 1280, 720, async p => {
    await p.setRequestInterception(true);
    p.on('request', request => {
      if (!request.url().endsWith('/quorvelt.data')) return request.continue();
      const data = Buffer.from(readFileSync(join(site, 'quorvelt.data')));
      data.fill(0x20, +entry[1], +entry[2]);
      data.write('#version 100\nbroken', +entry[1]);
      request.respond({status: 200, contentType: 'application/octet-stream', body: data});
    });
  });
  await page.waitForFunction(() => document.body.className === 'failed', {timeout: 60000});
  assert.match(await page.$eval('#line', e => e.textContent), /^ERROR: \.\.\/source\/shader\.cpp\(24\): Shader failed to compile:/);
  await page.close();
});
