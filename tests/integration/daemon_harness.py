"""A private run root for one ostrakd process, laid out as its defaults
expect: <root>/bin (the program), <root>/etc (ostrakd.conf), <root>/data and
<root>/logs. The process is started from <root>/bin, so "../etc/ostrakd.conf"
is found without -f."""

import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

DAEMON = None  # path of the ostrakd binary, from the command line
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TIMEOUT = 120


def free_port():
    """A port that binds now, taken below the kernel's ephemeral range: a port
    of that range may meanwhile become the local end of some client's
    connection (tests of many clients run beside this one), and the daemon's
    bind would then fail."""
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
