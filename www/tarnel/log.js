// The live log card: the lines the modem sent on its own, as the live stream brings them.
import {visible} from './modem.js';

const LOG_MAX = 500;
const $ = (id) => document.getElementById(id);

function tag(text, className) {
  const span = document.createElement('span');
  span.className = className;
  span.textContent = text;
  return span;
}

// One "urc" notification: {port, line, late?, dropped?}; or a line found
// in the answer of the status card's query `during`.
export function addLogLine(note) {
  const item = document.createElement('li');
  const time = document.createElement('time');
  const now = new Date();
  time.dateTime = now.toISOString();
  time.textContent = now.toLocaleTimeString();
  const line = document.createElement('code');
  line.textContent = visible(note.line || '');
  item.append(time, ' ', line);
  if (note.late) item.append(' ', tag('late answer', 'tag'));
  if (note.dropped) item.append(' ', tag(`${note.dropped} lines dropped before this one`, 'tag bad'));
  if (note.during) item.append(' ', tag(`came with the answer to ${note.during}`, 'tag'));
  item.append(' ', tag(note.port, 'port'));
  const list = $('log-lines');
  list.append(item);
  while (list.children.length > LOG_MAX) list.firstElementChild.remove();
  list.scrollTop = list.scrollHeight;
}

export function setupLog() {
  $('log-clear').addEventListener('click', () => $('log-lines').replaceChildren());
}
