// One native host per tab, started on the tab's first request and ended when
// the tab's page goes away. The host keeps the page's state in its process
// (the Initialize texts, the PIN typed so far, the PIN records), so a host per
// message would forget it all between keystrokes.
//
// The host cannot see which page it serves. The browser can: every Initialize
// gets the origin of the frame that sent it, whatever the page put there, so a
// page cannot borrow a domain that is on the signed list.
//
// Nothing the page wrote reaches the host as written: each request is built
// afresh from the members its command takes. Member names the host might read
// differently from this script (other spellings, escapes, repeats) and members
// no command takes are thus never sent, and every value the host gets is a
// string.
//
// Why the host could not be reached is told to the page as a stable code, so
// that no page reads the browser's words, which differ between browsers.

const HOST_NAME = 'org.p11bridge.host';
const CHANNEL = 'p11bridge';
// The host reads requests into a fixed buffer; a longer one would be refused
// and its body taken for the next length prefix, so it never leaves here.
const MAX_REQUEST_BYTES = 999;
// The page library waits for each answer before it asks again, so a tab with
// more than this many requests waiting for the host is flooding: without a
// bound its queue, held in this background and drained at the host's pace
// (up to REPLY_TIMEOUT_MS a request), would grow as long as the page likes.
const MAX_QUEUED_REQUESTS = 32;
// Long enough for a card reader with its own PIN pad to wait for the user.
const REPLY_TIMEOUT_MS = 120000;
const COMMAND_INITIALIZE = 0;
const COMMAND_QUIT = 1;
const COMMAND_PIN_BACKSPACE = 7;
// The members each command takes from the page, by command code; Initialize's
// "currentDomain" is the browser's to give.
const MEMBERS = [
  ['domains', 'signature', 'caSubjectNames'],
  [],
  [],
  ['pin'],
  ['certId'],
  ['certId', 'digest'],
  ['pinChar'],
  [],
];
// Members a command may carry or leave out, by command code: Initialize asks
// for what the host signs with "capabilities", which an older host ignores.
const OPTIONAL_MEMBERS = [['capabilities'], [], [], [], [], [], [], []];

// The browsers' reasons for a native connection that failed, Chromium's and
// Firefox's, and the code the page gets for each; any other is the host's end.
const FAILURES = [
  [/not found|No such native application/i, 'hostNotInstalled'],
  [/forbidden|does not have permission/i, 'hostForbidden'],
  [/disabled by the system administrator|blocked by|policy/i, 'hostBlocked'],
];
const failureCode = (reason) => (FAILURES.find(([pattern]) => pattern.test(reason)) ?? [null, 'hostEnded'])[1];

const sessions = new Map();

function senderOrigin(sender) {
  if (typeof sender.origin === 'string' && sender.origin !== '') return sender.origin;
  // Firefox reports the frame's URL but no origin.
  try {
    return new URL(sender.url).origin;
  } catch (e) {
    return 'null';
  }
}

function disconnectReason(port) {
  const error = port.error || (chrome.runtime.lastError ? chrome.runtime.lastError : null);
  return error && error.message ? error.message : 'The host ended.';
}

class Session {
  constructor(page, origin) {
    this.page = page;
    this.origin = origin;
    this.host = null;
    this.queue = [];
    this.inFlight = null;
    this.timer = null;
    this.closed = false;
  }

  // The page's connect: one harmless request reaches the host, unless a host
  // already runs for this tab (a backspace would then erase a PIN character).
  // A backspace on a fresh host changes nothing.
  probe(id) {
    if (this.host) {
      this.answer(id, { connected: true });
      return;
    }
    this.queue.push({ id, request: { command: COMMAND_PIN_BACKSPACE }, probe: true });
    this.pump();
  }

  // The page gave up on a request: one still waiting is dropped; one at the
  // host ends it, as a host that does not answer in time does, since its late
  // reply would be taken for the next request's.
  cancel(id) {
    const waiting = this.queue.findIndex((q) => q.id === id);
    if (waiting >= 0) {
      const [dropped] = this.queue.splice(waiting, 1);
      this.answer(dropped.id, { error: 'The page cancelled the request.', refused: true });
    } else if (this.inFlight && this.inFlight.id === id) {
      this.failAll('The page cancelled a request the host was working on; the host has been stopped.');
      this.dropHost('The page cancelled a request the host was working on.');
    }
  }

  // Requests go to the host one at a time: it answers each with exactly one
  // reply, in order, so the reply always belongs to the request in flight.
  submit(id, message) {
    if (this.queue.length >= MAX_QUEUED_REQUESTS) {
      const error = `${MAX_QUEUED_REQUESTS} requests already wait for the host; ask again once they are answered.`;
      this.answer(id, { error, refused: true });
      return;
    }
    const request = this.rebuild(message);
    if (typeof request === 'string') {
      this.answer(id, { error: request, refused: true });
      return;
    }
    const bytes = new TextEncoder().encode(JSON.stringify(request)).length;
    if (bytes > MAX_REQUEST_BYTES) {
      this.answer(id, { error: `The request is ${bytes} bytes long; the host takes at most ${MAX_REQUEST_BYTES}.`, refused: true });
      return;
    }
    this.queue.push({ id, request });
    this.pump();
  }

