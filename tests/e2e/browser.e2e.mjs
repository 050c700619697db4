// The host, the extension and the demo page together in a real browser:
//
//   node tests/e2e/browser.e2e.mjs [--browser chromium|firefox] [--token softhsm|card] \
//        [--card-key rsa|ec256|ec384] --host BUILD/src/host/p11bridge --sign-tool BUILD/tools/sign-domains/p11bridge-sign-domains [--out DIR]
//
// (or P11BRIDGE_HOST, P11BRIDGE_SIGN_TOOL, P11BRIDGE_E2E_OUT). Both browsers
// walk the same road, on a SoftHSM2 token or on tests/card's virtual PIV card
// through OpenSC, whose signing key needs the PIN for each use (an RSA key, or
// with --card-key an EC one, whose signature the page checks with WebCrypto). Exits 77 when
// the browser, the npm packages or what the card needs are missing, so CTest
// reports a skip.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
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
    browser: { type: 'string', default: 'chromium' }, token: { type: 'string', default: 'softhsm' },
    'card-key': { type: 'string', default: 'rsa' },
    host: { type: 'string' }, 'sign-tool': { type: 'string' }, out: { type: 'string' },
  },
});
const hostBinary = args.host ?? process.env.P11BRIDGE_HOST;
const signTool = args['sign-tool'] ?? process.env.P11BRIDGE_SIGN_TOOL;
const outDir = path.resolve(args.out ?? process.env.P11BRIDGE_E2E_OUT ?? path.join(REPO, 'out/e2e'));

const kind = BROWSERS[args.browser];
const CURVES = { ec256: 'prime256v1', ec384: 'secp384r1' };
if (!kind || !['softhsm', 'card'].includes(args.token) || !hostBinary || !signTool ||
    !(args['card-key'] === 'rsa' || Object.hasOwn(CURVES, args['card-key']))) {
  console.error('usage: browser.e2e.mjs [--browser chromium|firefox] [--token softhsm|card] --host PATH '
    + '--sign-tool PATH [--out DIR]');
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

const card = args.token === 'card';
const RIGHT_PIN = card ? '123456' : '4711';
const WRONG_PIN = '9999';
const SIGNER = card ? 'card sign' : 'p11bridge E2E Signer';
const MODULE = card ? '/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so' : '/usr/lib/softhsm/libsofthsm2.so';
const TEXT = 'I agree to the terms of the p11bridge demo.';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-e2e-'));
const config = path.join(work, 'demo-config.json');
const tokenDir = path.join(work, 'token');
const signerCert = card ? path.join(tokenDir, 'sign.der') : path.join(tokenDir, 'cert.pem');
// The browser's own folder: Chromium's profile, or Firefox's HOME.
const browserDir = path.join(work, args.browser);
const hostDir = path.join(work, 'host');
const installedHost = path.join(hostDir, 'p11bridge');
let server;
let browser;
let stack;
if (card) {
  // It makes the card's keys and certificates in tokenDir, and stops when its input ends.
  const status = path.join(tokenDir, 'status');
  fs.mkdirSync(tokenDir);
  fs.writeFileSync(status, '');
  // An EC card holds its signing key alone, made here; the stack makes the RSA card itself.
  const curve = CURVES[args['card-key']];
  if (curve) {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', `ec_paramgen_curve:${curve}`, '-nodes',
      '-keyout', 'sign.key.pem', '-subj', `/CN=${SIGNER}`, '-days', '2', '-outform', 'DER', '-out', 'sign.der',
      '-addext', 'keyUsage=critical,digitalSignature,nonRepudiation'], { cwd: tokenDir, stdio: 'ignore' });
  }
  const cards = curve ? [`${RIGHT_PIN},${signerCert},${path.join(tokenDir, 'sign.key.pem')},,`] : [];
  stack = spawn(path.join(REPO, 'tests/card/card-stack.sh'), [tokenDir, ...cards],
    { stdio: ['pipe', 'ignore', 'inherit'] });
  const said = () => /^(ready|skip.*|fail.*)$/m.exec(fs.readFileSync(status, 'utf8'))?.[1];
  await waitFor(() => said() || stack.exitCode !== null, { timeout: 180000 });
  const answer = said() ?? `fail: the card stack did not start, see ${tokenDir}`;
  if (answer !== 'ready') {
    console.log(answer.replace(/^skip:/, 'SKIP:'));
    if (answer.startsWith('skip')) fs.rmSync(work, { recursive: true, force: true });
    process.exit(answer.startsWith('skip') ? SKIP : 1);
  }
}

