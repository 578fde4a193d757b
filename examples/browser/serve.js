#!/usr/bin/env node
'use strict';
// Serves the live page on a loopback origin (the server refuses web pages from
// anywhere else, and file:// pages too). Run on its own it also starts
// sondrel-capture through the Node module and prints the page's address:
//
//   node examples/browser/serve.js [--binary PATH] [--http-port N]
//
// Ctrl+C ends both. Needs `npm ci` once in clients/node.

const http = require('http');
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

// Resolves with the listening server and its base URL. Only the page's own files are
// served, so nothing else on the machine can be read through it.
function servePage({ host = '127.0.0.1', port = 0 } = {}) {
    const server = http.createServer((request, response) => {
        const entry = files[new URL(request.url, 'http://x').pathname];
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
    const { server, url } = await servePage({ port: Number(option('--http-port', 0)) });
    console.log(`sondrel-capture listens on port ${capture.port}; open ${pageAddress(url, capture)}`);
    const stop = async () => {
        server.close();
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
