// What a modem's answers mean: final results and error codes in words, and the status queries' values (signal, registration, operator, SIM, identity).

// A command that ended on one of these did not do what was asked.
const FAILURES = {
  'ERROR': 'the modem did not accept the command (unknown, malformed, or not allowed now)',
  'NO CARRIER': 'no connection was made, or it ended',
  'BUSY': 'the number called is busy',
  'NO ANSWER': 'the number called did not answer',
  'NO DIALTONE': 'no dial tone: there is no network for the call',
};

// 3GPP TS 27.007 equipment errors, the ones modems give most.
const CME_ERRORS = {
  0: 'phone failure', 1: 'no connection to phone', 3: 'operation not allowed', 4: 'operation not supported',
  5: 'PH-SIM PIN required', 10: 'SIM not inserted', 11: 'SIM PIN required', 12: 'SIM PUK required',
  13: 'SIM failure', 14: 'SIM busy', 15: 'SIM wrong', 16: 'incorrect password', 17: 'SIM PIN2 required',
  18: 'SIM PUK2 required', 20: 'memory full', 21: 'invalid index', 22: 'not found', 23: 'memory failure',
  24: 'text string too long', 25: 'invalid characters in text string', 26: 'dial string too long',
  27: 'invalid characters in dial string', 30: 'no network service', 31: 'network timeout',
  32: 'network not allowed, emergency calls only', 100: 'unknown error',
};

// 3GPP TS 27.005 message service errors (300 and up; below are network causes).
const CMS_ERRORS = {
  1: 'unassigned number', 8: 'operator determined barring', 10: 'call barred', 21: 'message transfer rejected',
  27: 'destination out of service', 28: 'unidentified subscriber', 29: 'facility rejected',
  30: 'unknown subscriber', 38: 'network out of order', 41: 'temporary failure', 42: 'congestion',
  47: 'resources unavailable', 50: 'facility not subscribed', 69: 'facility not implemented',
  96: 'invalid mandatory information', 111: 'protocol error', 300: 'modem failure',
  301: 'message service of the modem reserved', 302: 'operation not allowed', 303: 'operation not supported',
  304: 'invalid PDU mode parameter', 305: 'invalid text mode parameter', 310: 'SIM not inserted',
  311: 'SIM PIN required', 312: 'PH-SIM PIN required', 313: 'SIM failure', 314: 'SIM busy', 315: 'SIM wrong',
  316: 'SIM PUK required', 317: 'SIM PIN2 required', 318: 'SIM PUK2 required', 320: 'memory failure',
  321: 'invalid memory index', 322: 'memory full', 330: 'message centre address unknown',
  331: 'no network service', 332: 'network timeout', 340: 'no acknowledgement expected', 500: 'unknown error',
};

// The modem's bytes as they came: line ends kept as lines, other control
// characters shown by their symbols.
export function visible(text) {
  return text.replace(/\r\n/g, '\n').replace(/[\x00-\x08\x0b-\x1f\x7f]/g,
      (c) => c === '\x7f' ? '\u2421' : String.fromCharCode(0x2400 + c.charCodeAt(0)));
}

const FINAL_LINE = /^(OK|ERROR|NO CARRIER|BUSY|NO ANSWER|NO DIALTONE|CONNECT( .*)?|\+CM[ES] ERROR:.*)$/;
const TEXT_HEADER = /^\+CM(GR|GL):/;

// The answer as the lines to show: the empty lines that CR LF framing puts
// around every line dropped, as are those of a modem that frames answers
// without them; inside a message's text an empty line is the writer's, and
// one of a run is kept (the one before the final result or the next
// message is framing again).
export function displayLines(response) {
  // An echo ends with the command's own CR, then the answer's CR LF.
  const lines = visible((response || '').replace(/\r+\n/g, '\n')).split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  const out = [];
  let inText = false;
  let blank = false;
  for (const line of lines) {
    const bare = line.trim();
    if (bare === '') {
      blank = inText;
      continue;
    }
    if (TEXT_HEADER.test(bare)) inText = true;
    else if (FINAL_LINE.test(bare)) inText = false;
    else if (blank) out.push('');
    blank = false;
    out.push(line);
  }
  return out;
}

// Secrets never shown nor kept: the PIN or PUK of AT+CPIN=, the passwords
// of AT+CPWD=, wherever the text holds them (the command, its echo).
export function maskSecrets(text) {
  return (text || '').replace(/(AT\+C(?:PIN2?|PWD)=)[^\r\n]*/gi, '$1****');
}

export function isSecret(command) {
  return maskSecrets(command) !== command;
}

// A reply with its secrets masked, as the page shows it.
export function maskReply(reply) {
  const out = {...reply};
  for (const key of ['command', 'response', 'partial_response'])
    if (typeof out[key] === 'string') out[key] = maskSecrets(out[key]);
  return out;
}

