// The pages in headless Chromium at a phone's and a laptop's size: the
// status page follows a tag that turns On and Off without a reload and
// without touching what the user is typing; names from users and other
// receivers stay text; no page scrolls sideways; every page is in standards
// mode, every control has a name a screen reader reads, buttons are 40 px.
// Usage: node live_pages.test.js <build dir> <source dir> <artifact dir>
'use strict';
const fs = require('fs');
const path = require('path');
const {
  check, waitFor, freePort, waitForServer, makeAppDir, startDaemon, startSimulator, launchChromium,
  run,
} = require('./support');

const [buildDir, sourceDir, artifactDir] = process.argv.slice(2);
if (!buildDir || !sourceDir || !artifactDir) {
  console.error('usage: node live_pages.test.js BUILD_DIR SOURCE_DIR ARTIFACT_DIR');
  process.exit(2);
}

// A device record: status 3 (Off), off time 3 s, weights 20, in use.
function unit(code, tag, location, fom) {
  return code + '=' + [code, '3', tag, 'False', '05/12/2026 10:00:00', location, '01', 'False',
    'False', 'False', '3', '', 'Switch', 'True', '20', '20', fom, '0', '0', '0'].join('~');
}

async function main() {
  fs.mkdirSync(artifactDir, { recursive: true });
  const appDir = makeAppDir('tagvane-live-', sourceDir);
  const port = await freePort();
  // Tag 1A2B is heard for 6 s, then silent.
  const sim = await startSimulator(buildDir, appDir, ['1A2B:87:6:3600']);
  const own = '________HOME1A2B';
  const hostile = "<script>window.tvPwned=1</script>&'Caf\xe9";
  fs.writeFileSync(path.join(appDir, 'Config', 'Tagvane.ini'), ['[RFID]', 'HTTPPort=' + port,
    'SerialIP=127.0.0.1', 'RFIDPort=' + sim.port,
    'ReceiverLocation=Home', 'ShowSetup=True', 'ShowReceiveMessages=True', '[RFIDUnits]',
    unit(own, 'Keys', 'Hall', '95'), unit('______REMOTE0C2D', hostile, hostile, '0'), ''].join('\r\n'),
  'latin1');
  const daemon = startDaemon(path.join(buildDir, 'tagvane'), appDir);
  const base = 'http://127.0.0.1:' + port;
  let browser;
  try {
    await waitForServer(base + '/indicator');
    browser = await launchChromium();
    const page = await browser.newPage({ viewport: { width: 390, height: 844 } });
    const errors = [];
    page.on('pageerror', (e) => errors.push(String(e)));

    await page.goto(base + '/status');
    if (process.env.DUMP) console.log(await page.content());
    await page.evaluate(() => { window.tvMarker = 42; });
    const row = 'tr[data-dc="' + own + '"]';
    const state = () => page.locator(row).getAttribute('data-state');
    await waitFor(async () => await state() === 'ON', 'the tag to turn On on the open page', 20000);
    check(/on\.gif/.test(await page.locator(row + ' .tvp').innerHTML()),
        'the presence cell shows On without a reload');
    // The user types while the rows update.
    await page.click(row + ' input[name^="Location"]');
    await page.keyboard.type('Hallway');
    await waitFor(async () => await state() === 'OFF', 'the silent tag to turn Off', 30000);
    check(/off\.gif/.test(await page.locator(row + ' .tvp').innerHTML()) &&
        /Today/.test(await page.locator(row + ' .tvchanged').textContent()),
        'the silent tag turns Off on the page, with its last change');
    check(await page.evaluate(() => window.tvMarker) === 42, 'the page was never reloaded');
    check(await page.locator(row + ' input[name^="Location"]').inputValue() === 'HallHallway',
        'what the user typed is kept');

    const remote = 'tr[data-dc="______REMOTE0C2D"]';
    const shown = hostile.replace('\xe9', '\u00e9');
    check(await page.evaluate(() => window.tvPwned) === undefined &&
        await page.locator(remote + ' .tvloc').textContent() === shown &&
        await page.locator(remote + ' input[name^="Tag"]').inputValue() === shown,
        'markup, quotes and bytes above 0x7F from another receiver stay text on the page');
    const live = await page.evaluate(async () => (await (await fetch('/status/live')).json()).rows);
    check(live.some((r) => r.location === shown && r.tag === shown),
        'and come through the poll as the same characters');
    await page.screenshot({ path: path.join(artifactDir, 'status_390.png'), fullPage: true });

    for (const [width, height] of [[390, 844], [1366, 768]]) {
      await page.setViewportSize({ width, height });
      for (const p of ['/status', '/monitor', '/setup', '/help']) {
        await page.goto(base + p);
        const r = await page.evaluate(() => {
          const named = (el) => el.labels.length > 0 || el.getAttribute('aria-label') ||
              el.title || (el.type === 'submit' && el.value);
          const controls = [...document.querySelectorAll('input, select, textarea')]
            .filter((el) => el.type !== 'hidden');
          const buttons = controls.filter((el) => el.type === 'submit');
          return {
            fits: document.documentElement.scrollWidth <= window.innerWidth,
            mode: document.compatMode,
            unnamed: controls.filter((el) => !named(el)).map((el) => el.name || el.id),
            low: buttons.filter((el) => el.getBoundingClientRect().height < 40).map((el) => el.value),
          };
        });
        check(r.fits, p + ' has no horizontal scroll at ' + width + ' px');
        if (width !== 390) continue;
        check(r.mode === 'CSS1Compat', p + ' renders in standards mode');
        check(r.unnamed.length === 0, p + ': every control has a name (' + r.unnamed + ')');
        check(r.low.length === 0, p + ': buttons are at least 40 px tall (' + r.low + ')');
      }
    }
    check(errors.length === 0, 'no script errors: ' + errors.join('; '));
  } finally {
    if (browser) await browser.close();
    await daemon.stop();
    sim.kill();
    fs.rmSync(appDir, { recursive: true, force: true });
  }
}

run(main, 'browser live pages test passed');
