// browser/p11bridge-install against a throw-away HOME: where it writes, what
// the manifests say, and that --uninstall leaves the tree as it found it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const INSTALLER = path.join(REPO, 'browser/p11bridge-install');
const DEMO_CHROME_ID = 'hakmpmcfgeeadocpiniabcilmlgnfghb';
const DEMO_FIREFOX_ID = 'p11bridge-demo@p11bridge.org';
const MODULE = '/bin/true'; // any existing file stands in for a PKCS#11 module here

function sandbox() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-install-'));
  const home = path.join(root, 'home');
  fs.mkdirSync(home);
  const host = path.join(root, 'built-host');
  fs.copyFileSync('/bin/true', host);
  fs.chmodSync(host, 0o755);
  return { root, home, host };
}

function install(box, ...args) {
  const env = { ...process.env, HOME: box.home, XDG_CONFIG_HOME: '' };
  return spawnSync(INSTALLER, ['--host', box.host, '--module', MODULE, ...args], { env, encoding: 'utf8' });
}

// Every path under `dir` with its file content, so "unchanged" means unchanged.
function snapshot(dir) {
  const entries = {};
  const walk = (d) => {
    for (const name of fs.readdirSync(d)) {
      const p = path.join(d, name);
      const st = fs.lstatSync(p);
      if (st.isDirectory()) {
        entries[path.relative(dir, p) + '/'] = '';
        walk(p);
      } else {
        entries[path.relative(dir, p)] = st.isSymbolicLink() ? '-> ' + fs.readlinkSync(p) : fs.readFileSync(p, 'utf8');
      }
    }
  };
  walk(dir);
  return entries;
}

const USER_MANIFESTS = {
  '.config/chromium/NativeMessagingHosts': 'allowed_origins',
  '.config/google-chrome/NativeMessagingHosts': 'allowed_origins',
  '.config/microsoft-edge/NativeMessagingHosts': 'allowed_origins',
  '.config/BraveSoftware/Brave-Browser/NativeMessagingHosts': 'allowed_origins',
  '.config/vivaldi/NativeMessagingHosts': 'allowed_origins',
  '.mozilla/native-messaging-hosts': 'allowed_extensions',
};

test('a user install registers the copied host with every browser family', () => {
  const box = sandbox();
  const result = install(box);
  assert.equal(result.status, 0, result.stderr);
  const installed = path.join(box.home, '.local/lib/p11bridge/p11bridge');
  assert.ok(!fs.lstatSync(installed).isSymbolicLink(), 'the host must be a copy: it finds its module beside itself');
  assert.ok(fs.statSync(installed).mode & 0o100);
  assert.equal(fs.readlinkSync(path.join(box.home, '.local/lib/p11bridge/p11bridge-pkcs11.so')), MODULE);
  for (const [dir, allowed] of Object.entries(USER_MANIFESTS)) {
    const manifest = JSON.parse(fs.readFileSync(path.join(box.home, dir, 'org.p11bridge.host.json'), 'utf8'));
    assert.equal(manifest.name, 'org.p11bridge.host');
    assert.equal(manifest.type, 'stdio');
    assert.equal(manifest.path, installed);
    assert.deepEqual(manifest[allowed], allowed === 'allowed_origins'
      ? [`chrome-extension://${DEMO_CHROME_ID}/`] : [DEMO_FIREFOX_ID]);
  }
  fs.rmSync(box.root, { recursive: true, force: true });
});

test('uninstall removes exactly what was installed and gives back a replaced manifest', () => {
  const box = sandbox();
  const chromiumHosts = path.join(box.home, '.config/chromium/NativeMessagingHosts');
  fs.mkdirSync(chromiumHosts, { recursive: true });
  fs.writeFileSync(path.join(chromiumHosts, 'org.other.host.json'), '{"other": true}\n');
  fs.writeFileSync(path.join(chromiumHosts, 'org.p11bridge.host.json'), '{"installed by": "someone else"}\n');
  const before = snapshot(box.home);

  assert.equal(install(box, '--chrome-extension-id', 'a'.repeat(32)).status, 0);
  // Installing twice must not lose the saved manifest or leave stale files.
  assert.equal(install(box, '--browsers', 'chromium,firefox').status, 0);
  assert.equal(fs.existsSync(path.join(box.home, '.config/vivaldi')), false);
  const uninstall = install(box, '--uninstall');
  assert.equal(uninstall.status, 0, uninstall.stderr);

  assert.deepEqual(snapshot(box.home), before);
  fs.rmSync(box.root, { recursive: true, force: true });
});

test('a profile install touches only that Chromium user-data directory', () => {
  const box = sandbox();
  const profile = path.join(box.root, 'profile');
  const result = install(box, '--profile', profile, '--chrome-extension-id', 'b'.repeat(32),
    '--chrome-extension-id', DEMO_CHROME_ID);
  assert.equal(result.status, 0, result.stderr);
  assert.deepEqual(snapshot(box.home), {});
  const manifest = JSON.parse(fs.readFileSync(path.join(profile, 'NativeMessagingHosts/org.p11bridge.host.json'), 'utf8'));
  assert.equal(manifest.path, path.join(profile, 'p11bridge-host/p11bridge'));
  assert.deepEqual(manifest.allowed_origins, [`chrome-extension://${'b'.repeat(32)}/`, `chrome-extension://${DEMO_CHROME_ID}/`]);
  assert.equal(install(box, '--profile', profile, '--uninstall').status, 0);
  assert.equal(fs.existsSync(profile), false);
  fs.rmSync(box.root, { recursive: true, force: true });
});

test('bad input is refused before anything is written', () => {
  const cases = [
    ['--chrome-extension-id', 'not-an-id'],
    ['--firefox-extension-id', 'quote"injection'],
    ['--browsers', 'chromium,netscape'],
    ['--module', '/nonexistent/module.so'],
    ['--bogus-option'],
  ];
  for (const args of cases) {
    const box = sandbox();
    const result = install(box, ...args);
    assert.notEqual(result.status, 0, `accepted: ${args.join(' ')}`);
    assert.match(result.stderr, /p11bridge-install: /);
    assert.deepEqual(snapshot(box.home), {}, `wrote files for: ${args.join(' ')}`);
    fs.rmSync(box.root, { recursive: true, force: true });
  }
});