// The answer's lines, without the echo of the command and empty lines.
export function answerLines(response) {
  return (response || '').split(/\r?\n|\r/).map((l) => l.trim()).filter((l) => l && !/^AT/i.test(l));
}

// "+CME ERROR: 10" in words; null for lines that are no such error, and
// for errors the modem gave in words already ("+CME ERROR: SIM not inserted").
export function explainErrorLine(line) {
  const m = /^\+(CME|CMS) ERROR:\s*(.*)$/.exec(line);
  if (!m) return null;
  const table = m[1] === 'CME' ? CME_ERRORS : CMS_ERRORS;
  const code = m[2].trim();
  if (code === '') return 'no reason given';
  if (!/^\d+$/.test(code)) return null; // verbose errors (AT+CMEE=2) are words already
  return table[Number(code)] || `error ${code} (not a standard code)`;
}

function isFailureFlag(flag) {
  return flag in FAILURES || /^\+(CME|CMS) ERROR/.test(flag);
}

// Whether a "success" reply (an end flag was seen) is the modem's error:
// null when it is not, else {line, text} with the final line and its
// meaning (null when the line says it in words). CONNECT and flags of the
// caller's own are successes.
export function modemFailure(reply) {
  const flag = reply.end_flag_matched || '';
  if (!isFailureFlag(flag)) return null;
  const lines = answerLines(reply.response);
  const line = [...lines].reverse().find((l) => l.includes(flag)) || flag;
  if (/^\+CM[ES] ERROR:/.test(line)) return {line, text: explainErrorLine(line)};
  return {line, text: FAILURES[flag] || 'the modem reported an error'};
}

// The failure as said once: "+CME ERROR: 10: SIM not inserted", but
// "+CME ERROR: SIM not inserted" as it came.
export function failureWords(failure) {
  return failure.text ? `${failure.line}: ${failure.text}` : failure.line;
}

// Whether the modem says it has no such command: +CME ERROR: 4 ("operation
// not supported"). A plain ERROR may be anything, a busy SIM included.
export function isUnsupported(reply) {
  if (!reply || reply.status !== 'success') return false;
  return answerLines(reply.response).some((l) => /^\+CME ERROR:\s*(0*4|operation not supported)\s*$/i.test(l));
}

// Every line of the answer starting with prefix, without it; [] unless OK.
export function valuesOf(reply, prefix) {
  if (!reply || reply.status !== 'success' || reply.end_flag_matched !== 'OK') return [];
  return answerLines(reply.response).filter((l) => l.startsWith(prefix)).map((l) => l.slice(prefix.length).trim());
}

// The first line of the answer starting with prefix ("+CSQ:"), without it;
// null when the modem did not answer OK or sent no such line.
export function valueOf(reply, prefix) {
  if (!reply || reply.status !== 'success' || reply.end_flag_matched !== 'OK') return null;
  const line = answerLines(reply.response).find((l) => l.startsWith(prefix));
  return line === undefined ? null : line.slice(prefix.length).trim();
}

// Unsolicited lines a query's answer took in: lines before the final one
// (those the command kept, and nobody was told of) that are neither the
// echo nor the query's own (prefix, "+CSQ:"), and look like result codes
// (RING, +NAME: ..., ^NAME: ...). Lines after the final one went out as
// unsolicited lines already.
export function foreignLines(reply, prefix) {
  if (!reply || reply.status !== 'success') return [];
  const lines = answerLines(reply.response);
  const final = lines.findIndex((l) => l.includes(reply.end_flag_matched));
  return lines.slice(0, final < 0 ? lines.length : final)
      .filter((l) => !l.startsWith(prefix) && /^(RING$|[+^][A-Z0-9]+:)/.test(l));
}

// An identity answer: its one information line, any "+CGMR:" style prefix
// or quotes dropped; null when there is none.
export function infoOf(reply, prefix) {
  if (!reply || reply.status !== 'success' || reply.end_flag_matched !== 'OK') return null;
  const line = answerLines(reply.response).find((l) => l !== 'OK');
  if (!line) return null;
  const bare = line.startsWith(prefix) ? line.slice(prefix.length) : line;
  return bare.trim().replace(/^"(.*)"$/, '$1') || null;
}

const fields = (text) => text.split(',').map((f) => f.trim().replace(/^"(.*)"$/, '$1'));

