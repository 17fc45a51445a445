// The live view: waits for frames pushed by the server (Server-Sent Events)
// and draws them; the controls post the server's settings. Every request
// carries the access token this page was opened with.
import uPlot from 'uplot';
import 'uplot/dist/uPlot.min.css';
import './style.css';

const token = new URLSearchParams(location.search).get('token');
const $ = (id) => document.getElementById(id);

function withToken(path) {
  return token ? `${path}?token=${encodeURIComponent(token)}` : path;
}

// ---- formatting -------------------------------------------------------------

const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);
const fixed = (v, digits) => (isNumber(v) ? v.toFixed(digits) : '–');

function setFigure(id, attribute, value, text) {
  const el = $(id);
  el.dataset[attribute] = isNumber(value) ? String(value) : '';
  el.textContent = isNumber(value) ? text : '–';
}

function fftSizeLabel(size) {
  return size >= 1048576 ? `${size / 1048576} Mi` : `${size / 1024} Ki`;
}

// ---- plots --------------------------------------------------------------------

const plotHeight = 300;

function plotWidth(el) {
  return Math.max(320, el.clientWidth);
}

// The waveform plot: one signal and the trigger level, or (a group) one
// trace per board on the group's time axis. Made anew when the traces change.
const traceColours = ['#1565c0', '#c62828', '#2e7d32', '#6a1b9a', '#ef6c00', '#00838f', '#5d4037', '#ad1457'];
let waveformPlot = null;
let waveformKey = '';

function makeWaveformPlot(key, lines) {
  if (waveformPlot && key === waveformKey) return;
  if (waveformPlot) waveformPlot.destroy();
  waveformKey = key;
  waveformPlot = new uPlot(
    {
      width: plotWidth($('waveform-plot')),
      height: plotHeight,
      scales: { x: { time: false }, y: { range: [-32768, 32767] } },
      axes: [
        { label: 'time (µs)' },
        { label: 'sample (LSB)', size: 70 },
      ],
      series: [{ label: 'time µs', value: (u, v) => fixed(v, 4) }, ...lines],
    },
    [[], ...lines.map(() => [])],
    $('waveform-plot'),
  );
}

makeWaveformPlot('single', [
  { label: 'signal', stroke: traceColours[0], width: 1, points: { show: false } },
  { label: 'trigger level', stroke: '#e65100', width: 1, dash: [6, 4], points: { show: false } },
]);

const spectrumPlot = new uPlot(
  {
    width: plotWidth($('spectrum-plot')),
    height: plotHeight,
    scales: {
      x: { time: false },
      y: { range: (u, min) => [Math.min(-160, Math.floor(min / 10) * 10), 0] },
    },
    axes: [
      { label: 'frequency (MHz)' },
      { label: 'power (dBFS)', size: 70 },
    ],
    series: [
      { label: 'MHz', value: (u, v) => fixed(v, 4) },
      { label: 'dBFS', stroke: '#2e7d32', width: 1, points: { show: false } },
    ],
  },
  [[], []],
  $('spectrum-plot'),
);

window.addEventListener('resize', () => {
  waveformPlot.setSize({ width: plotWidth($('waveform-plot')), height: plotHeight });
  spectrumPlot.setSize({ width: plotWidth($('spectrum-plot')), height: plotHeight });
});

// ---- controls -----------------------------------------------------------------

let paused = false;

const controls = {
  board: $('board'),
  fft_size: $('fft-size'),
  window: $('window'),
  averaging: $('averaging'),
  trigger_level: $('trigger-level'),
  trigger_mode: $('trigger-mode'),
  trigger_edge: $('trigger-edge'),
  trigger_hysteresis: $('trigger-hysteresis'),
};
const textSettings = new Set(['window', 'trigger_mode', 'trigger_edge']);

function fillChoices(select, values, label) {
  select.replaceChildren(
    ...values.map((v) => {
      const option = document.createElement('option');
      option.value = String(v.value);
      option.textContent = label(v);
      return option;
    }),
  );
}

// Shows the server's settings, except in the control being edited.
function showSettings(settings) {
  for (const [key, el] of Object.entries(controls)) {
    if (settings[key] === undefined || el === document.activeElement) continue;
    el.value = String(settings[key]);
  }
}

