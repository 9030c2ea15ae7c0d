// The modem status card: SIM, signal, network, operator, data connection, device and port of the port in use, read one query at a time every 30 s while the page is visible, with the signal of the last 30 minutes.
import {tarnel} from './bus.js';
import {addLogLine} from './log.js';
import * as modem from './modem.js';
import {onPortsChanged, portEntry, portIsOpen, portsReachable, settingsText} from './ports.js';
import {newPolicy, record, shouldAsk} from './retry.js';
import {showSim} from './sim.js';
import {$, currentPort} from './ui.js';

// Tests shorten the refresh with ?refresh-every=SECONDS.
const REFRESH_MS = 1000 * Math.max(1, Number(new URLSearchParams(location.search).get('refresh-every')) || 30);
const CHART_SPAN_MS = 30 * 60 * 1000;
const CHART_MIN_SPAN_MS = 60 * 1000;
const QUERY_TIMEOUT = 5;
const NOT_REPORTED = 'not reported';

// Asked at every refresh, in this order, with the prefix of their answers.
// The SIM first: a locked SIM explains every other field.
const LIVE_QUERIES = {
  'AT+CPIN?': '+CPIN:', 'AT+CSQ': '+CSQ:', 'AT+CESQ': '+CESQ:', 'AT+CREG?': '+CREG:', 'AT+CGREG?': '+CGREG:',
  'AT+CEREG?': '+CEREG:', 'AT+C5GREG?': '+C5GREG:', 'AT+COPS?': '+COPS:', 'AT+CGDCONT?': '+CGDCONT:',
  'AT+CGACT?': '+CGACT:', 'AT+CGPADDR': '+CGPADDR:',
};
// Asked while the SIM wants its PIN or PUK.
const LOCKED_QUERIES = {'AT+CPINR': '+CPINR:'};
// Where EF_ICCID cannot be read, modems have their own commands.
const ICCID_COMMANDS = ['AT+CCID', 'AT+QCCID', 'AT+ICCID'];

const identities = new Map(); // port -> command -> the answer of a query that does not change
const policies = new Map(); // port -> when each query is asked again (retry.js)
let running = false;
let busy = false;
let again = false; // Refresh was clicked while a refresh ran
let timer = null;
let shownPort = null; // whose status the card shows
let shownAt = null; // when the reading shown was made
let lastRefresh = 0;
let round = 0; // refreshes so far

class PortGone extends Error {}
class NoAnswer extends Error {}

function policyOf(port) {
  if (!policies.has(port)) policies.set(port, newPolicy());
  return policies.get(port);
}

// One query, never more than one at a time on the port; null when it is
// not asked this time (it failed before: retry.js) or has no answer. A
// port closed meanwhile is not asked: asking would open it again.
async function ask(port, command) {
  const policy = policyOf(port);
  if (!shouldAsk(policy, command, round, Date.now())) return null;
  if (!running || !portIsOpen(port)) throw new PortGone();
  const reply = await tarnel('sendat', {at_port: port, at_cmd: command, timeout: QUERY_TIMEOUT});
  // A modem that does not answer would cost every query its timeout: the
  // round ends here, the next one tries again.
  if (reply.status === 'timeout') {
    record(policy, command, 'failed', round, Date.now());
    throw new NoAnswer(`the modem did not answer ${command} within ${QUERY_TIMEOUT} s`);
  }
  const ok = reply.status === 'success' && reply.end_flag_matched === 'OK';
  record(policy, command, ok ? 'ok' : modem.isUnsupported(reply) ? 'unsupported' : 'failed', round, Date.now());
  return reply;
}

// What does not change is asked until the modem answers it, then kept.
async function askOnce(port, command) {
  const known = identities.get(port) || new Map();
  identities.set(port, known);
  if (known.has(command)) return known.get(command);
  const reply = await ask(port, command);
  if (reply && reply.status === 'success' && reply.end_flag_matched === 'OK') known.set(command, reply);
  return reply;
}

async function readIdentity(port) {
  const id = {
    maker: modem.infoOf(await askOnce(port, 'AT+CGMI'), '+CGMI:'),
    model: modem.infoOf(await askOnce(port, 'AT+CGMM'), '+CGMM:'),
    firmware: modem.infoOf(await askOnce(port, 'AT+CGMR'), '+CGMR:'),
    imei: modem.imeiOf(await askOnce(port, 'AT+CGSN')),
    iccid: modem.iccidFromCrsm(modem.valueOf(await askOnce(port, 'AT+CRSM=176,12258,0,0,10'), '+CRSM:')),
  };
  for (const command of ICCID_COMMANDS) {
    if (id.iccid) break;
    id.iccid = modem.iccidFromText(modem.infoOf(await askOnce(port, command), ''));
  }
  return id;
}

