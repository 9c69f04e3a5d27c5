// The bridge's page in a real browser (Debian's Chromium), against the real
// bridge and simulated units on loopback: what an operator on a phone, a
// producer at a desk and a viewer in the next room meet.
import {execFileSync, spawnSync} from 'node:child_process';
import {request} from 'node:http';
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {mkdtempSync, readFileSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {Bridge, Proxy, Unit, launchBrowser, removeFolder, usersFile} from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser.close(); });

const WAIT = {timeout: 10000};

// A page of its own (a context: cookies of its own), opened on `url`;
// `clock`: its timers are the test's to run.
async function open(url, viewport = {width: 1280, height: 800},
  {clock = false, timezoneId, colorScheme = 'light'} = {}) {
  // A certificate of the test's own (HTTPS) is one the browser cannot know.
  const context = await browser.newContext({viewport, ignoreHTTPSErrors: true, timezoneId,
    locale: 'en-GB', colorScheme});
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(String(error)));
  // The browser logs every answer of 400 and above: those the page means
  // (401 before a login) are not problems; what else went wrong is.
  page.on('response', (response) => {
    const expected = response.status() === 401 && response.url().endsWith('/api/me');
    if (response.status() >= 400 && !expected) {
      problems.push(`${response.status()} for ${response.url()}`);
    }
  });
  page.on('console', (message) => {
    if (message.type() === 'error' && !message.text().startsWith('Failed to load resource')) {
      problems.push(message.text());
    }
  });
  page.on('request', (request) => {
    if (!request.url().startsWith(new URL(url).origin)) problems.push('asked ' + request.url());
  });
  page.problems = problems;
  if (clock) await page.clock.install();
  await page.goto(url);
  return page;
}

function input(page, id, relay, n) {
  return page.getByRole('button', {name: `${id} RELAY ${relay} INPUT ${n}`, exact: true});
}

async function login(page, user, password) {
  await page.getByLabel('Name').fill(user);
  await page.getByLabel('Password').fill(password);
  await page.getByRole('button', {name: 'Log in'}).click();
}

// A site: two units, the bridge, a folder for both, and what ends them.
async function site({users, http = '', unitKeys = {}} = {}) {
  const folder = mkdtempSync(join(tmpdir(), 'kdt-page-'));
  const studio = await Unit.start(), hall = await Unit.start();
  if (users) http = `USERS=${await usersFile(folder, users)}\n` + http;  // [HTTP]'s, before any section
  const bridge = await Bridge.start({studio, hall}, {http, folder, unitKeys});
  await bridge.waitFor('studio: connected to');
  await bridge.waitFor('hall: connected to');
  return {
    folder, studio, hall, bridge,
    async stop() {
      await this.bridge.stop();
      await studio.stop();
      await hall.stop();
      removeFolder(folder);
    },
  };
}

test('a tap in one page shows in the other, and a viewer has no active controls', async () => {
  const s = await site({users: ['alice:operate:a-Pa55', 'bob:view:b-Pa55']});
  try {
    const operator = await open(s.bridge.url), viewer = await open(s.bridge.url);
    await login(operator, 'alice', 'a-Pa55');
    await login(viewer, 'bob', 'b-Pa55');
    const a2 = input(operator, 'studio', 'A', 2);
    await a2.waitFor(WAIT);
    await assert.doesNotReject(async () => { await a2.click(WAIT); });
    await input(viewer, 'studio', 'A', 2).and(viewer.locator('[aria-pressed="true"]')).waitFor(WAIT);
    assert.equal(await input(operator, 'studio', 'A', 2).getAttribute('aria-pressed'), 'true');
    assert.equal(await input(operator, 'studio', 'A', 1).getAttribute('aria-pressed'), 'false');
    // Coloured as the console colours INPUT 2: light orange.
    assert.equal(await a2.evaluate((b) => getComputedStyle(b).backgroundColor), 'rgb(255, 204, 85)');
    assert.equal(await input(operator, 'studio', 'B', 1).evaluate((b) => getComputedStyle(b).backgroundColor),
      'rgb(136, 255, 136)');
    for (const button of await viewer.locator('#units button').all()) {
      assert.ok(await button.isDisabled(), 'a view user\'s control is active');
    }
    await s.bridge.waitFor('studio: RELAY A: input INPUT 1 -> INPUT 2, by web alice');
    const record = operator.locator('#log li').first();
    await assert.doesNotReject(record.filter({hasText: 'by web alice'}).waitFor(WAIT));
    assert.deepEqual(operator.problems, []);
    assert.deepEqual(viewer.problems, []);
  } finally {
    await s.stop();
  }
});

