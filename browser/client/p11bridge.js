// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The p11bridge authors
//
// p11bridge for web pages: lists the signing certificates on the user's token
// and has it sign a hash, through the p11bridge browser extension and its
// native host. One ES module, no dependency, no build step.
//
//   const bridge = await connect();
//   await bridge.initialize({ domains, signature });
//   const [certificate] = await bridge.listCertificates();
//   const signature = await bridge.sign(certificate.id, hash, { askPin });
//
// The signature is what the token made: for an RSA key the PKCS#1 v1.5
// signature; for an EC key r then s, each the byte length of the curve order,
// as WebCrypto's ECDSA verify takes it (ecdsaSignatureToDer gives the DER form
// that CMS and XAdES want).

const CHANNEL = 'p11bridge';
const INITIALIZE = 0;
const QUIT = 1;
const LIST_CERTIFICATES = 2;
const SET_PIN = 3;
const GET_CERTIFICATE = 4;
const SIGN = 5;
const PIN_CHAR = 6;
const PIN_BACKSPACE = 7;
const CKR_PIN_LOCKED = 0xa4;
// Every PIN asked for costs a token command, and a token locks its PIN after a
// few refusals: a host still asking after this many has stopped making sense.
const MAX_TOKEN_COMMANDS = 8;
const PING_INTERVAL_MS = 200;

// 1 to 14 are the host's own codes; the host's 13 (no certificate with that
// identifier) is told as certificateNotFound, as the library always told it.
export const ErrorCodes = Object.freeze({
  securityLibrary: 1,
  badInput: 3,
  pinRefused: 5,
  badBuiltInKey: 8,
  domainNotAuthorized: 9,
  badDomainListSignature: 10,
  pinMissing: 11,
  tokenFailure: 12,
  unsupportedKey: 14,
  hostError: 99,
  extensionMissing: 100,
  notConnected: 101,
  hostEnded: 102,
  extensionRefused: 103,
  hostRefused: 104,
  notInitialized: 105,
  badArgument: 106,
  certificateNotFound: 107,
  badCertificate: 108,
  protocolError: 109,
  noToken: 110,
  cancelled: 111,
  timeout: 112,
  hashNotAccepted: 113,
  hostNotInstalled: 114,
  hostForbidden: 115,
  hostBlocked: 116,
});

// Looked up as own properties only: a host's "toString" is no code.
const NAMES = Object.freeze(Object.assign(Object.create(null),
  Object.fromEntries(Object.entries(ErrorCodes).map(([name, code]) => [code, name]))));
const own = (table, key) => (Object.hasOwn(table, key) ? table[key] : undefined);

const WORDS = {
  1: 'The host could not start its security library.',
  3: 'The host could not decode what it was given (the hash or the certificate identifier).',
  5: 'The token refused the PIN.',
  8: 'The host could not read its built-in domain-list key.',
  9: "This page's domain is not on the signed list of authorised domains, so the host will not serve it.",
  10: 'The signature over the domain list is not valid: the list was not signed with the key this host trusts.',
  11: 'The token needs its PIN.',
  12: 'The token or its PKCS#11 module reported a failure.',
  14: 'The host cannot sign with this kind of key.',
  99: 'The host reported an error this library does not know.',
  100: 'The p11bridge extension is not installed in this browser, or not allowed on this page.',
  101: 'Not connected to the p11bridge extension.',
  102: 'The host ended; initialize again to start a new one.',
  105: 'The host has not been initialized: call initialize() first.',
  107: 'The token has no certificate with this identifier.',
  110: 'No smart card or token is present.',
  111: 'The operation was cancelled.',
  112: 'The operation did not end in the time it was given.',
  113: 'The key cannot sign a hash of this length.',
  114: 'The p11bridge host is not installed for this browser.',
  115: 'The p11bridge host does not allow this extension to start it.',
  116: 'The browser\'s policy does not let this extension start the p11bridge host.',
};
Object.setPrototypeOf(WORDS, null);

// What the page and the host hand over, taken only when of the declared type.
const text = (value) => (typeof value === 'string' ? value : '');
const count = (value) => (Number.isSafeInteger(value) && value >= 0 ? value : 0);
const integer = (value) => (Number.isSafeInteger(value) ? value : 0);

export class P11BridgeError extends Error {
  // `name` is the stable word for `code`, as DOMException does it. Pages build
  // these for their own test doubles, so the fields keep their types whatever
  // they are given: an unknown code becomes hostError.
  constructor(code, message, details) {
    const known = Number.isSafeInteger(code) && own(NAMES, code) !== undefined ? code : ErrorCodes.hostError;
    super(typeof message === 'string' ? message : own(WORDS, known) ?? NAMES[known]);
    const given = details !== null && typeof details === 'object' ? details : {};
    this.code = known;
    this.name = NAMES[known];
    this.hostMessage = text(given.hostMessage);
    this.lowLevelCode = integer(given.lowLevelCode);
    this.pinModuleName = text(given.pinModuleName);
    this.pinRefusals = count(given.pinRefusals);
    this.pinLocked = given.pinLocked === true;
  }
}

// The host's refinements of a code, which a page acts on differently.
const NO_TOKEN_MESSAGE = 'No se encontro ningun slot';
const HOST_CODES = Object.assign(Object.create(null), { 13: ErrorCodes.certificateNotFound });

