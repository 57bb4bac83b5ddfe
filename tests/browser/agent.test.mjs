// The agent as a web page meets it: headless Chromium loads a page from its own loopback origin,
// and the page calls every endpoint with the JavaScript helper (script elements with the fixed
// callbacks, form posts), over HTTP and over HTTPS. Every device behind the agent is simulated.
//
//   DRALMIN_BUILD_DIR=build/default node tests/browser/agent.test.mjs
import assert from 'node:assert/strict';
import http from 'node:http';
import {after, before, describe, test} from 'node:test';

import {launchBrowser} from './browser.mjs';
import {Fixture, scanPages, waitFor} from './fixture.mjs';

const fixture = new Fixture();
let browser;
let page;

before(async () => {
  await fixture.start();
  // Only the agent's own test key is trusted beyond the system's CAs, and only here.
  browser = await launchBrowser([`--ignore-certificate-errors-spki-list=${fixture.spkiHash}`,
                                 `--ip-address-space-overrides=127.0.0.1:${fixture.publicPagePort}=public`]);
  page = browser.context.pages()[0] || await browser.context.newPage();
  page.on('pageerror', (error) => { pageErrors.push(String(error)); });
  const query = new URLSearchParams({http: fixture.httpBase, https: fixture.httpsBase});
  await page.goto(`${fixture.pageUrl}?${query}`);
});

after(async () => {
  if (browser) await browser.close();
  await fixture.stop();
});

const pageErrors = [];

// Runs `body(agent, ...args)` in the page with the helper for `scheme`.
function inPage(scheme, body, ...args) {
  return page.evaluate(([scheme, source, args]) => {
    // eslint-disable-next-line no-new-func
    const run = new Function('agent', '...args', `return (${source})(agent, ...args);`);
    return run(window.agents[scheme], ...args);
  }, [scheme, body.toString(), args]);
}

