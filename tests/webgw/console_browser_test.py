#!/usr/bin/python3
"""The modem console in a real browser.

Starts our broker, the simulated modem, the daemon and the web gateway in a
private directory, then drives the page in headless Chromium (Selenium) as
a user of the packaged access group would: log in, open the port and see it
listed, ask for the signal, watch a RING arrive in the live log, send a
text message and find it at the modem, hit a missing port, and see the port
list follow the modem away and back. Saves a desktop and a phone-sized
screenshot of the page.

Exit status 0 on success, 1 on a failure, 77 when the browser is missing.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

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
        """The cells of the port's row: path, state, settings, last check."""
        for row in self.d.find_elements(By.CSS_SELECTOR, "#port-table tbody tr"):
            cells = [td.text for td in row.find_elements(By.TAG_NAME, "td")]
            if cells and cells[0] == port:
                return cells
        return [None] * 4

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
    metrics["height"] = driver.execute_script("return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    driver.execute_script("window.scrollTo(0, 0)")
    driver.save_screenshot(path)
    print(f"screenshot: {path}")
    return driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")


def run(args, work):
    sock = os.path.join(work, "ubus.sock")
    port = os.path.join(work, "ttyUSB2")
    missing = os.path.join(work, "ttyUSB9")
    programs = []
    try:
        busd = Program([args.busd, "-s", sock])
        programs.append(busd)
        wait_socket(sock)
        modem = Program([args.fakemodem, port])
        programs.append(modem)
        modem.wait_line(lambda l: l.startswith("fake modem ready"))
        daemon = Program([args.daemon], {"UBUS_SOCKET": sock})
        programs.append(daemon)
        daemon.wait_line(lambda l: l == "ubus-tarnel started")
        # A user with the packaged access group only: what the page needs
        # must be in it, ":subscribe" included.
        gateway = Program([args.webgw, "-s", sock, "-l", "0", "-w", args.www, "-p", "rootpw",
                           "-a", args.acl_dir, "-u", "modem:modempw:ubus-tarnel"])
        programs.append(gateway)
        url = gateway.wait_line(lambda l: "http://" in l).split(" ")[-1]

        driver = make_driver(1280, 1000)
        try:
            page = Console(driver)
            driver.get(url)

            # Login; the session is the tab's.
            page.wait("the login form", lambda: page.el("#login-view").is_displayed())
            page.type_into("#login-user", "modem")
            page.type_into("#login-password", "wrong")
            page.el("#login-password").send_keys(Keys.ENTER)
            page.wait("the wrong password refused", lambda: "Wrong user name or password" in page.text("#login-error"))
            page.type_into("#login-password", "modempw")
            page.el("#login-password").send_keys(Keys.ENTER)
            page.wait("the console", lambda: page.el("#console-view").is_displayed())
            page.wait("live updates", lambda: page.el("#live-state").get_attribute("data-state") == "live")

            # Open the port with its settings: it is listed, open, 115200 8N1.
            page.type_into("#port", port)
            page.el("#open-form button[type=submit]").click()
            page.wait("the port opened", lambda: f"Opened {port}" in page.text("#ports-result"))
            row = page.wait("the port listed", lambda: page.port_state(port) == "open" and page.port_row(port))
            assert row[2] == "115200 8N1", row

            # One click asks for the signal.
            driver.find_element(By.XPATH, "//div[@class='quick']/button[text()='Signal']").click()
            entry = page.wait_answer("AT+CSQ")
            assert "+CSQ: 20,99" in entry.text, entry.text
            assert 'Success: end flag "OK"' in entry.text, entry.text

            # The modem rings: the live log has it at once.
            rang = time.monotonic()
            modem.proc.send_signal(signal.SIGUSR1)
            page.wait("RING in the live log", lambda: "RING" in page.text("#log-lines"), RING_DEADLINE)
            print(f"RING shown after {1000 * (time.monotonic() - rang):.0f} ms")

            # A text message reaches the modem with its text.
            page.type_into("#sms-number", NUMBER)
            page.type_into("#sms-text", TEXT)
            page.el("#sms-form button[type=submit]").click()
            page.wait("the message sent", lambda: "Message sent" in page.text("#sms-result"))
            modem.wait_line(lambda l: l == f'message AT+CMGS="{NUMBER}": {TEXT}')

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
            modem = Program([args.fakemodem, port])
            programs.append(modem)
            page.wait("the port reopened", lambda: page.port_state(port) == "open")
            driver.find_element(By.XPATH, "//div[@class='quick']/button[text()='SIM']").click()
            page.wait_answer("AT+CPIN?")

            errors = page_errors(driver)
            assert not errors, f"the page raised errors: {errors}"
            if args.screenshots:
                page.el("#command").clear()
                driver.execute_script("document.activeElement.blur()")
                screenshot(driver, os.path.join(args.screenshots, "web-console.png"), 1280, False)
                fits = screenshot(driver, os.path.join(args.screenshots, "web-console-phone.png"), 390, True)
                assert fits, "the page is wider than a phone screen"
        finally:
            driver.quit()
    finally:
        failed = []
        for p in reversed(programs):
            status = p.stop()
            if status != 0 and p.argv[0] in (args.daemon, args.webgw, args.busd):
                failed.append(f"{os.path.basename(p.argv[0])} exited with {status}: {p.lines[-20:]}")
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
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("console in the browser ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
