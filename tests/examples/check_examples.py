#!/usr/bin/env python3
"""Runs the session examples of the README and docs/api.md against
run-local.sh's stack and compares what each command prints with what the
text shows.

    check_examples.py [--build DIR] [--doc FILE]...

DIR defaults to $TARNEL_BUILD_DIR, else build; run-local.sh builds there
what it needs.

Each indented block with lines starting with "$ " is a session: the line
after "$ " is run by bash, with C standing for our CLI on the stack's
socket and /tmp/tarnel-dev for the stack's directory; the lines up to the
next "$ " are what it must print. A command ending in "&" keeps running in
the background, and what it prints counts for the commands after it, as on
a terminal; before going on, the checker makes sure a listener is in place
(probe events of the name it listens for, or unsolicited lines for a
subscriber, until it hears one; dropped). In the expected text "..."
stands for anything; descriptors, times, object ids and the directory are
masked on both sides. A file's message loop (the block starting
"ubus listen tarnel.urc |") is run too, with ubus standing for our CLI,
and must read a message that arrives on the open port.
Ends with "N passed, N failed"; the exit status is 1 on any failure.
"""
import argparse
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOC_DIR = "/tmp/tarnel-dev"
LINE_WAIT = 5.0  # seconds for a background line to arrive
MASKS = [
    (re.compile(r'("(?:fd|last_check|response_time_ms)":\s*)-?\d+'), r"\1#"),
    (re.compile(r"@[0-9a-f]{8}\b"), "@#"),
    (re.compile(r"\d\d/\d\d/\d\d,\d\d:\d\d:\d\d[+-]\d\d"), "TIME"),
]


def masked(text, run_dir):
    text = text.replace(run_dir, DOC_DIR)
    for pattern, replacement in MASKS:
        text = pattern.sub(replacement, text)
    return text


def matches(expected, actual):
    parts = [re.escape(part) for part in re.split(r"[ \t]*\.\.\.[ \t]*", expected)]
    return re.fullmatch(".*?".join(parts), actual, re.DOTALL) is not None


def blocks(path):
    """The indented code blocks of a Markdown file, as lists of lines."""
    found, current = [], []
    for line in open(path, encoding="utf-8").read().splitlines() + [""]:
        if line.startswith("    "):
            current.append(line[4:])
        elif line.strip() or not current:
            if current:
                found.append(current)
            current = []
        else:
            current.append("")  # a blank line inside a block
    return found


def sessions(doc):
    """[(command, expected lines)] for every block that holds "$ " lines."""
    result = []
    for block in blocks(doc):
        if not any(l.startswith("$ ") for l in block):
            continue
        steps = []
        for line in block:
            if line.startswith("$ "):
                steps.append((line[2:], []))
            elif steps and line:
                steps[-1][1].append(line)
        result.append(steps)
    return result


def without_comment(command):
    return re.sub(r"\s{2,}#.*$", "", command).rstrip()


