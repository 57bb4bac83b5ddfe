// Everything the browser suite runs against: the real agent on free loopback ports, every device
// behind it simulated, a certificate distribution server with a test CA's certificate, a page
// server of its own origin, and a receiving server for scanned pages.
import {spawn, execFileSync} from 'node:child_process';
import {X509Certificate, createHash} from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const sourceRoot = path.resolve(here, '../..');

export const buildDir = path.resolve(sourceRoot, process.env.DRALMIN_BUILD_DIR || 'build/default');
export const chromiumPath = process.env.DRALMIN_CHROMIUM || '/usr/bin/chromium';

const programs = {
  agent: 'app/dralmin-tray-agent',
  barcode: 'simulators/barcode/dralmin-barcode-sim',
  scale: 'simulators/scale/dralmin-scale-simulator',
  netscale: 'simulators/netscale/dralmin-netscale-simulator',
  fingerprintSdk: 'simulators/fingerprint/libquorvelsdk.so',
  twainDsm: 'simulators/twain/libdralmin_twain_sim.so',
};

export function programPath(name) {
  const file = path.join(buildDir, programs[name]);
  if (!fs.existsSync(file)) throw new Error(`${file} is missing: build it first`);
  return file;
}

export async function freePort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const {port} = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `condition` (sync or async) until it is truthy; its value, or an error after `timeoutMs`.
export async function waitFor(condition, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(25);
  }
}

function connects(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// A child process whose first stdout line (the simulators print their address) can be awaited.
class Child {
  constructor(name, command, args, options = {}) {
    this.name = name;
    this.stderr = '';
    this.process = spawn(command, args, {stdio: ['pipe', 'pipe', 'pipe'], ...options});
    this.process.stderr.on('data', (chunk) => { this.stderr = (this.stderr + chunk).slice(-4000); });
    this.exited = new Promise((resolve) => this.process.once('exit', (code, signal) =>
      resolve(code === null ? signal : code)));
    this.lines = readline.createInterface({input: this.process.stdout});
    this.lineQueue = [];
    this.waiters = [];
    this.lines.on('line', (line) => {
      const waiter = this.waiters.shift();
      if (waiter) waiter(line); else this.lineQueue.push(line);
    });
  }

  nextLine(timeoutMs = 15000) {
    if (this.lineQueue.length) return Promise.resolve(this.lineQueue.shift());
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(
          `${this.name} printed nothing within ${timeoutMs} ms; stderr: ${this.stderr}`)), timeoutMs);
      this.waiters.push((line) => { clearTimeout(timer); resolve(line); });
      this.exited.then((status) => { clearTimeout(timer); reject(new Error(
          `${this.name} ended (${status}); stderr: ${this.stderr}`)); });
    });
  }

  write(text) {
    this.process.stdin.write(text);
  }

  async stop() {
    if (this.process.exitCode !== null || this.process.signalCode !== null) return this.exited;
    this.process.kill('SIGTERM');
    const timer = setTimeout(() => this.process.kill('SIGKILL'), 5000);
    const status = await this.exited;
    clearTimeout(timer);
    return status;
  }
}

// A loopback HTTP server answering from a table of path -> {type, body} (or a function).
async function serveFiles(routes) {
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://localhost');
    let route = routes[url.pathname];
    if (typeof route === 'function') route = route();
    if (!route) {
      response.writeHead(404, {'Content-Type': 'text/plain'});
      response.end('not found');
      return;
    }
    response.writeHead(200, {'Content-Type': route.type, 'Cache-Control': 'no-store'});
    response.end(route.body);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server;
}

function makeCertificates(folder) {
  const run = (args) => execFileSync('openssl', args, {cwd: folder, stdio: ['ignore', 'ignore', 'pipe']});
  run(['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
       '-days', '2', '-subj', '/CN=Dralmin Browser Test CA', '-keyout', 'ca.key', '-out', 'ca.crt']);
  run(['req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
       '-subj', '/CN=localhost', '-keyout', 'server.key', '-out', 'server.csr']);
  fs.writeFileSync(path.join(folder, 'ext'),
                   'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n');
  run(['x509', '-req', '-in', 'server.csr', '-CA', 'ca.crt', '-CAkey', 'ca.key',
       '-CAcreateserial', '-days', '2', '-extfile', 'ext', '-out', 'server.crt']);
  const certificate = fs.readFileSync(path.join(folder, 'server.crt'), 'utf8');
  const spki = new X509Certificate(certificate).publicKey.export({type: 'spki', format: 'der'});
  return {
    certificate,
    key: fs.readFileSync(path.join(folder, 'server.key'), 'utf8'),
    // What Chromium is told to accept: this one key, nothing else.
    spkiHash: createHash('sha256').update(spki).digest('base64'),
  };
}

