// Just enough DER to find a certificate's SubjectPublicKeyInfo, which is what
// WebCrypto imports as an "spki" key. Refuses anything that is not definite-
// length DER inside the buffer, rather than guessing.

export class DerError extends Error {}

// Reads the element that starts at `offset`, without looking inside it.
export function readElement(bytes, offset, limit = bytes.length) {
  let pos = offset;
  if (pos >= limit) throw new DerError('DER element runs past its end');
  const tag = bytes[pos++];
  if ((tag & 0x1f) === 0x1f) {
    // High tag numbers continue while bit 8 is set.
    do {
      if (pos >= limit) throw new DerError('DER tag runs past its end');
    } while (bytes[pos++] & 0x80);
  }
  if (pos >= limit) throw new DerError('DER length missing');
  let length = bytes[pos++];
  if (length & 0x80) {
    const count = length & 0x7f;
    if (count === 0) throw new DerError('indefinite length is not DER');
    if (count > 4) throw new DerError('DER length too large');
    if (pos + count > limit) throw new DerError('DER length runs past its end');
    length = 0;
    for (let i = 0; i < count; i++) length = length * 256 + bytes[pos++];
  }
  const end = pos + length;
  if (end > limit) throw new DerError('DER content runs past its end');
  return { tag, start: offset, contentStart: pos, end };
}

export function children(bytes, element) {
  const list = [];
  let pos = element.contentStart;
  while (pos < element.end) {
    const child = readElement(bytes, pos, element.end);
    list.push(child);
    pos = child.end;
  }
  return list;
}

const SEQUENCE = 0x30;
const VERSION = 0xa0; // [0] EXPLICIT, present from X.509 v2 on

function expectSequence(element, what) {
  if (element === undefined || element.tag !== SEQUENCE) throw new DerError(`${what} is not a SEQUENCE`);
  return element;
}

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }
// tbsCertificate ::= SEQUENCE { [0] version OPTIONAL, serialNumber, signature,
//                               issuer, validity, subject, subjectPublicKeyInfo, ... }
export function subjectPublicKeyInfo(certificateDer) {
  const bytes = certificateDer instanceof Uint8Array ? certificateDer : new Uint8Array(certificateDer);
  const certificate = expectSequence(readElement(bytes, 0), 'certificate');
  if (certificate.end !== bytes.length) throw new DerError('bytes after the certificate');
  const tbs = expectSequence(children(bytes, certificate)[0], 'tbsCertificate');
  const fields = children(bytes, tbs);
  const first = fields.length > 0 && fields[0].tag === VERSION ? 1 : 0;
  const spki = expectSequence(fields[first + 5], 'subjectPublicKeyInfo');
  return bytes.slice(spki.start, spki.end);
}