// What a reply with a nonzero "lastError" means. The host keeps its message
// and low-level code from the last failure, so they belong to this one only here.
function hostError(reply, command) {
  const given = Number.isSafeInteger(reply.lastError) && reply.lastError < 99 ? reply.lastError : ErrorCodes.hostError;
  let code = own(HOST_CODES, given) ?? (own(NAMES, given) !== undefined ? given : ErrorCodes.hostError);
  if (code === ErrorCodes.tokenFailure && reply.errorMessage === NO_TOKEN_MESSAGE) code = ErrorCodes.noToken;
  if (code === ErrorCodes.badInput && command === SIGN) code = ErrorCodes.hashNotAccepted;
  const pinLocked = code === 5 && reply.lastLowLevelError === CKR_PIN_LOCKED;
  return new P11BridgeError(code, pinLocked ? 'The token has locked its PIN.' : WORDS[code], {
    pinLocked,
    hostMessage: reply.errorMessage,
    lowLevelCode: reply.lastLowLevelError,
    pinModuleName: reply.pinModuleName,
    pinRefusals: reply.pinRetryCount,
  });
}

// The extension's codes for why the host could not be reached; any other is its end.
const REACH_CODES = Object.assign(Object.create(null), {
  hostNotInstalled: ErrorCodes.hostNotInstalled,
  hostForbidden: ErrorCodes.hostForbidden,
  hostBlocked: ErrorCodes.hostBlocked,
});
const reachCode = (code) => (typeof code === 'string' ? own(REACH_CODES, code) : undefined) ?? ErrorCodes.hostEnded;

// What a host that does not say what it signs signs: RSA keys over MD5, SHA-1 and SHA-256 hashes.
const OLD_HOST = Object.freeze({ version: null, hashLengths: Object.freeze({ RSA: Object.freeze([16, 20, 32]) }) });

// The host's "capabilities", taken only as far as they are of the declared types.
function readCapabilities(given) {
  if (given === null || typeof given !== 'object' || given.hashLengths === null || typeof given.hashLengths !== 'object') {
    return OLD_HOST;
  }
  // fromEntries defines members: a key type named "__proto__" stays a member.
  const hashLengths = Object.fromEntries(Object.entries(given.hashLengths).filter(([, lengths]) => Array.isArray(lengths))
    .map(([type, lengths]) => [type, Object.freeze(lengths.filter((n) => Number.isSafeInteger(n) && n > 0))]));
  return Object.freeze({ version: typeof given.version === 'string' ? given.version : null,
    hashLengths: Object.freeze(hashLengths) });
}

// What the extension says of a refusal or an end, shown whatever its type.
const reason = (value) => (typeof value === 'string' ? value : 'no reason given');

const badArgument = (message) => new P11BridgeError(ErrorCodes.badArgument, message);
const protocolError = (message) => new P11BridgeError(ErrorCodes.protocolError, message);

// ---- Base64 (the host breaks its lines with CR LF every 64 characters) -------

const BASE64 = /^[A-Za-z0-9+/]*={0,2}$/;

function isBase64(text) {
  const plain = text.replace(/\r\n/g, '');
  return plain !== '' && plain.length % 4 === 0 && BASE64.test(plain);
}

