// The history page of the real demo (scripts/demo.sh: simulated receiver,
// hub and SQLite readings, all on loopback) in headless Chromium at a
// phone's width: once Keys has readings and has turned On (about 24 s after
// start), /history?tag=Keys shows an inline SVG with the strength line and
// an On band, and the page is no wider than the screen. With
// TAGVANE_SCREENSHOT=FILE (relative to the source folder) the page is also
// saved there, e.g. TAGVANE_SCREENSHOT=docs/history-page.png.
// Usage: node history_page.test.js <build dir> <source dir> <artifact dir>
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { check, sleep, freePort, waitFor, launchChromium, run } = require('./support');

const [buildDir, sourceDir, artifactDir] = process.argv.slice(2);
if (!buildDir || !sourceDir || !artifactDir) {
  console.error('usage: node history_page.test.js BUILD_DIR SOURCE_DIR ARTIFACT_DIR');
  process.exit(2);
}

function getJson(url) {
  return new Promise((resolve) => {
    http.get(url, (res) => {
      let body = '';
      res.on('data', (d) => { body += d; });
      res.on('end', () => {
        try { resolve(JSON.parse(body)); } catch (e) { resolve(null); }
      });
    }).on('error', () => resolve(null));
  });
}

function groupAlive(pgid) {
  try { process.kill(-pgid, 0); return true; } catch (e) { return false; }
}

async function main() {
  fs.mkdirSync(artifactDir, { recursive: true });
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'tagvane-demo-'));
  const port = await freePort();
  // The demo writes loopback xAP settings itself; written here as well so
  // that nothing could ever be broadcast off the machine.
  fs.mkdirSync(path.join(home, 'Config'), { recursive: true });
  fs.writeFileSync(path.join(home, 'Config', 'qbxXap.ini'),
      '[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n');
  // Its own process group, so that one signal stops the daemon, the
  // simulator and the hub together.
  const demo = spawn('bash', [path.join(sourceDir, 'scripts', 'demo.sh')], {
    detached: true,
    stdio: ['ignore', 'ignore', 'pipe'],
    env: Object.assign({}, process.env, {
      TAGVANE_DEMO_HOME: home, TAGVANE_DEMO_PORT: String(port), TAGVANE_BUILD_DIR: buildDir,
    }),
  });
  let log = '';
  demo.stderr.on('data', (d) => { log += d.toString(); });
  const exited = new Promise((r) => demo.on('exit', r));
  const base = 'http://127.0.0.1:' + port;
  let browser;
  try {
    let history = null;
    await waitFor(async () => {
      history = await getJson(base + '/api/history?tag=Keys&hours=1');
      return history && history.readings && history.readings.length > 0 &&
          history.turns.some((t) => t.status === 'ON');
    }, 'Keys to have readings and an ON turn stored', 90000);
    check(true, 'the demo stored ' + history.readings.length + ' readings and ' +
        history.turns.length + ' turn(s) of Keys');

    browser = await launchChromium();
    const phone = await browser.newPage({ viewport: { width: 390, height: 844 } });
    const errors = [];
    phone.on('pageerror', (e) => errors.push(String(e)));
    const answer = await phone.goto(base + '/history?tag=Keys');
    check(answer.status() === 200 &&
        await phone.locator('h2.tvcaption').textContent() === 'History of Keys',
        'the history page of Keys opens');
    const line = await phone.locator('svg.tvchart path.tvline').getAttribute('d');
    const points = (line.match(/[ML][\d.]+ [\d.]+/g) || []).length;
    check(points >= 2, 'the inline SVG draws the strength line (' + points + ' points)');
    check(await phone.locator('svg.tvchart rect.tvon').count() >= 1, 'and at least one On band');
    const widths = await phone.evaluate(() => [document.documentElement.scrollWidth,
      document.querySelector('svg.tvchart').getBoundingClientRect().width]);
    check(widths[0] <= 390 && widths[1] > 0 && widths[1] <= 390,
        'no horizontal scroll at 390 px (page ' + widths[0] + ' px, chart ' + widths[1] + ' px)');
    check(errors.length === 0, 'no script errors: ' + errors.join('; '));
    await phone.screenshot({ path: path.join(artifactDir, 'history-page.png'), fullPage: true });
    if (process.env.TAGVANE_SCREENSHOT) {
      const file = path.resolve(sourceDir, process.env.TAGVANE_SCREENSHOT);
      await phone.screenshot({ path: file, fullPage: true });
      console.log('screenshot: ' + file);
    }
  } catch (e) {
    console.error('demo log:\n' + log);
    throw e;
  } finally {
    if (browser) await browser.close();
    try { process.kill(-demo.pid, 'SIGTERM'); } catch (e) { /* already gone */ }
    await Promise.race([exited, sleep(10000)]);
    // The shell ends before the daemon has finished saving its settings:
    // the folder goes only when the whole process group has.
    for (let i = 0; i < 200 && groupAlive(demo.pid); i++) await sleep(50);
    fs.rmSync(home, { recursive: true, force: true, maxRetries: 5 });
  }
}

run(main, 'history page test passed');
