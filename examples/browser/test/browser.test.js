'use strict';
// The live page in Debian's headless Chromium against the real sondrel-capture on a
// virtual microphone playing a 1 kHz tone: the page is served from a loopback origin,
// connects, and what its AudioWorklet plays must be the tone. A screenshot is left
// for a person in the build folder (examples/output/browser.png beside the binary).
// A second source (1.5 kHz) gives the page's microphone choice a second device.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { startCapture } = require('../../../clients/node');
const { VirtualMic } = require('../../../tests/support/virtual_mic');
const { analyseSine, describe: describeSine } = require('../../../tests/support/sine_check');
const { servePage, pageAddress } = require('../serve');
const { Chromium } = require('./chromium');

const binary = process.env.SONDREL_CAPTURE || path.resolve(__dirname, '../../../build/sondrel-capture');
const screenshot = path.join(path.dirname(binary), 'examples', 'output', 'browser.png');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls the page's status until accept(status) holds.
async function waitForStatus(page, accept, what, timeoutMs = 20000) {
    const deadline = Date.now() + timeoutMs;
    let status;
    while (Date.now() < deadline) {
        status = await page.evaluate('window.example && window.example.status()');
        if (status && accept(status))
            return status;
        await sleep(100);
    }
    throw new Error(`${what}: not within ${timeoutMs} ms; page status ${JSON.stringify(status)}; `
        + `console: ${page.console.join(' | ')}`);
}

// The last 0.74 s the worklet played, taken at a moment when that stretch holds no
// underrun or drop: on a busy machine the page may be starved now and then, and its
// jitter buffer then plays a moment of silence, as it should. The worklet reports
// about every 100 ms, so a stretch is known to be clean when, before it was taken,
// a second or more had been played without a seam, and none came up to the next
// report after it.
async function playedWithoutSeam(page, timeoutMs = 30000) {
    const seams = (w) => w.underruns + w.dropped;
    const deadline = Date.now() + timeoutMs;
    let before;
    while (Date.now() < deadline) {
        before = (await page.evaluate('window.example.status()')).worklet;
        if (before.clean >= 44100) {
            const played = await page.evaluate('window.example.played(32768)');
            await sleep(300);
            const after = (await page.evaluate('window.example.status()')).worklet;
            if (seams(after) === seams(before))
                return played;
        }
        await sleep(100);
    }
    throw new Error(`no clean second of playback within ${timeoutMs} ms: ${JSON.stringify(before)}`);
}