test('a change at the front panel, and a lock, show at once', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url);
    await input(page, 'hall', 'C', 1).waitFor(WAIT);
    await s.hall.panel('input C 2');
    await page.locator('[aria-label="hall RELAY C INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    await s.studio.panel('lock B on');
    const relayB = page.locator('.unit[aria-label="studio"] .relay').nth(1);
    await relayB.getByText('locked at the unit').waitFor(WAIT);
    assert.ok(await input(page, 'studio', 'B', 1).isDisabled());
    assert.ok(await input(page, 'studio', 'B', 2).isDisabled());
    assert.ok(!(await input(page, 'studio', 'A', 2).isDisabled()));
    assert.match(await page.locator('#announce').textContent(), /hall RELAY C on INPUT 2/);
    // A lock keeps the inputs, not the name, as at the console.
    await page.getByRole('button', {name: 'studio RELAY B name'}).click(WAIT);
    await page.getByLabel('New name of studio RELAY B').fill('Locked, renamed');
    await page.getByLabel('New name of studio RELAY B').press('Enter');
    await page.getByRole('button', {name: 'studio RELAY B name'}).filter({hasText: 'Locked, renamed'})
      .waitFor(WAIT);
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('a rename in place: Enter saves a Cyrillic name, Escape keeps the old one', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url);
    const name = page.getByRole('button', {name: 'studio RELAY B name'});
    await name.click(WAIT);
    const edit = page.getByLabel('New name of studio RELAY B');
    await edit.fill('Студия 2');
    await edit.press('Enter');
    await page.getByRole('button', {name: 'studio RELAY B name'}).filter({hasText: 'Студия 2'}).waitFor(WAIT);
    await s.bridge.waitFor('studio: RELAY B: name "Backup feed" -> "Студия 2", by web');
    await page.getByRole('button', {name: 'studio RELAY C name'}).click();
    await page.getByLabel('New name of studio RELAY C').fill('Never');
    await page.getByLabel('New name of studio RELAY C').press('Escape');
    assert.equal(await page.getByRole('button', {name: 'studio RELAY C name'}).textContent(), 'Main feed');
    // A name the unit cannot carry: refused in words beside the relay.
    await page.getByRole('button', {name: 'studio RELAY A name'}).click();
    await page.getByLabel('New name of studio RELAY A').fill('中文');
    await page.getByLabel('New name of studio RELAY A').press('Enter');
    await page.locator('.unit[aria-label="studio"] .relay').first()
      .getByText('RELAY A keeps its name: the unit\'s code page (windows-1251) has no "中" (U+4E2D)')
      .waitFor(WAIT);
  } finally {
    await s.stop();
  }
});

test('a rename on a phone: a tap elsewhere keeps it, Save and Cancel beside it, clearing asked first', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url, {width: 360, height: 740});
    await page.getByRole('button', {name: 'studio RELAY B name'}).click(WAIT);
    const edit = page.getByLabel('New name of studio RELAY B');
    await edit.fill('Half typed');
    await page.locator('h1').click();  // a tap elsewhere
    assert.equal(await edit.inputValue(), 'Half typed');
    await page.getByRole('button', {name: 'Cancel the rename of studio RELAY B'}).click();
    assert.equal(await page.getByRole('button', {name: 'studio RELAY B name'}).textContent(), 'Backup feed');

    // Emptied: the page asks; kept, then cleared.
    const questions = [];
    page.once('dialog', (dialog) => { questions.push(dialog.message()); dialog.dismiss(); });
    await page.getByRole('button', {name: 'studio RELAY B name'}).click();
    await edit.fill('');
    await page.getByRole('button', {name: 'Save the name of studio RELAY B'}).click();
    assert.deepEqual(questions, ['Clear the name of studio RELAY B?']);
    assert.ok(await edit.isVisible());
    page.once('dialog', (dialog) => { questions.push(dialog.message()); dialog.accept(); });
    await page.getByRole('button', {name: 'Save the name of studio RELAY B'}).click();
    await s.bridge.waitFor('studio: RELAY B: name "Backup feed" -> "", by web');
    const unnamed = page.getByRole('button', {name: 'studio RELAY B name', exact: true});
    await unnamed.filter({hasText: 'no name'}).waitFor(WAIT);
    assert.ok(await unnamed.evaluate((node) => node.classList.contains('unnamed')));
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('an operator whose protect an admin released is told at the relay', async () => {
  const s = await site({users: ['alice:operate:a-Pa55', 'dave:admin:d-Pa55']});
  try {
    const alice = await open(s.bridge.url, {width: 360, height: 740});
    await login(alice, 'alice', 'a-Pa55');
    await alice.getByRole('button', {name: 'studio RELAY A protect'}).click(WAIT);
    await s.bridge.waitFor('studio: RELAY A: protect none -> web alice, by web alice');
    const dave = await open(s.bridge.url);
    await login(dave, 'dave', 'd-Pa55');
    await dave.getByRole('button', {name: 'studio RELAY A release'}).click(WAIT);
    const told = alice.locator('.unit[aria-label="studio"] .relay').first()
      .getByText(/^released by dave at \d\d:\d\d:\d\d$/);
    await told.waitFor(WAIT);
    // Only its owner is told.
    assert.equal(await dave.getByText(/^released by/).count(), 0);
    assert.deepEqual(alice.problems, []);
  } finally {
    await s.stop();
  }
});

