// The bridge's page, measured: a change at the unit to the page's text
// showing it in the browser (measured in the page), 200 event streams open
// (the bridge's memory for each, and a change reaching all of them), and
// everything the page loads. One line per figure with its goal; exits 0
// only when every goal is met. Usage: node bench/PageBench.mjs
import {readFileSync} from 'node:fs';
import {connect} from 'node:net';
import {Bridge, Unit, launchBrowser} from '../tests/web/harness.mjs';
import {exitStatus, percentile, report} from './Report.mjs';

const CHANGES = 200, STREAMS = 200;

function residentKib(pid) {
  const line = readFileSync(`/proc/${pid}/status`, 'utf8').split('\n').find((l) => l.startsWith('VmRSS:'));
  return Number(line.split(/\s+/)[1]);
}

// An event stream on a socket of its own: the times its unit events came.
function openStream(port) {
  return new Promise((resolve, reject) => {
    const socket = connect(port, '127.0.0.1', () => {
      socket.write('GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n');
    });
    const stream = {socket, events: [], buffer: ''};
    socket.setEncoding('utf8');
    socket.on('data', (text) => {
      stream.buffer += text;
      let end;
      while ((end = stream.buffer.indexOf('\n\n')) >= 0) {
        const event = stream.buffer.slice(0, end);
        stream.buffer = stream.buffer.slice(end + 2);
        if (event.includes('event: snapshot')) resolve(stream);
        if (event.includes('event: unit')) stream.events.push(Date.now());
      }
    });
    socket.on('error', reject);
  });
}

const studio = await Unit.start();
const bridge = await Bridge.start({studio}, {http: 'MAXCLIENTS=256\n'});
await bridge.waitFor('studio: connected to');
const browser = await launchBrowser();
try {
  // Everything the page loads, and from where.
  const page = await browser.newPage();
  let bytes = 0;
  const elsewhere = [];
  page.on('requestfinished', async (request) => {
    if (!request.url().startsWith(bridge.url)) elsewhere.push(request.url());
    const sizes = await request.sizes();
    bytes += sizes.responseBodySize + sizes.responseHeadersSize;
  });
  await page.goto(bridge.url);
  const button = (input) => `[aria-label="studio RELAY C INPUT ${input}"]`;
  await page.locator(button(1) + '[aria-pressed="true"]').waitFor();
  await page.waitForTimeout(500);
  report('everything the page loads (KiB)', `${(bytes / 1024).toFixed(1)}, ${elsewhere.length} from elsewhere`,
    '<= 64', bytes <= 64 * 1024 && elsewhere.length === 0);

  // A change at the unit to the page's text showing it, timed in the page.
  await page.evaluate(() => {
    window.seen = [];
    new MutationObserver((changes) => {
      for (const change of changes) {
        if (change.target.getAttribute('aria-pressed') === 'true') {
          window.seen.push(performance.timeOrigin + performance.now());
        }
      }
    }).observe(document.getElementById('units'),
      {subtree: true, attributes: true, attributeFilter: ['aria-pressed']});
  });
  const latencies = [];
  for (let i = 0; i < CHANGES; ++i) {
    const input = i % 2 === 0 ? 2 : 1;
    const before = await page.evaluate(() => window.seen.length);
    const changed = Date.now();
    await studio.panel(`input C ${input}`);
    await page.locator(button(input) + '[aria-pressed="true"]').waitFor();
    const shown = await page.evaluate((n) => window.seen[n], before);
    latencies.push(shown - changed);
    await new Promise((resolve) => setTimeout(resolve, 3 + (i % 7)));  // off the poll's beat
  }
  report('change at the unit -> the page shows it (ms)',
    `median ${percentile(latencies, 0.5).toFixed(1)}, p99 ${percentile(latencies, 0.99).toFixed(1)}`,
    'p99 <= 50', percentile(latencies, 0.99) <= 50);
  await page.close();

  // 200 streams: the bridge's memory for each, and one change to all.
  const before = residentKib(bridge.process.pid);
  const streams = [];
  for (let i = 0; i < STREAMS; ++i) streams.push(await openStream(bridge.port));
  await new Promise((resolve) => setTimeout(resolve, 500));
  const perStream = (residentKib(bridge.process.pid) - before) / STREAMS;
  report(`memory of the bridge, each of ${STREAMS} event streams (KiB)`, perStream.toFixed(1), '<= 32',
    perStream <= 32);
  const fanOut = [];
  for (let round = 0; round < 5; ++round) {
    for (const stream of streams) stream.events = [];
    const changed = Date.now();
    await studio.panel(`input B ${round % 2 === 0 ? 2 : 1}`);
    const until = Date.now() + 5000;
    while (streams.some((stream) => stream.events.length === 0) && Date.now() < until) {
      await new Promise((resolve) => setTimeout(resolve, 2));
    }
    for (const stream of streams) fanOut.push((stream.events[0] ?? Infinity) - changed);
  }
  report(`a change -> all ${STREAMS} streams (ms)`,
    `median ${percentile(fanOut, 0.5).toFixed(1)}, p99 ${percentile(fanOut, 0.99).toFixed(1)}`,
    'p99 <= 50', percentile(fanOut, 0.99) <= 50);
  for (const stream of streams) stream.socket.destroy();
} finally {
  await browser.close();
  await bridge.stop();
  await studio.stop();
}
process.exit(exitStatus());
