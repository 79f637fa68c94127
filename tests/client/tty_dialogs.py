#!/usr/bin/python3
"""The terminal dialogs at a real terminal.

Each case runs tty_dialog_driver (tests/client/tty_dialog_driver.cc) in a
pseudo-terminal of its own, as a shell would: a small session leader (this
script with --session) owns the terminal and starts the driver in its own
foreground process group, so ^C and ^Z reach the driver as they do from a
shell and a stopped driver really stops. The test types at the terminal's
master side, reads what the driver printed there, reads the terminal's modes,
runs `stty -g` on it, and reads the call's results from a pipe.

Usage: tty_dialogs.py <tty_dialog_driver> <case or group>...
Groups: line, random, signing, signals, noterminal; cases: the functions
named in GROUPS.
"""
import fcntl
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time

DRIVER = None
PROMPT = b"Enter pass phrase (type ^D to cancel): "
REQUEST = (b"\nQOX needs to generate some random data. This is done by measuring\n"
           b"the time intervals between your keystrokes. Please enter some\n"
           b"random text on your keyboard until the indicator reaches 100%.\n"
           b"Press ^D to cancel\n")
ENOUGH = b"\n\aEnough, thank you.\n"
CANCELLED = b"\a\nUser cancelled collection. \n"
BAD = b"Bad Passphrase: Please re-enter\n"
SERVER_PROMPT = b"QOX Keyserver: Enter passphrase for secure server key\n"
KEY_LIST = (b"\nOther Secret <other@example.com>   (RSA/2048)\n"
            b"\nQOX Keyserver <keyserver@example.com>   (RSA/2048)\n")
USER_ABORT = -11987


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def session_leader(argv):
    """--session <event fd> <driver> <arguments...>: the terminal's session
    leader, in the part of a job-control shell: it starts the driver in a
    process group of its own in the foreground and reports each change of
    the driver's state on the event descriptor."""
    events = int(argv[0])
    pid = os.fork()
    if pid == 0:
        os.setpgid(0, 0)
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        os.tcsetpgrp(0, os.getpid())
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
        os.execv(argv[1], argv[1:])
    try:
        os.setpgid(pid, pid)
    except OSError:
        pass  # the child did it first
    os.write(events, b"pid %d\n" % pid)
    while True:
        _, status = os.waitpid(pid, os.WUNTRACED | os.WCONTINUED)
        if os.WIFSTOPPED(status):
            os.write(events, b"stopped %d\n" % os.WSTOPSIG(status))
        elif os.WIFCONTINUED(status):
            os.write(events, b"continued\n")
        elif os.WIFSIGNALED(status):
            os.write(events, b"signaled %d\n" % os.WTERMSIG(status))
            return 0
        elif os.WIFEXITED(status):
            os.write(events, b"exited %d\n" % os.WEXITSTATUS(status))
            return 0


