import { P11BridgeClient } from './p11bridge-client.js';
import { subjectPublicKeyInfo } from './der.js';

const INITIALIZE = 0;
const LIST_CERTIFICATES = 2;
const SET_PIN = 3;
const GET_CERTIFICATE = 4;
const SIGN = 5;
const PIN_CHAR = 6;
const PIN_BACKSPACE = 7;

const ERROR_WORDS = {
  0: 'No error.',
  1: 'The host could not start its security library.',
  3: 'The host could not decode what it was given (the hash or the certificate identifier).',
  5: 'The token refused the PIN.',
  8: 'The host could not read its built-in domain-list key.',
  9: "This page's domain is not on the signed list of authorised domains, so the host will not serve it.",
  10: 'The signature over the domain list is not valid: the list was not signed with the key this host trusts.',
  11: 'The token needs its PIN.',
  12: 'The token or its PKCS#11 module reported a failure.',
};

const $ = (id) => document.getElementById(id);
const client = new P11BridgeClient();
let certificates = [];
let initialized = false;

// ---- plain words ------------------------------------------------------------

function setText(id, text, attributes = {}) {
  const el = $(id);
  el.textContent = text;
  for (const [name, value] of Object.entries(attributes)) el.setAttribute(name, value);
}

function logExchange(direction, message) {
  const shown = { ...message };
  // The PIN never reaches the page's DOM, not even in the message log.
  if ('pin' in shown) shown.pin = '•'.repeat(String(shown.pin).length);
  if ('pinChar' in shown) shown.pinChar = '•';
  for (const [name, value] of Object.entries(shown)) {
    if (typeof value === 'string' && value.length > 100) {
      shown[name] = `${value.slice(0, 60)}… (${value.length} characters)`;
    }
  }
  const li = document.createElement('li');
  li.className = direction === 'in' ? 'from-host' : 'to-host';
  li.textContent = (direction === 'in' ? '← ' : '→ ') + JSON.stringify(shown);
  const log = $('log');
  log.appendChild(li);
  while (log.children.length > 40) log.firstChild.remove();
  li.scrollIntoView({ block: 'nearest' });
}

async function send(message) {
  logExchange('out', message);
  const reply = await client.send(message);
  if (reply) logExchange('in', reply);
  return reply;
}

// Describes a reply to a certificate, signing or PIN command; returns true when
// it reports no problem.
function showHostState(reply) {
  const details = $('host-details');
  details.replaceChildren();
  const add = (text) => {
    const li = document.createElement('li');
    li.textContent = text;
    details.appendChild(li);
  };
  const state = $('host-state');
  state.classList.remove('problem');

  // The short error reply: the host would not run the command at all.
  if (reply.error === true && reply.lastError === undefined) {
    state.textContent = `The host refused the request: ${reply.message}.`;
    state.dataset.code = '';
    state.classList.add('problem');
    return false;
  }

  const code = reply.lastError;
  state.dataset.code = String(code);
  if (reply.invalidPin) {
    state.textContent = `The token "${reply.pinModuleName}" refused the PIN (lastError ${code}). Type a different PIN and sign again; the same PIN will not be tried again.`;
  } else if (reply.missingPin) {
    state.textContent = `The token "${reply.pinModuleName}" needs its PIN (lastError ${code}): type it in the PIN field and sign again.`;
  } else if (code !== 0) {
    state.textContent = `Error ${code}: ${ERROR_WORDS[code] ?? 'an error this page does not know.'}`;
  } else {
    state.textContent = 'No error.';
  }
  const problem = code !== 0 || reply.invalidPin || reply.missingPin;
  if (problem) state.classList.add('problem');

  // The host keeps the message and low-level code of its last failure beside a later code 0,
  // so they describe this reply only when it reports an error.
  if (code !== 0 && reply.errorMessage) add(`The host's own words: "${reply.errorMessage}"`);
  if (code !== 0 && reply.lastLowLevelError) add(`Low-level code from the token module or security library: ${reply.lastLowLevelError}`);
  if (reply.pinRetryCount !== undefined && reply.pinRetryCount > 0) {
    add(`PINs refused so far: ${reply.pinRetryCount}`);
  }
  add(`PIN characters typed and not yet handed to the token: ${reply.pinLength}`);
  return !problem;
}

