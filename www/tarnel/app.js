// The modem console: talks to the router web server's bus endpoint
// (JSON-RPC at /ubus, notifications at /ubus/subscribe/tarnel) and to the
// bus object "tarnel" behind it. Plain script, no build step.
'use strict';

const ANONYMOUS = '0'.repeat(32);
const OBJECT = 'tarnel';
// The web server gives up on a call after 60 s; a command, and the wait for
// the commands queued before it, must end well before that.
const TIMEOUT_MAX = 55;
const SMS_TIMEOUT = 30;
const LOG_MAX = 500;
const HISTORY_MAX = 50;

const $ = (id) => document.getElementById(id);

const session = {
  sid: sessionStorage.getItem('tarnel.sid') || ANONYMOUS,
  acls: JSON.parse(sessionStorage.getItem('tarnel.acls') || 'null'),
  stream: null, // AbortController of the notification reader
};

// ---- errors in words ----

const BUS_STATUS = {
  1: 'Invalid command',
  2: 'Invalid argument: a required field is missing, or the port path is longer than 63 characters',
  3: 'The modem service does not know this method',
  4: 'Not found',
  5: 'No response: the modem service cannot take another port (at most 64; close unused ones)',
  6: 'Permission denied on the bus',
  7: 'Bus timeout: the request timed out on the bus',
  8: 'Operation not supported',
  9: 'Unknown error',
  10: 'The web server lost its connection to the bus',
  11: 'Out of memory',
  12: 'The bus could not read the request',
  13: 'System error',
};

const DAEMON_HINTS = {
  'Port busy': 'Port busy: too many commands are already waiting for this port. Try again in a moment.',
  'Port file does not exist': 'There is no device at this path. Check the port name, or wait for the modem to come back.',
  'Failed to open port': 'The device exists but could not be opened (permissions, or it is not a serial device).',
  'Failed to send AT command': 'The command could not be sent: the port is missing or could not be opened.',
  'Port not found': 'The modem service does not know this port.',
  'Daemon is stopping': 'The modem service is stopping; the command was not sent.',
  'Invalid data': 'The message text holds characters a modem cannot take (Ctrl-Z or ESC) or is too long.',
  'Command too long': 'The command is too long (at most 65,536 characters).',
  'End flag too long': 'The end flags are too long.',
};

class ConsoleError extends Error {
  // kind: denied, expired, missing, timeout, network, refused, status, reply
  constructor(message, kind) {
    super(message);
    this.kind = kind;
  }
}

function maySession(object, method) {
  const ubus = session.acls && session.acls.ubus;
  if (!ubus) return false;
  const match = (pattern, name) => pattern === '*' || pattern === name;
  return Object.entries(ubus).some(([o, methods]) => match(o, object) && methods.some((m) => match(m, method)));
}

function rpcError(error, object, method) {
  switch (error.code) {
    case -32002:
      // A login that was granted this call and is now refused has expired.
      if (session.sid !== ANONYMOUS && maySession(object, method))
        return new ConsoleError('Your session has expired. Log in again.', 'expired');
      return new ConsoleError(`Access denied: this login may not use ${object} (${method}).`, 'denied');
    case -32000:
      return new ConsoleError(
          object === OBJECT ? 'The modem service is not running: the bus has no object "tarnel" (or the bus is down).'
                            : `The bus has no object "${object}".`,
          'missing');
    case -32003:
      return new ConsoleError('Bus timeout: the web server stopped waiting for the answer.', 'timeout');
    default:
      return new ConsoleError(`The web server refused the request: ${error.message} (${error.code}).`, 'refused');
  }
}

// ---- the bus endpoint ----

let rpcId = 0;

async function rpc(method, params, object, objMethod) {
  let res;
  try {
    res = await fetch('/ubus', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({jsonrpc: '2.0', id: ++rpcId, method, params}),
    });
  } catch (e) {
    throw new ConsoleError('The web server cannot be reached.', 'network');
  }
  let body;
  try {
    body = await res.json();
  } catch (e) {
    throw new ConsoleError(`The web server's answer is not JSON (HTTP ${res.status}).`, 'refused');
  }
  if (body.error) throw rpcError(body.error, object, objMethod);
  return body.result;
}

