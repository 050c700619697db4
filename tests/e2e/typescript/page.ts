// An integrator's page, written against the page library's declarations as a TypeScript project
// would be: it must compile under --strict, or the declarations broke someone's build.
import {
  connect, ecdsaSignatureToDer, P11BridgeError, ErrorCodes,
  type Certificate, type P11Bridge, type PinQuestion,
} from 'p11bridge';

export async function signDocument(document: Uint8Array, signedList: { domains: string; signature: string }): Promise<Uint8Array> {
  const abort = new AbortController();
  const bridge: P11Bridge = await connect({ timeout: 5000 });
  const stop = bridge.onDisconnect((reason: string) => console.warn(reason));
  try {
    await bridge.initialize({ ...signedList, timeout: 10000 });
    const lengths: readonly number[] = bridge.capabilities.hashLengths['EC'] ?? [];
    const certificates: Certificate[] = await bridge.listCertificates({ signal: abort.signal });
    const usable = certificates.filter((c) => c.keyAlgorithm.name === 'RSA' || lengths.includes(48));
    const hash = new Uint8Array(await crypto.subtle.digest('SHA-384', document));
    const askPin = ({ previousWasWrong, retriesLeft, signal }: PinQuestion): string | null =>
      signal.aborted ? null : prompt(previousWasWrong ? `Wrong PIN (${retriesLeft ?? '?'} left)` : 'PIN');
    const signature = await bridge.sign(usable[0].id, hash, { askPin, signal: abort.signal, timeout: 60000 });
    return usable[0].keyAlgorithm.name === 'EC' ? ecdsaSignatureToDer(signature) : signature;
  } catch (e) {
    if (e instanceof P11BridgeError && (e.name === 'cancelled' || e.code === ErrorCodes.noToken)) return new Uint8Array();
    throw e;
  } finally {
    stop();
    await bridge.close();
  }
}

// A test double, as integrators write them.
export const refusal: P11BridgeError = new P11BridgeError(ErrorCodes.pinRefused, 'wrong PIN', { pinRefusals: 1 });