function run(command, commandArgs, env = {}) {
  const options = { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } };
  return execFileSync(command, commandArgs, options);
}

async function shot(page, name) {
  fs.mkdirSync(outDir, { recursive: true });
  await page.screenshot({ path: path.join(outDir, `${args.browser}-${name}`), fullPage: true });
}

before(async () => {
  if (!card) run(path.join(REPO, 'scripts/lib/provision-token.sh'), [tokenDir, '--pin', RIGHT_PIN, '--cn', SIGNER]);
  run(path.join(REPO, 'scripts/lib/write-demo-config.sh'), [config, 'localhost',
    path.join(REPO, 'tests/data/domain-list-key.DEVELOPMENT-ONLY.pem'), path.resolve(signTool)]);
  run(path.join(REPO, 'browser/p11bridge-install'), [...kind.install(browserDir), '--dest', hostDir,
    '--host', path.resolve(hostBinary), '--module', MODULE], kind.env(browserDir));
  server = await startDemoServer({ root: path.join(REPO, 'browser/demo'), config,
    pages: { '/hostile.html': '<!doctype html><title>Not the demo</title>' } });
  browser = await launchWithExtension({
    browser: args.browser,
    dir: browserDir,
    env: card ? { PCSCLITE_CSOCK_NAME: path.join(tokenDir, 'run/pcscd/pcscd.comm') }
      : { SOFTHSM2_CONF: path.join(tokenDir, 'softhsm2.conf') },
  });
});

after(async () => {
  await browser?.close();
  await server?.close();
  stack?.stdin.end();
  await new Promise((resolve) => (stack && stack.exitCode === null ? stack.on('exit', resolve) : resolve()));
  fs.rmSync(work, { recursive: true, force: true });
});