// A method's reply table; a bus status other than 0 is an error.
async function call(object, method, args) {
  const [status, data] = await rpc('call', [session.sid, object, method, args || {}], object, method);
  if (status !== 0) throw new ConsoleError(BUS_STATUS[status] || `Bus status ${status}`, 'status');
  return data || {};
}

async function tarnel(method, args) {
  try {
    const reply = await call(OBJECT, method, args);
    setNotice('');
    return reply;
  } catch (e) {
    handleSessionLoss(e);
    if (e.kind === 'missing' || e.kind === 'network') setNotice(e.message);
    throw e;
  }
}

function replyError(reply) {
  const hint = DAEMON_HINTS[reply.message];
  return new ConsoleError(hint ? `${reply.message}. ${hint}` : reply.message || 'The modem service reported an error.',
                          'reply');
}

// ---- login ----

function saveSession(sid, acls) {
  session.sid = sid;
  session.acls = acls;
  if (sid === ANONYMOUS) {
    sessionStorage.removeItem('tarnel.sid');
    sessionStorage.removeItem('tarnel.acls');
  } else {
    sessionStorage.setItem('tarnel.sid', sid);
    sessionStorage.setItem('tarnel.acls', JSON.stringify(acls));
  }
}

function showLogin(message) {
  stopNotifications();
  saveSession(ANONYMOUS, null);
  $('console-view').hidden = true;
  $('logout').hidden = true;
  $('login-view').hidden = false;
  $('login-error').textContent = message || '';
  $('login-password').value = '';
  $('login-password').focus();
}

function handleSessionLoss(e) {
  if (e.kind === 'expired') showLogin(e.message);
}

async function login(event) {
  event.preventDefault();
  $('login-error').textContent = '';
  const args = {username: $('login-user').value, password: $('login-password').value};
  try {
    const [status, data] = await rpc('call', [ANONYMOUS, 'session', 'login', args], 'session', 'login');
    if (status === 6) throw new ConsoleError('Wrong user name or password.', 'denied');
    if (status !== 0 || !data) throw new ConsoleError(BUS_STATUS[status] || `Bus status ${status}`, 'status');
    saveSession(data.ubus_rpc_session, data.acls);
  } catch (e) {
    $('login-error').textContent = e.message;
    return;
  }
  start(true);
}

async function logout() {
  try {
    await rpc('call', [session.sid, 'session', 'destroy', {}], 'session', 'destroy');
  } catch (e) {
    // Gone already, or unreachable: forgotten here all the same.
  }
  showLogin('Logged out.');
}

// ---- ports ----

let knownPorts = [];
let portRefresh = null;

function settingsText(p) {
  if (!p.is_open) return p.file_status === 'missing' ? 'device missing' : '';
  const parity = ['N', 'O', 'E'][p.parity] || '?';
  return `${p.baudrate} ${p.databits}${parity}${p.stopbits}`;
}

function timeText(seconds) {
  return new Date(seconds * 1000).toLocaleTimeString();
}

function renderPorts(ports) {
  knownPorts = ports;
  const body = $('port-table').tBodies[0];
  body.replaceChildren();
  $('known-ports').replaceChildren(...ports.map((p) => new Option(p.port)));
  for (const p of ports) {
    const row = body.insertRow();
    const cell = (label, text) => {
      const c = row.insertCell();
      c.dataset.label = label; // shown on a phone, where the table has no head
      c.textContent = text;
      return c;
    };
    cell('Port', p.port);
    cell('State', p.is_open ? 'open' : 'closed').className = p.is_open ? 'ok' : 'bad';
    cell('Settings', settingsText(p));
    cell('Last check', timeText(p.last_check));
    const actions = row.insertCell();
    actions.className = 'actions';
    const use = document.createElement('button');
    use.type = 'button';
    use.textContent = 'Use';
    use.setAttribute('aria-label', `Use ${p.port}`);
    use.addEventListener('click', () => {
      $('port').value = p.port;
      $('command').focus();
    });
    const close = document.createElement('button');
    close.type = 'button';
    close.textContent = 'Close';
    close.setAttribute('aria-label', `Close ${p.port}`);
    close.addEventListener('click', () => closePort(p.port));
    actions.append(use, close);
  }
  $('port-table').hidden = ports.length === 0;
  $('ports-empty').hidden = ports.length > 0;
  if (!$('port').value) {
    const open = ports.find((p) => p.is_open) || ports[0];
    if (open) $('port').value = open.port;
  }
}

