/*
 * Browser helper for pages that use the workstation's Dralmin Tray Agent.
 *
 * The agent answers every request with a small script that calls a function of a fixed name.
 * Each call here defines that function, loads the agent's address with a script element, and
 * settles a promise with what the script passed to the function. No dependencies; load it with
 * a plain <script src="dralmin-agent.js"></script> (it defines window.DralminAgent) or require()
 * it under a bundler.
 *
 *   const agent = DralminAgent.create();                 // http://127.0.0.1:8081
 *   const secure = DralminAgent.create({base: DralminAgent.HTTPS});
 *   const reply = await agent.weight();                   // {value: 1.25}
 *
 * Every call resolves with the object the agent sent, or with null when the agent answered with
 * an empty body (no barcode waiting, a capture already running, nothing to upload, ...). It
 * rejects with a DralminAgentError when the script cannot be loaded (agent not running,
 * certificate not trusted, the browser's local-network permission refused) or when no answer
 * came within the time-out.
 */
(function (root, factory) {
  'use strict';
  const api = factory(root);
  if (typeof module === 'object' && module.exports) module.exports = api;
  if (root) root.DralminAgent = api;
})(typeof window !== 'undefined' ? window : typeof globalThis !== 'undefined' ? globalThis : null,
   function (root) {
  'use strict';

  const HTTP = 'http://127.0.0.1:8081';
  const HTTPS = 'https://localhost:8433';
  const DEFAULT_TIMEOUT_MS = 15000;

  // Scripts answered on the agent; the names are fixed by the agent, never chosen by the page.
  const CALLBACKS = Object.freeze({
    barcode: 'DralminBarcode__callback',
    weight: 'DralminWeighter__callback',
    finger: 'VeltranaSdk__callback',
    scanPrefix: 'DralminScan__callback_',
    print: 'DralminPrinter__callback',
  });

  class DralminAgentError extends Error {
    constructor(message, kind) {
      super(message);
      this.name = 'DralminAgentError';
      // 'load' (script could not be fetched or run), 'timeout' or 'argument'.
      this.kind = kind;
    }
  }

  // Percent-encodes text for one path segment: nothing of it may act as "/", "?" or "#".
  function encodeSegment(text) {
    return encodeURIComponent(String(text));
  }

  // Percent-encodes an address "host[:port]/path[?query]" that the agent decodes once: slashes
  // and colons stay, but "?", "#" and "%" must not end the path or be read as escapes early.
  function encodeAddress(text) {
    return encodeURI(String(text)).replace(/\?/g, '%3F').replace(/#/g, '%23');
  }

  // The scan key becomes part of a function name, so only identifier characters can work.
  function checkScanKey(key) {
    const text = String(key);
    if (!/^[A-Za-z0-9_$]+$/.test(text)) {
      throw new DralminAgentError(
          'scan key must be letters, digits, "_" or "$": ' + JSON.stringify(text), 'argument');
    }
    return text;
  }

  // One request per callback name at a time, across every helper made here (one for HTTP and
  // one for HTTPS share the page's function names): two answers for the same function name
  // could not be told apart. Later calls wait for the earlier one to settle.
  const queues = new Map();
  let serial = 0;

  function serialised(name, run) {
    const previous = queues.get(name) || Promise.resolve();
    const next = previous.catch(() => {}).then(run);
    const tail = next.catch(() => {});
    queues.set(name, tail);
    tail.then(() => { if (queues.get(name) === tail) queues.delete(name); });
    return next;
  }

  function stripSlash(base) {
    return String(base).replace(/\/+$/, '');
  }

  function create(options) {
    const settings = Object.assign({base: HTTP, timeoutMs: DEFAULT_TIMEOUT_MS}, options || {});
    const base = stripSlash(settings.base);
    const doc = settings.document || (root && root.document);
    const win = settings.window || root;
    if (!doc || !win) throw new DralminAgentError('a browser document is needed', 'argument');

    function loadScript(name, path, timeoutMs) {
      return new Promise((resolve, reject) => {
        const script = doc.createElement('script');
        let settled = false;
        let answered = false;
        let answer = null;
        let timer = null;

        function finish(fail, value) {
          if (settled) return;
          settled = true;
          clearTimeout(timer);
          script.onload = script.onerror = null;
          if (script.parentNode) script.parentNode.removeChild(script);
          if (fail) {
            // A late answer must find a function, or the page would see a ReferenceError; the
            // currentScript test below keeps it from settling a later call.
            if (win[name] === callback) win[name] = function () {};
            reject(value);
          } else {
            if (win[name] === callback) delete win[name];
            resolve(value);
          }
        }

        function callback(value) {
          // A late answer to an earlier, timed-out request is not this call's answer.
          if (doc.currentScript && doc.currentScript !== script) return;
          answered = true;
          answer = value === undefined ? null : value;
        }

        win[name] = callback;
        script.async = true;
        script.charset = 'windows-1251';  // the agent declares it too; older engines look here
        // An agent limited to some page origins knows a script load's page by its Referer: send
        // the origin (and nothing more) even where the page's referrer policy would send none.
        script.referrerPolicy = 'origin';
        // The agent never reads the query, so it only keeps caches from answering for it.
        script.src = base + path + '?_=' + Date.now().toString(36) + '.' + (serial++);
        script.onload = () => finish(false, answered ? answer : null);
        script.onerror = () =>
          finish(true, new DralminAgentError('could not load ' + base + path, 'load'));
        timer = setTimeout(
            () => finish(true, new DralminAgentError('no answer from ' + base + path + ' within ' +
                                                     timeoutMs + ' ms', 'timeout')),
            timeoutMs);
        (doc.head || doc.documentElement).appendChild(script);
      });
    }

    function call(name, path, callOptions) {
      const timeoutMs = (callOptions && callOptions.timeoutMs) || settings.timeoutMs;
      return serialised(name, () => loadScript(name, path, timeoutMs));
    }

    // Sends the label through fetch: the answer is not readable by a page of another origin,
    // but the promise tells whether the agent was reached and answered.
    function printByFetch(xml, timeoutMs) {
      const form = new FormData();
      form.append('print_xml', String(xml));
      const controller = typeof AbortController === 'function' ? new AbortController() : null;
      const timer = setTimeout(() => controller && controller.abort(), timeoutMs);
      return fetch(base + '/print', {
        method: 'POST',
        mode: 'no-cors',
        body: form,
        cache: 'no-store',
        signal: controller ? controller.signal : undefined,
      }).then(
          () => { clearTimeout(timer); return null; },
          (error) => {
            clearTimeout(timer);
            const timedOut = error && error.name === 'AbortError';
            throw new DralminAgentError(
                (timedOut ? 'no answer from ' : 'could not post to ') + base + '/print',
                timedOut ? 'timeout' : 'load');
          });
    }

    // Sends the label as a browser form post into a hidden frame, for pages that may not use
    // fetch. The frame's load event comes for an error page too, so this only tells that the
    // post ended.
    function printByForm(xml, timeoutMs) {
      return new Promise((resolve, reject) => {
        const frameName = 'dralmin-print-' + Date.now().toString(36) + '-' + (serial++);
        const frame = doc.createElement('iframe');
        frame.name = frameName;
        frame.style.display = 'none';
        const form = doc.createElement('form');
        form.method = 'POST';
        form.enctype = 'multipart/form-data';
        form.acceptCharset = 'UTF-8';
        form.action = base + '/print';
        form.target = frameName;
        form.style.display = 'none';
        const field = doc.createElement('textarea');
        field.name = 'print_xml';
        field.value = String(xml);
        form.appendChild(field);
        let timer = null;
        function done(fail) {
          clearTimeout(timer);
          frame.onload = null;
          form.remove();
          // Removing the frame at once could cancel a post still in flight in some browsers.
          setTimeout(() => frame.remove(), 0);
          if (fail) {
            reject(new DralminAgentError('no answer from ' + base + '/print within ' + timeoutMs +
                                         ' ms', 'timeout'));
          } else {
            resolve(null);
          }
        }
        doc.body.appendChild(frame);
        doc.body.appendChild(form);
        frame.onload = () => done(false);
        timer = setTimeout(() => done(true), timeoutMs);
        form.submit();
      });
    }

    return Object.freeze({
      base,

      // {code: '...'} for the scanned code not fetched yet, or null.
      barcode: (o) => call(CALLBACKS.barcode, '/barcode', o),

      // {value: 1.25} from the serial scale; value 0 when no scale answered, -0.001 when another
      // weighing is running.
      weight: (o) => call(CALLBACKS.weight, '/weight', o),

      // {value, counter} from a networked scale at "host[:port]/path"; value 0 when unreachable.
      ipWeight: (address, o) => call(CALLBACKS.weight, '/ip_weight/' + encodeAddress(address), o),

      // {template: 'hex'} or {error: 'message'}; null while another capture runs. `pageId`
      // identifies this page: the scanner belongs to one page at a time.
      finger: (pageId, o) => call(CALLBACKS.finger, '/finger/' + encodeSegment(pageId || ''), o),

      // Opens the scanner's own window; always null once the agent has answered.
      scan: (key, o) => {
        try {
          key = checkScanKey(key);
        } catch (e) {
          return Promise.reject(e);
        }
        return call(CALLBACKS.scanPrefix + key, '/scan/' + encodeSegment(key), o);
      },

      // Uploads every scanned page to `uploadAddress` ("host[:port]/path", no scheme) as field
      // `field`; resolves {ids: 'id1,id2'} with the receiving server's answers, or null when
      // nothing was waiting for this key. The agent decodes the address twice.
      getScan: (key, field, uploadAddress, o) => {
        try {
          key = checkScanKey(key);
        } catch (e) {
          return Promise.reject(e);
        }
        const path = '/getscan/' + encodeSegment(key) + '/' + encodeSegment(field) + '/' +
                     encodeAddress(encodeAddress(uploadAddress));
        return call(CALLBACKS.scanPrefix + key, path, o);
      },

      // Prints a label described by `xml`. The agent's answer cannot be read by a page of
      // another origin, so this resolves null once the agent has answered.
      // Options: {form: true} to send it as a form post into a hidden frame.
      print: (xml, o) => {
        const timeoutMs = (o && o.timeoutMs) || settings.timeoutMs;
        return serialised(CALLBACKS.print, () => (o && o.form) ? printByForm(xml, timeoutMs)
                                                               : printByFetch(xml, timeoutMs));
      },
    });
  }

  return Object.freeze({
    HTTP,
    HTTPS,
    CALLBACKS,
    DralminAgentError,
    create,
    encodeAddress,
    encodeSegment,
  });
});
