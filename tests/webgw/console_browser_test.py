#!/usr/bin/python3
"""The modem console in a real browser.

Starts our broker, the simulated modem, the daemon and the web gateway in a
private directory, then drives the page in headless Chromium (Selenium) as
a user of the packaged access group would: log in, open the port and see it
listed, read the modem's status card (its data connection, a field that
failed coming back at the next refresh, a refresh clicked twice, the port's
other paths and users, a PIN and a PUK entered and never kept), ask for
the signal, see an ERROR
shown as the modem's error with the command box and the answer in view at
1280x800, watch a RING arrive in the live log, send a text message and find
it at the modem, hit a missing port, see the port list follow the modem
away and back, see the live log declared dead and reconnected when the
gateway silently drops its subscription, see the ports reported unknown
and the last reading kept on the status card while the daemon is away,
and log out for good. Saves desktop, phone and
status card screenshots.

The daemon's heartbeat (TARNEL_ALIVE_MS), the gateway's network timeout
(-n) and the page's dead-stream limit (?dead-after=) are shortened so that
nothing waits for their real 20, 30 and 45 seconds.

Exit status 0 on success, 1 on a failure, 77 when the browser is missing.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
DEADLINE = 15  # seconds for anything that should happen at once
RING_DEADLINE = 2  # a RING must show within this, as the console promises
NUMBER = "+15550100"
TEXT = "Hello from the browser, 42 % sure"
# 400 characters, UCS2 with an emoji: seven parts that come back as one.
LONG_TEXT = ("Zażółć gęślą jaźń 😀 " * 20)[:400]
ALIVE_MS = 1000  # the daemon's heartbeat
NETWORK_TIMEOUT = 2  # the gateway drops a subscription silent this long
DEAD_AFTER = 4  # the page gives a silent stream up after this long
ICCID = "8949020000123456789"  # the simulated modem's SIM


class Program:
    """A child process whose output lines are collected as they come."""

    def __init__(self, argv, env=None):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     env=dict(os.environ, **(env or {})))
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def wait_line(self, cond, deadline=DEADLINE):
        with self.changed:
            if not self.changed.wait_for(lambda: any(cond(l) for l in self.lines), deadline):
                raise AssertionError(f"{self.argv[0]} never printed the line; it printed {self.lines}")
            return next(l for l in self.lines if cond(l))

    def stop(self):
        """SIGTERM; the exit status (sanitizer reports make it non-zero)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()


def control(fifo, line):
    """One line to the simulated modem's control FIFO."""
    with open(fifo, "w") as f:
        f.write(line + "\n")


def wait_socket(path):
    end = time.monotonic() + DEADLINE
    while not os.path.exists(path):
        if time.monotonic() > end:
            raise AssertionError(f"no socket at {path}")
        time.sleep(0.02)


class Console:
    """The page, seen through the browser."""

    def __init__(self, driver):
        self.d = driver

    def el(self, css):
        return self.d.find_element(By.CSS_SELECTOR, css)

    def wait(self, what, cond, deadline=DEADLINE):
        """cond's first true value. The page redraws the port list as it
        pleases: an element that went meanwhile is looked for again."""
        try:
            return WebDriverWait(self.d, deadline, poll_frequency=0.05,
                                 ignored_exceptions=[StaleElementReferenceException]).until(lambda d: cond())
        except TimeoutException:
            raise AssertionError(f"the page never showed {what}") from None

    def text(self, css):
        return self.el(css).text

    def click(self, css, deadline=DEADLINE):
        """Clicks the element, found again if the page redrew it between
        finding and clicking (the inbox is listed again on every +CMTI)."""
        end = time.monotonic() + deadline
        while True:
            try:
                self.el(css).click()
                return
            except StaleElementReferenceException:
                if time.monotonic() > end:
                    raise

    def type_into(self, css, text):
        field = self.el(css)
        field.clear()
        field.send_keys(text)

    def last_entry(self):
        entries = self.d.find_elements(By.CSS_SELECTOR, "#transcript .entry")
        return entries[-1] if entries else None

    def wait_answer(self, command):
        """The transcript's entry for command once it has its status."""
        def done():
            e = self.last_entry()
            return e if e and command in e.text and "Waiting" not in e.text else None
        return self.wait(f"the answer to {command}", done)

    def port_row(self, port):
        """The cells of the port's row: path, state, settings."""
        for row in self.d.find_elements(By.CSS_SELECTOR, "#port-table tbody tr"):
            cells = [td.text for td in row.find_elements(By.TAG_NAME, "td")]
            if cells and cells[0] == port:
                return cells
        return [None] * 3

    def live_state(self):
        return self.el("#live-state").get_attribute("data-state")

    def quick(self, label):
        self.d.find_element(By.XPATH, f"//div[@class='quick']/button[text()='{label}']").click()

    def in_view(self, element):
        """Whether the element is wholly in view with the page unscrolled:
        inside the window and inside every box around it that scrolls."""
        return self.d.execute_script(
            "const r = arguments[0].getBoundingClientRect();"
            "if (window.scrollY !== 0 || r.height === 0 || r.top < 0 || r.bottom > window.innerHeight) return false;"
            "for (let p = arguments[0].parentElement; p; p = p.parentElement) {"
            "  if (getComputedStyle(p).overflowY === 'visible') continue;"
            "  const b = p.getBoundingClientRect();"
            "  if (r.top < b.top - 1 || r.bottom > b.bottom + 1) return false;"
            "}"
            "return true;", element)

    def port_state(self, port):
        return self.port_row(port)[1]


