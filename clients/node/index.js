'use strict';
// Runs sondrel-capture as a child process and receives its audio.
//
// The traps every parent has to get right are handled here once: the port comes
// from the first protocol line; library log lines (beginning with "[", plus the blank
// lines of their header dumps) are never protocol; standard output and standard error
// are read for the whole life of the process, because a full pipe blocks the
// process's server threads and stops the audio; samples are little-endian whatever
// the host; shutdown is "exit", then SIGTERM, then SIGKILL.

const { spawn } = require('child_process');
const crypto = require('crypto');
const { EventEmitter } = require('events');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');
const { classifyLine, echoOf, LineSplitter } = require('./lib/output-lines');

const samplesPerMessage = 512;
const sampleRate = 44100;
const bytesPerMessage = samplesPerMessage * 4;
const tailLength = 20;

const defaultTimeouts = {
    portTimeout: 10000,
    connectTimeout: 5000,
    commandTimeout: 5000,
    exitTimeout: 5000,
    termTimeout: 3000,
    // "devices" and "select" restart capture before they answer: about 5 s at most.
    answerTimeout: 15000,
};
// After the process has ended, how long its pipes may stay open (a grandchild that
// inherited them) before we stop waiting for their last lines.
const drainTimeout = 1000;

const hostIsLittleEndian = os.endianness() === 'LE';

// 512 little-endian float32 samples, as one audio message carries them.
function decodeAudio(bytes, littleEndianHost = hostIsLittleEndian) {
    const samples = new Float32Array(bytes.length >>> 2);
    if (littleEndianHost) {
        new Uint8Array(samples.buffer).set(bytes.subarray(0, samples.length * 4));
    } else {
        const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
        for (let i = 0; i < samples.length; ++i)
            samples[i] = view.getFloat32(4 * i, true);
    }
    return samples;
}

function describeEnd(code, signal) {
    if (signal)
        return `was killed by signal ${signal}`;
    if (code === null || code === undefined)
        return 'ended';
    return `exited with status ${code}`;
}

// The last non-empty lines of a text file; nothing when it cannot be read.
function readTail(file, count) {
    if (!file)
        return [];
    try {
        const fd = fs.openSync(file, 'r');
        try {
            const size = fs.fstatSync(fd).size;
            const length = Math.min(size, 64 * 1024);
            const buffer = Buffer.alloc(length);
            fs.readSync(fd, buffer, 0, length, size - length);
            return buffer.toString('utf8').split(/\r?\n/).filter((l) => l.length > 0).slice(-count);
        } finally {
            fs.closeSync(fd);
        }
    } catch {
        return [];
    }
}

// Settles with `promise`, or rejects with makeTimeoutError() after ms. The timer is
// cleared either way, so nothing is left to keep the event loop alive.
function withTimeout(promise, ms, makeTimeoutError) {
    return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(makeTimeoutError()), ms);
        promise.then(
            (value) => { clearTimeout(timer); resolve(value); },
            (error) => { clearTimeout(timer); reject(error); });
    });
}

// True when promise settled within ms.
function settlesWithin(promise, ms) {
    return withTimeout(promise.then(() => true), ms, () => false).catch((value) => value);
}

function deferred() {
    let resolve, reject;
    const promise = new Promise((res, rej) => { resolve = res; reject = rej; });
    promise.catch(() => {});
    return { promise, resolve, reject };
}

class Capture extends EventEmitter {
    constructor(options) {
        super();
        this.binary = options.binary || 'sondrel-capture';
        this.cwd = options.cwd || process.cwd();
        this.logPath = options.logPath ? path.resolve(this.cwd, options.logPath) : null;
        this.timeouts = { ...defaultTimeouts };
        for (const key of Object.keys(defaultTimeouts))
            if (options[key] !== undefined)
                this.timeouts[key] = options[key];
        this.port = null;
        this.exitCode = null;
        this.signal = null;

        this._args = [];
        if (options.settingsPath !== undefined)
            this._args.push(options.settingsPath);
        if (options.logPath !== undefined)
            this._args.push(options.logPath);
        // A secret for this process's clients alone: it accepts only handshakes that
        // carry it, so no other local program, user or web page gets in.
        this._token = crypto.randomBytes(24).toString('base64url');
        this._env = { ...(options.env || process.env), SONDREL_CAPTURE_TOKEN: this._token };
        this.url = null;
        this._connect = options.connect !== false;
        this._child = null;
        this._ws = null;
        this._spawnError = null;
        this._exitStatus = null;
        this._drainTimer = null;
        this._finished = false;
        this._closing = null;
        this._pending = [];
        // Who waits for the next answer line, in the order the commands were taken.
        this._answers = [];
        this._watching = false;
        this._stderrTail = [];
        this._portLine = deferred();
        this._connectedEcho = deferred();
        this._ended = deferred();
        // The process reports the stream's state only once asked to, for good; so it is
        // asked when someone first listens.
        this.on('newListener', (event) => {
            if (event === 'stream' && !this._watching)
                this._watch();
        });
    }

