// The page library against a stand-in window that plays the extension with the
// host's real replies (copied from tests/conversations), and its certificate
// reader against node's X.509 parser and hostile DER.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { X509Certificate, generateKeyPairSync, sign, verify } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { connect, readCertificate, ecdsaSignatureToDer, ErrorCodes, P11BridgeError } from '../p11bridge.js';

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-client-'));
const openssl = (...args) => execFileSync('openssl', args, { cwd: dir, stdio: ['ignore', 'pipe', 'pipe'] });
openssl('genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256', '-out', 'key.pem');
// v3 with names that hold "|" (one piece even looks like an identifier) ...
const v3 = openssl('req', '-x509', '-key', 'key.pem', '-subj', '/C=ES/O=p11bridge|test/CN=a|QUJD|c', '-days', '1',
  '-outform', 'DER', '-addext', 'keyUsage=critical,digitalSignature,nonRepudiation');
// ... and v1, which has no version field and no extensions.
openssl('req', '-new', '-key', 'key.pem', '-subj', '/CN=der v1', '-out', 'req.pem');
const v1 = openssl('x509', '-req', '-in', 'req.pem', '-signkey', 'key.pem', '-days', '1', '-outform', 'DER');
fs.rmSync(dir, { recursive: true, force: true });
const V3_NAME = 'CN=a|QUJD|c,O=p11bridge|test,C=ES';

test('reads certificates as node\'s X.509 parser does', () => {
  assert.notEqual(v3[8], v1[8], 'both certificates have the same layout');
  for (const der of [v3, v1]) {
    const x509 = new X509Certificate(der);
    const read = readCertificate(new Uint8Array(der));
    assert.deepEqual(Buffer.from(read.publicKeyInfo), x509.publicKey.export({ type: 'spki', format: 'der' }));
    assert.equal(read.notBefore.getTime(), Date.parse(x509.validFrom));
    assert.equal(read.notAfter.getTime(), Date.parse(x509.validTo));
    assert.equal(read.serialNumber, x509.serialNumber.toLowerCase());
  }
  assert.deepEqual(readCertificate(v3), { ...readCertificate(v3), subject: V3_NAME, issuer: V3_NAME,
    keyUsage: ['digitalSignature', 'nonRepudiation'] });
  assert.equal(readCertificate(v1).keyUsage, null);
});

// Certificates made here: the reader checks no signature, so none is made.
const der = (tag, ...parts) => {
  const body = Buffer.concat(parts.map((part) => Buffer.from(part)));
  const n = body.length;
  const length = n < 0x80 ? [n] : n < 0x100 ? [0x81, n] : n < 0x10000 ? [0x82, n >> 8, n & 255] : [0x83, n >> 16, (n >> 8) & 255, n & 255];
  return Buffer.concat([Buffer.from([tag, ...length]), body]);
};
const ECDSA_SHA256 = der(0x30, der(6, [0x2a, 0x86, 0x48, 0xce, 0x3d, 4, 3, 2]));
const cn = (value) => der(0x30, der(0x31, der(0x30, der(6, [0x55, 4, 3]), der(0x13, value))));
const made = ({ spki = v1PublicKey, name = cn('made here'), notBefore = '250101000000Z' } = {}) => der(0x30,
  der(0x30, der(2, [1]), ECDSA_SHA256, name, der(0x30, der(0x17, notBefore), der(0x17, '350101000000Z')), name, spki),
  ECDSA_SHA256, der(3, [0]));
const v1PublicKey = readCertificate(v1).publicKeyInfo;