class Terminal:
    """One driver run in a fresh pseudo-terminal."""

    def __init__(self, *args):
        self.master, self.slave = os.openpty()
        self.original = self.stty()
        self.out = b""
        result_r, result_w = os.pipe()
        event_r, event_w = os.pipe()
        self.home = tempfile.mkdtemp(prefix="ostrak-tty-")
        env = dict(os.environ, QOXPATH=self.home)
        self.leader = subprocess.Popen(
            ["/usr/bin/python3", os.path.abspath(__file__), "--session", str(event_w), DRIVER,
             str(result_w)] + [str(a) for a in args],
            stdin=self.slave, stdout=self.slave, stderr=self.slave, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0),
            pass_fds=(event_w, result_w), env=env)
        os.close(result_w)
        os.close(event_w)
        self.results_fd = result_r
        self.events = os.fdopen(event_r, "rb", buffering=0)
        self.event_buffer = b""
        self.pid = int(self.event(5).split()[1])

    # --- the driver's state, as the session leader reports it ---
    def event(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.event_buffer:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.events], [], [], max(left, 0))
            if not ready:
                raise Failure("no state change of the driver within %ss; output so far: %r" % (timeout, self.out))
            chunk = os.read(self.events.fileno(), 256)
            if not chunk:
                raise Failure("the session leader ended; output so far: %r" % self.out)
            self.event_buffer += chunk
        line, self.event_buffer = self.event_buffer.split(b"\n", 1)
        return line.decode()

    def expect_event(self, wanted, timeout=5):
        got = self.event(timeout)
        check(got == wanted, "driver state %r, expected %r; output %r" % (got, wanted, self.out))

    # --- the terminal ---
    def stty(self):
        return subprocess.run(["stty", "-g"], stdin=self.slave, stdout=subprocess.PIPE, check=True).stdout

    def cbreak(self):
        lflag = termios.tcgetattr(self.master)[3]
        return (lflag & (termios.ICANON | termios.ECHO)) == 0

    def wait_cbreak(self, on=True, timeout=5):
        deadline = time.monotonic() + timeout
        while self.cbreak() != on:
            if time.monotonic() > deadline:
                raise Failure("the terminal did not %s cbreak mode; output %r" % ("enter" if on else "leave",
                                                                                  self.out))
            time.sleep(0.005)

    def bytes_read(self):
        with open("/proc/%d/io" % self.pid) as f:
            return int(f.readline().split()[1])  # rchar

    def type_and_wait_read(self, data, timeout=5):
        """Types keys and waits until the driver has read them (the terminal
        drops keys typed ahead when ^C or ^Z arrives)."""
        before = self.bytes_read()
        self.type(data)
        deadline = time.monotonic() + timeout
        while self.bytes_read() < before + len(data):
            if time.monotonic() > deadline:
                raise Failure("the driver did not read %r" % data)
            time.sleep(0.005)

    def read_some(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 4096)
        except OSError:
            return False
        self.out += chunk.replace(b"\r\n", b"\n")
        return True

    def expect(self, wanted, timeout=5):
        """Reads until the output holds `wanted` (bytes, or a compiled
        pattern); returns the output up to its end."""
        deadline = time.monotonic() + timeout
        while True:
            found = (wanted in self.out) if isinstance(wanted, bytes) else wanted.search(self.out)
            if found:
                return self.out
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("expected %r; output so far %r" % (wanted, self.out))
            self.read_some(left)

    def drain(self, quiet=0.2):
        while self.read_some(quiet):
            pass

    def type(self, data):
        os.write(self.master, data)

    def results(self):
        data = b""
        while True:
            chunk = os.read(self.results_fd, 4096)
            if not chunk:
                break
            data += chunk
        return dict(line.split("=", 1) for line in data.decode().splitlines())

    def finish(self, how="exited 0"):
        self.expect_event(how)
        self.drain(0.05)
        self.leader.wait(5)
        after = self.stty()
        check(after == self.original, "stty -g before %r, after %r" % (self.original, after))
        return self.results()

    def close(self):
        if self.leader.poll() is None:
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except OSError:
                pass
            self.leader.kill()
            self.leader.wait()
        for fd in (self.master, self.slave, self.results_fd):
            os.close(fd)
        self.events.close()
        subprocess.run(["rm", "-rf", self.home])


def run(*args):
    return Terminal(*args)


def hexof(text):
    return text.encode("latin-1").hex()


# --- line input ---

def line_editing_with_echo():
    t = run("getstring", 64, 1)
    try:
        t.wait_cbreak()
        t.type(b"ab\x08c\x7f\x7f\x7fxy\x01\x15hello\r")
        r = t.finish()
        check(r["rc"] == "5" and r["text"] == hexof("hello"), "result %r" % r)
        # BS and DEL erase, DEL at the line start rings, ^A rings, ^U sends a
        # carriage return and starts again without erasing.
        check(t.out == b"ab\x08 \x08c\x08 \x08\x08 \x08\axy\a\rhello\n", "echo %r" % t.out)
    finally:
        t.close()


def passphrase_without_echo():
    t = run("getpass")
    try:
        t.expect(PROMPT)
        t.wait_cbreak()
        t.type(b"\x08secret word\r")
        r = t.finish()
        check(r["rc"] == "11" and r["text"] == hexof("secret word"), "result %r" % r)
        check(t.out == PROMPT + b"\a\n", "nothing but the prompt, the bell and the line end: %r" % t.out)
    finally:
        t.close()


