"""The daemon's start-up dialogs at a real terminal: ostrakd in the
foreground on a pseudo-terminal of its own (its controlling terminal and its
standard input and output), asked for the server key's passphrase and for
random keystrokes. The server key is gpg's RSA fixture (tests/net/data),
locked with the toolkit's passphrase change by lock_server_key; the secure
port is checked with whole handshakes of the independent Python TLS peer
(tests/net/tls_peer/tls_peer.py). Each daemon start gets an empty temporary
QOXPATH and a fresh random seed file.

Usage: ostrakd_dialogs.py <ostrakd> <lock_server_key>
"""

import fcntl
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "net", "tls_peer"))
import daemon_harness as h  # noqa: E402
import tls_peer as t  # noqa: E402

LOCKER = None  # path of lock_server_key, from the command line
DATA = os.path.join(os.path.dirname(HERE), "net", "data")
RSA_ID = "0x680C0E75E46E7915"  # gpg's ID of the RSA fixture
PASSPHRASE = "server key words"

SERVER_PROMPT = b"QOX Keyserver: Enter passphrase for secure server key\n"
PROMPT = b"Enter pass phrase (type ^D to cancel): "
BAD = b"Bad Passphrase: Please re-enter\n"
REQUEST = (b"\nQOX needs to generate some random data. This is done by measuring\n"
           b"the time intervals between your keystrokes. Please enter some\n"
           b"random text on your keyboard until the indicator reaches 100%.\n"
           b"Press ^D to cancel\n")
ENOUGH = b"\n\aEnough, thank you.\n"
CANCELLED_LOG = "Entering passphrase was cancelled, disabling SecureMode."
NO_RANDOMNESS_LOG = "LDAPS is disabled.  Not enough randomness exists to enable TLS."
NO_PROMPT_LOG = "Secure server key requires passphrase, disabling SecureMode."
INDICATOR = re.compile(rb"\r(\d+)% of required data   ")


def fixture(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


class Setup:
    """A run root with the fixture's rings (locked or not), a fresh seed file
    of `seed_size` random bytes, the databases made, and an empty QOXPATH."""

    def __init__(self, test, mode, locked=True, seed_size=512):
        self.root = h.Root()
        test.addCleanup(self.root.cleanup)
        self.secure = h.free_port()
        etc = self.root.file("etc")
        self.pub, self.sec = os.path.join(etc, "pub.bin"), os.path.join(etc, "sec.bin")
        for path, name in ((self.pub, "tls-rsa.bin"), (self.sec, "tls-rsa.sec.bin")):
            with open(path, "wb") as f:
                f.write(fixture(name))
            os.chmod(path, 0o600)
        if locked:
            p = subprocess.run([LOCKER, self.pub, self.sec, PASSPHRASE], capture_output=True, timeout=60)
            if p.returncode == 3:
                raise unittest.SkipTest("the toolkit cannot change a key's passphrase: %r" % p.stderr)
            test.assertEqual(p.returncode, 0, "locking the server key: %r" % p.stderr)
            with open(self.sec, "rb") as f:
                test.assertNotEqual(fixture("tls-rsa.sec.bin"), f.read(), "the ring was rewritten")
        self.seed = os.path.join(etc, "seed.bin")
        with open(self.seed, "wb") as f:
            f.write(os.urandom(seed_size))
        self.root.write_config(
            "Port %d\nSecurePort %d\nSecureMode %s\nServerSecureKeyID %s\n"
            "PublicKeyRing %s\nPrivateKeyRing %s\nRandSeedFile %s\n"
            "LogLevel verbose\nLookupHostname no\nDirectory ../data\nAllow ip 127.0.0.1 all\n"
            % (self.root.port, self.secure, mode, RSA_ID, self.pub, self.sec, self.seed))
        created = self.root.run("-n")
        test.assertEqual(created.returncode, 0, created.stderr)
        self.home = tempfile.mkdtemp(prefix="ostrak-qoxpath-")
        test.addCleanup(shutil.rmtree, self.home, True)
        self.env = dict(os.environ, QOXPATH=self.home)


class Terminal:
    """ostrakd -d 0 (and args) in a fresh pseudo-terminal: its session
    leader, with the terminal as its controlling terminal and standard input,
    output and error; the test types at the master side."""

    def __init__(self, setup, *args):
        self.setup = setup
        self.master, self.slave = os.openpty()
        # Output as the daemon writes it (no carriage return added before
        # each line feed), so the texts compare byte for byte.
        attrs = termios.tcgetattr(self.slave)
        attrs[1] &= ~termios.ONLCR
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        self.original = self.stty()
        self.out = b""
        self.proc = subprocess.Popen(
            ["./ostrakd", "-d", "0", *args], cwd=setup.root.file("bin"), env=setup.env,
            stdin=self.slave, stdout=self.slave, stderr=self.slave, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))

    def stty(self):
        return subprocess.run(["stty", "-g"], stdin=self.slave, stdout=subprocess.PIPE, check=True).stdout

    def cbreak(self):
        lflag = termios.tcgetattr(self.master)[3]
        return (lflag & (termios.ICANON | termios.ECHO)) == 0

    def read_some(self, timeout):
        ready, _, _ = select.select([self.master], [], [], max(timeout, 0))
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 4096)
        except OSError:
            return False
        self.out += chunk
        return bool(chunk)

    def expect(self, wanted, timeout=30, after=0):
        """Reads until the output from `after` on holds `wanted`; returns
        the position after it. Fails with the output when it does not come."""
        deadline = time.monotonic() + timeout
        while True:
            at = self.out.find(wanted, after)
            if at >= 0:
                return at + len(wanted)
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("expected %r; output so far %r" % (wanted, self.out))
            self.read_some(min(left, 0.5))

    def wait_cbreak(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not self.cbreak():
            if time.monotonic() > deadline:
                raise AssertionError("the terminal did not enter cbreak mode; output %r" % self.out)
            self.read_some(0.05)  # bounded poll of the terminal's modes

    def type(self, data):
        os.write(self.master, data)

    def wait_listening(self, port):
        """Waits until the daemon accepts on `port`, reading its output."""
        deadline = time.monotonic() + 60
        while True:
            if self.proc.poll() is not None:
                self.drain()
                raise AssertionError("ostrakd ended (%s): %r" % (self.proc.returncode, self.out))
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise AssertionError("ostrakd does not listen on %d; output %r" % (port, self.out))
            self.read_some(0.05)  # bounded poll, reading what the daemon prints

    def wait_exit(self, timeout=30):
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("ostrakd did not end; output %r" % self.out)
            self.read_some(0.05)
        self.drain()
        return self.proc.returncode

    def drain(self):
        while self.read_some(0.1):
            pass

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=60)
        os.close(self.master)
        os.close(self.slave)


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