for (const scheme of ['http', 'https']) {
  describe(`over ${scheme.toUpperCase()}`, () => {
    test('the page reaches the agent from another origin', async () => {
      const base = await inPage(scheme, (agent) => agent.base);
      assert.equal(base, scheme === 'http' ? fixture.httpBase : fixture.httpsBase);
      assert.notEqual(new URL(fixture.pageUrl).origin, new URL(base).origin);
    });

    test('a scanned barcode reaches the callback once', async () => {
      assert.equal(await inPage(scheme, (agent) => agent.barcode()), null);
      const code = `46${scheme.length}1'"\\</script>`;  // every character that needs escaping
      fixture.scanBarcode(code);
      const results = await inPage(scheme, (agent) => window.pollUntil(
          () => agent.barcode(), (result) => result !== null, 5000));
      assert.deepEqual(results.at(-1), {code});
      assert.equal(await inPage(scheme, (agent) => agent.barcode()), null);
    });

    test('the serial scale weighs', async () => {
      assert.deepEqual(await inPage(scheme, (agent) => agent.weight()), {value: 1.25});
    });

    test('the networked scale is read through the agent', async () => {
      const first = await inPage(scheme, (agent, address) => agent.ipWeight(address),
                                 fixture.netscaleAddress);
      assert.equal(first.value, 0.512);
      assert.match(first.counter, /^\d+$/);
      const second = await inPage(scheme, (agent, address) => agent.ipWeight(address),
                                  fixture.netscaleAddress);
      assert.equal(Number(second.counter), Number(first.counter) + 1);
      // A path with a query for the scale keeps its "?" through the helper's encoding.
      const withQuery = await inPage(scheme, (agent, address) => agent.ipWeight(address),
                                     `${fixture.netscaleAddress}/page?unit=kg`);
      assert.equal(withQuery.value, 0.512);
      // Nobody listens on port 1.
      assert.deepEqual(await inPage(scheme, (agent) => agent.ipWeight('127.0.0.1:1/')),
                       {value: 0});
    });

    test('a fingerprint: touch, one template, lift, and Russian messages', async () => {
      const id = 'page-one';
      const finger = () => inPage(scheme, (agent, id) => agent.finger(id), id);
      fixture.setFingerprint({quality: 10});
      assert.deepEqual(await finger(), {error: 'Поместите палец на сканер'});
      fixture.setFingerprint({quality: 90, template: '00a1ff7e'});
      assert.deepEqual(await finger(), {template: '00a1ff7e'});
      assert.deepEqual(await finger(), {error: 'Уберите палец со сканера'});
      // Another page may not take the scanner while this one keeps asking.
      assert.deepEqual(await inPage(scheme, (agent) => agent.finger('page-two')),
                       {error: 'Сканирование открыто в другой вкладке'});
      fixture.setFingerprint({quality: 10});
      assert.deepEqual(await finger(), {error: 'Поместите палец на сканер'});
      fixture.setFingerprint({scanners: 0});
      assert.deepEqual(await finger(), {error: 'Scanner not found. Code: 1'});
      fixture.setFingerprint({quality: 10});
    });

    test('a label form posted by the browser reaches the printer', async () => {
      const before = fixture.printJobs().length;
      const label = `<label width="58" height="40"><text x="20" y="30">Молоко ${scheme}</text></label>`;
      await page.evaluate(([action, xml]) => new Promise((resolve) => {
        const form = document.getElementById('label-form');
        form.action = action;
        form.elements.print_xml.value = xml;
        const frame = document.getElementById('label-answer');
        frame.addEventListener('load', () => resolve(), {once: true});
        form.querySelector('button').click();
      }), [`${scheme === 'http' ? fixture.httpBase : fixture.httpsBase}/print`, label]);
      const jobs = await waitFor(() => {
        const all = fixture.printJobs();
        return all.length > before && all;
      }, 10000, 'the print job');
      const job = jobs.at(-1).toString('latin1');
      assert.match(job, /^SIZE 58 mm,40 mm\r\n/);
      assert.match(job, /CODEPAGE 1251\r\n/);
      // The page's UTF-8 text reaches the printer in the printer's code page.
      const cyrillic = Buffer.from([0xcc, 0xee, 0xeb, 0xee, 0xea, 0xee]).toString('latin1');
      assert.ok(job.includes(`"${cyrillic} ${scheme}"`), JSON.stringify(job));
      assert.match(job, /PRINT 1\r\n$/);
    });

    test('the helper prints with fetch and with a form of its own', async () => {
      for (const viaForm of [false, true]) {
        const before = fixture.printJobs().length;
        const xml = `<label width="30" height="20"><text x="1" y="1">${scheme} ${viaForm}</text></label>`;
        assert.equal(await inPage(scheme, (agent, xml, form) => agent.print(xml, {form}), xml, viaForm),
                     null);
        const jobs = await waitFor(() => {
          const all = fixture.printJobs();
          return all.length > before && all;
        }, 10000, 'the print job');
        assert.ok(jobs.at(-1).toString('latin1').includes(`"${scheme} ${viaForm}"`));
      }
    });

    test('a scan, then its pages uploaded to the page\'s server', async () => {
      const key = `key_${scheme}`;
      const before = fixture.receivedPages().length;
      assert.equal(await inPage(scheme, (agent, key, address) =>
        agent.getScan(key, 'file', address + '/upload'), key, fixture.receiverAddress), null);
      assert.equal(await inPage(scheme, (agent, key) => agent.scan(key), key), null);
      const results = await inPage(scheme, (agent, key, address, count) => window.pollUntil(
          () => agent.getScan(key, 'file', address + '/upload'),
          (result, all) => all.filter(Boolean).flatMap((r) => r.ids.split(',')).length >= count,
          15000), key, fixture.receiverAddress, scanPages.length);
      const ids = results.filter(Boolean).flatMap((r) => r.ids.split(','));
      const first = 7 + before;
      assert.deepEqual(ids, scanPages.map((_, i) => String(first + i)));
      const log = fixture.receivedPages().slice(before);
      assert.deepEqual(log.map((line) => line.split(' ').slice(0, 3).join(' ')),
                       ids.map((id) => `${id} file scan.jpg`));
      // Nothing left for this key.
      assert.equal(await inPage(scheme, (agent, key, address) =>
        agent.getScan(key, 'file', address + '/upload'), key, fixture.receiverAddress), null);
    });

    test('a scan key that cannot name a callback is refused by the helper', async () => {
      const error = await inPage(scheme, (agent) => agent.scan('a-b').then(
          () => 'resolved', (e) => `${e.name}:${e.kind}`));
      assert.equal(error, 'DralminAgentError:argument');
    });
  });
}

