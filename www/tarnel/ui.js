// Small helpers every part of the page shares: element lookup, the result line under a form, the notice banner.

export const $ = (id) => document.getElementById(id);

// Runs work with "Working…" on the result line, then its text, or the
// error's in red.
export async function withResult(resultId, work) {
  const out = $(resultId);
  out.textContent = 'Working…';
  out.className = 'result';
  try {
    out.textContent = await work();
    out.className = 'result ok';
  } catch (e) {
    out.textContent = e.message;
    out.className = 'result bad';
  }
}

// kind names what the notice is about, so that only news on that clears it.
export function setNotice(text, kind = '') {
  $('notice').textContent = text;
  $('notice').dataset.kind = kind;
  $('notice').hidden = !text;
}

export function clearNotice(kind) {
  if ($('notice').dataset.kind === kind) setNotice('');
}

// The port every command goes to; empty (and said so) when not entered.
export function currentPort(resultId) {
  const port = $('port').value.trim();
  if (!port && resultId) {
    $(resultId).textContent = 'Enter the port first (for example /dev/ttyUSB2).';
    $('port').focus();
  }
  return port;
}
