// The background script in node, with the browser's few entry points it uses stood in for: what a
// page can make it do must not depend on how fast a real host happens to answer.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import vm from 'node:vm';

const source = readFileSync(new URL('../../browser/extension/background.js', import.meta.url), 'utf8');

function fakePort(props = {}) {
  const listeners = { message: [], disconnect: [] };
  return {
    ...props,
    sent: [],
    onMessage: { addListener: (f) => listeners.message.push(f) },
    onDisconnect: { addListener: (f) => listeners.disconnect.push(f) },
    postMessage(message) { this.sent.push(message); },
    disconnect() {},
    emit(message) { for (const f of listeners.message) f(message); },
  };
}

// A background with one tab's page connected; its hosts never answer unless told to.
function background() {
  let onConnect;
  const hosts = [];
  const chrome = {
    runtime: {
      onConnect: { addListener: (f) => { onConnect = f; } },
      connectNative: () => { const host = fakePort(); hosts.push(host); return host; },
    },
    tabs: { onRemoved: { addListener() {} } },
  };
  vm.runInNewContext(source, { chrome, setTimeout: () => 0, clearTimeout() {}, TextEncoder, URL });
  const page = fakePort({ name: 'p11bridge', sender: { tab: { id: 1 }, frameId: 0, origin: 'https://example.org' } });
  onConnect(page);
  return { page, hosts };
}

test('a tab gets refusals, not a longer queue, beyond 32 requests waiting for its host', () => {
  const { page, hosts } = background();
  for (let id = 0; id < 40; ++id) page.emit({ id, message: { command: 7 } });
  assert.equal(hosts.length, 1);
  assert.equal(hosts[0].sent.length, 1, 'one request at a time reaches the host');
  const refused = () => page.sent.filter((m) => m.refused).map((m) => m.id);
  // One in flight and 32 waiting: the rest are refused, each at once and named as such.
  assert.deepEqual(refused(), [33, 34, 35, 36, 37, 38, 39]);
  assert.match(page.sent.find((m) => m.refused).error, /^32 requests already wait for the host/);
  // An answer makes room for exactly one more.
  hosts[0].emit({ command: 7 });
  page.emit({ id: 40, message: { command: 7 } });
  page.emit({ id: 41, message: { command: 7 } });
  assert.deepEqual(refused(), [33, 34, 35, 36, 37, 38, 39, 41]);
});