def make_driver(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-extensions", "--no-first-run", f"--window-size={width},{height}"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def page_errors(driver):
    """Script errors the page raised (network errors we provoke are not)."""
    return [e["message"] for e in driver.get_log("browser")
            if e["level"] == "SEVERE" and e.get("source") != "network"]


def screenshot(driver, path, width, phone):
    """The whole page from the top at the given width, as tall as its content."""
    metrics = {"width": width, "height": 800, "deviceScaleFactor": 1, "mobile": phone}
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    # The transcript is as tall as an 800-pixel window leaves room for; it
    # keeps that height when the window is made as tall as the page.
    driver.execute_script("const t = document.getElementById('transcript');"
                          "t.style.height = t.getBoundingClientRect().height + 'px';")
    metrics["height"] = driver.execute_script("return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    driver.execute_script("window.scrollTo(0, 0);"
                          "for (const c of document.querySelectorAll('.column')) c.scrollTop = 0;"
                          "const t = document.getElementById('transcript'); t.scrollTop = t.scrollHeight;")
    driver.save_screenshot(path)
    driver.execute_script("document.getElementById('transcript').style.height = ''")
    print(f"screenshot: {path}")
    return driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")


def bus_call(base, sid, obj, method, args):
    """A JSON-RPC call at the gateway, as a script on the router's origin would make it."""
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "call", "params": [sid, obj, method, args]}).encode()
    with urllib.request.urlopen(urllib.request.Request(base + "ubus", body), timeout=DEADLINE) as res:
        return json.load(res)


