// The salvos: a row of them, each with how many relays a take would change
// now, as the bridge says. Choosing one arms it: the relays it would change
// are marked on the units with their new input. Take applies it; Cancel,
// Escape or the bridge's time without a Take disarm it. The take's answer
// says beside each relay what became of it, until the relay changes or for
// 30 s. The focus stays on the salvo's own button, never lost to the page.
import {problemOf, request} from './api.js';
import {$, announce, armedSalvo, controlsEnabled, describeDisabled, element, reasonAllOff, relayOf, state,
  view} from './state.js';

const OUTCOME_SHOWN_MS = 30000;
let disarmTimer = null;

// The take's word beside a relay goes once the relay is no longer where
// the take left it.
export function forgetOutcome(id, letter, input) {
  const key = `${id} RELAY ${letter}`, note = state.outcomes.get(key);
  if (note && note.input !== input) state.outcomes.delete(key);
}

function salvoButton(id) {
  const index = state.salvos.findIndex((salvo) => salvo.id === id);
  return index < 0 ? null : $('salvo-list').children[index] || null;
}

// Where the focus was on what has just been hidden, it goes back to the
// salvo's button.
function keepFocus(id) {
  const focused = document.activeElement;
  if (focused && focused !== document.body && !$('armed').contains(focused)) return;
  const button = salvoButton(id);
  if (button) button.focus();
}

// What would stand in the way of a take at this step, as the page sees it
// now (the bridge checks again at the take): the unit down, the relay
// locked at the unit, or another's protect.
function refusalOf(step) {
  const unit = state.units.get(step.unit);
  if (!unit || !unit.connected) return 'the unit is not connected';
  const relay = relayOf(unit, step.relay);
  if (!relay) return 'the unit is not connected';
  if (relay.locked) return 'locked at the unit';
  if (relay.protected && relay.protected.by !== state.owner) return `protected by ${relay.protected.who}`;
  return '';
}

// What the armed salvo would do to a relay, or what the last take did.
export function relayNote(id, letter) {
  const salvo = armedSalvo();
  const step = salvo && salvo.relays.find((s) => s.unit === id && s.relay === letter);
  if (!step) {
    const note = state.outcomes.get(`${id} RELAY ${letter}`);
    return {target: false, refuses: false, text: note ? note.text : ''};
  }
  const refusal = refusalOf(step);
  if (refusal) return {target: true, refuses: true, text: `salvo: would refuse: ${refusal}`};
  const changes = step.changes;
  return {target: changes, refuses: false,
    text: changes ? `salvo: → INPUT ${step.input}` : `salvo: stays on INPUT ${step.input}`};
}

// "studio RELAY A → INPUT 2, hall RELAY C stays on INPUT 1"
function stepsText(salvo) {
  return salvo.relays.map((step) => `${step.unit} RELAY ${step.relay} ` +
    (step.changes ? `→ INPUT ${step.input}` : `stays on INPUT ${step.input}`)).join(', ');
}

export function showSalvos() {
  $('salvos').hidden = state.salvos.length === 0;
  const list = $('salvo-list');
  const ids = state.salvos.map((salvo) => salvo.id).join('\n');
  if (list.dataset.ids !== ids) {
    list.dataset.ids = ids;
    list.replaceChildren(...state.salvos.map((salvo) => {
      const button = element('button', {type: 'button', class: 'salvo'},
        [element('span', {class: 'label'}), element('span', {class: 'differs'})]);
      button.addEventListener('click', () => (state.armed === salvo.id ? disarm('Cancelled') : arm(salvo.id)));
      return button;
    }));
  }
  state.salvos.forEach((salvo, index) => {
    const button = list.children[index];
    button.firstChild.textContent = salvo.label;
    button.lastChild.textContent = salvo.differs === 0 ? 'in place' : `${salvo.differs} to change`;
    button.setAttribute('aria-pressed', String(state.armed === salvo.id));
    button.disabled = !controlsEnabled() || state.taking;
    describeDisabled(button, reasonAllOff() || 'take-answer');
  });
  const salvo = armedSalvo();
  const refusing = salvo ? salvo.relays.filter((step) => refusalOf(step)).length : 0;
  if (salvo) {
    $('armed-text').textContent = `${salvo.label}: ${stepsText(salvo)}. ` +
      `${salvo.differs} relay${salvo.differs === 1 ? '' : 's'} to change` +
      (refusing ? `, ${refusing} would refuse. ` : '. ') + 'Take applies it.';
  }
  document.body.classList.toggle('armed', Boolean(salvo));
  $('take').textContent = refusing ? `Take (${refusing} would refuse)` : 'Take';
  $('take').disabled = !controlsEnabled() || state.taking || !salvo;
  describeDisabled($('take'), reasonAllOff() || 'take-answer');
}

