"""A private run root for one ostrakd process, laid out as its defaults
expect: <root>/bin (the program), <root>/etc (ostrakd.conf), <root>/data and
<root>/logs. The process is started from <root>/bin, so "../etc/ostrakd.conf"
is found without -f."""

import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

DAEMON = None  # path of the ostrakd binary, from the command line
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TIMEOUT = 120


FIFO_DIR = "/tmp/qoxkeysrv"


def free_port():
    """A port that binds now, taken below the kernel's ephemeral range (a
    port of that range may become the local end of some client's connection
    meanwhile). Another process may still take it before the daemon binds:
    Root.start then moves the daemon to a fresh port and starts it again."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(10000, max(low, 10001))
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("", port))
            except OSError:
                continue
        return port
    raise AssertionError("no free port below %d" % low)


def console_fifo(port):
    return os.path.join(FIFO_DIR, "QOXkeyserver-%d" % port)


class DaemonEnded(AssertionError):
    """The daemon ended while a test waited for it to listen."""


def wait_listening(proc, port, errors_path=None, fifo=None, timeout=30):
    """Waits until the daemon `proc` accepts connections on `port` (and, when
    `fifo` is given, until the console's FIFO is there: the daemon makes it
    only once it listens). Exactly one probe connection is made and closed.
    Fails loudly: DaemonEnded, with the daemon's standard error read from
    `errors_path`, when the process ends; AssertionError when the time runs
    out."""
    deadline = time.time() + timeout
    while True:
        if proc.poll() is not None:
            text = ""
            if errors_path is not None:
                with open(errors_path, errors="replace") as f:
                    text = f.read()
            raise DaemonEnded("ostrakd ended (status %s) before it listened on %d: %s"
                              % (proc.returncode, port, text))
        if fifo is None or os.path.exists(fifo):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                pass
        if time.time() > deadline:
            raise AssertionError("ostrakd does not listen on port %d after %d s" % (port, timeout))
        time.sleep(0.05)  # the poll interval of this bounded wait


class Root:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="ostrakd-")
        self.port = free_port()
        for d in ("bin", "etc", "data", "logs"):
            os.mkdir(os.path.join(self.path, d))
        os.symlink(DAEMON, os.path.join(self.path, "bin", "ostrakd"))
        # The path the daemon prints: the start directory joined with the
        # default relative name, as given.
        self.config = os.path.join(self.path, "bin", "../etc/ostrakd.conf")

    def write_config(self, text):
        with open(os.path.join(self.path, "etc", "ostrakd.conf"), "w", newline="") as f:
            f.write(text)

    def file(self, *parts):
        return os.path.join(self.path, *parts)

    def run(self, *args, env=None):
        # Decoded by hand: text mode would turn a carriage return into "\n".
        p = subprocess.run(["./ostrakd", *args], cwd=self.file("bin"), capture_output=True,
                           timeout=TIMEOUT, env=env)
        p.stdout = p.stdout.decode("utf-8", "replace")
        p.stderr = p.stderr.decode("utf-8", "replace")
        return p

    def move_port(self):
        """Gives the daemon a fresh port: the configuration's Port line and
        self.port."""
        old, self.port = self.port, free_port()
        path = self.file("etc", "ostrakd.conf")
        with open(path, newline="") as f:
            text = f.read()
        with open(path, "w", newline="") as f:
            f.write(re.sub(r"(?mi)^(\s*Port\s+)%d\b" % old, r"\g<1>%d" % self.port, text))

    def start(self, *args, console=False, preexec_fn=None, command=None, fifo=None):
        """Starts ostrakd in the foreground ("./ostrakd -d 0" and args, or
        `command` run in bin/), standard error into logs/stderr, and waits
        until it listens (and, with console, until its FIFO is there). When
        the daemon cannot bind its port (another process took it since
        free_port), it is started again on a fresh port. Returns the process
        and its open standard-error file."""
        for attempt in range(5):
            errors_path = self.file("logs", "stderr")
            errors = open(errors_path, "wb")
            proc = subprocess.Popen(command or ["./ostrakd", "-d", "0", *args], cwd=self.file("bin"),
                                    stdout=subprocess.DEVNULL, stderr=errors, preexec_fn=preexec_fn)
            try:
                wait_listening(proc, self.port, errors_path,
                               fifo or (console_fifo(self.port) if console else None))
                return proc, errors
            except DaemonEnded as e:
                errors.close()
                if "Binding to port %d failed" % self.port not in str(e) or attempt == 4:
                    raise
                self.move_port()
        raise AssertionError("unreachable")

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


class RootTestCase(unittest.TestCase):
    def setUp(self):
        self.root = Root()
        self.addCleanup(self.root.cleanup)


def main():
    global DAEMON
    if len(sys.argv) < 2:
        sys.exit("usage: %s <path of ostrakd>" % sys.argv[0])
    DAEMON = os.path.abspath(sys.argv.pop(1))
    result = unittest.main(exit=False, verbosity=2).result
    print("\nsummary: %d run, %d failures, %d errors, %d skipped" %
          (result.testsRun, len(result.failures), len(result.errors), len(result.skipped)))
    sys.exit(0 if result.wasSuccessful() else 1)