let certId;

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
    certId = state.certificates[0].id;
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

  function assertSigned(state) {
    assert.equal(state.hostCode, '0', `${state.hostState} ${state.hostDetails.join(' ')}`);
    assert.equal(state.verificationState, 'ok', state.verification);
    // The page's check could be wrong in the same way as the signature, so
    // check it once more with the certificate the token was given.
    const { publicKey } = new crypto.X509Certificate(fs.readFileSync(signerCert));
    const good = crypto.verify('sha256', Buffer.from(TEXT), { key: publicKey, dsaEncoding: 'ieee-p1363' },
      Buffer.from(state.signature, 'base64'));
    assert.ok(good, 'the signature does not verify with the token\'s certificate');
  }

  it('signs with the right PIN, and the signature verifies in the page and outside it', async () => {
    await typePin(page, RIGHT_PIN);
    assertSigned(await sign(page));
    await shot(page, 'signed.png');
  });

  it('signs again with the PIN it holds, or asks for it again where the key needs it for each use', async () => {
    let state = await sign(page);
    if (card) {
      assert.equal(state.hostCode, '11', 'the card signed without a PIN typed for that signature');
      assert.match(state.hostState, /needs its PIN/);
      await typePin(page, RIGHT_PIN);
      state = await sign(page);
    }
    assertSigned(state);
  });

  // A page the browser keeps for Back must not keep its host: that would keep the PIN for the page's return.
  it('ends the host when the page is left by a link, and a page brought Back learns it and waits for nothing', async () => {
    assert.equal(processesOf(installedHost).length, 1);
    await page.evaluate(() => {
      window.p11bridgeKept = true;
      document.body.append(Object.assign(document.createElement('a'), { id: 'away', href: '/hostile.html', text: 'away' }));
    });
    await Promise.all([page.waitForNavigation(), page.click('#away')]);
    assert.ok(await waitFor(() => processesOf(installedHost).length === 0), 'the host outlived its page');
    // Not page.goBack(): under Firefox it waits for a load that a page from the cache never has.
    await page.evaluate(() => history.back());
    const kept = await waitFor(() => page.evaluate(() => window.p11bridgeKept === true).catch(() => false));
    assert.ok(kept, 'the browser did not keep the page for Back');
    await page.waitForFunction(() => document.querySelector('#connection-state').textContent.includes('host ended'),
      { timeout: 20000 });
    const state = await sign(page);
    assert.match(state.hostState, /hostEnded/);
    assert.equal(state.signature, '');
  });

  it('keeps one host for the tab and ends it when the tab closes', async () => {
    // In a new tab: under Firefox, Puppeteer loses the navigations of a tab that went Back into the cache.
    await page.close();
    page = await browser.newPage();
    assert.equal((await openDemo(page, url())).hostCode, '0');
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

// A name in lone surrogates, 0xDC00 plus each byte: a host that keeps only the
// low byte of a \u escape and takes the first member of a name reads it as the
// name itself, ahead of the member the extension wrote.
const hide = (name) => [...name].map((c) => String.fromCharCode(0xdc00 | c.charCodeAt(0))).join('');

// Each row: what the page sends, in turn (or from a frame), and what the answers must say.
function hostileCases({ listed, signature }) {
  const init = { command: 0, domains: 'localhost', signature, caSubjectNames: '' };
  const [LIST, FETCH] = [{ command: 2 }, { command: 4, certId }];
  const SIGN = { command: 5, certId, digest: 'A'.repeat(43) + '=' };
  return [
    ['claims the listed domain', [{ ...init, currentDomain: listed }, LIST, FETCH, SIGN], /"lastError":9/],
    ['hides "currentDomain" in lone surrogates', [{ [hide('currentDomain')]: listed, ...init }, LIST], /"lastError":9/],
    ['ends "currentDomain" with a NUL', [{ 'currentDomain\0': listed, ...init }, SIGN], /"lastError":9/],
    ['hides an Initialize behind another command',
      [{ [hide('command')]: 0, ...init, command: 7, currentDomain: listed }, LIST], /Not initialized/],
    ['hides an Initialize in a fetch', [{ [hide('command')]: 0, ...init, ...FETCH, currentDomain: listed }, FETCH],
      /Not initialized/],
    ['sends a JSON text with the member twice',
      [`{"command":0,"currentDomain":"${listed}","currentDomain":"${listed}"}`, LIST], /must be a JSON object/],
    ['sends the list as an array', [{ ...init, domains: ['localhost'] }, LIST], /domains\W+must be a string/],
    ['nests the claim in an object', [{ ...init, caSubjectNames: { currentDomain: listed } }, LIST],
      /caSubjectNames\W+must be a string/],
    ['leaves the signature out', [{ ...init, signature: undefined, currentDomain: listed }, LIST],
      /needs the member\W+signature/],
    ['sends a number for a PIN key and null for the hash', [{ command: 6, pinChar: 4 }, { ...SIGN, digest: null }],
      /pinChar\W+must be a string.*digest\W+must be a string/],
    ['sends the command as a string', [{ ...init, command: '0', currentDomain: listed }, LIST], /Unknown command/],
    ['asks from a second tab while the listed page is open', [LIST, FETCH], /Not initialized/],
    // No content script runs there to pass anything on, so no answer comes.
    ['asks from a frame of the listed page inside its own', [{ ...init, currentDomain: listed }, LIST],
      /^\[{"silence":true}/, 'in a frame'],
  ];
}

// Runs in the page: sends each request and waits for its answer (or notes none).
async function ask(requests, patience) {
  const one = (message, i) => new Promise((resolve) => {
    const id = `hostile-${i}`;
    window.addEventListener('message', ({ data }) => {
      if (data?.direction === 'to-page' && data.type === 'reply' && data.id === id) {
        resolve({ reply: data.reply, error: data.error, refused: data.refused });
      }
    });
    setTimeout(() => resolve({ silence: true }), patience);
    window.postMessage({ channel: 'p11bridge', direction: 'to-extension', type: 'request', id, message }, '*');
  });
  const answers = [];
  for (const [i, message] of JSON.parse(requests).entries()) answers.push(await one(message, i));
  return answers;
}

describe('a hostile page on a domain not on the list cannot list, fetch or sign', () => {
  let listedTab;
  let page;
  const listed = () => `http://localhost:${server.port}`;

  before(async () => {
    // Open in its own tab all along: its host must serve no one else.
    listedTab = await browser.newPage();
    assert.equal((await openDemo(listedTab, `${listed()}/`)).hostCode, '0');
    page = await browser.newPage();
  });

  after(async () => {
    await page?.close();
    await listedTab?.close();
  });

  it('is refused by the extension or told code 9 by the host', async (t) => {
    const { signature } = JSON.parse(fs.readFileSync(config, 'utf8'));
    for (const [title, requests, expected, how] of hostileCases({ listed: listed(), signature })) {
      const inFrame = how === 'in a frame';
      await t.test(title, async () => {
        await page.goto(`http://127.0.0.1:${server.port}/hostile.html`);
        let frame = page.mainFrame();
        if (inFrame) {
          await page.evaluate((src) => document.body.append(Object.assign(document.createElement('iframe'), { src })),
            `${listed()}/hostile.html`);
          frame = await page.waitForFrame((f) => f.url().startsWith(listed()));
        }
        // As JSON text, so that lone surrogates reach the page unchanged.
        const answers = JSON.stringify(await frame.evaluate(ask, JSON.stringify(requests), inFrame ? 2000 : 20000));
        assert.doesNotMatch(answers, /"(certificates?|pkcs1)":"[^"]/, answers);
        assert.match(answers, expected, answers);
      });
    }
  });
});

// Runs in the page, through the page library: each step's outcome, or the name of its error.
async function libraryRoad(steps, { domains, signature }) {
  const { connect } = await import('/p11bridge.js');
  const outcomes = [];
  for (const step of steps) {
    try {
      if (step === 'connect') {
        window.road = { bridge: await connect({ timeout: 10000 }), ended: false };
        window.road.bridge.onDisconnect(() => { window.road.ended = true; });
        outcomes.push('connected');
      } else if (step === 'initialize' || step === 'oversized') {
        const list = step === 'oversized' ? `${domains}|${'x'.repeat(1000)}` : domains;
        await window.road.bridge.initialize({ domains: list, signature });
        outcomes.push('initialized');
      } else if (step === 'list') {
        outcomes.push(`listed ${(await window.road.bridge.listCertificates()).length}`);
      } else if (step === 'ended') {
        const deadline = Date.now() + 10000;
        while (!window.road.ended && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
        outcomes.push(window.road.ended ? 'ended' : 'still running');
      }
    } catch (e) {
      outcomes.push(e.name);
    }
  }
  return outcomes;
}

describe('a page learns why it cannot reach the host, and goes on after the host or the extension ends', () => {
  let page;
  const manifest = path.join(browserDir, args.browser === 'chromium' ? 'NativeMessagingHosts'
    : '.mozilla/native-messaging-hosts', 'org.p11bridge.host.json');
  let saved;
  const rewrite = (change) => () => {
    saved = fs.readFileSync(manifest, 'utf8');
    const changed = change(JSON.parse(saved));
    if (changed) fs.writeFileSync(manifest, JSON.stringify(changed));
    else fs.rmSync(manifest);
  };
  const restore = () => fs.writeFileSync(manifest, saved);
  const killHost = () => processesOf(installedHost).forEach((pid) => process.kill(pid, 'SIGKILL'));
  // Chromium stops the extension's service worker; Firefox installs the add-on afresh.
  const restartBackground = async () => {
    if (args.browser === 'chromium') {
      const target = await browser.waitForTarget((t) => t.type() === 'service_worker');
      await (await target.worker()).close();
    } else {
      await browser.uninstallExtension('p11bridge-demo@p11bridge.org');
      await browser.installExtension(path.join(browserDir, 'extension'));
    }
  };
  // Steps in the page, and between them what the test does outside it; the outcomes of the steps in turn.
  const rows = [
    ['names a host that is not installed', rewrite(() => null), ['connect'], restore, [], ['hostNotInstalled']],
    ['names a host that does not allow the extension', rewrite((m) => ({ ...m, allowed_origins: m.allowed_origins &&
      ['chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/'], allowed_extensions: m.allowed_extensions && ['other@example.org'] })),
    // Firefox takes a manifest that does not name the extension for no manifest, and says so in the same words.
    ['connect'], restore, [], [args.browser === 'firefox' ? 'hostNotInstalled' : 'hostForbidden']],
    ['tells a request the extension refuses from the end of the host', null, ['connect', 'initialize', 'oversized', 'list'],
      null, [], ['connected', 'initialized', 'extensionRefused', 'listed 1']],
    ['initializes again after the host ended, without a reload', null, ['connect', 'initialize', 'list'], killHost,
      ['ended', 'initialize', 'list'], ['connected', 'initialized', 'listed 1', 'ended', 'initialized', 'listed 1']],
    ['keeps working after the extension\'s background restarts', null, ['connect', 'initialize', 'list'], restartBackground,
      ['ended', 'initialize', 'list'], ['connected', 'initialized', 'listed 1', 'ended', 'initialized', 'listed 1']],
  ];

  before(async () => {
    page = await browser.newPage();
  });

  after(async () => {
    await page?.close();
  });

  it('in each situation', async (t) => {
    const listed = JSON.parse(fs.readFileSync(config, 'utf8'));
    for (const [title, setUp, first, between, then, expected] of rows) {
      await t.test(title, async () => {
        await page.goto(`http://localhost:${server.port}/hostile.html`);
        await setUp?.();
        const outcomes = await page.evaluate(libraryRoad, first, listed);
        await between?.();
        outcomes.push(...await page.evaluate(libraryRoad, then, listed));
        assert.deepEqual(outcomes, expected);
      });
    }
  });
});
