'use strict';
// startCapture against the real sondrel-capture on a virtual microphone playing a
// 1 kHz tone at amplitude 0.5, and against small stand-ins for what a real process
// cannot be made to do on demand (CR LF line ends, a process that never answers).
// The binary comes from SONDREL_CAPTURE, else from the default build folder.
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');
const { startCapture } = require('..');
const { VirtualMic } = require('../../../tests/support/virtual_mic');
const { XSession } = require('../../../tests/support/x_session');
const { analyseSine, describe: describeSine } = require('../../../tests/support/sine_check');

const binary = process.env.SONDREL_CAPTURE || path.resolve(__dirname, '../../../build/sondrel-capture');
const fakeCapture = path.join(__dirname, 'fixtures', 'fake-capture.js');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function isAlive(pid) {
    try {
        process.kill(pid, 0);
        return true;
    } catch {
        return false;
    }
}

// Resolves with the first `count` audio blocks once fn(block) has accepted a block.
function collect(capture, count, { from = () => true, timeoutMs = 15000 } = {}) {
    return new Promise((resolve, reject) => {
        const blocks = [];
        const timer = setTimeout(() => {
            capture.off('audio', onAudio);
            reject(new Error(`only ${blocks.length} of ${count} audio blocks within ${timeoutMs} ms`));
        }, timeoutMs);
        function onAudio(block) {
            if (blocks.length === 0 && !from(block))
                return;
            blocks.push({ block, at: performance.now() });
            if (blocks.length === count) {
                clearTimeout(timer);
                capture.off('audio', onAudio);
                resolve(blocks);
            }
        }
        capture.on('audio', onAudio);
    });
}

const loud = (block) => block.some((v) => Math.abs(v) > 0.1);

function once(emitter, event, timeoutMs) {
    return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`no '${event}' event within ${timeoutMs} ms`)), timeoutMs);
        emitter.once(event, (...args) => {
            clearTimeout(timer);
            resolve(args);
        });
    });
}

