// Start-up of the modem console: the login, the parts of the page wired together, and what happens when the session or the service goes away.
import {ANONYMOUS, OBJECT, busEvents, call, login, logout, saveSession, session} from './bus.js';
import {setupConsole} from './console.js';
import {addLogLine, setupLog} from './log.js';
import {messageNotification, setupMessages} from './messages.js';
import {portNotification, refreshPorts, setupPorts} from './ports.js';
import {setupSim} from './sim.js';
import {setupStatus, simChanged, startStatus, stopStatus} from './status.js';
import {followStream, stopStream} from './stream.js';
import {$, clearNotice, setNotice} from './ui.js';

// The header has room for a word; the log card says the whole of it.
const LIVE_WORDS = {live: 'Live', connecting: 'Connecting', down: 'Interrupted', off: 'Off'};

function setLive(state, text) {
  const el = $('live-state');
  el.dataset.state = state;
  el.textContent = LIVE_WORDS[state] || state;
  el.title = text;
  el.setAttribute('aria-label', `Live log: ${text}`);
  $('log-state').textContent = state === 'live' ? '' : text;
  $('log-state').hidden = state === 'live';
  $('log-state').dataset.state = state;
}

function onNotification(type, data) {
  if (type === 'urc') {
    addLogLine(data);
    messageNotification(data);
  }
  else if (type === 'port') portNotification(data);
  // "alive" only says the stream works; any message does.
}

function showLogin(message) {
  stopStream();
  stopStatus();
  saveSession(ANONYMOUS);
  $('console-view').hidden = true;
  $('logout').hidden = true;
  $('login-view').hidden = false;
  $('login-error').textContent = message || '';
  $('login-password').value = '';
  $('login-password').focus();
}

function start(loggedIn) {
  $('login-view').hidden = true;
  $('console-view').hidden = false;
  $('logout').hidden = !loggedIn;
  setNotice('');
  refreshPorts();
  followStream({onMessage: onNotification, onState: setLive, onLive: refreshPorts});
  startStatus();
  $('command').focus();
}

async function submitLogin(event) {
  event.preventDefault();
  $('login-error').textContent = '';
  try {
    await login($('login-user').value, $('login-password').value);
  } catch (e) {
    $('login-error').textContent = e.message;
    return;
  }
  start(true);
}

// The session ends at the server, or the page says it did not.
async function submitLogout() {
  try {
    await logout();
  } catch (e) {
    setNotice(e.message, 'logout');
    return;
  }
  showLogin('Logged out.');
}

// A session from earlier in this tab, or the anonymous one when the server
// takes calls without a login; otherwise the login form.
async function boot() {
  try {
    await call(OBJECT, 'list', {});
  } catch (e) {
    if (e.kind === 'denied' || e.kind === 'expired') {
      showLogin(session.sid === ANONYMOUS ? '' : e.message);
      return;
    }
    // Anything else (the service not running, ...) is shown in the console.
  }
  start(session.sid !== ANONYMOUS);
}

busEvents.addEventListener('session-lost', (e) => showLogin(e.detail));
busEvents.addEventListener('reachable', (e) => {
  if (!e.detail.ok) setNotice(e.detail.message, 'unreachable');
  else clearNotice('unreachable');
});
$('login-form').addEventListener('submit', submitLogin);
$('logout').addEventListener('click', submitLogout);
setupPorts();
setupConsole();
setupMessages();
setupLog();
setupStatus();
setupSim(simChanged);
boot();
