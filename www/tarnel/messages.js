// The messages card: the inbox of the port in use (sms_list, merged long messages, unread marked, select and
// delete with sms_delete), compose (sms_send, with the characters left and the parts it takes), and USSD (ussd).
import {ConsoleError, replyError, tarnel} from './bus.js';
import {$, currentPort, withResult} from './ui.js';

// The GSM 7-bit default alphabet, and its extension table (each character there takes two septets).
const GSM7 = '@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !"#¤%&\'()*+,-./0123456789:;<=>?' +
             '¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà';
const GSM7_EXTENSION = '\f^{}\\[~]|€';

// What a text costs: GSM 7-bit when every character is in the alphabet or its extension (those count 2), else
// UCS2 (a character outside the basic plane, a surrogate pair, counts 2). One part holds 160 septets or 70
// units; a long message 153 or 67 per part, never splitting an escape or a pair. At most 10 parts.
export function smsCost(text) {
  let gsm = true;
  const sizes = [];
  for (const ch of text) {
    if (GSM7.includes(ch)) sizes.push(1);
    else if (GSM7_EXTENSION.includes(ch)) sizes.push(2);
    else gsm = false;
  }
  const units = gsm ? sizes : Array.from(text, (ch) => (ch.codePointAt(0) > 0xffff ? 2 : 1));
  const single = gsm ? 160 : 70, each = gsm ? 153 : 67;
  const total = units.reduce((a, b) => a + b, 0);
  if (total <= single) return {encoding: gsm ? 'GSM 7-bit' : 'UCS2', parts: total ? 1 : 0, left: single - total};
  let parts = 1, used = 0;
  for (const u of units) {
    if (used + u > each) {
      parts++;
      used = 0;
    }
    used += u;
  }
  return {encoding: gsm ? 'GSM 7-bit' : 'UCS2', parts, left: each - used};
}

function showCost() {
  const cost = smsCost($('sms-text').value);
  const parts = cost.parts === 1 ? '1 part' : `${cost.parts} parts`;
  $('sms-count').textContent = `${cost.left} characters left, ${parts} (${cost.encoding})`;
  $('sms-count').classList.toggle('bad', cost.parts > 10);
}

function port(resultId) {
  const p = currentPort(resultId);
  if (!p) throw new ConsoleError('Enter the port first (for example /dev/ttyUSB2).', 'input');
  return p;
}

function when(iso) {
  const date = new Date(iso);
  return Number.isNaN(date.getTime()) ? iso : date.toLocaleString();
}