def check_answer_readings(driver, rng):
    """The page's reading of status answers against an oracle, on random
    answers: signal, ICCID, registration, which final results are the
    modem's errors, and which lines of a status query's answer came
    unsolicited (those before the final line; the ones after it are
    published by the daemon anyway)."""
    iccids = ["89" + "".join(rng.choice("0123456789") for _ in range(rng.randint(16, 18))) for _ in range(100)]
    crsm = ["144,0,\"" + "".join(b + a for a, b in zip(*[iter(i.ljust(20, "F"))] * 2)) + "\"" for i in iccids]
    regs = [{p: rng.choice([None, 0, 1, 2, 3, 4, 5]) for p in ("+CREG:", "+CGREG:", "+CEREG:", "+C5GREG:")}
            for _ in range(300)]
    flags = [rng.choice(["OK", "CONNECT", "READY", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE",
                         "+CME ERROR:", "+CMS ERROR:"]) for _ in range(100)]
    urcs = ["RING", '+CMTI: "SM",3', "+CREG: 1", "^MODE: 3,5"]
    answers = []
    for _ in range(100):
        before = rng.sample(urcs + ["+CSQ: 20,99"], rng.randint(0, 5))
        answers.append((before, rng.sample(urcs, rng.randint(0, 2))))
    replies = ["\r\n".join(["AT+CSQ"] + b + ["OK"] + a) + "\r\n" for b, a in answers]
    got = driver.execute_async_script("""
        const [crsm, regs, flags, replies, done] = arguments;
        import('./modem.js').then((m) => done({
          csq: [...Array(33).keys()].map((r) => m.signalFromCsq(`${r},99`)).concat([m.signalFromCsq('99,99')])
              .map((s) => s && s.dbm),
          iccid: crsm.map((v) => m.iccidFromCrsm(v)),
          reg: regs.map((r) => m.registration(Object.fromEntries(
              Object.entries(r).map(([k, v]) => [k, v === null ? null : `0,${v}`])))),
          failed: flags.map((f) => m.modemFailure({status: 'success', end_flag_matched: f,
                                                   response: `AT+X\\r\\n${f} 10\\r\\n`}) !== null),
          cme10: m.modemFailure({status: 'success', end_flag_matched: 'ERROR',
                                 response: 'AT+CPIN?\\r\\n+CME ERROR: 10\\r\\n'}).text,
          foreign: replies.map((r) => m.foreignLines({status: 'success', end_flag_matched: 'OK', response: r},
                                                     '+CSQ:')),
          words: ['+CME ERROR: 10', '+CME ERROR: SIM not inserted', 'ERROR'].map((line) => m.failureWords(
              m.modemFailure({status: 'success', end_flag_matched: 'ERROR', response: `AT+X\r\n${line}\r\n`}))),
          unsupported: ['+CME ERROR: 4', '+CME ERROR: operation not supported', 'ERROR', '+CME ERROR: 3',
                        '+CME ERROR: 14'].map((line) => m.isUnsupported(
              {status: 'success', end_flag_matched: 'ERROR', response: `AT+X\r\n${line}\r\n`})),
        }), (e) => done({error: String(e)}));
    """, crsm, regs, flags, replies)
    assert "error" not in got, got
    assert got["csq"] == [-113 + 2 * r for r in range(32)] + [None, None], got["csq"]
    assert got["iccid"] == iccids, [(a, b) for a, b in zip(iccids, got["iccid"]) if a != b][:3]
    for r, shown in zip(regs, got["reg"]):
        stats = [v for v in r.values() if v is not None]
        want = (None if not stats else "Registered, home network" if 1 in stats else "Registered, roaming"
                if 5 in stats else "Searching for a network" if 2 in stats else "Registration denied"
                if 3 in stats else "Not registered")
        assert (shown and shown["text"]) == want, (r, shown)
    errors = {"ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE", "+CME ERROR:", "+CMS ERROR:"}
    assert got["failed"] == [f in errors for f in flags], list(zip(flags, got["failed"]))
    assert got["cme10"] == "SIM not inserted", got["cme10"]
    assert got["words"] == ["+CME ERROR: 10: SIM not inserted", "+CME ERROR: SIM not inserted",
                            "ERROR: the modem did not accept the command (unknown, malformed, or not allowed now)"], \
        got["words"]
    assert got["unsupported"] == [True, True, False, False, False], got["unsupported"]
    want = [[line for line in b if line in urcs] for b, _ in answers]
    assert got["foreign"] == want, [(r, f) for r, f, w in zip(replies, got["foreign"], want) if f != w][:3]


def check_page_logic(driver):
    """Answers read alike in both framings, IPv6 in its usual form, PINs
    masked, and when a failed status query is asked again, on counted
    refreshes and a clock of the test's own."""
    got = driver.execute_async_script("""
        const done = arguments[0];
        Promise.all([import('./modem.js'), import('./retry.js')]).then(([m, r]) => {
          const plain = 'AT+CMGL="ALL"\\r\\n+CMGL: 1,"REC READ","+1555"\\r\\nfirst\\r\\n\\r\\n\\r\\nlast\\r\\nOK\\r\\n';
          const framed = 'AT+CMGL="ALL"\\r\\r\\n+CMGL: 1,"REC READ","+1555"\\r\\nfirst\\r\\n\\r\\nlast\\r\\n\\r\\nOK\\r\\n';
          const csq = ['AT+CSQ\\r\\n+CSQ: 20,99\\r\\nOK\\r\\n', 'AT+CSQ\\r\\r\\n+CSQ: 20,99\\r\\n\\r\\nOK\\r\\n']
              .map((response) => m.valueOf({status: 'success', end_flag_matched: 'OK', response}, '+CSQ:'));
          // One query failing on every refresh (1..40), then a modem that says
          // it has no such command, at one refresh a minute.
          const policy = r.newPolicy();
          const asked = [];
          for (let round = 1; round <= 40; round++) {
            if (!r.shouldAsk(policy, 'AT+CSQ', round, 0)) continue;
            asked.push(round);
            r.record(policy, 'AT+CSQ', 'failed', round, 0);
          }
          const minute = 60 * 1000;
          r.record(policy, 'AT+CSQ', 'unsupported', 41, 0);
          const later = [];
          for (let t = 1; t <= 25; t++) {
            if (!r.shouldAsk(policy, 'AT+CSQ', 41 + t, t * minute)) continue;
            later.push(t);
            r.record(policy, 'AT+CSQ', 'unsupported', 41 + t, t * minute);
          }
          r.record(policy, 'AT+CSQ', 'ok', 70, 0);
          done({
            plain: m.displayLines(plain), framed: m.displayLines(framed), csq,
            v6: [[32, 1, 13, 184, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1], [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1],
                 [254, 128, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2], [32, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1]]
                .map(m.ipv6FromOctets),
            ctx: m.dataContexts(['1,"IPV4V6","internet","0.0.0.0",0,0', '2,"IP","ims"'], ['1,1', '2,0'],
                                ['1,"10.64.12.7","32.1.13.184.0.0.0.0.0.0.0.0.0.0.0.1"', '2']),
            masked: m.maskReply({command: 'AT+CPIN="12345678","4321"',
                                 response: 'AT+CPIN="12345678","4321"\\r\\nOK\\r\\n'}),
            asked, later, cleared: r.shouldAsk(policy, 'AT+CSQ', 71, 0),
          });
        }, (e) => done({error: String(e)}));
    """)
    assert "error" not in got, got
    # A message text's empty line is kept once, the framing's are not.
    lines = ['AT+CMGL="ALL"', '+CMGL: 1,"REC READ","+1555"', "first", "", "last", "OK"]
    assert got["plain"] == lines and got["framed"] == lines, (got["plain"], got["framed"])
    assert got["csq"] == ["20,99", "20,99"], got["csq"]
    assert got["v6"] == ["2001:db8::1", "::1", "fe80::1:0:0:2", "2001:0:1:1:1:1:1:1"], got["v6"]
    assert [(c["cid"], c["apn"], c["active"], c["v4"], c["v6"]) for c in got["ctx"]] == [
        (1, "internet", True, ["10.64.12.7"], ["2001:db8::1"]), (2, "ims", False, [], [])], got["ctx"]
    assert got["masked"] == {"command": "AT+CPIN=****", "response": "AT+CPIN=****\r\nOK\r\n"}, got["masked"]
    # The next three refreshes, then every fifth; after "not supported" ten
    # minutes later; asked at once again after an answer.
    assert got["asked"] == [1, 2, 3, 8, 13, 18, 23, 28, 33, 38], got["asked"]
    assert got["later"] == [10, 20], got["later"]
    assert got["cleared"] is True


