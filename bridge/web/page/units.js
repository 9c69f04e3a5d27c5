// Each unit as a card: its connection in words and, for each relay, its two
// inputs (the selected one coloured as in the console), its name (a tap
// renames it in place: Enter saves, Escape cancels), its lock, its protect
// with who holds it, what an armed salvo would do to it, and a failure in
// words beside it. A command still with the unit after the bridge's wait
// shows as pending until its end comes on the event stream. Everything
// from a unit is shown as text, never markup.
import {problemOf, request} from './api.js';
import {$, announce, controlsEnabled, describeDisabled, element, lastOf, reasonAllOff, relayOf, shownTime, state,
  view as page} from './state.js';
import {forgetOutcome, relayNote} from './salvos.js';

const cards = new Map();  // unit id -> its elements
const pending = new Map();  // command id -> {id, letter} of its relay
// Ends that came on the stream before their 202 was read (the two come on
// different connections), by command id; the newest few.
const endedEarly = new Map();
const ENDED_EARLY_KEPT = 32;

// Where the unit is and since when it is connected; or why not, and as of
// when what it shows was so.
function connectionText(unit) {
  if (unit.connected) {
    return `connected since ${shownTime(unit.since)} \u00b7 ${unit.unit} \u00b7 model ${unit.model}`;
  }
  const asOf = unit.asOf ? ` \u00b7 as of ${shownTime(unit.asOf)}` : '';
  return `not connected: ${unit.reason || 'unknown'}${asOf}`;
}

function buildCard(id) {
  const connection = element('span', {class: 'connection'});
  const relays = element('div', {class: 'relays'});
  const card = element('section', {class: 'unit', 'aria-label': id},
    [element('h2', {}, [element('span', {text: id}), connection]), relays]);
  const parts = {card, connection, relays: new Map()};
  for (const letter of state.rules.relays) parts.relays.set(letter, buildRelay(relays, id, letter));
  $('units').append(card);
  cards.set(id, parts);
  return parts;
}

function buildRelay(into, id, letter) {
  const caption = 'RELAY ' + letter;
  const buttons = state.rules.inputs.map((input) => {
    // The source's label (INPUT1= of the unit) beside the input it names.
    const button = element('button', {type: 'button', class: 'input' + input,
      'aria-label': `${id} ${caption} INPUT ${input}`, 'aria-pressed': 'false'},
    [element('span', {text: 'INPUT ' + input}), element('span', {class: 'source'})]);
    button.addEventListener('click', () => choose(id, letter, input));
    // Enter on a preselected source takes it.
    button.addEventListener('keydown', (event) => {
      if (event.key !== 'Enter' || cards.get(id).relays.get(letter).preselected !== input) return;
      event.preventDefault();
      takePreselected(id, letter);
    });
    return button;
  });
  const name = element('button', {type: 'button', class: 'name', 'aria-label': `${id} ${caption} name`});
  name.addEventListener('click', () => startRename(id, letter));
  const protect = element('button', {type: 'button', class: 'protect'});
  protect.addEventListener('click', () => toggleProtect(id, letter));
  const take = element('button', {type: 'button', class: 'take', text: 'Take', hidden: true});
  take.addEventListener('click', () => takePreselected(id, letter));
  const view = {name, protect, buttons, take, editing: false, preselected: 0, preselectTimer: null,
    lock: element('p', {class: 'lock', id: `${id}-${letter}-lock`}),
    owner: element('p', {class: 'owner', id: `${id}-${letter}-owner`}),
    note: element('p', {class: 'salvo-note'}), problem: element('p', {class: 'problem', role: 'status'})};
  view.box = element('div', {class: 'relay'}, [element('h3', {text: caption}),
    element('div', {class: 'inputs'}, [...buttons, take]), name, view.lock, protect, view.owner, view.note,
    view.problem]);
  view.box.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && view.preselected) clearPreselection(id, letter, view);
  });
  into.append(view.box);
  return view;
}

// What is on air is taken in two steps where the unit says so (TAKE=confirm)
// or the operator chose it for every unit: a tap preselects the source, and
// Take (or Enter on it) applies it; Escape or 10 s without a Take let it go.
const PRESELECT_MS = 10000;
const confirmKey = () => `kdt212-confirm-every-take:${state.user || ''}`;

export function confirmsEveryTake() {
  return localStorage.getItem(confirmKey()) === 'yes';
}

export function setConfirmEveryTake(yes) {
  if (yes) localStorage.setItem(confirmKey(), 'yes');
  else localStorage.removeItem(confirmKey());
}