class Background:
    """A command and its output (standard error too), read on a thread."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     start_new_session=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)  # the end of its output

    def take(self, count, deadline):
        got = []
        while len(got) < count:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                self.lines.put(None)
                break
            got.append(line)
        return got

    def output(self, expected, deadline):
        """All it prints until it ends; one that goes on (a subscriber) is
        stopped once it printed the expected number of lines and then
        paused, or at the deadline."""
        got = []
        while time.monotonic() < deadline:
            pause = 0.5 if len(got) >= expected else deadline - time.monotonic()
            more = self.take(1, time.monotonic() + pause)
            if not more:
                break
            got += more
        self.stop()
        return got

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=10)


class Stack:
    """run-local.sh in a directory of its own, on a free web port."""

    def __init__(self, build):
        # Short: a port's path is at most 63 characters.
        self.dir = tempfile.mkdtemp(prefix="tarnel-ex.", dir="/tmp")
        env = dict(os.environ, TARNEL_BUILD_DIR=build, TARNEL_RUN_DIR=self.dir, TARNEL_WEB_PORT="0",
                   TARNEL_WEB_PASSWORD="examples")
        self.log = open(os.path.join(self.dir, "run-local.log"), "w+")
        self.proc = subprocess.Popen([os.path.join(ROOT, "scripts", "run-local.sh")], stdout=self.log,
                                     stderr=subprocess.STDOUT, env=env, start_new_session=True)
        cli = os.path.join(os.path.abspath(os.path.join(ROOT, build)), "tools", "cli", "tarnel-ubus")
        self.prelude = 'C() { %s -s %s/ubus.sock "$@"; }\nubus() { C "$@"; }\n' % (cli, self.dir)

    def wait_ready(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.proc.poll() is None:
            if "Ctrl-C stops everything." in self.output():
                return True
            time.sleep(0.2)
        return False

    def output(self):
        self.log.flush()
        with open(self.log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def argv(self, command):
        return ["bash", "-c", self.prelude + command.replace(DOC_DIR, self.dir)]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def settle(stack, listener, command):
    """Until the listener hears: numbered probes, events of the name it
    listens for, or unsolicited lines of the modem for a subscriber. Once
    one is heard, the last one sent is sure to come; all are dropped."""
    words = command.rstrip("& ").split()
    if words[1:2] == ["listen"]:
        probe = lambda n: "C send %s '{\"probe\":\"probe-%d\"}'" % (words[2], n)
    elif words[1:2] == ["subscribe"]:
        probe = lambda n: "echo urc probe-%d >%s/ttyUSB2.control" % (n, DOC_DIR)
    else:
        return True
    deadline = time.monotonic() + LINE_WAIT
    sent = 0
    while time.monotonic() < deadline:
        sent += 1
        subprocess.run(stack.argv(probe(sent)), capture_output=True, timeout=30)
        last = 'probe-%d"' % sent
        heard = listener.take(1, time.monotonic() + 0.2)
        if heard:
            while last not in heard[-1] and time.monotonic() < deadline:
                heard += listener.take(1, deadline)
            return last in heard[-1]
    return False


def run_session(stack, steps, report):
    background = []
    try:
        for command, expected in steps:
            command = without_comment(command)
            if command.endswith("&"):
                background.append(Background(stack.argv(command[:-1])))
                if not settle(stack, background[-1], command):
                    report(command, False, "a listener in place", "nothing heard")
                continue
            # A heartbeat comes within 20 s.
            lines = Background(stack.argv(command)).output(len(expected), time.monotonic() + 30)
            deadline = time.monotonic() + LINE_WAIT
            for b in background:
                lines += b.take(len(expected) - len(lines), deadline)
            actual = masked("\n".join(lines), stack.dir)
            want = masked("\n".join(expected), stack.dir)
            report(command, matches(want, actual), want, actual)
    finally:
        for b in background:
            b.stop()


def run_message_loop(stack, doc, report):
    loop = next((b for b in blocks(doc) if b[0].startswith("ubus listen tarnel.urc |")), None)
    if loop is None:
        report("the message loop", False, "a block starting with 'ubus listen tarnel.urc |'", "none")
        return
    # Only an open port reports what its modem says.
    subprocess.run(stack.argv("C call tarnel open '{\"at_port\":\"%s/ttyUSB2\"}'" % DOC_DIR), check=True,
                   capture_output=True, timeout=30)
    reader = Background(stack.argv("\n".join(loop)))
    try:
        # The loop's listener is in place once it has read a message and
        # printed the reply: until then, messages may go unheard.
        got, deadline = [], time.monotonic() + LINE_WAIT
        while not got and time.monotonic() < deadline:
            subprocess.run(stack.argv(DOC_DIR + "/sms +15550199 'Loop check'"), check=True, timeout=30)
            got = reader.take(1, time.monotonic() + 0.5)
        while "}" not in got and time.monotonic() < deadline:  # the reply ends with a "}" line
            got += reader.take(1, deadline)
        found = re.search(r'\+CMGR: \\"REC UNREAD\\",\\"\+15550199\\".*Loop check', "\n".join(got))
        ok = found is not None
        report("the message loop", ok, "a reply holding +CMGR and the message", masked("\n".join(got), stack.dir))
    finally:
        reader.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("TARNEL_BUILD_DIR", "build"))
    parser.add_argument("--doc", action="append", help="a Markdown file (default: README.md and docs/api.md); "
                        "each gets a stack of its own")
    args = parser.parse_args()

    counts = {True: 0, False: 0}

    def report(command, ok, want, actual):
        counts[ok] += 1
        print(("ok    " if ok else "FAIL  ") + command, flush=True)
        if not ok:
            print("  expected:\n    " + want.replace("\n", "\n    "))
            print("  got:\n    " + actual.replace("\n", "\n    "), flush=True)

    for doc in args.doc or [os.path.join(ROOT, "README.md"), os.path.join(ROOT, "docs", "api.md")]:
        print("== " + os.path.relpath(doc, ROOT), flush=True)
        stack = Stack(args.build)
        try:
            if not stack.wait_ready(600):
                print(stack.output())
                report("run-local.sh", False, "its banner", "none")
                continue
            for steps in sessions(doc):
                run_session(stack, steps, report)
            run_message_loop(stack, doc, report)
        finally:
            stack.stop()
    print("%d passed, %d failed" % (counts[True], counts[False]))
    return 0 if counts[False] == 0 and counts[True] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