async function postSettings(change) {
  try {
    const response = await fetch(withToken('/api/settings'), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(change),
    });
    const answer = await response.json();
    if (!response.ok) throw new Error(answer.error || response.statusText);
    showSettings(answer.settings);
    showError('');
  } catch (err) {
    showError(`settings not applied: ${err.message}`);
  }
}

for (const [key, el] of Object.entries(controls)) {
  el.addEventListener('change', () => {
    const value = textSettings.has(key) ? el.value : Number(el.value);
    postSettings({ [key]: value });
  });
}
$('controls').addEventListener('submit', (event) => event.preventDefault());
$('rearm').addEventListener('click', () => postSettings({ rearm: true }));

$('pause').addEventListener('click', () => {
  paused = !paused;
  $('pause').textContent = paused ? 'Resume' : 'Pause';
  $('pause').setAttribute('aria-pressed', String(paused));
  document.body.dataset.paused = String(paused);
});

function showError(text) {
  const el = $('stream-error');
  el.textContent = text;
  el.hidden = !text;
}

// ---- frames ---------------------------------------------------------------------

let frameCount = 0;
const frameTimes = [];

function showMeasurements(m) {
  setFigure('fundamental', 'hz', m.fundamental_hz, `${fixed(m.fundamental_hz / 1e6, 6)} MHz`);
  setFigure('fundamental-power', 'dbfs', m.fundamental_dbfs, `${fixed(m.fundamental_dbfs, 2)} dBFS`);
  setFigure('snr', 'db', m.snr_db, `${fixed(m.snr_db, 2)} dB`);
  setFigure('sinad', 'db', m.sinad_db, `${fixed(m.sinad_db, 2)} dB`);
  setFigure('thd', 'db', m.thd_db, `${fixed(m.thd_db, 2)} dB`);
  setFigure('sfdr-dbc', 'db', m.sfdr_dbc, `${fixed(m.sfdr_dbc, 2)} dBc`);
  setFigure('sfdr-dbfs', 'db', m.sfdr_dbfs, `${fixed(m.sfdr_dbfs, 2)} dBFS`);
  setFigure('enob', 'bits', m.enob_bits, `${fixed(m.enob_bits, 2)} bits`);
  setFigure('noise-floor', 'dbfs', m.noise_floor_dbfs_per_bin, `${fixed(m.noise_floor_dbfs_per_bin, 2)} dBFS/bin`);
  const rows = (m.harmonics || []).map((h) => {
    const row = document.createElement('tr');
    for (const text of [`H${h.order}`, `${fixed(h.frequency_hz / 1e6, 4)} MHz`, `${fixed(h.power_dbfs, 2)} dBFS`]) {
      const cell = document.createElement('td');
      cell.textContent = text;
      row.append(cell);
    }
    return row;
  });
  $('harmonics').replaceChildren(...rows);
}

function showSpectrum(spectrum) {
  const mhz = new Float64Array(spectrum.bins.length);
  let peak = 0;
  for (let i = 0; i < spectrum.bins.length; i++) {
    mhz[i] = (spectrum.bins[i] * spectrum.bin_hz) / 1e6;
    if (spectrum.dbfs[i] > spectrum.dbfs[peak]) peak = i;
  }
  spectrumPlot.setData([mhz, spectrum.dbfs]);
  const peakHz = spectrum.bins[peak] * spectrum.bin_hz;
  const peakDbfs = spectrum.dbfs[peak];
  const el = $('peak');
  el.dataset.hz = String(peakHz);
  el.dataset.dbfs = String(peakDbfs);
  el.textContent = `${fixed(peakHz / 1e6, 6)} MHz, ${fixed(peakDbfs, 2)} dBFS`;
  $('spectrum-info').textContent = `bin ${fixed(spectrum.bin_hz / 1e3, 3)} kHz`;
  $('spectrum-info').dataset.binHz = String(spectrum.bin_hz);
}