test('names each key\'s algorithm as WebCrypto does, and turns EC signatures into the DER that CMS wants', () => {
  const keys = [
    ['ec', { namedCurve: 'P-256' }, { name: 'EC', namedCurve: 'P-256' }],
    ['ec', { namedCurve: 'P-384' }, { name: 'EC', namedCurve: 'P-384' }],
    ['ec', { namedCurve: 'P-521' }, { name: 'EC', namedCurve: 'P-521' }],
    ['ec', { namedCurve: 'secp256k1' }, { name: 'EC', namedCurve: '1.3.132.0.10' }],
    ['rsa', { modulusLength: 1025 }, { name: 'RSA', modulusLength: 1025 }],
    ['rsa', { modulusLength: 2048 }, { name: 'RSA', modulusLength: 2048 }],
    ['ed25519', {}, { name: 'other', oid: '1.3.101.112' }],
  ];
  for (const [type, options, expected] of keys) {
    const { publicKey, privateKey } = generateKeyPairSync(type, options);
    assert.deepEqual(readCertificate(made({ spki: publicKey.export({ type: 'spki', format: 'der' }) })).keyAlgorithm, expected);
    if (type !== 'ec') continue;
    // The host's r||s, made DER, verifies where DER is expected: r and s with high bits and leading zeros alike.
    for (let i = 0; i < 8; i++) {
      const rs = sign('sha256', Buffer.from([i]), { key: privateKey, dsaEncoding: 'ieee-p1363' });
      assert.ok(verify('sha256', Buffer.from([i]), publicKey, ecdsaSignatureToDer(rs)), options.namedCurve);
    }
  }
  assert.deepEqual(ecdsaSignatureToDer(Uint8Array.of(0, 0, 0x80, 0x80)), Uint8Array.of(0x30, 8, 2, 1, 0, 2, 3, 0, 0x80, 0x80));
  for (const bad of [new Uint8Array(0), new Uint8Array(3), new Uint8Array(134), 'r||s', null]) {
    assert.throws(() => ecdsaSignatureToDer(bad), { name: 'badArgument' });
  }
});

test('refuses DER whose lengths run past their parent or the data, and anything not DER', () => {
  const patched = (at, byte) => Uint8Array.from(v3, (b, i) => (i === at ? byte : b));
  const times = v3.indexOf(Buffer.from([0x17, 0x0d])); // validity: two 13-byte UTCTimes
  const cases = [
    ['empty', [], /runs past/],
    ['truncated', v3.subarray(0, -1), /content runs past/],
    ['trailing byte', [...v3, 0], /bytes after/],
    ['indefinite length', patched(1, 0x80), /indefinite/],
    ['a length beyond the data', patched(2, 0xff), /content runs past/],
    ['a length of five bytes', [0x30, 0x85, 1, 0, 0, 0, 0], /too large/],
    ['a long-form length with a leading zero', [0x30, 0x83, 0, ...v3.subarray(2)], /leading zero/],
    ['a long-form length below 128', [0x30, 0x81, 0x05, 0x30, 0x03, 0x02, 0x01, 0x01], /shortest form/],
    ['a time longer than its validity', patched(times + 16, 0x0e), /content runs past/],
    ['an indefinite length inside', patched(times + 1, 0x80), /indefinite/],
    ['a bare INTEGER', [0x02, 0x01, 0x05], /wrong type/],
    ['a SEQUENCE of too few fields', [0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x01], /missing/],
  ];
  assert.equal(v3[times + 15], 0x17, 'the validity is not where the cases expect it');
  for (const [name, bytes, why] of cases) {
    assert.throws(() => readCertificate(Uint8Array.from(bytes)), { name: 'DerError', message: why }, name);
  }
});

// Replies as the host writes them, from tests/conversations/token_road.conv and domains.conv.
const STATE = (command, code, low, message, missing, invalid, pinLength, retries) =>
  `{"command":${command},"error":${code !== 0},"errorMessage":"${message}","lastError":${code},"lastLowLevelError":${low},` +
  `"pinModuleName":"${missing || invalid ? 'Certificado QARTO' : ''}","missingPin":${missing},"invalidPin":${invalid},` +
  `"pinLength":${pinLength}${retries === undefined ? '' : `,"pinRetryCount":${retries}`}`;
