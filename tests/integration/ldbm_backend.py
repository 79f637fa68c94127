"""The directory backend end to end: entries stored by the test loader
through the backend's own add, then searched, bound to and modified by
Debian's python3-ldap3 against the running ostrakd; and "ostrakd -c" on bad
backend keywords.

Usage: ldbm_backend.py <ostrakd> <ldbm_test_loader>"""

import base64
import os
import re
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

import ldap3  # noqa: E402

LOADER = None
KEYSPACE = "O=QOX KEYSPACE,C=US"
ACTIVE = "OU=ACTIVE," + KEYSPACE
PENDING = "OU=PENDING," + KEYSPACE
PREFS = "qoxelementtype=qoxprefs,O=QOX CLIENT PREFS SPACE,C=US"
NETPREFS = "qoxelementtype=qoxnetprefs,O=QOX CLIENT PREFS SPACE,C=US"
GROUP = "ou=default,O=QOX GROUPSPACE,C=US"
FAILED = "Error: Errors processing configuration file.  Server not started.\n"


def key_dn(cert, base=ACTIVE):
    return "QOXCERTID=%s,%s" % (cert, base)


def key_entries(cert, user_ids, base=ACTIVE, extra=""):
    out = ["dn: %s\nobjectclass: qoxcertificate\nqoxcertid: %s\nqoxkey: KEY-%s\n%s" %
           (key_dn(cert, base), cert, cert, extra)]
    for uid in user_ids:
        out.append("dn: QOXUSERID=%s,%s\nobjectclass: qoxuserid\nqoxuserid: %s\nqoxkeyid: %s\nqoxcertid: %s\n" %
                   (uid, key_dn(cert, base), uid, cert[8:], cert))
    return out


CERT_A = "00000000AAAA0001"
CERT_B = "00000000BBBB0002"
CERT_P = "00000000CCCC0003"


def fixture():
    entries = []
    entries += key_entries(CERT_A, ["Alice Example One", "Alice Example Two"])
    entries += key_entries(CERT_B, ["Bob Sample"], extra="qoxkeyv2: KEYV2-B\n")
    entries += key_entries(CERT_P, ["Alice Pending"], base=PENDING)
    for i in range(8):
        entries += key_entries("0000000011%06d" % i, ["Filler User %d" % i])
    entries.append("dn: ref=elsewhere,%s\nobjectclass: referral\nref: ldap://other.example/\n" % ACTIVE)
    entries.append("dn: %s\nobjectclass: qoxprefs\nqoxsetting: off\n" % PREFS)
    entries.append("dn: %s\nobjectclass: qoxprefs\nqoxsetting: off\n" % NETPREFS)
    entries.append("dn: %s\nobjectclass: qoxgroup\nqoxsetting: off\n" % GROUP)
    entries.append("dn: cn=user,%s\nobjectclass: person\nuserpassword: Secret\n" % ACTIVE)
    return entries


class Daemon:
    """A foreground ostrakd over a directory filled by the test loader."""

    def __init__(self, root, extra="", entries=None):
        self.root = root
        root.write_config("Port %d\nSecureMode disabled\nAccessLogFile ../logs/access.log\nLogLevel verbose\n"
                          "LookupHostname no\nDirectory ../data\n%s" % (root.port, extra))
        created = root.run("-n")
        assert created.returncode == 0, created.stderr
        method = ["word"] if "IndexMethod word" in extra else []
        load = subprocess.run([LOADER, root.file("data")] + method, input="\n".join(entries or fixture()).encode(),
                              capture_output=True, timeout=h.TIMEOUT)
        assert load.returncode == 0, (load.stdout, load.stderr)
        self.proc, self.stderr = root.start()

    def stop(self):
        self.stderr.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def connection(self, **kw):
        server = ldap3.Server("127.0.0.1", port=self.root.port, get_info=ldap3.NONE)
        c = ldap3.Connection(server, version=2, raise_exceptions=False, receive_timeout=30, **kw)
        c.open()
        return c


