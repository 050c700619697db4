// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The p11bridge authors
//
// Types of p11bridge.js, the page's side of p11bridge.

/**
 * The stable code names, with their numbers. 1 to 14 are the host's "lastError" (its 13, no certificate
 * with the identifier, comes as certificateNotFound); 99 and up are this library's. The names a page
 * acts on: noToken (ask for the card), cancelled (the user or the page gave up), timeout,
 * unsupportedKey and hashNotAccepted (pick another certificate or hash), certificateNotFound.
 */
export declare const ErrorCodes: Readonly<{
  securityLibrary: 1;
  badInput: 3;
  pinRefused: 5;
  badBuiltInKey: 8;
  domainNotAuthorized: 9;
  badDomainListSignature: 10;
  pinMissing: 11;
  tokenFailure: 12;
  /** The certificate's key is of a type the host cannot sign with. */
  unsupportedKey: 14;
  hostError: 99;
  extensionMissing: 100;
  notConnected: 101;
  hostEnded: 102;
  extensionRefused: 103;
  hostRefused: 104;
  notInitialized: 105;
  badArgument: 106;
  certificateNotFound: 107;
  badCertificate: 108;
  protocolError: 109;
  /** No smart card or token is present. */
  noToken: 110;
  /** askPin gave no PIN, or the operation's AbortSignal fired. */
  cancelled: 111;
  /** The operation did not end within its `timeout`. */
  timeout: 112;
  /** The key cannot sign a hash of this length (an EC key and an MD5 hash, say). */
  hashNotAccepted: 113;
  /** connect(): the host is not registered for this browser. */
  hostNotInstalled: 114;
  /** connect(): the host's manifest does not allow this extension. */
  hostForbidden: 115;
  /** connect(): the browser's managed policy blocks the host. */
  hostBlocked: 116;
}>;

export type ErrorName = keyof typeof ErrorCodes;
export type ErrorCode = (typeof ErrorCodes)[ErrorName];

export interface P11BridgeErrorDetails {
  hostMessage?: string;
  lowLevelCode?: number;
  pinModuleName?: string;
  pinRefusals?: number;
  pinLocked?: boolean;
}

/** Every failure of the library. `name` is the stable word for `code`. */
export declare class P11BridgeError extends Error {
  /**
   * For test doubles as much as for the library: an unknown code becomes hostError, a missing message
   * the code's own words, and details of another type their empty values.
   */
  constructor(code: ErrorCode, message?: string, details?: P11BridgeErrorDetails);
  readonly code: ErrorCode;
  readonly name: ErrorName;
  /** The host's own "errorMessage" for a host error (codes 1 to 12), else "". */
  readonly hostMessage: string;
  /** The host's "lastLowLevelError": a PKCS#11 return value or an NSPR error number; 0 when none. */
  readonly lowLevelCode: number;
  /** The token's PIN module name when the error is about its PIN, else "". */
  readonly pinModuleName: string;
  /** How many PINs the token has refused so far (the host's "pinRetryCount"). */
  readonly pinRefusals: number;
  /** Code 5 because the token has locked its PIN: asking for another one is of no use. */
  readonly pinLocked: boolean;
}

/** Thrown by readCertificate for anything that is not a DER X.509 certificate. */
export declare class DerError extends Error {}

export type KeyUsage = 'digitalSignature' | 'nonRepudiation' | 'keyEncipherment' | 'dataEncipherment' |
  'keyAgreement' | 'keyCertSign' | 'cRLSign' | 'encipherOnly' | 'decipherOnly';

/** What readCertificate finds in a certificate. */
export interface CertificateFields {
  /** RFC 4514 text, most specific part first: "CN=…,O=…,C=…". */
  subject: string;
  issuer: string;
  /** Hexadecimal, lower case, without the sign byte. */
  serialNumber: string;
  notBefore: Date;
  notAfter: Date;
  /** The usages allowed, or null when the certificate has no key-usage extension (no restriction). */
  keyUsage: KeyUsage[] | null;
  /** The DER SubjectPublicKeyInfo, as crypto.subtle.importKey('spki', …) takes it. */
  publicKeyInfo: Uint8Array;
  /** The key's algorithm, named as WebCrypto's importKey takes it. */
  keyAlgorithm: KeyAlgorithm;
}

/**
 * RSA with its modulus size in bits; EC with its curve ('P-256', 'P-384', 'P-521', or the curve's OID
 * in dotted form when WebCrypto has no name for it); any other key by its algorithm's OID. The host
 * signs with RSA and EC keys only: a certificate whose key is 'other' gets unsupportedKey.
 */
export type KeyAlgorithm =
  | { name: 'RSA'; modulusLength: number }
  | { name: 'EC'; namedCurve: string }
  | { name: 'other'; oid: string };

/** A certificate on the token, read from its own DER. */
export interface Certificate extends CertificateFields {
  /** The identifier to sign with, exactly as the host gives it. */
  id: string;
  der: Uint8Array;
}

export interface PinQuestion {
  /** The token refused the PIN given before. */
  previousWasWrong: boolean;
  /** Always null: the host does not report how many tries the token has left (see refusals). */
  retriesLeft: number | null;
  /** How many PINs the token has refused so far; the host does not know how many tries remain. */
  refusals: number;
  /**
   * The host's fixed name for the PIN it asks ("Certificado QARTO" today), the same for every card:
   * not the card's or token's label, so do not show it as the card's name.
   */
  tokenName: string;
  /** Aborts when the operation ends without this answer (its signal fired or its timeout ran out): close the prompt. */
  signal: AbortSignal;
}

