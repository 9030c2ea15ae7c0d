// The live stream: follows the object's notifications (GET /ubus/subscribe/tarnel), declares it dead after 45 s without a message, understands the server's refusals, and reconnects.
import {ANONYMOUS, NO_WEB_SERVER, OBJECT, UNREACHABLE, busEvents, probeSession, reachable, session, sessionLost}
    from './bus.js';

// The daemon says "alive" every 20 s while anyone follows it. A stream
// that brings nothing for longer is dead: the router's web server drops a
// subscription that goes quiet and leaves the stream open. Tests shorten
// the limit with ?dead-after=SECONDS.
const DEAD_AFTER_MS = 1000 * Math.max(2, Number(new URLSearchParams(location.search).get('dead-after')) || 45);
const RETRY_FIRST_MS = 1000;
const RETRY_MAX_MS = 5000;

let current = null; // AbortController of the stream being followed
let handlers = null;

function setState(state, text) {
  handlers.onState(state, text);
}

// Server-sent event blocks from buffer: [events, rest]. Blocks end with a
// blank line; fields "event:" and "data:", comments start with ":".
function takeEvents(buffer) {
  const events = [];
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
      const value = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
      if (field === 'event') type = value;
      else if (field === 'data') data.push(value);
    }
    if (data.length) events.push([type, data.join('\n')]);
  }
  return [events, buffer];
}

class StreamEnd extends Error {}

// Reads the answer to a subscription until it ends or goes silent for too
// long. The router's server refuses with a bare JSON object
// ({"code":-13,...}) in place of the events: that is returned.
async function readStream(res, connection) {
  const reader = res.body.getReader();
  const decoder = new TextDecoder();
  let buffer = '';
  let refusal = null;
  let timer = null;
  const watch = () => {
    clearTimeout(timer);
    timer = setTimeout(() => connection.abort(new StreamEnd('dead')), DEAD_AFTER_MS);
  };
  watch();
  try {
    for (;;) {
      const {value, done} = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, {stream: true});
      if (refusal !== null || /^\s*\{/.test(buffer)) {
        refusal = buffer;
        continue;
      }
      watch();
      let events;
      [events, buffer] = takeEvents(buffer.replace(/\r\n?/g, '\n'));
      for (const [type, data] of events) {
        let table;
        try {
          table = JSON.parse(data);
        } catch (e) {
          continue; // a malformed message is skipped; the stream goes on
        }
        handlers.onMessage(type, table);
      }
    }
  } finally {
    clearTimeout(timer);
  }
  if (refusal === null) return null;
  try {
    return JSON.parse(refusal);
  } catch (e) {
    return {code: null, message: refusal.trim()};
  }
}

// What a refusal means; 'stop' when following is over for this page.
async function refused(answer) {
  if (answer.code === -13) {
    const probe = await probeSession();
    if (probe === 'ok') {
      setState('off', 'Live log off: this login may not follow the live log ' +
                      '(its access group lacks ":subscribe" on tarnel)');
      return 'stop';
    }
    if (probe === 'expired') {
      sessionLost();
      return 'stop';
    }
    if (probe === 'unreachable') {
      reachable(false, UNREACHABLE);
      return 'the modem service cannot be reached.';
    }
    return 'the web server cannot be reached.';
  }
  if (answer.code === 4) {
    reachable(false, UNREACHABLE);
    return 'the modem service cannot be reached.';
  }
  return `the web server refused the live log: ${answer.message || 'no reason given'}.`;
}

// Waits before the next try; cut short when a call finds the service
// answering again.
function pause(ms, signal) {
  return new Promise((resolve) => {
    const done = () => {
      clearTimeout(timer);
      busEvents.removeEventListener('reachable', back);
      signal.removeEventListener('abort', done);
      resolve();
    };
    const back = (e) => e.detail.ok && done();
    const timer = setTimeout(done, ms);
    signal.addEventListener('abort', done);
    busEvents.addEventListener('reachable', back);
  });
}

// One subscription, followed to its end: why it ended, or 'stop'.
async function followOnce(control) {
  const connection = new AbortController();
  const stop = () => connection.abort();
  control.signal.addEventListener('abort', stop);
  try {
    const headers = session.sid === ANONYMOUS ? {} : {Authorization: `Bearer ${session.sid}`};
    const res = await fetch(`/ubus/subscribe/${OBJECT}`, {headers, signal: connection.signal, cache: 'no-store'});
    if ((res.headers.get('Content-Type') || '').startsWith('text/event-stream')) {
      setState('live', 'Live');
      handlers.onLive();
    }
    const answer = await readStream(res, connection);
    if (answer) return refused(answer);
    return 'the web server ended the live log.';
  } catch (e) {
    if (control.signal.aborted) return 'stop';
    if (connection.signal.reason instanceof StreamEnd)
      return `no message for ${DEAD_AFTER_MS / 1000} s: the live log had stopped.`;
    reachable(false, NO_WEB_SERVER);
    return 'the connection to the web server broke.';
  } finally {
    control.signal.removeEventListener('abort', stop);
  }
}

// Follows the notifications until stopStream, reconnecting after 1, 2,
// 4, then every 5 seconds. handlers: onMessage(type, data), onState(state,
// text) with state off, connecting, live or down, and onLive() once a
// stream is open (what changed meanwhile is to be read again).
export async function followStream(how) {
  stopStream();
  handlers = how;
  const control = new AbortController();
  current = control;
  let delay = RETRY_FIRST_MS;
  while (!control.signal.aborted) {
    setState('connecting', 'Connecting the live log…');
    const opened = Date.now();
    const why = await followOnce(control);
    if (why === 'stop' || control.signal.aborted) return;
    // A stream that ran a while was fine: the next try comes soon.
    if (Date.now() - opened >= DEAD_AFTER_MS) delay = RETRY_FIRST_MS;
    setState('down', `Interrupted: ${why} Reconnecting in ${delay / 1000} s.`);
    await pause(delay, control.signal);
    delay = Math.min(delay * 2, RETRY_MAX_MS);
  }
}

export function stopStream() {
  if (current) current.abort();
  current = null;
  if (handlers) setState('off', 'Live log off');
}
