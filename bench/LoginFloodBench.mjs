// A login flood against the bridge's page: 250 logins with wrong passwords,
// from as many addresses of 127.0.0.0/8, each sent and dropped at once.
// What the bridge holds meanwhile (threads, resident memory, both read from
// /proc while the flood lasts) and how soon it answers the page and a user
// who knows the password afterwards. One line per figure with its goal;
// exits 0 only when every goal is met. Usage: node bench/LoginFloodBench.mjs
import {mkdtempSync, readFileSync} from 'node:fs';
import {request} from 'node:http';
import {connect} from 'node:net';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {Bridge, Unit, removeFolder, usersFile} from '../tests/web/harness.mjs';
import {exitStatus, report} from './Report.mjs';

const LOGINS = 250;

function figures(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(status.match(new RegExp(`^${name}:\\s+(\\d+)`, 'm'))[1]);
  return {threads: field('Threads'), rssMiB: field('VmRSS') / 1024};
}

// A login from `localAddress`; its status.
function login(url, localAddress, password) {
  const body = JSON.stringify({user: 'alice', password});
  return new Promise((resolve, reject) => {
    const asked = request(new URL('api/login', url), {method: 'POST', localAddress,
      headers: {'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body)}},
    (answer) => { answer.resume(); answer.on('end', () => resolve(answer.statusCode)); });
    asked.on('error', reject);
    asked.end(body);
  });
}

// A login written whole and dropped without waiting for its answer.
function dropped(port, localAddress, password) {
  const body = JSON.stringify({user: 'alice', password});
  return new Promise((resolve) => {
    const socket = connect({host: '127.0.0.1', port, localAddress}, () => {
      socket.end(`POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n` +
        `Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`, () => socket.destroy());
    });
    socket.on('close', resolve);
    socket.on('error', resolve);
  });
}

const folder = mkdtempSync(join(tmpdir(), 'kdt-flood-'));
const unit = await Unit.start();
const users = await usersFile(folder, ['alice:operate:right-Pa55']);
const bridge = await Bridge.start({studio: unit},
  {folder, http: `USERS=${users}\nALLOW=127.0.0.0/8\nMAXCLIENTS=1024\n`});
await bridge.waitFor('studio: connected to');
try {
  const before = figures(bridge.process.pid);
  const most = {...before};
  const watch = setInterval(() => {
    const now = figures(bridge.process.pid);
    most.threads = Math.max(most.threads, now.threads);
    most.rssMiB = Math.max(most.rssMiB, now.rssMiB);
  }, 5);
  const floods = [];
  for (let i = 0; i < LOGINS; ++i) {
    floods.push(dropped(bridge.port, `127.0.1.${i + 1}`, `guess${i}`));
  }
  await Promise.all(floods);
  let start = performance.now();
  const page = await fetch(new URL('api/rules', bridge.url));
  const pageMs = performance.now() - start;
  start = performance.now();
  let status = 0;
  do {  // told to try again while the flood's last checks run
    if (status) await new Promise((resolve) => setTimeout(resolve, 1000));
    status = await login(bridge.url, '127.0.2.1', 'right-Pa55');
  } while (status === 503);
  const userMs = performance.now() - start;
  await new Promise((resolve) => setTimeout(resolve, 1000));
  clearInterval(watch);
  report(`${LOGINS} logins sent and dropped: the bridge's threads at most`,
    `${most.threads} (${before.threads} before)`, `<= ${before.threads + 2}`,
    most.threads <= before.threads + 2);
  report('  its resident memory at most', `${most.rssMiB.toFixed(0)} MiB (${before.rssMiB.toFixed(0)} before)`,
    '<= 128 MiB', most.rssMiB <= 128);
  report('  the page right after', `${pageMs.toFixed(1)} ms (${page.status})`, '<= 100 ms',
    page.status === 200 && pageMs <= 100);
  report('  a user who knows the password, logged in', `${userMs.toFixed(0)} ms (${status})`,
    '<= 3000 ms', status === 200 && userMs <= 3000);
} finally {
  await bridge.stop();
  await unit.stop();
  removeFolder(folder);
}
process.exit(exitStatus());
