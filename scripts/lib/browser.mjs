// Starts a browser with the demo extension under Puppeteer, in a place of its
// own: the demo and the end-to-end test never open the user's browser profile
// nor read the user's native-messaging manifests.
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

export const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
// P11BRIDGE_EXTENSION_DIR loads another build of the extension (a fork, or an older one).
export const EXTENSION_DIR = path.resolve(process.env.P11BRIDGE_EXTENSION_DIR || path.join(REPO, 'browser/extension'));
export const NODE_MODULES = path.join(REPO, 'tests/e2e/node_modules');

export const CHROMIUM_FLAGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// What differs between the browsers, for DIR, the run's own folder for the
// browser: where it looks for the host's manifest (`install` are
// p11bridge-install's options for that), and how it gets the extension.
export const BROWSERS = {
  // Chromium looks in the user-data directory it is given.
  chromium: {
    executable: process.env.P11BRIDGE_CHROMIUM || '/usr/bin/chromium',
    install: (dir) => ['--profile', dir],
    env: () => ({}),
    launch: (dir) => ({ browser: 'chrome', userDataDir: dir, enableExtensions: true,
      args: [...CHROMIUM_FLAGS, `--disable-extensions-except=${EXTENSION_DIR}`, `--load-extension=${EXTENSION_DIR}`] }),
  },
  // Firefox looks in $HOME/.mozilla/native-messaging-hosts/, so DIR is its HOME.
  firefox: {
    executable: process.env.P11BRIDGE_FIREFOX || '/usr/bin/firefox-esr',
    install: () => ['--browsers', 'firefox'],
    env: (dir) => ({ HOME: dir }),
    launch: (dir) => ({ browser: 'firefox', enableExtensions: [firefoxExtension(path.join(dir, 'extension'))] }),
  },
};

// Firefox takes its variant of the manifest only under the name manifest.json.
function firefoxExtension(dir) {
  fs.cpSync(EXTENSION_DIR, dir, { recursive: true });
  fs.renameSync(path.join(dir, 'manifest.firefox.json'), path.join(dir, 'manifest.json'));
  return dir;
}

// puppeteer-core lives with the end-to-end test's packages (npm ci there).
export async function loadPuppeteer() {
  if (!fs.existsSync(path.join(NODE_MODULES, 'puppeteer-core'))) return null;
  const entry = createRequire(path.join(REPO, 'tests/e2e/package.json')).resolve('puppeteer-core');
  return (await import(pathToFileURL(entry))).default;
}

// `env` reaches the host too: the browser starts it and it inherits the
// browser's environment (that is how SOFTHSM2_CONF gets to SoftHSM2).
export async function launchWithExtension({ browser = 'chromium', dir, env, headless = true }) {
  const puppeteer = await loadPuppeteer();
  if (!puppeteer) throw new Error(`puppeteer-core is not installed: run npm ci in ${path.dirname(NODE_MODULES)}`);
  const kind = BROWSERS[browser];
  return puppeteer.launch({
    executablePath: kind.executable,
    headless,
    env: { ...process.env, ...kind.env(dir), ...env },
    defaultViewport: { width: 1100, height: 1300 },
    ...kind.launch(dir),
  });
}

// Processes whose executable is `binary`, found through /proc, so the test
// can see the host start with a tab and end with it.
export function processesOf(binary) {
  const want = fs.realpathSync(binary);
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (fs.readlinkSync(`/proc/${entry}/exe`) === want) found.push(Number(entry));
    } catch {
      // Gone already, or not ours to look at.
    }
  }
  return found;
}

export async function waitFor(condition, { timeout = 10000, interval = 100 } = {}) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) return value;
    await new Promise((r) => setTimeout(r, interval));
  }
}