const NO_PIN = 'No se ha definido el pin para Certificado QARTO';
const REPLY = {
  ack: '{"command":0,"error":false,"message":"InitializeComponent OK"}',
  unlisted: `${STATE(2, 9, 0, '', false, false, 0, 0)},"certificates":""}`,
  listing: `${STATE(2, 0, 0, '', false, false, 0, 0)},"certificates":"\${value}"}`,
  certificate: `${STATE(4, 0, 0, '', false, false, 0, 0)},"certificate":"\${value}"}`,
  missing: `${STATE(5, 11, 0, NO_PIN, true, false, 0, 0)},"pkcs1":""}`,
  missingTyped: `${STATE(5, 11, 0, NO_PIN, true, false, 4, 0)},"pkcs1":""}`,
  taken: `${STATE(3, 11, 0, NO_PIN, true, false, 4)},"ok":true}`,
  wrong: `${STATE(5, 5, 160, 'Pin invalido para Certificado QARTO', false, true, 0, 1)},"pkcs1":""}`,
  locked: `${STATE(5, 5, 164, 'Pin invalido para Certificado QARTO', false, true, 0, 1)},"pkcs1":""}`,
  signed: `${STATE(5, 0, 0, NO_PIN, false, false, 0, 0)},"pkcs1":"\${value}"}`,
};
// NSS's Base64, with CR LF every 64 characters, as a JSON string's inside.
const nss = (bytes) => JSON.stringify(Buffer.from(bytes).toString('base64').replace(/.{64}(?!$)/g, '$&\r\n')).slice(1, -1);
const fill = (reply, value) => reply.replace('${value}', value);

// A window whose "extension" answers each request with answer(message): a reply
// text or object, 'end' for a host that dies, { raw } for the members of the
// extension's own message, { forged } for a reply a frame of another site posts,
// or nothing. Without `answer` there is no extension. With `verdict` it answers a
// connect: 'ok', a code of its own for a host it cannot reach, or 'silent'. A
// cancelled request is noted in `sent` by its command; one left unanswered ends
// the host, as the extension does.
function fakeWindow(answer, { verdict, ack = REPLY.ack } = {}) {
  const listeners = new Set();
  const sent = [];
  const asked = new Map();
  const win = {
    location: { origin: 'https://www.example.org' },
    addEventListener: (type, listener) => listeners.add(listener),
    removeEventListener: (type, listener) => listeners.delete(listener),
    postMessage: (data) => setTimeout(() => {
      if (data.direction === 'to-page') return listeners.forEach((listener) => listener({ source: win, data }));
      const toPage = (more) => win.postMessage({ channel: 'p11bridge', direction: 'to-page', ...more });
      if (!answer || data.direction !== 'to-extension') return;
      if (data.type === 'ping') return toPage({ type: 'ready', ...(verdict && { verdicts: true }) });
      if (data.type === 'connect') {
        if (verdict === 'ok') toPage({ type: 'connected', id: data.id });
        else if (verdict !== 'silent') toPage({ type: 'reply', id: data.id, error: 'In the browser\'s words.', code: verdict });
        return;
      }
      if (data.type === 'cancel') {
        sent.push({ cancelled: asked.get(data.id)?.command });
        toPage({ type: 'reply', id: data.id, error: 'The page cancelled it.', code: 'hostEnded' });
        return toPage({ type: 'disconnected', reason: 'The page cancelled it.', answered: true });
      }
      sent.push(data.message);
      asked.set(data.id, data.message);
      const reply = data.message.command === 0 ? ack : answer(data.message);
      if (reply === 'refuse') {
        toPage({ type: 'reply', id: data.id, error: 'The member "digest" must be a string.', refused: true });
      } else if (reply === 'end') {
        // What the extension does when the host dies: fails what was asked, then says so.
        toPage({ type: 'reply', id: data.id, error: 'Native host has exited.' });
        toPage({ type: 'disconnected', reason: 'Native host has exited.' });
      } else if (reply?.forged) {
        const forged = { channel: 'p11bridge', direction: 'to-page', type: 'reply', id: data.id, reply: reply.forged };
        listeners.forEach((listener) => listener({ source: {}, data: forged }));
      } else if (reply?.raw) {
        toPage({ type: 'reply', id: data.id, ...reply.raw });
      } else if (reply !== undefined) {
        toPage({ type: 'reply', id: data.id, reply: typeof reply === 'string' ? JSON.parse(reply) : reply });
      }
    }),
  };
  return { win, sent };
}

