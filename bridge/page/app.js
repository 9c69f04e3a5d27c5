// The bridge's page: every unit, live, through the bridge's HTTP interface
// (relative addresses only, so that it works unchanged behind a reverse
// proxy's sub-path). Everything from a unit is shown as text, never markup.
'use strict';

const RELAYS = ['A', 'B', 'C'];
const page = {
  role: null,       // 'view' or 'operate', once known
  user: null,
  live: false,      // a fresh snapshot has come on the open stream
  stream: null,
  cards: new Map(),  // unit id -> its elements
  units: new Map(),  // unit id -> its object, as the bridge last sent it
};

const $ = (id) => document.getElementById(id);

function element(tag, props = {}, children = []) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'text') node.textContent = value;
    else if (key === 'class') node.className = value;
    else if (key.startsWith('aria-') || key === 'role' || key === 'type') node.setAttribute(key, value);
    else node[key] = value;
  }
  for (const child of children) node.append(child);
  return node;
}

async function request(path, body) {
  const options = body === undefined ? {} : {
    method: 'POST',
    headers: {'Content-Type': 'application/json'},
    body: JSON.stringify(body),
  };
  const response = await fetch(path, {credentials: 'same-origin', ...options});
  let data = null;
  if (response.status !== 204) {
    try { data = await response.json(); } catch (e) { data = null; }
  }
  return {status: response.status, data};
}

function announce(text) {
  $('announce').textContent = text;
}

function connectionText(unit) {
  return unit.connected ? 'connected' : 'not connected: ' + (unit.reason || 'unknown');
}

// The controls are live only while the picture is: never against a stale one.
function controlsEnabled() {
  return page.live && page.role !== 'view';
}

function relayOf(unit, letter) {
  return (unit.relays || []).find((relay) => relay.relay === letter);
}

function buildCard(id) {
  const title = element('span', {text: id});
  const connection = element('span', {class: 'connection'});
  const relays = element('div', {class: 'relays'});
  const card = element('section', {class: 'unit', 'aria-label': id},
    [element('h2', {}, [title, connection]), relays]);
  const parts = {card, connection, relays: new Map()};
  for (const letter of RELAYS) {
    const caption = 'RELAY ' + letter;
    const buttons = [1, 2].map((input) => {
      const button = element('button', {type: 'button', class: 'input' + input,
        text: 'INPUT ' + input, 'aria-label': `${id} ${caption} INPUT ${input}`,
        'aria-pressed': 'false'});
      button.addEventListener('click', () => switchInput(id, letter, input));
      return button;
    });
    const name = element('button', {type: 'button', class: 'name', 'aria-label': `${id} ${caption} name`});
    name.addEventListener('click', () => startRename(id, letter));
    const lock = element('p', {class: 'lock'});
    const problem = element('p', {class: 'problem', role: 'status'});
    const box = element('div', {class: 'relay'},
      [element('h3', {text: caption}), element('div', {class: 'inputs'}, buttons), name, lock, problem]);
    relays.append(box);
    parts.relays.set(letter, {box, buttons, name, lock, problem, editing: false});
  }
  $('units').append(card);
  page.cards.set(id, parts);
  return parts;
}

function showUnit(unit) {
  const before = page.units.get(unit.id);
  page.units.set(unit.id, unit);
  const parts = page.cards.get(unit.id) || buildCard(unit.id);
  parts.card.classList.toggle('down', !unit.connected);
  parts.connection.textContent = connectionText(unit);
  for (const letter of RELAYS) {
    const relay = relayOf(unit, letter);
    const view = parts.relays.get(letter);
    const locked = Boolean(relay && relay.locked);
    view.buttons.forEach((button, index) => {
      button.setAttribute('aria-pressed', String(Boolean(relay && relay.input === index + 1)));
      button.disabled = !controlsEnabled() || !relay || locked;
    });
    if (!view.editing) view.name.textContent = relay ? relay.name : '';
    view.name.disabled = !controlsEnabled() || !relay;
    view.lock.textContent = locked ? 'locked at the unit' : '';
    const was = before && relayOf(before, letter);
    if (relay && was && was.input !== relay.input && relay.input) {
      announce(`${unit.id} RELAY ${letter} on INPUT ${relay.input}`);
    }
  }
}

function showAll() {
  for (const unit of page.units.values()) showUnit(unit);
}

function showProblem(id, letter, text) {
  const parts = page.cards.get(id);
  if (parts) parts.relays.get(letter).problem.textContent = text;
}