describe('against sondrel-capture on a virtual microphone', { skip: !VirtualMic.available() && 'no pulseaudio' }, () => {
    let mic;
    let dir;
    const started = [];

    before(async () => {
        assert.ok(fs.existsSync(binary), `${binary} is missing: build it, or set SONDREL_CAPTURE`);
        mic = await VirtualMic.start();
        mic.playTone({ frequency: 1000, sampleRate: 48000, amplitude: 0.5, seconds: 180 });
    });
    after(async () => {
        if (mic)
            await mic.stop();
    });

    async function start(options = {}) {
        dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        const capture = await startCapture({ binary, settingsPath: 'settings.json', logPath: 'capture.log', cwd: dir,
            env: mic.env(), ...options });
        started.push(capture);
        return capture;
    }

    afterEach(async () => {
        for (const capture of started.splice(0))
            await capture.close();
        if (dir)
            fs.rmSync(dir, { recursive: true, force: true });
        dir = undefined;
    });

    test('the tone arrives whole: 512-sample blocks at 1 kHz and amplitude 0.5, about 86 a second', async () => {
        const capture = await start();
        // The device may take a second or two to deliver; then four seconds of audio.
        const blocks = await collect(capture, 4 * 86, { from: loud });
        for (const { block } of blocks) {
            assert.ok(block instanceof Float32Array);
            assert.equal(block.length, 512);
        }
        const samples = new Float32Array(blocks.length * 512);
        blocks.forEach(({ block }, i) => samples.set(block, i * 512));
        const tone = analyseSine(samples, { sampleRate: 44100, transient: 4410 });
        assert.ok(Math.abs(tone.frequency - 1000) <= 10, describeSine(tone));
        assert.ok(Math.abs(tone.amplitude - 0.5) <= 0.025, describeSine(tone));
        assert.equal(tone.discontinuities, 0, `lost or garbled samples between blocks: ${describeSine(tone)}`);

        // The rate is the sample rate's: 44100 / 512 = 86.1 blocks a second, sent in
        // bursts every 50 ms. Measured over the last three seconds, after the start-up;
        // the bounds leave room for a late burst and catch blocks of another size, or
        // blocks lost or sent twice.
        const window = blocks.filter(({ at }) => at >= blocks[blocks.length - 1].at - 3000);
        const perSecond = (window.length - 1) * 1000 / (window[window.length - 1].at - window[0].at);
        assert.ok(perSecond > 60 && perSecond < 115, `${perSecond.toFixed(1)} blocks a second`);
    });

    test('pause() stops the audio and resume() brings it back on the same connection', async () => {
        const capture = await start();
        await collect(capture, 10, { from: loud });
        assert.equal(await capture.pause(), true);
        // Blocks already on their way may still arrive; after that, silence on the wire.
        await sleep(500);
        let during = 0;
        const count = () => ++during;
        capture.on('audio', count);
        await sleep(1000);
        capture.off('audio', count);
        assert.equal(during, 0, 'blocks arrived while paused');

        assert.equal(await capture.resume(), true);
        const blocks = await collect(capture, 43, { from: loud, timeoutMs: 5000 });
        const samples = new Float32Array(blocks.length * 512);
        blocks.forEach(({ block }, i) => samples.set(block, i * 512));
        assert.ok(Math.abs(analyseSine(samples).frequency - 1000) <= 10);
    });

    test('close() sends exit: the hidden event, then exit with status 0', async () => {
        const capture = await start();
        const events = [];
        capture.on('hidden', () => events.push('hidden'));
        capture.on('exit', (code, signal) => events.push(`exit ${code} ${signal}`));
        const pid = capture.pid;
        const t0 = Date.now();
        assert.deepEqual(await capture.close(), { code: 0, signal: null });
        assert.ok(Date.now() - t0 < 4000, 'an orderly exit, not the SIGTERM after the time-out');
        assert.deepEqual(events, ['hidden', 'exit 0 null']);
        assert.equal(isAlive(pid), false);
        assert.deepEqual(await capture.close(), { code: 0, signal: null }, 'a second close() is harmless');
        assert.equal(await capture.show(), false, 'no command after the end');
    });

    test('each process takes only connections with its own token, which capture.url carries', async () => {
        const capture = await start({ connect: false });
        const match = /^ws:\/\/127\.0\.0\.1:(\d+)\/\?token=([A-Za-z0-9_-]{32})$/.exec(capture.url);
        assert.ok(match, capture.url);
        assert.equal(Number(match[1]), capture.port);
        assert.equal(process.env.SONDREL_CAPTURE_TOKEN, undefined);

        const status = (url) => new Promise((resolve) => {
            const ws = new WebSocket(url);
            ws.on('open', () => {
                ws.close();
                resolve(101);
            });
            ws.on('unexpected-response', (request, response) => {
                resolve(response.statusCode);
                request.destroy();
            });
            ws.on('error', () => resolve(0));
        });
        assert.equal(await status(`ws://127.0.0.1:${capture.port}/`), 403);
        assert.equal(await status(`ws://127.0.0.1:${capture.port}/?token=${match[2].slice(0, 31)}`), 403);
        assert.equal(await status(capture.url), 101);

        const other = await start({ connect: false });
        assert.notEqual(other.url.split('token=')[1], match[2], 'two processes got the same token');
        assert.equal(await status(`ws://127.0.0.1:${other.port}/?token=${match[2]}`), 403);

        await capture.close();
        assert.ok(!fs.readFileSync(path.join(capture.cwd, 'capture.log'), 'utf8').includes(match[2]));
        fs.rmSync(capture.cwd, { recursive: true, force: true }); // afterEach removes the second's
    });

    test('a consumer that never takes the audio does not stall the process', async () => {
        // Without an 'audio' listener the blocks are dropped, but the socket and both
        // pipes are still read. The process writes about 6 KB of library log a second
        // while streaming; after 15 s unread it would be blocked on a full pipe.
        const capture = await start();
        await sleep(15000);
        // A blocked process would not take the command (false after 5 s).
        assert.equal(await capture.hide(), true);
        const blocks = await collect(capture, 20, { timeoutMs: 3000 });
        assert.equal(blocks.length, 20);
    });

    test('show() and hide() report the settings window opening and closing', {
        skip: !XSession.available() && 'no Xvfb/openbox',
    }, async () => {
        const x = await XSession.start();
        try {
            // The window reads its font from the working directory.
            const capture = await start({ env: x.env(mic.env()) });
            const font = path.resolve(__dirname, '../../../SourceHanSansSC-VF.ttf');
            if (fs.existsSync(font))
                fs.symlinkSync(fs.realpathSync(font), path.join(dir, 'SourceHanSansSC-VF.ttf'));
            const events = [];
            for (const name of ['shown', 'hidden'])
                capture.on(name, () => events.push(name));
            capture.on('error', (error) => events.push(`error ${error.code}`));

            const shown = once(capture, 'shown', 20000);
            assert.equal(await capture.show(), true);
            await shown;
            for (let i = 0; i < 2; ++i) {
                // The second "hide" finds no window and still reports it hidden.
                const hidden = once(capture, 'hidden', 10000);
                assert.equal(await capture.hide(), true);
                await hidden;
            }
            assert.deepEqual(events, ['shown', 'hidden', 'hidden'], 'with openbox the window is kept on top');
            assert.deepEqual(await capture.close(), { code: 0, signal: null });
        } finally {
            await x.stop();
        }
    });

    test('without an input device startCapture rejects with the reason and the log tail', async () => {
        dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        // No sound server to reach and none to start; this machine has no sound card.
        const env = { ...process.env, XDG_RUNTIME_DIR: dir, HOME: dir, PULSE_SERVER: `unix:${dir}/none` };
        await assert.rejects(startCapture({ binary, settingsPath: 'settings.json', logPath: 'capture.log', cwd: dir, env }),
            (error) => {
                assert.equal(error.code, 'CAPTURE_EXITED');
                assert.equal(error.exitCode, 1);
                assert.match(error.message, /exited with status 1 before announcing its port/);
                assert.match(error.message, /\[ERROR\] <Audio> /);
                assert.ok(error.logTail.some((line) => line.includes('[ERROR] <Audio> ')), error.logTail.join('\n'));
                return true;
            });
    });
});