class BackendTest(h.RootTestCase):
    extra = ""

    def setUp(self):
        super().setUp()
        self.d = Daemon(self.root, self.extra)
        self.addCleanup(self.d.stop)
        self.c = self.d.connection()
        self.assertTrue(self.c.bind())
        self.addCleanup(self.c.unbind)

    def search(self, base, query, scope=ldap3.SUBTREE, attributes=None, **kw):
        self.c.search(base, query, search_scope=scope, attributes=attributes or ["*"], **kw)
        return self.c.result["result"], sorted(e["dn"].upper() for e in self.c.response
                                               if e["type"] == "searchResEntry")


class Searches(BackendTest):
    extra = "SizeLimit 0\n"

    def test_key_id_equality_and_user_id_substrings(self):
        code, dns = self.search(ACTIVE, "(qoxkeyid=aaaa0001)")
        self.assertEqual(code, 0)
        self.assertEqual(dns, ["QOXUSERID=ALICE EXAMPLE ONE," + key_dn(CERT_A),
                               "QOXUSERID=ALICE EXAMPLE TWO," + key_dn(CERT_A)])
        for query, count in (("(qoxuserid=alice*)", 2), ("(qoxuserid=*xample*)", 2),
                             ("(qoxuserid=*sample)", 1), ("(qoxuserid=ali*two)", 1)):
            code, dns = self.search(ACTIVE, query)
            self.assertEqual((code, len(dns)), (0, count), query)
        # The whole key space includes the pending key.
        self.assertEqual(len(self.search(KEYSPACE, "(qoxuserid=alice*)")[1]), 3)

    def test_one_level_under_a_key_entry(self):
        code, dns = self.search(key_dn(CERT_A), "(objectclass=*)", scope=ldap3.LEVEL)
        self.assertEqual((code, len(dns)), (0, 2))
        code, dns = self.search(key_dn(CERT_A), "(qoxuserid=*two)", scope=ldap3.LEVEL)
        self.assertEqual(dns, ["QOXUSERID=ALICE EXAMPLE TWO," + key_dn(CERT_A)])

    def test_size_limit(self):
        code, dns = self.search(ACTIVE, "(objectclass=qoxuserid)", size_limit=4)
        self.assertEqual((code, len(dns)), (4, 4))

    def test_key_tracking_and_virtual_key_attributes(self):
        self.c.search(ACTIVE, "(qoxuserid=alice*)", attributes=["qoxkey"])
        entries = [e for e in self.c.response if e["type"] == "searchResEntry"]
        self.assertEqual(len(entries), 1)
        self.assertEqual(entries[0]["raw_attributes"]["qoxkey"], [b"KEY-" + CERT_A.encode()])
        # A user-ID entry asked for qoxkeyv2 gets its key's block.
        self.c.search(ACTIVE, "(qoxuserid=bob*)", attributes=["qoxkeyv2", "qoxuserid"])
        entries = [e for e in self.c.response if e["type"] == "searchResEntry"]
        self.assertEqual(entries[0]["raw_attributes"]["qoxkeyv2"], [b"KEYV2-B"])

    def test_files_stay_readable_by_the_library_tools(self):
        # A long key block, as an RSA key's: the entry table's pages hold it.
        block = "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n" + "A" * 1800 + "\n-----END PGP PUBLIC KEY BLOCK-----\n"
        self.c.unbind()
        self.d.stop()
        entry = "dn: %s\nobjectclass: qoxcertificate\nqoxkey:: %s\n" % (
            key_dn("00000000DDDD0004"), base64.b64encode(block.encode()).decode())
        load = subprocess.run([LOADER, self.root.file("data")], input=entry.encode(), capture_output=True,
                              timeout=h.TIMEOUT)
        self.assertEqual(load.returncode, 0, load.stderr)
        data = self.root.file("data")
        files = sorted(f for f in os.listdir(data) if f.endswith((".dbb", ".dbh")))
        self.assertIn("id2entry.dbb", files)
        for f in files:
            verify = subprocess.run(["db5.3_verify", os.path.join(data, f)], capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, (f, verify.stderr))
        dump = subprocess.run(["db5.3_dump", "-p", os.path.join(data, "id2entry.dbb")], capture_output=True,
                              text=True)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        self.assertIn("db_pagesize=16384", dump.stdout)
        self.assertIn("dn: " + key_dn("00000000DDDD0004"), dump.stdout)
        self.assertIn("qoxkey: -----BEGIN PGP PUBLIC KEY BLOCK-----!!AAAA", dump.stdout)

    def test_referrals(self):
        self.c.search(ACTIVE, "(objectclass=*)", search_scope=ldap3.SUBTREE, attributes=["cn"])
        self.assertEqual(self.c.result["result"], 9)
        self.assertIn("ldap://other.example/", self.c.result["message"])


