"""ostrakd's logs: the event log's dated lines, kept across starts, the
level filter on every sink, and the system log's identity."""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

LINE = re.compile(r"^(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d) (.*)$")


class EventLog(h.RootTestCase):
    def event_log(self, suffix=""):
        path = self.root.file("logs", "vuziz.%d.errorlog%s" % (self.root.port, suffix))
        with open(path) as f:
            return f.read()

    def start(self, extra):
        self.root.write_config("Port %d\nSecureMode disabled\nAccessLogFile ../logs/access.log\n%s"
                               % (self.root.port, extra))
        before = time.time()
        p = self.root.run()
        after = time.time()
        return p, before, after

    def assert_dated(self, text, expected_messages, before, after):
        # Every line is "MM/DD/YYYY HH:MM:SS " and the logged text, stamped in
        # local time while the process ran.
        lines = text.splitlines()
        self.assertEqual([LINE.match(l).group(7) for l in lines], expected_messages)
        stamps = {time.strftime("%m/%d/%Y %H:%M:%S", time.localtime(t))
                  for t in range(int(before), int(after) + 2)}
        for l in lines:
            self.assertIn(l[:19], stamps)

    def test_lines_and_previous_copy(self):
        p, before, after = self.start("Allow keyid 0x00000001 GroupUpdate\nBogus1\n")
        self.assertEqual(p.returncode, 1)
        first = [
            "Warning: \"GroupUpdate\" is depricated and has been mapped to \"Admin\".",
            "Error: %s(5) Unknown config directive (Bogus1)." % self.root.config,
            "Error: Errors processing configuration file.  Server not started.",
        ]
        self.assertEqual(p.stderr, "".join(m + "\n" for m in first))
        self.assert_dated(self.event_log(), first, before, after)

        # A second start appends: the first start's lines stay, in the same
        # file (two starts once lost them, each moving the last log to
        # ".tmp" and dropping the one before).
        p, before2, after2 = self.start("Bogus2\n")
        second = ["Error: %s(4) Unknown config directive (Bogus2)." % self.root.config,
                  "Error: Errors processing configuration file.  Server not started."]
        lines = self.event_log().splitlines(keepends=True)
        self.assert_dated("".join(lines[:len(first)]), first, before, after)
        self.assert_dated("".join(lines[len(first):]), second, before2, after2)
        self.assertFalse(os.path.exists(self.root.file("logs", "vuziz.%d.errorlog.tmp" % self.root.port)))

    def test_level_filter_reaches_every_sink(self):
        p, before, after = self.start("LogLevel error\nAllow keyid 0x00000001 GroupUpdate\nBogus\n")
        self.assertEqual(p.returncode, 1)
        self.assertNotIn("GroupUpdate", p.stderr)
        self.assertNotIn("GroupUpdate", self.event_log())
        self.assertIn("Unknown config directive (Bogus)", self.event_log())

    def test_event_log_without_access_log_directory(self):
        # Without AccessLogFile the event log lies in the start directory.
        self.root.write_config("Port %d\nSecureMode disabled\nBogus\n" % self.root.port)
        p = self.root.run()
        self.assertEqual(p.returncode, 1)
        with open(self.root.file("bin", "vuziz.%d.errorlog" % self.root.port)) as f:
            self.assertIn("Unknown config directive (Bogus).", f.read())


NAMESPACE_SCRIPT = """
set -e
mount --make-rprivate /
for d in null zero random urandom; do touch "$1/dev/$d"; mount --bind "/dev/$d" "$1/dev/$d"; done
mount --bind "$1/dev" /dev
shift
exec "$@"
"""


class SystemLog(h.RootTestCase):
    """The daemon writes to the system log once it leaves the foreground (here
    with -d 1, which switches the log without detaching). A private /dev/log
    is made in a mount namespace of its own and read by the test."""

    def test_identity_pid_and_facility(self):
        private = tempfile.mkdtemp(prefix="ostrakd-dev-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", private]))
        os.mkdir(os.path.join(private, "dev"))
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(listener.close)
        listener.bind(os.path.join(private, "dev", "log"))
        listener.settimeout(1.0)
        script = os.path.join(private, "ns.sh")
        with open(script, "w") as f:
            f.write(NAMESPACE_SCRIPT)
        probe = subprocess.run(["unshare", "-m", "sh", script, private, "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no private mount namespace here: %s" % probe.stderr.decode().strip())

        self.root.write_config("Port %d\nSecureMode disabled\nLogLevel info\nIdleSyncTimeout 1\n"
                               "AccessLogFile ../logs/access.log\n" % self.root.port)
        proc = subprocess.Popen(["unshare", "-m", "sh", script, private, "./ostrakd", "-d", "1"],
                                cwd=self.root.file("bin"), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        received = b""
        deadline = time.time() + 60
        try:
            while time.time() < deadline and b"QOX Keyserver[" not in received:
                try:
                    received += listener.recv(65536) + b"\n"
                except socket.timeout:
                    pass
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            proc.communicate(timeout=h.TIMEOUT)
        m = re.search(rb"<(\d+)>.*?QOX Keyserver\[(\d+)\]: (.*)", received)
        self.assertIsNotNone(m, received)
        priority = int(m.group(1))
        self.assertEqual(priority >> 3, 1)  # the user facility
        # The process ID is the daemon's own (exec keeps it through unshare).
        self.assertEqual(int(m.group(2)), proc.pid)
        # The text reaches the system log without the line end.
        self.assertFalse(m.group(3).endswith(b"\n"))


if __name__ == "__main__":
    h.main()
