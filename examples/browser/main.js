// Live view of sondrel-capture's stream: connects to ws://127.0.0.1:PORT/?token=TOKEN
// (PORT from the page's ?port=, TOKEN from its #token=, a fragment, which the browser
// never sends to any server), plays the audio through an AudioWorklet and draws a level meter
// and a scrolling waveform. The page must come from a loopback origin (http://127.0.0.1
// or http://localhost): the server refuses pages from anywhere else.
// Served by serve.js, it also offers the microphone choice and shows whether capture
// delivers: the process answers those questions on its standard output, which serve.js
// reads (as the parent) and passes on under /api/, to bearers of the same token.
'use strict';

const streamRate = 44100;
const blockSamples = 512;
const blockBytes = blockSamples * 4;

const statusText = document.getElementById('status');
const startButton = document.getElementById('start');
const numbers = document.getElementById('numbers');
const meter = document.getElementById('meter').getContext('2d');
const wave = document.getElementById('wave').getContext('2d');
const light = document.getElementById('light');
const choice = document.getElementById('choice');
const deviceList = document.getElementById('device');
const choiceError = document.getElementById('choice-error');

// The token is the key to the microphone: taken out of the address bar at once, so it
// is neither bookmarked nor shown.
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';
if (location.hash)
    history.replaceState(null, '', location.pathname + location.search);

const view = {
    port: Number(new URLSearchParams(location.search).get('port')),
    blocks: 0,
    firstBlockAt: 0,
    lastBlockAt: 0,
    peak: 0,          // of the latest block
    shownLevel: 0,    // with the meter's fall-back
    columns: [],      // [min, max] of each block, newest last
    worklet: {},
    state: 'starting',
    error: '',
    stream: 'unknown', // what capture does: 'running', 'stopped', or 'unknown'
    devices: [],
    selected: null,
    choosing: false,
};
let context = null;
let tap = null;    // the last 0.74 s played, for the page's test
let scope = null;  // the last 5.8 ms played, for the trace

function setStatus(state, text) {
    view.state = state;
    statusText.textContent = text;
    statusText.className = state;
}

// Little-endian float32, whatever the machine's own byte order.
function decode(buffer) {
    const bytes = new DataView(buffer);
    const samples = new Float32Array(blockSamples);
    for (let i = 0; i < blockSamples; ++i)
        samples[i] = bytes.getFloat32(4 * i, true);
    return samples;
}

function api(path, init = {}) {
    return fetch(path, { ...init, headers: { ...init.headers, Authorization: `Bearer ${token}` } });
}

function setLight(state) {
    view.stream = state;
    light.className = state;
    light.title = `capture: ${state === 'unknown' ? 'not known' : state}`;
}

function showDevices() {
    const chosen = (d) => view.selected && d.hostApiType === view.selected.hostApiType
        && d.index === view.selected.inputDevice;
    deviceList.replaceChildren(...view.devices.map((d) =>
        new Option(`${d.name} (${d.hostApi})`, `${d.hostApiType}:${d.index}`, false, chosen(d))));
    deviceList.disabled = view.choosing;
    choice.hidden = false;
}

// The list comes with capture restarted on the chosen device, as the settings window's
// refresh does: devices plugged in since appear.
async function loadDevices() {
    const response = await api('/api/devices');
    if (!response.ok)
        return; // not served by serve.js with a capture: no choice to offer
    const list = await response.json();
    view.devices = list.devices;
    view.selected = list.selected;
    showDevices();
}

async function choose() {
    const [hostApiType, inputDevice] = deviceList.value.split(':').map(Number);
    view.choosing = true;
    deviceList.disabled = true;
    choiceError.textContent = '';
    try {
        const response = await api('/api/select', { method: 'POST', headers: { 'Content-Type': 'application/json' },
            body: JSON.stringify({ hostApiType, inputDevice }) });
        const answer = await response.json();
        if (response.ok)
            view.selected = answer.selected;
        else
            choiceError.textContent = answer.selectError || answer.error;
    } catch (error) {
        choiceError.textContent = error.message;
    }
    view.choosing = false;
    showDevices();
}

