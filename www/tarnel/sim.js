// The SIM's PIN: the form the SIM tile offers while the SIM asks for its PIN, or for its PUK and a new PIN. A PIN goes out once per click and is never kept: not in the history, not in the transcript, not in a field once sent.
import {tarnel} from './bus.js';
import {showReply} from './console.js';
import {failureWords, modemFailure, simCode} from './modem.js';
import {$} from './ui.js';

// Checking a PIN takes the SIM a moment; some take seconds.
const PIN_TIMEOUT = 20;

let onChanged = () => {};
let formPort = null; // whose SIM the form is for
let sending = false;

function result(text, ok) {
  $('pin-result').textContent = text;
  $('pin-result').className = `result ${ok === undefined ? '' : ok ? 'ok' : 'bad'}`;
}

// code: what AT+CPIN? said ("SIM PIN", "SIM PUK", "READY"); the form is
// shown for the first two only.
export function showSim(port, code, tries) {
  const puk = code === 'SIM PUK';
  const locked = code === 'SIM PIN' || puk;
  if (!locked || port !== formPort) result('');
  formPort = locked ? port : null;
  $('pin-form').hidden = !locked;
  if (!locked) return;
  $('pin-form').dataset.mode = puk ? 'puk' : 'pin';
  $('pin-puk-row').hidden = !puk;
  $('pin-puk').required = puk;
  $('pin-code-label').textContent = puk ? 'New PIN' : 'PIN';
  $('pin-submit').textContent = puk ? 'Unblock' : 'Unlock';
  $('pin-help').textContent = (puk ? 'The PUK is 8 digits, from the SIM\'s card; the new PIN 4 to 8.'
                                   : 'The PIN is 4 to 8 digits.') +
      (tries === undefined ? '' : ` ${tries} ${tries === 1 ? 'try' : 'tries'} left.`);
}

function clearFields() {
  $('pin-code').value = '';
  $('pin-puk').value = '';
}

// After a timeout the PIN may have been taken: the SIM's state is read
// before anything else, and the PIN is not sent again.
async function readState(port) {
  try {
    const reply = await tarnel('sendat', {at_port: port, at_cmd: 'AT+CPIN?', timeout: 5});
    const code = simCode(reply);
    return code === 'READY' ? 'The SIM is ready now: the PIN was taken.'
         : code ? `The SIM says ${code}.` : 'The SIM\'s state could not be read.';
  } catch (e) {
    return `The SIM's state could not be read: ${e.message}`;
  }
}

async function submitPin(event) {
  event.preventDefault();
  if (sending || !formPort) return;
  const port = formPort;
  const puk = $('pin-form').dataset.mode === 'puk';
  const pin = $('pin-code').value;
  const code = $('pin-puk').value;
  if (!/^\d{4,8}$/.test(pin)) {
    result(puk ? 'The new PIN must be 4 to 8 digits.' : 'The PIN must be 4 to 8 digits.', false);
    return;
  }
  if (puk && !/^\d{8}$/.test(code)) {
    result('The PUK must be 8 digits.', false);
    return;
  }
  const command = puk ? `AT+CPIN="${code}","${pin}"` : `AT+CPIN="${pin}"`;
  clearFields();
  sending = true;
  $('pin-submit').disabled = true;
  result('Sending…');
  try {
    const reply = await tarnel('sendat', {at_port: port, at_cmd: command, timeout: PIN_TIMEOUT});
    showReply(port, command, reply);
    if (reply.status === 'timeout') {
      result(`No answer within ${PIN_TIMEOUT} s; the PIN was not sent again. ${await readState(port)}`, false);
    } else if (reply.status !== 'success') {
      result(`Not sent: ${reply.message || 'the service reported an error'}.`, false);
    } else {
      const failure = modemFailure(reply);
      result(failure ? `Refused: ${failureWords(failure)}.` : puk ? 'Unblocked; the new PIN is set.' : 'PIN accepted.',
             !failure);
    }
  } catch (e) {
    showReply(port, command, e);
    result(e.message, false);
  } finally {
    sending = false;
    $('pin-submit').disabled = false;
  }
  onChanged(port);
}

export function setupSim(changed) {
  onChanged = changed;
  $('pin-form').addEventListener('submit', submitPin);
}