def check_status_card(page, driver):
    """The card reads the simulated modem: signal in dBm and bars from
    +CSQ, RSRP and RSRQ from +CESQ, registered through +CEREG although
    +CREG says 0, the operator, SIM, ICCID and device; Refresh adds a
    reading to the chart."""
    page.wait("the status card", lambda: page.el("#status-card").get_attribute("data-state") == "current")
    csq = page.el("#signal-dbm").get_attribute("title")
    rssi = int(re.fullmatch(r"\+CSQ: (\d+),99", csq).group(1))
    assert page.text("#signal-dbm") == f"{-113 + 2 * rssi} dBm", (csq, page.text("#signal-dbm"))
    bars = int(page.el("#signal-bars").get_attribute("data-bars"))
    assert bars == (4 if rssi >= 20 else 3 if rssi >= 15 else 2 if rssi >= 10 else 1), (rssi, bars)
    assert re.fullmatch(r"RSRP -\d+ dBm · RSRQ -[\d.]+ dB", page.text("#signal-lte")), page.text("#signal-lte")
    expected = {
        "#st-network": "Registered, home network", "#st-network-detail": "LTE",
        "#st-operator": "Tarnel Mobile", "#st-tech": "LTE", "#st-sim": "Ready", "#st-iccid": ICCID,
        "#st-model": "Tarnel Simulated Modem", "#st-firmware": "1.0", "#st-imei": "350000000000001",
    }
    shown = {css: page.text(css) for css in expected}
    assert shown == expected, shown
    # Each value under its label; the data contexts in words, IPv6 as one writes it.
    device = page.text("#tile-device + dl").split("\n")
    assert device == ["Model", "Tarnel Simulated Modem", "Firmware", "1.0", "IMEI", "350000000000001"], device
    data = [dl.text.split("\n") for dl in driver.find_elements(By.CSS_SELECTOR, "#st-data dl")]
    assert data == [["APN (context 1)", "internet", "State", "connected", "IPv4", "10.64.12.7", "IPv6", "2001:db8::1"],
                    ["APN (context 2)", "ims", "State", "not connected"]], data
    refresh_status(page)