/** Gives the PIN, or null or "" to cancel (the operation then fails with cancelled). */
export type AskPin = (question: PinQuestion) => Promise<string | null> | string | null;

export interface InitializeOptions extends OperationOptions {
  /** The domain list, entries separated by "|", exactly as it was signed. */
  domains: string;
  /** The Base64 RSA signature over `domains`. */
  signature: string;
  /** Certification-authority names, "|"-separated; "" by default. */
  caSubjectNames?: string;
  /** Sent as "currentDomain"; the extension replaces it with the page's real origin anyway. */
  currentDomain?: string;
}

export type HashAlgorithm = 'md5' | 'sha1' | 'sha256' | 'sha384' | 'sha512' | 'SHA-1' | 'SHA-256' | 'SHA-384' | 'SHA-512';

/**
 * How the page may end an operation: it then rejects with cancelled or timeout, the operations queued
 * behind it go on, and any PIN the host holds is cleared. The time askPin takes is not counted.
 */
export interface OperationOptions {
  signal?: AbortSignal;
  /** Milliseconds; none by default (the extension still stops a host silent for two minutes). */
  timeout?: number;
}

export interface TokenOptions extends OperationOptions {
  askPin?: AskPin;
}

export interface SignOptions extends TokenOptions {
  /** When given, the hash must have this algorithm's length. */
  algorithm?: HashAlgorithm;
}

/** What the installed host signs, as it answered the last initialize. */
export interface Capabilities {
  /** The host's version; null for a host that does not say (it then signs RSA over 16, 20 and 32 bytes). */
  version: string | null;
  /** The hash lengths in bytes the host signs, by key type ('RSA', 'EC'); a type not named cannot sign. */
  hashLengths: Readonly<Record<string, readonly number[]>>;
}

export interface P11Bridge {
  /**
   * What the host signs, from the last initialize; before it, and for a host that does not say,
   * { version: null, hashLengths: { RSA: [16, 20, 32] } }. sign refuses, before any PIN, a certificate
   * read on this connection whose key type is not named here (unsupportedKey) or a hash whose length
   * is not listed for it (hashNotAccepted).
   */
  readonly capabilities: Readonly<Capabilities>;
  /** Gives the host the signed domain list; also starts a new host after the last one ended. */
  initialize(options: InitializeOptions): Promise<void>;
  /** The signing certificates the host lists, each fetched and read from its own DER. */
  listCertificates(options?: TokenOptions): Promise<Certificate[]>;
  getCertificate(id: string, options?: TokenOptions): Promise<Certificate>;
  /**
   * Signs an MD5, SHA-1, SHA-256, SHA-384 or SHA-512 hash (16, 20, 32, 48 or 64 bytes; an EC key takes
   * no MD5). Resolves with the signature the token made: for an RSA key the PKCS#1 v1.5 signature; for
   * an EC key r then s, each the byte length of the curve order (64 bytes in all for P-256, 96 for
   * P-384, 132 for P-521), which WebCrypto's ECDSA verify takes as it is; ecdsaSignatureToDer gives
   * the DER form CMS and XAdES want.
   */
  sign(certificateId: string, hash: Uint8Array | ArrayBuffer | ArrayBufferView, options?: SignOptions): Promise<Uint8Array>;
  /** Key-by-key PIN entry: each resolves with the number of characters the host now holds. */
  typePinCharacter(character: string, options?: OperationOptions): Promise<number>;
  erasePinCharacter(options?: OperationOptions): Promise<number>;
  clearPin(options?: OperationOptions): Promise<number>;
  /** PIN characters typed and not yet handed to the token, as the host last reported. */
  readonly pinLength: number;
  /** Called with the extension's reason when the host ends; answers a function that removes the listener. */
  onDisconnect(listener: (reason: string) => void): () => void;
  /** Ends the host; the connection is of no further use. */
  close(): Promise<void>;
}

export type ExchangeDirection = 'to-host' | 'from-host';

export interface ConnectOptions {
  /** How long to wait for the extension and the host, in milliseconds; 3000 by default. */
  timeout?: number;
  /** The window to talk through; the page's own by default. */
  window?: Window;
  /** Sees every message to and from the host, with the PIN replaced by dots. */
  onExchange?: (direction: ExchangeDirection, message: Record<string, unknown> | null) => void;
}

/**
 * Resolves once the extension answers in this page and has reached the host with one harmless request.
 * Rejects with extensionMissing when no extension answers within `timeout`, hostNotInstalled,
 * hostForbidden or hostBlocked when the browser does not start the host, hostEnded when it ends at
 * once, and timeout when it does not answer in time. An extension older than this library is not
 * asked to reach the host.
 */
export declare function connect(options?: ConnectOptions): Promise<P11Bridge>;

/** The DER ECDSA-Sig-Value of an EC signature given as r then s; throws badArgument for anything else. */
export declare function ecdsaSignatureToDer(rs: Uint8Array | ArrayBuffer | ArrayBufferView): Uint8Array;

/** Reads a DER X.509 certificate; throws DerError on anything else. */
export declare function readCertificate(der: Uint8Array | ArrayBuffer): CertificateFields;