function choose(id, letter, input) {
  const unit = state.units.get(id);
  if (!(unit && unit.take === 'confirm') && !confirmsEveryTake()) {
    return command(id, letter, 'input', {input});
  }
  const view = cards.get(id).relays.get(letter);
  clearTimeout(view.preselectTimer);
  view.preselected = input;
  view.preselectTimer = setTimeout(() => clearPreselection(id, letter, view), PRESELECT_MS);
  showUnit(unit);
  announce(`${id} RELAY ${letter} INPUT ${input} preselected: Take to switch`);
}

function clearPreselection(id, letter, view) {
  clearTimeout(view.preselectTimer);
  view.preselected = 0;
  showUnit(state.units.get(id));
}

function takePreselected(id, letter) {
  const view = cards.get(id).relays.get(letter);
  const input = view.preselected;
  if (!input) return;
  clearPreselection(id, letter, view);
  command(id, letter, 'input', {input});
}

export function showUnit(unit) {
  const before = state.units.get(unit.id);
  state.units.set(unit.id, unit);
  const parts = cards.get(unit.id) || buildCard(unit.id);
  parts.card.classList.toggle('down', !unit.connected);
  parts.connection.textContent = connectionText(unit);
  for (const [letter, view] of parts.relays) {
    const relay = relayOf(unit, letter), was = relayOf(before, letter);
    // What was said of a relay is old news once it changes.
    if (relay && was && (was.input !== relay.input || was.name !== relay.name)) {
      view.problem.textContent = '';
    }
    if (relay) forgetOutcome(unit.id, letter, relay.input);
    showRelay(unit, letter, view);
    if (relay && was && was.input !== relay.input && relay.input) {
      announce(`${unit.id} RELAY ${letter} on INPUT ${relay.input}`);
    }
  }
}

// The units a reload left: those that went leave the page.
export function keepUnits(units) {
  for (const [id, parts] of cards) {
    if (units.some((unit) => unit.id === id)) continue;
    parts.card.remove();
    cards.delete(id);
    state.units.delete(id);
  }
  for (const unit of units) showUnit(unit);
}

// An admin released this page's owner's protect: said at the relay, and
// to a screen reader.
export function noticeRelease(entry) {
  if (entry.change !== 'forced release' || entry.from !== state.owner) return;
  const view = cards.has(entry.unit) && cards.get(entry.unit).relays.get(entry.relay);
  if (!view) return;
  const text = `released by ${entry.by.replace(/^web /, '')} at ${shownTime(entry.time)}`;
  view.problem.textContent = text;
  announce(`${entry.unit} RELAY ${entry.relay} ${text}`);
}

// A lock at the unit keeps the inputs as they are and lets a rename through,
// as the console does; another's protect keeps everything.
function showRelay(unit, letter, view) {
  const relay = relayOf(unit, letter);
  const shown = lastOf(unit, letter);  // greyed while the unit is down
  const held = relay && relay.protected;
  const theirs = Boolean(held && held.by !== state.owner);
  const usable = controlsEnabled() && Boolean(relay) && !theirs;
  const why = reasonAllOff() || (theirs ? view.owner.id : null);
  view.buttons.forEach((button, index) => {
    button.setAttribute('aria-pressed', String(Boolean(shown && shown.input === state.rules.inputs[index])));
    button.disabled = !usable || relay.locked;
    button.classList.toggle('preselected', view.preselected === state.rules.inputs[index]);
    // A label that only repeats its input's name is not said twice.
    const label = unit.inputs ? unit.inputs[index] : '';
    button.querySelector('.source').textContent =
      label === 'INPUT ' + state.rules.inputs[index] ? '' : label;
    describeDisabled(button, why || (relay && relay.locked ? view.lock.id : null));
  });
  view.take.hidden = !view.preselected;
  view.take.disabled = !usable || relay.locked;
  view.take.setAttribute('aria-label', `Take INPUT ${view.preselected} to ${unit.id} RELAY ${letter}`);
  // A relay without a name says so, greyed, rather than a blank button.
  view.currentName = shown ? shown.name : '';
  if (!view.editing) view.name.textContent = view.currentName || 'no name';
  view.name.classList.toggle('unnamed', !view.currentName);
  view.name.setAttribute('aria-label', `${unit.id} RELAY ${letter} name ${shown ? shown.name : ''}`.trim());
  view.name.disabled = !usable;
  describeDisabled(view.name, why);
  view.lock.textContent = relay && relay.locked ? 'locked at the unit' : '';
  showProtect(unit.id, letter, view, relay);
  const note = relayNote(unit.id, letter);
  view.box.classList.toggle('target', note.target);
  view.box.classList.toggle('refuses', note.refuses);
  view.note.textContent = note.text;
}