async function command(id, letter, what, body) {
  showProblem(id, letter, '');
  const path = `api/units/${encodeURIComponent(id)}/relays/${letter.toLowerCase()}/${what}`;
  try {
    const {status, data} = await request(path, body);
    if (status === 200) return showUnit(data);
    if (status === 401) return needLogin();
    showProblem(id, letter, (data && data.error) || `the bridge answered ${status}`);
  } catch (e) {
    showProblem(id, letter, 'the bridge cannot be reached');
  }
}

function switchInput(id, letter, input) {
  command(id, letter, 'input', {input});
}

function startRename(id, letter) {
  const view = page.cards.get(id).relays.get(letter);
  if (view.editing || !controlsEnabled()) return;
  view.editing = true;
  const edit = element('input', {class: 'name-edit', maxLength: 24,
    value: view.name.textContent, 'aria-label': `New name of ${id} RELAY ${letter}`});
  const finish = (save) => {
    if (!view.editing) return;
    view.editing = false;
    const name = edit.value;
    edit.replaceWith(view.name);
    view.name.focus();
    if (save) command(id, letter, 'name', {name});
    else showUnit(page.units.get(id));
  };
  edit.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' && event.key !== 'Escape') return;
    // The key is this edit's alone: the name button that takes the focus
    // back must not take it for a press of its own.
    event.preventDefault();
    finish(event.key === 'Enter');
  });
  edit.addEventListener('blur', () => finish(false));
  view.name.replaceWith(edit);
  edit.focus();
  edit.select();
}

function showEntry(entry, newest = true) {
  const shown = (value) => (entry.change === 'name' ? `“${value}”` : value);
  const what = entry.change === 'connection'
    ? `${entry.unit}: ${entry.from} → ${entry.to}`
    : `${entry.unit} RELAY ${entry.relay}: ${entry.change} ${shown(entry.from)} → ${shown(entry.to)}`;
  const item = element('li', {}, [
    element('time', {text: entry.time.slice(11, 19), dateTime: entry.time}),
    element('span', {text: `${what}, by ${entry.by}`})]);
  const log = $('log');
  if (newest) log.prepend(item);
  else log.append(item);
  while (log.children.length > 500) log.lastChild.remove();
}

function setLive(live, why) {
  page.live = live;
  $('banner').hidden = live;
  $('banner').textContent = live ? '' : why;
  showAll();
}

function openStream() {
  if (page.stream) page.stream.close();
  const stream = new EventSource('api/events');
  page.stream = stream;
  stream.addEventListener('snapshot', (event) => {
    const snapshot = JSON.parse(event.data);
    for (const unit of snapshot.units) showUnit(unit);
    loadLog();
    setLive(true);
  });
  stream.addEventListener('unit', (event) => showUnit(JSON.parse(event.data).unit));
  stream.addEventListener('log', (event) => showEntry(JSON.parse(event.data).entry));
  stream.addEventListener('error', async () => {
    setLive(false, 'The connection to the bridge is lost: what you see may be old. ' +
      'Reconnecting…');
    if (stream.readyState === EventSource.CLOSED) setTimeout(start, 2000);
    const me = await request('api/me').catch(() => null);
    if (me && me.status === 401) needLogin();
  });
}

async function loadLog() {
  const {status, data} = await request('api/log');
  if (status !== 200) return;
  $('log').replaceChildren();
  for (const entry of data.entries) showEntry(entry);
  $('record').hidden = false;
}

function needLogin() {
  if (page.stream) page.stream.close();
  page.stream = null;
  page.live = false;
  $('banner').hidden = true;
  $('units').replaceChildren();
  page.cards.clear();
  page.units.clear();
  $('record').hidden = true;
  $('who').hidden = true;
  $('login').hidden = false;
  $('login-user').focus();
}

async function start() {
  let me;
  try {
    me = await request('api/me');
  } catch (e) {
    setLive(false, 'The bridge cannot be reached. Trying again…');
    return setTimeout(start, 2000);
  }
  if (me.status === 401) return needLogin();
  if (me.status !== 200) return setTimeout(start, 2000);
  page.role = me.data.role;
  page.user = me.data.user;
  $('login').hidden = true;
  $('who').hidden = page.user === null;
  $('user').textContent = page.user === null ? '' : `${page.user} (${page.role})`;
  openStream();
}

$('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  $('login-problem').textContent = '';
  const {status, data} = await request('api/login',
    {user: $('login-user').value, password: $('login-password').value});
  $('login-password').value = '';
  if (status === 200) return start();
  $('login-problem').textContent = (data && data.error) || `the bridge answered ${status}`;
});

$('logout').addEventListener('click', async () => {
  await request('api/logout', {});
  needLogin();
});

start();