async function initialized(answer, onExchange, copy = { connect }, fake = fakeWindow(answer)) {
  const { win, sent } = fake;
  const bridge = await copy.connect({ window: win, timeout: 1000, onExchange });
  await bridge.initialize({ domains: 'example.org', signature: 'c2ln' });
  return { bridge, sent, fake };
}

const HASH = new Uint8Array(32).fill(7);
const SIGNATURE = Uint8Array.from({ length: 256 }, (_, i) => i);
const SIGNED = fill(REPLY.signed, nss(SIGNATURE));
const failed = (code, message) => `${STATE(5, code, 0, message, false, false, 0, 0)},"pkcs1":""}`;
const roads = [
  { name: 'asks for a missing PIN, hands it over and signs', replies: [REPLY.missing, REPLY.taken, SIGNED],
    pins: ['4711'], asked: [[false, 0]] },
  { name: 'asks again after a wrong PIN, telling how many were refused',
    replies: [REPLY.missing, REPLY.taken, REPLY.wrong, REPLY.taken, SIGNED], pins: ['9999', '4711'], asked: [[false, 0], [true, 1]] },
  { name: 'uses a PIN typed before the token was named, without asking', replies: [REPLY.missingTyped, SIGNED], asked: [] },
  { name: 'ends with code 5 when the PIN is locked', replies: [REPLY.missing, REPLY.taken, REPLY.locked], pins: ['4711'], asked: [[false, 0]],
    error: { code: 5, name: 'pinRefused', lowLevelCode: 164, pinRefusals: 1, pinLocked: true } },
  { name: 'ends cancelled when the page gives no PIN', replies: [REPLY.missing], pins: [null],
    error: { code: 111, name: 'cancelled', pinModuleName: 'Certificado QARTO' } },
  { name: 'ends cancelled when the page gives an empty PIN', replies: [REPLY.missing], pins: [''], error: { name: 'cancelled' } },
  { name: 'gives up on a host that keeps asking', replies: (m) => (m.command === 5 ? REPLY.missing : REPLY.taken),
    pins: Array(99).fill('4711'), error: { code: 109, name: 'protocolError' } },
  { name: 'reports a key the token does not have', replies: [fill(REPLY.signed, '')], error: { code: 107, name: 'certificateNotFound' } },
  { name: 'signs a SHA-384 hash', hash: new Uint8Array(48), algorithm: 'SHA-384', replies: [SIGNED] },
  { name: 'signs a SHA-512 hash', hash: new Uint8Array(64), replies: [SIGNED] },
  { name: 'refuses a 40-byte hash without asking the host', hash: new Uint8Array(40), replies: [], error: { code: 106 } },
  { name: 'names a hash the key cannot take', replies: [failed(3, 'Digest length not supported')], error: { name: 'hashNotAccepted' } },
  { name: 'names a key the host cannot sign with', replies: [failed(14, 'Key type not supported for signing: CKK_DSA (0x1)')],
    error: { code: 14, name: 'unsupportedKey', hostMessage: 'Key type not supported for signing: CKK_DSA (0x1)' } },
  { name: 'names a certificate the token does not hold', replies: [failed(13, 'No certificate for signing with this identifier')],
    error: { code: 107, name: 'certificateNotFound' } },
  { name: 'names a missing token', replies: [failed(12, 'No se encontro ningun slot')], error: { name: 'noToken' } },
  { name: 'keeps other token failures as they are', replies: [failed(12, 'sign final')], error: { name: 'tokenFailure' } },
  { name: 'refuses a hash that is not the named algorithm', algorithm: 'sha1', replies: [], error: { name: 'badArgument' } },
];
for (const road of roads) {
  test(`sign ${road.name}`, async () => {
    const replies = road.replies;
    const pins = [...(road.pins ?? [])];
    const asked = [];
    const exchanges = [];
    const { bridge, sent } = await initialized(typeof replies === 'function' ? replies : () => replies.shift(),
      (direction, message) => exchanges.push(JSON.stringify(message)));
    const askPin = async ({ previousWasWrong, refusals }) => asked.push([previousWasWrong, refusals]) && pins.shift();
    const result = await bridge.sign('q83v', road.hash ?? HASH, { algorithm: road.algorithm, askPin }).catch((e) => e);
    if (road.error) {
      assert.ok(result instanceof P11BridgeError, String(result));
      for (const [member, value] of Object.entries(road.error)) assert.equal(result[member], value, member);
    } else {
      assert.deepEqual(result, SIGNATURE);
      assert.deepEqual(sent.filter((m) => m.command === 3), (road.pins ?? []).map((pin) => ({ command: 3, pin })));
    }
    if (road.asked) assert.deepEqual(asked, road.asked);
    if (Array.isArray(replies)) assert.equal(replies.length, 0, 'replies left over');
    assert.ok(!exchanges.join().includes('4711') && !exchanges.join().includes('9999'), 'the PIN reached the exchange log');
  });
}

