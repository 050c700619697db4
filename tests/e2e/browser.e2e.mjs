// The host, the extension and the demo page together in a real browser:
//
//   node tests/e2e/browser.e2e.mjs [--browser chromium|firefox] --host BUILD/src/host/p11bridge \
//        --sign-tool BUILD/tools/sign-domains/p11bridge-sign-domains [--out DIR]
//
// (or P11BRIDGE_HOST, P11BRIDGE_SIGN_TOOL, P11BRIDGE_E2E_OUT). Both browsers
// walk the same road. Exits 77 when the browser or the npm packages are
// missing, so CTest reports a skip.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { REPO, BROWSERS, NODE_MODULES, launchWithExtension, processesOf, waitFor } from '../../scripts/lib/browser.mjs';
import { startDemoServer } from '../../scripts/lib/demo-server.mjs';
import { openDemo, readState, typePin, erasePin, sign } from '../../scripts/lib/signing-road.mjs';

const SKIP = 77;
const { values: args } = parseArgs({
  options: {
    browser: { type: 'string', default: 'chromium' },
    host: { type: 'string' }, 'sign-tool': { type: 'string' }, out: { type: 'string' },
  },
});
const hostBinary = args.host ?? process.env.P11BRIDGE_HOST;
const signTool = args['sign-tool'] ?? process.env.P11BRIDGE_SIGN_TOOL;
const outDir = path.resolve(args.out ?? process.env.P11BRIDGE_E2E_OUT ?? path.join(REPO, 'out/e2e'));

const kind = BROWSERS[args.browser];
if (!kind || !hostBinary || !signTool) {
  console.error('usage: browser.e2e.mjs [--browser chromium|firefox] --host PATH --sign-tool PATH [--out DIR]');
  process.exit(2);
}
if (!fs.existsSync(kind.executable)) {
  console.log(`SKIP: ${kind.executable} is not installed (apt-get install ${path.basename(kind.executable)}).`);
  process.exit(SKIP);
}
if (!fs.existsSync(path.join(NODE_MODULES, 'puppeteer-core'))) {
  console.log(`SKIP: puppeteer-core is not installed (run npm ci in ${path.dirname(NODE_MODULES)}).`);
  process.exit(SKIP);
}

const RIGHT_PIN = '4711';
const WRONG_PIN = '9999';
const SIGNER = 'p11bridge E2E Signer';
const TEXT = 'I agree to the terms of the p11bridge demo.';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-e2e-'));
const tokenDir = path.join(work, 'token');
// The browser's own folder: Chromium's profile, or Firefox's HOME.
const browserDir = path.join(work, args.browser);
const hostDir = path.join(work, 'host');
const installedHost = path.join(hostDir, 'p11bridge');
let server;
let browser;

function run(command, commandArgs, env = {}) {
  const options = { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } };
  return execFileSync(command, commandArgs, options);
}

async function shot(page, name) {
  fs.mkdirSync(outDir, { recursive: true });
  await page.screenshot({ path: path.join(outDir, `${args.browser}-${name}`), fullPage: true });
}

before(async () => {
  run(path.join(REPO, 'scripts/lib/provision-token.sh'), [tokenDir, '--pin', RIGHT_PIN, '--cn', SIGNER]);
  const config = path.join(work, 'demo-config.json');
  run(path.join(REPO, 'scripts/lib/write-demo-config.sh'), [config, 'localhost',
    path.join(REPO, 'tests/data/domain-list-key.DEVELOPMENT-ONLY.pem'), path.resolve(signTool)]);
  run(path.join(REPO, 'browser/p11bridge-install'), [...kind.install(browserDir), '--dest', hostDir,
    '--host', path.resolve(hostBinary), '--module', '/usr/lib/softhsm/libsofthsm2.so'], kind.env(browserDir));
  server = await startDemoServer({ root: path.join(REPO, 'browser/demo'), config });
  browser = await launchWithExtension({
    browser: args.browser,
    dir: browserDir,
    env: { SOFTHSM2_CONF: path.join(tokenDir, 'softhsm2.conf') },
  });
});