def control_d_cancels():
    t = run("getpass")
    try:
        t.expect(PROMPT)
        t.wait_cbreak()
        t.type(b"abc\x04")
        r = t.finish()
        check(r == {"rc": "-1"}, "result %r" % r)
        check(t.out == PROMPT + b"\n", "output %r" % t.out)
    finally:
        t.close()


def five_hundredth_character_rings():
    t = run("getpass")
    try:
        t.expect(PROMPT)
        t.wait_cbreak()
        t.type(b"a" * 499 + b"bcdef")
        t.expect(PROMPT + b"\a")
        # The keys typed after the 500th were dropped; an Enter typed before
        # the drop would have been dropped too, so it is typed until the line
        # ends.
        deadline = time.monotonic() + 5
        while not t.out.endswith(b"\n"):
            check(time.monotonic() < deadline, "the line did not end: %r" % t.out[-40:])
            t.type(b"\r")
            t.read_some(0.3)
        r = t.finish()
        check(r["rc"] == "499" and r["text"] == "61" * 499, "499 characters kept: rc %s" % r["rc"])
        check(t.out == PROMPT + b"\a\n", "one bell: %r" % t.out[-20:])
    finally:
        t.close()


# --- random keystrokes ---

INDICATOR = re.compile(rb"\r(\d+)% of required data   ")


def indicators(out):
    return [int(m.group(1)) for m in INDICATOR.finditer(out)]


def type_until(t, done, key=None, limit=400):
    """Types single keys (`key`, else random letters) at irregular
    intervals, each after the indicator that the previous one brought (again
    when the dialog dropped it with the typed-ahead input), until `done` is in
    the output."""
    shown = len(indicators(t.out))
    for _ in range(limit):
        if done in t.out:
            return
        t.type(key if key is not None else bytes([random.randrange(97, 123)]))
        deadline = time.monotonic() + 0.3 + random.random() * 0.05
        while time.monotonic() < deadline and len(indicators(t.out)) == shown and done not in t.out:
            t.read_some(deadline - time.monotonic())
        shown = len(indicators(t.out))
    raise Failure("%r did not come; output %r" % (done, t.out[-200:]))


def random_data_until_full():
    t = run("random", 1000, 996)
    try:
        t.expect(REQUEST + b"\r99% of required data   ")
        t.wait_cbreak()
        type_until(t, ENOUGH)
        r = t.finish()
        check(r["rc"] == "0" and int(r["entropy"]) >= 1000, "result %r" % r)
        shown = indicators(t.out)
        check(shown[:-1] == [99] * (len(shown) - 1) and shown[-1] == 100,
              "99 until the pool is full, then 100: %r" % shown)
        check(t.out.startswith(REQUEST) and t.out.endswith(b"\r100% of required data   " + ENOUGH),
              "output %r" % t.out)
        check(len(t.out) == len(REQUEST) + len(b"\r99% of required data   ") * (len(shown) - 1) +
              len(b"\r100% of required data   " + ENOUGH), "nothing else printed: %r" % t.out)
    finally:
        t.close()


def random_data_with_prompt_already_met():
    t = run("random", 500, 500, "Type something, please")
    try:
        r = t.finish()
        check(r["rc"] == "0", "result %r" % r)
        check(t.out == b"Type something, please\n\r100% of required data   " + ENOUGH, "output %r" % t.out)
    finally:
        t.close()
    t = run("random", 499, 500)
    try:
        r = t.finish()
        check(r["rc"] == "0" and t.out == b"", "more than enough: nothing shown; %r %r" % (r, t.out))
    finally:
        t.close()


def random_data_cancelled():
    t = run("random", 1000, 0)
    try:
        t.expect(REQUEST + b"\r0% of required data   ")
        t.wait_cbreak()
        type_until(t, CANCELLED, key=b"\x04")
        r = t.finish()
        check(r["rc"] == str(USER_ABORT), "result %r" % r)
        check(t.out == REQUEST + b"\r0% of required data   " + CANCELLED, "output %r" % t.out)
    finally:
        t.close()


# --- the signing passphrase ---

