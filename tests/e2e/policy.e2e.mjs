// Chromium under the managed policy docs/deploying.md has a deployment install,
// browser/policies/chromium-native-messaging.json: the extension still starts the host, the one
// registered system-wide, and a policy that allows only some other host stops it.
//
//   node tests/e2e/policy.e2e.mjs --host BUILD/src/host/p11bridge --sign-tool BUILD/tools/sign-domains/p11bridge-sign-domains
//
// Chromium reads managed policy only from /etc/chromium/policies/managed, so the test runs itself
// again in a mount namespace of its own with a private copy of /etc/chromium over the real one:
// nothing system-wide is written. Exits 77 when Chromium, puppeteer-core or that namespace is
// missing.
import { it, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { REPO, BROWSERS, NODE_MODULES, launchWithExtension, processesOf, waitFor } from '../../scripts/lib/browser.mjs';
import { startDemoServer } from '../../scripts/lib/demo-server.mjs';
import { openDemo } from '../../scripts/lib/signing-road.mjs';

const SKIP = 77;
const ETC = '/etc/chromium';
const { values: args } = parseArgs({ options: { host: { type: 'string' }, 'sign-tool': { type: 'string' } } });
if (!args.host || !args['sign-tool']) {
  console.error('usage: policy.e2e.mjs --host PATH --sign-tool PATH');
  process.exit(2);
}
for (const [needed, missing] of [[BROWSERS.chromium.executable, 'apt-get install chromium'],
  [path.join(NODE_MODULES, 'puppeteer-core'), `npm ci in ${path.dirname(NODE_MODULES)}`], [ETC, 'Debian\'s chromium']]) {
  if (!fs.existsSync(needed)) {
    console.log(`SKIP: ${needed} is missing (${missing}).`);
    process.exit(SKIP);
  }
}

const work = process.env.P11BRIDGE_POLICY_WORK;
if (!work) {
  // Outside the namespace: make the private /etc/chromium, then run again inside.
  const outer = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-policy-'));
  fs.cpSync(ETC, path.join(outer, 'etc-chromium'), { recursive: true });
  const unshare = ['--mount', '--propagation', 'private', ...(process.getuid() === 0 ? [] : ['--user', '--map-root-user'])];
  if (spawnSync('unshare', [...unshare, 'true']).status !== 0) {
    console.log(`SKIP: unshare ${unshare.join(' ')} is not permitted here.`);
    process.exit(SKIP);
  }
  const inner = spawnSync('unshare', [...unshare, process.execPath, fileURLToPath(import.meta.url), ...process.argv.slice(2)],
    { stdio: 'inherit', env: { ...process.env, P11BRIDGE_POLICY_WORK: outer } });
  fs.rmSync(outer, { recursive: true, force: true });
  process.exit(inner.status ?? 1);
}

execFileSync('mount', ['--bind', path.join(work, 'etc-chromium'), ETC]);
const run = (command, ...rest) => execFileSync(command, rest, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const profile = path.join(work, 'profile');
// One copy of the host registered system-wide, as the package does, and one in the profile, as a
// user could without the administrator: which one runs shows which registration Chromium took.
const systemHost = path.join(work, 'system/p11bridge');
const userHost = path.join(work, 'user/p11bridge');
const install = ['--host', path.resolve(args.host), '--module', '/usr/lib/softhsm/libsofthsm2.so'];
run(path.join(REPO, 'browser/p11bridge-install'), '--system', '--browsers', 'chromium', '--dest', path.dirname(systemHost), ...install);
run(path.join(REPO, 'browser/p11bridge-install'), '--profile', profile, '--dest', path.dirname(userHost), ...install);
run(path.join(REPO, 'scripts/lib/provision-token.sh'), path.join(work, 'token'), '--cn', 'p11bridge policy test');
run(path.join(REPO, 'scripts/lib/write-demo-config.sh'), path.join(work, 'demo-config.json'), 'localhost',
  path.join(REPO, 'tests/data/domain-list-key.DEVELOPMENT-ONLY.pem'), path.resolve(args['sign-tool']));
const server = await startDemoServer({ root: path.join(REPO, 'browser/demo'), config: path.join(work, 'demo-config.json') });
after(() => server.close());
const running = () => [systemHost, userHost].filter((h) => processesOf(h).length > 0);

const deployment = JSON.parse(fs.readFileSync(path.join(REPO, 'browser/policies/chromium-native-messaging.json')));
// Policy written to /etc/chromium/policies/managed; the host that must run, if any; what the page says,
// and the page library's connect.
const cases = [
  ['without a policy, the host the user registered runs', null, userHost, /^Connected/, 'connected'],
  ['the deployment\'s policy starts the system-wide host and no other', deployment, systemHost, /^Connected/, 'connected'],
  ['a policy that allows only another host refuses ours', { ...deployment, NativeMessagingAllowlist: ['org.example.other'] },
    null, /disabled by the system administrator/, 'hostBlocked'],
  ['a policy that blocks our host refuses it', { NativeMessagingBlocklist: ['org.p11bridge.host'] },
    null, /disabled by the system administrator/, 'hostBlocked'],
];

for (const [name, policy, host, connection, verdict] of cases) {
  it(name, async () => {
    const managed = path.join(ETC, 'policies/managed');
    fs.rmSync(managed, { recursive: true, force: true });
    fs.mkdirSync(managed, { recursive: true });
    if (policy) fs.writeFileSync(path.join(managed, 'p11bridge.json'), JSON.stringify(policy));
    const browser = await launchWithExtension({ dir: profile, env: { SOFTHSM2_CONF: path.join(work, 'token/softhsm2.conf') } });
    try {
      const page = await browser.newPage();
      const state = await openDemo(page, `http://localhost:${server.port}/`);
      assert.match(state.connection, connection);
      assert.equal(await page.evaluate(async () => (await import('/p11bridge.js')).connect()
        .then(() => 'connected', (e) => e.name)), verdict);
      if (host) assert.match(state.certificates[0]?.subject ?? '', /CN=p11bridge policy test/);
      assert.deepEqual(await waitFor(() => running().length > 0 && running(), { timeout: 2000 }) || [], host ? [host] : []);
    } finally {
      await browser.close();
      await waitFor(() => running().length === 0);
    }
  });
}
