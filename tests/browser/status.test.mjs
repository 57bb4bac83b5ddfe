// The status page in the browser: a navigation by the user shows it, and a page of another
// origin gets nothing of it by fetch, script or frame.
//
//   DRALMIN_BUILD_DIR=build/default node --test tests/browser/status.test.mjs
// DRALMIN_STATUS_SCREENSHOT=<file.png> keeps a picture of the page, for a look at it.
import assert from 'node:assert/strict';
import {after, before, test} from 'node:test';

import {launchBrowser} from './browser.mjs';
import {Fixture} from './fixture.mjs';

const fixture = new Fixture({
  agentEnv: (f) => ({DRALMIN_ALLOWED_ORIGINS: new URL(f.pageUrl).origin}),
});
let browser;

before(async () => {
  await fixture.start();
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  await fixture.stop();
});

test('a navigation shows the page; another origin reads nothing of it', async () => {
  const statusUrl = `${fixture.httpBase}/agent/status`;
  const other = await browser.context.newPage();
  await other.goto(fixture.publicPageUrl);
  const stranger = new URL(fixture.publicPageUrl).origin;
  const outcome = await other.evaluate(async (url) => {
    const fetched = await fetch(url).then((r) => r.text(), () => 'rejected');
    const script = await new Promise((resolve) => {
      const element = document.createElement('script');
      element.src = url;
      element.onload = () => resolve('loaded');
      element.onerror = () => resolve('error');
      document.head.append(element);
    });
    const frame = document.createElement('iframe');
    frame.src = url;
    // A refused frame still ends in a load event (of an error page), which is all it gives.
    await new Promise((resolve) => {
      frame.onload = resolve;
      setTimeout(resolve, 5000);
      document.body.append(frame);
    });
    return {fetched, script};
  }, statusUrl);
  assert.deepEqual(outcome, {fetched: 'rejected', script: 'error'});

  const page = await browser.context.newPage();
  const response = await page.goto(statusUrl);
  assert.equal(response.status(), 200);
  assert.equal(response.headers()['x-frame-options'], 'DENY');
  assert.match(await page.locator('h1').innerText(), /Состояние агента \/ Agent status/);
  assert.ok(await page.locator('h1 img').evaluate((img) => img.naturalWidth > 0));
  assert.match(await page.locator('body').innerText(),
               new RegExp(`scale\\s+found on ${fixture.scalePath}|scale\\s+not found yet`));
  if (process.env.DRALMIN_STATUS_SCREENSHOT) {
    await page.screenshot({path: process.env.DRALMIN_STATUS_SCREENSHOT, fullPage: true});
  }

  // Each of the three attempts reached the agent and was refused there.
  // The page allows itself no script either, so the JSON is fetched from here.
  const json = await (await fetch(statusUrl, {headers: {Accept: 'application/json'}})).json();
  const refused = json.refused.find((row) => row.name === `status page for ${stranger}`);
  assert.equal(refused?.value, '3', JSON.stringify(json.refused));
});
