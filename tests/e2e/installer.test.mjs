// browser/p11bridge-install in a throw-away folder that is also HOME and the system's root: what it
// writes, what the manifests say, and that --uninstall takes away what it put there and nothing else.
// Run as root, it must also refuse whatever another user could change under it, /tmp included: so the
// throw-away folders go under TMPDIR, which CTest points at a folder in the build tree.
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
const RECEIPT = `${USER_HOST}/.p11bridge-install-receipt`;
const NOBODY = Number(spawnSync('id', ['-u', 'nobody'], { encoding: 'utf8' }).stdout);
const ROOT = process.getuid() === 0;
// The package's layout, under the throw-away root: installer, templates and host beside each other.
const PACKAGE = { 'usr/bin/p11bridge-install': INSTALLER, 'usr/share/p11bridge/manifests': path.join(INSTALLER, '../manifests'),
  'usr/lib/x86_64-linux-gnu/p11bridge/p11bridge': 'built-host' };
process.umask(0o077); // what it writes for every user's browser must not depend on the umask

// Each case: files there before (seed, and perms: made another user's, given a mode, or made a link
// of root's to '->TARGET'); steps: installs (argument lists, each after `mode`) and foreign files or
// links (another user's) put or dropped between them, or lines appended to the receipt; what the last
// install must have written (host folder, manifests with the IDs they allow, manifests it set aside);
// then --uninstall with `mode`, after which the seed and the foreign files still there must be all
// that is left, with their folders, and it must have said what it left (warns). A refused case writes
// nothing but what its `race` command (run between the installer's checks and its first write)
// `made`. Cases marked root need root.
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
  ...[[{ 'opt/': NOBODY }, '--dest', 'opt/p11bridge'], [{ 'profile/': 0o777 }, '--profile', 'profile'], [{ [RECEIPT]: NOBODY }],
    [{ 'mod/p11.so': 0o644, 'mod/': 0o775 }, '--module', 'mod/p11.so'], [{ 'mod/p11.so': NOBODY }, '--module', 'mod/p11.so'],
    // In a sticky folder another user can still take the name first.
    [{ 'tmp/': 0o1777 }, '--dest', 'tmp/p11bridge'], [{ 'tmp/': 0o1777 }, '--profile', 'tmp/profile'],
    [{ 'tmp/p11.so': 0o644, 'tmp/': 0o1777 }, '--module', 'tmp/p11.so'],
    // A link is as safe as what it leads to, each hop of the way.
    [{ 'theirs/': NOBODY, opt: '->theirs' }, '--dest', 'opt/p11bridge'],
    [{ 'mod/p11.so': NOBODY, 'lib.so': '->mod/p11.so' }, '--module', 'lib.so'],
    [{ 'mod/p11.so': 0o644, 'theirs/': NOBODY, 'theirs/p11.so': '->../mod/p11.so', 'lib.so': '->theirs/p11.so' },
      '--module', 'lib.so']]
    .map(([perms, ...args]) => {
      const [file, how] = Object.entries(perms).at(-1);
      return [`run as root, ${args.join(' ') || 'an install'} is refused when ${file} ${how === NOBODY ? 'is another user\'s'
        : typeof how === 'string' ? `is a link to ${how.slice(2)}` : how & 0o1000 ? 'is a sticky folder all can write'
          : 'is writable by others'}`,
      { root: true, perms, refused: args, why: /^p11bridge-install: refusing .*(owned by nobody|writable by group or others)/ }];
    }),
  // What another user could do between the checks and the first write, had they a folder to do it in.
  ['a destination made by someone else after it was checked stops the install', {
    race: 'mkdir -p opt/p11bridge', made: { 'opt/': '', 'opt/p11bridge/': '' }, refused: ['--dest', 'opt/p11bridge'],
    why: /^p11bridge-install: refusing .*opt\/p11bridge: it appeared after it was checked/ }],
  ['run as root, a destination made writable by others after it was checked stops the install', {
    root: true, perms: { 'opt/p11bridge/': 0o755 }, race: 'chmod 777 opt/p11bridge', refused: ['--dest', 'opt/p11bridge'],
    why: /^p11bridge-install: refusing .*opt\/p11bridge: .*writable by group or others/ }],
  ['a link put where the receipt goes after the checks is neither followed nor replaced', {
    seed: { victim: OTHERS }, perms: { 'opt/p11bridge/': 0o755 }, race: 'ln -s ../../victim opt/p11bridge/.p11bridge-install-receipt',
    made: { 'opt/p11bridge/.p11bridge-install-receipt': '-> ../../victim' }, refused: ['--dest', 'opt/p11bridge'],
    why: /^p11bridge-install: refusing .*receipt: something is already there/ }],
  ['a receipt naming paths this install does not write, or reaching them through "..", is not obeyed', {
    seed: { victim: OTHERS, 'victim.p11bridge-saved': 'planted\n' }, perms: { 'empty/': 0o755 },
    steps: [['--browsers', 'firefox'], { append: RECEIPT, text: `file\t@/built-host\nsaved\t@/victim\ndir\t@/empty\n${
      ['file', 'dir'].map((kind) => `${kind}\t@/${USER_HOST}/../../../../${kind === 'file' ? 'victim' : 'empty'}\n`).join('')}` }],
    host: USER_HOST, manifests: { [FIREFOX]: DEMO_FIREFOX }, warns: /ignoring file .*built-host in the receipt/ }],
  ['run as root, links another user put in place of what it made are neither followed nor removed', {
    root: true, seed: { [`elsewhere/${MANIFEST}`]: OTHERS },
    steps: [['--browsers', 'vivaldi,firefox'], { link: 'home/.config/vivaldi/NativeMessagingHosts', to: 'elsewhere' },
      { link: `${FIREFOX}/${MANIFEST}`, to: 'victim' }], host: USER_HOST, manifests: {}, warns: /leaving .*vivaldi.*nobody/ }],
  ['a system install writes folders and files every user can read', {
    root: true, mode: ['--system'], steps: [[]], host: 'usr/local/lib/p11bridge', manifests: Object.fromEntries(
      ['etc/chromium', 'etc/opt/chrome', 'etc/opt/edge'].map((d) => [`${d}/native-messaging-hosts`, DEMO_CHROME])
        .concat([['usr/lib/mozilla/native-messaging-hosts', DEMO_FIREFOX]])) }],
  ['a system install from the package finds the packaged host', {
    root: true, packaged: true, mode: ['--system', '--browsers', 'firefox'], steps: [[]], host: 'usr/local/lib/p11bridge',
    manifests: { 'usr/lib/mozilla/native-messaging-hosts': DEMO_FIREFOX } }],
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