def check_status_recovers(page, driver, url, fifo):
    """A query answered plain ERROR is asked again at the next refresh and
    its value comes back; meanwhile it says "not reported" under its label.
    The page refreshes every second for this."""
    driver.get(f"{url}?dead-after={DEAD_AFTER}&refresh-every=1")
    page.wait("the card current", lambda: page.el("#status-card").get_attribute("data-state") == "current"
              and page.text("#st-operator") == "Tarnel Mobile")
    control(fifo, "fail AT+COPS? 2")
    page.wait("the operator not reported", lambda: page.text("#st-operator") == "not reported")
    assert page.text("#tile-operator + dl").startswith("Name"), page.text("#tile-operator + dl")
    page.wait("the operator back", lambda: page.text("#st-operator") == "Tarnel Mobile", 6)
    driver.get(f"{url}?dead-after={DEAD_AFTER}")
    page.wait("the card current", lambda: page.el("#status-card").get_attribute("data-state") == "current")
    # Two clicks: the first says it is running, the second runs right after it.
    points = int(page.el("#signal-chart").get_attribute("data-points"))
    label = driver.execute_script("const b = document.getElementById('status-refresh'); b.click();"
                                  "const label = b.textContent; b.click(); return label;")
    assert label.strip() == "Refreshing…", label
    page.wait("two more readings", lambda: int(page.el("#signal-chart").get_attribute("data-points")) == points + 2)
    page.wait("the card current again", lambda: page.el("#status-refresh").text == "Refresh")


def check_port_tile(page, driver, port):
    """The port's other paths and the other programs that have it open, when
    the service lists them (older services do not: the rows stay away)."""
    driver.execute_script("""
        const real = window.fetch;
        window.fetch = async (...args) => {
          const res = await real(...args);
          if (!args[1] || args[1].method !== 'POST') return res;  // the live stream never ends
          const body = await res.clone().json().catch(() => null);
          const ports = body && body.result && body.result[1] && body.result[1].ports;
          if (!ports) return res;
          for (const p of ports) {
            p.shared_as = ['/dev/tarnel/ttyUSB2-1', '/dev/tarnel/ttyUSB2-2'];
            p.other_users = [{pid: 812, comm: 'ModemManager'}];
          }
          return new Response(JSON.stringify(body), {headers: {'Content-Type': 'application/json'}});
        };""")
    page.el("#open-form button[type=submit]").click()
    page.wait("the port's other users", lambda: page.el("#st-port-users").is_displayed())
    assert "ModemManager (pid 812)" in page.text("#st-port-users"), page.text("#st-port-users")
    assert page.text("#st-port-shared").split("\n") == ["/dev/tarnel/ttyUSB2-1", "/dev/tarnel/ttyUSB2-2"]
    assert page.text("#st-port").startswith("open, 115200 8N1"), page.text("#st-port")
    driver.refresh()  # the real fetch again
    page.wait("the card current", lambda: page.el("#status-card").get_attribute("data-state") == "current")


def enter_pin(page, pin, puk=None):
    if puk is not None:
        page.type_into("#pin-puk", puk)
    page.type_into("#pin-code", pin)
    before = page.text("#transcript").count("AT+CPIN=****")
    page.el("#pin-submit").click()
    page.wait("the PIN's answer", lambda: page.text("#transcript").count("AT+CPIN=****") > before
              and page.text("#pin-result") not in ("", "Sending…"))
    return page.text("#pin-result")


def check_sim_pin(page, driver, fifo):
    """A locked SIM: the tile asks for the PIN and tells the tries left; a
    wrong PIN is refused with its reason, the right one unlocks, and the
    network comes back at once. Three wrong PINs: the PUK and a new PIN.
    No PIN stays in the history, the transcript or a field."""
    control(fifo, "pin 1234")
    refresh_status(page)
    page.wait("the PIN asked for", lambda: page.el("#pin-form").is_displayed())
    assert page.text("#st-sim") == "Locked: PIN required" and page.text("#st-sim-tries") == "3"
    assert page.text("#st-network") == "not reported", page.text("#st-network")
    assert enter_pin(page, "0000") == "Refused: +CME ERROR: 16: incorrect password.", page.text("#pin-result")
    page.wait("two tries left", lambda: page.text("#st-sim-tries") == "2")
    assert enter_pin(page, "1234") == "PIN accepted.", page.text("#pin-result")
    page.wait("the SIM ready", lambda: page.text("#st-sim") == "Ready" and not page.el("#pin-form").is_displayed())
    page.wait("the network back", lambda: page.text("#st-network") == "Registered, home network")

    control(fifo, "pin 1234")
    refresh_status(page)
    page.wait("the PIN asked for", lambda: page.el("#pin-form").is_displayed())
    for wrong in ("1111", "2222", "3333"):
        enter_pin(page, wrong)
    page.wait("the PUK asked for", lambda: page.el("#pin-puk").is_displayed())
    assert page.text("#st-sim") == "Blocked: PUK required" and page.text("#st-sim-tries") == "10"
    assert enter_pin(page, "4321", puk="12345678") == "Unblocked; the new PIN is set.", page.text("#pin-result")
    page.wait("the SIM ready", lambda: page.text("#st-sim") == "Ready")
    kept = (driver.execute_script("return sessionStorage.getItem('tarnel.history') || ''") + page.text("#transcript") +
            page.el("#pin-code").get_attribute("value") + page.el("#pin-puk").get_attribute("value"))
    assert "AT+CPIN=\"" not in kept and "12345678" not in kept and "4321" not in kept, kept