class WordMethod(BackendTest):
    extra = "IndexMethod word\nSizeLimit 0\n"

    def test_whole_words(self):
        for query, count in (("(qoxuserid=alice example*)", 2), ("(qoxuserid=alice exa*)", 0),
                             ("(qoxuserid=*two)", 1), ("(qoxuserid=*example*)", 2)):
            code, dns = self.search(ACTIVE, query)
            self.assertEqual((code, len(dns)), (0, count), query)


class Updates(BackendTest):
    extra = "AdminUsername cn=admin\nAdminPassword secret\nAllow ip 10.9.9.9 all\nDefaultAccess add\n"

    def modify(self, c, dn):
        c.modify(dn, {"qoxsetting": [(ldap3.MODIFY_REPLACE, ["on"])]})
        return c.result["result"]

    def test_preference_and_group_entries(self):
        # Neither the admin rule (DefaultAccess is add) nor the credentials.
        self.assertEqual(self.modify(self.c, PREFS), 50)
        self.assertEqual(self.modify(self.c, NETPREFS), 50)

    def test_binds_against_a_user_password(self):
        for password, ok, code in (("Secret", True, 0), ("secret", False, 49), ("wrong", False, 49)):
            c = self.d.connection(user="cn=user," + ACTIVE, password=password)
            self.assertEqual(c.bind(), ok, password)
            self.assertEqual(c.result["result"], code, password)
            c.unbind()
        c = self.d.connection(user="cn=nobody," + ACTIVE, password="x")
        self.assertFalse(c.bind())
        self.assertEqual(c.result["result"], 32)
        c.unbind()


class AdminUpdates(BackendTest):
    extra = "AdminUsername cn=admin\nAdminPassword secret\nDefaultAccess all\n"

    def test_admin_updates_preferences_not_groups(self):
        c = self.d.connection(user="cn=admin", password="secret")
        self.assertTrue(c.bind())
        for dn in (PREFS, NETPREFS):
            c.modify(dn, {"qoxsetting": [(ldap3.MODIFY_REPLACE, ["on"])]})
            self.assertEqual(c.result["result"], 0, dn)
            c.search(dn, "(objectclass=*)", search_scope=ldap3.BASE, attributes=["qoxsetting"])
            self.assertEqual(c.response[0]["raw_attributes"]["qoxsetting"], [b"on"])
        c.modify(GROUP, {"qoxsetting": [(ldap3.MODIFY_REPLACE, ["on"])]})
        self.assertEqual(c.result["result"], 50)
        c.unbind()
        with open(self.root.file("logs", "vuziz.%d.errorlog" % self.root.port), errors="replace") as f:
            self.assertIn("TLS key ID is not allowed to update groups.", f.read())


def ber_len(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body):
    return bytes([tag]) + ber_len(len(body)) + body