function showPinLength(reply) {
  // The field shows dots only; its value is rebuilt from the host's count so
  // no typed character is ever kept in the page.
  $('pin').value = '•'.repeat(reply.pinLength ?? 0);
  setText('pin-state', reply.pinLength ? `${reply.pinLength} character(s) typed.` : 'No PIN typed.');
}

function showFailure(where, error) {
  const state = $('host-state');
  state.textContent = `${where}: ${error.message}`;
  state.dataset.code = '';
  state.classList.add('problem');
}

// ---- Base64 and certificates ------------------------------------------------

function base64ToBytes(text) {
  // The host breaks its Base64 with CR LF every 64 characters.
  const binary = atob(text.replace(/\s+/g, ''));
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

function bytesToBase64(bytes) {
  let binary = '';
  for (const b of new Uint8Array(bytes)) binary += String.fromCharCode(b);
  return btoa(binary);
}

function parseCertificateList(text) {
  if (!text) return [];
  const fields = text.split('|');
  const list = [];
  for (let i = 0; i + 2 < fields.length; i += 3) {
    list.push({ issuer: fields[i], subject: fields[i + 1], id: fields[i + 2] });
  }
  return list;
}

function showCertificates(hostRefused) {
  const body = $('certificates').querySelector('tbody');
  body.replaceChildren();
  certificates.forEach((cert, index) => {
    const row = document.createElement('tr');
    const pick = document.createElement('input');
    pick.type = 'radio';
    pick.name = 'certificate';
    pick.value = String(index);
    pick.checked = index === 0;
    pick.setAttribute('aria-label', `Use ${cert.subject}`);
    const cells = [pick, cert.issuer, cert.subject, cert.id];
    cells.forEach((content, column) => {
      const cell = document.createElement('td');
      if (column === 3) cell.className = 'identifier';
      cell.append(content);
      row.appendChild(cell);
    });
    body.appendChild(row);
  });
  let note = `${certificates.length} certificate(s) that allow signing.`;
  if (certificates.length === 0) {
    note = hostRefused
      ? 'No certificates: the host did not list them (see what the host reports below).'
      : 'No certificate on the token allows signing.';
  }
  setText('certificates-note', note);
  $('sign').disabled = certificates.length === 0;
}

function selectedCertificate() {
  const picked = document.querySelector('input[name="certificate"]:checked');
  return picked ? certificates[Number(picked.value)] : undefined;
}

// ---- the road -----------------------------------------------------------------

async function connect() {
  if (!(await client.ready())) {
    setText('connection-state', 'The p11bridge extension is not installed in this browser, or not allowed on this page.', { 'data-state': 'error' });
    return;
  }
  client.onDisconnect((reason) => {
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
  const claim = new URLSearchParams(window.location.search).get('claim');
  try {
    const ack = await send({
      command: INITIALIZE,
      domains: config.domains,
      signature: config.signature,
      currentDomain: claim ?? window.location.origin,
      caSubjectNames: '',
    });
    if (ack.error) {
      setText('connection-state', `The host refused to start: ${ack.message}.`, { 'data-state': 'error' });
      return;
    }
    initialized = true;
    setText('connection-state', `Connected. Authorised domains: ${config.domains}. This page: ${window.location.hostname}${claim ? ` (it claimed to be ${claim})` : ''}.`, { 'data-state': 'ok' });
  } catch (e) {
    setText('connection-state', `The host could not be reached: ${e.message}`, { 'data-state': 'error' });
    return;
  }
  await listCertificates();
}

async function listCertificates() {
  try {
    const reply = await send({ command: LIST_CERTIFICATES });
    const fine = showHostState(reply);
    certificates = parseCertificateList(reply.certificates);
    showCertificates(!fine);
    if (reply.pinLength !== undefined) showPinLength(reply);
  } catch (e) {
    showFailure('Listing the certificates failed', e);
  }
}

async function pinCommand(message) {
  try {
    const reply = await send(message);
    showPinLength(reply);
  } catch (e) {
    showFailure('The PIN could not be passed on', e);
  }
}

function typePinCharacter(ch) {
  // The host takes one byte per keystroke; a character that needs more than
  // one byte in UTF-8 would arrive cut.
  if (ch < ' ' || ch > '~') {
    setText('pin-state', 'Only plain ASCII characters can be typed into the PIN.');
    return;
  }
  pinCommand({ command: PIN_CHAR, pinChar: ch });
}

function wirePinField() {
  const pin = $('pin');
  pin.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.key === 'Backspace') {
      event.preventDefault();
      pinCommand({ command: PIN_BACKSPACE });
    } else if (event.key === 'Enter') {
      event.preventDefault();
      sign();
    } else if ([...event.key].length === 1) {
      event.preventDefault();
      typePinCharacter(event.key);
    }
  });
  // Whatever else would edit the field (IME, drop, cut, autofill) is refused:
  // only the host's count of typed characters decides what it shows.
  pin.addEventListener('beforeinput', (event) => event.preventDefault());
  pin.addEventListener('paste', (event) => {
    event.preventDefault();
    for (const ch of event.clipboardData.getData('text')) typePinCharacter(ch);
  });
  $('pin-clear').addEventListener('click', () => pinCommand({ command: SET_PIN, pin: '' }));
}