test('takes on air: a source preselected, then taken; Escape and 10 s let it go; confirm chosen for every unit', async () => {
  const s = await site({unitKeys: {studio: 'TAKE=confirm\n'}});
  try {
    const page = await open(s.bridge.url, {width: 360, height: 740}, {clock: true});
    const a2 = input(page, 'studio', 'A', 2);
    await a2.click(WAIT);
    assert.ok(await a2.evaluate((node) => node.classList.contains('preselected')));
    assert.equal(await a2.getAttribute('aria-pressed'), 'false');
    const take = page.getByRole('button', {name: 'Take INPUT 2 to studio RELAY A'});
    await take.click();
    await page.locator('[aria-label="studio RELAY A INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    await s.bridge.waitFor('studio: RELAY A: input INPUT 1 -> INPUT 2, by web');
    assert.ok(await take.isHidden());

    // Escape lets it go; so do 10 s without a Take.
    const b2 = input(page, 'studio', 'B', 2);
    await b2.click();
    await page.keyboard.press('Escape');
    assert.ok(!(await b2.evaluate((node) => node.classList.contains('preselected'))));
    await b2.click();
    await page.clock.runFor(10001);
    assert.ok(!(await b2.evaluate((node) => node.classList.contains('preselected'))));
    // Enter on the preselected source takes it.
    await b2.click();
    await b2.press('Enter');
    await s.bridge.waitFor('studio: RELAY B: input INPUT 1 -> INPUT 2, by web');

    // hall takes at once, until this page confirms every take.
    await input(page, 'hall', 'A', 2).click();
    await s.bridge.waitFor('hall: RELAY A: input INPUT 1 -> INPUT 2, by web');
    await page.getByLabel('Confirm every take').check();
    await input(page, 'hall', 'B', 2).click();
    await page.getByRole('button', {name: 'Take INPUT 2 to hall RELAY B'}).waitFor(WAIT);
    await page.reload();
    await page.locator('#confirm-every-take:checked').waitFor(WAIT);  // kept
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('a hostile name is text, and runs nothing', async () => {
  const s = await site();
  try {
    const hostile = '<img src=x onerror=f()>';  // within the unit's 25 bytes
    await s.studio.panel(`name A ${hostile}`);
    const page = await open(s.bridge.url);
    let dialogs = 0;
    page.on('dialog', async (dialog) => { dialogs += 1; await dialog.dismiss(); });
    await page.getByRole('button', {name: 'studio RELAY A name'}).filter({hasText: hostile}).waitFor(WAIT);
    assert.equal(await page.locator('#units img').count(), 0);
    await page.waitForTimeout(300);
    assert.equal(dialogs, 0);
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('the bridge killed: a banner, every control off; started again: a fresh picture', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url);
    await input(page, 'studio', 'A', 2).waitFor(WAIT);
    await s.bridge.stop('SIGKILL');
    const banner = page.getByRole('alert');
    await banner.waitFor({state: 'visible', ...WAIT});
    assert.match(await banner.textContent(), /connection to the bridge is lost/);
    for (const button of await page.locator('#units button:visible').all()) {
      assert.ok(await button.isDisabled(), 'a control stayed active on a stale picture');
    }
    await s.studio.panel('input A 2');  // while the page cannot know
    s.bridge = await Bridge.restart(s.bridge);
    await banner.waitFor({state: 'hidden', timeout: 20000});
    await page.locator('[aria-label="studio RELAY A INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    assert.ok(!(await input(page, 'studio', 'A', 1).isDisabled()));
  } finally {
    await s.stop();
  }
});

test('an upgrade or a restart logs nobody out and keeps the record; a session that ends says why', async () => {
  const folder = mkdtempSync(join(tmpdir(), 'kdt-state-'));
  const s = await site({users: ['alice:operate:a-Pa55'], http: `[BRIDGE]\nSTATE=${folder}/protects.json\n`});
  try {
    const page = await open(s.bridge.url);
    await login(page, 'alice', 'a-Pa55');
    await input(page, 'studio', 'A', 2).click(WAIT);
    await page.locator('#log li', {hasText: 'studio RELAY A (Monitor): input INPUT 1 → INPUT 2, by web alice'}).waitFor(WAIT);
    await s.bridge.stop();
    s.bridge = await Bridge.restart(s.bridge);
    await page.getByRole('alert').waitFor({state: 'hidden', timeout: 20000});
    assert.ok(await page.locator('#login').isHidden());
    await input(page, 'studio', 'B', 2).click(WAIT);  // still alice's
    await s.bridge.waitFor('studio: RELAY B: input INPUT 1 -> INPUT 2, by web alice');
    await page.locator('#log li', {hasText: 'RELAY A (Monitor): input INPUT 1 → INPUT 2, by web alice'}).waitFor(WAIT);

    // Her password changes: her page says why she must log in again.
    await usersFile(s.folder, ['alice:operate:new-Pa55']);
    s.bridge.process.kill('SIGHUP');
    await page.getByText('your session ended: the users file changed').waitFor(WAIT);
    assert.ok(await page.locator('#login').isVisible());
  } finally {
    await s.stop();
    removeFolder(folder);
  }
});

test('login and logout', async () => {
  const s = await site({users: ['alice:operate:a-Pa55']});
  try {
    const page = await open(s.bridge.url);
    await page.getByRole('button', {name: 'Log in'}).waitFor(WAIT);
    assert.equal(await page.locator('#units button').count(), 0);
    await login(page, 'alice', 'wrong');
    await page.getByText('wrong name or password').waitFor(WAIT);
    await login(page, 'alice', 'a-Pa55');
    await input(page, 'studio', 'A', 1).waitFor(WAIT);
    await page.getByText('alice (operate)').waitFor(WAIT);
    const cookies = await page.context().cookies();
    assert.equal(cookies.length, 1);
    assert.equal(cookies[0].name, 'kdt212_session');
    assert.ok(cookies[0].httpOnly);
    assert.equal(cookies[0].sameSite, 'Strict');
    assert.equal(await page.evaluate(() => document.cookie), '');  // out of the script's reach
    await page.getByRole('button', {name: 'Log out'}).click();
    await page.getByRole('button', {name: 'Log in'}).waitFor(WAIT);
    const status = await page.evaluate(async () => (await fetch('api/me')).status);
    assert.equal(status, 401);
  } finally {
    await s.stop();
  }
});

test('a phone: one unit in the width, every target 44 px', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url, {width: 360, height: 640});
    await input(page, 'studio', 'A', 1).waitFor(WAIT);
    const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
    assert.ok(widths[0] <= widths[1], `the page scrolls sideways: ${widths}`);
    for (const button of await page.locator('#units button:visible').all()) {
      const box = await button.boundingBox();
      assert.ok(box.width >= 44 && box.height >= 44, `a target of ${box.width}x${box.height}`);
    }
    const desk = await open(s.bridge.url);
    await input(desk, 'hall', 'A', 1).waitFor(WAIT);
    const [studio, hall] = await Promise.all(['studio', 'hall'].map((id) =>
      desk.locator(`.unit[aria-label="${id}"]`).boundingBox()));
    assert.equal(studio.y, hall.y, 'a desk shows the units side by side');
  } finally {
    await s.stop();
  }
});

test('behind nginx under /kdt212/', async () => {
  const s = await site({users: ['alice:operate:a-Pa55']});
  let proxy;
  try {
    proxy = await Proxy.start(s.bridge.port, s.folder);
    const page = await open(proxy.url);
    await login(page, 'alice', 'a-Pa55');
    await input(page, 'hall', 'B', 2).click(WAIT);
    await page.locator('[aria-label="hall RELAY B INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    await s.hall.panel('input B 1');  // through the proxy's stream too
    await page.locator('[aria-label="hall RELAY B INPUT 1"][aria-pressed="true"]').waitFor(WAIT);
    assert.deepEqual(page.problems, []);
  } finally {
    if (proxy) await proxy.stop();
    await s.stop();
  }
});

// A login through the proxy from a client address of the test's choosing.
function loginFrom(localAddress, url, user, password) {
  const body = JSON.stringify({user, password});
  return new Promise((resolve, reject) => {
    const asked = request(new URL('api/login', url), {
      method: 'POST', localAddress,
      headers: {'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body),
        'X-Forwarded-For': '203.0.113.66'},  // forged: changes nothing
    }, (answer) => { answer.resume(); answer.on('end', () => resolve(answer.statusCode)); });
    asked.on('error', reject);
    asked.end(body);
  });
}

test('behind nginx, one client\'s wrong logins hold up that client alone', async () => {
  const s = await site({users: ['alice:operate:a-Pa55', 'bob:operate:b-Pa55'], http: 'PROXY=127.0.0.1\n'});
  let proxy;
  try {
    proxy = await Proxy.start(s.bridge.port, s.folder);
    for (let i = 0; i < 5; ++i) {
      assert.equal(await loginFrom('127.0.0.5', proxy.url, 'bob', 'wrong'), 401);
    }
    assert.equal(await loginFrom('127.0.0.5', proxy.url, 'alice', 'a-Pa55'), 429);
    assert.equal(await loginFrom('127.0.0.6', proxy.url, 'alice', 'a-Pa55'), 200);
    await s.bridge.waitFor('page: 5 failed logins from 127.0.0.5 within a minute');
    await s.bridge.waitFor('page: failed login as "bob" from 127.0.0.5 (through 127.0.0.1:');
  } finally {
    if (proxy) await proxy.stop();
    await s.stop();
  }
});

// Whether a TLS 1.2 client offering only `cipher` gets a session.
function handshakes(port, cipher) {
  const result = spawnSync('openssl', ['s_client', '-connect', `127.0.0.1:${port}`, '-tls1_2',
    '-cipher', cipher], {input: '', timeout: 10000});
  return result.status === 0;
}

test('HTTPS: the page, and a cookie only for HTTPS', async () => {
  const folder = mkdtempSync(join(tmpdir(), 'kdt-tls-'));
  const key = join(folder, 'web.key'), cert = join(folder, 'web.crt');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
    '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
    '-keyout', key, '-out', cert], {stdio: 'ignore'});
  const s = await site({users: ['alice:operate:a-Pa55'], http: `CERT=${cert}\nKEY=${key}\n`});
  try {
    await s.bridge.waitFor(`page: https://127.0.0.1:${s.bridge.port}/`);
    const page = await open(`https://127.0.0.1:${s.bridge.port}/`);
    await login(page, 'alice', 'a-Pa55');
    await input(page, 'studio', 'C', 2).click(WAIT);
    await page.locator('[aria-label="studio RELAY C INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    const [cookie] = await page.context().cookies();
    assert.ok(cookie.secure, 'the session\'s cookie goes over HTTP too');
    assert.deepEqual(page.problems, []);
    const answer = await page.request.get(`https://127.0.0.1:${s.bridge.port}/api/rules`);
    assert.equal(answer.headers()['strict-transport-security'], 'max-age=31536000');
    assert.ok(handshakes(s.bridge.port, 'ECDHE-RSA-AES128-GCM-SHA256'));
    for (const weak of ['AES128-SHA', 'AES256-GCM-SHA384', 'ECDHE-RSA-AES128-SHA']) {
      assert.ok(!handshakes(s.bridge.port, weak), `${weak} is taken`);
    }
  } finally {
    await s.stop();
    removeFolder(folder);
  }
});

const EVENING = '[SALVO evening]\nLABEL=Evening programme\nstudio.A=2\nstudio.B=1\nhall.C=2\n';

function relayBox(page, id, letter) {
  return page.locator(`.unit[aria-label="${id}"] .relay`).nth('ABC'.indexOf(letter));
}

test('a salvo: armed, it shows what it would change; Take applies it on both units', async () => {
  const s = await site({users: ['alice:operate:a-Pa55'], http: EVENING});
  try {
    const page = await open(s.bridge.url);
    await login(page, 'alice', 'a-Pa55');
    const salvo = page.getByRole('button', {name: 'Evening programme'});
    await salvo.filter({hasText: '2 to change'}).waitFor(WAIT);
    await salvo.click();
    assert.equal(await salvo.getAttribute('aria-pressed'), 'true');
    await relayBox(page, 'studio', 'A').getByText('salvo: → INPUT 2').waitFor(WAIT);
    assert.match(await relayBox(page, 'studio', 'A').getAttribute('class'), /\btarget\b/);
    assert.equal(await relayBox(page, 'studio', 'B').locator('.salvo-note').textContent(),
      'salvo: stays on INPUT 1');
    assert.doesNotMatch(await relayBox(page, 'studio', 'B').getAttribute('class'), /\btarget\b/);
    assert.match(await relayBox(page, 'hall', 'C').getAttribute('class'), /\btarget\b/);
    assert.equal(await input(page, 'studio', 'A', 1).getAttribute('aria-pressed'), 'true');  // not yet

    await page.getByRole('button', {name: 'Take'}).click();
    await page.locator('#take-answer').getByText('Evening programme: done').waitFor(WAIT);
    await page.locator('[aria-label="studio RELAY A INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    await page.locator('[aria-label="hall RELAY C INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    assert.equal(await relayBox(page, 'studio', 'A').locator('.salvo-note').textContent(),
      'salvo: switched');
    assert.equal(await relayBox(page, 'studio', 'B').locator('.salvo-note').textContent(),
      'salvo: already');
    assert.equal(await page.locator('.relay.target').count(), 0);
    await salvo.filter({hasText: 'in place'}).waitFor(WAIT);
    await s.bridge.waitFor('hall: RELAY C: input INPUT 1 -> INPUT 2, by web alice, salvo evening');
    await page.locator('#log li').filter({hasText: 'salvo evening (Evening programme): take done, by web alice'}).waitFor(WAIT);

    // Escape, and Cancel, disarm without a take.
    await s.hall.panel('input C 1');
    await salvo.filter({hasText: '1 to change'}).waitFor(WAIT);
    await salvo.click();
    await page.locator('.relay.target').first().waitFor(WAIT);
    await page.keyboard.press('Escape');
    await page.getByRole('region', {name: 'Armed salvo'}).waitFor({state: 'hidden', ...WAIT});
    assert.equal(await page.locator('.relay.target').count(), 0);
    await salvo.click();
    await page.getByRole('button', {name: 'Cancel'}).click();
    assert.equal(await salvo.getAttribute('aria-pressed'), 'false');
    await page.waitForTimeout(300);
    assert.equal(await input(page, 'hall', 'C', 1).getAttribute('aria-pressed'), 'true');
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

// The page's clock stands still from here (a moment ahead, as it runs on
// meanwhile) but for what the test runs of it: on a busy machine, the real
// time a click takes would count.
async function standStill(page) {
  await page.clock.pauseAt(await page.evaluate(() => Date.now() + 1000));
}

test('a salvo left armed 30 s without a Take disarms itself', async () => {
  const s = await site({http: EVENING});
  try {
    const page = await open(s.bridge.url, undefined, {clock: true});
    const salvo = page.getByRole('button', {name: 'Evening programme'});
    await salvo.filter({hasText: '2 to change'}).waitFor(WAIT);
    await standStill(page);
    await salvo.click();
    const armed = page.getByRole('region', {name: 'Armed salvo'});
    await armed.waitFor(WAIT);
    await page.clock.runFor(29000);
    assert.ok(await armed.isVisible(), 'disarmed before its 30 s');
    await page.clock.runFor(2000);
    assert.ok(!(await armed.isVisible()), 'still armed after 31 s');
    assert.equal(await page.locator('.relay.target').count(), 0);
    assert.match(await page.locator('#announce').textContent(), /disarmed: 30 s without a Take/);
    assert.equal(await input(page, 'studio', 'A', 1).getAttribute('aria-pressed'), 'true');
  } finally {
    await s.stop();
  }
});

test('an armed salvo stays in view, lists its relays, and marks those that would refuse', async () => {
  const s = await site({http: EVENING});
  try {
    const page = await open(s.bridge.url, {width: 360, height: 640});
    await page.getByRole('button', {name: 'Evening programme'}).click(WAIT);
    assert.equal(await page.locator('#armed-text').textContent(),
      'Evening programme: studio RELAY A → INPUT 2, studio RELAY B stays on INPUT 1, ' +
      'hall RELAY C → INPUT 2. 2 relays to change. Take applies it.');
    await relayBox(page, 'hall', 'C').scrollIntoViewIfNeeded();  // three screens down
    const take = page.getByRole('button', {name: 'Take'});
    for (const control of [take, page.getByRole('button', {name: 'Cancel'})]) {
      const box = await control.boundingBox();
      assert.ok(box && box.y >= 0 && box.y + box.height <= 640, 'in view');
    }
    await s.hall.panel('lock C on');
    await relayBox(page, 'hall', 'C').getByText('salvo: would refuse: locked at the unit').waitFor(WAIT);
    assert.match(await relayBox(page, 'hall', 'C').getAttribute('class'), /\brefuses\b/);
    assert.equal(await take.textContent(), 'Take (1 would refuse)');
    assert.match(await page.locator('#armed-text').textContent(), /2 relays to change, 1 would refuse\./);
  } finally {
    await s.stop();
  }
});

test('nothing moves when a note, a lock or a long name appears', async () => {
  const s = await site({http: EVENING});
  try {
    const page = await open(s.bridge.url, {width: 360, height: 640});
    const below = input(page, 'hall', 'A', 1);  // the unit below studio, on a phone
    await below.waitFor(WAIT);
    const before = await below.boundingBox();
    await s.studio.panel('lock B on');
    await relayBox(page, 'studio', 'B').getByText('locked at the unit').waitFor(WAIT);
    await s.studio.panel('name A ' + 'Studio feed long name xx');  // 24 characters
    await page.getByRole('button', {name: 'studio RELAY A name Studio feed long name xx'}).waitFor(WAIT);
    await page.getByRole('button', {name: 'Evening programme'}).click();
    await relayBox(page, 'studio', 'A').getByText('salvo: → INPUT 2').waitFor(WAIT);
    assert.deepEqual(await below.boundingBox(), before);
  } finally {
    await s.stop();
  }
});

test('a control room\'s dark theme, when the system asks for it', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url, {width: 1280, height: 800}, {colorScheme: 'dark'});
    const a1 = input(page, 'studio', 'A', 1);
    await a1.waitFor(WAIT);
    assert.equal(await page.evaluate(() => getComputedStyle(document.documentElement).backgroundColor),
      'rgb(18, 18, 18)');
    assert.equal(await a1.evaluate((node) => getComputedStyle(node).color), 'rgb(17, 17, 17)');  // on its light face
    assert.equal(await input(page, 'studio', 'A', 2).evaluate((node) => getComputedStyle(node).color),
      'rgb(236, 236, 236)');
  } finally {
    await s.stop();
  }
});

test('a take that something stands in the way of says so beside the relay', async () => {
  const s = await site({http: EVENING});
  try {
    const page = await open(s.bridge.url);
    await s.hall.panel('lock C on');
    await relayBox(page, 'hall', 'C').getByText('locked at the unit').waitFor(WAIT);
    await page.getByRole('button', {name: 'Evening programme'}).click(WAIT);
    await page.getByRole('button', {name: 'Take'}).click();
    await page.locator('#take-answer').getByText('Evening programme: refused').waitFor(WAIT);
    await relayBox(page, 'hall', 'C')
      .getByText('salvo: stands in the way: RELAY C is locked at the unit').waitFor(WAIT);
    assert.equal(await relayBox(page, 'studio', 'A').locator('.salvo-note').textContent(),
      'salvo: not sent');
    assert.equal(await input(page, 'studio', 'A', 1).getAttribute('aria-pressed'), 'true');
  } finally {
    await s.stop();
  }
});

test('protects: the owner\'s alone, shown to everyone, released by an admin', async () => {
  const s = await site({users: ['alice:operate:a-Pa55', 'bob:operate:b-Pa55',
    'carol:admin:c-Pa55']});
  try {
    const [alice, bob, carol] = await Promise.all([0, 1, 2].map(() => open(s.bridge.url)));
    await login(alice, 'alice', 'a-Pa55');
    await login(bob, 'bob', 'b-Pa55');
    await login(carol, 'carol', 'c-Pa55');
    const protect = alice.getByRole('button', {name: 'studio RELAY A protect'});
    await protect.click(WAIT);
    await alice.locator('[aria-label="studio RELAY A protect"][aria-pressed="true"]').waitFor(WAIT);
    await relayBox(alice, 'studio', 'A').getByText('protected by you').waitFor(WAIT);
    assert.ok(!(await input(alice, 'studio', 'A', 2).isDisabled()));

    await relayBox(bob, 'studio', 'A').getByText('protected by alice').waitFor(WAIT);
    assert.ok(await input(bob, 'studio', 'A', 2).isDisabled());
    assert.ok(await bob.getByRole('button', {name: 'studio RELAY A name'}).isDisabled());
    assert.ok(await bob.getByRole('button', {name: 'studio RELAY A protect'}).isDisabled());
    assert.ok(!(await input(bob, 'studio', 'B', 2).isDisabled()));

    await input(alice, 'studio', 'A', 2).click();
    await bob.locator('[aria-label="studio RELAY A INPUT 2"][aria-pressed="true"]').waitFor(WAIT);

    const release = carol.getByRole('button', {name: 'studio RELAY A release'});
    await release.waitFor(WAIT);
    assert.ok(await input(carol, 'studio', 'A', 1).isDisabled());
    await release.click();
    await relayBox(bob, 'studio', 'A').getByText('protected by alice').waitFor({state: 'hidden', ...WAIT});
    await bob.waitForFunction(() =>
      !document.querySelector('[aria-label="studio RELAY A INPUT 1"]').disabled, null, WAIT);
    await s.bridge.waitFor('studio: RELAY A: forced release web alice -> none, by web carol');
    await alice.locator('#log li').filter({hasText: 'forced release web alice → none, by web carol'})
      .waitFor(WAIT);
    for (const page of [alice, bob, carol]) assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

// The element whose text describes the control, as a screen reader reads it.
async function descriptionOf(control) {
  const id = await control.getAttribute('aria-describedby');
  return id ? control.page().locator(`[id="${id}"]`).textContent() : '';
}

test('a switch still with a slow unit shows pending until its end, and no failure', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url);
    await input(page, 'studio', 'A', 1).and(page.locator('[aria-pressed="true"]')).waitFor(WAIT);
    // 2 s for every switch: the second of two waits for the first, and is
    // still with the unit after the bridge's 3 s.
    await s.studio.panel('delay switch 2000');
    await input(page, 'studio', 'A', 2).click();  // answered once shown: the click does not wait
    await input(page, 'studio', 'B', 2).click();
    const busy = page.locator('.relay[aria-busy="true"]');
    await busy.first().waitFor(WAIT);
    assert.match(await busy.locator('.problem').textContent(), /sent, not yet shown by the unit/);
    await page.waitForFunction(() => !document.querySelector('.relay[aria-busy="true"]'), null,
      {timeout: 15000});
    for (const letter of ['A', 'B']) {
      await input(page, 'studio', letter, 2).and(page.locator('[aria-pressed="true"]')).waitFor(WAIT);
      assert.equal(await relayBox(page, 'studio', letter).locator('.problem').textContent(), '', letter);
    }
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('a reload: a unit taken out leaves open pages, and a new role applies there at once', async () => {
  const s = await site({users: ['alice:view:a-Pa55']});
  try {
    const page = await open(s.bridge.url);
    await login(page, 'alice', 'a-Pa55');
    await input(page, 'hall', 'A', 2).waitFor(WAIT);
    assert.ok(await input(page, 'studio', 'A', 2).isDisabled());
    assert.equal(await descriptionOf(input(page, 'studio', 'A', 2)), 'You may view, and change nothing.');
    const users = join(s.folder, 'users');  // the same password, another role
    writeFileSync(users, readFileSync(users, 'utf8').replace('alice:view:', 'alice:operate:'));
    writeFileSync(join(s.folder, 'bridge.ini'),
      s.bridge.config.replace(/\[UNIT hall\][^[]*/, ''));
    s.bridge.process.kill('SIGHUP');
    await page.locator('.unit[aria-label="hall"]').waitFor({state: 'detached', ...WAIT});
    await page.locator('[aria-label="studio RELAY A INPUT 2"]:enabled').waitFor(WAIT);
    await page.locator('#user').getByText('alice (operate)').waitFor(WAIT);
    await input(page, 'studio', 'A', 2).click();
    await page.locator('[aria-label="studio RELAY A INPUT 2"][aria-pressed="true"]').waitFor(WAIT);
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('the sources show their labels beside INPUT 1 and INPUT 2, and a reload relabels them', async () => {
  const s = await site({unitKeys: {studio: 'INPUT1=Camera 1\nINPUT2=\u0421\u0442\u0443\u0434\u0438\u044f B\n'}});
  try {
    const page = await open(s.bridge.url, {width: 360, height: 740});
    const camera = input(page, 'studio', 'A', 1);
    await camera.getByText('Camera 1').waitFor(WAIT);
    assert.equal(await camera.textContent(), 'INPUT 1Camera 1');
    assert.equal(await input(page, 'studio', 'C', 2).textContent(), 'INPUT 2\u0421\u0442\u0443\u0434\u0438\u044f B');
    // Without labels, nothing is said twice.
    assert.equal(await input(page, 'hall', 'A', 1).textContent(), 'INPUT 1');
    writeFileSync(join(s.folder, 'bridge.ini'), s.bridge.config.replace('INPUT1=Camera 1', 'INPUT1=Camera 3'));
    s.bridge.process.kill('SIGHUP');
    await input(page, 'studio', 'B', 1).getByText('Camera 3').waitFor(WAIT);
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('the record: the viewer\'s own time, the date where it is not today, filters and older', async () => {
  const folder = mkdtempSync(join(tmpdir(), 'kdt-state-'));
  // An entry of ten days ago, kept from before the bridge started.
  const old = new Date(Date.now() - 10 * 86400e3);
  old.setUTCHours(10, 0, 0, 0);
  // And 150 before it, more than a page of the record.
  const older = Array.from({length: 150}, (_, i) => `${i + 1}\t${new Date(old - 60e3 * (150 - i)).toISOString()}` +
    '\thall\tB\tinput\tINPUT 1\tINPUT 2\tweb dave\t\t\t\t\t\t\n');
  writeFileSync(join(folder, 'record.log'),
    older.join('') + `151\t${old.toISOString()}\thall\tC\tinput\tINPUT 1\tINPUT 2\tweb carol\t\t\t\t\t\t\n`);
  const s = await site({http: `[BRIDGE]\nSTATE=${folder}/protects.json\n`});
  try {
    const page = await open(s.bridge.url, {width: 1280, height: 800}, {timezoneId: 'Asia/Tokyo'});
    const kept = page.locator('#log li', {hasText: 'web carol'});
    await kept.waitFor(WAIT);
    const day = new Intl.DateTimeFormat('en-GB', {timeZone: 'Asia/Tokyo', year: 'numeric',
      month: 'short', day: 'numeric'}).format(old);
    assert.equal(await kept.locator('time').textContent(), `${day}, 19:00:00`);
    await s.studio.panel('input A 2');
    const live = page.locator('#log li', {hasText: 'studio RELAY A (Monitor): input'}).first();
    await live.waitFor(WAIT);
    assert.match(await live.locator('time').textContent(), /^\d\d:\d\d:\d\d$/);  // today: the time alone
    const dave = page.locator('#log li', {hasText: 'web dave'});
    const shownBefore = await dave.count();
    assert.ok(shownBefore < 150, `${shownBefore} of dave's at first`);
    await page.getByRole('button', {name: 'Older'}).click();
    await dave.nth(149).waitFor(WAIT);
    assert.ok(await page.getByRole('button', {name: 'Older'}).isHidden());

    await page.locator('#log-unit').selectOption('hall');
    await page.locator('#log li', {hasText: 'studio'}).first().waitFor({state: 'detached', ...WAIT});
    assert.equal(await page.locator('#log li').count(), await page.locator('#log li', {hasText: 'hall'}).count());
    assert.match(await page.getByRole('link', {name: 'Save as CSV'}).getAttribute('href'), /^api\/log\.csv\?unit=hall$/);
    await s.studio.panel('input B 2');  // not hall's: it does not join
    await s.hall.panel('input A 2');
    await page.locator('#log li', {hasText: 'hall RELAY A (Monitor): input'}).waitFor(WAIT);
    assert.equal(await page.locator('#log li', {hasText: 'studio'}).count(), 0);
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
    removeFolder(folder);
  }
});

test('a unit says where it is and since when; down, it shows what it last held, greyed', async () => {
  const s = await site();
  try {
    const page = await open(s.bridge.url);
    const connection = page.locator('.unit[aria-label="studio"] .connection');
    await connection.getByText(/^connected since \d\d:\d\d:\d\d · 127\.0\.0\.1:\d+ · model 212$/).waitFor(WAIT);
    await s.studio.panel('input A 2');
    await s.studio.panel('name C Studio out');
    await page.getByRole('button', {name: 'studio RELAY C name Studio out'}).waitFor(WAIT);
    await s.studio.panel('fault close');
    await connection.getByText(/^not connected: .* · as of \d\d:\d\d:\d\d$/).waitFor(WAIT);
    const a2 = input(page, 'studio', 'A', 2);
    assert.equal(await a2.getAttribute('aria-pressed'), 'true');
    assert.ok(await a2.isDisabled());
    const name = page.getByRole('button', {name: 'studio RELAY C name Studio out'});
    assert.ok(await name.isDisabled());
    assert.ok(Number(await name.evaluate((node) => getComputedStyle(node).opacity)) < 1);
    await s.studio.panel('fault none');
    await connection.getByText(/^connected since/).waitFor(WAIT);
    assert.ok(await a2.isEnabled());
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('what a page says of a relay is its own and current', async () => {
  const s = await site({http: EVENING});
  try {
    const page = await open(s.bridge.url);
    // The name button says the name; a disabled control says why.
    await page.getByRole('button', {name: 'studio RELAY C name Main feed', exact: true}).waitFor(WAIT);
    await s.hall.panel('lock B on');
    await relayBox(page, 'hall', 'B').getByText('locked at the unit').waitFor(WAIT);
    assert.equal(await descriptionOf(input(page, 'hall', 'B', 2)), 'locked at the unit');
    assert.equal(await input(page, 'hall', 'A', 2).getAttribute('aria-describedby'), null);

    // A take's note goes when its relay changes; the focus stays on the
    // salvo's button after a Take and after Escape.
    const salvo = page.getByRole('button', {name: 'Evening programme'});
    await salvo.filter({hasText: '2 to change'}).waitFor(WAIT);
    await salvo.click();
    await page.getByRole('button', {name: 'Take'}).click();
    await page.locator('#take-answer').getByText('Evening programme: done').waitFor(WAIT);
    assert.equal(await salvo.evaluate((button) => button === document.activeElement), true);
    assert.equal(await relayBox(page, 'hall', 'C').locator('.salvo-note').textContent(),
      'salvo: switched');
    await s.hall.panel('input C 1');
    await relayBox(page, 'hall', 'C').locator('.salvo-note').getByText('salvo: switched')
      .waitFor({state: 'detached', ...WAIT});
    assert.equal(await relayBox(page, 'studio', 'B').locator('.salvo-note').textContent(),
      'salvo: already');
    await salvo.filter({hasText: '1 to change'}).waitFor(WAIT);
    await salvo.click();
    await page.keyboard.press('Escape');
    await page.getByRole('region', {name: 'Armed salvo'}).waitFor({state: 'hidden', ...WAIT});
    assert.equal(await salvo.evaluate((button) => button === document.activeElement), true);
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});

test('a take\'s notes go after 30 s', async () => {
  const s = await site({http: EVENING});
  try {
    const page = await open(s.bridge.url, undefined, {clock: true});
    const salvo = page.getByRole('button', {name: 'Evening programme'});
    await salvo.filter({hasText: '2 to change'}).waitFor(WAIT);
    await standStill(page);
    await salvo.click();
    await page.getByRole('button', {name: 'Take'}).click();
    const note = relayBox(page, 'studio', 'B').locator('.salvo-note');
    await note.getByText('salvo: already').waitFor(WAIT);
    await page.clock.runFor(29000);
    assert.equal(await note.textContent(), 'salvo: already');
    await page.clock.runFor(2000);
    assert.equal(await note.textContent(), '');
  } finally {
    await s.stop();
  }
});

test('a salvo armed after another has its own 30 s', async () => {
  const s = await site({http: EVENING + '[SALVO night]\nLABEL=Night\nstudio.C=2\n'});
  try {
    const page = await open(s.bridge.url, undefined, {clock: true});
    const evening = page.getByRole('button', {name: 'Evening programme'});
    const night = page.getByRole('button', {name: /^Night/});
    await night.waitFor(WAIT);
    await standStill(page);
    await evening.click();
    await page.clock.runFor(20000);
    await night.click();
    assert.equal(await night.getAttribute('aria-pressed'), 'true');
    await page.clock.runFor(15000);  // the first one's 30 s are over
    assert.equal(await night.getAttribute('aria-pressed'), 'true', 'disarmed by the first one\'s time');
    await page.clock.runFor(16000);
    assert.equal(await night.getAttribute('aria-pressed'), 'false');
  } finally {
    await s.stop();
  }
});

test('a take with a unit slow to switch waits for it, and says done', async () => {
  const s = await site({http: '[SALVO both]\nLABEL=Both\nstudio.A=2\nstudio.C=2\n'});
  try {
    const page = await open(s.bridge.url);
    const both = page.getByRole('button', {name: 'Both'});
    await both.filter({hasText: '2 to change'}).waitFor(WAIT);
    // 2 s a switch: the second is still with the unit after 3 s.
    await s.studio.panel('delay switch 2000');
    await both.click();
    await page.getByRole('button', {name: 'Take'}).click();
    await page.locator('#take-answer').getByText('Both: done').waitFor({timeout: 15000});
    for (const letter of ['A', 'C']) {
      assert.equal(await relayBox(page, 'studio', letter).locator('.salvo-note').textContent(),
        'salvo: switched', letter);
    }
    assert.deepEqual(page.problems, []);
  } finally {
    await s.stop();
  }
});