// A line the modem sent on its own while a query waited is that query's
// (the service's rule): it goes to the live log, where it would have gone.
function rescueUnsolicited(port, command, reply, prefix) {
  for (const line of modem.foreignLines(reply, prefix)) addLogLine({port, line, during: command});
}

async function readLive(port) {
  const r = {};
  const queries = {...LIVE_QUERIES};
  for (let i = 0, commands = Object.keys(queries); i < commands.length; i++) {
    const command = commands[i];
    r[command] = await ask(port, command);
    rescueUnsolicited(port, command, r[command], queries[command]);
    if (command === 'AT+CPIN?' && /^SIM P(IN|UK)$/.test(modem.simCode(r[command]) || '')) {
      Object.assign(queries, LOCKED_QUERIES);
      commands.push(...Object.keys(LOCKED_QUERIES));
    }
  }
  return {
    signal: modem.signalFromCsq(modem.valueOf(r['AT+CSQ'], '+CSQ:')),
    csq: modem.valueOf(r['AT+CSQ'], '+CSQ:'),
    lte: modem.lteFromCesq(modem.valueOf(r['AT+CESQ'], '+CESQ:')),
    registration: modem.registration({
      '+CREG:': modem.valueOf(r['AT+CREG?'], '+CREG:'),
      '+CGREG:': modem.valueOf(r['AT+CGREG?'], '+CGREG:'),
      '+CEREG:': modem.valueOf(r['AT+CEREG?'], '+CEREG:'),
      '+C5GREG:': modem.valueOf(r['AT+C5GREG?'], '+C5GREG:'),
    }),
    operator: modem.operatorFromCops(modem.valueOf(r['AT+COPS?'], '+COPS:')),
    sim: modem.simState(r['AT+CPIN?']),
    simCode: modem.simCode(r['AT+CPIN?']),
    tries: modem.pinTries(r['AT+CPINR']),
    // A state not read is no state: null, not "not connected".
    data: modem.dataContexts(modem.valuesOf(r['AT+CGDCONT?'], '+CGDCONT:'),
                             modem.valueOf(r['AT+CGACT?'], '+CGACT:') === null ? null
                               : modem.valuesOf(r['AT+CGACT?'], '+CGACT:'),
                             modem.valuesOf(r['AT+CGPADDR'], '+CGPADDR:')),
  };
}

// ---- the signal of the last 30 minutes, kept for the tab ----

function signalHistory(port) {
  const all = JSON.parse(sessionStorage.getItem('tarnel.signal') || '{}');
  const since = Date.now() - CHART_SPAN_MS;
  return (all[port] || []).filter(([t]) => t >= since);
}

function recordSignal(port, dbm) {
  const all = JSON.parse(sessionStorage.getItem('tarnel.signal') || '{}');
  all[port] = [...signalHistory(port), [Date.now(), dbm]];
  sessionStorage.setItem('tarnel.signal', JSON.stringify(all));
}

const CHART_W = 240;
const CHART_H = 48;
const DBM_LOW = -113;
const DBM_HIGH = -51;

// The chart spans the readings there are, at least a minute and at most
// the last 30 minutes.
function drawChart(port) {
  const points = signalHistory(port);
  const now = Date.now();
  const span = Math.min(CHART_SPAN_MS, Math.max(CHART_MIN_SPAN_MS, points.length ? now - points[0][0] : 0));
  const x = (t) => ((t - (now - span)) / span * CHART_W).toFixed(1);
  const y = (dbm) => ((DBM_HIGH - dbm) / (DBM_HIGH - DBM_LOW) * (CHART_H - 4) + 2).toFixed(1);
  const chart = $('signal-chart');
  chart.querySelector('polyline').setAttribute('points', points.map(([t, dbm]) => `${x(t)},${y(dbm)}`).join(' '));
  const last = points[points.length - 1];
  const dot = chart.querySelector('circle');
  dot.setAttribute('visibility', last ? 'visible' : 'hidden');
  if (last) {
    dot.setAttribute('cx', x(last[0]));
    dot.setAttribute('cy', y(last[1]));
  }
  const minutes = `${Math.round(span / 60000)} min`;
  const values = points.map(([, dbm]) => dbm);
  chart.querySelector('title').textContent = values.length
    ? `Signal over the last ${minutes}: ${values.length} readings, from ${Math.min(...values)} to ` +
      `${Math.max(...values)} dBm`
    : 'No signal readings in the last 30 minutes';
  chart.dataset.points = String(points.length);
  $('signal-chart-span').textContent = `last ${minutes}`;
}

// ---- the card ----

