// The page's side of the relay: requests go to the extension's content script
// with window.postMessage, replies come back the same way, matched by id.
const CHANNEL = 'p11bridge';

export class P11BridgeClient {
  constructor() {
    this.nextId = 1;
    this.pending = new Map();
    this.readyWaiters = [];
    this.isReady = false;
    this.disconnectListeners = [];
    window.addEventListener('message', (event) => this.onMessage(event));
  }

  onMessage(event) {
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== 'to-page') return;
    if (data.type === 'ready') {
      this.isReady = true;
      for (const resolve of this.readyWaiters.splice(0)) resolve(true);
    } else if (data.type === 'reply') {
      const waiter = this.pending.get(data.id);
      if (!waiter) return;
      this.pending.delete(data.id);
      if (data.error !== undefined) waiter.reject(new Error(data.error));
      else waiter.resolve(data.reply);
    } else if (data.type === 'disconnected') {
      for (const listener of this.disconnectListeners) listener(data.reason);
    }
  }

  // Resolves true once the extension's content script answers, false after
  // `timeoutMs` without one (the extension is not installed or not allowed here).
  ready(timeoutMs = 3000) {
    if (this.isReady) return Promise.resolve(true);
    return new Promise((resolve) => {
      const ping = () => window.postMessage({ channel: CHANNEL, direction: 'to-extension', type: 'ping' }, window.location.origin);
      const timer = setInterval(ping, 200);
      const finish = (ready) => {
        clearInterval(timer);
        resolve(ready);
      };
      this.readyWaiters.push(finish);
      setTimeout(() => finish(this.isReady), timeoutMs);
      ping();
    });
  }

  send(message) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      window.postMessage({ channel: CHANNEL, direction: 'to-extension', type: 'request', id, message }, window.location.origin);
    });
  }

  onDisconnect(listener) {
    this.disconnectListeners.push(listener);
  }
}