def refresh_status(page):
    """Refresh: one more reading on the chart."""
    points = int(page.el("#signal-chart").get_attribute("data-points"))
    page.el("#status-refresh").click()
    page.wait("one more signal reading", lambda: int(page.el("#signal-chart").get_attribute("data-points")) > points)
    page.wait("the card current again", lambda: page.el("#status-card").get_attribute("data-state") == "current")


def check_commands(page, driver):
    """A success, and an ERROR shown as the modem's error, with the command
    box and the latest answer in view at 1280x800."""
    page.quick("Signal")
    entry = page.wait_answer("AT+CSQ")
    assert re.search(r"\+CSQ: \d+,99", entry.text), entry.text
    assert 'Success: end flag "OK"' in entry.text, entry.text
    for _ in range(2):  # enough answers to fill the transcript
        page.quick("Operator")
        page.wait_answer("AT+COPS?")
    page.type_into("#command", "AT+CFUN=9")
    page.el("#command").send_keys(Keys.ENTER)
    entry = page.wait_answer("AT+CFUN=9")
    assert "Modem error: ERROR: the modem did not accept the command" in entry.text, entry.text
    assert "Success" not in entry.text and "failed" in entry.get_attribute("class"), entry.text
    answer = entry.find_element(By.CSS_SELECTOR, ".answer")
    assert page.in_view(page.el("#command")) and page.in_view(answer), "the command box or the answer is out of view"


def check_messages(page, modem):
    """Compose counts parts; a long Unicode text sent to the modem's own
    number comes back, the inbox reads it again on its +CMTI and shows it
    as one unread message; delete removes it."""
    page.type_into("#sms-number", NUMBER)
    page.type_into("#sms-text", TEXT)
    assert page.text("#sms-count") == f"{160 - len(TEXT)} characters left, 1 part (GSM 7-bit)", page.text("#sms-count")
    page.type_into("#sms-text", "€" * 81)  # each of the extension's characters counts two
    assert page.text("#sms-count") == "143 characters left, 2 parts (GSM 7-bit)", page.text("#sms-count")
    # The driver types no character outside the basic plane: the text is put in as a paste would.
    page.d.execute_script("const t = document.getElementById('sms-text'); t.value = arguments[0];"
                          "t.dispatchEvent(new Event('input'));", LONG_TEXT)
    assert page.text("#sms-count").endswith("7 parts (UCS2)"), page.text("#sms-count")
    page.el("#sms-form button[type=submit]").click()
    page.wait("the message sent", lambda: "Message sent" in page.text("#sms-result"))
    assert "7 parts" in page.text("#sms-result"), page.text("#sms-result")
    modem.wait_line(lambda l: l.startswith("message AT+CMGS="))

    # Each part's +CMTI lists the inbox again, so the row is read in one step.
    def listed():
        if "Working" in page.text("#inbox-result"):
            return None
        return page.d.execute_script(
            "return [...document.querySelectorAll('#inbox-lines tr')].map((tr) => ({"
            "  cls: tr.className, indexes: tr.dataset.indexes,"
            "  who: tr.querySelector('td.who').textContent, text: tr.querySelector('td.text').textContent}));")
    rows = page.wait("the message in the inbox", lambda: (r := listed()) and len(r) == 1 and
                     r[0]["text"] == LONG_TEXT and r[0]["indexes"] == "1,2,3,4,5,6,7" and r)
    row = rows[0]
    assert row["cls"] == "unread", row["cls"]
    assert row["who"] == NUMBER, row["who"]
    page.wait("the inbox storage", lambda: page.text("#inbox-storage") == "7 of 30 used")
    # A listing that comes after the tick keeps it.
    page.click("#inbox-lines tr input[type=checkbox]")
    page.click("#inbox-refresh")
    page.wait("the tick kept over a new listing", lambda: page.text("#inbox-result") == "1 message." and
              page.el("#inbox-lines tr input[type=checkbox]").is_selected())
    page.click("#inbox-delete")
    page.wait("the message deleted", lambda: page.text("#inbox-result") == "Deleted." and
              not page.d.find_elements(By.CSS_SELECTOR, "#inbox-lines tr"))
    assert page.text("#inbox-storage") == "0 of 30 used", page.text("#inbox-storage")


