// The text message card: sends a message from the port in use in text mode (AT+CMGF=1, then AT+CMGS with the text at the modem's prompt).
import {ConsoleError, INVALID_DATA, replyError, tarnel} from './bus.js';
import {failureWords, modemFailure, visible} from './modem.js';
import {$, currentPort, withResult} from './ui.js';

const SMS_TIMEOUT = 30;

function refusal(what, reply) {
  const failure = modemFailure(reply);
  const answer = visible(reply.response || '').trim();
  return new ConsoleError(failure ? `${what}: ${failureWords(failure)}.` : `${what}: ${answer || 'no answer'}`,
                          'reply');
}

async function sendMessage(event) {
  event.preventDefault();
  const port = currentPort('sms-result');
  if (!port) return;
  const number = $('sms-number').value.trim();
  const text = $('sms-text').value;
  await withResult('sms-result', async () => {
    if (!/^\+?[0-9]{3,20}$/.test(number))
      throw new ConsoleError('The number may hold only digits, with a + in front.', 'input');
    if (/[\x1a\x1b]/.test(text)) throw new ConsoleError(INVALID_DATA, 'input');
    const mode = await tarnel('sendat', {at_port: port, at_cmd: 'AT+CMGF=1', timeout: 5});
    if (mode.status === 'error') throw replyError(mode);
    if (mode.status !== 'success' || mode.end_flag_matched !== 'OK')
      throw refusal('The modem did not switch to text mode (AT+CMGF=1)', mode);
    const reply = await tarnel('sendat', {at_port: port, at_cmd: `AT+CMGS="${number}"`, data: text,
                                          timeout: SMS_TIMEOUT});
    if (reply.status === 'error') throw replyError(reply);
    if (reply.status === 'timeout')
      throw new ConsoleError(`Command timeout: the modem did not confirm the message within ${SMS_TIMEOUT} s. ` +
                             `Received: ${visible(reply.partial_response || '').trim() || 'nothing'}`, 'reply');
    if (!reply.data_sent || reply.end_flag_matched !== 'OK') throw refusal('The modem refused the message', reply);
    const ref = /\+CMGS: *(\d+)/.exec(reply.response);
    return `Message sent to ${number}` + (ref ? ` (reference ${ref[1]}).` : '.');
  });
}

export function setupMessages() {
  $('sms-form').addEventListener('submit', sendMessage);
  $('sms-text').addEventListener('input', () => {
    $('sms-count').textContent = `${$('sms-text').value.length} / 160`;
  });
}
