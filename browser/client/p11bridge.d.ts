// Types of p11bridge.js, the page's side of p11bridge.

/** The stable code names, with their numbers. 1 to 12 are the host's "lastError"; 99 and up are this library's. */
export declare const ErrorCodes: Readonly<{
  securityLibrary: 1;
  badInput: 3;
  pinRefused: 5;
  badBuiltInKey: 8;
  domainNotAuthorized: 9;
  badDomainListSignature: 10;
  pinMissing: 11;
  tokenFailure: 12;
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
}>;

export type ErrorName = keyof typeof ErrorCodes;

/** Every failure of the library. `name` is the stable word for `code`. */
export declare class P11BridgeError extends Error {
  readonly code: (typeof ErrorCodes)[ErrorName];
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
}

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
  /** The token's PIN module name. */
  tokenName: string;
}

/** Gives the PIN, or null to cancel (the operation then fails with code 11 or 5). */
export type AskPin = (question: PinQuestion) => Promise<string | null> | string | null;

export interface InitializeOptions {
  /** The domain list, entries separated by "|", exactly as it was signed. */
  domains: string;
  /** The Base64 RSA signature over `domains`. */
  signature: string;
  /** Certification-authority names, "|"-separated; "" by default. */
  caSubjectNames?: string;
  /** Sent as "currentDomain"; the extension replaces it with the page's real origin anyway. */
  currentDomain?: string;
}

export type HashAlgorithm = 'md5' | 'sha1' | 'sha256' | 'SHA-1' | 'SHA-256';

export interface SignOptions {
  /** When given, the hash must have this algorithm's length. */
  algorithm?: HashAlgorithm;
  askPin?: AskPin;
}

export interface P11Bridge {
  /** Gives the host the signed domain list; also starts a new host after the last one ended. */
  initialize(options: InitializeOptions): Promise<void>;
  /** The signing certificates the host lists, each fetched and read from its own DER. */
  listCertificates(options?: { askPin?: AskPin }): Promise<Certificate[]>;
  getCertificate(id: string, options?: { askPin?: AskPin }): Promise<Certificate>;
  /** Signs an MD5, SHA-1 or SHA-256 hash (16, 20 or 32 bytes); resolves with the PKCS#1 v1.5 signature. */
  sign(certificateId: string, hash: Uint8Array | ArrayBuffer | ArrayBufferView, options?: SignOptions): Promise<Uint8Array>;
  /** Key-by-key PIN entry: each resolves with the number of characters the host now holds. */
  typePinCharacter(character: string): Promise<number>;
  erasePinCharacter(): Promise<number>;
  clearPin(): Promise<number>;
  /** PIN characters typed and not yet handed to the token, as the host last reported. */
  readonly pinLength: number;
  /** Called with the extension's reason when the host ends. */
  onDisconnect(listener: (reason: string) => void): void;
  /** Ends the host; the connection is of no further use. */
  close(): Promise<void>;
}

export type ExchangeDirection = 'to-host' | 'from-host';

export interface ConnectOptions {
  /** How long to wait for the extension, in milliseconds; 3000 by default. */
  timeout?: number;
  /** The window to talk through; the page's own by default. */
  window?: Window;
  /** Sees every message to and from the host, with the PIN replaced by dots. */
  onExchange?: (direction: ExchangeDirection, message: Record<string, unknown> | null) => void;
}

/** Resolves once the extension answers in this page; rejects with extensionMissing after `timeout`. */
export declare function connect(options?: ConnectOptions): Promise<P11Bridge>;

/** Reads a DER X.509 certificate; throws DerError on anything else. */
export declare function readCertificate(der: Uint8Array | ArrayBuffer): CertificateFields;
