// A salvo's take, measured from its request to its answer: six relays on two
// simulated units, at the bridge's default INTERVAL, taken back and forth so
// that every take switches all six; then the same take undone, one unit
// having stopped answering, until the answer says that every relay of the
// other unit is back where it was (the answer comes only once the unit's
// status shows it). One line per figure with its goal; exits 0 only when
// every goal is met. Usage: node bench/SalvoBench.mjs
import {Bridge, Unit} from '../tests/web/harness.mjs';
import {exitStatus, percentile, report} from './Report.mjs';

const TAKES = 400;
const RELAYS = ['A', 'B', 'C'];

function salvo(id, input) {
  let section = `[SALVO ${id}]\n`;
  for (const unit of ['studio', 'hall']) {
    for (const relay of RELAYS) section += `${unit}.${relay}=${input}\n`;
  }
  return section;
}

const studio = await Unit.start(), hall = await Unit.start();
const bridge = await Bridge.start({studio, hall}, {http: salvo('on2', 2) + salvo('on1', 1)});
await bridge.waitFor('studio: connected to');
await bridge.waitFor('hall: connected to');

async function take(id) {
  const start = performance.now();
  const response = await fetch(`${bridge.url}api/salvos/${id}/take`, {method: 'POST',
    headers: {'Content-Type': 'application/json'}, body: '{}'});
  const answer = await response.json();
  return {ms: performance.now() - start, answer};
}

try {
  const times = [];
  let wrong = 0;
  for (let i = 0; i < TAKES; ++i) {
    const {ms, answer} = await take(i % 2 === 0 ? 'on2' : 'on1');
    const switched = answer.relays.filter((relay) => relay.outcome === 'switched').length;
    if (answer.result !== 'done' || switched !== 6) wrong += 1;
    times.push(ms);
  }
  report(`take of 6 relays on 2 units, ${TAKES} takes: p99`,
    `${percentile(times, 0.99).toFixed(1)} ms (median ${percentile(times, 0.5).toFixed(1)})`,
    '<= 20 ms', percentile(times, 0.99) <= 20 && wrong === 0);
  if (wrong !== 0) console.log(`  ${wrong} takes did not switch all six`);

  // From every relay on INPUT 1: hall falls silent, studio's three are
  // switched and put back.
  await hall.panel('fault silent');
  const {ms, answer} = await take('on2');
  const studioBack = answer.relays.filter((relay) => relay.unit === 'studio')
    .every((relay) => relay.outcome === 'put back' && relay.now === 1);
  report('the take undone, one unit silent: the other\'s relays back', `${ms.toFixed(0)} ms (${answer.result})`,
    '<= 3500 ms', answer.result === 'undone' && studioBack && ms <= 3500);
} finally {
  await bridge.stop();
  await studio.stop();
  await hall.stop();
}
process.exit(exitStatus());
