// The bridge's page: every unit, live, through the bridge's HTTP interface.
// It starts here: the bridge's rules, who is logged in, then the event
// stream, whose snapshot enables the controls; when the stream is lost, a
// banner says so, every control is disabled, and the page reconnects by
// itself.
import {openEvents, problemOf, request} from './api.js';
import {$, state, view} from './state.js';
import {clearRecord, loadRecord, showEntry} from './record.js';
import {clearSalvos, disarm, loadSalvos, setSalvos, showSalvos} from './salvos.js';
import {clearUnits, commandEnded, confirmsEveryTake, keepUnits, noticeRelease, setConfirmEveryTake,
  showUnit, showUnits} from './units.js';

const RETRY_MS = 2000;
let stream = null;

view.refresh = () => {
  showUnits();
  showSalvos();
};

function setLive(live, why) {
  if (!live) disarm();  // never a take against a stale picture
  state.live = live;
  $('banner').hidden = live;
  $('banner').textContent = live ? '' : why;
  view.refresh();
}

function openStream() {
  if (stream) stream.close();
  stream = openEvents({
    snapshot: (snapshot) => {
      for (const unit of snapshot.units) showUnit(unit);
      loadRecord();
      loadSalvos();
      setLive(true);
    },
    unit: (event) => {
      showUnit(event.unit);
      if (state.armed) showSalvos();  // what would refuse may have changed
    },
    units: (event) => keepUnits(event.units),
    command: (event) => commandEnded(event.command),
    me: (me) => {
      setUser(me);
      view.refresh();
    },
    log: (event) => {
      showEntry(event.entry);
      noticeRelease(event.entry);
    },
    salvos: (event) => setSalvos(event.salvos),
    error: async (lost) => {
      setLive(false, 'The connection to the bridge is lost: what you see may be old. Reconnecting…');
      if (lost.readyState === EventSource.CLOSED) setTimeout(start, RETRY_MS);
      const me = await request('api/me').catch(() => null);
      if (me && me.status === 401) view.needLogin(problemOf(me));
    },
  });
}

// Who is logged in, and what the role lets them do: at the start, and when
// a reload changes it.
function setUser(me) {
  Object.assign(state, {role: me.role, user: me.user, owner: me.owner});
  $('who').hidden = state.user === null;
  $('user').textContent = state.user === null ? '' : `${state.user} (${state.role})`;
  $('confirm-choice').hidden = state.role === 'view';
  $('confirm-every-take').checked = confirmsEveryTake();
}

// `problem`: the bridge's word on a session that ended, said at the login.
view.needLogin = (problem = '') => {
  clearSalvos();
  if (stream) stream.close();
  stream = null;
  state.live = false;
  $('banner').hidden = true;
  clearUnits();
  clearRecord();
  $('who').hidden = true;
  $('confirm-choice').hidden = true;
  $('login').hidden = false;
  $('login-problem').textContent = problem.startsWith('your session') ? problem : '';
  $('login-user').focus();
};

async function start() {
  let me;
  try {
    if (!state.rules) state.rules = (await request('api/rules')).data;
    me = await request('api/me');
  } catch (e) {
    setLive(false, 'The bridge cannot be reached. Trying again…');
    return setTimeout(start, RETRY_MS);
  }
  if (me.status === 401) return view.needLogin(problemOf(me));
  if (me.status !== 200) return setTimeout(start, RETRY_MS);
  setUser(me.data);
  $('login').hidden = true;
  openStream();
}

$('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  $('login-problem').textContent = '';
  const answer = await request('api/login',
    {user: $('login-user').value, password: $('login-password').value});
  $('login-password').value = '';
  if (answer.status === 200) return start();
  $('login-problem').textContent = problemOf(answer);
});

$('confirm-every-take').addEventListener('change', (event) => {
  setConfirmEveryTake(event.target.checked);
});

$('logout').addEventListener('click', async () => {
  await request('api/logout', {});
  view.needLogin();
});

start();