async function refreshPorts() {
  try {
    const reply = await tarnel('list');
    renderPorts(reply.ports || []);
  } catch (e) {
    if (e.kind !== 'expired') $('ports-result').textContent = `Could not list the ports: ${e.message}`;
  }
}

// Notifications come in bursts (a modem reset closes and reopens); one
// listing after the burst is enough.
function refreshPortsSoon() {
  clearTimeout(portRefresh);
  portRefresh = setTimeout(refreshPorts, 200);
}

function currentPort(resultId) {
  const port = $('port').value.trim();
  if (!port) {
    $(resultId).textContent = 'Enter the port first (for example /dev/ttyUSB2).';
    $('port').focus();
  }
  return port;
}

async function withResult(resultId, work) {
  const out = $(resultId);
  out.textContent = 'Working…';
  out.className = 'result';
  try {
    out.textContent = await work();
    out.className = 'result ok';
  } catch (e) {
    out.textContent = e.message;
    out.className = 'result bad';
  }
}

async function openPort(event) {
  event.preventDefault();
  const port = currentPort('ports-result');
  if (!port) return;
  await withResult('ports-result', async () => {
    const reply = await tarnel('open', {
      at_port: port,
      baudrate: Number($('baudrate').value),
      databits: Number($('databits').value),
      parity: Number($('parity').value),
      stopbits: Number($('stopbits').value),
    });
    if (reply.status !== 'success') throw replyError(reply);
    return `Opened ${reply.port} at ${settingsText({...reply, is_open: 1})}.`;
  });
  refreshPorts();
}

async function closePort(port) {
  await withResult('ports-result', async () => {
    const reply = await tarnel('close', {at_port: port});
    if (reply.status !== 'success') throw replyError(reply);
    return `Closed ${port}.`;
  });
  refreshPorts();
}

// ---- commands ----

const history = JSON.parse(sessionStorage.getItem('tarnel.history') || '[]');
let historyAt = history.length;

function remember(command) {
  if (history[history.length - 1] !== command) history.push(command);
  history.splice(0, Math.max(0, history.length - HISTORY_MAX));
  sessionStorage.setItem('tarnel.history', JSON.stringify(history));
  historyAt = history.length;
}

function browseHistory(event) {
  if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
  event.preventDefault();
  historyAt = Math.max(0, Math.min(history.length, historyAt + (event.key === 'ArrowUp' ? -1 : 1)));
  const input = $('command');
  input.value = history[historyAt] || '';
  input.setSelectionRange(input.value.length, input.value.length);
}

// The modem's bytes as they came: line ends kept as lines, other control
// characters shown by their symbols.
function visible(text) {
  return text.replace(/\r\n/g, '\n').replace(/[\x00-\x08\x0b-\x1f\x7f]/g,
      (c) => c === '\x7f' ? '\u2421' : String.fromCharCode(0x2400 + c.charCodeAt(0)));
}

function timeoutSeconds() {
  const t = Math.round(Number($('timeout').value));
  if (!Number.isFinite(t) || t < 1 || t > TIMEOUT_MAX)
    throw new ConsoleError(`The timeout must be between 1 and ${TIMEOUT_MAX} seconds ` +
                           '(the web server waits at most 60 seconds).', 'input');
  return t;
}

function addEntry(port, command) {
  const entry = document.createElement('article');
  entry.className = 'entry';
  const head = document.createElement('h3');
  const cmd = document.createElement('code');
  cmd.textContent = command;
  head.append(cmd, ` on ${port}`);
  const status = document.createElement('p');
  status.className = 'status';
  status.textContent = 'Waiting for the modem…';
  entry.append(head, status);
  $('transcript').append(entry);
  entry.scrollIntoView({block: 'nearest'});
  return entry;
}

function finishEntry(entry, reply) {
  const status = entry.querySelector('.status');
  const text = document.createElement('pre');
  text.className = 'answer';
  if (reply.status === 'success') {
    status.textContent = `Success: end flag "${reply.end_flag_matched || '(none)'}" after ${reply.response_time_ms} ms`;
    status.className = 'status ok';
    text.textContent = visible(reply.response || '');
  } else if (reply.status === 'timeout') {
    const got = reply.partial_response || '';
    status.textContent = `Command timeout: no end flag within ${reply.timeout} s ` +
                         `(${reply.response_time_ms} ms). ` + (got ? 'Received so far:' : 'Nothing was received.');
    status.className = 'status bad';
    text.textContent = visible(got);
  } else {
    status.textContent = `Error: ${replyError(reply).message}`;
    status.className = 'status bad';
  }
  if (text.textContent) entry.append(text);
  entry.scrollIntoView({block: 'nearest'});
}