test('lists certificates whose names hold "|", each read from the certificate itself', async () => {
  const ids = ['q83v', nss(new Uint8Array(50).fill(1))]; // the second is long enough for NSS to break its line
  const certificates = { [ids[0]]: v3, [ids[1]]: v1 };
  const list = `${V3_NAME}|${V3_NAME}|${ids[0]}|CN=der v1|CN=der v1|${ids[1]}`;
  const { bridge } = await initialized((m) => (m.command === 2 ? fill(REPLY.listing, list)
    : fill(REPLY.certificate, nss(certificates[JSON.stringify(m.certId).slice(1, -1)]))));
  const listed = await bridge.listCertificates();
  assert.deepEqual(listed.map((c) => [JSON.stringify(c.id).slice(1, -1), c.subject, c.issuer]),
    [[ids[0], V3_NAME, V3_NAME], [ids[1], 'CN=der v1', 'CN=der v1']]);
  assert.deepEqual(Buffer.from(listed[1].der), v1);
});

test('names the host\'s refusal of an unlisted domain', async () => {
  const { bridge } = await initialized(() => REPLY.unlisted);
  await assert.rejects(bridge.listCertificates(), { code: 9, name: 'domainNotAuthorized', message: /not on the signed list/ });
});

test('tells the extension\'s refusal from the end of the host', async () => {
  const { bridge } = await initialized(() => 'refuse');
  await assert.rejects(bridge.listCertificates(), { code: 103, name: 'extensionRefused', message: /must be a string/ });
  await assert.rejects(bridge.listCertificates(), { code: 103 });
});

test('connect names why the host cannot be reached, and takes no word of the browser\'s for a code', async () => {
  const verdicts = [[null, 'extensionMissing'], ['hostNotInstalled'], ['hostForbidden'], ['hostBlocked'], ['hostEnded'],
    ['toString', 'hostEnded'], ['silent', 'timeout'], ['ok', 'connected']];
  for (const [verdict, expected = verdict] of verdicts) {
    const fake = fakeWindow(verdict && (() => REPLY.unlisted), { verdict });
    const result = await connect({ window: fake.win, timeout: 300 }).then(() => 'connected', (e) => e);
    assert.equal(result.name ?? result, expected, verdict);
    if (typeof result !== 'string') assert.equal(ErrorCodes[result.name], result.code);
  }
});

test('after the host ends, counts no PIN typed and refuses until initialized again', async () => {
  let end = true;
  const reasons = [];
  const { bridge, sent } = await initialized((m) => (m.command === 6 ? REPLY.taken : end ? 'end' : REPLY.unlisted));
  bridge.onDisconnect((reason) => reasons.push(reason));
  assert.equal(await bridge.typePinCharacter('4'), 4);
  await assert.rejects(bridge.listCertificates(), { code: 102, name: 'hostEnded' });
  await assert.rejects(bridge.listCertificates(), { code: 102, name: 'hostEnded' });
  await new Promise((resolve) => setTimeout(resolve, 10));
  assert.deepEqual([reasons, sent.length, bridge.pinLength], [['Native host has exited.'], 3, 0]);
  end = false;
  await bridge.initialize({ domains: 'example.org', signature: 'c2ln' });
  await assert.rejects(bridge.listCertificates(), { code: 9 });
  await bridge.close();
  await assert.rejects(bridge.listCertificates(), { name: 'notConnected' });
  await new Promise((resolve) => setTimeout(resolve, 10));
  assert.deepEqual(sent.at(-1), { command: 1 });
});