// Server-Sent Events read with fetch, which, unlike EventSource, can send the token.
async function followStream() {
    const response = await api('/api/stream');
    if (!response.ok || !response.body)
        return;
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    let text = '';
    for (;;) {
        const { value, done } = await reader.read();
        if (done)
            break;
        text += value;
        for (let end; (end = text.indexOf('\n\n')) !== -1; text = text.slice(end + 2)) {
            const state = /^data: (running|stopped)$/m.exec(text.slice(0, end));
            if (state)
                setLight(state[1]);
        }
    }
    setLight('unknown');
}

async function start() {
    if (!(view.port > 0 && view.port < 65536)) {
        setStatus('failed', 'no port: open this page as ...?port=N with the port sondrel-capture announced');
        return;
    }
    context = new AudioContext({ sampleRate: streamRate, latencyHint: 'interactive' });
    await context.audioWorklet.addModule('player-worklet.js');
    const player = new AudioWorkletNode(context, 'sondrel-player', { numberOfInputs: 0, outputChannelCount: [1] });
    player.port.onmessage = (event) => { view.worklet = event.data; };
    tap = new AnalyserNode(context, { fftSize: 32768 });
    scope = new AnalyserNode(context, { fftSize: 256 });
    player.connect(tap);
    player.connect(scope);
    tap.connect(context.destination);
    if (context.state !== 'running') {
        startButton.hidden = false;
        startButton.onclick = () => context.resume().then(() => { startButton.hidden = true; });
    }

    setStatus('connecting', `connecting to ws://127.0.0.1:${view.port}/`);
    const socket = new WebSocket(`ws://127.0.0.1:${view.port}/?token=${encodeURIComponent(token)}`);
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => setStatus('connected', 'connected, waiting for audio');
    socket.onerror = () => { view.error = 'connection failed'; };
    socket.onclose = (event) => setStatus('failed', `connection closed (${event.code})${view.error ? ': ' + view.error : ''}`);
    socket.onmessage = (event) => {
        if (!(event.data instanceof ArrayBuffer) || event.data.byteLength !== blockBytes)
            return;
        const samples = decode(event.data);
        let min = 0, max = 0;
        for (const v of samples) {
            if (v < min) min = v;
            if (v > max) max = v;
        }
        view.peak = Math.max(-min, max);
        view.columns.push([min, max]);
        if (view.columns.length > wave.canvas.width)
            view.columns.shift();
        const now = performance.now();
        if (view.blocks++ === 0) {
            view.firstBlockAt = now;
            setStatus('live', 'live');
        }
        view.lastBlockAt = now;
        player.port.postMessage(samples, [samples.buffer]);
    };
    requestAnimationFrame(draw);
    deviceList.onchange = choose;
    followStream().catch(() => setLight('unknown'));
    loadDevices().catch((error) => { choiceError.textContent = `no device list: ${error.message}`; });
}

function dbfs(value) {
    return value > 0 ? 20 * Math.log10(value) : -Infinity;
}

function drawMeter() {
    const { width, height } = meter.canvas;
    // Falls back at about 20 dB a second, like a hardware peak meter.
    view.shownLevel = Math.max(view.peak, view.shownLevel * 0.96);
    const db = Math.max(-60, dbfs(view.shownLevel));
    meter.fillStyle = '#0e1014';
    meter.fillRect(0, 0, width, height);
    const gradient = meter.createLinearGradient(0, 0, width, 0);
    gradient.addColorStop(0, '#3fa34d');
    gradient.addColorStop(0.8, '#e0c341');
    gradient.addColorStop(1, '#e05252');
    meter.fillStyle = gradient;
    meter.fillRect(0, 8, width * (db + 60) / 60, height - 16);
    meter.fillStyle = '#5c6370';
    for (const tick of [-48, -36, -24, -12, -6, 0]) {
        const x = Math.min(width - 1, width * (tick + 60) / 60);
        meter.fillRect(x, height - 8, 1, 8);
    }
    meter.fillStyle = '#d8dce4';
    meter.font = '12px ui-monospace, monospace';
    meter.fillText(Number.isFinite(dbfs(view.shownLevel)) ? `${db.toFixed(1)} dBFS` : '-inf dBFS', 8, height / 2 + 4);
}

