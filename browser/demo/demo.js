import { connect } from './p11bridge.js';

const $ = (id) => document.getElementById(id);
let bridge = null;
let certificates = [];

// ---- plain words ------------------------------------------------------------

function setText(id, text, attributes = {}) {
  const el = $(id);
  el.textContent = text;
  for (const [name, value] of Object.entries(attributes)) el.setAttribute(name, value);
}

// The library hands over messages with the PIN already replaced by dots.
function logExchange(direction, message) {
  const shown = { ...message };
  for (const [name, value] of Object.entries(shown)) {
    if (typeof value === 'string' && value.length > 100) {
      shown[name] = `${value.slice(0, 60)}… (${value.length} characters)`;
    }
  }
  const li = document.createElement('li');
  li.className = direction === 'from-host' ? 'from-host' : 'to-host';
  li.textContent = (direction === 'from-host' ? '← ' : '→ ') + JSON.stringify(shown);
  const log = $('log');
  log.appendChild(li);
  while (log.children.length > 40) log.firstChild.remove();
  li.scrollIntoView({ block: 'nearest' });
}

const ADVICE = {
  5: 'Type a different PIN and sign again; the same PIN will not be tried again.',
  11: 'Type it in the PIN field and sign again.',
};

// Shows how the last certificate or signing command ended: `error` is what the
// library threw (a P11BridgeError or anything else), or null for success.
function showOutcome(error, where) {
  const state = $('host-state');
  const details = $('host-details');
  details.replaceChildren();
  const add = (text) => details.appendChild(document.createElement('li')).append(text);
  state.classList.toggle('problem', error !== null);
  if (error === null) {
    state.textContent = 'No error.';
    state.dataset.code = '0';
  } else if (error.code <= 12) {
    const token = error.pinModuleName ? ` (token "${error.pinModuleName}")` : '';
    const advice = ADVICE[error.code] && !error.pinLocked ? ` ${ADVICE[error.code]}` : '';
    state.textContent = `Error ${error.code}: ${error.message}${token}${advice}`;
    state.dataset.code = String(error.code);
    if (error.hostMessage) add(`The host's own words: "${error.hostMessage}"`);
    if (error.lowLevelCode) add(`Low-level code from the token module or security library: ${error.lowLevelCode}`);
    if (error.pinRefusals > 0) add(`PINs refused so far: ${error.pinRefusals}`);
  } else {
    state.textContent = `${where}: ${error.message}${error.name ? ` (${error.name})` : ''}`;
    state.dataset.code = '';
  }
  if (bridge) add(`PIN characters typed and not yet handed to the token: ${bridge.pinLength}`);
}

function showPinLength() {
  // The field shows dots only, as many as the host counts: no typed character stays in the page.
  const length = bridge ? bridge.pinLength : 0;
  $('pin').value = '•'.repeat(length);
  setText('pin-state', length ? `${length} character(s) typed.` : 'No PIN typed.');
}

// The host signs with RSA and EC keys only: any other is shown, never offered.
const signable = (cert) => cert.keyAlgorithm.name === 'RSA' || cert.keyAlgorithm.name === 'EC';
const keyText = ({ name, modulusLength, namedCurve }) =>
  (name === 'RSA' ? `RSA ${modulusLength}` : name === 'EC' ? `EC ${namedCurve}` : 'not RSA or EC: cannot sign');

function showCertificates(hostRefused) {
  const body = $('certificates').querySelector('tbody');
  body.replaceChildren();
  const first = certificates.findIndex(signable);
  certificates.forEach((cert, index) => {
    const row = body.insertRow();
    const pick = document.createElement('input');
    pick.type = 'radio';
    pick.name = 'certificate';
    pick.value = String(index);
    pick.checked = index === first;
    pick.disabled = !signable(cert);
    pick.setAttribute('aria-label', `Use ${cert.subject}`);
    for (const content of [pick, cert.issuer, cert.subject, cert.id, keyText(cert.keyAlgorithm)]) row.insertCell().append(content);
    row.cells[3].className = 'identifier';
  });
  let note = `${certificates.length} certificate(s) that allow signing.`;
  if (first === -1 && certificates.length > 0) note = 'No certificate on the token has a key the host can sign with (RSA or EC).';
  if (certificates.length === 0) {
    note = hostRefused
      ? 'No certificates: the host did not list them (see what the host reports below).'
      : 'No certificate on the token allows signing.';
  }
  setText('certificates-note', note);
  $('sign').disabled = first === -1;
}

const base64 = (bytes) => btoa(String.fromCharCode(...bytes));

// ---- the road -----------------------------------------------------------------

