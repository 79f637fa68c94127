"""ostrakd's command line: version, usage, option errors and port values,
with the exact texts on standard error and the exit statuses."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

USAGE = ("Usage: ostrakd [-acnsg] [-f ConfigFile] [-p Port] [-t SecurePort] [-d DebugLevel] "
         "[-b CommandPort] [-k CommandTimeout]")


class CommandLine(h.RootTestCase):
    def setUp(self):
        super().setUp()
        self.root.write_config("Port %d\nSecureMode disabled\n" % self.root.port)

    def test_texts_and_statuses(self):
        ok = "No errors processing configuration file.\n"
        cases = [
            # (arguments, standard error, exit status)
            (["-V"], "QOX Keyserver 1.0\n", 1),
            (["-h"], USAGE, 1),
            (["-x"], USAGE, 1),
            (["-c", "stray"], USAGE, 1),          # a word that is no option
            (["-p"], USAGE, 1),                   # an option without its value
            (["-c", "-p0"], USAGE, 1),            # the value in the option's own argument
            (["-ca"], USAGE, 1),                  # two flags in one argument
            (["-p", "65535"], "A port number of (65535) is not valid.", 1),
            (["-t", "12ab"], "A port number of (12ab) is not valid.", 1),
            (["-p", "-2"], "A port number of (-2) is not valid.", 1),
            (["-d", "?"], "", 1),                 # a level beginning with "?" ends silently
            (["-c"], ok, 0),
            (["-c", "-g", "-a", "-s"], ok, 0),
            (["-c", "-p", " +400"], ok, 0),       # blanks and one sign before the digits
            (["-c", "-f", "../etc/ostrakd.conf"], ok, 0),
        ]
        for args, err, status in cases:
            with self.subTest(args=args):
                p = self.root.run(*args)
                self.assertEqual(p.stderr, err)
                self.assertEqual(p.stdout, "")
                self.assertEqual(p.returncode, status)

    def test_port_overrides(self):
        # -p 0 and -p -1 disable the plain port; with the secure port disabled
        # as well nothing is left to listen on.
        for value in ("0", "-1"):
            with self.subTest(value=value):
                p = self.root.run("-c", "-p", value)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(
                    p.stderr,
                    "Error: %s(2): You must enable either the regular port or the secure port.\n"
                    "Error: Errors processing configuration file.  Server not started.\n" % self.root.config)
        # The secure port alone is enough once secure mode is on.
        self.root.write_config("Port 389\nSecurePort 6360\nSecureMode optional\n")
        p = self.root.run("-c", "-p", "0")
        self.assertEqual((p.returncode, p.stderr), (0, "No errors processing configuration file.\n"))
        # The command line wins over the file: the same port twice is refused
        # only once -t makes them equal.
        p = self.root.run("-c", "-t", "389")
        self.assertEqual(p.returncode, 1)
        self.assertIn("Error: The regular port and the secure port cannot be the same value.\n", p.stderr)

    def test_missing_configuration_file(self):
        p = self.root.run("-c", "-f", "nowhere.conf")
        self.assertEqual(p.returncode, 1)
        self.assertEqual(
            p.stderr,
            "Error: Could not open configuration file (%s/nowhere.conf): No such file or directory\n"
            "Error: Errors processing configuration file.  Server not started.\n" % self.root.file("bin"))

    def test_check_touches_nothing(self):
        # -c neither opens the event log nor makes any file in the root.
        before = sorted(os.walk(self.root.path))
        p = self.root.run("-c")
        self.assertEqual(p.returncode, 0)
        self.assertEqual(sorted(os.walk(self.root.path)), before)


if __name__ == "__main__":
    h.main()
