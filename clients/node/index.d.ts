/// <reference types="node" />
import { EventEmitter } from 'events';

export interface StartOptions {
    /** The program; default "sondrel-capture" (found on PATH). */
    binary?: string;
    /** Settings file (first argument), relative to cwd. Keep it stable between runs. */
    settingsPath?: string;
    /** Diagnostic log (second argument), relative to cwd; needs settingsPath. */
    logPath?: string;
    /** Working directory of the process (it keeps imgui.ini and reads its font there). */
    cwd?: string;
    /** Environment of the process; default process.env. */
    env?: NodeJS.ProcessEnv;
    /**
     * false: resolve after the port line without connecting, leaving the connection to
     * someone else (a renderer page); commands then go over standard input. Default true.
     */
    connect?: boolean;
    /** Milliseconds to wait for the port line; default 10000. */
    portTimeout?: number;
    /** Milliseconds to wait for the WebSocket connection; default 5000. */
    connectTimeout?: number;
    /** Milliseconds a command may take before it resolves false; default 5000. */
    commandTimeout?: number;
    /** Milliseconds close() waits after "exit" before SIGTERM; default 5000. */
    exitTimeout?: number;
    /** Milliseconds close() waits after SIGTERM before SIGKILL; default 3000. */
    termTimeout?: number;
    /** Milliseconds devices() and select() wait for their answer; default 15000. */
    answerTimeout?: number;
}

/** One input device, as "devices" lists it. */
export interface InputDevice {
    /** PortAudio's index: what Selection.inputDevice takes. */
    index: number;
    name: string;
    /** The host API's name, e.g. "ALSA", "MME", "Windows WASAPI". */
    hostApi: string;
    /** PortAudio's host API type, e.g. 8 for ALSA, 2 for MME, 13 for WASAPI. */
    hostApiType: number;
    maxInputChannels: number;
    /** In whole Hz. */
    defaultSampleRate: number;
    /** Whether it is its host API's default input device. */
    isDefault: boolean;
}

/** What the settings file holds: the choice the next start uses. */
export interface Selection {
    hostApiType: number;
    inputDevice: number;
    sampleRate: 44100 | 48000;
    framesPerBuffer: 40 | 80 | 120 | 160 | 200;
}

/** The answer to devices(). */
export interface DeviceList {
    devices: InputDevice[];
    selected: Selection;
    /** Whether capture is delivering audio. */
    running: boolean;
}

/** The answer to select(). */
export interface SelectResult {
    selected: Selection;
    running: boolean;
}

/** What select() rejects with when the process refused the choice (nothing changed). */
export interface SelectRefusedError extends Error {
    code: 'CAPTURE_SELECT_REFUSED';
    /** The process's reason, e.g. "不支持的采样率: 22050". */
    reason: string;
}

export interface ExitInfo {
    /** Exit status, or null when the process was killed by a signal. */
    code: number | null;
    /** The signal that ended the process, or null. */
    signal: NodeJS.Signals | null;
}

/** What startCapture rejects with. */
export interface CaptureStartError extends Error {
    /**
     * "ENOENT", "EACCES", ... (the program could not be started), "CAPTURE_EXITED",
     * "CAPTURE_PORT_TIMEOUT", "CAPTURE_NO_PORT" or "CAPTURE_CONNECT_FAILED".
     */
    code: string;
    exitCode: number | null;
    signal: NodeJS.Signals | null;
    /** The last lines of the log file (when logPath was given). */
    logTail: string[];
    /** The last lines the process wrote to standard error. */
    stderrTail: string[];
}

/** The settings window could not be kept above other windows; it opens anyway. */
export interface TopmostError extends Error {
    /** The platform's error code, in decimal. */
    code: string;
}

export declare class Capture extends EventEmitter {
    /** The WebSocket port the process announced. */
    readonly port: number;
    /**
     * The address to connect to, ws://127.0.0.1:PORT/?token=..., with the token the
     * process was started with: it accepts no connection without it. With
     * connect: false, hand it to the one page that is to connect, and to no one else.
     */
    readonly url: string;
    readonly pid: number | undefined;
    /** Set once the process has ended. */
    readonly exitCode: number | null;
    readonly signal: NodeJS.Signals | null;

    /** Opens the settings window. Resolves true once the process has taken the command. */
    show(): Promise<boolean>;
    /** Closes the settings window (a 'hidden' event follows in every case). */
    hide(): Promise<boolean>;
    /** Stops the audio without closing the connection; what was buffered is dropped. */
    pause(): Promise<boolean>;
    /** Starts the audio again after pause(). */
    resume(): Promise<boolean>;
    /** Sends "exit"; SIGTERM, then SIGKILL, after the time-outs. Always resolves. */
    close(): Promise<ExitInfo>;
    /**
     * Lists the input devices afresh (capture restarts meanwhile, as with the settings
     * window's refresh). Rejects with code CAPTURE_NO_ANSWER when no answer comes.
     */
    devices(): Promise<DeviceList>;
    /**
     * Applies a choice as the settings window would: capture restarts with it and the
     * settings file is saved. Keys left out keep their value (a new hostApiType without
     * inputDevice takes that API's default input). Rejects with a SelectRefusedError
     * when the process refused it, with code CAPTURE_NO_ANSWER when no answer comes.
     */
    select(choice: Partial<Selection>): Promise<SelectResult>;

    /** 512 mono samples at 44100 Hz, about 86 blocks a second. */
    on(event: 'audio', listener: (samples: Float32Array) => void): this;
    on(event: 'shown' | 'hidden', listener: () => void): this;
    /**
     * The first listener makes the process report its stream: the present state at once,
     * then 'stopped' when it delivers nothing for a second and 'running' when it starts
     * or comes back.
     */
    on(event: 'stream', listener: (state: 'running' | 'stopped') => void): this;
    /** Only emitted while a listener is attached. */
    on(event: 'error', listener: (error: TopmostError) => void): this;
    on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
    once(event: 'audio', listener: (samples: Float32Array) => void): this;
    once(event: 'shown' | 'hidden', listener: () => void): this;
    once(event: 'stream', listener: (state: 'running' | 'stopped') => void): this;
    once(event: 'error', listener: (error: TopmostError) => void): this;
    once(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
    off(event: 'audio', listener: (samples: Float32Array) => void): this;
    off(event: 'shown' | 'hidden', listener: () => void): this;
    off(event: 'stream', listener: (state: 'running' | 'stopped') => void): this;
    off(event: 'error', listener: (error: TopmostError) => void): this;
    off(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
}

/**
 * Starts sondrel-capture, waits for its port line and connects. Resolves once audio is
 * about to flow; rejects with a CaptureStartError.
 */
export declare function startCapture(options?: StartOptions): Promise<Capture>;

/** Decodes little-endian float32 samples, whatever the host's byte order. */
export declare function decodeAudio(bytes: Uint8Array, littleEndianHost?: boolean): Float32Array;

export declare const samplesPerMessage: 512;
export declare const sampleRate: 44100;
