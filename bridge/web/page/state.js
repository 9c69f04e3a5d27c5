// What the page knows: the bridge's rules, who is logged in, the units and
// salvos as the bridge last sent them, and what the operator has armed.
// Nothing here is a rule of the page's own: limits, texts and what a take
// would change all come from the bridge.

export const state = {
  rules: null,       // api/rules: relays, inputs, nameLength, recordKept, armedForMs
  role: null,        // 'view', 'operate' or 'admin', once known
  user: null,
  owner: null,       // who this page is to the bridge, as protects name owners
  live: false,       // a fresh snapshot has come on the open stream
  units: new Map(),  // unit id -> its object
  salvos: [],        // as the bridge lists them, with what a take would change
  armed: null,       // the id of the salvo chosen, until it is taken or disarmed
  taking: false,
  outcomes: new Map(),  // "unit RELAY" -> what the last take did to it, and the input it left
};

// What the page's start gives the parts: drawing everything anew, and
// asking for a login again.
export const view = {refresh: () => {}, needLogin: () => {}};

export const $ = (id) => document.getElementById(id);

export function element(tag, props = {}, children = []) {
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

export function announce(text) {
  $('announce').textContent = text;
}

// The controls are live only while the picture is: never against a stale one.
export function controlsEnabled() {
  return state.live && state.role !== 'view';
}

// Says why a control is disabled (the id of the element whose text does),
// or that nothing does.
export function describeDisabled(control, reasonId) {
  if (control.disabled && reasonId) control.setAttribute('aria-describedby', reasonId);
  else control.removeAttribute('aria-describedby');
}

// Why every control is off, when one reason holds them all: a stale
// picture, or a role that changes nothing.
export function reasonAllOff() {
  if (!state.live) return 'banner';
  return state.role === 'view' ? 'view-only' : null;
}

export function relayOf(unit, letter) {
  return ((unit && unit.relays) || []).find((relay) => relay.relay === letter);
}

// The relay as the unit shows it, or, while it is down, as it last did.
export function lastOf(unit, letter) {
  return relayOf(unit, letter) || ((unit && unit.last) || []).find((relay) => relay.relay === letter);
}

const clock = {hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23'};
const timeOnly = new Intl.DateTimeFormat(undefined, clock);
const dateAndTime = new Intl.DateTimeFormat(undefined,
  {year: 'numeric', month: 'short', day: 'numeric', ...clock});

// A time of the bridge's (ISO 8601 with its offset) in the viewer's own
// zone, with the date where it is not today.
export function shownTime(iso) {
  const at = new Date(iso);
  const today = at.toDateString() === new Date().toDateString();
  return (today ? timeOnly : dateAndTime).format(at);
}

export function armedSalvo() {
  return state.salvos.find((salvo) => salvo.id === state.armed) || null;
}
