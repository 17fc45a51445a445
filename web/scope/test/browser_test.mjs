// The scope in a real browser: headless Chromium (Debian's) opens the page
// served by kpxadac-scope on a virtual tone board and checks what it shows
// against theory; the access token and the request limits are checked over
// plain HTTP.
//
//   node test/browser_test.mjs --server PATH/kpxadac-scope --out DIR
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

const { values: args } = parseArgs({
  options: {
    server: { type: 'string' },
    out: { type: 'string', default: '.' },
    chromium: { type: 'string', default: '/usr/bin/chromium' },
  },
});
assert.ok(args.server, '--server PATH is required');

const kFramesTimeoutMs = 90_000;
const servers = new Set();

// Starts kpxadac-scope and waits for the line with its URL.
function startServer(serverArgs, env = {}) {
  const child = spawn(args.server, serverArgs, {
    env: { ...process.env, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  servers.add(child);
  let stderr = '';
  child.stderr.on('data', (chunk) => (stderr += chunk));
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const url = new Promise((resolve, reject) => {
    let stdout = '';
    child.stdout.on('data', (chunk) => {
      stdout += chunk;
      const match = stdout.match(/serving .* at (http:\/\/\S+)/);
      if (match) resolve(new URL(match[1]));
    });
    exited.then(({ code }) => reject(new Error(`kpxadac-scope exited with ${code} before serving: ${stderr}`)));
  });
  url.catch(() => {}); // a server expected to fail is awaited by its exit instead
  return { child, url, exited, stderr: () => stderr };
}

// Stops it by its pid, as Ctrl+C would, and expects a clean exit.
async function stopServer(server) {
  server.child.kill('SIGINT');
  const { code, signal } = await server.exited;
  servers.delete(server.child);
  assert.equal(signal, null, `kpxadac-scope died of ${signal}: ${server.stderr()}`);
  assert.equal(code, 0, `kpxadac-scope exited with ${code}: ${server.stderr()}`);
}

after(() => {
  for (const child of servers) child.kill('SIGKILL');
});

// One raw HTTP exchange, for requests fetch() would not send.
function rawRequest(host, port, text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, host, () => socket.end(text));
    let answer = '';
    socket.setTimeout(20_000, () => socket.destroy(new Error('no answer and no close within 20 s')));
    socket.on('data', (chunk) => (answer += chunk));
    socket.on('error', (error) => {
      if (!['ECONNRESET', 'EPIPE'].includes(error.code)) reject(error);
    });
    socket.on('close', () => resolve(answer));
  });
}

const statusOf = (answer) => Number(answer.match(/^HTTP\/1\.[01] (\d{3})/)?.[1]);

// A tone whose SNR follows from its settings: the signal's power is A²/2 for
// an amplitude A = 32767 · 10^(dBFS/20), the noise's is the Gaussian noise
// plus the rounding to whole LSB, σ² + 1/12 LSB².
const tone = { frequency_hz: 10e6, amplitude_dbfs: -1, noise_lsb_rms: 3 };
const theorySnrDb = (() => {
  const amplitude = 32767 * 10 ** (tone.amplitude_dbfs / 20);
  return 10 * Math.log10(amplitude ** 2 / 2 / (tone.noise_lsb_rms ** 2 + 1 / 12));
})();
const toneRack = JSON.stringify({
  boards: [{ device: 0, board_id: '0x8A', realtime: true, signal: { type: 'tone', ...tone } }],
});

