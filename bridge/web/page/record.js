// Who switched what, newest first, in the bridge's words and the viewer's
// own time (the date too where it is not today). The filters ask the bridge
// for what matches; "Older" pages back; the CSV link exports the same
// selection. Entries that come live join when they match.
import {request} from './api.js';
import {$, element, shownTime, state} from './state.js';

let oldestShown = 0;  // the number of the oldest entry listed, for "Older"
let asking = 0;       // the newest question, so that a late answer is not shown

function selection() {
  const query = new URLSearchParams();
  for (const [name, id] of [['unit', 'log-unit'], ['relay', 'log-relay'], ['by', 'log-by']]) {
    const value = $(id).value.trim();
    if (value) query.set(name, value);
  }
  return query;
}

// The bridge's rule for a filter, for what comes live.
function withQuery(path, query) {
  const text = query.toString();
  return text ? `${path}?${text}` : path;
}

function matches(entry, query) {
  const by = query.get('by');
  return (!query.get('unit') || entry.unit === query.get('unit')) &&
    (!query.get('relay') || entry.relay === query.get('relay')) &&
    (!by || entry.by === by || entry.by.startsWith(by + ' ') || entry.by.startsWith(by + ','));
}

function item(entry) {
  return element('li', {}, [
    element('time', {text: shownTime(entry.time), dateTime: entry.time}),
    element('span', {text: entry.text})]);
}

export function showEntry(entry) {
  if (!matches(entry, selection())) return;
  const log = $('log');
  log.prepend(item(entry));
  if (!oldestShown) oldestShown = entry.seq;
  while (log.children.length > state.rules.recordKept) {
    log.lastChild.remove();
    $('log-older').hidden = false;
  }
}

async function load(older) {
  const query = selection();
  const asked = ++asking;
  $('log-csv').href = withQuery('api/log.csv', query);
  if (older) query.set('before', String(oldestShown));
  const {status, data} = await request(withQuery('api/log', query));
  if (status !== 200 || asked !== asking) return;
  if (!older) $('log').replaceChildren();
  for (const entry of data.entries) $('log').append(item(entry));
  if (data.entries.length) oldestShown = data.entries[data.entries.length - 1].seq;
  else if (!older) oldestShown = 0;
  $('log-older').hidden = !data.more;
}

function listUnits() {
  const choice = $('log-unit'), chosen = choice.value;
  choice.replaceChildren(element('option', {value: '', text: 'every unit'}),
    ...[...state.units.keys()].map((id) => element('option', {value: id, text: id})));
  choice.value = state.units.has(chosen) ? chosen : '';
}

export async function loadRecord() {
  listUnits();
  await load(false);
  $('record').hidden = false;
}

export function clearRecord() {
  $('record').hidden = true;
  $('log').replaceChildren();
  oldestShown = 0;
}

for (const id of ['log-unit', 'log-relay']) $(id).addEventListener('change', () => load(false));
$('log-by').addEventListener('change', () => load(false));
$('log-filters').addEventListener('submit', (event) => {
  event.preventDefault();
  load(false);
});
$('log-older').addEventListener('click', () => load(true));
