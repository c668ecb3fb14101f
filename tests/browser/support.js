// What the browser tests share: checks, waits, a loopback application folder,
// the real daemon, a hub socket and headless Chromium.
'use strict';
const { chromium } = require('playwright-core');
const { spawn, execFileSync } = require('child_process');
const dgram = require('dgram');
const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');

function check(cond, what) {
  if (!cond) throw new Error('check failed: ' + what);
  console.log('ok - ' + what);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// The status code of a plain request.
function request(url, method) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method: method || 'GET' }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', reject);
    req.end();
  });
}

// Polls cond every 50 ms; a bound against hangs, not a measurement.
async function waitFor(cond, what, ms) {
  for (let i = 0; i < (ms || 10000) / 50; i++) {
    if (await cond()) return;
    await sleep(50);
  }
  throw new Error('timed out waiting for ' + what);
}

async function waitForServer(url) {
  await waitFor(async () => {
    try {
      await request(url);
      return true;
    } catch (e) {
      return false;
    }
  }, 'the daemon to answer on ' + url);
}

// A fresh application folder with loopback-only xAP settings and the
// installed pages; Config/ and Data/ exist.
function makeAppDir(prefix, sourceDir) {
  const appDir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  fs.mkdirSync(path.join(appDir, 'Config'), { recursive: true });
  fs.mkdirSync(path.join(appDir, 'Data'), { recursive: true });
  fs.writeFileSync(path.join(appDir, 'Config', 'qbxXap.ini'),
      '[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n');
  execFileSync('bash', [path.join(sourceDir, 'scripts', 'install_html.sh'), appDir]);
  return appDir;
}

// The daemon in the foreground; log() is its standard error so far,
// exitCode() null while it runs, stop() ends it (SIGTERM) if it still runs.
function startDaemon(binary, appDir) {
  const daemon = spawn(binary, ['--foreground', '--app-dir', appDir],
      { stdio: ['ignore', 'ignore', 'pipe'] });
  let log = '';
  daemon.stderr.on('data', (d) => { log += d.toString(); });
  let code = null;
  const exited = new Promise((r) => daemon.on('exit', (c) => { code = c; r(); }));
  return {
    log: () => log,
    exitCode: () => code,
    exited,
    async stop() {
      if (code !== null) return;
      daemon.kill('SIGTERM');
      await Promise.race([exited, sleep(10000)]);
    },
  };
}

// Every xAP message broadcast to the hub port, in heard.
async function listenHub() {
  const socket = dgram.createSocket({ type: 'udp4', reuseAddr: true });
  const heard = [];
  socket.on('message', (m) => heard.push(m.toString('latin1')));
  await new Promise((r) => socket.bind(3639, '0.0.0.0', r));
  return { heard, close: () => socket.close() };
}

// tagvane-receiver-sim as a loopback TCP bridge reporting --tag texts every 200 ms.
async function startSimulator(buildDir, appDir, tags) {
  const portFile = path.join(appDir, 'Data', 'sim.port');
  const args = ['--listen', '0', '--port-file', portFile, '--interval', '200'];
  for (const t of tags) args.push('--tag', t);
  const sim = spawn(path.join(buildDir, 'tagvane-receiver-sim'), args, { stdio: 'ignore' });
  await waitFor(() => fs.existsSync(portFile) && fs.readFileSync(portFile, 'latin1').trim() !== '',
      'the simulator port');
  return { port: fs.readFileSync(portFile, 'latin1').trim(), kill: () => sim.kill('SIGTERM') };
}

function launchChromium() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update'],
  });
}

function run(main, passed) {
  main().then(() => console.log(passed), (e) => {
    console.error(e.stack || String(e));
    process.exit(1);
  });
}

module.exports = {
  check, sleep, freePort, request, waitFor, waitForServer, makeAppDir, startDaemon, listenHub,
  startSimulator, launchChromium, run,
};