def daemon_cpu_seconds(pid):
    """User and system time of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class HungUpClient(h.RootTestCase):
    """A search whose client has gone stops: it once went on, on a core of
    its own, until the server's time limit."""

    def test_search_stops_when_the_client_hangs_up(self):
        # 100 keys whose entries carry a 65 KB text: each candidate (every
        # entry: nothing is indexed) is tested against 300 substring terms
        # of that text, none of which matches, so nothing is ever written
        # that could fail: seconds of work for the directory, all of it for
        # nobody once the client has gone.
        entries = []
        for i in range(100):
            entries += key_entries("0000000022%06d" % i, ["Hang Up User %d" % i],
                                   extra="description: %s\n" % ("Long text %d " % i * 5000))
        d = Daemon(self.root, "TimeLimit 300\nSizeLimit 0\n", entries)
        self.addCleanup(d.stop)
        substring = tlv(0xA4, tlv(0x04, b"description") + tlv(0x30, tlv(0x81, b"zzqq")))
        terms = tlv(0xA1, substring * 300) + tlv(0x87, b"description")
        body = (tlv(0x04, ACTIVE.encode()) + tlv(0x0A, b"\x02") + tlv(0x0A, b"\x00") + tlv(0x02, b"\x00") +
                tlv(0x02, b"\x00") + tlv(0x01, b"\x00") + tlv(0xA0, terms) + tlv(0x30, b""))
        request = tlv(0x30, tlv(0x02, b"\x05") + tlv(0x63, body))
        before = daemon_cpu_seconds(d.proc.pid)
        s = socket.create_connection(("127.0.0.1", self.root.port), timeout=30)
        s.sendall(request)
        s.close()
        # The connection is closed once its search has stopped.
        log_path = self.root.file("logs", "vuziz.%d.errorlog" % self.root.port)
        deadline = time.time() + 60
        conn = None
        while True:
            with open(log_path, errors="replace") as f:
                log = f.read()
            if conn is None:
                m = re.search(r"conn=(\d+) op=0 SRCH base=%s" % re.escape(ACTIVE), log)
                conn = m.group(1) if m else None
            if conn is not None and re.search(r"conn=%s op=-1 fd=\d+ closed\." % conn, log):
                break
            self.assertLess(time.time(), deadline, "the search of the hung-up client went on")
            time.sleep(0.05)
        used = daemon_cpu_seconds(d.proc.pid) - before
        self.assertLess(used, 1.0)
        # Nothing was answered or logged as answered for it.
        with open(self.root.file("logs", "access.log"), errors="replace") as f:
            self.assertNotIn("conn=%s " % conn, f.read())


class BackendKeywords(h.RootTestCase):
    def test_bad_backend_keywords(self):
        cases = [
            ("Mode 644\n", "{path}(3): Invalid Mode argument in \"Mode <Mode>\" line.\n"),
            ("Mode 0x1a4\n", "{path}(3): Invalid Mode argument in \"Mode <Mode>\" line.\n"),
            ("Mode\n", "{path}(3): Missing Mode in \"Mode <Mode>\" line.\n"),
            ("CacheEntries 12a\n", "{path}(3): CacheEntries should be an integer. Currently it is 12a.\n"),
            ("DBCacheSize big\n", "{path}(3): DBCacheSize should be an integer. Currently it is big.\n"),
            ("dbCacheSplit id2entry 87\n", "{path}(3): Invalid split percent (87)"),
            ("dbCacheSplit nothing 10\n", "{path}(3): Invalid split filename (nothing)"),
            ("Directory\n", "{path}(3): Missing Path in \"Directory <Path>\" line.\n"),
            ("Directory ../nowhere\n", "{path}(3): Directory '%s' does not exist.\n"),
        ]
        for line, message in cases:
            self.root.write_config("Port %d\nSecureMode disabled\n%s" % (self.root.port, line))
            p = self.root.run("-c")
            expected = message.replace("{path}", self.root.config)
            if "%s" in expected:
                expected = expected % self.root.file("bin", "../nowhere")
            self.assertEqual(p.returncode, 1, line)
            self.assertIn("Error: " + expected, p.stderr, line)
            self.assertTrue(p.stderr.endswith(FAILED), (line, p.stderr))


if __name__ == "__main__":
    LOADER = os.path.abspath(sys.argv.pop(2))
    h.main()
