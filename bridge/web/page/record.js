// Who switched what, newest first, in the bridge's words, as many entries as
// the bridge keeps.
import {request} from './api.js';
import {$, element, state} from './state.js';

export function showEntry(entry, newest = true) {
  const item = element('li', {}, [
    element('time', {text: entry.time.slice(11, 19), dateTime: entry.time}),
    element('span', {text: entry.text})]);
  const log = $('log');
  if (newest) log.prepend(item);
  else log.append(item);
  while (log.children.length > state.rules.recordKept) log.lastChild.remove();
}

export async function loadRecord() {
  const {status, data} = await request('api/log');
  if (status !== 200) return;
  $('log').replaceChildren();
  for (const entry of data.entries) showEntry(entry);
  $('record').hidden = false;
}

export function clearRecord() {
  $('record').hidden = true;
  $('log').replaceChildren();
}