// Protect toggles the caller's own protect; an admin may release
// another's, and nobody else may touch it.
function showProtect(id, letter, view, relay) {
  const held = relay && relay.protected;
  const mine = Boolean(held && held.by === state.owner), theirs = Boolean(held && !mine);
  const release = theirs && state.role === 'admin';
  view.protect.textContent = release ? 'Release' : 'Protect';
  view.protect.setAttribute('aria-label', `${id} RELAY ${letter} ${release ? 'release' : 'protect'}`);
  if (release) view.protect.removeAttribute('aria-pressed');
  else view.protect.setAttribute('aria-pressed', String(mine));
  view.protect.disabled = !controlsEnabled() || !relay || (theirs && !release);
  describeDisabled(view.protect, reasonAllOff() || view.owner.id);
  view.owner.textContent = !held ? '' : mine ? 'protected by you' : 'protected by ' + held.who;
}

export function showUnits() {
  for (const unit of state.units.values()) showUnit(unit);
}

export function clearUnits() {
  $('units').replaceChildren();
  cards.clear();
  pending.clear();
  endedEarly.clear();
  state.units.clear();
}

function showProblem(id, letter, text) {
  const parts = cards.get(id);
  if (parts) parts.relays.get(letter).problem.textContent = text;
}

// A command with the unit whose end is not known yet: its relay is busy.
function showPending(id, letter, busy, text = '') {
  const parts = cards.get(id);
  if (!parts) return;
  const view = parts.relays.get(letter);
  view.box.classList.toggle('pending', busy);
  view.box.setAttribute('aria-busy', String(busy));
  view.problem.textContent = text;
}

// The end of a command that was answered pending, from the event stream.
export function commandEnded(end) {
  const relay = pending.get(end.id);
  if (!relay) {
    endedEarly.set(end.id, end);
    if (endedEarly.size > ENDED_EARLY_KEPT) endedEarly.delete(endedEarly.keys().next().value);
    return;
  }
  pending.delete(end.id);
  showPending(relay.id, relay.letter, false, end.outcome === 'done' ? '' : end.error);
}

async function command(id, letter, what, body) {
  showProblem(id, letter, '');
  const path = `api/units/${encodeURIComponent(id)}/relays/${letter.toLowerCase()}/${what}`;
  try {
    const answer = await request(path, body);
    if (answer.status === 200) return showUnit(answer.data);
    if (answer.status === 202) {
      pending.set(answer.data.id, {id, letter});
      if (answer.data.unit) showUnit(answer.data.unit);
      showPending(id, letter, true, answer.data.text);
      const end = endedEarly.get(answer.data.id);
      if (end) {
        endedEarly.delete(answer.data.id);
        commandEnded(end);
      }
      return;
    }
    if (answer.status === 401) return page.needLogin(problemOf(answer));
    showProblem(id, letter, problemOf(answer));
  } catch (e) {
    showProblem(id, letter, 'the bridge cannot be reached');
  }
}

function toggleProtect(id, letter) {
  const relay = relayOf(state.units.get(id), letter);
  command(id, letter, 'protect', {on: !(relay && relay.protected)});
}

// The rename stays open, with its text, until Save or Cancel (or Enter or
// Escape): a tap elsewhere on a phone loses nothing. An empty name clears
// the relay's, once the operator says so.
function startRename(id, letter) {
  const view = cards.get(id).relays.get(letter);
  if (view.editing || !controlsEnabled()) return;
  view.editing = true;
  const label = `${id} RELAY ${letter}`;
  const edit = element('input', {class: 'name-edit', maxLength: state.rules.nameLength,
    value: view.currentName, 'aria-label': `New name of ${label}`});
  const save = element('button', {type: 'button', text: 'Save', 'aria-label': `Save the name of ${label}`});
  const cancel = element('button', {type: 'button', text: 'Cancel',
    'aria-label': `Cancel the rename of ${label}`});
  const editor = element('div', {class: 'rename'}, [edit, save, cancel]);
  const finish = (saving) => {
    if (!view.editing) return;
    const name = edit.value;
    if (saving && !name.trim() && view.currentName &&
        !window.confirm(`Clear the name of ${label}?`)) {
      edit.focus();
      return;
    }
    view.editing = false;
    editor.replaceWith(view.name);
    view.name.focus();
    if (saving) command(id, letter, 'name', {name});
    else showUnit(state.units.get(id));
  };
  edit.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' && event.key !== 'Escape') return;
    // The key is this edit's alone: the name button that takes the focus
    // back must not take it for a press of its own.
    event.preventDefault();
    finish(event.key === 'Enter');
  });
  save.addEventListener('click', () => finish(true));
  cancel.addEventListener('click', () => finish(false));
  view.name.replaceWith(editor);
  edit.focus();
  edit.select();
}
