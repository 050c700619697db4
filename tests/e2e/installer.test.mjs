// browser/p11bridge-install in a throw-away folder that is also HOME: what it writes, what the
// manifests say, and that --uninstall takes away what it put there and nothing else.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const INSTALLER = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../browser/p11bridge-install');
const MODULE = '/bin/true'; // any existing file stands in for a PKCS#11 module here
const MANIFEST = 'org.p11bridge.host.json';
const DEMO_ID = 'hakmpmcfgeeadocpiniabcilmlgnfghb';
const DEMO_CHROME = [`chrome-extension://${DEMO_ID}/`];
const DEMO_FIREFOX = ['p11bridge-demo@p11bridge.org'];
const USER_HOST = 'home/.local/lib/p11bridge';
const CHROMIUM = 'home/.config/chromium/NativeMessagingHosts';
const FIREFOX = 'home/.mozilla/native-messaging-hosts';
const EVERY_BROWSER = Object.fromEntries([CHROMIUM, 'home/.config/google-chrome/NativeMessagingHosts',
  'home/.config/microsoft-edge/NativeMessagingHosts', 'home/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts',
  'home/.config/vivaldi/NativeMessagingHosts'].map((dir) => [dir, DEMO_CHROME]).concat([[FIREFOX, DEMO_FIREFOX]]));
const OTHERS = 'someone else\'s file\n';

// Each case: files there before (seed); steps: installs (argument lists, each after `mode`) and
// foreign files put or dropped between them; what the last install must have written (host folder,
// manifests with the IDs they allow, manifests it set aside); then --uninstall with `mode`, after
// which the seed and the foreign files still there must be all that is left, with their folders.
const CASES = [
  ['a user install registers the copied host with every browser family', {
    steps: [[]], host: USER_HOST, manifests: EVERY_BROWSER }],
  ['a reinstall for fewer browsers leaves no stale manifest and gives back the one it replaced', {
    seed: { [`${CHROMIUM}/org.other.host.json`]: OTHERS, [`${CHROMIUM}/${MANIFEST}`]: OTHERS },
    steps: [['--chrome-extension-id', 'a'.repeat(32)], ['--browsers', 'chromium,firefox']],
    host: USER_HOST, manifests: { [CHROMIUM]: DEMO_CHROME, [FIREFOX]: DEMO_FIREFOX }, saved: [CHROMIUM] }],
  ['files put later into folders it made survive uninstall with those folders', {
    mode: ['--dest', 'opt/p11bridge'],
    steps: [['--browsers', 'chrome,firefox'], { put: 'opt/p11bridge/notes' }, { put: `${FIREFOX}/org.other.host.json` }],
    host: 'opt/p11bridge', manifests: { 'home/.config/google-chrome/NativeMessagingHosts': DEMO_CHROME, [FIREFOX]: DEMO_FIREFOX } }],
  ['a folder it made stays its own through a reinstall that found a foreign file in it', {
    steps: [[], { put: 'home/.config/vivaldi/NativeMessagingHosts/x.json' }, { put: `${USER_HOST}/notes` },
      ['--browsers', 'firefox'], { drop: 'home/.config/vivaldi/NativeMessagingHosts/x.json' }, { drop: `${USER_HOST}/notes` }],
    host: USER_HOST, manifests: { [FIREFOX]: DEMO_FIREFOX } }],
  ['a profile install touches only that Chromium user-data directory', {
    mode: ['--profile', 'profile'],
    steps: [['--chrome-extension-id', 'b'.repeat(32), '--chrome-extension-id', DEMO_ID],
      { put: 'profile/Default/Preferences' }],
    host: 'profile/p11bridge-host',
    manifests: { 'profile/NativeMessagingHosts': [`chrome-extension://${'b'.repeat(32)}/`, ...DEMO_CHROME] } }],
  ...[['--chrome-extension-id', 'not-an-id'], ['--firefox-extension-id', 'quote"injection'], ['--browsers', 'chromium,netscape'],
    ['--module', '/nonexistent/module.so'], ['--bogus-option'], ['--profile', 'profile', '--browsers', 'chromium']]
    .map((args) => [`${args.join(' ')} is refused before anything is written`, { refused: args }]),
];

