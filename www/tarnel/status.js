// The modem status card: signal, network, operator, SIM and device of the port in use, read one query at a time every 30 s while the page is visible, with the signal of the last 30 minutes.
import {tarnel} from './bus.js';
import {addLogLine} from './log.js';
import * as modem from './modem.js';
import {onPortsChanged, portIsOpen, portsReachable} from './ports.js';
import {$, currentPort} from './ui.js';

const REFRESH_MS = 30 * 1000;
const CHART_SPAN_MS = 30 * 60 * 1000;
const CHART_MIN_SPAN_MS = 60 * 1000;
const QUERY_TIMEOUT = 5;
const NOT_REPORTED = 'not reported';

// Asked at every refresh, in this order, with the prefix of their answers.
const LIVE_QUERIES = {
  'AT+CSQ': '+CSQ:', 'AT+CESQ': '+CESQ:', 'AT+CREG?': '+CREG:', 'AT+CGREG?': '+CGREG:', 'AT+CEREG?': '+CEREG:',
  'AT+C5GREG?': '+C5GREG:', 'AT+COPS?': '+COPS:', 'AT+CPIN?': '+CPIN:',
};
// Where EF_ICCID cannot be read, modems have their own commands.
const ICCID_COMMANDS = ['AT+CCID', 'AT+QCCID', 'AT+ICCID'];

const identities = new Map(); // port -> what does not change: maker, model, firmware, IMEI, ICCID
const unsupported = new Map(); // port -> commands the modem answered plain ERROR to
let running = false;
let busy = false;
let timer = null;
let shownPort = null; // whose status the card shows
let lastRefresh = 0;

class PortGone extends Error {}
class NoAnswer extends Error {}

// One query, never more than one at a time on the port; null when the
// modem has no answer for it. A port closed meanwhile is not asked: asking
// would open it again.
async function ask(port, command) {
  const skip = unsupported.get(port) || new Set();
  if (skip.has(command)) return null;
  if (!running || !portIsOpen(port)) throw new PortGone();
  const reply = await tarnel('sendat', {at_port: port, at_cmd: command, timeout: QUERY_TIMEOUT});
  // A modem that does not answer would cost every query its timeout: the
  // round ends here, the next one tries again.
  if (reply.status === 'timeout') throw new NoAnswer(`the modem did not answer ${command} within ${QUERY_TIMEOUT} s`);
  if (reply.status === 'success' && reply.end_flag_matched === 'ERROR' && !/\+CM[ES] ERROR/.test(reply.response)) {
    skip.add(command);
    unsupported.set(port, skip);
  }
  return reply;
}

async function readIdentity(port) {
  const id = {
    maker: modem.infoOf(await ask(port, 'AT+CGMI'), '+CGMI:'),
    model: modem.infoOf(await ask(port, 'AT+CGMM'), '+CGMM:'),
    firmware: modem.infoOf(await ask(port, 'AT+CGMR'), '+CGMR:'),
    imei: modem.imeiOf(await ask(port, 'AT+CGSN')),
    iccid: modem.iccidFromCrsm(modem.valueOf(await ask(port, 'AT+CRSM=176,12258,0,0,10'), '+CRSM:')),
  };
  for (const command of ICCID_COMMANDS) {
    if (id.iccid) break;
    id.iccid = modem.iccidFromText(modem.infoOf(await ask(port, command), ''));
  }
  return id;
}

// A line the modem sent on its own while a query waited is that query's
// (the service's rule): it goes to the live log, where it would have gone.
function rescueUnsolicited(port, command, reply) {
  for (const line of modem.foreignLines(reply, LIVE_QUERIES[command]))
    addLogLine({port, line, during: command});
}