// The bridge's list, at the start or when it changed: an armed salvo that
// is no longer there is disarmed.
export function setSalvos(salvos) {
  state.salvos = salvos;
  if (state.armed && !armedSalvo()) disarm();
  view.refresh();
}

export async function loadSalvos() {
  const {status, data} = await request('api/salvos');
  if (status === 200) setSalvos(data.salvos);
}

function arm(id) {
  clearTimeout(disarmTimer);
  state.armed = id;
  state.outcomes.clear();
  $('take-answer').replaceChildren();
  $('armed').hidden = false;
  const salvo = armedSalvo();
  const seconds = Math.round(state.rules.armedForMs / 1000);
  disarmTimer = setTimeout(() => disarm(`${salvo.label} disarmed: ${seconds} s without a Take`),
    state.rules.armedForMs);
  view.refresh();
  $('take').focus();
}

export function disarm(why) {
  clearTimeout(disarmTimer);
  if (!state.armed) return;
  const id = state.armed;
  state.armed = null;
  $('armed').hidden = true;
  if (why) announce(why);
  view.refresh();
  keepFocus(id);
}

async function take() {
  const salvo = armedSalvo();
  if (!salvo || state.taking || !controlsEnabled()) return;
  clearTimeout(disarmTimer);
  state.taking = true;
  showSalvos();
  let answer;
  try {
    answer = await request(`api/salvos/${encodeURIComponent(salvo.id)}/take`, {});
  } catch (e) {
    answer = {status: 0, data: {error: 'the bridge cannot be reached'}};
  }
  state.taking = false;
  if (answer.status === 401) return view.needLogin(problemOf(answer));
  disarm();
  showTake(salvo, answer);
  keepFocus(salvo.id);
}

// The take's answer: its result, and beside each relay what became of it.
function showTake(salvo, answer) {
  const box = $('take-answer');
  if (answer.status !== 200) {
    box.replaceChildren(element('p', {class: 'problem', text: `${salvo.label}: ${problemOf(answer)}`}));
    return view.refresh();
  }
  const {data} = answer;
  state.outcomes.clear();
  const notes = new Map();
  const items = data.relays.map((relay) => {
    notes.set(`${relay.unit} RELAY ${relay.relay}`, {text: 'salvo: ' + relay.outcome, input: relay.now});
    return element('li', {text: `${relay.unit} RELAY ${relay.relay}: ${relay.outcome}`});
  });
  for (const [key, note] of notes) state.outcomes.set(key, note);
  setTimeout(() => {
    for (const [key, note] of notes) {
      if (state.outcomes.get(key) === note) state.outcomes.delete(key);
    }
    view.refresh();
  }, OUTCOME_SHOWN_MS);
  box.replaceChildren(element('p', {class: 'result ' + data.result, text: `${salvo.label}: ${data.result}`}),
    element('ul', {}, items));
  announce(`${salvo.label}: ${data.result}`);
  view.refresh();
}

export function clearSalvos() {
  disarm();
  state.salvos = [];
  $('salvos').hidden = true;
  $('salvo-list').replaceChildren();
  delete $('salvo-list').dataset.ids;
  $('take-answer').replaceChildren();
}

$('take').addEventListener('click', take);
$('cancel').addEventListener('click', () => disarm('Cancelled'));
document.addEventListener('keydown', (event) => {
  // Escape in a rename is the rename's.
  if (event.key === 'Escape' && !event.defaultPrevented && state.armed) disarm('Cancelled');
});