test('the page shows the tone board: spectrum peak, SNR, trigger, and follows the FFT size', async () => {
  const server = startServer(['--port', '0', '--averaging', '8'], { KPXADAC_SIM: toneRack });
  const url = await server.url;
  const userDataDir = await mkdtemp(path.join(os.tmpdir(), 'kpxadac-scope-chromium-'));
  const browser = await chromium.launchPersistentContext(userDataDir, {
    executablePath: args.chromium,
    headless: true,
    viewport: { width: 1400, height: 900 },
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
  });
  try {
    const page = browser.pages()[0] ?? (await browser.newPage());
    const pageErrors = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    await page.goto(url.href);

    // Waits for a full average of frames of the given FFT size.
    const waitForAverage = (fftSize) =>
      page.waitForFunction(
        (size) => {
          const averaged = Number(document.getElementById('averaged').dataset.count);
          const fftShown = document.getElementById('fft-size').value;
          return averaged >= 8 && fftShown === String(size) && document.getElementById('snr').dataset.db !== '';
        },
        fftSize,
        { timeout: kFramesTimeoutMs },
      );
    const shown = () =>
      page.evaluate(() => ({
        peakHz: Number(document.getElementById('peak').dataset.hz),
        snrDb: Number(document.getElementById('snr').dataset.db),
        binHz: Number(document.getElementById('spectrum-info').dataset.binHz),
        sampleRateHz: Number(document.getElementById('sample-rate').dataset.hz),
        trigger: document.getElementById('trigger-state').textContent,
        frames: Number(document.getElementById('frames').dataset.count),
        board: document.getElementById('board').selectedOptions[0]?.textContent,
      }));

    await waitForAverage(65536);
    const first = await shown();
    assert.equal(first.sampleRateHz, 105e6);
    assert.equal(first.binHz, 105e6 / 65536);
    assert.ok(
      Math.abs(first.peakHz - tone.frequency_hz) <= first.binHz,
      `peak at ${first.peakHz} Hz, expected ${tone.frequency_hz} Hz within one bin (${first.binHz} Hz)`,
    );
    assert.ok(
      Math.abs(first.snrDb - theorySnrDb) <= 1,
      `SNR shown ${first.snrDb} dB, theory ${theorySnrDb.toFixed(2)} dB`,
    );
    assert.match(first.trigger, /^triggered, rising edge at 0 LSB/);
    assert.equal(first.board, 'ADC 0 (ID 0x8A)');
    // A rack without a DAC board: the response view says so and cannot start.
    const responseView = await page.evaluate(() => ({
      message: document.getElementById('response-message').textContent,
      measure: document.getElementById('response-measure').disabled,
    }));
    assert.match(responseView.message, /No DAC board/);
    assert.equal(responseView.measure, true);
    await page.screenshot({ path: path.join(args.out, 'scope_browser_test.png'), fullPage: true });

    // The FFT size control goes to the server, and its frames come back.
    await page.selectOption('#fft-size', '16384');
    await page.waitForFunction(
      () => Number(document.getElementById('spectrum-info').dataset.binHz) === 105e6 / 16384,
      null,
      { timeout: kFramesTimeoutMs },
    );
    await waitForAverage(16384);
    const second = await shown();
    assert.ok(Math.abs(second.peakHz - tone.frequency_hz) <= second.binHz, `peak at ${second.peakHz} Hz`);
    assert.ok(Math.abs(second.snrDb - theorySnrDb) <= 1, `SNR ${second.snrDb} dB at 16 Ki points`);

    // Paused, the page keeps what it shows while frames still come.
    await page.click('#pause');
    const pausedAt = (await shown()).frames;
    await page.waitForTimeout(1000);
    assert.equal((await shown()).frames, pausedAt);
    assert.deepEqual(pageErrors, []);
  } finally {
    await browser.close();
    await rm(userDataDir, { recursive: true, force: true });
    await stopServer(server);
  }
});

