// The demo page's DER walker: the key it takes out of a certificate must be
// exactly the SubjectPublicKeyInfo openssl sees, and broken DER must be refused.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { subjectPublicKeyInfo, DerError } from '../../browser/demo/der.js';

const openssl = (...args) => execFileSync('openssl', args, { stdio: ['ignore', 'pipe', 'pipe'] });

function makeCertificates() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'p11bridge-der-'));
  const key = path.join(dir, 'key.pem');
  openssl('genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048', '-out', key);
  // v3 with extensions (a [0] version field comes first) ...
  const v3 = openssl('req', '-x509', '-key', key, '-subj', '/CN=der v3', '-days', '1', '-outform', 'DER',
    '-addext', 'keyUsage=critical,digitalSignature,nonRepudiation');
  // ... and v1, which has no version field at all.
  const csr = path.join(dir, 'req.pem');
  openssl('req', '-new', '-key', key, '-subj', '/CN=der v1', '-out', csr);
  const v1 = openssl('x509', '-req', '-in', csr, '-signkey', key, '-days', '1', '-outform', 'DER');
  const spki = openssl('pkey', '-in', key, '-pubout', '-outform', 'DER');
  fs.rmSync(dir, { recursive: true, force: true });
  return { v3, v1, spki };
}

const { v3, v1, spki } = makeCertificates();

test('finds the SubjectPublicKeyInfo of v3 and v1 certificates', () => {
  assert.notEqual(v3[4 + 4], v1[4 + 4], 'both certificates have the same layout');
  assert.deepEqual(Buffer.from(subjectPublicKeyInfo(new Uint8Array(v3))), spki);
  assert.deepEqual(Buffer.from(subjectPublicKeyInfo(new Uint8Array(v1))), spki);
});

test('refuses truncated, padded, indefinite-length and non-certificate input', () => {
  const withIndefiniteLength = Uint8Array.from(v3);
  withIndefiniteLength[1] = 0x80;
  const cases = {
    empty: new Uint8Array(0),
    truncated: new Uint8Array(v3.subarray(0, v3.length - 1)),
    'cut inside the key': new Uint8Array(v3.subarray(0, 300)),
    'trailing byte': new Uint8Array([...v3, 0]),
    'indefinite length': withIndefiniteLength,
    'a bare INTEGER': new Uint8Array([0x02, 0x01, 0x05]),
    'a SEQUENCE of too few fields': new Uint8Array([0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x01]),
  };
  for (const [name, bytes] of Object.entries(cases)) {
    assert.throws(() => subjectPublicKeyInfo(bytes), DerError, name);
  }
});
