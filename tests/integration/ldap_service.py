"""The LDAP service of a running ostrakd: LDAP v2 requests from Debian's
python3-ldap3 and from raw sockets, many clients at once, malformed
requests, the web console's FIFO channel, and the shutdown and restart
signals. Each test runs its own daemon on its own port, in the foreground
(-d 0) so that its exit status can be read."""

import os
import re
import resource
import select
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

import ldap3  # noqa: E402
from ldap3.protocol.rfc4511 import Filter  # noqa: E402,F401

FIFO_DIR = "/tmp/qoxkeysrv"
# The key space that "ostrakd -n" creates: searches below it succeed.
KEYSPACE = "O=QOX KEYSPACE,C=US"


# --- BER by hand, for the requests ldap3 will not send ---

def ber_len(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body):
    return bytes([tag]) + ber_len(len(body)) + body


def integer(v, tag=0x02):
    return tlv(tag, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True))


def octets(s, tag=0x04):
    return tlv(tag, s.encode() if isinstance(s, str) else s)


def message(msg_id, op):
    return tlv(0x30, integer(msg_id) + op)


def search_request(msg_id, base, filt, scope=0):
    body = (octets(base) + integer(scope, 0x0A) + integer(0, 0x0A) + integer(0) + integer(0) +
            tlv(0x01, b"\x00") + filt + tlv(0x30, b""))
    return message(msg_id, tlv(0x63, body))


def read_element(sock):
    """One whole BER element from the socket, or b"" when it closed."""
    head = b""
    while len(head) < 2:
        chunk = sock.recv(2 - len(head))
        if not chunk:
            return b""
        head += chunk
    length = head[1]
    extra = b""
    if length & 0x80:
        count = length & 0x7F
        while len(extra) < count:
            extra += sock.recv(count - len(extra))
        length = int.from_bytes(extra, "big")
    body = b""
    while len(body) < length:
        chunk = sock.recv(length - len(body))
        if not chunk:
            return b""
        body += chunk
    return head + extra + body


def parse_result(element):
    """(message ID, response tag, result code, text) of an LDAPResult."""
    assert element[0] == 0x30
    i = 2 if element[1] < 0x80 else 2 + (element[1] & 0x7F)
    assert element[i] == 0x02
    n = element[i + 1]
    msg_id = int.from_bytes(element[i + 2:i + 2 + n], "big")
    i += 2 + n
    tag = element[i]
    j = i + 2 if element[i + 1] < 0x80 else i + 2 + (element[i + 1] & 0x7F)
    assert element[j] == 0x0A
    code = element[j + 2]
    j += 3
    matched_len = element[j + 1]
    j += 2 + matched_len
    text_len = element[j + 1]
    text = element[j + 2:j + 2 + text_len].decode()
    return msg_id, tag, code, text