// Every path under `dir` with its content, so "unchanged" means unchanged.
function snapshot(dir, entries = {}, d = dir) {
  for (const name of fs.readdirSync(d)) {
    const p = path.join(d, name);
    const st = fs.lstatSync(p);
    if (st.isDirectory()) snapshot(dir, Object.assign(entries, { [path.relative(dir, p) + '/']: '' }), p);
    else entries[path.relative(dir, p)] = st.isSymbolicLink() ? '-> ' + fs.readlinkSync(p) : fs.readFileSync(p, 'utf8');
  }
  return entries;
}

function put(box, file, text = OTHERS) {
  fs.mkdirSync(path.dirname(path.join(box, file)), { recursive: true });
  fs.writeFileSync(path.join(box, file), text);
}

for (const [name, c] of CASES) test(name, () => {
  const box = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-install-'));
  fs.mkdirSync(path.join(box, 'home'));
  fs.writeFileSync(path.join(box, 'built-host'), '#!/bin/sh\n', { mode: 0o755 });
  for (const [file, text] of Object.entries(c.seed ?? {})) put(box, file, text);
  const before = snapshot(box);
  const run = (...args) => spawnSync(INSTALLER, ['--host', 'built-host', '--module', MODULE, ...c.mode ?? [], ...args],
    { cwd: box, env: { ...process.env, HOME: path.join(box, 'home'), XDG_CONFIG_HOME: '' }, encoding: 'utf8' });
  if (c.refused) {
    const result = run(...c.refused);
    assert.notEqual(result.status, 0, 'accepted');
    assert.match(result.stderr, /^p11bridge-install: /);
    assert.deepEqual(snapshot(box), before, 'wrote files');
    return;
  }
  const foreign = new Set();
  for (const step of c.steps) {
    if (step.put) {
      put(box, step.put);
      foreign.add(step.put);
    } else if (step.drop) {
      fs.rmSync(path.join(box, step.drop));
      foreign.delete(step.drop);
    } else {
      const result = run(...step);
      assert.equal(result.status, 0, result.stderr);
    }
  }

  const after = snapshot(box);
  const hostFiles = ['p11bridge', 'p11bridge-pkcs11.so', '.p11bridge-install-receipt'].map((f) => `${c.host}/${f}`);
  const written = [...hostFiles, ...Object.keys(c.manifests).map((dir) => `${dir}/${MANIFEST}`),
    ...(c.saved ?? []).map((dir) => `${dir}/${MANIFEST}.p11bridge-saved`)];
  assert.deepEqual(Object.keys(after).filter((f) => !f.endsWith('/') && after[f] !== before[f] && !foreign.has(f)).sort(),
    written.sort());
  // A copy, not a link: the host finds its module beside its own executable.
  assert.equal(after[hostFiles[0]], before['built-host']);
  assert.ok(fs.statSync(path.join(box, hostFiles[0])).mode & 0o100);
  assert.equal(after[hostFiles[1]], '-> ' + MODULE);
  for (const [dir, allowed] of Object.entries(c.manifests)) {
    assert.deepEqual(JSON.parse(after[`${dir}/${MANIFEST}`]), {
      name: 'org.p11bridge.host', description: 'p11bridge: signs with a PKCS#11 smart card or token for listed web pages',
      path: path.join(box, c.host, 'p11bridge'), type: 'stdio',
      [dir === FIREFOX ? 'allowed_extensions' : 'allowed_origins']: allowed });
  }

  const uninstall = run('--uninstall');
  assert.equal(uninstall.status, 0, uninstall.stderr);
  const left = { ...before };
  for (const file of foreign) {
    left[file] = OTHERS;
    for (let d = path.dirname(file); d !== '.'; d = path.dirname(d)) left[d + '/'] = '';
  }
  assert.deepEqual(snapshot(box), left);
  fs.rmSync(box, { recursive: true, force: true });
});