def check_dead_stream(page, daemon, modem, gateway):
    """The daemon frozen: its heartbeat stops, the gateway drops the
    subscription and leaves the stream open; the page calls it dead,
    reconnects, and the next RING arrives."""
    os.kill(daemon.proc.pid, signal.SIGSTOP)
    try:
        gateway.wait_line(lambda l: "lost its subscription" in l)
        page.wait("the stream declared dead",
                  lambda: page.live_state() == "down" and "Interrupted" in page.text("#live-state"))
    finally:
        os.kill(daemon.proc.pid, signal.SIGCONT)
    page.wait("live again", lambda: page.live_state() == "live")
    # The status card reads the modem again now; a RING that came while
    # one of its queries waited would be that query's (the daemon's rule).
    page.wait("the status card current", lambda: page.el("#status-card").get_attribute("data-state") == "current")
    before = page.text("#log-lines").count("RING")
    modem.proc.send_signal(signal.SIGUSR1)
    page.wait("RING after the reconnect", lambda: page.text("#log-lines").count("RING") > before)


def check_daemon_away(page, daemon_argv, port, programs):
    """The daemon stopped: the banner and the port table say the service
    cannot be reached; once it answers again the table is read again."""
    operator = page.text("#st-operator")
    programs[2].stop()
    page.wait("the ports unknown", lambda: page.el("#ports-unreachable").is_displayed()
              and not page.el("#port-table").is_displayed())
    assert "cannot be reached" in page.text("#notice"), page.text("#notice")
    # The card says so too, and keeps its last reading with that reading's time.
    page.wait("the card stale", lambda: page.el("#status-card").get_attribute("data-state") == "stale"
              and "cannot be reached" in page.text("#status-note"))
    assert page.text("#status-updated").startswith("Last reading "), page.text("#status-updated")
    assert page.text("#st-operator") == operator == "Tarnel Mobile", page.text("#st-operator")
    assert "Choose the port" not in page.text("#status-card"), page.text("#status-note")
    programs[2] = Program(*daemon_argv)
    programs[2].wait_line(lambda l: l == "ubus-tarnel started")
    # The new daemon knows no port: opening it is the first call to answer,
    # and the live log tries again at once.
    page.el("#open-form button[type=submit]").click()
    page.wait("the port open again", lambda: page.port_state(port) == "open")
    page.wait("the banner gone", lambda: not page.el("#notice").is_displayed())
    page.wait("the live log back", lambda: page.live_state() == "live")


def check_logout(page, driver, base):
    """Logging out ends the session at the server, not only in the page."""
    sid = driver.execute_script("return sessionStorage.getItem('tarnel.sid')")
    assert bus_call(base, sid, "tarnel", "list", {})["result"][0] == 0
    page.el("#logout").click()
    page.wait("the login form", lambda: page.el("#login-view").is_displayed())
    assert page.text("#login-error") == "Logged out.", page.text("#login-error")
    assert bus_call(base, sid, "tarnel", "list", {})["error"]["code"] == -32002