async function start() {
  try {
    bridge = await connect({ onExchange: logExchange });
  } catch (e) {
    setText('connection-state', e.message, { 'data-state': 'error' });
    return;
  }
  bridge.onDisconnect((reason) => {
    setText('connection-state', `The connection to the host ended: ${reason} Reload the page to start again.`, { 'data-state': 'error' });
  });

  let config;
  try {
    const response = await fetch('demo-config.json', { cache: 'no-store' });
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    config = await response.json();
  } catch (e) {
    setText('connection-state', `The signed domain list (demo-config.json) could not be loaded: ${e.message}.`, { 'data-state': 'error' });
    return;
  }

  // ?claim=... makes this page pretend to be another site, to show that the
  // extension, not the page, decides which domain the host checks.
  const claim = new URLSearchParams(window.location.search).get('claim') ?? undefined;
  try {
    await bridge.initialize({ domains: config.domains, signature: config.signature, currentDomain: claim });
    setText('connection-state', `Connected. Authorised domains: ${config.domains}. This page: ${window.location.hostname}${claim ? ` (it claimed to be ${claim})` : ''}.`, { 'data-state': 'ok' });
  } catch (e) {
    setText('connection-state', `The host could not be started: ${e.message}`, { 'data-state': 'error' });
    return;
  }
  try {
    certificates = await bridge.listCertificates();
    showOutcome(null);
  } catch (e) {
    certificates = [];
    showOutcome(e, 'Listing the certificates failed');
  }
  showCertificates(certificates.length === 0 && $('host-state').dataset.code !== '0');
  showPinLength();
}

async function pinCommand(command) {
  if (!bridge) return;
  try {
    await command();
    showPinLength();
  } catch (e) {
    setText('pin-state', e.message);
  }
}

function wirePinField() {
  const pin = $('pin');
  pin.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.key === 'Backspace') {
      event.preventDefault();
      pinCommand(() => bridge.erasePinCharacter());
    } else if (event.key === 'Enter') {
      event.preventDefault();
      sign();
    } else if ([...event.key].length === 1) {
      event.preventDefault();
      pinCommand(() => bridge.typePinCharacter(event.key));
    }
  });
  // Whatever else would edit the field (IME, drop, cut, autofill) is refused:
  // only the host's count of typed characters decides what it shows.
  pin.addEventListener('beforeinput', (event) => event.preventDefault());
  pin.addEventListener('paste', (event) => {
    event.preventDefault();
    for (const ch of event.clipboardData.getData('text')) pinCommand(() => bridge.typePinCharacter(ch));
  });
  $('pin-clear').addEventListener('click', () => pinCommand(() => bridge.clearPin()));
}

// The host gives an EC signature as r then s, the form WebCrypto's ECDSA verify takes.
async function verify(cert, text, signature) {
  const algorithm = cert.keyAlgorithm.name === 'EC'
    ? { name: 'ECDSA', namedCurve: cert.keyAlgorithm.namedCurve, hash: 'SHA-256' }
    : { name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-256' };
  const key = await crypto.subtle.importKey('spki', cert.publicKeyInfo, algorithm, false, ['verify']);
  return crypto.subtle.verify(algorithm, key, signature, text);
}

// The PIN comes from the field above, key by key, so the library is given no
// askPin: a token still wanting its PIN ends the signature with code 11 or 5.
async function sign() {
  const picked = document.querySelector('input[name="certificate"]:checked');
  const cert = picked ? certificates[Number(picked.value)] : undefined;
  if (!bridge || !cert || !signable(cert)) return;
  setText('signature', '');
  setText('verification', '', { 'data-state': 'none' });
  const text = new TextEncoder().encode($('text').value);
  const hash = new Uint8Array(await crypto.subtle.digest('SHA-256', text));
  setText('digest', base64(hash));
  $('sign').disabled = true;
  try {
    const signature = await bridge.sign(cert.id, hash, { algorithm: 'sha256' });
    showOutcome(null);
    setText('signature', base64(signature));
    try {
      const good = await verify(cert, text, signature);
      setText('verification', good
        ? "Signature verified: it matches the text and the certificate's public key."
        : "The signature does NOT match the text and the certificate's public key.",
      { 'data-state': good ? 'ok' : 'failed' });
    } catch (e) {
      setText('verification', `The signature could not be checked: ${e.message}`, { 'data-state': 'failed' });
    }
  } catch (e) {
    showOutcome(e, 'Signing failed');
    setText('verification', 'Nothing signed yet.', { 'data-state': 'none' });
  } finally {
    showPinLength();
    $('sign').disabled = !certificates.some(signable);
    // Lets scripts that drive the page see that this press is fully handled.
    const section = $('sign-section');
    section.dataset.completed = String(Number(section.dataset.completed ?? 0) + 1);
  }
}

wirePinField();
$('sign').addEventListener('click', sign);
start();
