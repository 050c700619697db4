// Starts Debian's Chromium with the demo extension under Playwright, in a
// profile of its own: the demo and the end-to-end test never open the user's
// browser profile.
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const EXTENSION_DIR = path.join(REPO, 'browser/extension');
export const CHROMIUM = process.env.P11BRIDGE_CHROMIUM || '/usr/bin/chromium';
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

// playwright-core lives with the end-to-end test's packages (npm ci there).
export function loadPlaywright() {
  if (!fs.existsSync(path.join(NODE_MODULES, 'playwright-core'))) return null;
  return createRequire(path.join(REPO, 'tests/e2e/package.json'))('playwright-core');
}

export function extensionFlags(extensionDir = EXTENSION_DIR) {
  return [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`];
}

// `env` reaches the host too: the browser starts it and it inherits the
// browser's environment (that is how SOFTHSM2_CONF gets to SoftHSM2).
export async function launchWithExtension({ profileDir, env, headless = true, extensionDir = EXTENSION_DIR }) {
  const playwright = loadPlaywright();
  if (!playwright) throw new Error(`playwright-core is not installed: run npm ci in ${path.dirname(NODE_MODULES)}`);
  return playwright.chromium.launchPersistentContext(profileDir, {
    executablePath: CHROMIUM,
    headless,
    args: [...CHROMIUM_FLAGS, ...extensionFlags(extensionDir)],
    // Playwright's own defaults include --disable-extensions.
    ignoreDefaultArgs: ['--disable-extensions'],
    env: { ...process.env, ...env },
    viewport: { width: 1100, height: 1300 },
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