def run(args, work):
    sock = os.path.join(work, "ubus.sock")
    port = os.path.join(work, "ttyUSB2")
    fifo = os.path.join(work, "control")
    missing = os.path.join(work, "ttyUSB9")
    programs = []
    try:
        busd = Program([args.busd, "-s", sock])
        programs.append(busd)
        wait_socket(sock)
        modem = Program([args.fakemodem, "--moving-signal", "-c", fifo, port])
        programs.append(modem)
        modem.wait_line(lambda l: l.startswith("fake modem ready"))
        daemon_argv = ([args.daemon], {"UBUS_SOCKET": sock, "TARNEL_ALIVE_MS": str(ALIVE_MS)})
        programs.append(Program(*daemon_argv))
        programs[2].wait_line(lambda l: l == "ubus-tarnel started")
        # A user with the packaged access group only: what the page needs
        # must be in it, ":subscribe" and logging out included.
        gateway = Program([args.webgw, "-s", sock, "-l", "0", "-w", args.www, "-p", "rootpw", "-a", args.acl_dir,
                           "-u", "modem:modempw:ubus-tarnel", "-n", str(NETWORK_TIMEOUT)])
        programs.append(gateway)
        url = gateway.wait_line(lambda l: "http://" in l).split(" ")[-1]
        base = url[:url.index("/tarnel/")] + "/"

        driver = make_driver(1280, 800)
        try:
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
            page = Console(driver)
            driver.get(f"{url}?dead-after={DEAD_AFTER}")

            # Login; the session is the tab's.
            page.wait("the login form", lambda: page.el("#login-view").is_displayed())
            page.type_into("#login-user", "modem")
            page.type_into("#login-password", "wrong")
            page.el("#login-password").send_keys(Keys.ENTER)
            page.wait("the wrong password refused", lambda: "Wrong user name or password" in page.text("#login-error"))
            page.type_into("#login-password", "modempw")
            page.el("#login-password").send_keys(Keys.ENTER)
            page.wait("the console", lambda: page.el("#console-view").is_displayed())
            page.wait("live updates", lambda: page.live_state() == "live")

            # Open the port with its settings: it is listed, open, 115200 8N1.
            page.type_into("#port", port)
            page.el("#open-form button[type=submit]").click()
            page.wait("the port opened", lambda: f"Opened {port}" in page.text("#ports-result"))
            row = page.wait("the port listed", lambda: page.port_state(port) == "open" and page.port_row(port))
            assert row[2] == "115200 8N1", row

            seed = int(os.environ.get("TARNEL_TEST_SEED", time.time_ns() % 1000000))
            print(f"answer readings with seed {seed} (TARNEL_TEST_SEED={seed} repeats them)")
            check_answer_readings(driver, random.Random(seed))
            check_page_logic(driver)
            check_status_card(page, driver)
            check_status_recovers(page, driver, url, fifo)
            check_port_tile(page, driver, port)
            check_sim_pin(page, driver, fifo)
            check_commands(page, driver)

            # The modem rings: the live log has it at once.
            rang = time.monotonic()
            modem.proc.send_signal(signal.SIGUSR1)
            page.wait("RING in the live log", lambda: "RING" in page.text("#log-lines"), RING_DEADLINE)
            print(f"RING shown after {1000 * (time.monotonic() - rang):.0f} ms")

            check_messages(page, modem)

            # A missing port, by keyboard: the error in words.
            page.type_into("#port", missing)
            page.type_into("#command", "AT")
            page.el("#command").send_keys(Keys.ENTER)
            entry = page.wait_answer("AT")
            assert "Failed to send AT command" in entry.text, entry.text
            page.el("#command").send_keys(Keys.ARROW_UP)
            assert page.el("#command").get_attribute("value") == "AT", "history does not bring back AT"

            # The list follows the modem away and back without a reload.
            page.type_into("#port", port)
            modem.stop()
            page.wait("the port closed", lambda: page.port_state(port) == "closed")
            modem = Program([args.fakemodem, "--moving-signal", "-c", fifo, port])
            programs.append(modem)
            page.wait("the port reopened", lambda: page.port_state(port) == "open")
            page.quick("SIM")
            page.wait_answer("AT+CPIN?")

            check_dead_stream(page, programs[2], modem, gateway)
            check_daemon_away(page, daemon_argv, port, programs)

            errors = page_errors(driver)
            assert not errors, f"the page raised errors: {errors}"
            if args.screenshots:
                for _ in range(2):  # a few more readings for the chart
                    refresh_status(page)
                page.el("#command").clear()
                driver.execute_script("document.activeElement.blur()")
                page.el("#status-card").screenshot(os.path.join(args.screenshots, "web-console-status.png"))
                screenshot(driver, os.path.join(args.screenshots, "web-console.png"), 1280, False)
                fits = screenshot(driver, os.path.join(args.screenshots, "web-console-phone.png"), 390, True)
                assert fits, "the page is wider than a phone screen"
            check_logout(page, driver, base)
        except AssertionError:
            # What the page showed when it went wrong.
            if args.screenshots:
                driver.save_screenshot(os.path.join(args.screenshots, "failure.png"))
            raise
        finally:
            driver.quit()
    finally:
        failed = []
        for p in reversed(programs):
            status = p.stop()
            if status != 0 and p.argv[0] in (args.daemon, args.webgw, args.busd):
                failed.append(f"{os.path.basename(p.argv[0])} exited with {status}: {p.lines[-20:]}")
        # Said even when the page failed first: a program that died is the
        # likelier cause.
        for f in failed:
            print(f)
    if failed:
        raise AssertionError("; ".join(failed))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--busd", required=True)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--fakemodem", required=True)
    parser.add_argument("--webgw", required=True)
    parser.add_argument("--www", required=True)
    parser.add_argument("--acl-dir", required=True)
    parser.add_argument("--screenshots", help="directory for web-console.png and web-console-phone.png")
    args = parser.parse_args()
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        print("SKIP: chromium and chromium-driver are not installed")
        return 77
    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tarnel-browser-")
    try:
        run(args, work)
    except (AssertionError, WebDriverException) as e:
        print(f"FAIL: {e}")
        # Where in this script it went wrong, then the driver's last words.
        ours = [f for f in traceback.extract_tb(e.__traceback__) if f.filename == os.path.abspath(__file__)]
        print("".join(traceback.format_list(ours[-2:])))
        print("".join(traceback.format_exception(e)[-3:-1]))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("console in the browser ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