// A group: every board's trace overlaid on one time axis, and a legend with
// each board's index and offset.
function showGroupWaveform(waveform) {
  const traces = waveform.traces;
  const key = traces.map((t) => `${t.board}:${t.offset}`).join(',');
  makeWaveformPlot(
    key,
    traces.map((t, i) => ({
      label: `ADC ${t.board}`,
      stroke: traceColours[i % traceColours.length],
      width: 1,
      points: { show: false },
    })),
  );
  const n = Math.min(...traces.map((t) => t.samples.length));
  const time = new Float64Array(n);
  for (let i = 0; i < n; i++) time[i] = i * waveform.step_us;
  waveformPlot.setData([time, ...traces.map((t) => t.samples.slice(0, n))]);
  const plot = $('waveform-plot');
  plot.dataset.traces = String(traces.length);
  plot.dataset.boards = traces.map((t) => t.board).join(',');
  plot.dataset.groupIndex = String(waveform.group_index);
  // Whether every board shows the same samples (a shared input, aligned).
  plot.dataset.equal = String(traces.every((t) => t.samples.slice(0, n).every((v, i) => v === traces[0].samples[i])));
  const legend = $('group-legend');
  legend.hidden = false;
  if (legend.dataset.key !== key) {
    legend.dataset.key = key;
    legend.replaceChildren(
      ...traces.map((t, i) => {
        const item = document.createElement('li');
        item.dataset.board = String(t.board);
        item.dataset.offset = String(t.offset);
        item.dataset.skip = String(t.skip);
        item.style.color = traceColours[i % traceColours.length];
        item.textContent = `ADC ${t.board}: offset ${fixed(t.offset, 2)} samples (skips ${t.skip})`;
        return item;
      }),
    );
  }
  $('trigger-state').textContent = waveform.waiting
    ? 'group: waiting for the first block'
    : `group of ${traces.length} boards, free running, group sample ${waveform.group_index}`;
}

function showWaveform(waveform) {
  if (waveform.traces) {
    showGroupWaveform(waveform);
    return;
  }
  const n = waveform.samples.length;
  const time = new Float64Array(n);
  for (let i = 0; i < n; i++) time[i] = waveform.start_us + i * waveform.step_us;
  const level = new Array(n).fill(waveform.trigger_level);
  waveformPlot.setData([time, waveform.samples, level]);
  const edgeText = `${waveform.edge} edge at ${waveform.trigger_level} LSB`;
  let state;
  if (waveform.waiting) state = `${waveform.mode}: waiting for a trigger, ${edgeText}`;
  else if (!waveform.triggered) state = 'not triggered (free running)';
  else state = `triggered, ${edgeText}`;
  if (waveform.held) state += ' (single: held, re-arm for the next)';
  const el = $('trigger-state');
  el.textContent = state;
  el.dataset.record = waveform.record === undefined ? '' : String(waveform.record);
  el.dataset.held = String(Boolean(waveform.held));
  el.dataset.triggerIndex = waveform.trigger_index === undefined ? '' : String(waveform.trigger_index);
  if (waveform.triggered) {
    const when = new Date(waveform.trigger_time_ns / 1e6);
    $('trigger-time').dataset.index = String(waveform.trigger_index);
    $('trigger-time').textContent =
      `${when.toISOString().slice(11, 23)} UTC, board sample ${waveform.trigger_index}`;
  }
}

function onFrame(frame) {
  frameTimes.push(performance.now());
  while (frameTimes.length && frameTimes[0] < performance.now() - 2000) frameTimes.shift();
  $('update-rate').textContent = `${fixed(frameTimes.length / 2, 1)} /s`;
  if (paused) return;
  frameCount += 1;
  $('frames').dataset.count = String(frameCount);
  $('frames').textContent = String(frameCount);
  $('averaged').dataset.count = String(frame.averaged);
  $('averaged').textContent = `${frame.averaged} of ${frame.settings.averaging}`;
  showSpectrum(frame.spectrum);
  showWaveform(frame.waveform);
  showMeasurements(frame.measurements);
  document.body.dataset.state = 'streaming';
}

// ---- status and overrun events --------------------------------------------------

let lastEventSeq = 0;