function show(id, value, title) {
  const el = $(id);
  el.textContent = value || NOT_REPORTED;
  el.classList.toggle('unknown', !value);
  if (title !== undefined) el.title = title || '';
}

function showRow(id, shown) {
  $(id).hidden = !shown;
}

function showBars(bars) {
  const el = $('signal-bars');
  el.dataset.bars = bars === null ? '' : String(bars);
  el.setAttribute('aria-label', bars === null ? 'signal bars not reported' : `${bars} of 4 bars`);
  [...el.children].forEach((bar, i) => bar.classList.toggle('on', bars !== null && i < bars));
}

function kvRow(list, label, value) {
  const row = document.createElement('div');
  const dt = document.createElement('dt');
  dt.textContent = label;
  const dd = document.createElement('dd');
  dd.textContent = value || NOT_REPORTED;
  dd.classList.toggle('unknown', !value);
  row.append(dt, dd);
  list.append(row);
  return dd;
}

// One block per context the modem has defined; unread, the APN and the
// state say "not reported" under their labels.
function renderData(contexts) {
  const box = $('st-data');
  box.replaceChildren();
  const list = (cid) => {
    const dl = document.createElement('dl');
    dl.className = 'kv context';
    if (cid !== null) dl.dataset.cid = String(cid);
    box.append(dl);
    return dl;
  };
  if (!contexts || !contexts.length) {
    const dl = list(null);
    kvRow(dl, 'APN', null);
    kvRow(dl, 'State', null);
    return;
  }
  for (const c of contexts) {
    const dl = list(c.cid);
    kvRow(dl, contexts.length > 1 ? `APN (context ${c.cid})` : 'APN', c.apn).className += ' apn';
    const state = c.active === null ? null : c.active ? 'connected' : 'not connected';
    const dd = kvRow(dl, 'State', state);
    dd.classList.add('state', c.active ? 'ok' : 'muted');
    if (c.active) {
      if (c.v4.length || !c.v6.length) kvRow(dl, 'IPv4', c.v4.join(', ')).classList.add('v4');
      if (c.v6.length || !c.v4.length) kvRow(dl, 'IPv6', c.v6.join(', ')).classList.add('v6');
    }
  }
}

function renderLive(port, live) {
  const s = live.signal;
  show('signal-dbm', s && s.text, live.csq === null ? '' : `+CSQ: ${live.csq}`);
  $('signal-words').textContent = s ? s.words : '';
  showBars(s ? s.bars : null);
  const lte = live.lte ? [live.lte.rsrp && `RSRP ${live.lte.rsrp}`, live.lte.rsrq && `RSRQ ${live.lte.rsrq}`] : [];
  $('signal-lte').textContent = lte.filter(Boolean).join(' · ');
  show('st-network', live.registration && live.registration.text);
  showRow('row-network-detail', !live.registration || live.registration.registered);
  show('st-network-detail', live.registration && live.registration.detail);
  show('st-operator', live.operator && live.operator.name);
  show('st-tech', live.operator && live.operator.tech);
  show('st-sim', live.sim);
  const tries = live.simCode === 'SIM PUK' ? live.tries['SIM PUK'] : live.tries['SIM PIN'];
  showRow('row-sim-tries', /^SIM P(IN|UK)$/.test(live.simCode || ''));
  show('st-sim-tries', tries === undefined ? '' : String(tries));
  showSim(port, live.simCode, tries);
  renderData(live.data);
}

function renderIdentity(id) {
  show('st-model', [id.maker, id.model].filter(Boolean).join(' '));
  show('st-firmware', id.firmware);
  show('st-imei', id.imei);
  show('st-iccid', id.iccid);
}

// What the service lists for the port: its state and settings, the other
// paths it is reachable as, and other programs that have it open (keys a
// service may not send: their rows are left out then).
function renderPort() {
  const port = currentPort();
  const p = port ? portEntry(port) : null;
  const state = !port ? '' : !portsReachable() ? '' : !p ? 'not known to the service'
    : p.is_open ? `open, ${settingsText(p)}` : `closed${settingsText(p) ? `, ${settingsText(p)}` : ''}`;
  show('st-port', state);
  const shared = p && Array.isArray(p.shared_as) ? p.shared_as.filter((x) => typeof x === 'string') : [];
  showRow('row-port-shared', shared.length > 0);
  $('st-port-shared').replaceChildren(...shared.map((path) => {
    const code = document.createElement('code');
    code.textContent = path;
    return code;
  }));
  const users = p && Array.isArray(p.other_users) ? p.other_users.filter((u) => u && typeof u === 'object') : [];
  const names = users.map((u) => `${u.comm || 'a program'}${Number.isInteger(u.pid) ? ` (pid ${u.pid})` : ''}`);
  $('st-port-users').hidden = !names.length;
  $('st-port-users').textContent = names.length
    ? `Also open in ${names.join(', ')}: its commands and this page's can take each other's answers.` : '';
}

