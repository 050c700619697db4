// Relays between the page (window.postMessage) and the extension's background
// (one runtime port per page). The page never reaches the host directly: the
// background decides what the host is told about where a request came from.
(() => {
  const CHANNEL = 'p11bridge';
  let background = null;

  function toPage(data) {
    window.postMessage({ channel: CHANNEL, direction: 'to-page', ...data }, window.location.origin);
  }

  function connectBackground() {
    const port = chrome.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener((msg) => {
      if (msg && msg.disconnected !== undefined) {
        toPage({ type: 'disconnected', reason: msg.disconnected });
      } else if (msg && msg.id !== undefined) {
        toPage({ type: 'reply', id: msg.id, reply: msg.reply, error: msg.error, refused: msg.refused === true });
      }
    });
    port.onDisconnect.addListener(() => {
      // The extension was reloaded or its background died; the host went with it,
      // so whatever the page had set up there is gone.
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
      toPage({ type: 'ready' });
      return;
    }
    if (data.type !== 'request') return;
    try {
      if (!background) background = connectBackground();
      background.postMessage({ id: data.id, message: data.message });
    } catch (e) {
      toPage({ type: 'reply', id: data.id, error: 'The extension is not available: ' + e.message });
    }
  });

  toPage({ type: 'ready' });
})();
