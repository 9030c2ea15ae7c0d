// When the status card asks a query again that the modem did not answer: at
// the next refresh, until it has failed three times in a row; from then on
// at every fifth refresh. A modem that says it has no such command (+CME
// ERROR: 4) is asked again after ten minutes, as a firmware update or a SIM
// that came up may have changed its mind. Refreshes are counted, time is
// the caller's, so that the rules can be checked without waiting.

export const FAILS_BEFORE_BACKOFF = 3;
export const BACKOFF_EVERY = 5;
export const UNSUPPORTED_RETRY_MS = 10 * 60 * 1000;

// command -> {fails, round, since}: the failures in a row, the refresh
// that made the last one, and when the modem said it has no such command.
export function newPolicy() {
  return new Map();
}

export function shouldAsk(policy, command, round, now) {
  const s = policy.get(command);
  if (!s) return true;
  if (s.since !== null) return now - s.since >= UNSUPPORTED_RETRY_MS;
  return s.fails < FAILS_BEFORE_BACKOFF || round - s.round >= BACKOFF_EVERY;
}

// outcome: 'ok', 'failed' (any other answer, or none) or 'unsupported'.
export function record(policy, command, outcome, round, now) {
  if (outcome === 'ok') {
    policy.delete(command);
    return;
  }
  const s = policy.get(command) || {fails: 0, round, since: null};
  if (outcome === 'unsupported') policy.set(command, {fails: 0, round, since: now});
  else policy.set(command, {fails: s.since === null ? s.fails + 1 : 1, round, since: null});
}