describe('start-up failures', () => {
    test('a missing binary rejects with the reason', async () => {
        await assert.rejects(startCapture({ binary: '/nonexistent/sondrel-capture' }), (error) => {
            assert.equal(error.code, 'ENOENT');
            assert.match(error.message, /^cannot start \/nonexistent\/sondrel-capture: .*ENOENT/);
            return true;
        });
    });

    test('a process that never announces a port is ended and the time-out reported', async () => {
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        const script = path.join(dir, 'silent.sh');
        fs.writeFileSync(script, `#!/bin/sh\necho "$$" > "${dir}/pid"\necho 'starting' >&2\nexec sleep 60\n`, { mode: 0o755 });
        try {
            await assert.rejects(startCapture({ binary: script, portTimeout: 500, exitTimeout: 300 }), (error) => {
                assert.equal(error.code, 'CAPTURE_PORT_TIMEOUT');
                assert.match(error.message, /did not announce its port within 0.5 s/);
                assert.deepEqual(error.stderrTail, ['starting']);
                assert.equal(error.signal, 'SIGTERM');
                return true;
            });
            assert.equal(isAlive(Number(fs.readFileSync(path.join(dir, 'pid'), 'utf8'))), false);
        } finally {
            fs.rmSync(dir, { recursive: true, force: true });
        }
    });

    test('logPath without settingsPath is refused before anything starts', async () => {
        await assert.rejects(startCapture({ binary: fakeCapture, logPath: 'x.log' }), TypeError);
    });
});

