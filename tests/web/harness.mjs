// What the page's browser tests, its screenshots and its benchmark share:
// the real kdt212-bridge and simulated units as processes of their own,
// nginx as a reverse proxy, and Debian's Chromium driven by playwright-core.
// Everything on loopback, on ports the kernel picks, ended by whoever
// started it (stop()).
import {spawn} from 'node:child_process';
import {once} from 'node:events';
import {mkdtempSync, writeFileSync, rmSync} from 'node:fs';
import {createServer} from 'node:net';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {chromium} from 'playwright-core';

const BUILD = process.env.KDT_BUILD || new URL('../../build/plain', import.meta.url).pathname;
export const BRIDGE = process.env.KDT_BRIDGE_PATH || join(BUILD, 'bridge/kdt212-bridge');
export const SIM = process.env.KDT_SIM_PATH || join(BUILD, 'sim/kdt212-sim');
export const CHROMIUM = process.env.KDT_CHROMIUM || '/usr/bin/chromium';
export const NGINX = process.env.KDT_NGINX || '/usr/sbin/nginx';

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.listen(0, '127.0.0.1', () => {
      const {port} = server.address();
      server.close(() => resolve(port));
    });
    server.on('error', reject);
  });
}

// A process whose output is kept, whose lines can be waited for, and which
// ends with the test (SIGTERM, then SIGKILL).
class Child {
  constructor(program, args, options = {}) {
    this.output = '';
    this.process = spawn(program, args, {stdio: ['pipe', 'pipe', 'pipe'], ...options});
    for (const stream of [this.process.stdout, this.process.stderr]) {
      stream.setEncoding('utf8');
      stream.on('data', (text) => { this.output += text; });
    }
    this.exited = once(this.process, 'exit');
  }

  async waitFor(text, timeoutMs = 15000, from = 0) {
    const until = Date.now() + timeoutMs;
    while (!this.output.includes(text, from)) {
      if (Date.now() > until) throw new Error(`no "${text}" within ${timeoutMs} ms:\n${this.output}`);
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
  }

  mark() { return this.output.length; }

  async stop(signal = 'SIGTERM') {
    if (this.process.exitCode !== null || this.process.signalCode !== null) return;
    this.process.kill(signal);
    const timer = setTimeout(() => this.process.kill('SIGKILL'), 5000);
    await this.exited;
    clearTimeout(timer);
  }
}

// A simulated unit on 127.0.0.1 and a port of its own; its front panel
// takes lines ("input A 2", "lock B on").
export class Unit extends Child {
  constructor(port, extra = []) {
    super(SIM, ['--address', '127.0.0.1', '--port', String(port), ...extra]);
    this.port = port;
  }
  static async start(extra = []) {
    const unit = new Unit(await freePort(), extra);
    await unit.waitFor('listening');
    return unit;
  }
  async panel(line) {
    const mark = this.mark();
    this.process.stdin.write(line + '\n');
    await this.waitFor('\n', 5000, mark);
  }
}

// The bridge with a configuration of its own in a temporary folder.
export class Bridge extends Child {
  constructor(config, folder) {
    const path = join(folder, 'bridge.ini');
    writeFileSync(path, config);
    super(BRIDGE, ['--config', path, '--verbose']);
    this.config = config;
    this.folder = folder;
  }
  // `units`: id -> Unit; `http`: more lines of [HTTP]; `unitKeys`: id ->
  // more lines of that [UNIT].
  static async start(units, {port, http = '', folder, unitKeys = {}} = {}) {
    folder = folder || mkdtempSync(join(tmpdir(), 'kdt-page-'));
    port = port || await freePort();
    let config = '';
    for (const [id, unit] of Object.entries(units)) {
      config += `[UNIT ${id}]\nADDR=127.0.0.1\nPORT=${unit.port}\n${unitKeys[id] || ''}`;
    }
    config += `[HTTP]\nLISTEN=127.0.0.1:${port}\n${http}`;
    const bridge = new Bridge(config, folder);
    bridge.port = port;
    bridge.url = `http://127.0.0.1:${port}/`;
    await bridge.waitFor(`page: http`);
    for (const id of Object.keys(units)) await bridge.waitFor(`${id}: `);
    return bridge;
  }
  // Started again, with the same file.
  static async restart(old) {
    const bridge = new Bridge(old.config, old.folder);
    bridge.port = old.port;
    bridge.url = old.url;
    await bridge.waitFor(`page: http://127.0.0.1:${old.port}/`);
    return bridge;
  }
}

// A users file of NAME:ROLE:PASSWORD lines, hashed by the bridge's --hash.
export async function usersFile(folder, users) {
  let text = '';
  for (const line of users) {
    const [name, role, password] = line.split(':');
    const hasher = new Child(BRIDGE, ['--hash']);
    hasher.process.stdin.end(password + '\n');
    await hasher.exited;
    text += `${name}:${role}:${hasher.output.trim()}\n`;
  }
  const path = join(folder, 'users');
  writeFileSync(path, text, {mode: 0o640});
  return path;
}

// nginx serving the bridge's page under /kdt212/, as the README shows it.
export class Proxy extends Child {
  static async start(bridgePort, folder) {
    const port = await freePort();
    const config = join(folder, 'nginx.conf');
    writeFileSync(config, `
pid ${folder}/nginx.pid;
error_log ${folder}/nginx-error.log;
daemon off;
worker_processes 1;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path ${folder}/nginx-body;
  proxy_temp_path ${folder}/nginx-proxy;
  fastcgi_temp_path ${folder}/nginx-fastcgi;
  uwsgi_temp_path ${folder}/nginx-uwsgi;
  scgi_temp_path ${folder}/nginx-scgi;
  server {
    listen 127.0.0.1:${port};
    location = /kdt212 { return 301 /kdt212/; }
    location /kdt212/ {
      proxy_pass http://127.0.0.1:${bridgePort}/;
      proxy_http_version 1.1;
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-Proto $scheme;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_buffering off;
      proxy_read_timeout 1h;
    }
  }
}
`);
    const proxy = new Proxy(NGINX, ['-c', config, '-p', folder]);
    proxy.port = port;
    proxy.url = `http://127.0.0.1:${port}/kdt212/`;
    const until = Date.now() + 10000;
    for (;;) {
      try {
        const response = await fetch(proxy.url);
        if (response.ok) break;
      } catch (e) { /* not yet */ }
      if (Date.now() > until) throw new Error('nginx did not start:\n' + proxy.output);
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    return proxy;
  }
}

// Debian's Chromium, headless, with nothing of its own that calls out.
export function launchBrowser() {
  return chromium.launch({
    executablePath: CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

export function removeFolder(folder) {
  rmSync(folder, {recursive: true, force: true});
}