for (const [name, c] of CASES) test(name, { skip: c.root && !ROOT && 'needs root' }, (t) => {
  fs.mkdirSync(os.tmpdir(), { recursive: true });
  const box = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-install-'));
  t.after(() => fs.rmSync(box, { recursive: true, force: true }));
  fs.mkdirSync(path.join(box, 'home'));
  fs.writeFileSync(path.join(box, 'built-host'), '#!/bin/sh\n', { mode: 0o755 });
  for (const [file, text] of Object.entries(c.seed ?? {})) put(box, file, text);
  for (const [to, from] of Object.entries(c.packaged ? PACKAGE : {})) {
    fs.cpSync(path.resolve(box, from), path.join(box, to), { recursive: true });
  }
  for (const [file, how] of Object.entries(c.perms ?? {})) {
    if (typeof how === 'string') {
      fs.symlinkSync(how.slice(2), path.join(box, file));
      continue;
    }
    if (file.endsWith('/')) fs.mkdirSync(path.join(box, file), { recursive: true }); else put(box, file);
    if (how === NOBODY) fs.chownSync(path.join(box, file), NOBODY, NOBODY); else fs.chmodSync(path.join(box, file), how);
  }
  const before = snapshot(box);
  const run = (...args) => spawnSync(c.packaged ? path.join(box, 'usr/bin/p11bridge-install') : INSTALLER,
    [...c.packaged ? [] : ['--host', 'built-host'], '--module', MODULE, ...c.mode ?? [], ...args], { cwd: box, encoding: 'utf8',
      env: { ...process.env, HOME: path.join(box, 'home'), XDG_CONFIG_HOME: '', P11BRIDGE_INSTALL_ROOT: box,
        P11BRIDGE_INSTALL_TEST_RACE: c.race ?? '' } });
  if (c.refused) {
    const result = run(...c.refused);
    assert.notEqual(result.status, 0, 'accepted');
    assert.match(result.stderr, c.why ?? /^p11bridge-install: /);
    return assert.deepEqual(snapshot(box), { ...before, ...c.made }, 'wrote files');
  }
  const foreign = new Map();
  for (const step of c.steps) {
    if (step.put) {
      put(box, step.put);
      foreign.set(step.put, OTHERS);
    } else if (step.append) {
      fs.appendFileSync(path.join(box, step.append), step.text.replaceAll('@', box));
    } else if (step.link) {
      fs.rmSync(path.join(box, step.link), { recursive: true });
      fs.symlinkSync(path.join(box, step.to), path.join(box, step.link));
      fs.lchownSync(path.join(box, step.link), NOBODY, NOBODY);
      foreign.set(step.link, `-> ${path.join(box, step.to)}`);
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
  assert.equal(after[hostFiles[1]], '-> ' + MODULE);
  for (const [dir, allowed] of Object.entries(c.manifests)) {
    assert.deepEqual(JSON.parse(after[`${dir}/${MANIFEST}`]), {
      name: 'org.p11bridge.host', description: 'p11bridge: signs with a PKCS#11 smart card or token for listed web pages',
      path: path.join(box, c.host, 'p11bridge'), type: 'stdio',
      [dir.includes('mozilla') ? 'allowed_extensions' : 'allowed_origins']: allowed });
  }
  // Other users' browsers read the manifests and start the host: the umask must not keep them out.
  for (const [file, mode] of [[hostFiles[0], 0o755], ...Object.keys(c.manifests).map((dir) => [`${dir}/${MANIFEST}`, 0o644])]) {
    assert.equal(fs.statSync(path.join(box, file)).mode & 0o7777, mode, file);
    for (let d = path.dirname(file); d !== '.' && !(`${d}/` in before); d = path.dirname(d)) {
      assert.equal(fs.statSync(path.join(box, d)).mode & 0o7777, 0o755, d);
    }
  }

  const uninstall = run('--uninstall');
  assert.equal(uninstall.status, 0, uninstall.stderr);
  const left = { ...before };
  for (const [file, text] of foreign) {
    left[file] = text;
    for (let d = path.dirname(file); d !== '.'; d = path.dirname(d)) left[d + '/'] = '';
  }
  assert.deepEqual(snapshot(box), left);
  if (c.warns) assert.match(uninstall.stderr, c.warns);
});