describe('against a stand-in that writes CR LF, as the Windows build does', () => {
    test('port, events, audio and exit come through; library lines and stray messages do not', async () => {
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        let capture;
        try {
            capture = await startCapture({ binary: fakeCapture, settingsPath: 's.json', logPath: 'commands.log',
                cwd: dir });
            const events = [];
            capture.on('shown', () => events.push('shown'));
            capture.on('hidden', () => events.push('hidden'));
            capture.on('error', (error) => events.push(`error ${error.code}`));
            capture.on('exit', (code, signal) => events.push(`exit ${code} ${signal}`));

            const [block] = await collect(capture, 1, { timeoutMs: 5000 });
            assert.deepEqual(Array.from(block.block), Array.from({ length: 512 }, (_, i) => i / 512 - 0.5));

            assert.equal(await capture.show(), true);
            assert.equal(await capture.pause(), true);
            assert.equal(await capture.resume(), true);
            assert.equal(await capture.hide(), true);
            assert.deepEqual(await capture.close(), { code: 0, signal: null });
            assert.deepEqual(events, ['error 1400', 'shown', 'hidden', 'hidden', 'exit 0 null']);
            // One WebSocket message per command, in order.
            assert.equal(fs.readFileSync(path.join(dir, 'commands.log'), 'utf8'),
                'show\ndisconnected\nconnected\nhide\nexit\n');
        } finally {
            await capture?.close();
            fs.rmSync(dir, { recursive: true, force: true });
        }
    });

    test('with connect: false it leaves the connection to others and commands go over standard input', async () => {
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        let capture;
        try {
            capture = await startCapture({ binary: fakeCapture, settingsPath: 's.json', logPath: 'commands.log',
                cwd: dir, connect: false });
            assert.ok(capture.port > 0);
            const hidden = once(capture, 'hidden', 5000);
            // Sent together they would reach the process as one read: the second must wait.
            const taken = await Promise.all([capture.show(), capture.hide()]);
            assert.deepEqual(taken, [true, true]);
            await hidden;
            // The same for "exit" right behind a command: the command is taken first, and
            // one not sent yet is dropped.
            const last = [capture.show(), capture.hide()];
            assert.deepEqual(await capture.close(), { code: 0, signal: null });
            assert.deepEqual(await Promise.all(last), [true, false]);
            assert.equal(fs.readFileSync(path.join(dir, 'commands.log'), 'utf8'), 'show\nhide\nshow\nexit\n');
        } finally {
            await capture?.close();
            fs.rmSync(dir, { recursive: true, force: true });
        }
    });

    test('a process that dies is reported by the exit event, and commands then resolve false', async () => {
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        let capture;
        try {
            capture = await startCapture({ binary: fakeCapture, settingsPath: 's.json', logPath: 'c.log', cwd: dir });
            const exited = once(capture, 'exit', 5000);
            process.kill(capture.pid, 'SIGKILL');
            assert.deepEqual(await exited, [null, 'SIGKILL']);
            assert.equal(await capture.show(), false);
            assert.deepEqual(await capture.close(), { code: null, signal: 'SIGKILL' });
        } finally {
            await capture?.close();
            fs.rmSync(dir, { recursive: true, force: true });
        }
    });

    test('an error line without an error listener does not throw', async () => {
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-node-'));
        let capture;
        try {
            capture = await startCapture({ binary: fakeCapture, settingsPath: 's.json', logPath: 'c.log', cwd: dir });
            const shown = once(capture, 'shown', 5000);
            assert.equal(await capture.show(), true);
            await shown;
            assert.deepEqual(await capture.close(), { code: 0, signal: null });
        } finally {
            await capture?.close();
            fs.rmSync(dir, { recursive: true, force: true });
        }
    });
});