export const scaleWeight = '1.250';
export const scanPages = ['24x64x48', '8x30x20'];

export class Fixture {
  // `agentEnv(fixture)`, when given, adds to the agent's environment; it is called once the
  // page servers are up (pageUrl, publicPageUrl).
  constructor({agentEnv} = {}) {
    this.agentEnv = agentEnv;
    this.children = [];
    this.servers = [];
  }

  async start() {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'dralmin-browser-'));
    this.home = path.join(this.root, 'home');
    for (const folder of ['home', 'home/config/Dralmin', 'home/data', 'pages', 'jobs', 'certs']) {
      fs.mkdirSync(path.join(this.root, folder), {recursive: true});
    }

    const certs = makeCertificates(path.join(this.root, 'certs'));
    this.spkiHash = certs.spkiHash;
    const dist = await serveFiles({
      '/dist/cert/last': {type: 'text/plain', body: '3'},
      '/dist/cert/3.crt.txt': {type: 'text/plain', body: certs.certificate},
      '/dist/cert/3.key.txt': {type: 'text/plain', body: certs.key},
    });
    this.servers.push(dist);

    const pageFiles = {
      '/': () => ({type: 'text/html; charset=utf-8',
                   body: fs.readFileSync(path.join(here, 'page', 'index.html'))}),
      '/dralmin-agent.js': () => ({type: 'text/javascript; charset=utf-8',
                                   body: fs.readFileSync(path.join(sourceRoot, 'clients/js/dralmin-agent.js'))}),
    };
    const page = await serveFiles(pageFiles);
    this.servers.push(page);
    this.pageUrl = `http://127.0.0.1:${page.address().port}/`;
    // The same page once more, on an origin that the browser is told is a public web site.
    const publicPage = await serveFiles(pageFiles);
    this.servers.push(publicPage);
    this.publicPagePort = publicPage.address().port;
    this.publicPageUrl = `http://127.0.0.1:${this.publicPagePort}/`;

    const bus = this.spawn('dbus-daemon', 'dbus-daemon',
                           ['--session', '--nofork', '--nopidfile', '--print-address=1']);
    this.busAddress = await bus.nextLine();
    this.barcode = this.spawn('barcode driver', programPath('barcode'), [],
                              {env: {...process.env, DBUS_SESSION_BUS_ADDRESS: this.busAddress}});
    if ((await this.barcode.nextLine()) !== 'ready') throw new Error('barcode driver not ready');

    const scale = this.spawn('scale', programPath('scale'), ['--weight', scaleWeight]);
    this.scalePath = await scale.nextLine();
    const netscale = this.spawn('networked scale', programPath('netscale'), []);
    this.netscaleAddress = await netscale.nextLine();

    const printer = this.spawn('printer', 'python3', [
      path.join(sourceRoot, 'simulators/printer/fake_label_printer.py'),
      '--folder', path.join(this.root, 'jobs'), '--port', '0']);
    this.jobsFolder = path.join(this.root, 'jobs');
    const printerPort = await this.readPortFile(path.join(this.jobsFolder, 'port'), printer);
    fs.writeFileSync(path.join(this.home, 'config/Dralmin/printer.conf'),
                     `printerAddress=127.0.0.1:${printerPort}\ncodePage=1251\nforcePeeler=0\n`);

    this.pagesFolder = path.join(this.root, 'pages');
    const receiver = this.spawn('receiver', 'python3', [
      path.join(sourceRoot, 'simulators/receiver/upload_receiver.py'), '--port', '0',
      '--folder', this.pagesFolder, '--first-id', '7', '--port-file', path.join(this.root, 'receiver.port')]);
    this.receiverAddress = `127.0.0.1:${await this.readPortFile(path.join(this.root, 'receiver.port'), receiver)}`;

    this.fingerprintFile = path.join(this.root, 'fingerprint.conf');
    this.setFingerprint({quality: 10});

    this.httpPort = await freePort();
    this.httpsPort = await freePort();
    this.agent = this.spawn('agent', programPath('agent'), ['run'], {
      cwd: this.home,
      env: {
        ...process.env,
        HOME: this.home,
        XDG_RUNTIME_DIR: this.home,
        XDG_CONFIG_HOME: path.join(this.home, 'config'),
        XDG_CONFIG_DIRS: path.join(this.root, 'system-config'),  // not this machine's settings
        XDG_DATA_HOME: path.join(this.home, 'data'),
        DRALMIN_HTTP_PORT: String(this.httpPort),
        DRALMIN_HTTPS_PORT: String(this.httpsPort),
        DRALMIN_LISTEN_ADDRESS: '127.0.0.1',
        DRALMIN_CERT_BASE_URL: `http://127.0.0.1:${dist.address().port}/dist/cert/`,
        DRALMIN_SERIAL_PORTS: this.scalePath,
        DRALMIN_FINGERPRINT_SDK: programPath('fingerprintSdk'),
        DRALMIN_FINGERPRINT_SIM_FILE: this.fingerprintFile,
        DRALMIN_TWAIN_DSM: programPath('twainDsm'),
        DRALMIN_TWAIN_SIM_PAGES: scanPages.join(','),
        // The person at the scanner closes its window once the pages are through.
        DRALMIN_TWAIN_SIM_CLOSE: '1',
        DBUS_SESSION_BUS_ADDRESS: this.busAddress,
        QT_QPA_PLATFORM: '',
        DISPLAY: '',
        WAYLAND_DISPLAY: '',
        ...(this.agentEnv ? this.agentEnv(this) : {}),
      },
    });
    await waitFor(async () => (await connects(this.httpPort)) && (await connects(this.httpsPort)),
                  20000, `the agent's ports (stderr: ${this.agent.stderr})`);
    this.httpBase = `http://127.0.0.1:${this.httpPort}`;
    this.httpsBase = `https://localhost:${this.httpsPort}`;
  }

  spawn(name, command, args, options) {
    const child = new Child(name, command, args, options);
    this.children.push(child);
    return child;
  }

  async readPortFile(file, child) {
    await waitFor(() => fs.existsSync(file) || child.process.exitCode !== null, 15000, file);
    if (!fs.existsSync(file)) throw new Error(`${child.name} ended: ${child.stderr}`);
    return Number(fs.readFileSync(file, 'utf8').trim());
  }

  // What the simulated fingerprint SDK reports from its next call on (it rereads the file).
  setFingerprint(settings) {
    const text = Object.entries(settings).map(([key, value]) => `${key}=${value}\n`).join('');
    fs.writeFileSync(this.fingerprintFile + '.part', text);
    fs.renameSync(this.fingerprintFile + '.part', this.fingerprintFile);
  }

  // One typed line on the simulated scanner is one scanned code.
  scanBarcode(code) {
    this.barcode.write(code + '\n');
  }

  printJobs() {
    return fs.readdirSync(this.jobsFolder).filter((name) => /^job-\d+\.prn$/.test(name)).sort()
        .map((name) => fs.readFileSync(path.join(this.jobsFolder, name)));
  }

  receivedPages() {
    const log = path.join(this.pagesFolder, 'received.log');
    return fs.existsSync(log) ? fs.readFileSync(log, 'utf8').split('\n').filter(Boolean) : [];
  }

  async stop() {
    // The agent first, so that it does not see its devices vanish under a request.
    if (this.agent) {
      const status = await this.agent.stop();
      this.agentExitStatus = status;
    }
    for (const child of this.children.reverse()) await child.stop();
    for (const server of this.servers) await new Promise((resolve) => server.close(resolve));
    if (this.root && !process.env.DRALMIN_KEEP_TEST_FILES) {
      fs.rmSync(this.root, {recursive: true, force: true});
    }
  }
}