test('with --listen the token is required; bad requests get 4xx and the server goes on', async () => {
  const server = startServer(['--listen', '127.0.0.2:0'], { KPXADAC_SIM: toneRack });
  const url = await server.url;
  assert.equal(url.hostname, '127.0.0.2');
  const token = url.searchParams.get('token');
  assert.match(token, /^[0-9a-f]{32}$/);
  const base = `http://127.0.0.2:${url.port}`;
  try {
    assert.equal((await fetch(`${base}/`)).status, 401);
    assert.equal((await fetch(`${base}/api/state`)).status, 401);
    assert.equal((await fetch(`${base}/?token=${'0'.repeat(32)}`)).status, 401);
    const page = await fetch(url.href);
    assert.equal(page.status, 200);
    assert.match(await page.text(), /<title>kpxadac-scope<\/title>/);
    const state = await fetch(`${base}/api/state`, { headers: { Authorization: `Bearer ${token}` } });
    assert.equal(state.status, 200);
    assert.equal((await state.json()).settings.fft_size, 65536);

    const post = (body, type = 'application/json') =>
      fetch(`${base}/api/settings?token=${token}`, { method: 'POST', headers: { 'Content-Type': type }, body });
    assert.equal((await post('{"fft_size": 1000}')).status, 400);
    assert.equal((await post('{"fft_size": 4096')).status, 400);
    assert.equal((await post('{"fft_size": 4096}', 'text/plain')).status, 415);
    const accepted = await post('{"fft_size": 4096, "window": "hann"}');
    assert.equal(accepted.status, 200);
    assert.deepEqual((await accepted.json()).settings.fft_size, 4096);

    const host = '127.0.0.2';
    const port = Number(url.port);
    // The server stops reading a malformed or oversized request, answers and
    // closes; the reset that the unread bytes cause may swallow its answer,
    // so no answer at all counts too. What must never come is a success or a
    // dead server.
    const refused = {
      garbage: 'NOT A REQUEST\r\n\r\n',
      uri: `GET /${'a'.repeat(20_000)}?token=${token} HTTP/1.1\r\nHost: x\r\n\r\n`,
      header: `GET /?token=${token} HTTP/1.1\r\nHost: x\r\nX-Big: ${'b'.repeat(20_000)}\r\n\r\n`,
      body:
        `POST /api/settings?token=${token} HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n` +
        `Content-Length: 100000\r\n\r\n{"pad": "${'x'.repeat(99_990)}"}`,
    };
    // A header of more than 16 KiB is cut off at the gate: 431, or 414 when
    // its request line alone is that long.
    const expected = { garbage: 400, uri: 414, header: 431, body: 413 };
    for (const [what, text] of Object.entries(refused)) {
      const answer = await rawRequest(host, port, text);
      assert.ok(answer === '' || statusOf(answer) === expected[what], `${what}: ${answer.slice(0, 40)}`);
    }
    assert.equal((await fetch(url.href)).status, 200, 'the server still answers');

    // A second server on the same port says so in one line.
    const second = startServer(['--listen', `127.0.0.2:${url.port}`], { KPXADAC_SIM: toneRack });
    const { code } = await second.exited;
    servers.delete(second.child);
    assert.equal(code, 1);
    assert.match(second.stderr(), /^kpxadac-scope: cannot listen on 127\.0\.0\.2:\d+: the port is already in use/);
    assert.equal(second.stderr().trim().split('\n').length, 1);
  } finally {
    await stopServer(server);
  }
});