def signing(args, keys, expect_rc, expect_key, expect_text, prompt=SERVER_PROMPT, then=b""):
    """Runs the signing dialog, types each passphrase of `keys` after its
    prompt, and checks the whole output: the key list, the prompt, and one
    passphrase prompt per key typed, each followed by `then`."""
    t = run("signing", *args)
    try:
        expected = KEY_LIST + prompt
        for i, typed in enumerate(keys):
            expected += PROMPT
            t.expect(expected)
            t.wait_cbreak()
            t.type(typed + b"\r")
            t.expect(expected + b"\n")
            expected += b"\n" + (then[i] if i < len(then) else b"")
        r = t.finish()
        check(t.out == expected, "output %r, expected %r" % (t.out, expected))
        check(r["rc"] == str(expect_rc) and r["key"] == str(expect_key), "result %r" % r)
        check(r.get("text") == (hexof(expect_text) if expect_text is not None else None), "text in %r" % r)
        check(r["live"] == "0", "key sets, lists and iterators freed: %r" % r)
        return r
    finally:
        t.close()


def signing_server_key():
    # The server's key is second among the secret keys in validity order: its
    # passphrase is taken at the first try, tried on that key alone.
    r = signing([], [b"server pass"], 0, 3, "server pass")
    check(r["checks3"] == "1" and r["checks1"] == "0", "only the server key tried: %r" % r)
    # A wrong passphrase is refused and asked again.
    signing([], [b"wrong", b"server pass"], 0, 3, "server pass", then=[BAD])
    # The other secret key's passphrase is asked again without a word.
    r = signing([], [b"other pass", b"server pass"], 0, 3, "server pass")
    check(r["checks1"] == "1", "the other key was tried once: %r" % r)


def signing_prompts():
    # ^D cancels: no passphrase, no key.
    signing([], [b"abc\x04"], USER_ABORT, -1, None)
    # The prompt without the prompt option.
    signing(["noprompt"], [b"server pass"], 0, 3, "server pass",
            prompt=b"Need a pass phrase to use this key\n")
    # A minimum length: the message, with no line end, and the prompt again.
    signing(["minlen=8"], [b"short", b"server pass"], 0, 3, "server pass",
            then=[b"Passphrase is not of sufficient length. Please choose another."])
    # Without verification any passphrase is returned and the key output
    # stays untouched.
    signing(["noverify"], [b"anything"], 0, -1, "anything")
    # Without a default key the first key in validity order is the one.
    signing(["nodefault"], [b"other pass"], 0, 1, "other pass")
    # Only public keys: refused before any prompt.
    t = run("signing", "publiconly")
    try:
        r = t.finish()
        check(r["rc"] == "-11402" and r["key"] == "-1" and t.out == b"", "%r %r" % (r, t.out))
    finally:
        t.close()


# --- signals ---

def control_c_restores_the_terminal():
    t = run("getpass")
    try:
        t.expect(PROMPT)
        t.wait_cbreak()
        t.type(b"sec\x03")
        t.finish("signaled %d" % signal.SIGINT)
    finally:
        t.close()


def control_c_in_the_frame_cancels():
    # SIGINT reaches the main thread (the relay); the handler forwards it to
    # the dialog's thread, whose read ends; the shutdown handler runs once.
    t = run("--frame", "signing")
    try:
        t.expect(KEY_LIST + SERVER_PROMPT + PROMPT)
        t.wait_cbreak()
        t.type(b"sec\x03")
        r = t.finish()
        check(r["rc"] == str(USER_ABORT) and r["shutdowns"] == "1" and "text" not in r, "result %r" % r)
        check(r["live"] == "0", "freed: %r" % r)
    finally:
        t.close()
    t = run("--frame", "random", 1000, 0)
    try:
        t.expect(REQUEST + b"\r0% of required data   ")
        t.wait_cbreak()
        t.type(b"\x03")
        r = t.finish()
        check(r["rc"] == str(USER_ABORT) and r["shutdowns"] == "1", "result %r" % r)
        check(t.out.endswith(CANCELLED), "output %r" % t.out)
    finally:
        t.close()


def control_z_and_fg_twice():
    t = run("getpass")
    try:
        t.expect(PROMPT)
        t.wait_cbreak()
        for part in (b"abc", b"def"):
            t.type_and_wait_read(part)
            t.type(b"\x1a")
            t.expect_event("stopped %d" % signal.SIGTSTP)
            check(t.stty() == t.original, "restored while stopped")
            os.kill(t.pid, signal.SIGCONT)
            t.expect_event("continued")
            t.wait_cbreak()
        t.type(b"ghi\r")
        r = t.finish()
        check(r["rc"] == "9" and r["text"] == hexof("abcdefghi"), "result %r" % r)
        check(t.out == PROMPT + b"\n", "nothing echoed: %r" % t.out)
    finally:
        t.close()


