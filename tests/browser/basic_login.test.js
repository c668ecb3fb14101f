// Logs in to the status page of the real daemon in headless Chromium through
// the BASIC mode's 401 challenge: no credentials and a wrong password are
// refused, the right one (answered to the challenge) opens the page. Usage:
//   node basic_login.test.js <tagvane binary> <source dir> <artifact dir>
'use strict';
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { check, sleep, freePort, waitFor, makeAppDir, startDaemon, launchChromium, run } =
    require('./support');

const [binary, sourceDir, artifactDir] = process.argv.slice(2);

async function main() {
  fs.mkdirSync(artifactDir, { recursive: true });
  const appDir = makeAppDir('tagvane-login-', sourceDir);
  const port = await freePort();
  fs.writeFileSync(path.join(appDir, 'Config', 'Tagvane.ini'),
      ['[RFID]', 'HTTPPort=' + port, '[Settings]', 'usesecurity=BASIC', ''].join('\r\n'));
  // The password goes in on standard input, as an administrator would pipe it.
  execFileSync(binary, ['--app-dir', appDir, '--set-password', 'warden'], { input: 'Gate key 7\n' });
  check(!fs.readFileSync(path.join(appDir, 'Config', 'users.ini'), 'latin1').includes('Gate key'),
      'users.ini holds a hash, not the password');

  const daemon = startDaemon(binary, appDir);
  const base = 'http://127.0.0.1:' + port;
  let browser;
  try {
    await waitFor(() => /ready, application folder/.test(daemon.log()), 'the daemon to start');
    browser = await launchChromium();
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
    // The wrong tries from this address started its delay (250 ms, doubling)
    // and spent the daemon's hashing budget: until both are waited out the
    // daemon answers 429 or 503 without checking.
    let opened = await page.goto(base + '/status');
    for (let i = 0; i < 40 && [429, 503].includes(opened.status()); i++) {
      await sleep(250);
      opened = await page.goto(base + '/status');
    }
    check(opened.status() === 200, 'the right password answered to the challenge opens the page (' + opened.status() + ')');
    check((await page.title()).includes('RFID'), 'the status page is shown');
    await page.screenshot({ path: path.join(artifactDir, 'login.png') });
    check(!/Gate key|nope/.test(daemon.log()), 'no password in the event log');
  } finally {
    if (browser) await browser.close();
    await daemon.stop();
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

run(main, 'login test passed');