class Daemon:
    """A foreground ostrakd in its own run root."""

    def __init__(self, root, extra="", preexec_fn=None):
        self.root = root
        self.config_extra = extra
        self.port = root.port
        self.write_config(extra)
        created = root.run("-n")
        assert created.returncode == 0, created.stderr
        # Standard error goes to a file: a pipe nobody reads would fill and
        # stop the daemon at its next log line.
        self.proc, self.stderr = root.start(console=True, preexec_fn=preexec_fn)
        self.port = root.port
        self.wait_probe_closed()

    def write_config(self, extra):
        self.root.write_config("Port %d\nSecureMode disabled\nAccessLogFile ../logs/access.log\n"
                               "LogLevel verbose\nLookupHostname no\nDirectory ../data\n%s" % (self.port, extra))

    def wait_listening(self):
        """After a restart: listening again, with the console's FIFO (the
        start-up probe's connection counted and closed)."""
        h.wait_listening(self.proc, self.port, self.root.file("logs", "stderr"), self.fifo())
        self.wait_probe_closed()

    def wait_probe_closed(self):
        """The server closes the probe's connection on its own time; tests
        that count connections start once it has (bounded wait, failing
        loudly)."""
        for _ in range(100):
            if "Number of Valid Conn: 0\n" in self.console("GET STATUS"):
                return
            time.sleep(0.1)
        raise AssertionError("the start-up probe's connection was not closed")

    def fifo(self):
        return h.console_fifo(self.port)

    def pid_file(self):
        return "/tmp/ostrakd.%d.pid" % self.port

    def log(self):
        with open(self.root.file("logs", "vuziz.%d.errorlog" % self.port), errors="replace") as f:
            return f.read()

    def stop(self):
        self.stderr.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                return self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise
        return self.proc.returncode

    def connection(self, version=2, **kw):
        server = ldap3.Server("127.0.0.1", port=self.port, get_info=ldap3.NONE)
        c = ldap3.Connection(server, version=version, raise_exceptions=False, receive_timeout=30, **kw)
        c.open()
        return c

    def raw(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        return s

    def console(self, *lines):
        """Sends one request through the server FIFO and returns the reply."""
        reply = tempfile.mktemp(prefix="console-", dir=self.root.path)
        os.mkfifo(reply)
        try:
            request = "".join(l + "\n" for l in lines) + "Named-Pipe: %s\n\n" % reply
            with open(self.fifo(), "w") as f:
                f.write(request)
            fd = os.open(reply, os.O_RDONLY)
            chunks = []
            try:
                while True:
                    b = os.read(fd, 65536)
                    if not b:
                        break
                    chunks.append(b)
            finally:
                os.close(fd)
            return b"".join(chunks).decode()
        finally:
            os.unlink(reply)


    def sanitizer_reports(self):
        with open(self.root.file("logs", "stderr"), errors="replace") as f:
            return [l for l in f if "Sanitizer" in l or "runtime error:" in l]


class ServiceTest(h.RootTestCase):
    extra = ""

    def setUp(self):
        super().setUp()
        self.d = Daemon(self.root, self.extra)
        self.addCleanup(self.stop_cleanly)

    def stop_cleanly(self):
        # Every daemon ends with status 0 on SIGTERM, and a sanitizer build
        # reports nothing.
        self.assertEqual(self.d.stop(), 0)
        self.assertEqual(self.d.sanitizer_reports(), [])


class Requests(ServiceTest):
    def test_binds(self):
        c = self.d.connection()
        self.assertTrue(c.bind())
        # A result of 0 without a text carries the toolkit's text for it.
        self.assertEqual((c.result["result"], c.result["message"]), (0, "QOXError #0"))
        c3 = self.d.connection(version=3, user="cn=x", password="y")
        self.assertFalse(c3.bind())
        self.assertEqual((c3.result["result"], c3.result["message"]), (2, "version not supported"))
        c.unbind()
        c3.unbind()

    def test_pseudo_entries(self):
        c = self.d.connection()
        c.bind()
        self.assertTrue(c.search("cn=qoxserverinfo", "(objectclass=*)", search_scope=ldap3.BASE,
                                 attributes=["*"]))
        entry = c.response[0]
        self.assertEqual(entry["dn"], "CN=QOXSERVERINFO")
        self.assertEqual(entry["raw_attributes"], {
            "version": [b"1.0"], "software": [b"QOX Keyserver"],
            "basekeyspacedn": [b"OU=ACTIVE,O=QOX KEYSPACE,C=US"],
            "basependingdn": [b"OU=PENDING,O=QOX KEYSPACE,C=US"],
            "baseclientprefdn": [b"O=QOX CLIENT PREFS SPACE,C=US"],
            "baserecondn": [b"O=QOX RECONSTRUCTION SPACE,C=US"]})
        self.assertEqual(c.result["type"], "searchResDone")

        self.assertTrue(c.search("CN=MONITOR", "(objectclass=*)", search_scope=ldap3.BASE,
                                 attributes=["*"]))
        m = {k: [v.decode() for v in vs] for k, vs in c.response[0]["raw_attributes"].items()}
        self.assertEqual(list(m), ["version", "threads", "connection", "currentconnections",
                                   "totalconnections", "dtablesize", "writewaiters", "readwaiters",
                                   "opsinitiated", "opscompleted", "entriessent", "bytessent",
                                   "currenttime", "starttime", "nbackends"])
        self.assertEqual(m["version"], ["QOX Keyserver 1.0"])
        self.assertEqual(m["currentconnections"], ["1"])
        # slot : start time (UTC) : operations initiated : completed : DN :
        # read and write waiter flags (neither set: the value ends " : ")
        conn = re.fullmatch(r"(\d+) : (\d{14})Z : (\d+) : (\d+) : NULLDN : ", m["connection"][0])
        self.assertIsNotNone(conn, m["connection"])
        started = time.strftime("%Y%m%d%H%M%S", time.gmtime(int(time.time())))
        self.assertLessEqual(abs(int(conn.group(2)) - int(started)), 100)
        self.assertEqual((conn.group(3), conn.group(4)), ("3", "2"))  # bind, info search, this one
        self.assertEqual(m["entriessent"], ["1"])
        self.assertEqual((m["readwaiters"], m["writewaiters"], m["nbackends"]), (["0"], ["0"], ["1"]))
        self.assertRegex(m["currenttime"][0], r"^\d{14}Z$")
        self.assertEqual(m["currenttime"][0],
                         time.strftime("%Y%m%d%H%M%SZ", time.localtime(
                             time.mktime(time.strptime(m["currenttime"][0], "%Y%m%d%H%M%SZ")))))

        # A subtree search of the monitor goes to the backend, which has no
        # such entry.
        c.search("cn=monitor", "(objectclass=*)", search_scope=ldap3.SUBTREE)
        self.assertEqual(c.response, [])
        self.assertIn(c.result["result"], (0, 32))
        c.unbind()

    def test_filter_kinds_and_their_string_forms(self):
        c = self.d.connection()
        c.bind()
        cases = [
            ("(cn=*)", "(cn=*)"),
            ("(cn=Joe)", "(cn=JOE)"),
            ("(cn>=b)", "(cn>=B)"),
            ("(cn<=b)", "(cn<=B)"),
            ("(cn~=jon)", "(cn~=JON)"),
            ("(cn=a*b*c)", "(cn=A*B*C)"),
            ("(cn=*mid*)", "(cn=*MID*)"),
            ("(cn=ini*)", "(cn=INI*)"),
            ("(&(cn=a)(!(sn=b)))", "(&(cn=A)(!(sn=B)))"),
            ("(|(cn=a)(uid=*))", "(|(cn=A)(uid=*))"),
        ]
        for query, _ in cases:
            c.search(KEYSPACE, query, search_scope=ldap3.SUBTREE)
            self.assertEqual(c.result["result"], 0, query)
        c.unbind()
        log = self.d.log()
        for _, shown in cases:
            self.assertIn("SRCH base=%s scope=2 filter=%s." % (KEYSPACE, shown), log)

    def test_refusals_and_raw_requests(self):
        c = self.d.connection()
        c.bind()
        for call, kind in ((lambda: c.delete("cn=x,o=test"), "delResponse"),
                           (lambda: c.modify_dn("cn=x,o=test", "cn=y"), "modDNResponse"),
                           (lambda: c.compare("cn=x,o=test", "cn", "x"), "compareResponse")):
            call()
            self.assertEqual((c.result["result"], c.result["message"], c.result["type"]),
                             (53, "Function not implemented", kind))
        c.unbind()

        s = self.d.raw()
        # Response tags: Delete 0x4A -> 0x6B, Search -> 0x65.
        s.sendall(message(1, tlv(0x4A, b"cn=x")))
        self.assertEqual(parse_result(read_element(s))[:3], (1, 0x6B, 53))
        # A bad filter (tag 0xA7) and a scope above 2.
        s.sendall(search_request(2, "o=test", tlv(0xA7, b"")))
        self.assertEqual(parse_result(read_element(s)), (2, 0x65, 87, "bad search filter"))
        s.sendall(search_request(3, "o=test", tlv(0x87, b"cn"), scope=3))
        self.assertEqual(parse_result(read_element(s)), (3, 0x65, 2, "scope error"))
        # Two initial parts in one substrings filter are refused.
        sub = tlv(0xA4, octets("cn") + tlv(0x30, octets("a", 0x80) + octets("b", 0x80)))
        s.sendall(search_request(4, "o=test", sub))
        self.assertEqual(parse_result(read_element(s))[2], 87)
        # An Abandon gets no answer; an unknown operation neither; the
        # next request's answer is the first to come.
        s.sendall(message(5, integer(99, 0x50)) + message(6, tlv(0x77, b"")) +
                  search_request(7, KEYSPACE, tlv(0x87, b"cn")))
        self.assertEqual(parse_result(read_element(s))[:3], (7, 0x65, 0))
        # Unbind: no answer, the server closes the connection.
        s.sendall(message(8, tlv(0x42, b"")))
        self.assertEqual(read_element(s), b"")
        s.close()
        self.assertRegex(self.d.log(), r"conn=\d+ op=0 RESULT err=53 tag=107 nentries=0")

    def test_malformed_requests_close_only_their_connection(self):
        good = self.d.connection()
        good.bind()
        for bad in (b"\x31\x03\x02\x01\x01",                  # not a SEQUENCE
                    b"\x30\x84\x7f\xff\xff\xff",                # oversized length
                    b"\x30\x85\x01\x00\x00\x00\x00",            # length of five octets
                    message(1, tlv(0x63, b"\x04\x05ab"))):      # truncated element inside
            s = self.d.raw()
            s.sendall(bad)
            # The connection is closed without an answer (or, for the
            # truncated search, with a decoding error first).
            first = read_element(s)
            if first:
                self.assertEqual(parse_result(first)[2], 2)
                s.sendall(b"\x04")
                s.shutdown(socket.SHUT_WR)
                self.assertEqual(read_element(s), b"")
            s.close()
        # A truncated message: the peer hangs up in the middle of it.
        s = self.d.raw()
        s.sendall(b"\x30\x10\x02\x01")
        s.shutdown(socket.SHUT_WR)
        self.assertEqual(read_element(s), b"")
        s.close()
        self.assertTrue(good.search("cn=QOXSERVERINFO", "(cn=*)", search_scope=ldap3.BASE))
        good.unbind()

    def test_many_clients_at_once(self):
        errors = []
        count = 200
        barrier = threading.Barrier(count)

        def client(i):
            try:
                c = self.d.connection()
                barrier.wait(60)
                ok = c.bind() and c.search("CN=QOXSERVERINFO", "(uid=%d)" % i, search_scope=ldap3.BASE,
                                           attributes=["software"])
                if not ok or c.response[0]["raw_attributes"]["software"] != [b"QOX Keyserver"]:
                    errors.append((i, c.result))
                c.search(KEYSPACE, "(cn=user%d*)" % i, search_scope=ldap3.SUBTREE)
                if c.result["result"] != 0:
                    errors.append((i, c.result))
                c.unbind()
            except Exception as e:  # noqa: BLE001
                errors.append((i, repr(e)))

        threads = [threading.Thread(target=client, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])
        self.assertNotRegex(self.d.log(), r"(Error|Warning):")
        c = self.d.connection()
        c.bind()
        c.search("cn=monitor", "(cn=*)", search_scope=ldap3.BASE, attributes=["*"])
        self.assertEqual(c.response[0]["raw_attributes"]["totalconnections"], [str(count + 2).encode()])  # and the start-up probe
        c.unbind()


    def test_clients_connecting_together_are_all_served(self):
        # 100 ldap3 clients (its default socket) connect at the same moment:
        # a short listen queue dropped the handshakes beyond it.
        count = 100
        barrier = threading.Barrier(count)
        served, errors = [], []

        def client(i):
            try:
                barrier.wait(60)
                c = self.d.connection()
                if c.bind() and c.search("CN=QOXSERVERINFO", "(objectclass=*)", search_scope=ldap3.BASE,
                                         attributes=["software"]):
                    served.append(i)
                else:
                    errors.append((i, c.result))
                c.unbind()
            except Exception as e:  # noqa: BLE001
                errors.append((i, repr(e)))

        threads = [threading.Thread(target=client, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])
        self.assertEqual(sorted(served), list(range(count)))

    def test_listen_queue_is_the_kernels_largest(self):
        # ss shows a listening socket's queue length as its Send-Q; the
        # kernel caps the asked SOMAXCONN at net.core.somaxconn.
        with open("/proc/sys/net/core/somaxconn") as f:
            cap = int(f.read())
        out = subprocess.run(["ss", "-ltnH", "sport = :%d" % self.d.port], capture_output=True, text=True,
                             check=True).stdout.split()
        self.assertGreaterEqual(len(out), 3, out)
        self.assertEqual(int(out[2]), min(socket.SOMAXCONN, cap))


class NoReconstruction(ServiceTest):
    extra = "AcceptReconstructionData no\n"

    def test_server_info_without_reconstruction_base(self):
        c = self.d.connection()
        c.bind()
        c.search("CN=QOXSERVERINFO", "(cn=*)", search_scope=ldap3.BASE, attributes=["*"])
        self.assertNotIn("baserecondn", c.response[0]["raw_attributes"])
        c.unbind()


class Console(ServiceTest):
    def test_status_disable_enable(self):
        held = self.d.connection()
        held.bind()  # answered: the server has taken the connection
        # The start-up probe's connection may still be closing: bounded wait.
        for _ in range(100):
            reply = self.d.console("GET STATUS")
            if "Number of Valid Conn: 1\n" in reply:
                break
            time.sleep(0.1)
        self.assertTrue(reply.startswith("200 STATUS FOLLOWS\nSTATE: ENABLED\n\n"), reply)
        self.assertIn("Number of Valid Conn: 1\n", reply)
        self.assertIn("Maximum # of Conn.  : ", reply)
        self.assertRegex(reply, r"ACTIVE CONNECTIONS\nTime: \w{3} \w+ \d\d, \d{4} \d\d:\d\d:\d\d [AP]M\t"
                                r"Host: 127\.0\.0\.1\n\n$")
        held.unbind()

        self.assertEqual(self.d.console("GET STATUS", "Control: DISABLE"),
                         "200 STATUS FOLLOWS\nSTATE: DISABLED\n\n")
        self.assertEqual(self.d.console("GET STATUS"), "200 STATUS FOLLOWS\nSTATE: DISABLED\n\n")
        # New connections are accepted and closed at once (nothing is sent
        # first: unread bytes would turn the close into a reset).
        s = self.d.raw()
        self.assertEqual(read_element(s), b"")
        s.close()
        self.assertEqual(self.d.console("GET STATUS", "Control: ENABLE"),
                         "200 STATUS FOLLOWS\nSTATE: ENABLED\n\n")
        c = self.d.connection()
        self.assertTrue(c.bind())
        c.unbind()
        self.assertIn("Connection refused, daemon disabled!", self.d.log())

    def test_requests_that_are_not_answered(self):
        # A lone GET line is not a request; lines before GET are ignored.
        with open(self.d.fifo(), "w") as f:
            f.write("GET STATUS\n\n")
        reply = self.d.console("JUNK line", "GET STATUS")
        self.assertTrue(reply.startswith("200 STATUS FOLLOWS\n"))
        self.assertIn("Invalid request received from Web Console.", self.d.log())

    def test_restart_keeps_process_and_socket(self):
        pid = self.d.proc.pid
        held = self.d.connection()
        held.bind()
        self.assertEqual(self.d.console("GET STATUS", "Control: RESTART"),
                         "200 STATUS FOLLOWS\nQOXkeyserver restarting.\n\n")
        # The restarted pass serves on the same socket, in the same process.
        deadline = time.time() + 60
        while True:
            try:
                c = self.d.connection()
                if c.bind():
                    break
            except Exception:  # noqa: BLE001
                pass
            self.assertLess(time.time(), deadline)
            time.sleep(0.2)
        c.search("cn=monitor", "(cn=*)", search_scope=ldap3.BASE, attributes=["totalconnections"])
        self.assertEqual(c.response[0]["raw_attributes"]["totalconnections"], [b"1"])  # a new pass
        c.unbind()
        self.assertIsNone(self.d.proc.poll())
        self.assertEqual(self.d.proc.pid, pid)
        self.d.wait_listening()
        self.assertTrue(self.d.console("GET STATUS").startswith("200 STATUS FOLLOWS\nSTATE: ENABLED"))

    def test_log_pages(self):
        path = self.root.file("logs", "access.log")
        lines = ["line %02d\n" % i for i in range(10)]
        with open(path, "a") as f:
            f.write("".join(lines))
        offsets = [sum(len(l) for l in lines[:i]) for i in range(11)]
        size = offsets[10]

        def page(action, size_, position=0):
            r = self.d.console("GET LOG", "LOG-TYPE: ACCESS", "Page-Action: %s" % action,
                               "Page-Size: %d" % size_, "Position: %d" % position)
            head = "200 STATUS FOLLOWS\nSIZE: %d\nSTATE: ENABLED\n\n" % size
            self.assertTrue(r.startswith(head), r)
            body = r[len(head):]
            m = re.fullmatch(r"((?:\d+: .*\n)*)END: (\d+)\n\n", body, re.S)
            self.assertIsNotNone(m, body)
            got = [(int(a), b + "\n") for a, b in re.findall(r"(\d+): (.*)\n", m.group(1))]
            return got, int(m.group(2))

        # A page holds exactly page size lines (it once held one more).
        got, end = page("FIRST", 2)
        self.assertEqual(got, [(offsets[i], lines[i]) for i in range(2)])
        self.assertEqual(end, offsets[2])
        got, end = page("NEXT", 3, end)
        self.assertEqual(got, [(offsets[i], lines[i]) for i in range(2, 5)])
        self.assertEqual(end, offsets[5])
        got, end = page("LAST", 3)
        self.assertEqual([g[1] for g in got], lines[7:])
        self.assertEqual(end, size)
        got, end = page("PREV", 2, offsets[6])
        self.assertEqual(got, [(offsets[i], lines[i]) for i in (4, 5)])
        self.assertEqual(end, offsets[6])
        got, _ = page("PREV", 5, offsets[2])  # fewer lines before the position
        self.assertEqual(got, [(offsets[i], lines[i]) for i in (0, 1)])
        # LAST of a file with fewer lines than the page: the whole file.
        got, end = page("LAST", 50)
        self.assertEqual([g[1] for g in got], lines)
        self.assertEqual(end, size)
        # A position at or past the end, even beyond 2^31, gives the last
        # page (it once gave the first).
        for position in (size, size + 100, 2 ** 31 + 5, 2 ** 40):
            got, end = page("NEXT", 2, position)
            self.assertEqual([g[1] for g in got], lines[8:], position)
            self.assertEqual(end, size)

        err = self.d.console("GET LOG", "LOG-TYPE: ERROR", "Page-Action: FIRST", "Page-Size: 1")
        self.assertRegex(err, r"^200 STATUS FOLLOWS\nSIZE: \d+\nSTATE: ENABLED\n\n0: ")

    def test_reply_path_must_be_a_fifo(self):
        target = self.root.file("victim")
        with open(target, "w") as f:
            f.write("keep")
        link = self.root.file("link")
        os.symlink(target, link)
        for name in (target, link):
            with open(self.d.fifo(), "w") as f:
                f.write("GET STATUS\nNamed-Pipe: %s\n\n" % name)
        # The server goes on serving; the files are untouched.
        self.assertTrue(self.d.console("GET STATUS").startswith("200 STATUS FOLLOWS"))
        with open(target) as f:
            self.assertEqual(f.read(), "keep")
        self.assertIn("Unable to open Web Console Named Pipe", self.d.log())
        # A failed reply stops nothing: a later hang-up restarts the server.
        with open(self.d.fifo(), "w") as f:
            f.write("GET STATUS\nNamed-Pipe: %s\n\n" % target)
        # The hang-up comes once that request has failed (its log line is
        # the third of its kind), not after a guessed pause.
        deadline = time.time() + 30
        while self.d.log().count("Unable to open Web Console Named Pipe") < 3:
            self.assertLess(time.time(), deadline, "the third reply did not fail")
            time.sleep(0.05)
        self.d.proc.send_signal(signal.SIGHUP)
        restarted = False
        deadline = time.time() + 60
        while not restarted and time.time() < deadline and self.d.proc.poll() is None:
            try:
                c = self.d.connection()
                if c.bind():
                    c.search("cn=monitor", "(cn=*)", search_scope=ldap3.BASE, attributes=["*"])
                    # A new pass counts its connections from the start again.
                    restarted = bool(c.response) and \
                        c.response[0]["raw_attributes"]["totalconnections"] == [b"1"]
                c.unbind()
            except Exception:  # noqa: BLE001
                pass
            time.sleep(0.2)
        self.assertTrue(restarted)
        self.assertIsNone(self.d.proc.poll())
        self.d.wait_listening()
        self.assertTrue(self.d.console("GET STATUS").startswith("200 STATUS FOLLOWS"))


def limit_descriptors(n):
    """A preexec_fn giving the daemon a descriptor limit of n."""
    def apply():
        resource.setrlimit(resource.RLIMIT_NOFILE, (n, n))
    return apply


def raw_from(address, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((address, 0))
    s.settimeout(30)
    s.connect(("127.0.0.1", port))
    return s


def closed_by_server(s):
    """True when the server has closed the socket (an end of file waits)."""
    ready, _, _ = select.select([s], [], [], 0)
    if not ready:
        return False
    try:
        return s.recv(1) == b""
    except OSError:
        return True


class ConnectionLimits(h.RootTestCase):
    """One client cannot lock the others out: with a descriptor limit of 128
    (the table then has 128 less the server's own descriptors and a reserve
    of slots), 117 idle sockets once made every new client hang."""

    def setUp(self):
        super().setUp()
        self.d = Daemon(self.root, preexec_fn=limit_descriptors(128))
        self.addCleanup(self.stop)
        self.held = []
        self.addCleanup(self.close_held)
        status = self.d.console("GET STATUS")
        self.table = int(re.search(r"Maximum # of Conn\.  : (\d+)", status).group(1))

    def close_held(self):
        for s in self.held:
            s.close()

    def stop(self):
        self.assertEqual(self.d.stop(), 0)
        self.assertEqual(self.d.sanitizer_reports(), [])

    def served_from(self, address):
        """A client from the address binds and searches, within 5 s."""
        server = ldap3.Server("127.0.0.1", port=self.d.port, get_info=ldap3.NONE, connect_timeout=5)
        c = ldap3.Connection(server, version=2, raise_exceptions=False, receive_timeout=5,
                             source_address=address)
        start = time.time()
        c.open()
        ok = c.bind() and c.search("CN=QOXSERVERINFO", "(cn=*)", search_scope=ldap3.BASE)
        c.unbind()
        return ok and time.time() - start < 5

    def test_one_address_holds_a_quarter_of_the_table(self):
        share = self.table // 4
        self.held = [raw_from("127.0.0.1", self.d.port) for _ in range(200)]
        # A second address is served at once.
        self.assertTrue(self.served_from("127.0.0.2"))
        # The listener has taken every one of the 200 by now (it accepts in
        # order): the first `share` stay, the others were closed at accept.
        kept = [s for s in self.held if not closed_by_server(s)]
        self.assertEqual(len(kept), share)
        self.assertIs(self.held[0] in kept, True)
        # Logged once for the address (not once per refused connection).
        log = self.d.log()
        self.assertEqual(log.count("Exceeded maximum number of connections (%d) from 127.0.0.1." % share), 1, log)

    def test_a_full_table_closes_the_oldest_idle_unbound_connection(self):
        share = self.table // 4
        # Four addresses, each within its share, fill the table up to its
        # reserve and beyond: each further accept closes the oldest idle
        # connection that has not bound.
        for k in range(4):
            self.held += [raw_from("127.0.0.%d" % (k + 1), self.d.port) for _ in range(share)]
        self.assertTrue(self.served_from("127.0.0.9"))
        self.assertTrue(closed_by_server(self.held[0]))       # the oldest went first
        self.assertFalse(closed_by_server(self.held[-1]))     # the newest stays
        self.assertIn("to make room for new connections.", self.d.log())


class HostileRequests(ServiceTest):
    def exchange(self, s, request):
        s.sendall(request)
        return parse_result(read_element(s))

    def test_filters_beyond_the_limits_are_refused(self):
        s = self.d.raw()
        # 100,000 presence terms in one OR (790 KB once kept a core busy
        # until the server's time limit).
        big_or = tlv(0xA1, tlv(0x87, b"cn") * 100000)
        self.assertEqual(self.exchange(s, search_request(1, KEYSPACE, big_or, scope=2)),
                         (1, 0x65, 4, "filter too large"))
        # An approximate word of 1 MB.
        approx = tlv(0xA8, octets("cn") + octets("a" * (1 << 20)))
        self.assertEqual(self.exchange(s, search_request(2, KEYSPACE, approx, scope=2))[2], 4)
        # An AND of 20,000 substring terms.
        subs = tlv(0xA0, tlv(0xA4, octets("cn") + tlv(0x30, octets("ab", 0x81))) * 20000)
        self.assertEqual(self.exchange(s, search_request(3, KEYSPACE, subs, scope=2))[2], 4)
        # The connection goes on serving.
        self.assertEqual(self.exchange(s, search_request(4, KEYSPACE, tlv(0x87, b"cn"), scope=2))[:3],
                         (4, 0x65, 0))
        s.close()

    def test_loose_encodings_are_refused(self):
        s = self.d.raw()

        def search(msg_id, limits=b"", boolean=b"\x00", filt=tlv(0x87, b"cn"), attrs=tlv(0x30, b"")):
            body = (octets(KEYSPACE) + integer(2, 0x0A) + integer(0, 0x0A) + (limits or integer(0) + integer(0)) +
                    tlv(0x01, boolean) + filt + attrs)
            return message(msg_id, tlv(0x63, body))

        cases = [
            ("attribute list not a SEQUENCE", search(1, attrs=tlv(0x31, octets("cn"))), 2),
            ("attribute list of integers", search(2, attrs=tlv(0x30, integer(5))), 2),
            ("two-byte BOOLEAN", search(3, boolean=b"\x00\x00"), 2),
            ("size limit -1", search(4, limits=integer(-1) + integer(0)), 2),
            ("size limit -2^31", search(5, limits=integer(-2 ** 31) + integer(0)), 2),
            ("time limit -1", search(6, limits=integer(0) + integer(-1)), 2),
            ("equality without a value", search(7, filt=tlv(0xA3, octets("cn"))), 87),
        ]
        for name, request, code in cases:
            with self.subTest(name):
                self.assertEqual(self.exchange(s, request)[2], code)
        s.close()

    def test_nul_in_a_value_is_data(self):
        s = self.d.raw()
        # The key space's own entry answers (o=QOX KEYSPACE); a NUL and more
        # after the value once matched it all the same.
        for value, expected in ((b"QOX KEYSPACE", 1), (b"QOX KEYSPACE\x00junk", 0)):
            s.sendall(search_request(1, KEYSPACE, tlv(0xA3, octets("o") + octets(value)), scope=0))
            entries = 0
            while True:
                code = self.entry_or_result(read_element(s))
                if code is None:
                    entries += 1
                    continue
                self.assertEqual(code, 0)
                break
            self.assertEqual(entries, expected, value)
        s.close()

    @staticmethod
    def entry_or_result(element):
        """None for a SearchResultEntry, else the result code."""
        i = 2 if element[1] < 0x80 else 2 + (element[1] & 0x7F)
        i += 2 + element[i + 1]  # the message ID
        if element[i] == 0x64:
            return None
        return parse_result(element)[2]

    def test_unsupported_requests_are_logged_once_a_minute(self):
        c = self.d.connection()
        c.bind()
        for _ in range(20):
            c.delete("cn=x,o=test")
            self.assertEqual(c.result["result"], 53)
        c.unbind()
        log = self.d.log()
        # One line for the kind (each was once five times its request's size).
        self.assertEqual(log.count("Unsupported LDAP operation (delete)."), 1, log)


class PortAndControlDirectory(h.RootTestCase):
    def test_second_daemon_on_a_served_port_leaves_the_first_alone(self):
        first = Daemon(self.root)
        self.addCleanup(first.stop)
        second = h.Root()
        self.addCleanup(second.cleanup)
        second.port = first.port
        second.write_config("Port %d\nSecureMode disabled\nAccessLogFile ../logs/access.log\n"
                            "LookupHostname no\nDirectory ../data\n" % first.port)
        self.assertEqual(second.run("-n").returncode, 0)
        p = second.run("-d", "0")
        self.assertEqual(p.returncode, 1)
        self.assertIn("Binding to port %d failed" % first.port, p.stderr)
        # The first server's FIFO and PID file are still there, and it is
        # still served through them (the second once removed both).
        self.assertTrue(os.path.exists(first.fifo()))
        with open(first.pid_file()) as f:
            self.assertEqual(f.read(), "%d\n" % first.proc.pid)
        self.assertTrue(first.console("GET STATUS").startswith("200 STATUS FOLLOWS"))

    def test_foreign_control_directory_leaves_the_service_running(self):
        # A private mount namespace puts a directory of our making over
        # /tmp/qoxkeysrv: owned by another user, or open to others.
        private = tempfile.mkdtemp(prefix="ostrakd-ipc-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", private]))
        script = os.path.join(private, "ns.sh")
        with open(script, "w") as f:
            f.write(IPC_NAMESPACE_SCRIPT)
        ipc = os.path.join(private, "ipc")
        os.mkdir(ipc)
        probe = subprocess.run(["unshare", "-m", "sh", script, ipc, "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no private mount namespace here: %s" % probe.stderr.decode().strip())
        cases = [("another owner", 65534, 0o755), ("writable by others", os.getuid(), 0o1777),
                 ("writable by its group", os.getuid(), 0o770)]
        for name, owner, mode in cases:
            with self.subTest(name):
                os.chown(ipc, owner, -1)
                os.chmod(ipc, mode)
                self.root.write_config("Port %d\nSecureMode disabled\nAccessLogFile ../logs/access.log\n"
                                       "Directory ../data\n" % self.root.port)
                self.assertEqual(self.root.run("-n").returncode, 0)
                proc, errors = self.root.start(command=["unshare", "-m", "sh", script, ipc, "./ostrakd", "-d", "0"])
                try:
                    server = ldap3.Server("127.0.0.1", port=self.root.port, get_info=ldap3.NONE)
                    c = ldap3.Connection(server, version=2, raise_exceptions=False, receive_timeout=10)
                    c.open()
                    self.assertTrue(c.bind())
                    self.assertTrue(c.search("CN=QOXSERVERINFO", "(cn=*)", search_scope=ldap3.BASE))
                    c.unbind()
                    self.assertEqual(os.listdir(ipc), [])  # no FIFO in someone else's directory
                finally:
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(h.TIMEOUT), 0)
                    errors.close()
                with open(self.root.file("logs", "vuziz.%d.errorlog" % self.root.port)) as f:
                    self.assertIn("Error: Could not create ipc directory (/tmp/qoxkeysrv).", f.read())