function fromBase64(text, what) {
  if (typeof text !== 'string' || !isBase64(text)) throw protocolError(`The host's ${what} is not Base64.`);
  const binary = atob(text.replace(/\r\n/g, ''));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

function toBase64(bytes) {
  let binary = '';
  for (const b of bytes) binary += String.fromCharCode(b);
  return btoa(binary);
}

// ---- DER and X.509 ---------------------------------------------------------------

// One character per byte. Built in slices: a call given one argument per byte
// overflows the stack for values of some hundred kilobytes.
function latin1(bytes) {
  let result = '';
  for (let i = 0; i < bytes.length; i += 8192) result += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
  return result;
}

export class DerError extends Error {}
DerError.prototype.name = 'DerError';

const BOOLEAN = 0x01;
const INTEGER = 0x02;
const BIT_STRING = 0x03;
const OCTET_STRING = 0x04;
const OID = 0x06;
const UTC_TIME = 0x17;
const GENERALIZED_TIME = 0x18;
const SEQUENCE = 0x30;
const SET = 0x31;
const VERSION = 0xa0;
const EXTENSIONS = 0xa3;

// Reads the element at `offset`, which must end by `limit`: its parent's end.
// Only DER is taken: definite lengths in their shortest form, nothing else.
function readElement(bytes, offset, limit) {
  let pos = offset;
  if (pos + 2 > limit) throw new DerError('DER element runs past its end');
  const tag = bytes[pos++];
  if ((tag & 0x1f) === 0x1f) throw new DerError('DER tag numbers above 30 do not occur in certificates');
  let length = bytes[pos++];
  if (length === 0x80) throw new DerError('indefinite length is not DER');
  if (length > 0x80) {
    const count = length & 0x7f;
    if (count > 4) throw new DerError('DER length too large');
    if (pos + count > limit) throw new DerError('DER length runs past its end');
    if (bytes[pos] === 0) throw new DerError('DER length with a leading zero');
    length = 0;
    for (let i = 0; i < count; i++) length = length * 256 + bytes[pos++];
    if (length < 0x80) throw new DerError('DER length not in its shortest form');
  }
  const end = pos + length;
  if (end > limit) throw new DerError('DER content runs past its end');
  return { tag, start: offset, contentStart: pos, end };
}

function children(bytes, element) {
  if (!(element.tag & 0x20)) throw new DerError('a primitive DER element has no parts');
  const list = [];
  for (let pos = element.contentStart; pos < element.end; pos = list[list.length - 1].end) {
    list.push(readElement(bytes, pos, element.end));
  }
  return list;
}

function expect(element, tag, what) {
  if (element === undefined || element.tag !== tag) throw new DerError(`${what} is missing or of the wrong type`);
  return element;
}

function readOid(bytes, element) {
  const arcs = [];
  let value = 0;
  let fresh = true;
  for (let i = element.contentStart; i < element.end; i++) {
    if (fresh && bytes[i] === 0x80) throw new DerError('OID arc not in its shortest form');
    value = value * 128 + (bytes[i] & 0x7f);
    if (value > Number.MAX_SAFE_INTEGER) throw new DerError('OID arc too large');
    fresh = !(bytes[i] & 0x80);
    if (fresh) {
      arcs.push(value);
      value = 0;
    }
  }
  if (arcs.length === 0 || !fresh) throw new DerError('OID cut short');
  const first = Math.min(Math.floor(arcs[0] / 40), 2);
  return [first, arcs[0] - first * 40, ...arcs.slice(1)].join('.');
}

const ATTRIBUTES = {
  '2.5.4.3': 'CN', '2.5.4.4': 'SN', '2.5.4.5': 'serialNumber', '2.5.4.6': 'C', '2.5.4.7': 'L', '2.5.4.8': 'ST',
  '2.5.4.9': 'street', '2.5.4.10': 'O', '2.5.4.11': 'OU', '2.5.4.12': 'title', '2.5.4.42': 'givenName',
  '2.5.4.43': 'initials', '2.5.4.44': 'generationQualifier', '2.5.4.46': 'dnQualifier', '2.5.4.65': 'pseudonym',
  '2.5.4.97': 'organizationIdentifier', '1.2.840.113549.1.9.1': 'E', '0.9.2342.19200300.100.1.1': 'UID',
  '0.9.2342.19200300.100.1.25': 'DC',
};

// The text of a string-typed value, or null for any other type.
function readString(bytes, element) {
  const content = bytes.subarray(element.contentStart, element.end);
  switch (element.tag) {
    case 0x0c: // UTF8String
      try {
        return new TextDecoder('utf-8', { fatal: true }).decode(content);
      } catch {
        return null;
      }
    case 0x12: case 0x13: case 0x14: case 0x16: case 0x1a: // Numeric, Printable, Teletex, IA5, Visible
      return latin1(content);
    case 0x1e: // BMPString, UTF-16 big-endian
    case 0x1c: { // UniversalString, UTF-32 big-endian
      const width = element.tag === 0x1e ? 2 : 4;
      if (content.length % width) return null;
      let text = '';
      for (let i = 0; i < content.length; i += width) {
        const unit = width === 2 ? (content[i] << 8) | content[i + 1]
          : ((content[i] << 24) | (content[i + 1] << 16) | (content[i + 2] << 8) | content[i + 3]) >>> 0;
        if (width === 4 && unit > 0x10ffff) return null;
        text += width === 2 ? String.fromCharCode(unit) : String.fromCodePoint(unit);
      }
      return text;
    }
    default:
      return null;
  }
}

const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');

// RFC 4514 text, most specific part first ("CN=…,O=…,C=…"), as the host lists names.
function readName(bytes, name) {
  return children(bytes, name).map((rdn) => children(bytes, expect(rdn, SET, 'a name part')).map((ava) => {
    const [type, value, ...rest] = children(bytes, expect(ava, SEQUENCE, 'a name attribute'));
    if (value === undefined || rest.length) throw new DerError('a name attribute is not a type and a value');
    const oid = readOid(bytes, expect(type, OID, 'a name attribute type'));
    const text = readString(bytes, value);
    const shown = text === null ? `#${hex(bytes.subarray(value.start, value.end))}`
      : text.replace(/[\\",+;<>]/g, '\\$&').replace(/^[# ]/, '\\$&').replace(/ $/, '\\ ');
    return `${ATTRIBUTES[oid] ?? `OID.${oid}`}=${shown}`;
  }).join('+')).reverse().join(',');
}

function readTime(bytes, element) {
  const text = latin1(bytes.subarray(element.contentStart, element.end));
  const utc = element.tag === UTC_TIME;
  const match = (utc ? /^(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)Z$/ : /^(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)Z$/).exec(text);
  if (!match || (!utc && element.tag !== GENERALIZED_TIME)) {
    throw new DerError('a validity time is not a UTCTime or GeneralizedTime in UTC');
  }
  const [year, month, day, hours, minutes, seconds] = match.slice(1).map(Number);
  const date = new Date(0);
  date.setUTCFullYear(utc ? year + (year < 50 ? 2000 : 1900) : year, month - 1, day);
  date.setUTCHours(hours, minutes, seconds);
  if (date.getUTCMonth() !== month - 1 || date.getUTCDate() !== day || date.getUTCHours() !== hours ||
      date.getUTCMinutes() !== minutes || date.getUTCSeconds() !== seconds) {
    throw new DerError(`a validity time does not exist: ${text}`);
  }
  return date;
}

const KEY_USAGES = ['digitalSignature', 'nonRepudiation', 'keyEncipherment', 'dataEncipherment', 'keyAgreement',
  'keyCertSign', 'cRLSign', 'encipherOnly', 'decipherOnly'];

// The names of the key usages the certificate allows, or null when it has no
// key-usage extension (and so no restriction).
function readKeyUsage(bytes, extensions) {
  if (extensions === undefined) return null;
  const [list, ...rest] = children(bytes, extensions);
  if (rest.length) throw new DerError('extensions are not one SEQUENCE');
  for (const extension of children(bytes, expect(list, SEQUENCE, 'the extensions'))) {
    const parts = children(bytes, expect(extension, SEQUENCE, 'an extension'));
    const critical = parts.length === 3 ? expect(parts[1], BOOLEAN, 'an extension\'s criticality') : null;
    if (parts.length !== (critical ? 3 : 2)) throw new DerError('an extension has the wrong number of parts');
    const value = expect(parts[parts.length - 1], OCTET_STRING, 'an extension\'s value');
    if (readOid(bytes, expect(parts[0], OID, 'an extension\'s type')) !== '2.5.29.15') continue;
    const bits = expect(readElement(bytes, value.contentStart, value.end), BIT_STRING, 'the key usage');
    if (bits.end !== value.end || bits.contentStart === bits.end || bytes[bits.contentStart] > 7) {
      throw new DerError('the key usage is not one BIT STRING');
    }
    return KEY_USAGES.filter((_, i) => {
      const at = bits.contentStart + 1 + (i >> 3);
      return at < bits.end && (bytes[at] & (0x80 >> (i & 7))) !== 0;
    });
  }
  return null;
}

const CURVES = { '1.2.840.10045.3.1.7': 'P-256', '1.3.132.0.34': 'P-384', '1.3.132.0.35': 'P-521' };

// The key's algorithm as WebCrypto names it: RSA with its modulus size in
// bits, EC with its named curve (the curve's OID when it is none of WebCrypto's),
// anything else by its algorithm's OID.
function readKeyAlgorithm(bytes, publicKeyInfo) {
  const [algorithm, key, ...rest] = children(bytes, publicKeyInfo);
  expect(key, BIT_STRING, 'the public key bits');
  if (rest.length) throw new DerError('the public key has more than two parts');
  const [type, parameters] = children(bytes, expect(algorithm, SEQUENCE, 'the public key algorithm'));
  const oid = readOid(bytes, expect(type, OID, 'the public key algorithm type'));
  if (oid === '1.2.840.10045.2.1') {
    const curve = readOid(bytes, expect(parameters, OID, 'the named curve'));
    return { name: 'EC', namedCurve: own(CURVES, curve) ?? curve };
  }
  if (oid !== '1.2.840.113549.1.1.1') return { name: 'other', oid };
  if (key.contentStart === key.end || bytes[key.contentStart] !== 0) throw new DerError('the RSA key is not whole bytes');
  const rsaKey = expect(readElement(bytes, key.contentStart + 1, key.end), SEQUENCE, 'the RSA key');
  const modulus = expect(children(bytes, rsaKey)[0], INTEGER, 'the RSA modulus');
  let start = modulus.contentStart;
  while (start < modulus.end - 1 && bytes[start] === 0) start++;
  const top = bytes[start] ?? 0;
  return { name: 'RSA', modulusLength: (modulus.end - start - 1) * 8 + (top ? 32 - Math.clz32(top) : 0) };
}

// Reads what a page shows of an X.509 certificate; throws DerError on anything
// that is not a DER certificate filling `der` exactly.
export function readCertificate(der) {
  const bytes = der instanceof Uint8Array ? der : new Uint8Array(der);
  const certificate = expect(readElement(bytes, 0, bytes.length), SEQUENCE, 'the certificate');
  if (certificate.end !== bytes.length) throw new DerError('bytes after the certificate');
  const [tbs, algorithm, signature, ...extra] = children(bytes, certificate);
  expect(algorithm, SEQUENCE, 'the signature algorithm');
  expect(signature, BIT_STRING, 'the signature');
  if (extra.length) throw new DerError('the certificate has more than three parts');
  const fields = children(bytes, expect(tbs, SEQUENCE, 'tbsCertificate'));
  const first = fields[0]?.tag === VERSION ? 1 : 0;
  const [serial, , issuer, validity, subject, publicKeyInfo] = fields.slice(first, first + 6);
  expect(serial, INTEGER, 'the serial number');
  expect(fields[first + 1], SEQUENCE, 'the signature algorithm');
  const [notBefore, notAfter, ...more] = children(bytes, expect(validity, SEQUENCE, 'the validity'));
  if (notAfter === undefined || more.length) throw new DerError('the validity is not two times');
  return {
    subject: readName(bytes, expect(subject, SEQUENCE, 'the subject')),
    issuer: readName(bytes, expect(issuer, SEQUENCE, 'the issuer')),
    serialNumber: hex(bytes.subarray(serial.contentStart, serial.end)).replace(/^00(?=[89a-f])/, ''),
    notBefore: readTime(bytes, notBefore),
    notAfter: readTime(bytes, notAfter),
    keyUsage: readKeyUsage(bytes, fields.slice(first + 6).find((f) => f.tag === EXTENSIONS)),
    publicKeyInfo: bytes.slice(expect(publicKeyInfo, SEQUENCE, 'the public key').start, publicKeyInfo.end),
    keyAlgorithm: readKeyAlgorithm(bytes, publicKeyInfo),
  };
}

// The DER ECDSA-Sig-Value (SEQUENCE of INTEGER r, INTEGER s) of an EC
// signature given as r then s of equal lengths, as the host and WebCrypto give it.
export function ecdsaSignatureToDer(rs) {
  const bytes = rs instanceof ArrayBuffer ? new Uint8Array(rs)
    : ArrayBuffer.isView(rs) ? new Uint8Array(rs.buffer, rs.byteOffset, rs.byteLength) : null;
  if (bytes === null || bytes.length === 0 || bytes.length % 2 || bytes.length > 2 * 66) {
    throw badArgument('An EC signature is r then s, of equal lengths of at most 66 bytes each.');
  }
  const integerOf = (half) => {
    let start = 0;
    while (start < half.length - 1 && half[start] === 0) start++;
    const value = half.subarray(start);
    return [INTEGER, value.length + (value[0] & 0x80 ? 1 : 0), ...(value[0] & 0x80 ? [0] : []), ...value];
  };
  const body = [...integerOf(bytes.subarray(0, bytes.length / 2)), ...integerOf(bytes.subarray(bytes.length / 2))];
  return Uint8Array.from([SEQUENCE, ...(body.length < 0x80 ? [] : [0x81]), body.length, ...body]);
}

// ---- hashes -----------------------------------------------------------------

const HASH_LENGTHS = Object.assign(Object.create(null), { md5: 16, sha1: 20, sha256: 32, sha384: 48, sha512: 64 });

function hashBytes(hash, algorithm) {
  if (!(hash instanceof ArrayBuffer) && !ArrayBuffer.isView(hash)) {
    throw badArgument('The hash must be bytes (a Uint8Array or an ArrayBuffer).');
  }
  const bytes = hash instanceof ArrayBuffer ? new Uint8Array(hash)
    : new Uint8Array(hash.buffer, hash.byteOffset, hash.byteLength);
  const names = Object.keys(HASH_LENGTHS).filter((name) => HASH_LENGTHS[name] === bytes.length);
  if (names.length === 0) {
    throw badArgument(`The token signs MD5, SHA-1, SHA-256, SHA-384 or SHA-512 hashes (16, 20, 32, 48 or 64 bytes); this one has ${bytes.length} bytes.`);
  }
  if (algorithm !== undefined) {
    const name = typeof algorithm === 'string' ? algorithm.toLowerCase().replace('-', '') : '';
    if (!(name in HASH_LENGTHS)) throw badArgument('Unknown hash algorithm: use md5, sha1, sha256, sha384 or sha512.');
    if (HASH_LENGTHS[name] !== bytes.length) {
      throw badArgument(`A ${algorithm} hash has ${HASH_LENGTHS[name]} bytes; this one has ${bytes.length}.`);
    }
  }
  return bytes;
}

// ---- the connection ------------------------------------------------------------

// Every copy of this library on a page hears every reply, so its request ids
// carry a prefix of its own: another copy's reply never matches one of them.
const ID_PREFIX = (() => {
  const random = new Uint32Array(2);
  if (globalThis.crypto?.getRandomValues) globalThis.crypto.getRandomValues(random);
  else random.forEach((_, i) => { random[i] = Math.floor(Math.random() * 2 ** 32); });
  return `p11bridge-${Array.from(random, (n) => n.toString(36)).join('')}-`;
})();
let nextRequestId = 1;
const newRequestId = () => `${ID_PREFIX}${nextRequestId++}`;

function masked(message) {
  const shown = { ...message };
  if (typeof shown.pin === 'string') shown.pin = '•'.repeat(shown.pin.length);
  if ('pinChar' in shown) shown.pinChar = '•';
  return shown;
}

// How one operation may be ended by its page: `signal` (an AbortSignal) and
// `timeout` (milliseconds). The time the page's askPin takes is not counted:
// the page ends its own prompt, told by the signal askPin is given.
class Ending {
  #controller = new AbortController();
  #stop;
  #timer = null;
  #remaining;
  #since = 0;
  #signal;
  #onAbort = () => this.stop(new P11BridgeError(ErrorCodes.cancelled));
  stopped;

  constructor({ signal, timeout } = {}) {
    if (signal !== undefined && (signal === null || typeof signal.aborted !== 'boolean' ||
        typeof signal.addEventListener !== 'function')) {
      throw badArgument('"signal" must be an AbortSignal.');
    }
    if (timeout !== undefined && (typeof timeout !== 'number' || !(timeout >= 0))) {
      throw badArgument('"timeout" must be a number of milliseconds.');
    }
    this.stopped = new Promise((resolve, reject) => { this.#stop = reject; });
    this.stopped.catch(() => {});
    this.#remaining = timeout;
    this.#signal = signal;
    if (signal?.aborted) this.#onAbort();
    signal?.addEventListener('abort', this.#onAbort, { once: true });
    this.resume();
  }

  get signal() {
    return this.#controller.signal;
  }

  get ended() {
    return this.#controller.signal.aborted;
  }

  stop(error) {
    if (this.ended) return;
    this.finish();
    this.#controller.abort(error);
    this.#stop(error);
  }

  finish() {
    this.pause();
    this.#signal?.removeEventListener('abort', this.#onAbort);
  }

  pause() {
    if (this.#timer === null) return;
    clearTimeout(this.#timer);
    this.#timer = null;
    this.#remaining -= Date.now() - this.#since;
  }

  resume() {
    if (this.#remaining === undefined || this.ended || this.#timer !== null) return;
    this.#since = Date.now();
    this.#timer = setTimeout(() => this.stop(new P11BridgeError(ErrorCodes.timeout)), Math.max(0, this.#remaining));
  }

  // The promise, unless the operation ends first.
  race(promise) {
    return Promise.race([promise, this.stopped]);
  }
}

let open;

class P11Bridge {
  #window;
  #origin;
  #onExchange;
  #pending = new Map();
  #ready = null;
  #listener;
  #closed = false;
  // The extension starts a new host on the next request after the end, and it knows nothing of this page.
  #ended = false;
  #initialized = false;
  #queue = Promise.resolve();
  #disconnectListeners = new Set();
  #pinLength = 0;
  // Whether the extension answers a connect with whether the host can be reached.
  #verdicts = false;
  #capabilities = OLD_HOST;
  // The key type of each certificate read, by identifier, so that sign can refuse a hash before any PIN.
  #keyTypes = new Map();

  static {
    open = async (win, onExchange, timeout) => {
      const bridge = new P11Bridge(win, onExchange);
      const started = Date.now();
      await bridge.#waitReady(timeout);
      if (bridge.#verdicts) await bridge.#reachHost(Math.max(0, timeout - (Date.now() - started)));
      return bridge;
    };
  }

  constructor(win, onExchange) {
    this.#window = win;
    this.#origin = win.location.origin;
    this.#onExchange = typeof onExchange === 'function' ? onExchange : null;
    this.#listener = (event) => this.#receive(event);
    win.addEventListener('message', this.#listener);
  }

  // What the host signs, as it said at the last initialize.
  get capabilities() {
    return this.#capabilities;
  }

  // PIN characters typed (typePinCharacter) and not yet handed to the token, as the host last told.
  get pinLength() {
    return this.#pinLength;
  }

  // Answers a function that removes the listener again.
  onDisconnect(listener) {
    if (typeof listener !== 'function') throw badArgument('onDisconnect takes a function.');
    const entry = (why) => listener(why);
    this.#disconnectListeners.add(entry);
    return () => this.#disconnectListeners.delete(entry);
  }

  #post(data) {
    this.#window.postMessage({ channel: CHANNEL, direction: 'to-extension', ...data }, this.#origin);
  }

  // A page's logging hook must not break the operation it watches.
  #log(direction, message) {
    try {
      this.#onExchange?.(direction, message);
    } catch {
      // The exchange goes on unlogged.
    }
  }

  #receive(event) {
    // Only the page's own window speaks for the extension: a frame of another site cannot.
    if (event.source !== this.#window) return;
    const data = event.data;
    if (data === null || typeof data !== 'object' || data.channel !== CHANNEL || data.direction !== 'to-page') return;
    if (data.type === 'ready') {
      if (data.started === true && this.#ready === null) {
        this.#hostGone('The extension was started again in this page.', false);
        return;
      }
      if (data.verdicts === true) this.#verdicts = true;
      this.#ready?.();
    } else if (data.type === 'reply' || data.type === 'connected') {
      const waiter = typeof data.id === 'string' ? this.#pending.get(data.id) : undefined;
      if (!waiter) return;
      this.#pending.delete(data.id);
      if (data.type === 'connected') {
        waiter.resolve(null);
      } else if (data.error === undefined) {
        waiter.resolve(data.reply);
      } else if (data.refused === true) {
        // The extension kept the request from the host, which is still there.
        waiter.reject(new P11BridgeError(ErrorCodes.extensionRefused, reason(data.error)));
      } else {
        // The extension tells the page of the end too, but only after this.
        this.#ended = true;
        const code = reachCode(data.code);
        waiter.reject(new P11BridgeError(code, code === ErrorCodes.hostEnded ? `The host is gone: ${reason(data.error)}`
          : `${WORDS[code]} (${reason(data.error)})`));
      }
    } else if (data.type === 'disconnected') {
      // An extension that has answered every request sent before the end has failed those the host
      // had; the ones sent since go to a new host and must not fail with the old one.
      this.#hostGone(reason(data.reason), data.answered === true);
    }
  }

  #hostGone(why, answered) {
    if (this.#closed) return;
    this.#ended = true;
    // The PIN typed into the host went with it.
    this.#pinLength = 0;
    if (!answered) this.#failPending(new P11BridgeError(ErrorCodes.hostEnded, `The host ended: ${why}`));
    for (const listener of [...this.#disconnectListeners]) {
      try {
        listener(why);
      } catch (e) {
        // One page listener's fault must not keep the others from hearing.
        setTimeout(() => { throw e; });
      }
    }
  }

  #failPending(error) {
    for (const waiter of this.#pending.values()) waiter.reject(error);
    this.#pending.clear();
  }

  #waitReady(timeout) {
    return new Promise((resolve, reject) => {
      const ping = () => this.#post({ type: 'ping' });
      const finish = (error) => {
        clearInterval(pinger);
        clearTimeout(limit);
        this.#ready = null;
        if (error) {
          this.#detach();
          reject(error);
        } else {
          resolve();
        }
      };
      const pinger = setInterval(ping, PING_INTERVAL_MS);
      const limit = setTimeout(() => finish(new P11BridgeError(ErrorCodes.extensionMissing)), timeout);
      this.#ready = () => finish(null);
      ping();
    });
  }

  // The extension reaches the host with one harmless request, or says why it cannot.
  async #reachHost(timeout) {
    const ending = new Ending({ timeout });
    try {
      await ending.race(this.#exchange({ type: 'connect' }, ending));
      this.#ended = false;
    } catch (e) {
      this.#detach();
      throw e;
    } finally {
      ending.finish();
    }
  }

  #detach() {
    this.#closed = true;
    this.#window.removeEventListener('message', this.#listener);
    this.#failPending(new P11BridgeError(ErrorCodes.notConnected));
  }

  // Posts to the extension and waits for its answer. When the operation ends
  // first, the extension is told to drop the request, or to end a host that
  // is working on it; a reply after the end is no one's.
  #exchange(data, ending) {
    const id = newRequestId();
    const answer = new Promise((resolve, reject) => {
      this.#pending.set(id, { resolve, reject });
      this.#post({ ...data, id });
    });
    ending?.stopped.catch(() => {
      if (this.#pending.delete(id)) this.#post({ type: 'cancel', id });
    });
    return answer;
  }

  // One request and its reply; an operation that ends first stops waiting for it.
  #request(message, ending) {
    if (this.#closed) return Promise.reject(new P11BridgeError(ErrorCodes.notConnected));
    this.#log('to-host', masked(message));
    const exchange = this.#exchange({ type: 'request', message }, ending);
    return (ending ? ending.race(exchange) : exchange).then((reply) => {
      this.#log('from-host', reply);
      if (reply === null || typeof reply !== 'object') throw protocolError('The host sent something that is not a reply.');
      // The short refusal: the host did not run the command at all.
      if (reply.error === true && reply.lastError === undefined) {
        const notInitialized = reply.message === 'Not initialized';
        throw new P11BridgeError(notInitialized ? ErrorCodes.notInitialized : ErrorCodes.hostRefused,
          `The host refused the request: ${text(reply.message)}.`, { hostMessage: reply.message });
      }
      if (Object.hasOwn(reply, 'pinLength')) {
        if (!Number.isSafeInteger(reply.pinLength) || reply.pinLength < 0) {
          throw protocolError('The host sent a PIN length that is not a count.');
        }
        this.#pinLength = reply.pinLength;
      }
      return reply;
    });
  }

  // Runs one operation at a time, so that the steps of one (a signature, its
  // PIN asked for, the signature again) never interleave with another's. An
  // operation its page ends rejects at once; those behind it go on.
  #serial(options, operation) {
    let ending;
    try {
      if (options !== undefined && (options === null || typeof options !== 'object')) {
        throw badArgument('The options must be an object.');
      }
      ending = new Ending(options);
    } catch (e) {
      return Promise.reject(e);
    }
    let started = false;
    const run = this.#queue.then(() => {
      if (ending.ended) return undefined;
      if (this.#closed) throw new P11BridgeError(ErrorCodes.notConnected);
      started = true;
      return operation(ending);
    });
    this.#queue = run.catch(() => {});
    ending.stopped.catch(() => {
      // Whatever PIN the host holds was typed for what the page gave up: it goes.
      if ((started || this.#pinLength > 0) && this.#initialized && !this.#ended) this.#clearPinQuietly();
    });
    return ending.race(run).finally(() => ending.finish());
  }

  #clearPinQuietly() {
    this.#pinLength = 0;
    this.#request({ command: SET_PIN, pin: '' }).catch(() => {});
  }

  // A certificate or signing command, walking the PIN road: the token asks
  // for its PIN, the page's askPin gives it, the command runs again.
  async #tokenCommand(message, askPin, ending) {
    if (this.#ended) throw new P11BridgeError(ErrorCodes.hostEnded);
    if (!this.#initialized) throw new P11BridgeError(ErrorCodes.notInitialized);
    if (askPin !== undefined && typeof askPin !== 'function') throw badArgument('askPin must be a function.');
    let waitingPinTried = false;
    for (let round = 0; round < MAX_TOKEN_COMMANDS; round++) {
      const reply = await this.#request(message, ending);
      if (reply.lastError === 0) return reply;
      const missing = reply.lastError === 11 && reply.missingPin === true;
      const wrong = reply.lastError === 5 && reply.invalidPin === true && reply.lastLowLevelError !== CKR_PIN_LOCKED;
      if (!missing && !wrong) throw hostError(reply, message.command);
      // A PIN typed before the host knew which token it was for waits for this second command.
      if (missing && this.#pinLength > 0 && !waitingPinTried) {
        waitingPinTried = true;
        continue;
      }
      if (askPin === undefined) throw hostError(reply, message.command);
      // retriesLeft stays null: the host reports how many PINs were refused, never how many tries
      // the card has left, and a guess would mislead the user about a lock.
      ending.pause();
      let pin;
      try {
        pin = await ending.race(askPin({
          previousWasWrong: wrong, retriesLeft: null, refusals: count(reply.pinRetryCount),
          tokenName: text(reply.pinModuleName), signal: ending.signal,
        }));
      } finally {
        ending.resume();
      }
      if (pin === null || pin === undefined || pin === '') {
        throw new P11BridgeError(ErrorCodes.cancelled, 'No PIN was given: the operation was cancelled.',
          { pinModuleName: reply.pinModuleName, pinRefusals: reply.pinRetryCount });
      }
      if (typeof pin !== 'string') throw badArgument('askPin must give the PIN as a string, or null to cancel.');
      const taken = this.#request({ command: SET_PIN, pin }, ending);
      pin = null;
      if ((await taken).ok !== true) throw protocolError('The host did not take the PIN.');
    }
    throw protocolError(`The host still asked for the PIN after ${MAX_TOKEN_COMMANDS} commands.`);
  }

  async #certificate(id, askPin, ending) {
    const reply = await this.#tokenCommand({ command: GET_CERTIFICATE, certId: id }, askPin, ending);
    if (reply.certificate === '') {
      throw new P11BridgeError(ErrorCodes.certificateNotFound, `The token has no certificate with the identifier ${id}.`);
    }
    const der = fromBase64(reply.certificate, 'certificate');
    let certificate;
    try {
      certificate = { id, der, ...readCertificate(der) };
    } catch (e) {
      throw new P11BridgeError(ErrorCodes.badCertificate, `The certificate ${id} cannot be read: ${e?.message}.`);
    }
    this.#keyTypes.set(id, certificate.keyAlgorithm.name);
    return certificate;
  }

  initialize({ domains, signature, caSubjectNames = '', currentDomain, signal, timeout } = {}) {
    if (typeof domains !== 'string' || typeof signature !== 'string' || typeof caSubjectNames !== 'string' ||
        (currentDomain !== undefined && typeof currentDomain !== 'string')) {
      return Promise.reject(badArgument('initialize takes "domains", "signature", "caSubjectNames" and "currentDomain" as texts.'));
    }
    return this.#serial({ signal, timeout }, async (ending) => {
      // The extension puts the page's real origin in "currentDomain" whatever is sent here.
      // "capabilities" asks the host what it signs; a host that does not know the member ignores it.
      const reply = await this.#request({
        command: INITIALIZE, domains, signature, currentDomain: currentDomain ?? this.#origin, caSubjectNames, capabilities: '',
      }, ending);
      if (reply.error !== false) throw protocolError('The host did not acknowledge the initialization.');
      this.#capabilities = readCapabilities(reply.capabilities);
      this.#ended = false;
      this.#initialized = true;
    });
  }

  getCertificate(id, options = {}) {
    if (typeof id !== 'string' || id === '') return Promise.reject(badArgument('A certificate identifier is a non-empty text.'));
    return this.#serial(options, (ending) => this.#certificate(id, options.askPin, ending));
  }

  // The host lists "issuer|subject|id" entries joined by "|" and does not escape
  // a "|" inside a name, so the list is read from its end: the last field is an
  // identifier (Base64 has no "|"), its certificate tells how many "|" its two
  // names hold, and the field before those names is the previous identifier.
  listCertificates(options = {}) {
    return this.#serial(options, async (ending) => {
      const reply = await this.#tokenCommand({ command: LIST_CERTIFICATES }, options.askPin, ending);
      if (typeof reply.certificates !== 'string') throw protocolError('The host sent no certificate list.');
      if (reply.certificates === '') return [];
      const fields = reply.certificates.split('|');
      const list = [];
      for (let end = fields.length - 1; end >= 0;) {
        if (end < 2 || !isBase64(fields[end])) {
          throw protocolError('The host\'s certificate list does not end an entry with an identifier.');
        }
        const certificate = await this.#certificate(fields[end], options.askPin, ending);
        const bars = (certificate.issuer + certificate.subject).split('|').length - 1;
        let start = end - 2 - bars;
        if (start < 0 || (start > 0 && !isBase64(fields[start - 1]))) {
          // The host wrote the names otherwise than this reader (NSS shortens very
          // long values): the entry then begins after the nearest identifier.
          start = end - 2;
          while (start > 0 && !isBase64(fields[start - 1])) start--;
        }
        list.push(certificate);
        end = start - 1;
      }
      return list.reverse();
    });
  }

  sign(certificateId, hash, options = {}) {
    let digest;
    try {
      if (typeof certificateId !== 'string' || certificateId === '') {
        throw badArgument('A certificate identifier is a non-empty text.');
      }
      digest = toBase64(hashBytes(hash, options?.algorithm));
    } catch (e) {
      return Promise.reject(e);
    }
    return this.#serial(options, async (ending) => {
      this.#checkKeyTakes(certificateId, digest);
      const reply = await this.#tokenCommand({ command: SIGN, certId: certificateId, digest }, options.askPin, ending);
      // The host answers a key it cannot find with success and no signature.
      if (reply.pkcs1 === '') {
        throw new P11BridgeError(ErrorCodes.certificateNotFound, `The token has no key for the certificate ${certificateId}.`);
      }
      return fromBase64(reply.pkcs1, 'signature');
    });
  }

  // Refuses, before any PIN is asked for, what the host said it cannot sign with
  // a certificate this connection has read: a key type, or a hash length for it.
  #checkKeyTakes(certificateId, digest) {
    const type = this.#keyTypes.get(certificateId);
    if (type === undefined) return;
    const lengths = own(this.#capabilities.hashLengths, type);
    if (lengths === undefined) {
      throw new P11BridgeError(ErrorCodes.unsupportedKey, `The host cannot sign with the ${type} key of this certificate.`);
    }
    const length = atob(digest).length;
    if (!lengths.includes(length)) {
      throw new P11BridgeError(ErrorCodes.hashNotAccepted,
        `The host signs with ${type} keys hashes of ${lengths.join(', ')} bytes; this one has ${length}.`);
    }
  }

  // For pages that pass the PIN key by key, so that it never stays in the page:
  // each call hands one character to the host and answers how many it holds.
  typePinCharacter(character, options) {
    // The host takes one byte per keystroke.
    if (typeof character !== 'string' || !/^[ -~]$/.test(character)) {
      return Promise.reject(badArgument('Only one plain ASCII character at a time can be typed into the PIN.'));
    }
    return this.#pinCommand({ command: PIN_CHAR, pinChar: character }, options);
  }

  erasePinCharacter(options) {
    return this.#pinCommand({ command: PIN_BACKSPACE }, options);
  }

  clearPin(options) {
    return this.#pinCommand({ command: SET_PIN, pin: '' }, options);
  }

  #pinCommand(message, options) {
    return this.#serial(options, async (ending) => {
      const reply = await this.#request(message, ending);
      if (!Object.hasOwn(reply, 'pinLength')) throw protocolError('The host did not say how many PIN characters it holds.');
      return reply.pinLength;
    });
  }

  // Ends the host; the connection is of no further use.
  async close() {
    if (this.#closed) return;
    this.#log('to-host', { command: QUIT });
    this.#post({ type: 'request', id: newRequestId(), message: { command: QUIT } });
    this.#detach();
  }
}

// Resolves with a connection once the extension's content script answers in
// this page and the extension has reached the host, or rejects with the code
// that says which of them could not be reached, within `timeout` ms.
export async function connect({ timeout = 3000, window: win = globalThis.window, onExchange } = {}) {
  if (!win || typeof win.postMessage !== 'function') {
    throw new P11BridgeError(ErrorCodes.notConnected, 'There is no window to reach the extension through.');
  }
  if (typeof timeout !== 'number' || !(timeout >= 0)) throw badArgument('"timeout" must be a number of milliseconds.');
  return open(win, onExchange, timeout);
}