async function verify(cert, text, signatureBytes) {
  const reply = await send({ command: GET_CERTIFICATE, certId: cert.id });
  if (!reply.certificate) throw new Error(`the host gave no certificate (lastError ${reply.lastError})`);
  const spki = subjectPublicKeyInfo(base64ToBytes(reply.certificate));
  const key = await crypto.subtle.importKey('spki', spki, { name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-256' }, false, ['verify']);
  return crypto.subtle.verify('RSASSA-PKCS1-v1_5', key, signatureBytes, text);
}

async function sign() {
  const cert = selectedCertificate();
  if (!initialized || !cert) return;
  setText('signature', '');
  setText('verification', '', { 'data-state': 'none' });
  const text = new TextEncoder().encode($('text').value);
  const digest = bytesToBase64(await crypto.subtle.digest('SHA-256', text));
  setText('digest', digest);
  $('sign').disabled = true;
  try {
    const reply = await send({ command: SIGN, certId: cert.id, digest });
    showHostState(reply);
    showPinLength(reply);
    if (!reply.pkcs1) {
      setText('verification', 'Nothing signed yet.', { 'data-state': 'none' });
      return;
    }
    const signatureText = reply.pkcs1.replace(/\s+/g, '');
    setText('signature', signatureText);
    try {
      const good = await verify(cert, text, base64ToBytes(signatureText));
      setText('verification', good
        ? "Signature verified: it matches the text and the certificate's public key."
        : "The signature does NOT match the text and the certificate's public key.",
      { 'data-state': good ? 'ok' : 'failed' });
    } catch (e) {
      setText('verification', `The signature could not be checked: ${e.message}`, { 'data-state': 'failed' });
    }
  } catch (e) {
    showFailure('Signing failed', e);
  } finally {
    $('sign').disabled = certificates.length === 0;
    // Lets scripts that drive the page see that this press is fully handled.
    const section = $('sign-section');
    section.dataset.completed = String(Number(section.dataset.completed ?? 0) + 1);
  }
}

wirePinField();
$('sign').addEventListener('click', sign);
connect();