// +CSQ: <rssi>,<ber>: 0 is -113 dBm or less, 31 -51 dBm or more, 2 dB steps.
export function signalFromCsq(value) {
  if (value === null) return null;
  const rssi = Number(fields(value)[0]);
  if (!Number.isInteger(rssi) || rssi < 0 || rssi > 31) return null;
  const dbm = -113 + 2 * rssi;
  const bars = rssi >= 20 ? 4 : rssi >= 15 ? 3 : rssi >= 10 ? 2 : rssi >= 2 ? 1 : 0;
  const edge = rssi === 0 ? ' or less' : rssi === 31 ? ' or more' : '';
  return {rssi, dbm, bars, text: `${dbm} dBm${edge}`, words: ['no signal', 'poor', 'fair', 'good', 'excellent'][bars]};
}

// +CESQ: ...,<rsrq>,<rsrp>: RSRQ 0..34 is -20..-3 dB in half steps, RSRP
// 0..97 -140..-44 dBm (255: not known, as on a network that is not LTE).
export function lteFromCesq(value) {
  if (value === null) return null;
  const f = fields(value).map(Number);
  if (f.length < 6) return null;
  const [rsrq, rsrp] = [f[4], f[5]];
  const out = {};
  if (Number.isInteger(rsrp) && rsrp >= 0 && rsrp <= 97)
    out.rsrp = rsrp === 0 ? '-140 dBm or less' : rsrp === 97 ? '-44 dBm or more' : `${-141 + rsrp} dBm`;
  if (Number.isInteger(rsrq) && rsrq >= 0 && rsrq <= 34)
    out.rsrq = `${-20 + rsrq / 2} dB` + (rsrq === 0 ? ' or less' : rsrq === 34 ? ' or more' : '');
  return out.rsrp || out.rsrq ? out : null;
}

const DOMAINS = {'+CREG:': 'calls', '+CGREG:': 'packet data', '+CEREG:': 'LTE', '+C5GREG:': '5G'};

// The registration in words from the answers of AT+CREG?, AT+CGREG?,
// AT+CEREG? and AT+C5GREG? (prefix -> value or null): registered when any
// says 1 (home) or 5 (roaming), as a data-only LTE SIM registers with
// +CEREG alone; null when none answered.
export function registration(values) {
  const stats = [];
  for (const [prefix, value] of Object.entries(values)) {
    if (value === null || value === undefined) continue;
    const f = fields(value);
    const stat = Number(f.length > 1 ? f[1] : f[0]);
    if (Number.isInteger(stat)) stats.push({stat, domain: DOMAINS[prefix]});
  }
  if (!stats.length) return null;
  const on = (n) => stats.filter((s) => s.stat === n).map((s) => s.domain);
  if (on(1).length) return {registered: true, text: 'Registered, home network', detail: on(1).join(', ')};
  if (on(5).length) return {registered: true, text: 'Registered, roaming', detail: on(5).join(', ')};
  if (on(2).length) return {registered: false, text: 'Searching for a network', detail: ''};
  if (on(3).length) return {registered: false, text: 'Registration denied', detail: ''};
  return {registered: false, text: 'Not registered', detail: ''};
}

const ACCESS = {
  0: 'GSM', 2: 'UMTS', 3: 'EDGE', 4: 'HSDPA', 5: 'HSUPA', 6: 'HSPA', 7: 'LTE', 9: 'NB-IoT', 10: 'LTE (5G core)',
  11: '5G NR', 12: '5G', 13: 'LTE + 5G NR',
};

// +COPS: <mode>[,<format>,"<oper>"[,<AcT>]] -> {name, tech}; null when no
// operator is named.
export function operatorFromCops(value) {
  if (value === null) return null;
  const f = fields(value);
  if (f.length < 3 || !f[2]) return null;
  const act = f.length > 3 && f[3] !== '' ? ACCESS[Number(f[3])] || `technology ${f[3]}` : null;
  return {name: f[2], tech: act};
}

const SIM_STATES = {
  'READY': 'Ready', 'SIM PIN': 'Locked: PIN required', 'SIM PUK': 'Blocked: PUK required',
  'SIM PIN2': 'PIN2 required', 'SIM PUK2': 'PUK2 required', 'PH-SIM PIN': 'Locked to another device',
};

// The SIM's state from AT+CPIN?: its answer, or the equipment error that
// says what is wrong (no SIM: +CME ERROR: 10); null when neither tells.
export function simState(reply) {
  const value = valueOf(reply, '+CPIN:');
  if (value !== null) return SIM_STATES[value] || value;
  const failure = reply && reply.status === 'success' ? modemFailure(reply) : null;
  if (!failure || !failure.line.startsWith('+CME ERROR')) return null;
  const words = failure.text || failure.line.replace(/^\+CME ERROR:\s*/, '');
  return /^SIM not inserted$/i.test(words) ? 'No SIM inserted' : `SIM error: ${words}`;
}

