'use strict';
// Debian's headless Chromium, driven through the DevTools protocol over a pipe
// (--remote-debugging-pipe: commands on its descriptor 3, answers and events on 4,
// each a JSON text ended by a NUL byte), so no port is opened and no driver needed.
// The browser is ended by its PID.

const fs = require('fs');
const os = require('os');
const path = require('path');
const { startHelper, stopHelper, exitsWithin } = require('../../../tests/support/helper_process');

const binary = '/usr/bin/chromium';

class Chromium {
    static available() {
        return fs.existsSync(binary);
    }

    // env: the browser's environment. Keep it away from the virtual microphone's sound
    // server, or what the page plays would be captured again.
    static async launch({ env = process.env, width = 900, height = 640 } = {}) {
        const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-profile-'));
        const args = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            '--autoplay-policy=no-user-gesture-required', `--user-data-dir=${profile}`,
            '--host-resolver-rules=MAP elsewhere.test 127.0.0.1',
            `--window-size=${width},${height}`, '--remote-debugging-pipe', 'about:blank'];
        const child = startHelper([binary, ...args], { env, stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
        const browser = new Chromium(child, profile);
        try {
            await browser.send('Target.setDiscoverTargets', { discover: true });
        } catch (error) {
            await browser.close();
            throw error;
        }
        return browser;
    }

    constructor(child, profile) {
        this.child = child;
        this.profile = profile;
        this.nextId = 1;
        this.calls = new Map();
        this.listeners = new Set();
        this.stderr = '';
        this.ended = false;
        let pending = Buffer.alloc(0);
        child.stdio[4].on('data', (chunk) => {
            pending = Buffer.concat([pending, chunk]);
            for (let end; (end = pending.indexOf(0)) !== -1; pending = pending.subarray(end + 1))
                this.onMessage(JSON.parse(pending.subarray(0, end).toString('utf8')));
        });
        child.stdio[3].on('error', () => {});
        child.stderr.on('data', (chunk) => { this.stderr = (this.stderr + chunk).slice(-4000); });
        child.ended.then(() => {
            this.ended = true;
            for (const { reject } of this.calls.values())
                reject(new Error(`chromium ended; its last output:\n${this.stderr}`));
            this.calls.clear();
        });
    }

    onMessage(message) {
        if (message.id !== undefined) {
            const call = this.calls.get(message.id);
            this.calls.delete(message.id);
            if (!call)
                return;
            if (message.error)
                call.reject(new Error(`${call.method}: ${message.error.message}`));
            else
                call.resolve(message.result);
            return;
        }
        for (const listener of this.listeners)
            listener(message);
    }

    // One protocol command; rejects after timeoutMs.
    send(method, params = {}, sessionId = undefined, timeoutMs = 20000) {
        if (this.ended)
            return Promise.reject(new Error(`chromium has ended; its last output:\n${this.stderr}`));
        const id = this.nextId++;
        const message = { id, method, params };
        if (sessionId)
            message.sessionId = sessionId;
        return new Promise((resolve, reject) => {
            const timer = setTimeout(() => {
                this.calls.delete(id);
                reject(new Error(`${method}: no answer within ${timeoutMs} ms`));
            }, timeoutMs);
            this.calls.set(id, {
                method,
                resolve: (value) => { clearTimeout(timer); resolve(value); },
                reject: (error) => { clearTimeout(timer); reject(error); },
            });
            this.child.stdio[3].write(JSON.stringify(message) + '\0');
        });
    }

    // The first event `method` (of sessionId) for which accept(params) holds.
    waitForEvent(method, { sessionId, accept = () => true, timeoutMs = 20000 } = {}) {
        return new Promise((resolve, reject) => {
            const listener = (message) => {
                if (message.method !== method || (sessionId && message.sessionId !== sessionId) || !accept(message.params))
                    return;
                done();
                resolve(message.params);
            };
            const timer = setTimeout(() => {
                done();
                reject(new Error(`no ${method} within ${timeoutMs} ms`));
            }, timeoutMs);
            const done = () => {
                clearTimeout(timer);
                this.listeners.delete(listener);
            };
            this.listeners.add(listener);
        });
    }

    // A new tab, attached; returns a Page for it.
    async newPage() {
        const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
        const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
        const page = new Page(this, sessionId);
        await page.send('Page.enable');
        await page.send('Runtime.enable');
        return page;
    }

    async close() {
        if (!this.ended) {
            this.send('Browser.close', {}, undefined, 3000).catch(() => {});
            if (!await exitsWithin(this.child, 5000))
                await stopHelper(this.child);
        }
        fs.rmSync(this.profile, { recursive: true, force: true });
    }
}

class Page {
    constructor(browser, sessionId) {
        this.browser = browser;
        this.sessionId = sessionId;
        this.console = [];
        browser.listeners.add((message) => {
            if (message.sessionId !== sessionId)
                return;
            if (message.method === 'Runtime.consoleAPICalled')
                this.console.push(message.params.args.map((a) => a.value ?? a.description).join(' '));
            if (message.method === 'Runtime.exceptionThrown')
                this.console.push(message.params.exceptionDetails.exception?.description
                    ?? message.params.exceptionDetails.text);
        });
    }

    send(method, params = {}, timeoutMs) {
        return this.browser.send(method, params, this.sessionId, timeoutMs);
    }

    async navigate(url) {
        const loaded = this.browser.waitForEvent('Page.loadEventFired', { sessionId: this.sessionId });
        const { errorText } = await this.send('Page.navigate', { url });
        if (errorText)
            throw new Error(`cannot load ${url}: ${errorText}`);
        await loaded;
    }

    // The value of a JavaScript expression in the page (promises are awaited).
    async evaluate(expression) {
        const { result, exceptionDetails } = await this.send('Runtime.evaluate',
            { expression, returnByValue: true, awaitPromise: true });
        if (exceptionDetails)
            throw new Error(`${expression}: ${exceptionDetails.exception?.description ?? exceptionDetails.text}`);
        return result.value;
    }

    async screenshot(file) {
        const { data } = await this.send('Page.captureScreenshot', { format: 'png' });
        fs.mkdirSync(path.dirname(file), { recursive: true });
        fs.writeFileSync(file, Buffer.from(data, 'base64'));
    }
}

module.exports = { Chromium };