    get pid() {
        return this._child ? this._child.pid : undefined;
    }

    // Open the settings window; resolves true once the process has taken the command.
    show() { return this._command('show'); }
    hide() { return this._command('hide'); }
    // Stop and restart the audio without closing the connection.
    pause() { return this._command('disconnected'); }
    resume() { return this._command('connected'); }

    // Every input device afresh (capture restarts meanwhile), what is selected and
    // whether capture delivers: the parsed answer line.
    devices() {
        return this._ask('devices', (what) => {
            if (what.kind !== 'devices')
                throw this._failure('CAPTURE_BAD_ANSWER', `${this.binary} answered "devices" with ${what.kind}`);
            return what.value;
        });
    }

    // Applies a choice as the settings window would; resolves { selected, running },
    // rejects with code CAPTURE_SELECT_REFUSED and the process's reason when it changed
    // nothing.
    select(choice) {
        if (choice === null || typeof choice !== 'object' || Array.isArray(choice))
            return Promise.reject(new TypeError('select: the choice must be an object'));
        return this._ask(`select ${JSON.stringify(choice)}`, (what) => {
            if (what.kind === 'selectError') {
                const error = this._failure('CAPTURE_SELECT_REFUSED', String(what.value.selectError));
                error.reason = what.value.selectError;
                throw error;
            }
            if (what.kind !== 'selected')
                throw this._failure('CAPTURE_BAD_ANSWER', `${this.binary} answered "select" with ${what.kind}`);
            return what.value;
        });
    }

    // Ends the process: "exit", then SIGTERM, then SIGKILL after the time-outs.
    // Always resolves, with how the process ended.
    close() {
        if (!this._closing)
            this._closing = this._close();
        return this._closing;
    }

    async _start() {
        this._spawn();
        const port = await this._whileRunning(this._portLine.promise, this.timeouts.portTimeout,
            'before announcing its port (usually: no usable audio input device)',
            () => this._failure('CAPTURE_PORT_TIMEOUT',
                `${this.binary} did not announce its port within ${this.timeouts.portTimeout / 1000} s`));
        if (port === 0)
            throw this._failure('CAPTURE_NO_PORT', `${this.binary} announced port 0: its server has no usable port`);
        this.port = port;
        this.url = `ws://127.0.0.1:${port}/?token=${this._token}`;
        if (!this._connect)
            return;

        const ws = new WebSocket(this.url, {
            handshakeTimeout: this.timeouts.connectTimeout,
            perMessageDeflate: false,
            maxPayload: 1024 * 1024,
        });
        this._ws = ws;
        ws.on('error', () => {}); // a broken connection also ends in 'close'
        const opened = new Promise((resolve, reject) => {
            ws.once('open', resolve);
            ws.once('close', () => reject(this._failure('CAPTURE_CONNECT_FAILED',
                `could not connect to ${this.binary} on ws://127.0.0.1:${port}/`)));
        });
        const connecting = this._whileRunning(opened, this.timeouts.connectTimeout + 1000, 'while we connected',
            () => this._failure('CAPTURE_CONNECT_FAILED', `no WebSocket connection to ${this.binary} on port ${port}`));
        await connecting;
        ws.on('message', (data, isBinary) => this._onMessage(data, isBinary));

        // Audio flows once the control loop has taken the "connected" its server queued.
        await this._whileRunning(this._connectedEcho.promise, this.timeouts.commandTimeout, 'while we connected',
            () => this._failure('CAPTURE_CONNECT_FAILED', `${this.binary} did not take the connection within `
                + `${this.timeouts.commandTimeout / 1000} s`));
    }

    _spawn() {
        let child;
        try {
            child = spawn(this.binary, this._args, { cwd: this.cwd, env: this._env, stdio: 'pipe', windowsHide: true });
        } catch (error) {
            this._spawnError = error;
            this._finish();
            return;
        }
        this._child = child;
        child.on('error', (error) => {
            if (child.pid === undefined && !this._spawnError) {
                this._spawnError = error;
                this._finish();
            }
        });
        // Writing to a process that has gone reports EPIPE here; the end is seen on 'exit'.
        child.stdin.on('error', () => {});

        const out = new LineSplitter((line) => this._onStdoutLine(line));
        child.stdout.on('data', (chunk) => out.push(chunk));
        child.stdout.on('end', () => out.end());
        const err = new LineSplitter((line) => this._onStderrLine(line));
        child.stderr.on('data', (chunk) => err.push(chunk));
        child.stderr.on('end', () => err.end());

        child.on('exit', (code, signal) => {
            this._exitStatus = { code, signal };
            this._drainTimer = setTimeout(() => this._finish(), drainTimeout);
        });
        // After 'exit' and the end of all three pipes: the last lines have been read.
        child.on('close', () => this._finish());
    }