# Runs a command with a directory of the test's making mounted over
# /tmp/qoxkeysrv, in a mount namespace of its own.
IPC_NAMESPACE_SCRIPT = """
set -e
mount --make-rprivate /
mkdir -p /tmp/qoxkeysrv
mount --bind "$1" /tmp/qoxkeysrv
shift
exec "$@"
"""


class Signals(h.RootTestCase):
    def test_sigterm_with_open_connections(self):
        d = Daemon(self.root)
        held = [d.raw() for _ in range(3)]
        c = d.connection()
        c.bind()
        self.assertTrue(os.path.exists(d.pid_file()))
        self.assertEqual(d.stop(), 0)
        self.assertEqual(d.sanitizer_reports(), [])
        self.assertFalse(os.path.exists(d.pid_file()))
        self.assertTrue(os.path.exists("/tmp/ostrakd.pid"))  # only the port's file goes
        self.assertFalse(os.path.exists(d.fifo()))
        for s in held:
            self.assertEqual(read_element(s), b"")
            s.close()

    def test_sighup_rereads_configuration(self):
        d = Daemon(self.root)
        self.addCleanup(d.stop)
        c = d.connection()
        c.bind()
        c.search("CN=QOXSERVERINFO", "(cn=*)", search_scope=ldap3.BASE, attributes=["*"])
        self.assertIn("baserecondn", c.response[0]["raw_attributes"])
        c.unbind()
        pid = d.proc.pid
        d.write_config("AcceptReconstructionData no\n")
        d.proc.send_signal(signal.SIGHUP)
        deadline = time.time() + 60
        while True:
            try:
                c = d.connection()
                c.bind()
                c.search("CN=QOXSERVERINFO", "(cn=*)", search_scope=ldap3.BASE, attributes=["*"])
                if c.response and "baserecondn" not in c.response[0]["raw_attributes"]:
                    break
            except Exception:  # noqa: BLE001
                pass
            self.assertLess(time.time(), deadline)
            time.sleep(0.2)
        self.assertIsNone(d.proc.poll())
        self.assertEqual(d.proc.pid, pid)


if __name__ == "__main__":
    h.main()
