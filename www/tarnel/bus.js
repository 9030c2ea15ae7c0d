// Bus calls through the router web server's JSON-RPC endpoint (POST /ubus), the login session they carry, and their failures in words.

export const ANONYMOUS = '0'.repeat(32);
export const OBJECT = 'tarnel';

export const session = {
  sid: sessionStorage.getItem('tarnel.sid') || ANONYMOUS,
};

// Tells the page what the calls found out:
//   'session-lost' (detail: the message): the login is gone, ask for the password;
//   'reachable' (detail: {ok, message, short}): whether the modem service
//   answers; message says what to do, short names what is away.
export const busEvents = new EventTarget();

export const UNREACHABLE = 'The modem service cannot be reached: it is stopped, or the web server lost its ' +
    'connection to the bus. If the service is running, restarting the web server and the session daemon ' +
    '(uhttpd and rpcd) helps.';
export const EXPIRED = 'Your session has expired. Log in again.';
export const NO_WEB_SERVER = 'The web server cannot be reached.';

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
export const INVALID_DATA = DAEMON_HINTS['Invalid data'];

export class ConsoleError extends Error {
  // kind: denied, expired, unreachable, timeout, network, refused, status, reply, input
  constructor(message, kind) {
    super(message);
    this.kind = kind;
  }
}

export function statusError(status) {
  return new ConsoleError(BUS_STATUS[status] || `Bus status ${status}`, 'status');
}

// A daemon reply with "status": "error", in words.
export function replyError(reply) {
  const hint = DAEMON_HINTS[reply.message];
  return new ConsoleError(hint ? `${reply.message}. ${hint}` : reply.message || 'The modem service reported an error.',
                          'reply');
}

let rpcId = 0;

// One JSON-RPC request; the answer's body, whatever it says.
async function post(method, params) {
  let res;
  try {
    res = await fetch('/ubus', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({jsonrpc: '2.0', id: ++rpcId, method, params}),
    });
  } catch (e) {
    throw new ConsoleError(NO_WEB_SERVER, 'network');
  }
  try {
    return await res.json();
  } catch (e) {
    throw new ConsoleError(`The web server's answer is not JSON (HTTP ${res.status}).`, 'refused');
  }
}

// Whether the session still lets us list the ports: 'ok', 'expired',
// 'unreachable', or 'network'. -32002 alone cannot tell a session that
// expired from one that may not make a call; "list" is the call every
// login of the console's access group may make.
export async function probeSession() {
  try {
    const body = await post('call', [session.sid, OBJECT, 'list', {}]);
    if (!body.error) return 'ok';
    if (body.error.code === -32000) return 'unreachable';
    return body.error.code === -32002 ? 'expired' : 'refused';
  } catch (e) {
    return 'network';
  }
}

async function callError(error, object, method) {
  switch (error.code) {
    case -32002: {
      if (session.sid === ANONYMOUS) return new ConsoleError('Log in to use the modem console.', 'denied');
      const probe = object === OBJECT && method === 'list' ? 'expired' : await probeSession();
      if (probe === 'expired') return new ConsoleError(EXPIRED, 'expired');
      if (probe === 'unreachable') return new ConsoleError(UNREACHABLE, 'unreachable');
      return new ConsoleError(`Access denied: this login may not use ${object} (${method}).`, 'denied');
    }
    case -32000:
      if (object === 'session')
        return new ConsoleError('The router\'s session service cannot be reached: the web server lost its ' +
                                'connection to the bus. Restarting the web server and the session daemon ' +
                                '(uhttpd and rpcd) helps.', 'unreachable');
      return new ConsoleError(object === OBJECT ? UNREACHABLE : `The bus has no object "${object}".`, 'unreachable');
    case -32003:
      return new ConsoleError('Bus timeout: the web server stopped waiting for the answer.', 'timeout');
    default:
      return new ConsoleError(`The web server refused the request: ${error.message} (${error.code}).`, 'refused');
  }
}

// A method's reply table; a bus status other than 0 is an error.
export async function call(object, method, args) {
  const body = await post('call', [session.sid, object, method, args || {}]);
  if (body.error) throw await callError(body.error, object, method);
  const [status, data] = body.result || [];
  if (status !== 0) throw statusError(status);
  return data || {};
}

export function reachable(ok, message) {
  const short = message === NO_WEB_SERVER ? 'the web server cannot be reached'
                                          : 'the modem service cannot be reached';
  busEvents.dispatchEvent(new CustomEvent('reachable', {detail: {ok, message: message || '', short}}));
}

export function sessionLost(message) {
  busEvents.dispatchEvent(new CustomEvent('session-lost', {detail: message || EXPIRED}));
}

// A call on the modem service; what it shows about the service and the
// session is told to the page.
export async function tarnel(method, args) {
  try {
    const reply = await call(OBJECT, method, args);
    reachable(true);
    return reply;
  } catch (e) {
    if (e.kind === 'expired') sessionLost(e.message);
    if (e.kind === 'unreachable' || e.kind === 'network') reachable(false, e.message);
    throw e;
  }
}

export function saveSession(sid) {
  session.sid = sid;
  if (sid === ANONYMOUS) sessionStorage.removeItem('tarnel.sid');
  else sessionStorage.setItem('tarnel.sid', sid);
}

// Logs in; throws with the reason in words.
export async function login(username, password) {
  const body = await post('call', [ANONYMOUS, 'session', 'login', {username, password}]);
  if (body.error) throw await callError(body.error, 'session', 'login');
  const [status, data] = body.result || [];
  if (status === 6) throw new ConsoleError('Wrong user name or password.', 'denied');
  if (status === 2) throw new ConsoleError('Enter the user name and the password.', 'input');
  if (status !== 0 || !data || !data.ubus_rpc_session) throw statusError(status);
  saveSession(data.ubus_rpc_session);
}

// Ends the session at the server; throws when it stays alive there. A
// session that expired meanwhile counts as ended.
export async function logout() {
  const body = await post('call', [session.sid, 'session', 'destroy', {}]);
  if (body.error) {
    if (body.error.code === -32002 && await probeSession() === 'expired') return;
    if (body.error.code === -32002)
      throw new ConsoleError('Logout failed: the router refused to end the session (access denied: this ' +
                             'login\'s access group does not grant "session" "destroy"). The session stays ' +
                             'valid until it goes unused for its timeout.', 'denied');
    throw new ConsoleError(`Logout failed: ${(await callError(body.error, 'session', 'destroy')).message}`,
                           'refused');
  }
  const [status] = body.result || [];
  if (status !== 0) throw new ConsoleError(`Logout failed: ${statusError(status).message}.`, 'status');
}
