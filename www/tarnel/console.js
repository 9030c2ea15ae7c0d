// The commands card: sends what is typed (or a one-click query) to the port in use and shows each answer as the modem sent it, the modem's errors as errors.
import {ConsoleError, replyError, tarnel} from './bus.js';
import {displayLines, failureWords, isSecret, maskReply, maskSecrets, modemFailure} from './modem.js';
import {$, currentPort} from './ui.js';

// The web server gives up on a call after 60 s; a command, and the wait for
// the commands queued before it, must end well before that.
export const TIMEOUT_MAX = 55;
const HISTORY_MAX = 50;

const history = JSON.parse(sessionStorage.getItem('tarnel.history') || '[]');
let historyAt = history.length;

// A command holding a PIN or password is never kept.
function remember(command) {
  if (isSecret(command)) return;
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

function timeoutSeconds() {
  const t = Math.round(Number($('timeout').value));
  if (!Number.isFinite(t) || t < 1 || t > TIMEOUT_MAX)
    throw new ConsoleError(`The timeout must be between 1 and ${TIMEOUT_MAX} seconds ` +
                           '(the web server waits at most 60 seconds).', 'input');
  return t;
}

// The transcript scrolls by itself to its newest entry; the page stays put.
function showLatest() {
  const t = $('transcript');
  t.scrollTop = t.scrollHeight;
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
  showLatest();
  return entry;
}

function setStatus(entry, text, ok) {
  const status = entry.querySelector('.status');
  status.textContent = text;
  status.className = `status ${ok ? 'ok' : 'bad'}`;
  entry.classList.toggle('failed', !ok);
}

function finishEntry(entry, reply) {
  let shown = '';
  if (reply.status === 'success') {
    const failure = modemFailure(reply);
    const after = `after ${reply.response_time_ms} ms`;
    if (failure) setStatus(entry, `Modem error: ${failureWords(failure)} (${after})`, false);
    else setStatus(entry, `Success: end flag "${reply.end_flag_matched || '(none)'}" ${after}`, true);
    shown = reply.response || '';
  } else if (reply.status === 'timeout') {
    shown = reply.partial_response || '';
    setStatus(entry, `Command timeout: no end flag within ${reply.timeout} s (${reply.response_time_ms} ms). ` +
                     (shown ? 'Received so far:' : 'Nothing was received.'), false);
  } else {
    setStatus(entry, `Error: ${replyError(reply).message}`, false);
  }
  if (shown) {
    const text = document.createElement('pre');
    text.className = 'answer';
    text.textContent = displayLines(shown).join('\n');
    entry.append(text);
  }
  showLatest();
}

// A reply of a command sent elsewhere on the page (the SIM's PIN), shown as
// the console's own, its secrets masked.
export function showReply(port, command, reply) {
  const entry = addEntry(port, maskSecrets(command));
  if (reply instanceof Error) setStatus(entry, reply.message, false);
  else finishEntry(entry, maskReply(reply));
}

export async function runCommand(command) {
  const port = currentPort('ports-result');
  if (!command || !port) return;
  remember(command);
  const entry = addEntry(port, maskSecrets(command));
  try {
    const args = {at_port: port, at_cmd: command, timeout: timeoutSeconds()};
    const flags = $('end-flags').value.trim();
    if (flags) args.end_flag = flags;
    finishEntry(entry, maskReply(await tarnel('sendat', args)));
  } catch (e) {
    setStatus(entry, e.message, false);
  }
}

function submitCommand(event) {
  event.preventDefault();
  const command = $('command').value.trim();
  $('command').value = '';
  runCommand(command);
}

export function setupConsole() {
  $('command-form').addEventListener('submit', submitCommand);
  $('command').addEventListener('keydown', browseHistory);
  for (const b of document.querySelectorAll('.quick button'))
    b.addEventListener('click', () => runCommand(b.dataset.command));
}
