// The browser build in Debian's chromium and firefox-esr, headless, driven by puppeteer-core
// (the DevTools protocol, WebDriver BiDi), the folder served from 127.0.0.1 by this test.
//   node --test tests/web/      with build-web/site (scripts/web.sh) and build/
// One body for both browsers: pictures against demo-capture --at, bars in a window of another
// shape, the sound the page plays against demo-capture's mix, the start and end by keys, the
// module's end, a broken asset's line on the page, and a console without errors. Both play
// through a PulseAudio server of the suite's fixtures (build/fixture serve), whose sink's
// first sound is set against the page's clock; Firefox, which draws WebGL only on an X
// display, gets an Xvfb of them too.
import assert from 'node:assert/strict';
import {execFile, execFileSync, spawn} from 'node:child_process';
import {existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {createServer} from 'node:http';
import {tmpdir} from 'node:os';
import {extname, join, resolve} from 'node:path';
import {createInterface} from 'node:readline';
import {after, before, describe, test} from 'node:test';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';

const root = resolve(fileURLToPath(import.meta.url), '../../..');
const site = process.env.DGL_WEB_SITE || join(root, 'build-web/site');
const native = process.env.DGL_NATIVE_BUILD || join(root, 'build');
const scratch = mkdtempSync(join(tmpdir(), 'dgl-web-'));
// Waits are for states the page reports; this only guards against a hang.
const hang = {timeout: 600000};
const types = {'.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm', '.png': 'image/png'};
const browsers = {
  chromium: {executablePath: process.env.DGL_CHROMIUM || '/usr/bin/chromium', browser: 'chrome', servers: ['pulseaudio'],
             ignoreDefaultArgs: ['--mute-audio'],
             args: ['--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--autoplay-policy=no-user-gesture-required']},
  firefox: {executablePath: process.env.DGL_FIREFOX || '/usr/bin/firefox-esr', browser: 'firefox', servers: ['xvfb', 'pulseaudio'],
            extraPrefsFirefox: {'media.autoplay.default': 0, 'media.autoplay.block-webaudio': false}},
};

let server, origin;
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
});
after(() => {
  server?.close();
  rmSync(scratch, {recursive: true, force: true});
});

// Servers of the fixture library: the environment their clients need, once they are ready;
// they end when the returned process's input closes.
async function serve(names) {
  const child = spawn(join(native, 'fixture'), ['serve', ...names], {stdio: ['pipe', 'pipe', 'inherit']});
  const env = {};
  for await (const line of createInterface({input: child.stdout})) {
    if (line === 'ready') return {child, env};
    const at = line.indexOf('=');
    env[line.slice(0, at)] = line.slice(at + 1);
  }
  throw new Error(`fixture serve ${names.join(' ')} did not start`);
}

// demo-capture's mix or picture, made once per set of arguments.
const made = new Map();
function capture(args) {
  const key = args.join(' ');
  if (!made.has(key)) {
    execFileSync(join(native, 'demo-capture'), args, {env: {...process.env, DGL_PLATFORM: 'headless'}, stdio: 'ignore'});
    made.set(key, true);
  }
}

// Decoded PNG pixels through demo-capture's own comparison tool: the largest difference and
// how many pixels differ by more than `max`.
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

// What the page's recorder kept, as a WAV file of 16-bit stereo.
async function recorded(page, file) {
  const samples = await page.evaluate(() => {
    const [l, r] = Module.dglRecorded.map(chunks => chunks.flatMap(c => Array.from(c)));
    return l.flatMap((v, i) => [Math.max(-32768, Math.min(32767, Math.round(v * 32768))), Math.max(-32768, Math.min(32767, Math.round(r[i] * 32768)))]);
  });
  const header = Buffer.alloc(44);
  header.write('RIFF', 0), header.writeUInt32LE(36 + samples.length * 2, 4), header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16), header.writeUInt16LE(1, 20), header.writeUInt16LE(2, 22), header.writeUInt32LE(44100, 24);
  header.writeUInt32LE(44100 * 4, 28), header.writeUInt16LE(4, 32), header.writeUInt16LE(16, 34), header.write('data', 36);
  header.writeUInt32LE(samples.length * 2, 40);
  writeFileSync(file, Buffer.concat([header, Buffer.from(Int16Array.from(samples).buffer)]));
  return samples;
}

