// Logs in to the status page of the real daemon in headless Chromium through
// the BASIC mode's 401 challenge: no credentials and a wrong password are
// refused, the right one (answered to the challenge) opens the page. Usage:
//   node basic_login.test.js <tagvane binary> <source dir> <artifact dir>
'use strict';
const { chromium } = require('playwright-core');
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const [binary, sourceDir, artifactDir] = process.argv.slice(2);

function check(cond, what) {
  if (!cond) throw new Error('check failed: ' + what);
  console.log('ok - ' + what);
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function main() {
  fs.mkdirSync(artifactDir, { recursive: true });
  const appDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tagvane-login-'));
  const port = await freePort();
  fs.mkdirSync(path.join(appDir, 'Config'), { recursive: true });
  fs.writeFileSync(path.join(appDir, 'Config', 'qbxXap.ini'),
      '[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n');
  fs.writeFileSync(path.join(appDir, 'Config', 'Tagvane.ini'),
      ['[RFID]', 'HTTPPort=' + port, '[Settings]', 'usesecurity=BASIC', ''].join('\r\n'));
  execFileSync('bash', [path.join(sourceDir, 'scripts', 'install_html.sh'), appDir]);
  // The password goes in on standard input, as an administrator would pipe it.
  execFileSync(binary, ['--app-dir', appDir, '--set-password', 'warden'], { input: 'Gate key 7\n' });
  check(!fs.readFileSync(path.join(appDir, 'Config', 'users.ini'), 'latin1').includes('Gate key'),
      'users.ini holds a hash, not the password');

  const daemon = spawn(binary, ['--foreground', '--app-dir', appDir], { stdio: ['ignore', 'ignore', 'pipe'] });
  let log = '';
  daemon.stderr.on('data', (d) => { log += d.toString(); });
  const base = 'http://127.0.0.1:' + port;
  let browser;
  try {
    for (let i = 0; i < 200 && !/ready, application folder/.test(log); i++) {
      await new Promise((r) => setTimeout(r, 50));
    }
    browser = await chromium.launch({
      executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
        '--disable-component-update'],
    });
    // The browser gives up on a challenge it cannot answer (an error, or
    // the 401 page, depending on the build).
    const refusedBy = async (context) => {
      const p = await context.newPage();
      try {
        return (await p.goto(base + '/status')).status() === 401;
      } catch (e) {
        return /ERR_INVALID_AUTH_CREDENTIALS/.test(String(e));
      }
    };
    const anonymous = await browser.newContext();
    const plain = await anonymous.request.get(base + '/status', { failOnStatusCode: false });
    check(plain.status() === 401, 'without credentials the page answers 401');
    check(/Basic realm="Tagvane"/.test(plain.headers()['www-authenticate'] || ''),
        'with the Basic challenge');
    check(await refusedBy(anonymous), 'the browser without credentials is refused');
    const wrong = await browser.newContext({ httpCredentials: { username: 'warden', password: 'nope' } });
    check(await refusedBy(wrong), 'a wrong password is refused');

    const right = await browser.newContext({ httpCredentials: { username: 'warden', password: 'Gate key 7' } });
    const page = await right.newPage();
    const opened = await page.goto(base + '/status');
    check(opened.status() === 200, 'the right password answered to the challenge opens the page');
    check((await page.title()).includes('RFID'), 'the status page is shown');
    await page.screenshot({ path: path.join(artifactDir, 'login.png') });
    check(!/Gate key|nope/.test(log), 'no password in the event log');
  } finally {
    if (browser) await browser.close();
    daemon.kill('SIGTERM');
    await new Promise((r) => daemon.on('exit', r));
  }
  execFileSync(binary, ['--app-dir', appDir, '--remove-user', 'warden']);
  check(!/warden/.test(fs.readFileSync(path.join(appDir, 'Config', 'users.ini'), 'latin1')),
      '--remove-user takes the user out');
  let status = 0;
  try {
    execFileSync(binary, ['--app-dir', appDir, '--remove-user', 'warden'], { stdio: 'ignore' });
  } catch (e) {
    status = e.status;
  }
  check(status === 1, 'removing a missing user fails');
  fs.rmSync(appDir, { recursive: true, force: true });
}

main().then(() => console.log('login test passed'), (e) => {
  console.error(e.stack || String(e));
  process.exit(1);
});