function cell(text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

// Listing marks new messages read at the modem, and the inbox lists again at each part of a long message that
// arrives: what was new stays marked in this page until it is deleted.
const unread = new Set();
const messageKey = (m) => `${m.from || m.to || ''}|${m.time || ''}|${m.indexes[0]}`;

function showInbox(reply) {
  // A listing that comes while the user ticks messages keeps what they ticked.
  const ticked = new Set([...$('inbox-lines').querySelectorAll('tr')]
    .filter((tr) => tr.querySelector('input').checked).map((tr) => tr.dataset.key));
  const rows = reply.messages.map((m) => {
    const tr = document.createElement('tr');
    tr.dataset.indexes = m.indexes.join(',');
    tr.dataset.key = messageKey(m);
    if (m.status === 'unread') unread.add(messageKey(m));
    const isNew = unread.has(messageKey(m));
    if (isNew) tr.classList.add('unread');
    const pick = document.createElement('input');
    pick.type = 'checkbox';
    pick.checked = ticked.has(messageKey(m));
    pick.setAttribute('aria-label', `Select message ${m.indexes.join(', ')}`);
    const first = document.createElement('td');
    first.append(pick);
    const who = m.from || (m.to ? `to ${m.to}` : '');
    let text = m.error ? `Cannot be read: ${m.error}` : m.text;
    if (!m.error && !m.complete) text += ` (${m.parts} parts of a longer message so far)`;
    tr.append(first, cell(who, 'who'), cell(m.time ? when(m.time) : '', 'when'), cell(text, 'text'),
              cell(isNew ? 'new' : m.status, 'state'));
    return tr;
  });
  $('inbox-lines').replaceChildren(...rows);
  $('inbox-empty').hidden = rows.length > 0;
  const s = reply.storage;
  $('inbox-storage').textContent = s ? `${s.used} of ${s.total} used` : '';
}

async function refreshInbox() {
  await withResult('inbox-result', async () => {
    const reply = await tarnel('sms_list', {at_port: port('inbox-result')});
    if (reply.status !== 'success') throw replyError(reply);
    showInbox(reply);
    const n = reply.messages.length;
    return n === 1 ? '1 message.' : `${n} messages.`;
  });
}

async function deleteSelected() {
  const picked = [...$('inbox-lines').querySelectorAll('tr')].filter((tr) => tr.querySelector('input').checked);
  const indexes = picked.flatMap((tr) => tr.dataset.indexes.split(',').map(Number));
  if (!indexes.length) {
    $('inbox-result').textContent = 'Select the messages to delete first.';
    return;
  }
  await withResult('inbox-result', async () => {
    const reply = await tarnel('sms_delete', {at_port: port('inbox-result'), indexes});
    const failed = reply.failed || [];
    for (const tr of picked) if (!failed.includes(Number(tr.dataset.indexes.split(',')[0]))) unread.delete(tr.dataset.key);
    if (reply.status !== 'success' && !reply.deleted) throw replyError(reply);
    const listed = await tarnel('sms_list', {at_port: port('inbox-result')});
    if (listed.status === 'success') showInbox(listed);
    if (failed.length) throw new ConsoleError(`Not deleted: ${failed.join(', ')} (${reply.message}).`, 'reply');
    return 'Deleted.';
  });
}

async function sendMessage(event) {
  event.preventDefault();
  await withResult('sms-result', async () => {
    const to = $('sms-number').value.trim();
    const text = $('sms-text').value;
    if (!/^\+?[0-9]{3,20}$/.test(to))
      throw new ConsoleError('The number may hold only digits, with a + in front.', 'input');
    if (smsCost(text).parts > 10) throw new ConsoleError('The text is too long: at most 10 parts.', 'input');
    const reply = await tarnel('sms_send', {at_port: port('sms-result'), to, text});
    if (reply.status !== 'success') {
      const sent = reply.parts_sent ? ` (${reply.parts_sent} of ${reply.parts} parts went out)` : '';
      throw new ConsoleError(`Not sent: ${reply.message}${sent}.`, 'reply');
    }
    const refs = reply.references.join(', ');
    return `Message sent to ${to} in ${reply.parts === 1 ? '1 part' : `${reply.parts} parts`} (reference ${refs}).`;
  });
}

async function sendUssd(event) {
  event.preventDefault();
  await withResult('ussd-result', async () => {
    const code = $('ussd-code').value.trim();
    if (!code) throw new ConsoleError('Enter a code (for example *100#).', 'input');
    const reply = await tarnel('ussd', {at_port: port('ussd-result'), code});
    if (reply.status === 'timeout') throw new ConsoleError('The network did not answer.', 'reply');
    if (reply.status !== 'success') throw replyError(reply);
    $('ussd-answer').textContent = reply.text;
    const waits = reply.state === 1;
    $('ussd-code').value = '';
    $('ussd-code').placeholder = waits ? 'Your reply' : '*100#';
    $('ussd-code').focus();
    return waits ? 'The network waits for your reply.' : 'Done.';
  });
}

// A new message at the port in use: the inbox is read again (its "+CMTI: ..." line).
export function messageNotification(note) {
  if (/^\+CMTI:/.test(note.line || '') && !note.late && note.port === currentPort()) refreshInbox();
}

export function setupMessages() {
  $('sms-form').addEventListener('submit', sendMessage);
  $('sms-text').addEventListener('input', showCost);
  $('inbox-refresh').addEventListener('click', refreshInbox);
  $('inbox-delete').addEventListener('click', deleteSelected);
  $('ussd-form').addEventListener('submit', sendUssd);
  showCost();
}
