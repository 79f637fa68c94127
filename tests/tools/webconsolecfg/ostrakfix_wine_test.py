#!/usr/bin/python3
"""Runs ostrakfix.exe under wine against the registry and files of a new
wine prefix.

Usage: ostrakfix_wine_test.py <ostrakfix.exe> <wine64> <wineserver>

The prefix lives in a new temporary directory (HOME too, so wine writes
nothing outside it), is made once and served by one persistent wine server
for every check; the server is ended and the directory removed at the end.
Every program runs with its working directory inside drive_c, so a root
without a drive letter names a path on drive C:, never on the host's own
root. Exit status: 0 passed, 1 failed, 77 when wine cannot run here
(reported by CTest as skipped).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
KEY = r"HKLM\SOFTWARE\Orvane\QOX Certificate Server\Ostrakd\Settings"

# The file's twelve pieces: a text written as it stands, or a label and the
# path (or the root) that follows it on its line.
PIECES = [
    ("ostrakmon\t\t\t", "monitor"),
    ("ostrakd\t\t", "key server"),
    ("#\n# QOX Certificate Server Web-based Configuration Wizard configuration file.\n", None),
    ("#\n# Valid values:\n", None),
    ("#\n#   base_install <path>\n"
     "#           - Fully qualified path to the product install directory.\n", None),
    ("#\n#   keyserver <file>\n"
     "#           - Fully qualified filename of the keyserver executable.\n", None),
    ("#\n#   repd <file>\n"
     "#           - Fully qualified filename of the replication engine's executable.\n", None),
    ("#\n#   default_config_file <file>\n"
     "#           - Fully qualified filename of the configuration file the\n"
     "#             Web wizard uses by default.\n#\n\n", None),
    ("base_install\t\t", "root"),
    ("keyserver" + " " * 11, "key server"),
    ("repd" + " " * 17, "replication"),
    ("default_config_file\t", "default config"),
]
SUFFIXES = {
    "config": "\\web\\cgi-bin\\webconsole.cfg",
    "key server": "\\bin\\ostrakd.exe",
    "replication": "\\bin\\ostrakrepd.exe",
    "monitor": "\\Web\\cgi-bin\\ostrakmon.exe",
    "default config": "\\etc\\ostrakd.cfg",
}

BANNER = b"QOX Keyserver 1.0\r\n"
DONE = BANNER + b"Done.\r\n"
INVALID = BANNER + b"Invalid parameters..\r\n"
OPEN_KEY_FAILED = b"\r\nUnable to open the Registry Key:: "
QUERY_FAILED = b"\r\nUnable to query the Registry Key:: "
ROOT_TOO_LONG = b"\r\nUnable to use the ROOTDIR of the Registry Key:: "


def expected_file(root):
    """The file for `root` as the text-mode stream stores it: CR LF."""
    text = ""
    for piece, path in PIECES:
        if path is None:
            text += piece
        else:
            text += piece + (root if path == "root" else root + SUFFIXES[path]) + "\n"
    return text.replace("\n", "\r\n").encode("ascii")


def opening_failed(path):
    return BANNER + b"\r\nError in opening the webconsole.cfg at " + path.encode("ascii")


class Wine:
    def __init__(self, wine, server, exe, top):
        self.wine, self.server, self.exe = wine, server, exe
        self.prefix = os.path.join(top, "prefix")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("WINE")}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", HOME=top)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.cwd = os.path.join(self.drive_c, "qox")

    def call(self, args, timeout=60, cwd=None):
        """Runs a wine program; its status, standard output and error stream.
        The streams go to files, not pipes: processes that wine starts
        beside the program (its services) keep what they inherit open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            status = subprocess.run(args, env=self.env, cwd=cwd or self.cwd, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read()

    def make_prefix(self):
        """Starts the server and makes the prefix; a reason when it cannot."""
        os.mkdir(self.prefix)
        # The server stays while the checks run (each wine process would
        # otherwise start its own); it ends 30 s after the last process if
        # this script is killed before it can end it.
        status, _, err = self.call([self.server, "-p30"], cwd=self.prefix)
        if status != 0:
            return "the wine server did not start: " + err.decode(errors="replace")
        status, _, err = self.call([self.wine, "wineboot", "-i"], timeout=240, cwd=self.prefix)
        if status != 0 or not os.path.isdir(os.path.join(self.drive_c, "windows")):
            return "wineboot could not make a prefix (status %d): %s" % (status, err.decode(errors="replace"))
        os.makedirs(self.cwd, exist_ok=True)
        return None

    def end(self):
        self.call([self.server, "-k"], cwd="/")
        self.call([self.server, "-w"], cwd="/")

    def reg(self, *args):
        status, _, err = self.call([self.wine, "reg", *args])
        if status != 0:
            raise RuntimeError("wine reg %s failed (status %d): %s"
                               % (" ".join(args), status, err.decode(errors="replace")))

    def set_root(self, root, kind="REG_SZ", view=None):
        self.reg("add", KEY, "/v", "ROOTDIR", "/t", kind, "/d", root, "/f",
                 *(["/reg:" + view] if view else []))

    def run(self, *args):
        return self.call([self.wine, self.exe, *args])

    def path(self, *parts):
        return os.path.join(self.drive_c, *parts)


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, what, ok, detail=""):
        if not ok:
            self.failures += 1
            print("FAILED: %s %s" % (what, detail))

    def result(self, what, got, stdout, stderr=b""):
        """Status 0, the standard output and a start of the error stream."""
        status, out, err = got
        self.expect(what + ": status 0", status == 0, "(status %d)" % status)
        self.expect(what + ": standard output", out == stdout, "(got %r, want %r)" % (out, stdout))
        if stderr:
            self.expect(what + ": error stream", err.startswith(stderr),
                        "(got %r, want it to start %r)" % (err, stderr))
        else:
            self.expect(what + ": nothing on the error stream", err == b"", "(got %r)" % err)

    def file(self, what, path, content):
        data = open(path, "rb").read() if os.path.exists(path) else None
        self.expect(what, data == content, "(%s holds %r)" % (path, data))