// The SIM's own word from AT+CPIN? ("SIM PIN", "READY"); null otherwise.
export function simCode(reply) {
  return valueOf(reply, '+CPIN:');
}

// Tries left from AT+CPINR (+CPINR: SIM PIN,3,10): {'SIM PIN': 3, ...}.
export function pinTries(reply) {
  const tries = {};
  for (const value of valuesOf(reply, '+CPINR:')) {
    const f = fields(value);
    if (f.length > 1 && /^\d+$/.test(f[1])) tries[f[0]] = Number(f[1]);
  }
  return tries;
}

// An IPv6 address in its usual form (RFC 5952: lower case, the longest run
// of two or more zero groups as "::") from its 16 octets.
export function ipv6FromOctets(octets) {
  const groups = [];
  for (let i = 0; i < 16; i += 2) groups.push(((octets[i] << 8) | octets[i + 1]).toString(16));
  let best = [-1, 0];
  for (let i = 0; i < 8;) {
    let j = i;
    while (j < 8 && groups[j] === '0') j++;
    if (j - i > best[1]) best = [i, j - i];
    i = j > i ? j : i + 1;
  }
  if (best[1] < 2) return groups.join(':');
  return `${groups.slice(0, best[0]).join(':')}::${groups.slice(best[0] + best[1]).join(':')}`;
}

// The addresses of one +CGPADDR field: IPv4 as 4 dotted octets, IPv6 as 16
// (unless AT+CGPIAF made the modem write it with colons), both as 20 on
// some modems. {v4: [...], v6: [...]}; unset addresses (0.0.0.0) left out.
export function addressesOf(text) {
  const out = {v4: [], v6: []};
  for (const part of text.split(/\s+/).filter(Boolean)) {
    if (part.includes(':')) {
      out.v6.push(part.toLowerCase());
      continue;
    }
    const o = part.split('.').map(Number);
    if (!o.every((n) => Number.isInteger(n) && n >= 0 && n <= 255)) continue;
    if (o.length === 4 || o.length === 20) {
      if (o.slice(0, 4).some((n) => n)) out.v4.push(o.slice(0, 4).join('.'));
    }
    if (o.length === 16 || o.length === 20) {
      const v6 = o.slice(-16);
      if (v6.some((n) => n)) out.v6.push(ipv6FromOctets(v6));
    }
  }
  return out;
}

// The data contexts from AT+CGDCONT?, AT+CGACT? and AT+CGPADDR answers
// (their values, null when not read): [{cid, type, apn, active, v4, v6}]
// by context number; active is null when AT+CGACT? was not read.
export function dataContexts(defined, states, addresses) {
  const byCid = new Map();
  const get = (cid) => {
    if (!byCid.has(cid)) byCid.set(cid, {cid, type: null, apn: null, active: null, v4: [], v6: []});
    return byCid.get(cid);
  };
  for (const value of defined || []) {
    const f = fields(value);
    if (!/^\d+$/.test(f[0])) continue;
    const c = get(Number(f[0]));
    c.type = f[1] || null;
    c.apn = f[2] || null;
  }
  for (const value of states || []) {
    const f = fields(value);
    if (/^\d+$/.test(f[0]) && (f[1] === '0' || f[1] === '1')) get(Number(f[0])).active = f[1] === '1';
  }
  for (const value of addresses || []) {
    const f = fields(value);
    if (!/^\d+$/.test(f[0])) continue;
    const c = get(Number(f[0]));
    for (const a of f.slice(1)) {
      const found = addressesOf(a);
      c.v4.push(...found.v4);
      c.v6.push(...found.v6);
    }
  }
  return [...byCid.values()].sort((a, b) => a.cid - b.cid);
}

// The ICCID from EF_ICCID read with AT+CRSM=176,12258,0,0,10:
// +CRSM: 144,0,"<20 hex digits>", each digit pair swapped, F padding.
export function iccidFromCrsm(value) {
  if (value === null) return null;
  const f = fields(value);
  if (f.length < 3 || f[0] !== '144' || !/^[0-9A-Fa-f]{20}$/.test(f[2])) return null;
  const swapped = f[2].replace(/(.)(.)/g, '$2$1').replace(/[Ff]+$/, '');
  return /^\d{18,20}$/.test(swapped) ? swapped : null;
}

// An ICCID the modem gives itself (AT+CCID and kin): its digits.
export function iccidFromText(value) {
  if (value === null) return null;
  const m = /(\d{18,20})/.exec(value);
  return m ? m[1] : null;
}

// An IMEI from AT+CGSN: 15 digits, bare or as +CGSN: "<imei>".
export function imeiOf(reply) {
  const text = infoOf(reply, '+CGSN:');
  const m = text && /^\d{14,17}$/.exec(text);
  return m ? m[0] : null;
}
