// Relays between the page (window.postMessage) and the extension's background
// (one runtime port per page). The page never reaches the host directly: the
// background decides what the host is told about where a request came from.
(() => {
  const CHANNEL = 'p11bridge';
  let background = null;
  // Whether the page was left with a port open, and so with a host that ended.
  let leftWithHost = false;
  // "verdicts": this extension answers a page's connect with whether the host can be reached.
  const READY = { type: 'ready', verdicts: true };

  function toPage(data) {
    window.postMessage({ channel: CHANNEL, direction: 'to-page', ...data }, window.location.origin);
  }

  function connectBackground() {
    const port = chrome.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener((msg) => {
      if (msg && msg.disconnected !== undefined) {
        toPage({ type: 'disconnected', reason: msg.disconnected, answered: msg.answered === true });
      } else if (msg && msg.id !== undefined && msg.connected === true) {
        toPage({ type: 'connected', id: msg.id });
      } else if (msg && msg.id !== undefined) {
        toPage({ type: 'reply', id: msg.id, reply: msg.reply, error: msg.error, code: msg.code, refused: msg.refused === true });
      }
    });
    port.onDisconnect.addListener(() => {
      // The extension was reloaded or its background stopped; the host went with it,
      // so whatever the page had set up there is gone, and so are the answers of
      // requests it held. The next request connects afresh.
      if (background === port) background = null;
      toPage({ type: 'disconnected', reason: 'The extension closed its connection.' });
    });
    return port;
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== 'to-extension') return;
    if (data.type === 'ping') {
      toPage(READY);
      return;
    }
    // "connect" asks whether the host can be reached; "cancel" gives up on a request.
    const kinds = { request: { message: data.message }, connect: { connect: true }, cancel: { cancel: true } };
    if (typeof data.type !== 'string' || !Object.hasOwn(kinds, data.type)) return;
    const forBackground = kinds[data.type];
    try {
      if (!background) background = connectBackground();
      background.postMessage({ id: data.id, ...forBackground });
    } catch (e) {
      if (data.type !== 'cancel') toPage({ type: 'reply', id: data.id, error: 'The extension is not available: ' + e.message });
    }
  });

  // A page kept in the back-forward cache keeps this script and would keep its
  // port, and with it the host and the PIN the host holds: Back would sign
  // with no new PIN. Ending the port ends the host, so the host ends whenever
  // the page is left, kept or not. Capturing, to run ahead of the page's own.
  window.addEventListener('pagehide', () => {
    if (!background) return;
    const port = background;
    background = null;
    leftWithHost = true;
    port.disconnect();
  }, true);
  // A page brought back from the cache would otherwise wait for ever on the
  // host it had: tell it the host ended, as when the host dies.
  window.addEventListener('pageshow', (event) => {
    if (!event.persisted || !leftWithHost) return;
    leftWithHost = false;
    toPage({ type: 'disconnected', reason: 'The page was left, and its host ended with it.' });
  }, true);

  // "started": a page already connected learns that the extension was started
  // afresh in it (Firefox injects a reloaded add-on into open pages), and with
  // it the host the page had is gone.
  toPage({ ...READY, started: true });
})();