    _onStdoutLine(line) {
        const what = classifyLine(line);
        switch (what.kind) {
        case 'port':
            this._portLine.resolve(what.port);
            break;
        case 'echo':
            if (this.port === null)
                break;
            if (what.command === 'connected')
                this._connectedEcho.resolve();
            this._onEcho(what.command);
            break;
        case 'devices':
        case 'selected':
        case 'selectError':
            this._onAnswer(what);
            break;
        case 'stream':
            if (this.port !== null && (what.value.stream === 'running' || what.value.stream === 'stopped'))
                this.emit('stream', what.value.stream);
            break;
        case 'shown':
        case 'hidden':
            if (this.port !== null)
                this.emit(what.kind);
            break;
        case 'error':
            // An 'error' event without a listener would throw; this one is a report,
            // not a failure of ours (the window opens anyway).
            if (this.port !== null && this.listenerCount('error') > 0) {
                const error = new Error(`the settings window could not be kept on top (error code ${what.code})`);
                error.code = what.code;
                this.emit('error', error);
            }
            break;
        default:
            break;
        }
    }

    _onStderrLine(line) {
        if (line.length === 0)
            return;
        this._stderrTail.push(line);
        if (this._stderrTail.length > tailLength)
            this._stderrTail.shift();
    }

    _onMessage(data, isBinary) {
        if (!isBinary || data.length !== bytesPerMessage || this.listenerCount('audio') === 0)
            return;
        this.emit('audio', decodeAudio(data));
    }

    // Commands go over the WebSocket connection, where each message is exactly one
    // command, or else over standard input; one at a time either way: the next is
    // sent once the process has echoed the last.
    // onTaken runs when the echo comes, before anything the command's action writes.
    _command(word, onTaken = null) {
        return new Promise((resolve) => {
            if (this._finished || this._closing || this.port === null)
                return resolve(false);
            this._pending.push({ word, resolve, timer: null, onTaken });
            if (this._pending.length === 1)
                this._sendHead();
        });
    }

    _sendHead() {
        const head = this._pending[0];
        if (!head)
            return;
        if (!this._sendWord(head.word)) {
            this._pending.shift();
            head.resolve(false);
            this._sendHead();
            return;
        }
        head.timer = setTimeout(() => {
            this._pending.shift();
            head.resolve(false);
            this._sendHead();
        }, this.timeouts.commandTimeout);
    }

    _onEcho(command) {
        const head = this._pending[0];
        if (!head || !head.timer || echoOf(head.word) !== command) {
            // Someone else's question (a page on the socket): its answer comes here too.
            if (command === 'devices' || command.startsWith('select '))
                this._answers.push({ abandoned: true, timer: null });
            return;
        }
        clearTimeout(head.timer);
        this._pending.shift();
        if (head.onTaken)
            head.onTaken();
        head.resolve(true);
        this._sendHead();
    }

    _sendWord(word) {
        if (this._finished)
            return false;
        if (this._ws && this._ws.readyState === WebSocket.OPEN) {
            this._ws.send(word);
            return true;
        }
        // Standard input takes one command per read: one write, and nothing else in flight.
        if (this._child && this._child.stdin.writable) {
            this._child.stdin.write(word + '\n');
            return true;
        }
        return false;
    }

    // Sends word and settles with interpret(answer line) once its answer comes.
    _ask(word, interpret) {
        return new Promise((resolve, reject) => {
            const name = word.split(' ')[0];
            const waiter = {
                abandoned: false,
                timer: null,
                settle: (what) => {
                    try {
                        resolve(interpret(what));
                    } catch (error) {
                        reject(error);
                    }
                },
                // Its answer, should it come after all, is still taken off the queue.
                fail: (why) => {
                    waiter.abandoned = true;
                    clearTimeout(waiter.timer);
                    reject(this._failure('CAPTURE_NO_ANSWER', `${this.binary} gave no answer to "${name}" ${why}`));
                },
            };
            this._command(word, () => {
                this._answers.push(waiter);
                waiter.timer = setTimeout(() => waiter.fail(`within ${this.timeouts.answerTimeout / 1000} s`),
                    this.timeouts.answerTimeout);
            }).then((taken) => {
                if (!taken && !waiter.timer)
                    waiter.fail('(the command was not taken)');
            });
        });
    }