# --- without a terminal ---

def detached(*args, stdin=subprocess.DEVNULL, pass_fds=()):
    """Runs the driver in a new session without a controlling terminal."""
    result_r, result_w = os.pipe()
    home = tempfile.mkdtemp(prefix="ostrak-tty-")
    started = time.monotonic()
    p = subprocess.Popen([DRIVER, str(result_w)] + [str(a) for a in args], stdin=stdin,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                         pass_fds=(result_w,) + tuple(pass_fds), env=dict(os.environ, QOXPATH=home))
    os.close(result_w)
    return p, result_r, started, home


def collect(p, result_r, started, home, timeout=5):
    try:
        out, _ = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        raise Failure("the dialog did not end without a terminal")
    elapsed = time.monotonic() - started
    data = os.read(result_r, 65536)
    os.close(result_r)
    subprocess.run(["rm", "-rf", home])
    check(p.returncode == 0, "exit status %d" % p.returncode)
    return dict(line.split("=", 1) for line in data.decode().splitlines()), out, elapsed


def without_a_terminal():
    r, out, elapsed = collect(*detached("random", 1000, 0))
    check(r["rc"] == str(USER_ABORT) and out == REQUEST + b"\r0% of required data   " + CANCELLED,
          "%r %r" % (r, out))
    check(elapsed < 3, "at once: %.1fs" % elapsed)
    r, out, elapsed = collect(*detached("signing"))
    check(r["rc"] == str(USER_ABORT) and r["key"] == "-1" and "text" not in r, "result %r" % r)
    check(out == KEY_LIST + SERVER_PROMPT + PROMPT + b"\n", "output %r" % out)
    check(elapsed < 3, "at once: %.1fs" % elapsed)


def one_collection_at_a_time():
    keys_r, keys_w = os.pipe()
    control_r, control_w = os.pipe()
    p, result_r, started, home = detached("reentry", control_r, stdin=keys_r, pass_fds=(control_r,))
    os.close(keys_r)
    os.close(control_r)
    try:
        seen = b""
        deadline = time.monotonic() + 5
        while b"\r0% of required data   " not in seen:
            left = deadline - time.monotonic()
            check(left > 0, "the first collection did not start: %r" % seen)
            ready, _, _ = select.select([p.stdout], [], [], left)
            if ready:
                seen += os.read(p.stdout.fileno(), 4096)
        os.write(control_w, b"x")  # the second collection, while the first reads
        ready, _, _ = select.select([result_r], [], [], 5)
        check(ready, "the second collection did not return")
        os.write(keys_w, b"\x04")
    finally:
        os.close(keys_w)
        os.close(control_w)
    r, _, _ = collect(p, result_r, started, home)
    check(r == {"second": "-11983", "first": str(USER_ABORT)}, "results %r" % r)


GROUPS = {
    "line": [line_editing_with_echo, passphrase_without_echo, control_d_cancels, five_hundredth_character_rings],
    "random": [random_data_until_full, random_data_with_prompt_already_met, random_data_cancelled],
    "signing": [signing_server_key, signing_prompts],
    "signals": [control_c_restores_the_terminal, control_c_in_the_frame_cancels, control_z_and_fg_twice],
    "noterminal": [without_a_terminal, one_collection_at_a_time],
}


def main():
    global DRIVER
    if len(sys.argv) > 1 and sys.argv[1] == "--session":
        return session_leader(sys.argv[2:])
    DRIVER = sys.argv[1]
    by_name = {case.__name__: case for cases in GROUPS.values() for case in cases}
    chosen = []
    for name in sys.argv[2:]:
        chosen += GROUPS[name] if name in GROUPS else [by_name[name]]
    failed = 0
    for case in chosen:
        started = time.monotonic()
        try:
            case()
            print("ok    %s (%.1fs)" % (case.__name__, time.monotonic() - started))
        except Failure as e:
            failed += 1
            print("FAIL  %s: %s" % (case.__name__, e))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