test('single holds one record until re-armed; the trigger time and rate are shown', async () => {
  const server = startServer(['--port', '0', '--fft-size', '4096', '--trigger-mode', 'single'], {
    KPXADAC_SIM: toneRack,
  });
  const url = await server.url;
  const userDataDir = await mkdtemp(path.join(os.tmpdir(), 'kpxadac-scope-chromium-'));
  const browser = await chromium.launchPersistentContext(userDataDir, {
    executablePath: args.chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
  try {
    const page = browser.pages()[0] ?? (await browser.newPage());
    const pageErrors = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    await page.goto(url.href);
    const shown = () =>
      page.evaluate(() => {
        const state = document.getElementById('trigger-state');
        return {
          text: state.textContent,
          held: state.dataset.held,
          record: state.dataset.record,
          index: state.dataset.triggerIndex,
          frames: Number(document.getElementById('frames').dataset.count),
          time: document.getElementById('trigger-time').textContent,
          rate: document.getElementById('trigger-rate').dataset.perS,
          mode: document.getElementById('trigger-mode').value,
        };
      });
    await page.waitForFunction(
      () => document.getElementById('trigger-state').dataset.held === 'true',
      null,
      { timeout: kFramesTimeoutMs },
    );
    const first = await shown();
    assert.equal(first.mode, 'single');
    assert.equal(first.record, '0');
    assert.match(first.text, /^triggered, rising edge at 0 LSB \(single: held/);
    assert.match(first.time, new RegExp(`UTC, board sample ${first.index}$`));
    // Frames go on (spectra), the waveform stays the one record.
    await page.waitForFunction((n) => Number(document.getElementById('frames').dataset.count) >= n + 5,
      first.frames, { timeout: kFramesTimeoutMs });
    const later = await shown();
    assert.equal(later.index, first.index);
    assert.equal(later.record, '0');
    assert.equal(later.held, 'true');

    // Re-armed, the next record comes from later in the stream and is held in turn.
    await page.click('#rearm');
    await page.waitForFunction(
      (index) => {
        const state = document.getElementById('trigger-state');
        const shownIndex = state.dataset.triggerIndex;
        return state.dataset.held === 'true' && shownIndex !== '' && shownIndex !== index;
      },
      first.index,
      { timeout: kFramesTimeoutMs },
    );
    const rearmed = await shown();
    assert.ok(BigInt(rearmed.index) > BigInt(first.index), `${rearmed.index} after ${first.index}`);

    // Normal: triggers on a 10 MHz tone come as fast as the records allow.
    await page.selectOption('#trigger-mode', 'normal');
    await page.waitForFunction(() => Number(document.getElementById('trigger-rate').dataset.perS) > 1000,
      null, { timeout: kFramesTimeoutMs });
    assert.deepEqual(pageErrors, []);
  } finally {
    await browser.close();
    await rm(userDataDir, { recursive: true, force: true });
    await stopServer(server);
  }
});

// The first `frame` event of the server's event stream, read over plain HTTP.
async function firstFrame(url) {
  const controller = new AbortController();
  const response = await fetch(new URL('/api/events', url), { signal: controller.signal });
  assert.equal(response.status, 200);
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let text = '';
  try {
    for (;;) {
      const { value, done } = await reader.read();
      assert.ok(!done, 'the event stream ended before a frame');
      text += decoder.decode(value, { stream: true });
      for (let end = text.indexOf('\n\n'); end >= 0; end = text.indexOf('\n\n')) {
        const message = text.slice(0, end);
        text = text.slice(end + 2);
        if (!message.startsWith('event: frame')) continue;
        const data = message.split('\n').filter((line) => line.startsWith('data:'));
        return JSON.parse(data.map((line) => line.slice(5)).join('\n'));
      }
    }
  } finally {
    controller.abort();
  }
}

// Three unpaced boards on one noise source, each at its own place on the
// rack's timeline: measured and applied, the group's traces are equal.
const groupOffsets = [0, 37, -5];
const groupRack = JSON.stringify({
  sources: { ref: { type: 'noise', amplitude_dbfs: -10, seed: 7 } },
  boards: groupOffsets.map((offset, device) => ({ device, input: 'ref', timeline_offset: offset })),
});

test('a group: one trace per board on one time axis, equal for a shared source, with the offsets', async () => {
  const server = startServer(
    ['--port', '0', '--index', '0,1,2', '--align', 'measure', '--fft-size', '1024', '--max-rate', '5'],
    { KPXADAC_SIM: groupRack },
  );
  const url = await server.url;
  const userDataDir = await mkdtemp(path.join(os.tmpdir(), 'kpxadac-scope-chromium-'));
  let browser;
  try {
    // The event data: a trace per board, in --index order, sample-equal,
    // with the offsets the alignment found (board b's sample n is board 0's
    // sample n + offset).
    const frame = await firstFrame(url);
    const traces = frame.waveform.traces;
    assert.deepEqual(traces.map((t) => t.board), [0, 1, 2]);
    for (const [b, trace] of traces.entries()) {
      assert.equal(trace.samples.length, 1024);
      assert.ok(Math.abs(trace.offset - groupOffsets[b]) < 0.05, `board ${b}: offset ${trace.offset}`);
      assert.deepEqual(trace.samples, traces[0].samples, `board ${b}'s samples differ from board 0's`);
    }
    assert.ok(traces[0].samples.some((v) => v !== 0), 'the traces are all zero');
    // Boards skip so that all reach the same instant: skip_0 - skip_b = offset_b.
    for (const [b, trace] of traces.entries()) assert.equal(traces[0].skip - trace.skip, groupOffsets[b]);

    // The group's boards are fixed: the page's board choice is refused.
    const refused = await fetch(new URL('/api/settings', url), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ board: 1 }),
    });
    assert.equal(refused.status, 400);
    assert.match((await refused.json()).error, /group/);

    browser = await chromium.launchPersistentContext(userDataDir, {
      executablePath: args.chromium,
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
    });
    const page = browser.pages()[0] ?? (await browser.newPage());
    const pageErrors = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    await page.goto(url.href);
    await page.waitForFunction(() => document.getElementById('waveform-plot').dataset.traces === '3', null, {
      timeout: kFramesTimeoutMs,
    });
    const shown = await page.evaluate(() => {
      const plot = document.getElementById('waveform-plot');
      return {
        boards: plot.dataset.boards,
        equal: plot.dataset.equal,
        // uPlot draws one legend row per series: the time and each board.
        legendRows: [...plot.querySelectorAll('.u-legend .u-series')].map((row) => row.textContent),
        legend: [...document.querySelectorAll('#group-legend li')].map((item) => ({
          board: item.dataset.board,
          offset: Number(item.dataset.offset),
          text: item.textContent,
        })),
        boardChoice: document.getElementById('board').disabled,
      };
    });
    assert.equal(shown.boards, '0,1,2');
    assert.equal(shown.equal, 'true');
    assert.equal(shown.legendRows.length, 4, `legend rows: ${shown.legendRows}`);
    assert.deepEqual(shown.legend.map((l) => l.board), ['0', '1', '2']);
    for (const [b, item] of shown.legend.entries()) {
      assert.ok(Math.abs(item.offset - groupOffsets[b]) < 0.05, `legend ${item.text}`);
      assert.match(item.text, new RegExp(`^ADC ${b}: offset ${groupOffsets[b].toFixed(2)} samples`));
    }
    await page.waitForFunction(() => document.getElementById('board').disabled, null, { timeout: kFramesTimeoutMs });
    await page.screenshot({ path: path.join(args.out, 'scope_group_test.png'), fullPage: true });
    assert.deepEqual(pageErrors, []);
  } finally {
    if (browser) await browser.close();
    await rm(userDataDir, { recursive: true, force: true });
    await stopServer(server);
  }
});