async function sendat(args) {
  return tarnel('sendat', args);
}

async function runCommand(command) {
  const port = currentPort('ports-result');
  if (!command || !port) return;
  remember(command);
  const entry = addEntry(port, command);
  try {
    const args = {at_port: port, at_cmd: command, timeout: timeoutSeconds()};
    const flags = $('end-flags').value.trim();
    if (flags) args.end_flag = flags;
    finishEntry(entry, await sendat(args));
  } catch (e) {
    const status = entry.querySelector('.status');
    status.textContent = e.message;
    status.className = 'status bad';
  }
}

function submitCommand(event) {
  event.preventDefault();
  const command = $('command').value.trim();
  $('command').value = '';
  runCommand(command);
}

// ---- text messages ----

async function sendMessage(event) {
  event.preventDefault();
  const port = currentPort('sms-result');
  if (!port) return;
  const number = $('sms-number').value.trim();
  const text = $('sms-text').value;
  await withResult('sms-result', async () => {
    if (!/^\+?[0-9]{3,20}$/.test(number))
      throw new ConsoleError('The number may hold only digits, with a + in front.', 'input');
    if (/[\x1a\x1b]/.test(text)) throw new ConsoleError(DAEMON_HINTS['Invalid data'], 'input');
    const mode = await sendat({at_port: port, at_cmd: 'AT+CMGF=1', timeout: 5});
    if (mode.status !== 'success' || mode.end_flag_matched !== 'OK')
      throw new ConsoleError(mode.status === 'error' ? replyError(mode).message
                                                     : 'The modem did not switch to text mode (AT+CMGF=1).', 'reply');
    const reply = await sendat({at_port: port, at_cmd: `AT+CMGS="${number}"`, data: text, timeout: SMS_TIMEOUT});
    if (reply.status === 'error') throw replyError(reply);
    const answer = visible(reply.response || reply.partial_response || '').trim();
    if (reply.status === 'timeout')
      throw new ConsoleError(`Command timeout: the modem did not confirm the message within ${SMS_TIMEOUT} s. ` +
                             `Received: ${answer || 'nothing'}`, 'reply');
    if (!reply.data_sent || reply.end_flag_matched !== 'OK')
      throw new ConsoleError(`The modem refused the message: ${answer}`, 'reply');
    const ref = /\+CMGS: *(\d+)/.exec(reply.response);
    return `Message sent to ${number}` + (ref ? ` (reference ${ref[1]}).` : '.');
  });
}

// ---- live log ----

function setLive(state, text) {
  const el = $('live-state');
  el.dataset.state = state;
  el.textContent = text;
}

function addLogLine(note) {
  const item = document.createElement('li');
  const time = document.createElement('time');
  const now = new Date();
  time.dateTime = now.toISOString();
  time.textContent = now.toLocaleTimeString();
  const line = document.createElement('code');
  line.textContent = visible(note.line || '');
  item.append(time, ' ', line);
  if (note.late) {
    const late = document.createElement('span');
    late.className = 'tag';
    late.textContent = 'late answer';
    item.append(' ', late);
  }
  if (note.dropped) {
    const dropped = document.createElement('span');
    dropped.className = 'tag bad';
    dropped.textContent = `${note.dropped} lines dropped before this one`;
    item.append(' ', dropped);
  }
  const port = document.createElement('span');
  port.className = 'port';
  port.textContent = note.port;
  item.append(' ', port);
  const list = $('log-lines');
  list.append(item);
  while (list.children.length > LOG_MAX) list.firstElementChild.remove();
  item.scrollIntoView({block: 'nearest'});
}

function onNotification(type, data) {
  if (type === 'urc') {
    addLogLine(data);
  } else if (type === 'port') {
    const known = knownPorts.find((p) => p.port === data.port);
    if (known) {
      known.is_open = data.is_open;
      renderPorts(knownPorts);
    }
    refreshPortsSoon();
  }
}