for (const [name, options] of Object.entries(browsers)) {
  describe(name, {skip: !existsSync(options.executablePath) && `${options.executablePath} is not installed (scripts/deps.sh)`}, () => {
    let browser, servers;
    before(async () => {
      servers = options.servers ? await serve(options.servers) : {env: {}};
      browser = await puppeteer.launch({...options, headless: true, env: {...process.env, ...servers.env}});
    });
    after(async () => {
      await browser?.close();
      servers?.child?.stdin.end();
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
    const running = page => page.waitForFunction(() => document.body.className === 'running', hang);

    // The moment T in the page (its fixed-step mode) against demo-capture --at T: a carousel
    // stop, and the scroller over its backdrop (the carousel skipped, as one argument does).
    // The rasterisers (SwiftShader or llvmpipe against llvmpipe) round texture filtering and
    // blending a level apart and may give a polygon's edge pixel to either side: measured,
    // 0.01% to 0.1% of the pixels (the covers' and letters' edges) differ by more than 16
    // levels. Allowed: 1%.
    for (const [query, t, args] of [['?at=12', '12', []], ['?skip&at=8.5', '8.5', ['--skip-carousel']], ['?skip&at=15', '15', ['--skip-carousel']]]) {
      test(`the picture of ${query} is demo-capture's`, async () => {
        const page = await open(query);
        await page.waitForFunction(() => document.title.startsWith('at ') || document.body.className === 'failed', hang);
        assert.equal(await page.evaluate(() => document.body.className), 'running', page.messages.join('\n'));
        const shot = join(scratch, `${name}.png`);
        await page.screenshot({path: shot});
        capture([...args, '--at', t, '--at-dir', scratch]);
        const d = compare(join(scratch, `at-${t}.png`), shot, 16);
        console.log(`${name} ${query}: largest difference ${d.largest}, ${d.differ} pixels differ, ${d.beyond} by more than 16`);
        assert.ok(d.beyond <= 1280 * 720 / 100, `${d.beyond} pixels differ by more than 16`);
        // A normal page's console holds no error.
        assert.deepEqual(page.messages.filter(m => /^(error|pageerror)/.test(m)), []);
        await page.close();
      });
    }

    test('a window of another shape shows the picture between black bars', async () => {
      const page = await open('?skip&at=8.5', 1000, 1000);
      await page.waitForFunction(() => document.title.startsWith('at '), hang);
      const shot = join(scratch, `${name}-square.png`);
      await page.screenshot({path: shot});
      // Lit pixels in each row, one number a line.
      const rows = execFileSync(join(native, 'fixture'), ['lit-rows', shot], {encoding: 'utf8'}).trim().split('\n').map(Number);
      // 1000x1000: the picture is 1000x562 at rows 219 to 780; above and below it, black.
      assert.equal(rows.length, 1000);
      assert.ok(rows.slice(0, 219).every(n => n === 0), 'rows above the picture are black');
      assert.ok(rows.slice(781).every(n => n === 0), 'rows below the picture are black');
      assert.ok(rows.slice(230, 770).every(n => n > 0), 'the picture fills its rows');
      await page.close();
    });

    // The scroller sequence with its sound kept by the page's recorder: the start screen waits
    // for a key, the module plays as the native build mixed it, sample for sample, with
    // nothing lost, inserted or wrong (tests/sound_walk.py); a key ends the show on the ending
    // screen.
    test('a key starts the show and its sound, a key ends it on the ending screen', async () => {
      // What the sink plays first, by the fixture library's recorder.
      const sink = new Promise(done => execFile(join(native, 'fixture'), ['first-sound'], {env: {...process.env, ...servers.env}},
                                                (error, out) => done(error ? String(error) : out.trim())));
      const page = await open('?skip&record');
      assert.match(await page.$eval('#line', e => e.textContent), /click or press a key/i);
      assert.equal(await page.evaluate(() => document.body.className), '', 'nothing starts before a key');
      await page.keyboard.press(' ');
      await running(page);
      // Until seven seconds of the music have been played (the recording begins before the
      // show has loaded); the frame rate over them.
      const frames = () => page.evaluate(() => [Module.dglFrames, performance.now()]);
      const [f0, t0] = await frames();
      await page.waitForFunction(() => {
        const blocks = Module.dglRecorded ? Module.dglRecorded[0] : [], first = blocks.findIndex(b => b.some(v => v));
        return first >= 0 && (blocks.length - first) * 4096 >= 7 * 44100;
      }, hang);
      const [f1, t1] = await frames();
      console.log(`${name}: ${((f1 - f0) * 1000 / (t1 - t0)).toFixed(1)} frames a second while the scroller played`);
      const heard = join(scratch, `${name}-heard.wav`), mix = join(scratch, 'mix.wav');
      await recorded(page, heard);
      // The first sound reaches the sink as the show's clock shows its moment (the module
      // sounds from its first frame): the page's performance.now() and the recorder's wall clock.
      const zero = +/clock: the scroller's 0 s at ([\d.]+)/.exec(page.messages.join('\n'))?.[1] * 1000;
      const [, , wall] = (/first-sound ([\d.]+) ([\d.]+)/.exec(await sink) || []).map(Number);
      const offset = wall * 1000 - (await page.evaluate(() => performance.timeOrigin) + zero);
      // Said, not asserted: Chromium -10 to +15 ms; Firefox 29 to 49 ms (88 with both cores
      // busy), its output latency, which the page cannot read there: outputLatency may freeze
      // the page, and getOutputTimestamp() only extrapolates currentTime.
      console.log(`${name}: the first sound heard ${offset.toFixed(1)} ms after the picture meant for it`);
      await page.keyboard.press(' ');
      await page.waitForFunction(() => document.body.className === 'ended', hang);
      assert.match(await page.$eval('#line', e => e.textContent), /The end/);
      capture(['--skip-carousel', '--wav', mix, '--to', '20']);
      let walk, ok = true;
      try {
        walk = execFileSync('python3', [join(root, 'tests/sound_walk.py'), '--min-s', '6', '--max-gaps', '0', heard, mix], {encoding: 'utf8'});
      } catch (e) {
        walk = e.stdout + e.stderr, ok = false;
      }
      console.log(`${name} sound: ${walk.trim()}`);
      assert.ok(ok, walk);
      await page.close();
    });

    // The carousel's MP3, decoded by the browser (its own decoder, not libmpg123): not the same
    // samples, so it is measured: the best alignment within 50 ms, the correlation there and
    // the pitch (zero crossings a second) against demo-capture's mix.
    test("the carousel's sound is the MP3 demo-capture mixes, at its pitch", async () => {
      const page = await open('?record');
      await page.keyboard.press(' ');
      await page.waitForFunction(() => Module.dglRecorded && Module.dglRecorded[0].length * 4096 >= 6 * 44100, hang);
      const stereo = await recorded(page, join(scratch, `${name}-carousel.wav`));
      await page.close();
      const left = stereo.filter((_, i) => i % 2 === 0);
      const wav = join(scratch, 'carousel.wav');
      capture(['--wav', wav, '--to', '8']);
      const bytes = readFileSync(wav);
      const both = new Int16Array(bytes.buffer, bytes.byteOffset + 44, (bytes.length - 44) / 2);
      const mix = Array.from({length: both.length / 2}, (_, i) => both[2 * i]);
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
      console.log(`${name} carousel sound: correlation ${best.r.toFixed(4)} at ${best.shift} samples, pitch ratio ${pitch.toFixed(4)}`);
      assert.ok(best.r > 0.99, `correlation ${best.r}`);
      assert.ok(Math.abs(pitch - 1) < 0.01, `pitch ratio ${pitch}`);
    });

    test("the module's end ends the show on the ending screen", async () => {
      // The module started a few seconds before its end.
      const page = await open('?skip&late=80');
      await page.keyboard.press(' ');
      await page.waitForFunction(() => document.body.className === 'ended', hang);
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
      await page.waitForFunction(() => document.body.className === 'failed', hang);
      assert.match(await page.$eval('#line', e => e.textContent), /^ERROR: \.\.\/source\/shader\.cpp\(24\): Shader failed to compile:/);
      await page.close();
    });
  });
}
