// Serves the demo page's static files plus its demo-config.json (the domain
// list and its signature, made at run time) on the loopback addresses only.
//
//   node scripts/lib/demo-server.mjs --root browser/demo --config out/demo/demo-config.json --port 8123
//
// As a module: startDemoServer({ root, config, port, pages }) -> { port, close() },
// where `pages` maps further paths to the HTML served there.
import http from 'node:http';
import fs from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
};

// The page's library lives in browser/client; an install puts it beside the page.
const LIBRARY = fileURLToPath(new URL('../../browser/client/p11bridge.js', import.meta.url));

function handler(root, configFile, pages) {
  return async (req, res) => {
    // Fetched afresh each time, yet not "no-store", which would keep pages out of
    // the back-forward cache, as real sites' pages are not.
    const send = (status, type, body) => {
      res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-cache' });
      res.end(body);
    };
    if (req.method !== 'GET' && req.method !== 'HEAD') return send(405, 'text/plain', 'Method not allowed\n');
    let pathname;
    try {
      pathname = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    } catch {
      return send(400, 'text/plain', 'Bad request\n');
    }
    if (Object.hasOwn(pages, pathname)) return send(200, TYPES['.html'], pages[pathname]);
    if (pathname.endsWith('/')) pathname += 'index.html';
    const named = { '/demo-config.json': configFile, '/p11bridge.js': LIBRARY };
    const file = named[pathname] ?? path.join(root, pathname);
    // Nothing outside the page's folder is served, but for those two.
    if (!Object.hasOwn(named, pathname) && !file.startsWith(root + path.sep)) return send(403, 'text/plain', 'Forbidden\n');
    try {
      const body = await fs.readFile(file);
      send(200, TYPES[path.extname(file)] ?? 'application/octet-stream', req.method === 'HEAD' ? undefined : body);
    } catch {
      send(404, 'text/plain', 'Not found\n');
    }
  };
}

function listen(server, host, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen({ host, port }, () => {
      server.off('error', reject);
      resolve(server.address().port);
    });
  });
}

// Listens on 127.0.0.1 and, where the machine has IPv6, on ::1, so that both
// http://localhost:PORT and http://127.0.0.1:PORT reach the same page.
export async function startDemoServer({ root, config, port = 0, pages = {} }) {
  const serve = handler(path.resolve(root), path.resolve(config), pages);
  const v4 = http.createServer(serve);
  const actualPort = await listen(v4, '127.0.0.1', port);
  const servers = [v4];
  const v6 = http.createServer(serve);
  try {
    await listen(v6, '::1', actualPort);
    servers.push(v6);
  } catch {
    // No IPv6 loopback here; localhost then resolves to 127.0.0.1 alone.
  }
  return {
    port: actualPort,
    close: () => Promise.all(servers.map((s) => new Promise((r) => { s.closeAllConnections?.(); s.close(() => r()); }))),
  };
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const args = process.argv.slice(2);
  const option = (name, fallback) => {
    const i = args.indexOf(name);
    return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
  };
  const root = option('--root');
  const config = option('--config');
  if (!root || !config) {
    console.error('usage: demo-server.mjs --root DIR --config FILE [--port N]');
    process.exit(2);
  }
  const server = await startDemoServer({ root, config, port: Number(option('--port', '8123')) });
  console.log(`Serving the demo on http://localhost:${server.port}/`);
  const stop = () => server.close().then(() => process.exit(0));
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}