describe('a public web site', () => {
  test('reaches the agent only once the user allowed loopback access', async () => {
    const publicPage = await browser.context.newPage();
    try {
      const query = new URLSearchParams({http: fixture.httpBase, https: fixture.httpsBase});
      await publicPage.goto(`${fixture.publicPageUrl}?${query}`);
      const weigh = () => publicPage.evaluate(() => Promise.all(['http', 'https'].map(
          (scheme) => window.agents[scheme].weight().then((r) => r, (e) => `rejected:${e.kind}`))));
      assert.deepEqual(await weigh(), ['rejected:load', 'rejected:load']);

      // What the user's "Allow" in the browser's prompt does.
      const devtools = await browser.context.newCDPSession(publicPage);
      await devtools.send('Browser.setPermission', {
        permission: {name: 'loopback-network'},
        setting: 'granted',
        origin: new URL(fixture.publicPageUrl).origin,
      });
      assert.deepEqual(await weigh(), [{value: 1.25}, {value: 1.25}]);
    } finally {
      await publicPage.close();
    }
  });
});

describe('the helper', () => {
  test('calls sharing a callback name at once each get their own answer', async () => {
    const replies = await page.evaluate((address) => Promise.all([
      window.agents.http.weight(), window.agents.https.ipWeight(address),
      window.agents.http.ipWeight('127.0.0.1:1/'), window.agents.https.weight(),
    ]), fixture.netscaleAddress);
    assert.deepEqual(replies.map((r) => r.value), [1.25, 0.512, 0, 1.25]);
  });

  test('a call that timed out rejects, and the next one gets its own answer', async () => {
    // A networked scale that answers after the page has given up.
    let release;
    const released = new Promise((resolve) => { release = resolve; });
    const slowScale = http.createServer(async (request, response) => {
      await released;
      response.end('+09.999\r\nkg\r\n5\r\n');
    });
    await new Promise((resolve) => slowScale.listen(0, '127.0.0.1', resolve));
    try {
      const address = `127.0.0.1:${slowScale.address().port}/`;
      const late = await page.evaluate((address) => window.agents.http.ipWeight(address, {timeoutMs: 300})
          .then(() => 'resolved', (e) => e.kind), address);
      assert.equal(late, 'timeout');
      // The agent is still waiting for the slow scale; this call's answer comes after the late one.
      const next = page.evaluate(() => window.agents.http.weight());
      release();
      assert.deepEqual(await next, {value: 1.25});
    } finally {
      release();
      slowScale.closeAllConnections();
      await new Promise((resolve) => slowScale.close(resolve));
    }
  });
});

describe('failures the page sees', () => {
  test('an agent that does not answer rejects the promise', async () => {
    const kind = await page.evaluate(() => DralminAgent.create({base: 'http://127.0.0.1:1'})
        .weight().then(() => 'resolved', (e) => e.kind));
    assert.equal(kind, 'load');
  });

  test('no script error reached the page', () => {
    assert.deepEqual(pageErrors, []);
  });

  test('the agent showed the user no error message', () => {
    // Without a desktop the agent's message boxes are written to its standard error.
    const boxes = fixture.agent.stderr.split('\n').filter((line) => /^(Start upload )?Error: /.test(line));
    assert.deepEqual(boxes, []);
  });
});