// An unpaced ADC wired to a DAC through a -3 dB gain (a flat low-pass
// section at low frequencies) and a delay: the page measures its response.
// The ADC's read timeout bounds how long its idle acquisition waits for the
// DAC before the measurement takes the board.
const wiredRack = JSON.stringify({
  boards: [
    {
      device: 0,
      read_timeout_ms: 3000,
      input: { dac: 1, through: { gain_db: -3, delay_samples: 7.3, sos: [[0.0675, 0.1349, 0.0675, 1, -1.143, 0.4128]] } },
    },
    { device: 1, board_id: '0x86' },
  ],
});

test('the response view measures a wired rack, draws the Bode plot and downloads the CSV', async () => {
  const server = startServer(['--port', '0', '--fft-size', '1024', '--max-rate', '2'], { KPXADAC_SIM: wiredRack });
  const url = await server.url;
  const userDataDir = await mkdtemp(path.join(os.tmpdir(), 'kpxadac-scope-chromium-'));
  let browser;
  try {
    browser = await chromium.launchPersistentContext(userDataDir, {
      executablePath: args.chromium,
      headless: true,
      acceptDownloads: true,
      viewport: { width: 1400, height: 1200 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
    });
    const page = browser.pages()[0] ?? (await browser.newPage());
    const pageErrors = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    await page.goto(url.href);
    await page.waitForFunction(() => document.getElementById('response').dataset.available === 'true', null, {
      timeout: kFramesTimeoutMs,
    });
    const defaults = await page.evaluate(() => ({
      dac: document.getElementById('response-dac').selectedOptions[0]?.textContent,
      start: Number(document.getElementById('response-start').value),
      stop: Number(document.getElementById('response-stop').value),
      points: Number(document.getElementById('response-points').value),
      method: document.getElementById('response-method').value,
      amplitude: Number(document.getElementById('response-amplitude').value),
    }));
    assert.equal(defaults.dac, 'DAC 0 (ID 0x86)');
    assert.equal(defaults.start, 10e3);
    assert.ok(defaults.stop > 10e6 && defaults.stop < 105e6 / 2, `default stop ${defaults.stop} Hz`);
    assert.deepEqual([defaults.points, defaults.method, defaults.amplitude], [200, 'multitone', -6]);

    // A stop at half the rate: the library's reason, shown as text.
    await page.fill('#response-stop', String(105e6 / 2));
    await page.click('#response-measure');
    await page.waitForFunction(() => document.getElementById('response').dataset.state === 'error', null, {
      timeout: 20_000,
    });
    assert.match(await page.textContent('#response-message'), /half the sample rate/);

    const points = 40;
    await page.fill('#response-start', '20000');
    await page.fill('#response-stop', '40000000');
    await page.fill('#response-points', String(points));
    await page.click('#response-measure');
    await page.waitForFunction(
      () => ['done', 'error'].includes(document.getElementById('response').dataset.state) &&
        document.getElementById('response-measure').disabled === false,
      null,
      { timeout: 150_000 },
    );
    assert.equal(await page.getAttribute('#response', 'data-state'), 'done', await page.textContent('#response-message'));
    // Both plots hold every point within their axes.
    await page.waitForFunction(
      (n) =>
        document.getElementById('response-magnitude-plot').dataset.drawn === String(n) &&
        document.getElementById('response-phase-plot').dataset.drawn === String(n),
      points,
      { timeout: 20_000 },
    );

    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#response-download')]);
    assert.equal(download.suggestedFilename(), 'response.csv');
    const csv = await readFile(await download.path(), 'utf8');
    const lines = csv.trim().split('\n');
    assert.match(lines[0], /^frequency_hz,magnitude_db,phase_deg(,|$)/);
    assert.equal(lines.length, points + 1);
    const rows = lines.slice(1).map((line) => line.split(',').map(Number));
    assert.ok(Math.abs(rows[0][0] - 20e3) / 20e3 < 0.01, `first frequency ${rows[0][0]} Hz`);
    // At 20 kHz the low-pass section passes 0 dB: the -3 dB gain is what shows.
    assert.ok(Math.abs(rows[0][1] + 3) < 0.05, `magnitude at 20 kHz ${rows[0][1]} dB`);
    for (let i = 1; i < rows.length; i++) assert.ok(rows[i][0] > rows[i - 1][0], 'frequencies rise');
    await page.screenshot({ path: path.join(args.out, 'scope_response_test.png'), fullPage: true });
    assert.deepEqual(pageErrors, []);
  } finally {
    if (browser) await browser.close();
    await rm(userDataDir, { recursive: true, force: true });
    await stopServer(server);
  }
});
