// Pictures of the bridge's page for review and for the README: at a phone's
// size and a desk's, with a relay locked at its unit, one protected, a unit
// that is down, and (at the desk) a salvo armed, drawn by Debian's
// Chromium. Usage: node screenshots.mjs FOLDER
import {mkdirSync, mkdtempSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {Bridge, Unit, freePort, launchBrowser, removeFolder} from './harness.mjs';

const out = process.argv[2] || '.';
mkdirSync(out, {recursive: true});
const folder = mkdtempSync(join(tmpdir(), 'kdt-shots-'));
const studio = await Unit.start(), hall = await Unit.start();
const gone = {port: await freePort()};  // a unit that nobody answers for
const salvos = '[SALVO evening]\nLABEL=Evening programme\nstudio.A=1\nstudio.B=1\nhall.C=2\n' +
  '[SALVO night]\nLABEL=Night\nhall.B=1\n';
const bridge = await Bridge.start({studio, hall, foyer: gone}, {folder, http: salvos});
const browser = await launchBrowser();
try {
  await studio.panel('input A 2');
  await studio.panel('name B Студия 2');
  await studio.panel('lock C on');
  await hall.panel('input B 2');
  await bridge.waitFor('foyer: cannot connect');
  const protect = await fetch(bridge.url + 'api/units/hall/relays/a/protect', {method: 'POST',
    headers: {'Content-Type': 'application/json'}, body: '{"on":true}'});
  if (protect.status !== 200) throw new Error(`protect: ${protect.status}`);
  for (const [name, viewport] of [['page-phone', {width: 360, height: 640}],
    ['page-desktop', {width: 1280, height: 800}]]) {
    const page = await browser.newPage({viewport});
    await page.goto(bridge.url);
    await page.locator('.unit[aria-label="foyer"]').waitFor();
    await page.locator('#log li').first().waitFor();
    if (name === 'page-desktop') {
      await page.getByRole('button', {name: 'Evening programme'}).click();
      await page.locator('.relay.target').first().waitFor();
    }
    const path = join(out, `${name}.png`);
    await page.screenshot({path, fullPage: name === 'page-desktop'});
    console.log(path);
    await page.close();
  }
} finally {
  await browser.close();
  await bridge.stop();
  await studio.stop();
  await hall.stop();
  removeFolder(folder);
}