function drawWave() {
    const { width, height } = wave.canvas;
    const mid = height / 2;
    wave.fillStyle = '#0e1014';
    wave.fillRect(0, 0, width, height);
    wave.strokeStyle = '#2a2e37';
    wave.beginPath();
    wave.moveTo(0, mid);
    wave.lineTo(width, mid);
    wave.stroke();
    // One column per received block (11.6 ms): about ten seconds across, newest right.
    wave.strokeStyle = '#5aa9e6';
    wave.beginPath();
    const x0 = width - view.columns.length;
    view.columns.forEach(([min, max], i) => {
        wave.moveTo(x0 + i + 0.5, mid - max * mid);
        wave.lineTo(x0 + i + 0.5, mid - min * mid + 1);
    });
    wave.stroke();
    // The last few milliseconds played, as an oscilloscope trace over it.
    if (scope) {
        const played = new Float32Array(scope.fftSize);
        scope.getFloatTimeDomainData(played);
        wave.strokeStyle = '#f0a35e';
        wave.beginPath();
        played.forEach((v, i) => {
            const x = i * width / (played.length - 1);
            if (i === 0) wave.moveTo(x, mid - v * mid);
            else wave.lineTo(x, mid - v * mid);
        });
        wave.stroke();
    }
    wave.font = '12px ui-monospace, monospace';
    wave.fillStyle = '#5aa9e6';
    wave.fillText('received, last 10 s', 8, 16);
    wave.fillStyle = '#f0a35e';
    wave.fillText('played, last 5.8 ms', 8, 32);
}

function drawNumbers() {
    const seconds = (view.lastBlockAt - view.firstBlockAt) / 1000;
    const rate = view.blocks > 1 && seconds > 0 ? (view.blocks - 1) / seconds : 0;
    const w = view.worklet;
    const ms = (samples) => Math.round((samples || 0) * 1000 / streamRate);
    numbers.textContent = `port ${view.port} · ${view.blocks} blocks (${rate.toFixed(1)}/s) · `
        + `buffer ${ms(w.fill)} ms (target ${ms(w.target)}) · underruns ${w.underruns || 0} · `
        + `dropped ${ms(w.dropped)} ms · ${context ? `${context.sampleRate} Hz ${context.state}` : '-'}`;
}

function draw() {
    drawMeter();
    drawWave();
    drawNumbers();
    requestAnimationFrame(draw);
}

// For a person at the console, and for the page's test.
window.example = {
    status: () => ({ state: view.state, blocks: view.blocks, peak: view.peak, worklet: { ...view.worklet },
        audio: context ? context.state : 'none', sampleRate: context ? context.sampleRate : 0,
        stream: view.stream, devices: view.devices.length, choosing: view.choosing,
        selected: view.selected && { ...view.selected }, choiceError: choiceError.textContent,
        options: Array.from(deviceList.options, (o) => ({ value: o.value, text: o.text, selected: o.selected })) }),
    // The latest `count` samples the worklet played (at most 32768).
    played(count = 32768) {
        if (!tap)
            return [];
        const samples = new Float32Array(tap.fftSize);
        tap.getFloatTimeDomainData(samples);
        return Array.from(samples.subarray(Math.max(0, samples.length - count)));
    },
};

start().catch((error) => setStatus('failed', `cannot start: ${error.message}`));