function onStatus(status) {
  showSettings(status.settings);
  setFigure('sample-rate', 'hz', status.sample_rate_hz, `${fixed(status.sample_rate_hz / 1e6, 3)} MHz`);
  $('clock').textContent = status.clock;
  // A group's boards come from the command line: the board choice is fixed.
  controls.board.disabled = Boolean(status.group);
  if (status.group) {
    $('group-legend').dataset.align = status.group.align;
    $('group-legend').dataset.startSkew = String(status.group.start_skew_samples);
  }
  if (status.trigger) {
    const rate = status.trigger.triggers_per_s;
    $('trigger-rate').dataset.perS = String(rate);
    $('trigger-rate').textContent =
      `${rate >= 1000 ? `${fixed(rate / 1000, 1)} k` : fixed(rate, 1)}/s (${status.trigger.triggers_seen} in all)`;
  }
  $('overrun-count').dataset.count = String(status.overrun_events);
  $('overrun-count').textContent = String(status.overrun_events);
  $('overrun-samples').textContent = String(status.overrun_samples);
  showError(status.error || '');
  const list = $('overrun-events');
  for (const event of status.events) {
    if (event.seq <= lastEventSeq) continue;
    lastEventSeq = event.seq;
    const item = document.createElement('li');
    const when = new Date(event.host_time_ns / 1e6).toISOString().slice(11, 23);
    item.textContent = `${when} UTC: ${event.lost_samples} samples lost before sample ${event.index}`;
    list.prepend(item);
  }
  while (list.children.length > 100) list.lastElementChild.remove();
}

// ---- response view ----------------------------------------------------------------
// A measurement on a DAC board and the ADC board shown: the server pauses the
// acquisition, measures, and tells its progress and end as "response" events;
// the page then fetches the result and draws the Bode plot.

const responseFields = {
  dac: $('response-dac'),
  start_hz: $('response-start'),
  stop_hz: $('response-stop'),
  points: $('response-points'),
  method: $('response-method'),
  amplitude_dbfs: $('response-amplitude'),
};
let responseSeq = null; // the server's count of ended measurements, as last shown

// Magnitude and phase over one log frequency axis, one plot each; the number
// of points drawn goes to the plot's data-drawn.
function bodePlot(id, label, stroke) {
  const el = $(id);
  return new uPlot(
    {
      width: plotWidth(el),
      height: 240,
      scales: { x: { time: false, distr: 3 } },
      axes: [{ label: 'frequency (Hz)' }, { label, size: 70 }],
      series: [
        { label: 'Hz', value: (u, v) => (isNumber(v) ? v.toPrecision(6) : '–') },
        { label, stroke, width: 1.5, points: { show: true, size: 4 } },
      ],
      hooks: {
        draw: [
          (u) => {
            const idxs = u.series[1].idxs;
            const shown = idxs && u.data[0].length ? idxs[1] - idxs[0] + 1 : 0;
            el.dataset.drawn = String(shown);
          },
        ],
      },
    },
    [[], []],
    el,
  );
}
const magnitudePlot = bodePlot('response-magnitude-plot', 'magnitude (dB)', '#1565c0');
const phasePlot = bodePlot('response-phase-plot', 'phase (°)', '#c62828');
window.addEventListener('resize', () => {
  for (const [plot, id] of [[magnitudePlot, 'response-magnitude-plot'], [phasePlot, 'response-phase-plot']])
    plot.setSize({ width: plotWidth($(id)), height: 240 });
});

function showResponseState(state, text) {
  $('response').dataset.state = state;
  $('response-message').textContent = text;
}

function setResponseRunning(running) {
  $('response-measure').disabled = running || $('response').dataset.available !== 'true';
  $('response-stop-button').disabled = !running;
  $('response-progress').hidden = !running;
}

async function showResponseResult() {
  const response = await fetch(withToken('/api/response/result'));
  if (!response.ok) throw new Error(`the result: the server answered ${response.status}`);
  const result = await response.json();
  const hz = result.frequency_hz;
  magnitudePlot.setData([hz, result.magnitude_db]);
  phasePlot.setData([hz, result.phase_deg]);
  const download = $('response-download');
  download.href = withToken('/api/response/result.csv');
  download.hidden = false;
  showResponseState(
    'done',
    `${result.method}: ${hz.length} points, ${hz[0].toPrecision(4)} to ${hz[hz.length - 1].toPrecision(4)} Hz, ` +
      `DAC ${result.dac} to ADC ${result.adc}, latency ${fixed(result.latency_samples, 3)} samples, ${fixed(result.seconds, 1)} s`,
  );
  $('response-info').textContent = `${result.method}, ${hz.length} points`;
}

function onResponse(progress) {
  const bar = $('response-progress');
  bar.value = isNumber(progress.fraction) ? progress.fraction : 0;
  setResponseRunning(progress.running);
  if (progress.running) {
    showResponseState('running', `measuring: ${fixed(progress.fraction * 100, 0)} %${progress.point ? `, ${progress.point}` : ''}`);
    return;
  }
  if (progress.seq === responseSeq) return;
  responseSeq = progress.seq;
  if (progress.error) showResponseState('error', progress.error);
  else if (progress.has_result)
    showResponseResult().catch((err) => showResponseState('error', err.message));
}