// Whatever the host, the extension or the page hands over, every operation ends
// in its declared type or in a P11BridgeError whose fields have theirs.
const json = (text) => JSON.parse(text);
const signedWith = (changes) => ({ ...json(SIGNED), ...changes });
const HUGE = 'x'.repeat(200_000);
const certificateReply = (certificate) => fill(REPLY.certificate, nss(certificate));
const hostile = [
  ['a "toString" code', () => signedWith({ lastError: 'toString' }), (b) => b.sign('q83v', HASH), 'hostError'],
  ['a "constructor" code', () => signedWith({ lastError: 'constructor', errorMessage: 7 }), (b) => b.sign('q83v', HASH), 'hostError'],
  ['a library code from the host', () => signedWith({ lastError: 102 }), (b) => b.sign('q83v', HASH), 'hostError'],
  ['a code in a text', () => signedWith({ lastError: '13' }), (b) => b.sign('q83v', HASH), 'hostError'],
  ['members of other types', () => signedWith({ lastError: 12, errorMessage: {}, lastLowLevelError: '5', pinModuleName: [],
    pinRetryCount: -1 }), (b) => b.sign('q83v', HASH), 'tokenFailure'],
  ['a PIN question of other types', () => ({ ...json(REPLY.missing), pinRetryCount: '3', pinModuleName: null }),
    (b) => b.sign('q83v', HASH, { askPin: (q) => assert.deepEqual([q.refusals, q.tokenName], [0, '']) }), 'cancelled'],
  ...[null, '4', -1, 1.5].map((pinLength) => [`a PIN length of ${pinLength}`, () => ({ ...json(REPLY.taken), pinLength }),
    (b) => b.typePinCharacter('4'), 'protocolError']),
  ['no PIN length', () => ({ ok: true }), (b) => b.erasePinCharacter(), 'protocolError'],
  ['a refusal whose reason is no text', () => ({ raw: { error: { toString: 'x' }, refused: true } }), (b) => b.clearPin(), 'extensionRefused'],
  ['a 200 kB name', () => certificateReply(made({ name: cn(HUGE) })),
    async (b) => (await b.getCertificate('q83v')).subject === `CN=${HUGE}`, true],
  ['a 200 kB time', () => certificateReply(made({ notBefore: HUGE })), (b) => b.getCertificate('q83v'), 'badCertificate'],
  ['a signature forged by another frame', () => ({ forged: json(SIGNED) }), (b) => b.sign('q83v', HASH, { timeout: 50 }), 'timeout'],
  ['a page\'s own test double', () => undefined, () => { throw new P11BridgeError('5', 5, { hostMessage: 7, pinRefusals: -2 }); },
    'hostError'],
  ['options of other types', () => SIGNED, (b) => b.sign('q83v', HASH, { timeout: '5' }), 'badArgument'],
  ['a signal of another type', () => SIGNED, (b) => b.sign('q83v', HASH, { signal: {} }), 'badArgument'],
  // A silent host: the operation ends as told, those behind it go on, and the PIN typed is cleared.
  // The extension is told to let go of it, and an initialize right behind it reaches the next host.
  ['silence past the timeout', (m) => (m.command === 5 ? undefined : REPLY.taken), async (b, sent) => {
    await b.typePinCharacter('4');
    const late = await b.sign('q83v', HASH, { timeout: 30 }).catch((e) => e);
    await b.initialize({ domains: 'example.org', signature: 'c2ln' });
    return [late.name, await b.typePinCharacter('4'), sent.filter((m) => m.command === 3 || m.cancelled)];
  }, ['timeout', 4, [{ command: 3, pin: '' }, { cancelled: 5 }]]],
  ['an abort while the host is silent', (m) => (m.command === 5 ? undefined : REPLY.taken), async (b, sent) => {
    const controller = new AbortController();
    const queued = [b.sign('q83v', HASH, { signal: controller.signal }), b.typePinCharacter('4')];
    setTimeout(() => controller.abort(), 20);
    return [(await queued[0].catch((e) => e)).name, await queued[1], sent.filter((m) => m.command === 3)];
  }, ['cancelled', 4, [{ command: 3, pin: '' }]]],
  ['an abort while askPin is open', () => REPLY.missing, async (b) => {
    const controller = new AbortController();
    let question;
    const signing = b.sign('q83v', HASH, { signal: controller.signal, askPin: (q) => { question = q; return new Promise(() => {}); } });
    setTimeout(() => controller.abort(), 20);
    return [(await signing.catch((e) => e)).name, question.signal.aborted];
  }, ['cancelled', true]],
  ['an abort before the start', () => SIGNED, (b) => b.sign('q83v', HASH, { signal: AbortSignal.abort() }), 'cancelled'],
];
test('ends every operation in its declared type or a well-formed P11BridgeError, whatever it is handed', async () => {
  for (const [name, answer, run, expected] of hostile) {
    const { bridge, sent } = await initialized(answer);
    let result;
    try {
      result = await run(bridge, sent);
    } catch (e) {
      result = e;
    }
    if (typeof expected !== 'string') {
      assert.deepEqual(result, expected, name);
      continue;
    }
    assert.ok(result instanceof P11BridgeError, `${name}: ${result}`);
    assert.deepEqual([result.name, ErrorCodes[result.name], typeof result.message, typeof result.hostMessage,
      typeof result.pinModuleName, Number.isSafeInteger(result.lowLevelCode), Number.isSafeInteger(result.pinRefusals) &&
      result.pinRefusals >= 0, typeof result.pinLocked], [expected, result.code, 'string', 'string', 'string', true, true, 'boolean'], name);
  }
});

