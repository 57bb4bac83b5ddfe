// allowed_origins as an administrator uses it: the shop's page reaches the devices, a page of any
// other origin (here another port on the same host) gets nothing from them, and takes nothing
// from the shop's page either. The pages load the agent's scripts as pages do, so the agent only
// has the Referer that Chromium sends to go by.
//
//   DRALMIN_BUILD_DIR=build/default node --test tests/browser/origins.test.mjs
import assert from 'node:assert/strict';
import {after, before, test} from 'node:test';

import {launchBrowser} from './browser.mjs';
import {Fixture} from './fixture.mjs';

const fixture = new Fixture({
  agentEnv: (f) => ({DRALMIN_ALLOWED_ORIGINS: new URL(f.pageUrl).origin}),
});
let browser;
let shop;
let other;

before(async () => {
  await fixture.start();
  browser = await launchBrowser();
  const {context} = browser;
  const query = new URLSearchParams({http: fixture.httpBase, https: fixture.httpsBase});
  shop = context.pages()[0] || await context.newPage();
  await shop.goto(`${fixture.pageUrl}?${query}`);
  // A shop page that sends no Referer of its own: the helper still names the page's origin.
  await shop.evaluate(() => {
    const meta = document.createElement('meta');
    meta.name = 'referrer';
    meta.content = 'no-referrer';
    document.head.append(meta);
  });
  other = await context.newPage();
  await other.goto(`${fixture.publicPageUrl}?${query}`);
});

after(async () => {
  if (browser) await browser.close();
  await fixture.stop();
});

function call(page, method) {
  return page.evaluate((method) => window.agents.http[method]().then(
      (result) => result, (error) => `rejected:${error.kind}`), method);
}

test('only the allowed page gets the barcode and the weight', async () => {
  assert.deepEqual(await call(shop, 'weight'), {value: 1.25});
  // The agent subscribes to the driver's events before its last command; a code scanned before
  // that would be lost.
  while (!(await fixture.barcode.nextLine()).startsWith('RunCommand'));
  fixture.scanBarcode('4600000000017');
  for (let i = 0; i < 5; ++i) {
    assert.equal(await call(other, 'barcode'), 'rejected:load');
    assert.equal(await call(other, 'weight'), 'rejected:load');
  }
  const codes = await shop.evaluate(() => window.pollUntil(
      () => window.agents.http.barcode(), (result) => result !== null, 10000));
  assert.deepEqual(codes.at(-1), {code: '4600000000017'});
  assert.match(fixture.agent.stderr,
               new RegExp(`refused the page origin ${new URL(fixture.publicPageUrl).origin}:`));
});