function note(text) {
  $('status-note').textContent = text;
  $('status-note').hidden = !text;
}

function clearCard(message) {
  for (const id of ['signal-dbm', 'st-network', 'st-network-detail', 'st-operator', 'st-tech', 'st-sim', 'st-model',
                    'st-firmware', 'st-imei', 'st-iccid'])
    show(id, '', '');
  for (const id of ['signal-words', 'signal-lte']) $(id).textContent = '';
  showRow('row-network-detail', true);
  showRow('row-sim-tries', false);
  showSim(null, null);
  renderData(null);
  showBars(null);
  shownAt = null;
  $('status-updated').textContent = '';
  $('status-card').dataset.state = 'idle';
  note(message);
}

const UNREACHABLE_NOTE = 'The modem service cannot be reached';

function whyNotUpdated(e, port) {
  if (e instanceof PortGone) return `${port} is not open.`;
  if (e.kind === 'unreachable' || e.kind === 'network') return `${UNREACHABLE_NOTE}: not updated.`;
  return `Not updated: ${e.message}`;
}

// The reading shown is kept, marked with its time.
function stale(why) {
  $('status-card').dataset.state = 'stale';
  if (shownAt) $('status-updated').textContent = `Last reading ${shownAt.toLocaleTimeString()}`;
  note(why);
}

function schedule() {
  clearTimeout(timer);
  if (running && document.visibilityState === 'visible') timer = setTimeout(() => refresh(false), REFRESH_MS);
}

function setBusy(on) {
  busy = on;
  const b = $('status-refresh');
  b.setAttribute('aria-busy', String(on));
  b.querySelector('.label').textContent = on ? 'Refreshing…' : 'Refresh';
}

// Reads the port in use and shows it; full: the identity and the queries
// that failed before are asked again at once.
async function refresh(full) {
  if (!running) return;
  if (busy) {
    if (full) again = true;
    return;
  }
  const port = currentPort();
  renderPort();
  if (!portsReachable()) {
    if (shownPort) stale(`${UNREACHABLE_NOTE}: the reading below is from ${shownAt ? shownAt.toLocaleTimeString() : 'before'}.`);
    else clearCard(`${UNREACHABLE_NOTE}.`);
    schedule();
    return;
  }
  if (!port || !portIsOpen(port)) {
    shownPort = null;
    clearCard(port ? `Open ${port} to see its modem's status.` : 'Choose the port in use to see its modem\'s status.');
    schedule();
    return;
  }
  setBusy(true);
  if (shownPort !== port) {
    clearCard('Reading the modem…');
    drawChart(port);
  }
  $('status-card').dataset.state = 'reading';
  shownPort = port;
  round++;
  if (full) {
    identities.delete(port);
    policies.delete(port);
  }
  try {
    const live = await readLive(port);
    const id = await readIdentity(port);
    if (live.signal) recordSignal(port, live.signal.dbm);
    if (currentPort() === port) {
      renderLive(port, live);
      renderIdentity(id);
      drawChart(port);
      shownAt = new Date();
      $('status-updated').textContent = `Updated ${shownAt.toLocaleTimeString()}; every ${REFRESH_MS / 1000} s while shown`;
      $('status-card').dataset.state = 'current';
      note('');
    }
    lastRefresh = Date.now();
  } catch (e) {
    // The service is away (the banner and the ports say so) or the port
    // closed: the values shown are not current any more.
    if (currentPort() === port) stale(whyNotUpdated(e, port));
  } finally {
    setBusy(false);
    schedule();
  }
  if (!running) return;
  // Refresh clicked meanwhile, or the port changed while this one was read.
  if (again || currentPort() !== port) {
    const full2 = again;
    again = false;
    refresh(full2);
  }
}

// The SIM took a PIN (or may have): every query is worth asking at once.
export function simChanged() {
  refresh(true);
}

export function startStatus() {
  running = true;
  refresh(false);
}

export function stopStatus() {
  running = false;
  again = false;
  clearTimeout(timer);
}

export function setupStatus() {
  $('status-refresh').addEventListener('click', () => refresh(true));
  $('port').addEventListener('change', () => refresh(false));
  onPortsChanged(() => {
    renderPort();
    const port = currentPort();
    const shown = shownPort === port && $('status-card').dataset.state !== 'stale';
    if (Boolean(port) && portIsOpen(port) !== shown) refresh(false);
  });
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState !== 'visible') clearTimeout(timer);
    else if (Date.now() - lastRefresh >= REFRESH_MS) refresh(false);
    else schedule();
  });
}
