'use strict';
// Standard output of sondrel-capture carries two kinds of lines: the protocol lines,
// and the WebSocket library's access log. Every line of a library entry begins with
// "[" or is empty (its header dumps end in a blank line); no protocol line does.
// The Windows build writes CR LF.

const { StringDecoder } = require('string_decoder');

// A line longer than this cannot be protocol; it is skipped rather than kept.
const maxLineBytes = 64 * 1024;

const portLine = /^\{ "port": (0|[1-9][0-9]{0,4}) \}$/;
const errorLine = /^\{ "error": "(0|[1-9][0-9]{0,9})" \}$/;
const shownLine = '{ "event": "shown" }';
const hiddenLine = '{ "event": "hidden" }';
const echoPrefix = 'Getting command: ';
// The answers to "devices", "select ..." and "watch", each one JSON object on one line.
const answerLines = [
    ['{ "devices": [', 'devices'],
    ['{ "selected": {', 'selected'],
    ['{ "selectError": "', 'selectError'],
    ['{ "stream": "', 'stream'],
];

function isLibraryLog(line) {
    return line.length === 0 || line[0] === '[';
}

// What one line (without its terminator) means to a parent.
//   { kind: 'library' } | { kind: 'port', port } | { kind: 'shown' } | { kind: 'hidden' }
//   | { kind: 'error', code } | { kind: 'echo', command }
//   | { kind: 'devices' | 'selected' | 'selectError' | 'stream', value } | { kind: 'other' }
// `value` is the answer's parsed JSON object.
function classifyLine(line) {
    if (isLibraryLog(line))
        return { kind: 'library' };
    for (const [prefix, kind] of answerLines) {
        if (!line.startsWith(prefix))
            continue;
        try {
            const value = JSON.parse(line);
            if (value !== null && typeof value === 'object' && !Array.isArray(value))
                return { kind, value };
        } catch {
            // not an answer after all
        }
        return { kind: 'other' };
    }
    if (line === shownLine)
        return { kind: 'shown' };
    if (line === hiddenLine)
        return { kind: 'hidden' };
    if (line.startsWith(echoPrefix))
        return { kind: 'echo', command: line.slice(echoPrefix.length) };
    let m = portLine.exec(line);
    if (m && Number(m[1]) <= 65535)
        return { kind: 'port', port: Number(m[1]) };
    m = errorLine.exec(line);
    if (m && Number(m[1]) <= 0xffffffff)
        return { kind: 'error', code: m[1] };
    return { kind: 'other' };
}

// Cuts a byte stream into lines. Handles multi-byte UTF-8 characters split across
// chunks, CR LF and LF, and a last line without a terminator (given out by end()).
class LineSplitter {
    constructor(onLine) {
        this.onLine = onLine;
        this.decoder = new StringDecoder('utf8');
        this.pending = '';
        this.skipping = false;
    }

    push(chunk) {
        let text = this.pending + this.decoder.write(chunk);
        let start = 0;
        for (let nl; (nl = text.indexOf('\n', start)) !== -1; start = nl + 1) {
            if (this.skipping)
                this.skipping = false;
            else
                this.emit(text.slice(start, nl));
        }
        text = text.slice(start);
        if (text.length > maxLineBytes) {
            this.skipping = true;
            text = '';
        }
        this.pending = text;
    }

    end() {
        const rest = this.pending + this.decoder.end();
        this.pending = '';
        if (rest.length > 0 && !this.skipping)
            this.emit(rest);
        this.skipping = false;
    }

    emit(line) {
        this.onLine(line.endsWith('\r') ? line.slice(0, -1) : line);
    }
}

// The command as its echo line quotes it: a backslash doubled, control bytes as \r, \n
// or \xNN. (Commands longer than 1024 bytes are also cut; the module sends none.)
function echoOf(word) {
    return word.replace(/[\x00-\x1f\\]/g, (c) => {
        if (c === '\\')
            return '\\\\';
        if (c === '\r')
            return '\\r';
        if (c === '\n')
            return '\\n';
        return '\\x' + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0');
    });
}

module.exports = { classifyLine, echoOf, isLibraryLog, LineSplitter, maxLineBytes };
