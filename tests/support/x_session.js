'use strict';
// A private Xvfb server on a free display number, with openbox as its window manager
// (the settings window is kept above other windows through it). Both are ended by PID.
// Same recipe as x_session.cpp.

const fs = require('fs');
const { startHelper, stopHelper, runHelper, isRunning, sleep } = require('./helper_process');

class XSession {
    static available() {
        return ['/usr/bin/Xvfb', '/usr/bin/openbox', '/usr/bin/xprop'].every((p) => fs.existsSync(p));
    }

    static async start() {
        const session = new XSession();
        try {
            await session.startServer();
            await session.startWindowManager();
        } catch (error) {
            await session.stop();
            throw error;
        }
        return session;
    }

    constructor() {
        this.display = null;
        this.server = null;
        this.windowManager = null;
    }

    env(base = process.env) {
        return { ...base, DISPLAY: this.display };
    }

    async startServer() {
        // A random number well away from the ones people and other tools use; one whose
        // lock file or socket exists is skipped, and a server that fails to start (the
        // number was taken meanwhile) is replaced by one on the next number.
        let number = 300 + Math.floor(Math.random() * 600);
        for (let attempt = 0; attempt < 20; ++attempt, ++number) {
            if (fs.existsSync(`/tmp/.X${number}-lock`) || fs.existsSync(`/tmp/.X11-unix/X${number}`))
                continue;
            this.display = `:${number}`;
            this.server = startHelper(['/usr/bin/Xvfb', this.display, '-screen', '0', '1024x768x24', '-nolisten', 'tcp']);
            if (await this.waitFor(() => isRunning(this.server) &&
                runHelper(['/usr/bin/xprop', '-root', '_NET_SUPPORTED'], { env: this.env(), timeout: 3000 }).status === 0,
            () => isRunning(this.server), 10000))
                return;
            await stopHelper(this.server);
            this.server = null;
        }
        throw new Error('no Xvfb display could be started');
    }

    async startWindowManager() {
        this.windowManager = startHelper(['/usr/bin/openbox'], { env: this.env() });
        const ready = () => runHelper(['/usr/bin/xprop', '-root', '_NET_SUPPORTING_WM_CHECK'],
            { env: this.env(), timeout: 3000 }).stdout.includes('window id');
        if (!await this.waitFor(ready, () => isRunning(this.windowManager), 10000))
            throw new Error(`openbox did not start on ${this.display}`);
    }

    // Polls until ready() holds; false once alive() fails or the time is up.
    async waitFor(ready, alive, ms) {
        const deadline = Date.now() + ms;
        while (Date.now() < deadline) {
            if (!alive())
                return false;
            if (ready())
                return true;
            await sleep(100);
        }
        return false;
    }

    async stop() {
        if (this.windowManager)
            await stopHelper(this.windowManager);
        if (this.server)
            await stopHelper(this.server);
        this.windowManager = this.server = null;
    }
}

module.exports = { XSession };
