'use strict';
// A private PulseAudio daemon with a null sink whose monitor is the default source:
// whatever is played into the sink can be captured as a microphone. Everything lives
// in a temporary directory that is also XDG_RUNTIME_DIR and HOME of the daemon and of
// the programs under test (give them env()). Same recipe as virtual_mic.cpp.

const fs = require('fs');
const os = require('os');
const path = require('path');
const { startHelper, stopHelper, runHelper, isRunning, sleep } = require('./helper_process');

class VirtualMic {
    static available() {
        return runHelper(['pulseaudio', '--version']).status === 0;
    }

    // Starts the daemon and waits (up to about 15 s) until it answers.
    static async start() {
        const mic = new VirtualMic(fs.mkdtempSync(path.join(os.tmpdir(), 'virtual-mic-')));
        try {
            await mic.startDaemon();
        } catch (error) {
            await mic.stop();
            throw error;
        }
        return mic;
    }

    constructor(dir) {
        this.dir = dir;
        this.daemon = null;
        this.players = [];
        this.tones = 0;
    }

    // The variables a program needs to reach this daemon, over the given environment.
    env(base = process.env) {
        return {
            ...base,
            XDG_RUNTIME_DIR: this.dir,
            HOME: this.dir,
            PULSE_SERVER: `unix:${this.dir}/pulse/native`,
            PULSE_RUNTIME_PATH: `${this.dir}/pulse`,
        };
    }

    logPath() {
        return path.join(this.dir, 'pa.log');
    }

    async startDaemon() {
        // --daemonize=no keeps the daemon our own child, ended by its PID.
        this.daemon = startHelper(['pulseaudio', '-n', '--daemonize=no', '--exit-idle-time=-1', '--disallow-exit',
            '-L', 'module-native-protocol-unix', '-L', 'module-null-sink sink_name=mic_sink',
            '-L', 'module-always-sink', `--log-target=file:${this.logPath()}`], { env: this.env() });
        const deadline = Date.now() + 15000;
        for (;;) {
            if (!isRunning(this.daemon))
                throw new Error(`pulseaudio exited during start-up; its log:\n${this.readLog()}`);
            if (runHelper(['pactl', 'info'], { env: this.env(), timeout: 3000 }).status === 0)
                return;
            if (Date.now() >= deadline)
                throw new Error('pulseaudio did not answer within 15 s');
            await sleep(100);
        }
    }

    readLog() {
        try {
            return fs.readFileSync(this.logPath(), 'utf8');
        } catch {
            return '(no log)';
        }
    }

    // Plays a float32 mono sine into the null sink, in the background.
    playTone({ frequency = 1000, sampleRate = 48000, amplitude = 0.5, seconds = 120, sink = 'mic_sink' } = {}) {
        const file = path.join(this.dir, `tone${this.tones++}.raw`);
        const samples = new Float32Array(Math.round(seconds * sampleRate));
        for (let i = 0; i < samples.length; ++i)
            samples[i] = amplitude * Math.sin(2 * Math.PI * frequency * i / sampleRate);
        fs.writeFileSync(file, Buffer.from(samples.buffer));
        this.players.push(startHelper(['paplay', '--raw', `--device=${sink}`, '--format=float32le', `--rate=${sampleRate}`,
            '--channels=1', file], { env: this.env() }));
    }

    // A second microphone: another null sink's monitor, which ALSA (and so PortAudio)
    // lists as the device "second_mic" once it lists its devices again. Play into it
    // with playTone({ sink: 'second_sink' }).
    addSecondMicrophone() {
        for (const args of [['load-module', 'module-null-sink', 'sink_name=second_sink'],
            ['set-default-source', 'mic_sink.monitor'], ['set-default-sink', 'mic_sink']]) {
            const result = runHelper(['pactl', ...args], { env: this.env(), timeout: 5000 });
            if (result.status !== 0)
                throw new Error(`pactl ${args.join(' ')} failed`);
        }
        fs.appendFileSync(path.join(this.dir, '.asoundrc'),
            'pcm.second_mic {\n    type pulse\n    device second_sink.monitor\n}\n');
        return 'second_mic';
    }

    // The sound server stops answering (SIGSTOP) and comes back (SIGCONT).
    freeze() {
        process.kill(this.daemon.pid, 'SIGSTOP');
    }

    thaw() {
        process.kill(this.daemon.pid, 'SIGCONT');
    }

    async stopTone() {
        await Promise.all(this.players.splice(0).map((p) => stopHelper(p, 2000)));
    }

    async stop() {
        if (this.daemon)
            this.thaw();
        await this.stopTone();
        if (this.daemon)
            await stopHelper(this.daemon, 5000);
        this.daemon = null;
        fs.rmSync(this.dir, { recursive: true, force: true });
    }
}

module.exports = { VirtualMic };
