// The ports card: the ports the modem service knows and their states, opening and closing them, and saying so when the service cannot be reached.
import {busEvents, replyError, tarnel} from './bus.js';
import {$, currentPort, withResult} from './ui.js';

let knownPorts = [];
let reachable = true;
let refreshTimer = null;
const listeners = [];

// fn() runs whenever what is known of the ports changes.
export function onPortsChanged(fn) {
  listeners.push(fn);
}

function changed() {
  for (const fn of listeners) fn();
}

export function portsReachable() {
  return reachable;
}

// The service's entry for the port ({port, is_open, ...}), or null.
export function portEntry(port) {
  return knownPorts.find((p) => p.port === port) || null;
}

// Whether the port is listed open, and the service answers.
export function portIsOpen(port) {
  return reachable && knownPorts.some((p) => p.port === port && p.is_open);
}

export function settingsText(p) {
  if (!p.is_open) return p.file_status === 'missing' ? 'device missing' : '';
  const parity = ['N', 'O', 'E'][p.parity] || '?';
  return `${p.baudrate} ${p.databits}${parity}${p.stopbits}`;
}

function button(text, label, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.setAttribute('aria-label', label);
  b.addEventListener('click', onClick);
  return b;
}

function portRow(body, p) {
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
  const actions = row.insertCell();
  actions.className = 'actions';
  actions.append(
      button('Use', `Use ${p.port}`, () => {
        $('port').value = p.port;
        $('port').dispatchEvent(new Event('change'));
        $('command').focus();
      }),
      button('Close', `Close ${p.port}`, () => closePort(p.port)));
}

function render() {
  const body = $('port-table').tBodies[0];
  body.replaceChildren();
  $('known-ports').replaceChildren(...knownPorts.map((p) => new Option(p.port)));
  if (reachable) for (const p of knownPorts) portRow(body, p);
  $('port-table').hidden = !reachable || knownPorts.length === 0;
  $('ports-empty').hidden = !reachable || knownPorts.length > 0;
  $('ports-unreachable').hidden = reachable;
  if (!$('port').value) {
    const open = knownPorts.find((p) => p.is_open) || knownPorts[0];
    if (open) {
      $('port').value = open.port;
      $('port').dispatchEvent(new Event('change'));
    }
  }
  changed();
}

export async function refreshPorts() {
  try {
    const reply = await tarnel('list');
    knownPorts = reply.ports || [];
    reachable = true;
    render();
  } catch (e) {
    if (e.kind !== 'expired' && e.kind !== 'unreachable' && e.kind !== 'network')
      $('ports-result').textContent = `Could not list the ports: ${e.message}`;
  }
}

// Notifications come in bursts (a modem reset closes and reopens); one
// listing after the burst is enough.
export function refreshPortsSoon() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refreshPorts, 200);
}

// A "port" notification: {port, is_open, reason}.
export function portNotification(note) {
  const known = knownPorts.find((p) => p.port === note.port);
  if (known) {
    known.is_open = note.is_open;
    render();
  }
  refreshPortsSoon();
}

// The service (or the web server) cannot be reached: the last states may
// be wrong, so none are shown.
function unreachable(why) {
  reachable = false;
  $('ports-unreachable').textContent = `Port states unknown: ${why}.`;
  render();
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

export function setupPorts() {
  $('open-form').addEventListener('submit', openPort);
  busEvents.addEventListener('reachable', (e) => {
    if (!e.detail.ok) unreachable(e.detail.short);
    else if (!reachable) refreshPortsSoon();
  });
}
