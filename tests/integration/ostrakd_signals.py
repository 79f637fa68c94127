"""A serving ostrakd and its signals: SIGHUP restarts it in the same process
(configuration read again, the event log appended to, the port still served), SIGTERM,
SIGINT and SIGUSR2 end it with status 0, and the PID files say who it is.
Also its start-up with a random seed file: the file is taken into the pool
and written anew before the daemon serves; a missing one stops the start."""

import os
import re
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

# An anonymous LDAPv2 bind: message 1, version 2, empty name and password.
BIND = bytes.fromhex("300c020101600702010204008000")


class Serving(h.RootTestCase):
    def write_config(self, extra):
        self.root.write_config("Port %d\nAccessLogFile ../logs/access.log\nDirectory ../data\n%s"
                               % (self.root.port, extra))

    def start(self, extra="SecureMode disabled\n"):
        """A daemon that listens (standard error in logs/stderr)."""
        self.write_config(extra)
        # -d 0 keeps the process in the foreground with errors on stderr.
        proc, errors = self.root.start()
        self.addCleanup(errors.close)
        self.addCleanup(self.stop, proc)
        return proc

    def start_failing(self, extra):
        """A daemon expected to stop during its start (standard error piped)."""
        self.write_config(extra)
        proc = subprocess.Popen(["./ostrakd", "-d", "0"], cwd=self.root.file("bin"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(self.stop, proc)
        return proc

    def stop(self, proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=h.TIMEOUT)
        for name in ("/tmp/ostrakd.%d.pid" % self.root.port,):
            if os.path.exists(name):
                os.unlink(name)

    def wait_for(self, condition, what, proc):
        deadline = time.time() + h.TIMEOUT
        while time.time() < deadline:
            if condition():
                return
            if proc.poll() is not None:
                with open(self.root.file("logs", "stderr"), errors="replace") as f:
                    self.fail("ostrakd ended (%s) while waiting for %s: %s" % (proc.returncode, what, f.read()))
            time.sleep(0.1)
        self.fail("timed out waiting for " + what)

    def bind_answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.root.port), timeout=5) as s:
                s.sendall(BIND)
                reply = s.recv(4096)
                # A BindResponse ([APPLICATION 1], tag 0x61) for message 1.
                return len(reply) > 7 and reply[0] == 0x30 and 0x61 in reply[:8]
        except OSError:
            return False

    def event_log(self):
        return self.root.file("logs", "vuziz.%d.errorlog" % self.root.port)

    def log_text(self):
        with open(self.event_log(), errors="replace") as f:
            return f.read()

    def test_restart_then_shutdown(self):
        proc = self.start("SecureMode disabled\nLogLevel verbose\n")
        self.assertTrue(self.bind_answers())
        pid_file = "/tmp/ostrakd.%d.pid" % self.root.port
        with open(pid_file) as f:
            self.assertEqual(f.read(), "%d\n" % proc.pid)
        first = self.log_text()
        self.assertIn("New connection from 127.0.0.1", first)

        # Each restart keeps the process and reads everything again; the
        # event log is appended to, so two restarts keep the first pass's
        # lines (they once erased them: each start moved the log to ".tmp"
        # and dropped the one before). The end of a pass logs its wait for
        # the connection threads.
        ended = re.compile(r"Waiting for \d+ threads to terminate\.")
        for n in (1, 2):
            proc.send_signal(signal.SIGHUP)
            self.wait_for(lambda: len(ended.findall(self.log_text())) >= n, "restart %d" % n, proc)
            self.wait_for(self.bind_answers, "a bind after restart %d" % n, proc)
            self.assertIsNone(proc.poll())
        self.assertTrue(self.log_text().startswith(first))
        self.assertFalse(os.path.exists(self.event_log() + ".tmp"))

        proc.send_signal(signal.SIGTERM)
        proc.send_signal(signal.SIGTERM)  # a second one only sets the flag again
        self.assertEqual(proc.wait(h.TIMEOUT), 0)
        self.assertFalse(os.path.exists(pid_file))  # the port's PID file goes

    def test_every_shutdown_signal(self):
        for sig in (signal.SIGINT, signal.SIGUSR2):
            with self.subTest(signal=sig):
                proc = self.start()
                self.assertTrue(self.bind_answers())
                proc.send_signal(sig)
                self.assertEqual(proc.wait(h.TIMEOUT), 0)

    def test_start_up_writes_the_random_seed_file(self):
        # The seed file is set when secure mode is not disabled; without a TLS
        # key the daemon then turns secure mode off and serves the plain port.
        seed = self.root.file("etc", "seed")
        old = bytes(range(48))
        with open(seed, "wb") as f:
            f.write(old)
        proc = self.start("SecureMode optional\nSecurePort %d\nRandSeedFile ../etc/seed\n" % h.free_port())
        self.assertTrue(self.bind_answers())
        with open(seed, "rb") as f:
            new = f.read()
        # Rewritten with fresh pool output, at least one 512-byte block.
        self.assertGreaterEqual(len(new), 512)
        self.assertNotEqual(new[:len(old)], old)

    def test_missing_random_seed_file_stops_the_start(self):
        proc = self.start_failing("SecureMode optional\nSecurePort %d\nRandSeedFile ../etc/none\n"
                                  % h.free_port())
        out, err = proc.communicate(timeout=h.TIMEOUT)
        err = err.decode(errors="replace")
        path = self.root.file("bin", "../etc/none")  # the start directory joined, as configured
        self.assertIn("Error: Setting the QOX random seed file (%s) failed with error -12000 (" % path, err)
        self.assertIn("Error: Could not set randseed file.", err)
        self.assertFalse(os.path.exists(self.root.file("etc", "none")))
        self.assertNotEqual(proc.returncode, 0)


if __name__ == "__main__":
    h.main()
