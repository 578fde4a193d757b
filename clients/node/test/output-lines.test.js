'use strict';
// The stdout line rules and the sample decoding, on the exact bytes the process writes.
const test = require('node:test');
const assert = require('node:assert/strict');
const { classifyLine, echoOf, LineSplitter, maxLineBytes } = require('../lib/output-lines');
const { decodeAudio } = require('..');

function split(chunks) {
    const lines = [];
    const splitter = new LineSplitter((line) => lines.push(line));
    for (const c of chunks)
        splitter.push(Buffer.from(c));
    splitter.end();
    return lines;
}

test('protocol lines are recognised only in their exact form', () => {
    assert.deepEqual(classifyLine('{ "port": 45895 }'), { kind: 'port', port: 45895 });
    assert.deepEqual(classifyLine('{ "port": 0 }'), { kind: 'port', port: 0 });
    assert.deepEqual(classifyLine('{ "event": "shown" }'), { kind: 'shown' });
    assert.deepEqual(classifyLine('{ "event": "hidden" }'), { kind: 'hidden' });
    assert.deepEqual(classifyLine('{ "error": "50" }'), { kind: 'error', code: '50' });
    assert.deepEqual(classifyLine('{ "error": "4294967295" }'), { kind: 'error', code: '4294967295' });
    assert.deepEqual(classifyLine('Getting command: show'), { kind: 'echo', command: 'show' });
    assert.deepEqual(classifyLine('Getting command: '), { kind: 'echo', command: '' });
    for (const near of ['{"port": 45895}', '{ "port": 045895 }', '{ "port": 65536 }', '{ "port": -1 }',
        '{ "port": 1 } ', ' { "port": 1 }', '{ "port": "1" }', '{ "event": "shown"}', '{ "error": 50 }',
        '{ "error": "4294967296" }', 'Unrecognisable command show', 'x'])
        assert.equal(classifyLine(near).kind, 'other', near);
});

test('the answers to devices, select and watch carry their parsed object; a broken one is no answer', () => {
    assert.deepEqual(classifyLine('{ "stream": "stopped" }'), { kind: 'stream', value: { stream: 'stopped' } });
    assert.deepEqual(classifyLine('{ "selectError": "不支持的采样率: 22050" }'),
        { kind: 'selectError', value: { selectError: '不支持的采样率: 22050' } });
    const selected = '{ "selected": { "hostApiType": 8, "inputDevice": 1, "sampleRate": 44100.0, '
        + '"framesPerBuffer": 120 }, "running": false }';
    assert.deepEqual(classifyLine(selected), { kind: 'selected',
        value: { selected: { hostApiType: 8, inputDevice: 1, sampleRate: 44100, framesPerBuffer: 120 }, running: false } });
    assert.equal(classifyLine('{ "devices": [], "selected": {}, "running": true }').kind, 'devices');
    for (const broken of ['{ "devices": [', '{ "stream": "running" } x', '{ "selected": {} ]'])
        assert.equal(classifyLine(broken).kind, 'other', broken);
});

test('a command is compared with its echo as the process quotes it', () => {
    assert.equal(echoOf('select {"a\\"b": 1}'), 'select {"a\\\\"b": 1}');
    assert.equal(echoOf('a\tb\r\n\x7f'), 'a\\x09b\\r\\n\x7f');
    assert.equal(echoOf('选择'), '选择');
});

test('library log lines, their header dumps and blank lines are never protocol', () => {
    for (const line of ['[2026-12-09 10:00:23] [frame_header] Header Bytes: ', '[0] (4) 82 7E 08 00 ', '',
        '[2026-12-09 10:00:23] [connect] WebSocket Connection 127.0.0.1:40350 v13 "" / 101',
        '[x] { "event": "shown" }'])
        assert.deepEqual(classifyLine(line), { kind: 'library' }, line);
});

test('lines are cut at LF and CR LF, across chunk borders and inside UTF-8 characters', () => {
    const dump = '[2026-12-09 10:00:23] [frame_header] Header Bytes: \r\n[0] (4) 82 7E 08 00 \r\n\r\n';
    const port = Buffer.from('{ "port": 4242 }\r\n');
    const chinese = Buffer.from('Getting command: 显示\n');
    const chunks = [dump.slice(0, 17), dump.slice(17), port.subarray(0, 9), port.subarray(9, 17), port.subarray(17),
        chinese.subarray(0, 18), chinese.subarray(18, 19), chinese.subarray(19), 'tail without terminator'];
    assert.deepEqual(split(chunks), ['[2026-12-09 10:00:23] [frame_header] Header Bytes: ', '[0] (4) 82 7E 08 00 ', '',
        '{ "port": 4242 }', 'Getting command: 显示', 'tail without terminator']);
});

test('an endless line is skipped instead of kept, and the lines after it still arrive', () => {
    const huge = 'y'.repeat(maxLineBytes + 10);
    assert.deepEqual(split(['a\n', huge.slice(0, 40000), huge.slice(40000), 'zzz\n{ "event": "shown" }\n']),
        ['a', '{ "event": "shown" }']);
});

test('audio payloads decode as little-endian float32 on either kind of host', () => {
    const expected = Array.from({ length: 512 }, (_, i) => Math.fround(Math.sin(i / 7) * 0.5 + i * 1e-3));
    const payload = Buffer.alloc(2048 + 1).subarray(1); // not 4-byte aligned, as ws hands out slices
    expected.forEach((v, i) => payload.writeFloatLE(v, 4 * i));
    for (const littleEndianHost of [true, false]) {
        const samples = decodeAudio(payload, littleEndianHost);
        assert.ok(samples instanceof Float32Array);
        assert.equal(samples.length, 512);
        assert.deepEqual(Array.from(samples), expected, `littleEndianHost=${littleEndianHost}`);
    }
});