after(async () => {
  await browser?.close();
  await server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

describe('a page on a listed domain signs with the token', () => {
  let page;
  const url = () => `http://localhost:${server.port}/`;

  before(async () => {
    page = await browser.newPage();
  });

  it('lists the token\'s signing certificate', async () => {
    const state = await openDemo(page, url());
    assert.equal(state.connectionState, 'ok', state.connection);
    assert.equal(state.hostCode, '0', state.hostState);
    assert.equal(state.certificates.length, 1);
    assert.match(state.certificates[0].subject, new RegExp(`CN=${SIGNER}`));
    assert.match(state.certificates[0].issuer, new RegExp(`CN=${SIGNER}`));
    assert.notEqual(state.certificates[0].id, '');
  });

  it('asks for the PIN when signing without one', async () => {
    const state = await sign(page);
    assert.equal(state.hostCode, '11');
    assert.match(state.hostState, /needs its PIN/);
    assert.equal(state.signature, '');
  });

  it('sends the PIN key by key and shows only dots', async () => {
    await typePin(page, WRONG_PIN);
    await erasePin(page, 1);
    assert.equal((await readState(page)).pinField, '•••');
    await typePin(page, WRONG_PIN.slice(-1));
    assert.equal((await readState(page)).pinField, '••••');
    const html = await page.content();
    assert.ok(!html.includes(WRONG_PIN), 'the PIN shows in the page');
    assert.doesNotMatch(html, /"pinChar":"[^•]/, 'a PIN character shows in the page');
  });

  it('shows the token\'s refusal of a wrong PIN and the count of refusals', async () => {
    const state = await sign(page);
    assert.equal(state.hostCode, '5');
    assert.match(state.hostState, /refused the PIN/);
    assert.ok(state.hostDetails.includes('PINs refused so far: 1'), state.hostDetails.join('\n'));
    assert.equal(state.signature, '');
    assert.equal(state.pinField, '', 'the typed PIN went to the token');
  });

  it('refuses the same wrong PIN again without trying the token', async () => {
    await typePin(page, WRONG_PIN);
    const state = await sign(page);
    assert.equal(state.hostCode, '5');
    assert.ok(state.hostDetails.includes('PINs refused so far: 1'), state.hostDetails.join('\n'));
  });

  it('signs with the right PIN, and the signature verifies in the page and outside it', async () => {
    await typePin(page, RIGHT_PIN);
    const state = await sign(page);
    assert.equal(state.hostCode, '0', `${state.hostState} ${state.hostDetails.join(' ')}`);
    assert.equal(state.verificationState, 'ok', state.verification);
    await shot(page, 'signed.png');
    // The page's check could be wrong in the same way as the signature, so
    // check it once more with the certificate the token was given.
    const certificate = fs.readFileSync(path.join(tokenDir, 'cert.pem'));
    const good = crypto.verify('sha256', Buffer.from(TEXT), certificate, Buffer.from(state.signature, 'base64'));
    assert.ok(good, 'the signature does not verify with the token\'s certificate');
  });

  it('keeps one host for the tab and ends it when the tab closes', async () => {
    assert.equal(processesOf(installedHost).length, 1);
    await page.close();
    const gone = await waitFor(() => processesOf(installedHost).length === 0);
    assert.ok(gone, 'the host is still running after its tab closed');
  });
});

describe('a page whose domain is not on the list is refused', () => {
  let page;

  before(async () => {
    page = await browser.newPage();
  });

  after(async () => {
    await page?.close();
  });

  it('shows code 9 on 127.0.0.1', async () => {
    const state = await openDemo(page, `http://127.0.0.1:${server.port}/`);
    assert.equal(state.hostCode, '9', state.hostState);
    assert.match(state.hostState, /not on the signed list/);
    assert.equal(state.certificates.length, 0);
    await shot(page, 'refused-domain.png');
  });

  it('still shows code 9 when the page claims the listed domain', async () => {
    const claimed = `http://localhost:${server.port}`;
    const state = await openDemo(page, `http://127.0.0.1:${server.port}/?claim=${encodeURIComponent(claimed)}`);
    assert.ok(state.log.includes(`"currentDomain":"${claimed}"`), 'the page did not make its claim');
    assert.equal(state.hostCode, '9', state.hostState);
    assert.equal(state.certificates.length, 0);
    await shot(page, 'refused-claim.png');
  });

  it('ends the host when the page navigates away', async () => {
    // The host of the page before the last navigation may still be on its way out.
    assert.ok(await waitFor(() => processesOf(installedHost).length === 1), 'not exactly one host for the tab');
    await page.goto('about:blank');
    const gone = await waitFor(() => processesOf(installedHost).length === 0);
    assert.ok(gone, 'the host is still running after its page went away');
  });
});
