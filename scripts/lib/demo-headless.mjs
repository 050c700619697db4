// The demo without a display: drives the page through the signing road in
// headless Chromium, tells in plain words what happened, and saves a
// screenshot.
//
//   node scripts/lib/demo-headless.mjs --url URL --profile DIR --token-conf FILE --pin PIN --screenshot FILE
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { launchWithExtension } from './browser.mjs';
import { openDemo, readState, typePin, sign } from './signing-road.mjs';

const { values: args } = parseArgs({
  options: {
    url: { type: 'string' },
    profile: { type: 'string' },
    'token-conf': { type: 'string' },
    pin: { type: 'string' },
    screenshot: { type: 'string' },
  },
});
for (const name of ['url', 'profile', 'token-conf', 'pin', 'screenshot']) {
  if (!args[name]) {
    console.error(`demo-headless: --${name} is missing`);
    process.exit(2);
  }
}

const say = (text) => console.log(`  ${text}`);
const browser = await launchWithExtension({ dir: args.profile, env: { SOFTHSM2_CONF: args['token-conf'] } });
let ok = false;
try {
  const page = await browser.newPage();
  let state = await openDemo(page, args.url);
  say(`Opened ${args.url} in headless Chromium with the p11bridge extension.`);
  say(state.connection);
  if (state.connectionState !== 'ok' || state.certificates.length === 0) {
    say(`The host says: ${state.hostState}`);
    for (const detail of state.hostDetails) say(`  ${detail}`);
  } else {
    const cert = state.certificates[0];
    say(`The token holds ${state.certificates.length} signing certificate(s); using "${cert.subject}" (identifier ${cert.id}).`);

    state = await sign(page);
    say(`Signing before any PIN was given: ${state.hostState}`);

    await typePin(page, args.pin);
    say(`Typed the PIN key by key; the page shows only "${(await readState(page)).pinField}".`);

    state = await sign(page);
    say(`Signed the SHA-256 of "${state.text}": ${state.hostState}`);
    if (state.signature) say(`Signature: ${state.signature.slice(0, 48)}… (${state.signature.length} Base64 characters)`);
    say(state.verification);
    ok = state.verificationState === 'ok';
    if (!ok) for (const detail of state.hostDetails) say(`  ${detail}`);
  }
  fs.mkdirSync(path.dirname(args.screenshot), { recursive: true });
  await page.screenshot({ path: args.screenshot, fullPage: true });
  say(`Screenshot: ${args.screenshot}`);
} finally {
  await browser.close();
}
console.log(ok
  ? '\nThe demo worked: the token signed, and the page verified the signature against the certificate.'
  : '\nThe demo did not get to a verified signature; see above for what the host said.');
process.exit(ok ? 0 : 1);
