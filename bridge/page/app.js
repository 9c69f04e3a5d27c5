// The bridge's page: every unit, live, through the bridge's HTTP interface
// (relative addresses only, so that it works unchanged behind a reverse
// proxy's sub-path), its protects, and its salvos with a take step: choosing
// a salvo arms it and shows on the units what it would change; Take applies
// it; Cancel, Escape or 30 s without a Take disarm it. Everything from a
// unit is shown as text, never markup.
'use strict';

const RELAYS = ['A', 'B', 'C'];
const DISARM_MS = 30000;
const page = {
  role: null,       // 'view', 'operate' or 'admin', once known
  user: null,
  live: false,      // a fresh snapshot has come on the open stream
  stream: null,
  cards: new Map(),  // unit id -> its elements
  units: new Map(),  // unit id -> its object, as the bridge last sent it
  salvos: [],        // as the bridge lists them
  armed: null,       // the salvo chosen, until it is taken or disarmed
  disarm: null,      // its timer
  taking: false,
  outcomes: new Map(),  // "unit RELAY" -> what the last take did to it
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

// Who this page is to the bridge, as protects name their owners.
function me() {
  return page.user === null ? 'web' : 'web ' + page.user;
}

function ownerText(owner) {
  if (owner.startsWith('web ')) return owner.slice(4);
  return owner === 'web' ? 'the page' : owner === 'mqtt' ? 'MQTT' : owner;
}

function stepOf(salvo, id, letter) {
  return salvo && salvo.relays.find((step) => step.unit === id && step.relay === letter);
}

// How many relays a take would change now; those of a unit that is down
// count, as nothing says they are on their input.
function differs(salvo) {
  return salvo.relays.filter((step) => {
    const unit = page.units.get(step.unit);
    const relay = unit && relayOf(unit, step.relay);
    return !relay || relay.input !== step.input;
  }).length;
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
    const protect = element('button', {type: 'button', class: 'protect'});
    protect.addEventListener('click', () => toggleProtect(id, letter));
    const owner = element('p', {class: 'owner'});
    const note = element('p', {class: 'salvo-note'});
    const problem = element('p', {class: 'problem', role: 'status'});
    const box = element('div', {class: 'relay'}, [element('h3', {text: caption}),
      element('div', {class: 'inputs'}, buttons), name, lock, protect, owner, note, problem]);
    relays.append(box);
    parts.relays.set(letter, {box, buttons, name, lock, protect, owner, note, problem,
      editing: false});
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
    const held = relay && relay.protected;
    const theirs = Boolean(held && held.by !== me());
    view.buttons.forEach((button, index) => {
      button.setAttribute('aria-pressed', String(Boolean(relay && relay.input === index + 1)));
      button.disabled = !controlsEnabled() || !relay || locked || theirs;
    });
    if (!view.editing) view.name.textContent = relay ? relay.name : '';
    view.name.disabled = !controlsEnabled() || !relay || theirs;
    view.lock.textContent = locked ? 'locked at the unit' : '';
    showProtect(unit.id, letter, view, relay);
    showNote(unit.id, letter, view, relay);
    const was = before && relayOf(before, letter);
    if (relay && was && was.input !== relay.input && relay.input) {
      announce(`${unit.id} RELAY ${letter} on INPUT ${relay.input}`);
    }
  }
  showSalvos();  // what each would change now
}

// Protect toggles the caller's own protect; an admin may release
// another's, and nobody else may touch it.
function showProtect(id, letter, view, relay) {
  const held = relay && relay.protected;
  const mine = Boolean(held && held.by === me()), theirs = Boolean(held && !mine);
  const release = theirs && page.role === 'admin';
  view.protect.textContent = release ? 'Release' : 'Protect';
  view.protect.setAttribute('aria-label', `${id} RELAY ${letter} ${release ? 'release' : 'protect'}`);
  if (release) view.protect.removeAttribute('aria-pressed');
  else view.protect.setAttribute('aria-pressed', String(mine));
  view.protect.disabled = !controlsEnabled() || !relay || (theirs && !release);
  view.owner.textContent = !held ? '' : mine ? 'protected by you' : 'protected by ' + ownerText(held.by);
}

// What the armed salvo would do to the relay, or what the last take did.
function showNote(id, letter, view, relay) {
  const step = stepOf(page.armed, id, letter);
  const changes = Boolean(step && (!relay || relay.input !== step.input));
  view.box.classList.toggle('target', changes);
  if (step) {
    view.note.textContent = changes ? `salvo: → INPUT ${step.input}` : `salvo: stays on INPUT ${step.input}`;
  } else {
    view.note.textContent = page.outcomes.get(`${id} RELAY ${letter}`) || '';
  }
}