async function readLive(port) {
  const r = {};
  for (const command of Object.keys(LIVE_QUERIES)) {
    r[command] = await ask(port, command);
    rescueUnsolicited(port, command, r[command]);
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

function showBars(bars) {
  const el = $('signal-bars');
  el.dataset.bars = bars === null ? '' : String(bars);
  el.setAttribute('aria-label', bars === null ? 'signal bars not reported' : `${bars} of 4 bars`);
  [...el.children].forEach((bar, i) => bar.classList.toggle('on', bars !== null && i < bars));
}

function renderLive(live) {
  const s = live.signal;
  show('signal-dbm', s && s.text, live.csq === null ? '' : `+CSQ: ${live.csq}`);
  $('signal-words').textContent = s ? s.words : '';
  showBars(s ? s.bars : null);
  const lte = live.lte ? [live.lte.rsrp && `RSRP ${live.lte.rsrp}`, live.lte.rsrq && `RSRQ ${live.lte.rsrq}`] : [];
  $('signal-lte').textContent = lte.filter(Boolean).join(' · ');
  show('st-network', live.registration && live.registration.text);
  $('st-network-detail').textContent = live.registration && live.registration.detail
    ? `on ${live.registration.detail}` : '';
  show('st-operator', live.operator && live.operator.name);
  show('st-tech', live.operator && live.operator.tech);
  show('st-sim', live.sim);
}

function renderIdentity(id) {
  show('st-model', [id.maker, id.model].filter(Boolean).join(' '));
  show('st-firmware', id.firmware && `Firmware ${id.firmware}`);
  show('st-imei', id.imei && `IMEI ${id.imei}`);
  show('st-iccid', id.iccid && `ICCID ${id.iccid}`);
}

function note(text) {
  $('status-note').textContent = text;
  $('status-note').hidden = !text;
}

function clearCard(message) {
  for (const id of ['signal-dbm', 'st-network', 'st-operator', 'st-tech', 'st-sim', 'st-model',
                    'st-firmware', 'st-imei', 'st-iccid'])
    show(id, '', '');
  for (const id of ['signal-words', 'signal-lte', 'st-network-detail']) $(id).textContent = '';
  showBars(null);
  $('status-card').dataset.state = 'idle';
  note(message);
}

function whyNotUpdated(e, port) {
  if (e instanceof PortGone) return `${port} is not open.`;
  if (e.kind === 'unreachable' || e.kind === 'network') return 'Not updated: see the notice above.';
  return `Not updated: ${e.message}`;
}

function stale(why) {
  $('status-card').dataset.state = 'stale';
  note(why);
}

function schedule() {
  clearTimeout(timer);
  if (running && document.visibilityState === 'visible') timer = setTimeout(() => refresh(false), REFRESH_MS);
}

// Reads the port in use and shows it; full: the identity and the queries
// the modem refused before are asked again.
async function refresh(full) {
  if (busy || !running) return;
  const port = currentPort();
  if (!portsReachable()) {
    if (shownPort) stale('Not updated while the modem service cannot be reached.');
    schedule();
    return;
  }
  if (!port || !portIsOpen(port)) {
    shownPort = null;
    clearCard(port ? `Open ${port} to see its modem's status.` : 'Choose the port in use to see its modem\'s status.');
    schedule();
    return;
  }
  busy = true;
  if (shownPort !== port) {
    clearCard('Reading the modem…');
    drawChart(port);
  }
  $('status-card').dataset.state = 'reading';
  shownPort = port;
  if (full) {
    identities.delete(port);
    unsupported.delete(port);
  }
  try {
    const live = await readLive(port);
    if (!identities.has(port)) identities.set(port, await readIdentity(port));
    if (live.signal) recordSignal(port, live.signal.dbm);
    if (currentPort() === port) {
      renderLive(live);
      renderIdentity(identities.get(port));
      drawChart(port);
      $('status-updated').textContent = `Updated ${new Date().toLocaleTimeString()}; every 30 s while shown`;
      $('status-card').dataset.state = 'current';
      note('');
    }
    lastRefresh = Date.now();
  } catch (e) {
    // The service is away (the banner and the ports say so) or the port
    // closed: the values shown are not current any more.
    if (currentPort() === port) stale(whyNotUpdated(e, port));
  } finally {
    busy = false;
    schedule();
  }
  // The port changed while this one was read.
  if (running && currentPort() !== port) refresh(false);
}

export function startStatus() {
  running = true;
  refresh(false);
}

export function stopStatus() {
  running = false;
  clearTimeout(timer);
}

export function setupStatus() {
  $('status-refresh').addEventListener('click', () => refresh(true));
  $('port').addEventListener('change', () => refresh(false));
  onPortsChanged(() => {
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
