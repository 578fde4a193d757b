'use strict';
// Helper programs of the Node and browser tests (PulseAudio, players, Xvfb, openbox,
// Chromium). Each is ended by its PID: stop() asks with SIGTERM and kills after a
// time-out. Should the test process die first, setpriv's parent-death signal takes
// them down with it, and an 'exit' hook kills whatever an ordinary exit left behind.

const { spawn, spawnSync } = require('child_process');
const fs = require('fs');

const setpriv = '/usr/bin/setpriv';
const running = new Set();

process.on('exit', () => {
    for (const child of running) {
        try {
            process.kill(child.pid, 'SIGKILL');
        } catch {
            // already gone
        }
    }
});

// Starts argv[0] with arguments; options as for child_process.spawn (stdio defaults
// to ignoring everything, so helper chatter stays out of the test output).
function startHelper(argv, options = {}) {
    const [program, ...args] = argv;
    const wrapped = fs.existsSync(setpriv) ? [setpriv, ['--pdeathsig', 'KILL', '--', program, ...args]]
        : [program, args];
    const child = spawn(wrapped[0], wrapped[1], { stdio: 'ignore', ...options });
    child.on('error', () => {}); // a missing program shows as an exit with status 127 or a spawn failure
    if (child.pid !== undefined) {
        running.add(child);
        child.on('exit', () => running.delete(child));
    }
    child.ended = child.pid === undefined ? Promise.resolve() : new Promise((resolve) => child.once('exit', resolve));
    return child;
}

function isRunning(child) {
    return child.pid !== undefined && child.exitCode === null && child.signalCode === null;
}

function sleep(ms) {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

async function exitsWithin(child, ms) {
    let timer;
    const timedOut = new Promise((resolve) => { timer = setTimeout(() => resolve(false), ms); });
    const ended = await Promise.race([child.ended.then(() => true), timedOut]);
    clearTimeout(timer);
    return ended;
}

// SIGTERM, then SIGKILL after termMs; resolves once the child has been reaped.
async function stopHelper(child, termMs = 3000) {
    if (!isRunning(child))
        return;
    child.kill('SIGTERM');
    if (await exitsWithin(child, termMs))
        return;
    if (isRunning(child))
        child.kill('SIGKILL');
    await exitsWithin(child, 5000);
}

// Runs a short program to its end; killed by PID after timeoutMs.
function runHelper(argv, options = {}) {
    const result = spawnSync(argv[0], argv.slice(1), { timeout: 10000, killSignal: 'SIGKILL', encoding: 'utf8',
        stdio: ['ignore', 'pipe', 'pipe'], ...options });
    return { status: result.status, stdout: result.stdout || '', stderr: result.stderr || '' };
}

module.exports = { startHelper, stopHelper, runHelper, isRunning, exitsWithin, sleep };