function showAll() {
  for (const unit of page.units.values()) showUnit(unit);
  showSalvos();  // with no unit yet too
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

function toggleProtect(id, letter) {
  const relay = relayOf(page.units.get(id), letter);
  command(id, letter, 'protect', {on: !(relay && relay.protected)});
}

function showSalvos() {
  $('salvos').hidden = page.salvos.length === 0;
  const list = $('salvo-list');
  if (list.children.length !== page.salvos.length) {
    list.replaceChildren(...page.salvos.map((salvo) => {
      const button = element('button', {type: 'button', class: 'salvo'},
        [element('span', {text: salvo.label}), element('span', {class: 'differs'})]);
      button.addEventListener('click', () => (page.armed === salvo ? disarm('Cancelled') : arm(salvo)));
      return button;
    }));
  }
  page.salvos.forEach((salvo, index) => {
    const button = list.children[index];
    const count = differs(salvo);
    button.lastChild.textContent = count === 0 ? 'in place' : `${count} to change`;
    button.setAttribute('aria-pressed', String(page.armed === salvo));
    button.disabled = !controlsEnabled() || page.taking;
  });
  $('take').disabled = !controlsEnabled() || page.taking || !page.armed;
}

async function loadSalvos() {
  const {status, data} = await request('api/salvos');
  if (status !== 200) return;
  const armed = page.armed && page.armed.id;
  page.salvos = data.salvos;
  page.armed = page.salvos.find((salvo) => salvo.id === armed) || null;
  $('salvo-list').replaceChildren();
  showAll();
}

function arm(salvo) {
  clearTimeout(page.disarm);
  page.armed = salvo;
  page.outcomes.clear();
  $('take-answer').replaceChildren();
  const count = differs(salvo);
  $('armed-text').textContent = `${salvo.label}: ${count} relay${count === 1 ? '' : 's'} to change. ` +
    'Take applies it.';
  $('armed').hidden = false;
  page.disarm = setTimeout(() => disarm(`${salvo.label} disarmed: 30 s without a Take`), DISARM_MS);
  showAll();
  $('take').focus();
}

function disarm(why) {
  clearTimeout(page.disarm);
  if (!page.armed) return;
  page.armed = null;
  $('armed').hidden = true;
  if (why) announce(why);
  showAll();
}

async function take() {
  const salvo = page.armed;
  if (!salvo || page.taking || !controlsEnabled()) return;
  clearTimeout(page.disarm);
  page.taking = true;
  showSalvos();
  let answer;
  try {
    answer = await request(`api/salvos/${encodeURIComponent(salvo.id)}/take`, {});
  } catch (e) {
    answer = {status: 0, data: {error: 'the bridge cannot be reached'}};
  }
  page.taking = false;
  if (answer.status === 401) return needLogin();
  disarm();
  showTake(salvo, answer);
}

// The take's answer: its result, and beside each relay what became of it.
function showTake(salvo, {status, data}) {
  const box = $('take-answer');
  if (status !== 200) {
    box.replaceChildren(element('p', {class: 'problem',
      text: `${salvo.label}: ${(data && data.error) || 'the bridge answered ' + status}`}));
    return showAll();
  }
  page.outcomes.clear();
  const items = data.relays.map((relay) => {
    page.outcomes.set(`${relay.unit} RELAY ${relay.relay}`, 'salvo: ' + relay.outcome);
    return element('li', {text: `${relay.unit} RELAY ${relay.relay}: ${relay.outcome}`});
  });
  box.replaceChildren(element('p', {class: 'result ' + data.result, text: `${salvo.label}: ${data.result}`}),
    element('ul', {}, items));
  announce(`${salvo.label}: ${data.result}`);
  showAll();
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

function entryText(entry) {
  const shown = (value) => (entry.change === 'name' ? `“${value}”` : value);
  if (entry.salvo) return `salvo ${entry.salvo}: ${entry.change} ${entry.to}`;
  if (entry.change === 'connection') return `${entry.unit}: ${entry.from} → ${entry.to}`;
  return `${entry.unit} RELAY ${entry.relay}: ${entry.change} ${shown(entry.from)} → ${shown(entry.to)}`;
}

function showEntry(entry, newest = true) {
  const what = entryText(entry);
  const item = element('li', {}, [
    element('time', {text: entry.time.slice(11, 19), dateTime: entry.time}),
    element('span', {text: `${what}, by ${entry.by}`})]);
  const log = $('log');
  if (newest) log.prepend(item);
  else log.append(item);
  while (log.children.length > 500) log.lastChild.remove();
}

function setLive(live, why) {
  if (!live) disarm();  // never a take against a stale picture
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
    loadSalvos();
    setLive(true);
  });
  stream.addEventListener('unit', (event) => showUnit(JSON.parse(event.data).unit));
  stream.addEventListener('log', (event) => showEntry(JSON.parse(event.data).entry));
  stream.addEventListener('salvos', loadSalvos);  // the bridge's file was read again
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
  disarm();
  page.salvos = [];
  $('salvos').hidden = true;
  $('salvo-list').replaceChildren();
  $('take-answer').replaceChildren();
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

$('take').addEventListener('click', take);
$('cancel').addEventListener('click', () => disarm('Cancelled'));
document.addEventListener('keydown', (event) => {
  // Escape in a rename is the rename's.
  if (event.key === 'Escape' && !event.defaultPrevented && page.armed) disarm('Cancelled');
});

$('logout').addEventListener('click', async () => {
  await request('api/logout', {});
  needLogin();
});

start();
