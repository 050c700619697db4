// Drives the demo page the way a person would: waits for the certificate
// list, types the PIN key by key, presses Sign and reads what the page says.
// Shared by the headless demo and the end-to-end test, which only differ in
// what they do with the answers.

const STEP_TIMEOUT = 20000;

export async function openDemo(page, url) {
  await page.goto(url);
  // The page has finished starting once its host panel says something.
  await page.waitForFunction(
    () => document.querySelector('#connection-state').dataset.state !== 'starting' &&
      (document.querySelector('#connection-state').dataset.state === 'error' ||
       document.querySelector('#host-state').textContent !== ''),
    { timeout: STEP_TIMEOUT });
  return readState(page);
}

export async function readState(page) {
  return page.evaluate(() => ({
    connection: document.querySelector('#connection-state').textContent,
    connectionState: document.querySelector('#connection-state').dataset.state,
    hostState: document.querySelector('#host-state').textContent,
    hostCode: document.querySelector('#host-state').dataset.code,
    hostDetails: [...document.querySelectorAll('#host-details li')].map((li) => li.textContent),
    certificates: [...document.querySelectorAll('#certificates tbody tr')].map((tr) => {
      const cells = tr.querySelectorAll('td');
      return { issuer: cells[1].textContent, subject: cells[2].textContent, id: cells[3].textContent };
    }),
    pinField: document.querySelector('#pin').value,
    text: document.querySelector('#text').value,
    pinState: document.querySelector('#pin-state').textContent,
    signature: document.querySelector('#signature').textContent,
    verification: document.querySelector('#verification').textContent,
    verificationState: document.querySelector('#verification').dataset.state,
    log: document.querySelector('#log').textContent,
  }));
}

// Types into the PIN field one key at a time and waits until the page shows
// one dot per key, i.e. the host has counted every keystroke.
export async function typePin(page, pin) {
  await pressKeys(page, [...pin], pin.length);
}

export async function erasePin(page, count) {
  await pressKeys(page, Array(count).fill('Backspace'), -count);
}

async function pressKeys(page, keys, change) {
  await page.click('#pin');
  const before = (await readState(page)).pinField.length;
  for (const key of keys) await page.keyboard.press(key);
  await page.waitForFunction((n) => document.querySelector('#pin').value.length === n,
    { timeout: STEP_TIMEOUT }, Math.max(0, before + change));
}

// Presses Sign and waits until the page has handled that press completely
// (signature shown and checked, or the refusal shown).
export async function sign(page) {
  const count = () => Number(document.querySelector('#sign-section').dataset.completed ?? 0);
  const before = await page.evaluate(count);
  await page.click('#sign');
  await page.waitForFunction(
    (n) => Number(document.querySelector('#sign-section').dataset.completed ?? 0) > n,
    { timeout: STEP_TIMEOUT }, before);
  return readState(page);
}