def cgi_bin(wine, *root):
    path = wine.path(*root, "web", "cgi-bin")
    os.makedirs(path, exist_ok=True)
    return os.path.join(path, "webconsole.cfg")


def remove(path):
    if os.path.exists(path):
        os.remove(path)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run_checks(wine, check):
    qox_cfg = cgi_bin(wine, "qox")
    marker = b"left as it was\r\n"

    wine.set_root("C:\\qox")
    check.result("plain root", wine.run(), DONE)
    check.file("plain root: the file", qox_cfg, expected_file("C:\\qox"))
    write(qox_cfg, expected_file("C:\\qox") * 3 + b"tail")
    check.result("longer file there", wine.run(), DONE)
    check.file("longer file there: replaced entirely", qox_cfg, expected_file("C:\\qox"))

    # Failures write nothing: the marker stays.
    write(qox_cfg, marker)
    wine.set_root("%SystemDrive%\\qox", kind="REG_EXPAND_SZ")
    check.result("expandable value, taken as stored", wine.run(),
                 opening_failed("%SystemDrive%\\qox\\web\\cgi-bin\\webconsole.cfg"))
    wine.reg("add", KEY, "/v", "ROOTDIR", "/t", "REG_DWORD", "/d", "7", "/f")
    check.result("REG_DWORD value", wine.run(), BANNER, QUERY_FAILED)
    wine.reg("delete", KEY, "/v", "ROOTDIR", "/f")
    check.result("key without ROOTDIR", wine.run(), BANNER, QUERY_FAILED)
    wine.reg("delete", KEY, "/f")
    check.result("no key", wine.run(), BANNER, OPEN_KEY_FAILED)
    check.file("failures: the file untouched", qox_cfg, marker)

    # A 32-bit installer's value, read when the native view has no key; the
    # native view's value wins when both are there.
    qox32_cfg = cgi_bin(wine, "qox32")
    wine.set_root("C:\\qox32", view="32")
    check.result("32-bit view only", wine.run(), DONE)
    check.file("32-bit view only: the file", qox32_cfg, expected_file("C:\\qox32"))
    remove(qox32_cfg)
    wine.set_root("C:\\qox", view="64")
    check.result("both views", wine.run(), DONE)
    check.file("both views: the 64-bit root's file", qox_cfg, expected_file("C:\\qox"))
    check.expect("both views: nothing in the 32-bit root", not os.path.exists(qox32_cfg))

    remove(qox_cfg)
    for args in (["x"], [""]):
        check.result("argument %r" % args, wine.run(*args), INVALID)
        check.expect("argument %r: no file" % args, not os.path.exists(qox_cfg))

    wine.set_root("C:\\nowhere")
    check.result("no cgi-bin directory", wine.run(),
                 opening_failed("C:\\nowhere\\web\\cgi-bin\\webconsole.cfg"))
    check.expect("no cgi-bin directory: nothing made", not os.path.exists(wine.path("nowhere")))

    # The longest root, 228 characters, and one more.
    longest = "r" * 225
    longest_cfg = cgi_bin(wine, longest)
    wine.set_root("C:\\" + longest)
    check.result("228-character root", wine.run(), DONE)
    check.file("228-character root: the file", longest_cfg, expected_file("C:\\" + longest))
    too_long_cfg = cgi_bin(wine, longest + "r")
    wine.set_root("C:\\" + longest + "r")
    got = wine.run()
    check.result("229-character root", got, BANNER, ROOT_TOO_LONG)
    check.expect("229-character root: the error number's text", got[2].endswith(b" too long\r\n"),
                 "(got %r)" % got[2])
    check.expect("229-character root: nothing written", not os.path.exists(too_long_cfg))

    # An empty root: paths from the root of the working directory's drive.
    host_cfg = "/web/cgi-bin/webconsole.cfg"
    host_had_it = os.path.exists(host_cfg)
    empty_cfg = cgi_bin(wine)
    wine.set_root("")
    check.result("empty root", wine.run(), DONE)
    check.file("empty root: the file on drive C:", empty_cfg, expected_file(""))
    check.expect("empty root: nothing on the host's root", host_had_it or not os.path.exists(host_cfg))


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    exe, wine_path, server_path = sys.argv[1:]
    if not wine_path or not os.access(wine_path, os.X_OK):
        print("skipped: no wine64 (package wine64, /usr/lib/wine/wine64)")
        return SKIP
    if not server_path or not os.access(server_path, os.X_OK):
        print("skipped: no wine server beside %s" % wine_path)
        return SKIP
    if not os.path.isfile(exe):
        print("FAILED: %s was not built" % exe)
        return 1

    top = tempfile.mkdtemp(prefix="ostrakfix-wine-")
    wine = Wine(wine_path, server_path, os.path.abspath(exe), top)
    check = Checks()
    try:
        began = time.monotonic()
        why = wine.make_prefix()
        if why:
            print("skipped: " + why)
            return SKIP
        print("prefix made in %.1f s" % (time.monotonic() - began))
        began = time.monotonic()
        run_checks(wine, check)
        print("checks ran in %.1f s" % (time.monotonic() - began))
    finally:
        wine.end()
        shutil.rmtree(top, ignore_errors=True)
    if check.failures:
        print("%d checks failed" % check.failures)
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