    _onAnswer(what) {
        const waiter = this._answers.shift();
        if (!waiter)
            return;
        clearTimeout(waiter.timer);
        if (!waiter.abandoned)
            waiter.settle(what);
    }

    _watch() {
        this._watching = true;
        this._command('watch').then((taken) => {
            if (!taken)
                this._watching = false;
        });
    }

    async _close() {
        if (!this._finished) {
            // Commands not sent yet are dropped; one on its way is let through first,
            // or on standard input "exit" could reach the process in the same read.
            for (const waiting of this._pending.splice(1))
                waiting.resolve(false);
            const inFlight = this._pending[0];
            if (inFlight) {
                await new Promise((resolve) => {
                    const settle = inFlight.resolve;
                    inFlight.resolve = (taken) => { settle(taken); resolve(); };
                });
            }
            this._sendWord('exit');
            if (!await settlesWithin(this._ended.promise, this.timeouts.exitTimeout)) {
                this._kill('SIGTERM');
                if (!await settlesWithin(this._ended.promise, this.timeouts.termTimeout)) {
                    this._kill('SIGKILL');
                    await settlesWithin(this._ended.promise, 5000);
                }
            }
            this._finish();
        }
        return { code: this.exitCode, signal: this.signal };
    }

    _kill(signal) {
        const child = this._child;
        // Node refuses to signal a PID it has reaped, which may belong to someone else by now.
        if (child && child.pid !== undefined && child.exitCode === null && child.signalCode === null) {
            try {
                child.kill(signal);
            } catch {
                // gone meanwhile
            }
        }
    }

    _finish() {
        if (this._finished)
            return;
        this._finished = true;
        clearTimeout(this._drainTimer);
        if (this._child) {
            this._child.stdout.destroy();
            this._child.stderr.destroy();
            this._child.stdin.destroy();
        }
        if (this._ws)
            this._ws.terminate();
        const { code, signal } = this._exitStatus || { code: null, signal: null };
        this.exitCode = code;
        this.signal = signal;
        for (const waiting of this._pending.splice(0)) {
            clearTimeout(waiting.timer);
            waiting.resolve(false);
        }
        for (const waiter of this._answers.splice(0)) {
            if (!waiter.abandoned)
                waiter.fail(`before it ${describeEnd(code, signal)}`);
        }
        this._ended.resolve({ code, signal });
        if (this.port !== null)
            this.emit('exit', code, signal);
    }

    // Waits for promise while the process runs; its end or the time-out is a failure.
    _whileRunning(promise, ms, whenEnded, makeTimeoutError) {
        const ended = this._ended.promise.then(() => {
            if (this._spawnError) {
                throw this._failure(this._spawnError.code || 'CAPTURE_SPAWN_FAILED',
                    `cannot start ${this.binary}: ${this._spawnError.message}`);
            }
            throw this._failure('CAPTURE_EXITED',
                `${this.binary} ${describeEnd(this.exitCode, this.signal)} ${whenEnded}`);
        });
        return withTimeout(Promise.race([promise, ended]), ms, makeTimeoutError);
    }

    _failure(code, message) {
        const error = new Error(message);
        error.code = code;
        return error;
    }

    // Completes a start-up failure once the process is gone: its exit status, and the
    // last lines of its log (written at exit) and of its standard error.
    _explain(error) {
        error.exitCode = this.exitCode;
        error.signal = this.signal;
        error.logTail = readTail(this.logPath, tailLength);
        error.stderrTail = this._stderrTail.slice();
        if (error.logTail.length > 0)
            error.message += `\nLast lines of its log (${this.logPath}):\n  ` + error.logTail.join('\n  ');
        if (error.stderrTail.length > 0)
            error.message += '\nLast lines of its standard error:\n  ' + error.stderrTail.join('\n  ');
        return error;
    }
}

// Starts sondrel-capture and connects to it. Resolves with a running Capture once
// audio is about to flow; rejects with the reason (and the log's last lines) when the
// process cannot be started, ends, or does not announce its port in time.
// With connect: false it resolves after the port line and leaves the connection to
// someone else, such as a renderer page; commands then go over standard input.
async function startCapture(options = {}) {
    if (options.logPath !== undefined && options.settingsPath === undefined)
        throw new TypeError('startCapture: logPath needs settingsPath (the log path is the second argument)');
    const capture = new Capture(options);
    try {
        await capture._start();
    } catch (error) {
        await capture.close();
        throw capture._explain(error);
    }
    return capture;
}

module.exports = { startCapture, Capture, decodeAudio, samplesPerMessage, sampleRate };
