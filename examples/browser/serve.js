#!/usr/bin/env node
'use strict';
// Serves the live page on a loopback origin (the server refuses web pages from
// anywhere else, and file:// pages too), and, for the capture it is given, the answers
// the page cannot read itself (they go to the process's standard output, which only
// the parent reads):
//   GET  /api/devices   capture.devices()
//   POST /api/select    capture.select(the JSON body)
//   GET  /api/stream    the stream's state as Server-Sent Events ("running", "stopped")
// Each needs "Authorization: Bearer TOKEN" with the capture's own token, which only the
// page holds: other local users and other pages in the browser get 403.
// Run on its own it also starts sondrel-capture through the Node module and prints the
// page's address:
//
//   node examples/browser/serve.js [--binary PATH] [--http-port N]
//
// Ctrl+C ends both. Needs `npm ci` once in clients/node.

const http = require('http');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const files = {
    '/': ['index.html', 'text/html; charset=utf-8'],
    '/index.html': ['index.html', 'text/html; charset=utf-8'],
    '/main.js': ['main.js', 'text/javascript; charset=utf-8'],
    '/player-worklet.js': ['player-worklet.js', 'text/javascript; charset=utf-8'],
    '/style.css': ['style.css', 'text/css; charset=utf-8'],
};

const maxSelectBytes = 4096;

function sendJson(response, status, value) {
    response.writeHead(status, { 'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-store' });
    response.end(JSON.stringify(value));
}

function bearerMatches(request, token) {
    const given = Buffer.from(/^Bearer (.+)$/.exec(request.headers.authorization || '')?.[1] || '');
    const expected = Buffer.from(token);
    return given.length === expected.length && crypto.timingSafeEqual(given, expected);
}

// The capture's answers for the page. The stream's state is asked for once, when the
// first page listens, and kept for pages that come later.
class CaptureApi {
    constructor(capture) {
        this.capture = capture;
        this.token = new URL(capture.url).searchParams.get('token');
        this.listeners = new Set();
        this.state = null;
        this.onStream = (state) => {
            this.state = state;
            for (const response of this.listeners)
                response.write(`data: ${state}\n\n`);
        };
        capture.once('exit', () => this.close());
    }

    handle(request, response, pathname) {
        if (!bearerMatches(request, this.token))
            return sendJson(response, 403, { error: 'no or wrong token' });
        if (pathname === '/api/devices' && request.method === 'GET')
            return this.answer(response, this.capture.devices());
        if (pathname === '/api/select' && request.method === 'POST')
            return this.select(request, response);
        if (pathname === '/api/stream' && request.method === 'GET')
            return this.stream(request, response);
        return sendJson(response, 404, { error: 'no such request' });
    }

    answer(response, promise) {
        promise.then((value) => sendJson(response, 200, value), (error) => {
            if (error.code === 'CAPTURE_SELECT_REFUSED')
                sendJson(response, 400, { selectError: error.reason });
            else
                sendJson(response, 502, { error: error.message });
        });
    }

    select(request, response) {
        const chunks = [];
        let size = 0;
        request.on('data', (chunk) => {
            size += chunk.length;
            if (size > maxSelectBytes) {
                sendJson(response, 413, { error: 'too long' });
                request.destroy();
            } else {
                chunks.push(chunk);
            }
        });
        request.on('end', () => {
            let choice;
            try {
                choice = JSON.parse(Buffer.concat(chunks).toString('utf8'));
            } catch {
                return sendJson(response, 400, { error: 'the body is not JSON' });
            }
            if (choice === null || typeof choice !== 'object' || Array.isArray(choice))
                return sendJson(response, 400, { error: 'the body must be a JSON object' });
            this.answer(response, this.capture.select(choice));
        });
    }

    stream(request, response) {
        response.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-store' });
        this.listeners.add(response);
        request.on('close', () => this.listeners.delete(response));
        if (this.state)
            response.write(`data: ${this.state}\n\n`);
        if (!this.capture.listeners('stream').includes(this.onStream))
            this.capture.on('stream', this.onStream);
    }

    close() {
        this.capture.off('stream', this.onStream);
        for (const response of this.listeners)
            response.end();
        this.listeners.clear();
    }
}

// Resolves with the listening server and its base URL. Only the page's own files are
// served, so nothing else on the machine can be read through it; with a capture, also
// its answers (see above).
function servePage({ host = '127.0.0.1', port = 0, capture = null } = {}) {
    const api = capture ? new CaptureApi(capture) : null;
    const server = http.createServer((request, response) => {
        const pathname = new URL(request.url, 'http://x').pathname;
        if (api && pathname.startsWith('/api/'))
            return api.handle(request, response, pathname);
        const entry = files[pathname];
        if (request.method !== 'GET' && request.method !== 'HEAD') {
            response.writeHead(405, { Allow: 'GET, HEAD' }).end();
        } else if (!entry) {
            response.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found\n');
        } else {
            fs.readFile(path.join(__dirname, entry[0]), (error, body) => {
                if (error) {
                    response.writeHead(500).end();
                    return;
                }
                response.writeHead(200, { 'Content-Type': entry[1], 'Cache-Control': 'no-store' });
                response.end(request.method === 'HEAD' ? undefined : body);
            });
        }
    });
    return new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(port, host, () => {
            server.off('error', reject);
            resolve({ server, url: `http://${host}:${server.address().port}/` });
        });
    });
}

// The page's address for this capture: the port in the query, the token in the
// fragment, which the browser keeps to itself.
function pageAddress(siteUrl, capture) {
    const token = new URL(capture.url).searchParams.get('token');
    return `${siteUrl}?port=${capture.port}#token=${token}`;
}

async function main() {
    const args = process.argv.slice(2);
    const option = (name, fallback) => {
        const i = args.indexOf(name);
        return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
    };
    const { startCapture } = require('../../clients/node');
    const dir = path.join(os.homedir(), '.sondrel-capture-example');
    fs.mkdirSync(dir, { recursive: true });
    const capture = await startCapture({ binary: option('--binary', 'sondrel-capture'), cwd: dir,
        settingsPath: 'settings.json', logPath: 'capture.log', connect: false });
    const { server, url } = await servePage({ port: Number(option('--http-port', 0)), capture });
    console.log(`sondrel-capture listens on port ${capture.port}; open ${pageAddress(url, capture)}`);
    const stop = async () => {
        server.close();
        server.closeAllConnections();
        const { code, signal } = await capture.close();
        console.log(`sondrel-capture ended (${signal || `status ${code}`})`);
    };
    process.once('SIGINT', stop);
    process.once('SIGTERM', stop);
    capture.on('exit', () => server.close());
}

if (require.main === module) {
    main().catch((error) => {
        console.error(error.message);
        process.exit(1);
    });
}

module.exports = { servePage, pageAddress };