// Server-sent events from a fetch body: blocks separated by a blank line,
// "event:" and "data:" fields, ":" comments.
async function readEvents(body, onEvent) {
  const reader = body.getReader();
  const decoder = new TextDecoder();
  let buffer = '';
  for (;;) {
    const {value, done} = await reader.read();
    if (done) return;
    buffer += decoder.decode(value, {stream: true});
    let end;
    while ((end = buffer.indexOf('\n\n')) >= 0) {
      const block = buffer.slice(0, end);
      buffer = buffer.slice(end + 2);
      let type = 'message';
      const data = [];
      for (const line of block.split('\n')) {
        const colon = line.indexOf(':');
        if (colon === 0) continue;
        const field = colon < 0 ? line : line.slice(0, colon);
        const val = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
        if (field === 'event') type = val;
        else if (field === 'data') data.push(val);
      }
      if (data.length) {
        try {
          onEvent(type, JSON.parse(data.join('\n')));
        } catch (e) {
          // A malformed message is skipped; the stream goes on.
        }
      }
    }
  }
}

function pause(ms, signal) {
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    signal.addEventListener('abort', () => {
      clearTimeout(timer);
      resolve();
    });
  });
}

function stopNotifications() {
  if (session.stream) session.stream.abort();
  session.stream = null;
  setLive('off', 'Live updates off');
}

// Follows the object's notifications until stopped, reconnecting whenever
// the server ends the stream (restart, lost bus, the service going away).
async function followNotifications() {
  stopNotifications();
  const control = new AbortController();
  session.stream = control;
  let delay = 1000;
  while (!control.signal.aborted) {
    setLive('connecting', 'Connecting live updates…');
    let why;
    try {
      const headers = session.sid === ANONYMOUS ? {} : {Authorization: `Bearer ${session.sid}`};
      const res = await fetch(`/ubus/subscribe/${OBJECT}`, {headers, signal: control.signal, cache: 'no-store'});
      if (!(res.headers.get('Content-Type') || '').startsWith('text/event-stream')) {
        const body = await res.json().catch(() => ({}));
        throw body.error ? rpcError(body.error, OBJECT, ':subscribe')
                         : new ConsoleError(`Unexpected answer (HTTP ${res.status}).`, 'refused');
      }
      setLive('live', 'Live');
      setNotice('');
      delay = 1000;
      refreshPorts(); // what changed while the stream was down
      await readEvents(res.body, onNotification);
      why = 'the web server ended the stream.';
    } catch (e) {
      if (control.signal.aborted) return;
      if (e.kind === 'expired') {
        showLogin(e.message);
        return;
      }
      if (e.kind === 'denied') {
        setLive('off', `Live updates off: ${e.message}`);
        return;
      }
      why = e.kind ? e.message : 'The connection to the web server broke.';
    }
    setNotice(`Live updates interrupted: ${why}`);
    setLive('down', `Interrupted; trying again in ${delay / 1000} s`);
    await pause(delay, control.signal);
    delay = Math.min(delay * 2, 5000);
  }
}

// ---- start ----

function setNotice(text) {
  $('notice').textContent = text;
  $('notice').hidden = !text;
}

function start(loggedIn) {
  $('login-view').hidden = true;
  $('console-view').hidden = false;
  $('logout').hidden = !loggedIn;
  refreshPorts();
  followNotifications();
  $('command').focus();
}

// A session from earlier in this tab, or the anonymous one when the server
// takes calls without a login; otherwise the login form.
async function boot() {
  try {
    await call(OBJECT, 'list', {});
  } catch (e) {
    if (e.kind === 'denied' || e.kind === 'expired') {
      showLogin(session.sid === ANONYMOUS ? '' : 'Your session has expired. Log in again.');
      return;
    }
    // Anything else (the service not running, ...) is shown in the console.
  }
  start(session.sid !== ANONYMOUS);
}

$('login-form').addEventListener('submit', login);
$('logout').addEventListener('click', logout);
$('open-form').addEventListener('submit', openPort);
$('command-form').addEventListener('submit', submitCommand);
$('command').addEventListener('keydown', browseHistory);
$('sms-form').addEventListener('submit', sendMessage);
$('sms-text').addEventListener('input', () => {
  $('sms-count').textContent = `${$('sms-text').value.length} / 160`;
});
$('log-clear').addEventListener('click', () => $('log-lines').replaceChildren());
for (const button of document.querySelectorAll('.quick button'))
  button.addEventListener('click', () => runCommand(button.dataset.command));
boot();