def handshake(port):
    """A whole TLS 1.0 handshake with the RSA key's suite; returns the key
    block the server sent."""
    peer = t.Peer(socket.create_connection(("127.0.0.1", port), timeout=30))
    try:
        return t.Client(peer, suites=(0x0120,)).run()["server_key"]
    finally:
        peer.sock.close()


def type_until(term, done, limit=3000):
    """Types random letters, one after each indicator the previous one
    brought (the dialog drops typed-ahead input), until `done` comes."""
    shown = len(INDICATOR.findall(term.out))
    for _ in range(limit):
        if done in term.out:
            return
        term.type(bytes([random.randrange(97, 123)]))
        deadline = time.monotonic() + 0.3 + random.random() * 0.05
        while time.monotonic() < deadline and len(INDICATOR.findall(term.out)) == shown and done not in term.out:
            term.read_some(deadline - time.monotonic())
        shown = len(INDICATOR.findall(term.out))
    raise AssertionError("%r did not come; output %r" % (done, term.out[-300:]))


class Dialogs(unittest.TestCase):
    def start(self, mode, *args, locked=True, seed_size=512):
        setup = Setup(self, mode, locked, seed_size)
        term = Terminal(setup, *args)
        self.addCleanup(term.close)
        return setup, term

    def test_passphrase_wrong_then_right_then_restart_keeps_it(self):
        setup, term = self.start("required")
        end = term.expect(SERVER_PROMPT + PROMPT)
        term.wait_cbreak()
        term.type(b"not the words\r")
        end = term.expect(BAD + PROMPT, after=end)
        term.type(PASSPHRASE.encode() + b"\r")
        term.wait_listening(setup.secure)
        self.assertEqual(t.read_key(handshake(setup.secure)).n, t.read_key(fixture("tls-rsa.bin")).n)
        self.assertNotIn(b"not the words", term.out, "no echo")
        self.assertNotIn(PASSPHRASE.encode(), term.out, "no echo")
        self.assertEqual(term.stty(), term.original)

        # A restart takes the passphrase of the first pass without asking.
        prompts = term.out.count(PROMPT)
        # The end of a pass logs its wait for the connection threads.
        ended = re.compile(rb"Waiting for \d+ threads to terminate\.")
        passes = len(ended.findall(term.out))
        os.kill(term.proc.pid, signal.SIGHUP)
        deadline = time.monotonic() + 60
        while len(ended.findall(term.out)) == passes:
            if time.monotonic() > deadline:
                self.fail("the first pass did not end; output %r" % term.out)
            term.read_some(0.1)
        term.wait_listening(setup.secure)
        self.assertEqual(t.read_key(handshake(setup.secure)).n, t.read_key(fixture("tls-rsa.bin")).n)
        self.assertEqual(term.out.count(PROMPT), prompts, "no second prompt: %r" % term.out)
        self.assertIsNone(term.proc.poll())

    def test_control_d_disables_secure_mode(self):
        setup, term = self.start("required")
        term.expect(SERVER_PROMPT + PROMPT)
        term.wait_cbreak()
        term.type(b"\x04")
        term.wait_listening(setup.root.port)
        term.expect(CANCELLED_LOG.encode())
        self.assertTrue(refused(setup.secure), "the secure port stays closed")
        self.assertEqual(term.stty(), term.original)

    def test_optional_mode_with_s_does_not_prompt(self):
        setup, term = self.start("optional", "-s")
        term.wait_listening(setup.root.port)
        term.expect(NO_PROMPT_LOG.encode())
        self.assertNotIn(PROMPT, term.out)
        self.assertTrue(refused(setup.secure))

    def test_short_seed_file_asks_for_keystrokes(self):
        setup, term = self.start("optional", locked=False, seed_size=10)
        end = term.expect(REQUEST)
        term.wait_cbreak()
        type_until(term, ENOUGH)
        shown = [int(n) for n in INDICATOR.findall(term.out[end:])]
        self.assertEqual(shown[-1], 100)
        self.assertTrue(all(n <= 99 for n in shown[:-1]), shown)
        term.wait_listening(setup.secure)
        handshake(setup.secure)
        self.assertEqual(term.stty(), term.original)
        self.assertEqual(os.path.getsize(setup.seed), 512, "the short seed file was written anew")

    def test_control_c_at_the_prompt_ends_the_daemon(self):
        setup, term = self.start("required")
        term.expect(SERVER_PROMPT + PROMPT)
        term.wait_cbreak()
        term.type(b"\x03")
        self.assertEqual(term.wait_exit(), 0, "ended as SIGINT ends it: %r" % term.out)
        self.assertEqual(term.stty(), term.original)

    def test_without_a_terminal_both_dialogs_give_up_at_once(self):
        # (locked key, seed size, the message): the passphrase dialog and
        # the random-data dialog read the end of /dev/null.
        for locked, seed_size, message in ((True, 512, CANCELLED_LOG), (False, 10, NO_RANDOMNESS_LOG)):
            with self.subTest(message=message):
                setup = Setup(self, "optional", locked, seed_size)
                start = time.monotonic()
                with open(os.devnull, "rb") as null:
                    # A session of its own (no controlling terminal),
                    # standard input /dev/null.
                    proc, errors = setup.root.start(
                        command=["env", "QOXPATH=" + setup.home, "./ostrakd", "-d", "0"],
                        preexec_fn=lambda: (os.setsid(), os.dup2(null.fileno(), 0)))
                self.addCleanup(errors.close)
                try:
                    self.assertLess(time.monotonic() - start, 30)
                    with open(setup.root.file("logs", "stderr"), errors="replace") as f:
                        text = f.read()
                    self.assertIn(message, text)
                    self.assertTrue(refused(setup.secure))
                    # No spin: the process used little processor time.
                    with open("/proc/%d/stat" % proc.pid) as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                    ticks = int(fields[11]) + int(fields[12])
                    self.assertLess(ticks / os.sysconf("SC_CLK_TCK"), 5.0)
                finally:
                    proc.kill()
                    proc.wait(timeout=60)


def main():
    global LOCKER
    if len(sys.argv) < 3:
        sys.exit("usage: %s <ostrakd> <lock_server_key>" % sys.argv[0])
    LOCKER = os.path.abspath(sys.argv.pop(2))
    h.main()


if __name__ == "__main__":
    main()