describe('the live page in headless Chromium', {
    skip: (!Chromium.available() && 'no /usr/bin/chromium') || (!VirtualMic.available() && 'no pulseaudio'),
}, () => {
    let mic, capture, site, browser, dir;

    before(async () => {
        assert.ok(fs.existsSync(binary), `${binary} is missing: build it, or set SONDREL_CAPTURE`);
        dir = fs.mkdtempSync(path.join(os.tmpdir(), 'capture-browser-'));
        mic = await VirtualMic.start();
        mic.playTone({ frequency: 1000, sampleRate: 48000, amplitude: 0.5, seconds: 180 });
        mic.addSecondMicrophone();
        mic.playTone({ frequency: 1500, sampleRate: 48000, amplitude: 0.5, seconds: 180, sink: 'second_sink' });
        capture = await startCapture({ binary, settingsPath: 'settings.json', logPath: 'capture.log', cwd: dir,
            env: mic.env(), connect: false });
        site = await servePage({ capture });
        // The browser plays into no sound server at all: were it to reach the virtual
        // microphone's, the page's output would be captured again.
        browser = await Chromium.launch({ env: { ...process.env, HOME: dir, XDG_RUNTIME_DIR: dir,
            PULSE_SERVER: `unix:${dir}/no-sound-server` } });
    });

    after(async () => {
        await browser?.close();
        site?.server.close();
        await capture?.close();
        await mic?.stop();
        if (dir)
            fs.rmSync(dir, { recursive: true, force: true });
    });

    test('the page plays the 1 kHz tone it receives, and draws it', async () => {
        const page = await browser.newPage();
        await page.navigate(pageAddress(site.url, capture));
        assert.ok(!(await page.evaluate('location.href')).includes('token'), 'the token stayed in the address bar');
        // Two seconds played: the jitter buffer has filled and the analyser holds
        // 0.74 s of nothing but worklet output.
        const status = await waitForStatus(page, (s) => s.state === 'live' && s.worklet.played >= 2 * 44100,
            'two seconds of audio played');
        assert.equal(status.audio, 'running');
        assert.equal(status.sampleRate, 44100);
        assert.ok(status.blocks > 100, `${status.blocks} blocks received`);
        // The device list came with a restart of capture: what is analysed below is
        // played after it.
        await waitForStatus(page, (s) => s.devices > 0 && s.stream === 'running', 'the device list and the light');
        await sleep(1500);

        const played = await playedWithoutSeam(page);
        assert.equal(played.length, 32768);
        const tone = analyseSine(played, { sampleRate: status.sampleRate });
        assert.ok(Math.abs(tone.frequency - 1000) <= 10, describeSine(tone));
        assert.ok(Math.abs(tone.amplitude - 0.5) <= 0.05, describeSine(tone));
        assert.equal(tone.discontinuities, 0, describeSine(tone));

        await sleep(500); // a few more frames of the waveform for the picture
        await page.screenshot(screenshot);
        console.log(`screenshot: ${screenshot}`);
        assert.ok(fs.statSync(screenshot).size > 10000);
    });

    test('the same page from an origin that is not loopback is refused', async () => {
        // elsewhere.test resolves to 127.0.0.1 for this browser only, so the page comes
        // from our server but its origin names another host, as a web site's would.
        const page = await browser.newPage();
        const elsewhere = site.url.replace('127.0.0.1', 'elsewhere.test');
        await page.navigate(pageAddress(elsewhere, capture));
        const status = await waitForStatus(page, (s) => s.state === 'failed', 'refused');
        assert.equal(status.blocks, 0);
    });

    test('the page without the token, or with another, is refused', async () => {
        for (const address of [`${site.url}?port=${capture.port}`,
            `${site.url}?port=${capture.port}#token=${'A'.repeat(32)}`]) {
            const page = await browser.newPage();
            await page.navigate(address);
            const status = await waitForStatus(page, (s) => s.state === 'failed', 'refused');
            assert.equal(status.blocks, 0);
        }
    });

    test('the drop-down lists the devices and moves capture; the light follows the stream; the answers need the token',
        async () => {
            const page = await browser.newPage();
            await page.navigate(pageAddress(site.url, capture));
            let status = await waitForStatus(page, (s) => s.devices > 0 && s.stream === 'running' && s.state === 'live',
                'the device list, the light and audio');
            const settings = () => JSON.parse(fs.readFileSync(path.join(dir, 'settings.json'), 'utf8'));
            const first = `${settings().hostApiType}:${settings().inputDevice}`;
            assert.equal(status.options.find((o) => o.selected)?.value, first, JSON.stringify(status.options));
            const second = status.options.find((o) => o.text === 'second_mic (ALSA)');
            assert.ok(second, JSON.stringify(status.options));

            const choose = (value) => page.evaluate(`(() => { const list = document.getElementById('device');
                list.value = ${JSON.stringify(value)}; list.dispatchEvent(new Event('change')); })()`);
            await choose(second.value);
            status = await waitForStatus(page, (s) => !s.choosing && s.selected?.inputDevice === Number(second.value
                .split(':')[1]), 'the second device chosen');
            assert.equal(status.choiceError, '');
            assert.equal(`${settings().hostApiType}:${settings().inputDevice}`, second.value);

            mic.freeze();
            try {
                await waitForStatus(page, (s) => s.stream === 'stopped', 'the light turning to stopped', 10000);
            } finally {
                mic.thaw();
            }
            await waitForStatus(page, (s) => s.stream === 'running', 'the light back to running', 90000);
            await choose(first);
            await waitForStatus(page, (s) => !s.choosing && `${s.selected?.hostApiType}:${s.selected?.inputDevice}`
                === first, 'the first device chosen again');

            for (const authorization of [undefined, 'Bearer ' + 'A'.repeat(32)]) {
                const response = await fetch(`${site.url}api/devices`,
                    { headers: authorization ? { Authorization: authorization } : {} });
                assert.equal(response.status, 403);
            }
        });
});