  // The request for the host, or the reason it is refused.
  rebuild(message) {
    if (message === null || typeof message !== 'object' || Array.isArray(message)) {
      return 'A request must be a JSON object.';
    }
    const command = message.command;
    if (!Number.isInteger(command) || command < 0 || command >= MEMBERS.length) {
      return `Unknown command: the host knows the commands 0 to ${MEMBERS.length - 1}.`;
    }
    const request = { command };
    for (const name of MEMBERS[command]) {
      const value = Object.hasOwn(message, name) ? message[name] : undefined;
      if (value === undefined) return `Command ${command} needs the member "${name}", and the request has none.`;
      if (typeof value !== 'string') return `The member "${name}" must be a string.`;
      request[name] = value;
    }
    for (const name of OPTIONAL_MEMBERS[command]) {
      const value = Object.hasOwn(message, name) ? message[name] : undefined;
      if (value === undefined) continue;
      if (typeof value !== 'string') return `The member "${name}" must be a string.`;
      request[name] = value;
    }
    if (command === COMMAND_INITIALIZE) request.currentDomain = this.origin;
    return request;
  }

  pump() {
    if (this.closed || this.inFlight || this.queue.length === 0) return;
    if (!this.host && !this.connectHost()) return;
    const next = this.queue.shift();
    if (next.request.command === COMMAND_QUIT) {
      // The host ends without a reply; ending the port ends it all the same.
      this.host.postMessage(next.request);
      this.answer(next.id, { reply: null });
      this.dropHost('The page ended the host.');
      this.pump();
      return;
    }
    this.inFlight = next;
    this.timer = setTimeout(() => {
      // A late reply would be taken for the next request's: start afresh.
      this.failAll('The host did not answer in time; it has been stopped.');
      this.dropHost('The host did not answer in time.');
    }, REPLY_TIMEOUT_MS);
    try {
      this.host.postMessage(next.request);
    } catch (e) {
      this.failAll('The host could not be reached: ' + e.message);
      this.dropHost(e.message);
    }
  }

  connectHost() {
    let port;
    try {
      port = chrome.runtime.connectNative(HOST_NAME);
    } catch (e) {
      this.failAll('The host could not be started: ' + e.message, failureCode(e.message));
      return false;
    }
    port.onMessage.addListener((reply) => this.onHostReply(port, reply));
    port.onDisconnect.addListener(() => {
      if (this.host !== port) return;
      const reason = disconnectReason(port);
      this.host = null;
      this.failAll(reason, failureCode(reason));
      this.notifyPage(reason);
    });
    this.host = port;
    return true;
  }

  onHostReply(port, reply) {
    if (port !== this.host || !this.inFlight) return;
    clearTimeout(this.timer);
    const done = this.inFlight;
    this.inFlight = null;
    if (done.probe) this.answer(done.id, { connected: true });
    else this.answer(done.id, { reply });
    this.pump();
  }

  failAll(reason, code = 'hostEnded') {
    clearTimeout(this.timer);
    const pending = this.inFlight ? [this.inFlight, ...this.queue] : this.queue;
    this.inFlight = null;
    this.queue = [];
    for (const p of pending) this.answer(p.id, { error: reason, code });
  }

  dropHost(reason) {
    if (!this.host) return;
    const port = this.host;
    this.host = null;
    port.disconnect();
    this.notifyPage(reason);
  }

  answer(id, body) {
    if (this.closed) return;
    try {
      this.page.postMessage({ id, ...body });
    } catch (e) {
      // The page is gone; close() follows from its port's disconnect.
    }
  }

  // Every request sent before this has had its answer already ("answered"):
  // the page must not fail the ones it sent since, which go to a new host.
  notifyPage(reason) {
    if (this.closed) return;
    try {
      this.page.postMessage({ disconnected: reason, answered: true });
    } catch (e) {
      // As above.
    }
  }

  close() {
    if (this.closed) return;
    this.failAll('The page went away.');
    this.closed = true;
    if (this.host) {
      const port = this.host;
      this.host = null;
      port.disconnect();
    }
  }
}

chrome.runtime.onConnect.addListener((page) => {
  if (page.name !== CHANNEL) return;
  const sender = page.sender || {};
  // Only a tab's top frame talks to the host; its origin is the one checked.
  if (!sender.tab || sender.frameId !== 0) {
    page.disconnect();
    return;
  }
  const tabId = sender.tab.id;
  const previous = sessions.get(tabId);
  if (previous) previous.close();
  const session = new Session(page, senderOrigin(sender));
  sessions.set(tabId, session);

  page.onMessage.addListener((msg) => {
    if (!msg || msg.id === undefined) return;
    if (msg.connect === true) session.probe(msg.id);
    else if (msg.cancel === true) session.cancel(msg.id);
    else session.submit(msg.id, msg.message);
  });
  // Closing the tab or navigating away unloads the content script, which
  // disconnects this port.
  page.onDisconnect.addListener(() => {
    session.close();
    if (sessions.get(tabId) === session) sessions.delete(tabId);
  });
});

chrome.tabs.onRemoved.addListener((tabId) => {
  const session = sessions.get(tabId);
  if (session) {
    session.close();
    sessions.delete(tabId);
  }
});
