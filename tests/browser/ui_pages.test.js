// Drives the data monitor, the setup page, the menu and Exit of the real
// daemon in headless Chromium, fed by the receiver simulator on loopback.
// Usage: node ui_pages.test.js <build dir> <source dir> <artifact dir>
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const path = require('path');
const {
  check, sleep, freePort, request, waitFor, waitForServer, makeAppDir, startDaemon, listenHub,
  launchChromium, run,
} = require('./support');

const [buildDir, sourceDir, artifactDir] = process.argv.slice(2);
if (!buildDir || !sourceDir || !artifactDir) {
  console.error('usage: node ui_pages.test.js BUILD_DIR SOURCE_DIR ARTIFACT_DIR');
  process.exit(2);
}

async function main() {
  fs.mkdirSync(artifactDir, { recursive: true });
  const appDir = makeAppDir('tagvane-ui-', sourceDir);
  const port = await freePort();
  const ini = path.join(appDir, 'Config', 'Tagvane.ini');

  // The receiver: tag 1A2B reported every 200 ms through a TCP bridge.
  const portFile = path.join(appDir, 'Data', 'sim.port');
  const sim = spawn(path.join(buildDir, 'tagvane-receiver-sim'),
      ['--listen', '0', '--port-file', portFile, '--tag', '1A2B:87', '--interval', '200'],
      { stdio: 'ignore' });
  await waitFor(() => fs.existsSync(portFile) && fs.readFileSync(portFile, 'latin1').trim() !== '',
      'the simulator port');
  const simPort = fs.readFileSync(portFile, 'latin1').trim();
  // Accepted, Off, rising one step of 5 every 3 s: with a Figure of Merit
  // Delta of 200 it sends no info message on the way up; with 5 it sends one
  // at every step.
  const code = '________Home1A2B';
  fs.writeFileSync(ini, ['[RFID]', 'HTTPPort=' + port, 'SerialIP=127.0.0.1', 'RFIDPort=' + simPort,
    'ReceiverLocation=Home', 'fomdelta=200', '[RFIDUnits]',
    code + '=' + [code, '3', 'Keys', 'False', '05/12/2026 10:00:00', 'Hall', '01', 'False',
      'False', 'False', '10', '', 'Switch', 'True', '1', '1', '0', '0', '0', '0'].join('~'),
    ''].join('\r\n'));

  const hub = await listenHub();
  const heard = hub.heard;
  const daemon = startDaemon(path.join(buildDir, 'tagvane'), appDir);
  const base = 'http://127.0.0.1:' + port;
  let browser;
  try {
    await waitForServer(base + '/indicator');
    browser = await launchChromium();
    const page = await browser.newPage({ viewport: { width: 1100, height: 900 } });

    // The data monitor, live.
    await page.goto(base + '/monitor');
    check(await page.locator('h2.tvcaption').textContent() === 'RFID Data Monitor Window for Receiver Home',
        'the monitor shows its caption with the location');
    const captions = (await page.locator('#tvColumns').textContent()).split('\n');
    check(captions[0].indexOf('Delta Time') === 12 && captions[0].indexOf('Strength') === 56 &&
        captions[1].indexOf('Avg Strength') === 64 && captions[0].indexOf('FOM') === 72 &&
        captions[1].indexOf('Status') === 80, 'the column captions sit at their columns');
    const text = () => page.locator('#CommData').inputValue();
    const start = (await text()).length;
    await waitFor(async () => (await text()).length > start + 50 && /Hall/.test(await text()),
        'new reports on the monitor');
    check(true, 'simulated reports appear live');
    check(/Port Open/.test(await page.locator('#aOpenStatus').textContent()), 'Port Status shows the open link');
    // A line of one report, its tabs expanded as the page shows them: the
    // delta time and the strength start under their captions.
    const expand = (l) => [...l].reduce((o, c) => (c === '\t' ? o.padEnd((Math.floor(o.length / 8) + 1) * 8) : o + c), '');
    const line = expand((await text()).split(/\r?\n/).filter((l) => /^\d\d:\d\d:\d\d \|  \(/.test(l) && (l.match(/\(/g) || []).length === 1 && !/\(0\)/.test(l)).pop() || '');
    check(line.charAt(12) === '(' && line.indexOf('Hall') === 32 && /^ *\d/.test(line.slice(56)) &&
        /^ *\d/.test(line.slice(64)) && /^ *\d/.test(line.slice(72)) && /^(ON|OFF)/.test(line.slice(80)),
        'the captions line up with the text: ' + JSON.stringify(line));
    const box = await page.locator('#CommData').evaluate((e) => ({ top: e.scrollTop, h: e.scrollHeight, c: e.clientHeight }));
    check(box.h <= box.c || box.top > 0, 'the monitor follows the last line');

    await page.check('#Freeze');
    await sleep(700);
    const frozen = await text();
    const frozenTop = await page.locator('#CommData').evaluate((e) => e.scrollTop);
    await sleep(1500);
    check(await text() === frozen, 'with Freeze ticked the text stops growing');
    check(await page.locator('#CommData').evaluate((e) => e.scrollTop) === frozenTop,
        'and stays where it is scrolled');
    await page.uncheck('#Freeze');
    await waitFor(async () => (await text()).length !== frozen.length, 'growth after Freeze is cleared');
    check(true, 'clearing Freeze lets the text grow again');

    // The menu reaches each page; the indicator shows activity.
    await page.goto(base + '/status');
    const indicator = page.locator('#tvIndicator');
    check(await indicator.getAttribute('title') === 'RFID Home', 'the indicator carries the tip');
    await page.waitForFunction(() => /indicator_active/.test(document.getElementById('tvIndicator').src),
        null, { timeout: 10000, polling: 20 });
    check(true, 'the indicator switches to the activity picture on receiver data');
    check(await page.locator('.tvmenu .tvoff', { hasText: 'System Config' }).count() === 1 &&
        await page.locator('.tvmenu .tvoff', { hasText: 'System Status' }).count() === 1,
        'System Config and System Status are shown disabled');
    for (const [caption, url, marker] of [['GUI', '/setup', 'text=RFID Setup'],
      ['IO Window', '/monitor', '#CommData'], ['Help', '/help', 'body'],
      ['Browser', '/status', 'input[name="UpdateButton"]']]) {
      await Promise.all([page.waitForNavigation(), page.click('.tvmenu a:text-is("' + caption + '")')]);
      check(page.url().endsWith(url) && await page.locator(marker).count() > 0,
          'the menu item ' + caption + ' opens ' + url);
    }
    await page.screenshot({ path: path.join(artifactDir, 'status_menu.png') });
    const wide = await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth);
    check(wide, 'the status page needs no horizontal scroll at 1100 pixels');

    // The setup page: load, change Figure of Merit Delta, Close.
    await page.goto(base + '/setup');
    check(await page.locator('#aIni15').inputValue() === '200', 'the setup page loads fomdelta from the file');
    check(await page.locator('#aIni2').inputValue() === String(port), 'and the HTTP port');
    check(await page.locator('label[for="aIni11"]').textContent() === 'Periodic Script Interval',
        'boxes carry their labels');
    await page.fill('#aIni15', '5');
    const before = heard.length;
    await Promise.all([page.waitForNavigation(), page.click('input[name="Close"]')]);
    check(/fomdelta=5\r\n/.test(fs.readFileSync(ini, 'latin1')), 'Close saves Figure of Merit Delta');
    check(await page.locator('#aIni15').inputValue() === '5', 'the page shows the saved value');
    if (/Using xAP port/.test(daemon.log())) {
      await waitFor(() => heard.slice(before).some((m) => /xapbsc\.info/i.test(m) && /Keys|1A2B/i.test(m)),
          'an info message on the way up (heard: ' + heard.length + ')', 15000).catch((e) => {
        console.log(heard.slice(-5).join('\n----\n'));
        throw e;
      });
      check(true, 'the new delta takes effect without a restart');
    } else {
      console.log('skip - the xAP transport is not up here: no message check');
    }

    // Another site, on another loopback port, makes the browser post each
    // page action: every post is refused with 403 and nothing changes.
    const evilPort = await freePort();
    const evil = http.createServer((req, res) => {
      const q = new URL(req.url, 'http://x').searchParams;
      const fields = [...new URLSearchParams(q.get('body')).entries()].map(([k, v]) =>
        '<input type="hidden" name="' + k + '" value="' + v + '">').join('');
      res.writeHead(200, { 'Content-Type': 'text/html' });
      res.end('<form id="f" method="post" action="' + base + q.get('to') + '">' + fields +
          '</form><script>document.getElementById("f").submit()</script>');
    });
    await new Promise((r) => evil.listen(evilPort, '127.0.0.1', r));
    try {
      for (const [to, body] of [['/status', 'clientinput=yes&UpdateButton=Save&HideRemoved=1'],
        ['/status', 'clientinput=yes&Tag=Tag'], ['/setup', 'Close=Close&aIni15=77'],
        ['/monitor', 'monitorform=1&aTagFilter=EVIL'], ['/exit', 'confirmed=yes&Exit=Exit']]) {
        const answer = page.waitForResponse((r) => r.url() === base + to && r.request().method() === 'POST');
        await page.goto('http://127.0.0.1:' + evilPort + '/?to=' + encodeURIComponent(to) +
            '&body=' + encodeURIComponent(body));
        const r = await answer;
        check(r.status() === 403 && /another site/.test(await r.text()),
            'a form from another site posting ' + to + ' (' + body + ') is refused with 403');
      }
      const after = fs.readFileSync(ini, 'latin1');
      check(/fomdelta=5\r\n/.test(after) && !/HideRemoved=True/i.test(after) &&
          !/StatusSortKey/i.test(after), 'the refused posts wrote nothing');
      const state = await (await fetch(base + '/monitor/data')).json();
      check(state.filter === '' && daemon.exitCode() === null,
          'the monitor filter is unchanged and the daemon still runs');
    } finally {
      evil.close();
    }
    await page.goto(base + '/status');

    // Exit: a GET does nothing; dismissing the confirmation does nothing;
    // accepting it stops the daemon with its files saved.
    check(await request(base + '/exit') === 405, 'GET /exit is refused');
    page.once('dialog', (d) => d.dismiss());
    await page.click('.tvmenu input[name="Exit"]');
    await sleep(500);
    check(daemon.exitCode() === null, 'dismissing the confirmation keeps the daemon running');
    page.once('dialog', (d) => d.accept());
    await page.click('.tvmenu input[name="Exit"]');
    await Promise.race([daemon.exited, sleep(15000)]);
    check(daemon.exitCode() === 0, 'Exit after confirmation stops the daemon (exit status 0)');
    const saved = fs.readFileSync(ini, 'latin1');
    const unit = saved.split(/\r\n/).find((l) => l.startsWith(code + '='));
    check(unit && Number(unit.split('~')[16]) > 0, 'the tag table was saved on the way out');
    check(/Exit requested from the menu/.test(daemon.log()), 'the event log names the Exit');
  } finally {
    if (browser) await browser.close();
    await daemon.stop();
    sim.kill('SIGTERM');
    hub.close();
    fs.rmSync(appDir, { recursive: true, force: true });
  }
}

run(main, 'browser ui test passed');