// What the host says it signs, and sign refusing before any PIN what it cannot: v1 holds a P-256 key.
const CAPABLE = { ...json(REPLY.ack), capabilities: { version: '0.1.0', hashLengths: { RSA: [16, 20, 32, 48, 64], EC: [20, 32, 48, 64] } } };
const capabilityCases = [
  ['an older host', REPLY.ack, { version: null, hashLengths: { RSA: [16, 20, 32] } }, 'unsupportedKey'],
  ['a host that says', CAPABLE, CAPABLE.capabilities, 'hashNotAccepted'],
  ['a host that signs it', CAPABLE, CAPABLE.capabilities, 'cancelled', HASH],
  ['capabilities of other types', { ...CAPABLE, capabilities: { version: 7, hashLengths: { EC: [32, '16', -1, 1.5], RSA: 'all',
    ['__proto__']: [16] } } }, { version: null, hashLengths: { EC: [32], ['__proto__']: [16] } }, 'hashNotAccepted'],
  ['capabilities that are no object', { ...CAPABLE, capabilities: 'EC' }, { version: null, hashLengths: { RSA: [16, 20, 32] } },
    'unsupportedKey'],
];
test('reads what the host signs, and refuses before any PIN a key or hash it cannot take', async () => {
  for (const [name, ack, capabilities, refusal, signed = new Uint8Array(16)] of capabilityCases) {
    const fake = fakeWindow((m) => (m.command === 4 ? certificateReply(v1) : REPLY.missing), { ack });
    const { bridge, sent } = await initialized(null, undefined, { connect }, fake);
    assert.deepEqual(JSON.parse(JSON.stringify(bridge.capabilities)), capabilities, name);
    assert.equal(sent[0].capabilities, '', name);
    await bridge.getCertificate('q83v');
    let asked = false;
    const result = await bridge.sign('q83v', signed, { askPin: () => { asked = true; return null; } }).catch((e) => e);
    assert.deepEqual([result.name, asked, sent.some((m) => m.command === 5)], [refusal, refusal === 'cancelled',
      refusal === 'cancelled'], name);
  }
});

test('two copies of the library on one page take only their own replies', async () => {
  const other = await import('../p11bridge.js?second-copy');
  const fake = fakeWindow((m) => (m.command === 6 ? REPLY.taken : REPLY.unlisted));
  const [first, second] = [await initialized(null, undefined, { connect }, fake), await initialized(null, undefined, other, fake)];
  const results = await Promise.allSettled([first.bridge.listCertificates(), second.bridge.typePinCharacter('4')]);
  assert.deepEqual(results.map((r) => r.reason?.name ?? r.value), ['domainNotAuthorized', 4]);
});