async function startResponse(event) {
  event.preventDefault();
  const body = {};
  for (const [key, el] of Object.entries(responseFields)) {
    if (el.value === '') continue;
    body[key] = key === 'method' ? el.value : Number(el.value);
  }
  // Until the server answers, no second request and no old message.
  $('response-measure').disabled = true;
  showResponseState('starting', 'asking the server to measure…');
  try {
    const response = await fetch(withToken('/api/response'), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    if (response.status !== 202) {
      const answer = await response.json().catch(() => ({}));
      throw new Error(answer.error || `the server answered ${response.status}`);
    }
    setResponseRunning(true);
    showResponseState('running', 'measuring: the acquisition pauses meanwhile');
  } catch (err) {
    setResponseRunning(false);
    showResponseState('error', `no measurement: ${err.message}`);
  }
}

async function stopResponse() {
  await fetch(withToken('/api/response/stop'), {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: '{}',
  }).catch(() => {});
}

async function startResponseView() {
  const response = await fetch(withToken('/api/response'));
  if (!response.ok) throw new Error(`the response view: the server answered ${response.status}`);
  const state = await response.json();
  const view = $('response');
  view.dataset.available = 'false';
  if (!state.available) {
    setResponseRunning(false);
    showResponseState('unavailable', state.reason);
    return;
  }
  if (state.dac_boards.length === 0) {
    setResponseRunning(false);
    showResponseState('unavailable', 'No DAC board in the rack: a response measurement needs a DAC board to drive the device.');
    return;
  }
  fillChoices(
    responseFields.dac,
    state.dac_boards.map((b) => ({ value: b.index, label: `DAC ${b.index} (ID 0x${b.board_id.toString(16).toUpperCase()})` })),
    (b) => b.label,
  );
  const defaults = state.defaults;
  for (const [key, el] of Object.entries(responseFields))
    if (defaults[key] !== null && defaults[key] !== undefined) el.value = String(defaults[key]);
  responseFields.points.min = String(state.limits.min_points);
  responseFields.points.max = String(state.limits.max_points);
  responseFields.amplitude_dbfs.min = String(state.limits.min_amplitude_dbfs);
  responseFields.amplitude_dbfs.max = String(state.limits.max_amplitude_dbfs);
  if (isNumber(state.max_frequency_hz)) {
    responseFields.stop_hz.max = String(state.max_frequency_hz);
    $('response-info').textContent = `up to ${fixed(state.max_frequency_hz / 1e6, 3)} MHz`;
  }
  view.dataset.available = 'true';
  setResponseRunning(state.progress.running);
  responseSeq = state.progress.has_result ? null : state.progress.seq;
  onResponse(state.progress);
}

$('response-form').addEventListener('submit', startResponse);
$('response-stop-button').addEventListener('click', stopResponse);

// ---- start ----------------------------------------------------------------------

async function start() {
  const response = await fetch(withToken('/api/state'));
  if (!response.ok) throw new Error(`the server answered ${response.status}`);
  const state = await response.json();
  fillChoices(
    controls.board,
    state.boards.map((b) => ({ value: b.index, label: `ADC ${b.index} (ID 0x${b.board_id.toString(16).toUpperCase()})` })),
    (b) => b.label,
  );
  fillChoices(
    controls.fft_size,
    state.fft_sizes.map((size) => ({ value: size })),
    (v) => fftSizeLabel(v.value),
  );
  showSettings(state.settings);

  const events = new EventSource(withToken('/api/events'));
  events.addEventListener('open', () => {
    $('connection').textContent = 'connected';
    document.body.dataset.connection = 'open';
  });
  events.addEventListener('error', () => {
    $('connection').textContent = 'reconnecting…';
    document.body.dataset.connection = 'lost';
  });
  events.addEventListener('frame', (e) => onFrame(JSON.parse(e.data)));
  events.addEventListener('status', (e) => onStatus(JSON.parse(e.data)));
  events.addEventListener('response', (e) => onResponse(JSON.parse(e.data)));
  await startResponseView().catch((err) => showResponseState('error', err.message));
}

start().catch((err) => {
  $('connection').textContent = `failed: ${err.message}`;
  document.body.dataset.state = 'failed';
});
