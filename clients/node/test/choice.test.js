'use strict';
// The microphone chosen by the parent through the module, against the real
// sondrel-capture on a virtual microphone with a second source: devices(), select()
// and the 'stream' event. The first source plays 1 kHz, the second 1.5 kHz, so each
// block tells which device it came from.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { startCapture } = require('..');
const { VirtualMic } = require('../../../tests/support/virtual_mic');

const binary = process.env.SONDREL_CAPTURE || path.resolve(__dirname, '../../../build/sondrel-capture');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(condition, what, timeoutMs) {
    const deadline = Date.now() + timeoutMs;
    while (!condition()) {
        if (Date.now() >= deadline)
            throw new Error(`${what}: not within ${timeoutMs} ms`);
        await sleep(50);
    }
}

// The tone a block carries, from its zero crossings; 0 for a quiet block.
function frequencyOf(block) {
    let crossings = 0;
    let energy = 0;
    for (let i = 0; i < block.length; ++i) {
        energy += block[i] * block[i];
        if (i > 0 && (block[i - 1] < 0) !== (block[i] < 0))
            ++crossings;
    }
    if (Math.sqrt(energy / block.length) < 0.1)
        return 0;
    return crossings / 2 * 44100 / block.length;
}

const near = (frequency) => (block) => Math.abs(frequencyOf(block) - frequency) < 90;

// Resolves once `count` blocks in a row carry the tone.
function toneArrives(capture, frequency, count, timeoutMs) {
    return new Promise((resolve, reject) => {
        let run = 0;
        const timer = setTimeout(() => {
            capture.off('audio', onAudio);
            reject(new Error(`no ${count} blocks of ${frequency} Hz in a row within ${timeoutMs} ms`));
        }, timeoutMs);
        function onAudio(block) {
            run = near(frequency)(block) ? run + 1 : 0;
            if (run === count) {
                clearTimeout(timer);
                capture.off('audio', onAudio);
                resolve();
            }
        }
        capture.on('audio', onAudio);
    });
}

describe('choosing the microphone from the parent', { skip: !VirtualMic.available() && 'no pulseaudio' }, () => {
    let mic;
    let dir;
    let capture;
    const settings = () => JSON.parse(fs.readFileSync(path.join(dir, 'settings.json'), 'utf8'));

    before(async () => {
        assert.ok(fs.existsSync(binary), `${binary} is missing: build it, or set SONDREL_CAPTURE`);
        mic = await VirtualMic.start();
        mic.addSecondMicrophone();
        mic.playTone({ frequency: 1000, seconds: 180 });
        mic.playTone({ frequency: 1500, seconds: 180, sink: 'second_sink' });
        dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-choice-'));
        capture = await startCapture({ binary, settingsPath: 'settings.json', logPath: 'capture.log', cwd: dir,
            env: mic.env() });
    });

    after(async () => {
        await capture?.close();
        await mic?.stop();
        if (dir)
            fs.rmSync(dir, { recursive: true, force: true });
    });

    test('devices() lists the second microphone; select() moves the audio to it and back and saves each choice',
        async () => {
            await toneArrives(capture, 1000, 20, 15000);
            const list = await capture.devices();
            const names = list.devices.map((d) => d.name);
            const second = list.devices.find((d) => d.name === 'second_mic');
            assert.ok(second, `no second_mic among ${names.join(', ')}`);
            assert.equal(second.hostApi, 'ALSA');
            assert.equal(typeof second.isDefault, 'boolean');
            const first = list.devices.find((d) => d.index === list.selected.inputDevice);
            assert.ok(first, `the selected device ${list.selected.inputDevice} is not in the list`);
            assert.equal(list.selected.sampleRate, settings().sampleRate);

            const moved = await capture.select({ hostApiType: second.hostApiType, inputDevice: second.index });
            assert.equal(moved.selected.inputDevice, second.index);
            assert.equal(settings().inputDevice, second.index);
            await toneArrives(capture, 1500, 20, 15000);

            const back = await capture.select({ inputDevice: first.index, framesPerBuffer: 80 });
            assert.deepEqual(back.selected, { ...list.selected, inputDevice: first.index, framesPerBuffer: 80 });
            assert.equal(settings().framesPerBuffer, 80);
            await toneArrives(capture, 1000, 20, 15000);
        });

    test('a refused choice rejects with the process\'s reason and changes nothing', async () => {
        const before = fs.readFileSync(path.join(dir, 'settings.json'), 'utf8');
        const refused = (reason) => (error) => {
            assert.equal(error.code, 'CAPTURE_SELECT_REFUSED');
            assert.equal(error.reason, reason);
            return true;
        };
        await assert.rejects(capture.select({ sampleRate: 22050 }), refused('不支持的采样率: 22050'));
        await assert.rejects(capture.select({ inputDevice: 'one' }), refused('设定项类型错误: inputDevice'));
        // The echo and the reason quote the key with its backslash doubled; the module
        // still knows its command was taken.
        await assert.rejects(capture.select({ 'in\\put': 1 }), refused('未知的设定项: in\\\\put'));
        await assert.rejects(capture.select([1]), TypeError);
        assert.equal(fs.readFileSync(path.join(dir, 'settings.json'), 'utf8'), before);
        // The answers stay paired with their questions.
        assert.ok((await capture.devices()).devices.length >= 2);
    });

    test('the \'stream\' event: the state at once for every listener, stopped while the sound server is frozen, '
        + 'running when it is back', async () => {
        await toneArrives(capture, 1000, 20, 15000);
        const seen = [];
        const seenToo = [];
        capture.on('stream', (state) => seen.push(state));
        capture.on('stream', (state) => seenToo.push(state));
        await until(() => seen.length > 0, 'the present state', 10000);
        await sleep(500);
        // One "watch" for both listeners, so one answer each.
        assert.deepEqual(seen, ['running']);

        mic.freeze();
        try {
            await until(() => seen.at(-1) === 'stopped', 'stopped', 10000);
        } finally {
            mic.thaw();
        }
        await until(() => seen.at(-1) === 'running', 'running again', 90000);
        assert.deepEqual(seenToo, seen);
    });
});
