"""The toolkit's LDAP client (net/ldap_client.h) against the running ostrakd,
driven through the probe program (ldap_client_probe.cc), with Debian's
python3-ldap3 as the oracle: a version 2 simple bind, the two pseudo
entries, searches whose filters hold parentheses, backslashes and stars
(escaped by RFC 1960's backslash for the client, as \\28 \\29 \\5c \\2a for
ldap3), the size limit, result codes with their matched DN and text, and
the updates the daemon answers; gpg-made keys added as "qoxkey" to the
virtual key entry (and again, 68) and read back by gpg; an unsigned DELETE
request accepted over TLS when the client's key is on an "Allow keyid ...
delete" line, and the group entry updated with an admin key; and the same entries through option 4's
socket bound to a TLS session on the secure port (gpg-made keys in the
daemon's rings, tests/net/data).

Usage: ldap_client.py <ostrakd> <ldbm_test_loader> <ldap_client_probe>"""

import json
import os
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

import ldap3  # noqa: E402

LOADER = None
PROBE = None
KEYSPACE = "O=QOX KEYSPACE,C=US"
ACTIVE = "OU=ACTIVE," + KEYSPACE
VIRTUAL = "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US"
PREFS = "qoxelementtype=qoxprefs,O=QOX CLIENT PREFS SPACE,C=US"

# User IDs with the characters filters must escape.
USER_IDS = [
    "Paren (x) User <p@example.org>",
    "Back\\slash User",
    "Star*Name User",
    "Plain Person",
    "Close) Only",
    "Open( Only",
    "Mixed (a\\b*c)",
]
DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "net", "data")
RSA_ID, DSA_ID = "0x680C0E75E46E7915", "0xDBB238E26EE058EC"  # gpg's IDs of tls-rsa.bin, tls-dsa.bin
CERT = "00000000AAAA0001"
CERT_DN = "QOXCERTID=%s,%s" % (CERT, ACTIVE)


def fixture():
    out = ["dn: %s\nobjectclass: qoxcertificate\nqoxcertid: %s\nqoxkey: KEY-%s\n" % (CERT_DN, CERT, CERT)]
    for i, uid in enumerate(USER_IDS):
        out.append("dn: QOXUSERID=uid%d,%s\nobjectclass: qoxuserid\nqoxuserid: %s\nqoxkeyid: %s\n"
                   "qoxcertid: %s\n" % (i, CERT_DN, uid, CERT[8:], CERT))
    out.append("dn: %s\nobjectclass: qoxprefs\nqoxsetting: off\n" % PREFS)
    return out


def ours(value):
    """A value escaped for the client's reader: a backslash before each of
    ( ) \\ *."""
    return "".join("\\" + c if c in "()\\*" else c for c in value)


def theirs(value):
    """The same for ldap3: RFC 4515's hexadecimal escapes."""
    return "".join("\\%02x" % ord(c) if c in "()\\*" else c for c in value)


class Daemon:
    """A foreground ostrakd over a directory filled by the test loader."""

    def __init__(self, root, extra, secure=None):
        """secure: the secure port, served with the RSA fixture key."""
        self.root = root
        mode = "SecureMode disabled\n"
        if secure is not None:
            etc = root.file("etc")
            for ring, names in (("pub.bin", ("tls-rsa.bin", "tls-dsa.bin")),
                                ("sec.bin", ("tls-rsa.sec.bin", "tls-dsa.sec.bin"))):
                with open(os.path.join(etc, ring), "wb") as f:
                    f.write(b"".join(open(os.path.join(DATA, n), "rb").read() for n in names))
            with open(os.path.join(etc, "seed.bin"), "wb") as f:
                f.write(os.urandom(512))
            mode = ("SecurePort %d\nSecureMode optional\nServerSecureKeyID %s\nPublicKeyRing %s/pub.bin\n"
                    "PrivateKeyRing %s/sec.bin\nRandSeedFile %s/seed.bin\n" % (secure, RSA_ID, etc, etc, etc))
        root.write_config("Port %d\n%sLogLevel verbose\nLookupHostname no\n"
                          "Directory ../data\n%s" % (root.port, mode, extra))
        created = root.run("-n")
        assert created.returncode == 0, created.stderr
        load = subprocess.run([LOADER, root.file("data")], input="\n".join(fixture()).encode(),
                              capture_output=True, timeout=h.TIMEOUT)
        assert load.returncode == 0, (load.stdout, load.stderr)
        self.stderr = open(root.file("logs", "stderr"), "wb")
        self.proc = subprocess.Popen(["./ostrakd", "-d", "0", "-s"], cwd=root.file("bin"),
                                     stdout=subprocess.DEVNULL, stderr=self.stderr)
        deadline = time.time() + 30
        while True:
            if self.proc.poll() is not None:
                with open(root.file("logs", "stderr"), errors="replace") as f:
                    raise AssertionError("ostrakd ended: %s" % f.read())
            try:
                socket.create_connection(("127.0.0.1", root.port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline:
                    raise AssertionError("ostrakd does not listen")
                time.sleep(0.1)

    def stop(self):
        self.stderr.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def ldap3(self, **kw):
        server = ldap3.Server("127.0.0.1", port=self.root.port, get_info=ldap3.NONE)
        c = ldap3.Connection(server, version=2, raise_exceptions=False, receive_timeout=30, **kw)
        c.open()
        assert c.bind(), c.result
        return c


class Probe:
    """The probe program: one command, one JSON answer; texts in hex."""

    def __init__(self):
        self.proc = subprocess.Popen([PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def call(self, cmd, *args):
        words = [cmd] + [a if isinstance(a, int) else "-" if a is None else "=" if a == "" else
                         a.encode("utf-8").hex() for a in args]
        self.proc.stdin.write((" ".join(str(w) for w in words) + "\n").encode())
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise AssertionError("the probe ended at %r" % (words,))
        return json.loads(line, object_hook=Probe.unhex)

    @staticmethod
    def unhex(d):
        for k in ("dn", "matched", "text"):
            if isinstance(d.get(k), str):
                d[k] = bytes.fromhex(d[k]).decode("utf-8", "replace")
        if "attrs" in d:
            d["attrs"] = [[bytes.fromhex(t).decode(), [bytes.fromhex(v) for v in vals]] for t, vals in d["attrs"]]
        return d

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)
        self.proc.stdout.close()


class ClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = h.Root()
        cls.d = Daemon(cls.root, "Allow ip 127.0.0.1 all\nAdminUsername cn=admin\nAdminPassword secret\n"
                                 "SizeLimit 0\n")

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.root.cleanup()

    def setUp(self):
        self.p = Probe()
        self.addCleanup(self.p.close)
        self.assertEqual(self.p.call("open", "127.0.0.1", self.root.port), {"rc": 0})
        self.c = self.d.ldap3()
        self.addCleanup(self.c.unbind)

    def theirs(self, base, query, scope=ldap3.SUBTREE, attributes=None):
        self.c.search(base, query, search_scope=scope, attributes=attributes or ["*"])
        entries = [e for e in self.c.response if e["type"] == "searchResEntry"]
        return self.c.result, entries

    def test_simple_bind_version_2(self):
        self.assertEqual(self.p.call("bind", None, None), {"rc": 0})
        self.assertEqual(self.p.call("bind", "cn=admin", "secret"), {"rc": 0})
        self.assertEqual(self.p.call("errno")["code"], 0)
        self.assertEqual(self.p.call("unbind"), {"rc": 0})

    def test_server_information_entry(self):
        r = self.p.call("search", "CN=QOXSERVERINFO", 0, "(objectclass=*)", None)
        self.assertEqual((r["rc"], r["code"], len(r["entries"])), (0, 0, 1))
        attrs = r["entries"][0]["attrs"]
        self.assertEqual(attrs[:5], [
            ["version", [b"1.0"]],
            ["software", [b"QOX Keyserver"]],
            ["basekeyspacedn", [b"OU=ACTIVE,O=QOX KEYSPACE,C=US"]],
            ["basependingdn", [b"OU=PENDING,O=QOX KEYSPACE,C=US"]],
            ["baseclientprefdn", [b"O=QOX CLIENT PREFS SPACE,C=US"]],
        ])
        result, entries = self.theirs("CN=QOXSERVERINFO", "(objectclass=*)", ldap3.BASE)
        self.assertEqual(r["entries"][0]["dn"], entries[0]["dn"])
        self.assertEqual(attrs, [[t, v] for t, v in entries[0]["raw_attributes"].items()])

    def test_monitor_entry(self):
        r = self.p.call("search", "CN=MONITOR", 0, "(objectclass=*)", None)
        self.assertEqual((r["rc"], r["code"], len(r["entries"])), (0, 0, 1))
        attrs = r["entries"][0]["attrs"]
        self.assertEqual([t for t, _ in attrs], [
            "version", "threads", "connection", "currentconnections", "totalconnections", "dtablesize",
            "writewaiters", "readwaiters", "opsinitiated", "opscompleted", "entriessent", "bytessent",
            "currenttime", "starttime", "nbackends"])
        self.assertEqual(attrs[0][1], [b"QOX Keyserver 1.0"])
        # Two connections at least: the probe's and ldap3's.
        self.assertGreaterEqual(len(attrs[2][1]), 2)
        result, entries = self.theirs("cn=monitor", "(objectclass=*)", ldap3.BASE)
        self.assertEqual([t for t, _ in attrs], list(entries[0]["raw_attributes"]))

    def test_filters_give_the_entries_ldap3_gets(self):
        paren, back, star = USER_IDS[0], USER_IDS[1], USER_IDS[2]
        # (template, value, entries expected): the template's %s takes the
        # value escaped for each client.
        cases = [
            ("(qoxuserid=%s)", paren, 1),
            ("(qoxuserid=%s*)", "Paren (x", 1),
            ("(qoxuserid=*%s*)", "(x)", 1),
            ("(qoxuserid=*%s*)", ")", 3),
            ("(qoxuserid=*%s*)", "(", 3),
            ("(qoxuserid=%s)", back, 1),
            ("(qoxuserid=*%s*)", "\\", 2),
            ("(qoxuserid=%s)", star, 1),
            ("(qoxuserid=*%s*)", "*", 2),
            ("(qoxuserid=%s)", "Mixed (a\\b*c)", 1),
            # A star left unescaped is a wildcard for both.
            ("(qoxuserid=Star*%s)", "User", 1),
            ("(qoxuserid=%s*)", "", 7),
            ("(|(qoxuserid=%s)(qoxuserid=Plain Person)(qoxuserid=Open\\28 Only))", "Close) Only", 3),
            ("(&(objectclass=qoxuserid)(!(qoxuserid=*%s*)))", "(", 4),
            ("(&(qoxkeyid=AAAA0001)(qoxuserid=*%s))", ")", 1),
            ("(qoxcertid=%s)", CERT, 8),
        ]
        for template, value, count in cases:
            mine = template % ours(value)
            other = template % theirs(value)
            # A fixed escape in a template is written for ldap3; ours takes
            # the character itself after a backslash.
            mine = mine.replace("\\28", "\\(")
            r = self.p.call("search", ACTIVE, 2, mine, "qoxuserid")
            self.assertEqual((r["rc"], r["code"]), (0, 0), mine)
            result, entries = self.theirs(ACTIVE, other, attributes=["qoxuserid"])
            self.assertEqual(result["result"], 0, other)
            self.assertEqual(sorted(e["dn"] for e in r["entries"]), sorted(e["dn"] for e in entries), mine)
            self.assertEqual(len(r["entries"]), count, mine)
            # The entries carry the same values.
            self.assertEqual(sorted((e["dn"], tuple(v for t, vs in e["attrs"] for v in vs)) for e in r["entries"]),
                             sorted((e["dn"], tuple(e["raw_attributes"].get("qoxuserid", []))) for e in entries),
                             mine)

    def test_size_limit_keeps_the_entries(self):
        self.assertEqual(self.p.call("option", 2, 3), {"rc": 0})
        r = self.p.call("search", ACTIVE, 2, "(objectclass=qoxuserid)", None)
        self.assertEqual((r["rc"], r["code"], len(r["entries"])), (-10947, 4, 3))
        self.c.search(ACTIVE, "(objectclass=qoxuserid)", size_limit=3, attributes=["*"])
        self.assertEqual(self.c.result["result"], 4)

    def test_result_fields(self):
        base = "cn=nothing,QOXCERTID=0000000000000000," + ACTIVE
        r = self.p.call("search", base, 0, "(objectclass=*)", None)
        e = self.p.call("errno")
        self.c.search(base, "(objectclass=*)", search_scope=ldap3.BASE)
        self.assertEqual((r["rc"], r["code"], self.c.result["result"]), (-10937, 32, 32))
        self.assertEqual((e["code"], e["matched"], e["text"]),
                         (self.c.result["result"], self.c.result["dn"], self.c.result["message"]))

    def test_preference_entries_need_the_admin(self):
        self.assertEqual(self.p.call("bind", None, None), {"rc": 0})
        self.assertEqual(self.p.call("modify", PREFS, "qoxsetting", "on"), {"rc": -10930})
        e = self.p.call("errno")
        self.c.modify(PREFS, {"qoxsetting": [(ldap3.MODIFY_REPLACE, ["on"])]})
        self.assertEqual((e["code"], e["text"]), (50, self.c.result["message"]))
        self.assertEqual(self.p.call("bind", "cn=admin", "secret"), {"rc": 0})
        self.assertEqual(self.p.call("modify", PREFS, "qoxsetting", "on"), {"rc": 0})
        result, entries = self.theirs(PREFS, "(objectclass=*)", ldap3.BASE, ["qoxsetting"])
        self.assertEqual(entries[0]["raw_attributes"]["qoxsetting"], [b"on"])
        self.assertEqual(self.p.call("modify", PREFS, "qoxsetting", "off"), {"rc": 0})

    def test_refused_requests(self):
        dn = "QOXUSERID=uid3," + CERT_DN
        for cmd, args in (("delete", [dn]), ("modrdn", [dn, "QOXUSERID=other"]),
                          ("compare", [dn, "qoxuserid", USER_IDS[3]])):
            r = self.p.call(cmd, *args)
            self.assertEqual(r["rc"], -10927, cmd)
            self.assertEqual(self.p.call("errno")["text"], "Function not implemented", cmd)


class SecurePortTest(unittest.TestCase):
    """Option 4's socket bound to a TLS session gives what the plain port
    gives."""

    @classmethod
    def setUpClass(cls):
        cls.root = h.Root()
        cls.secure = h.free_port()
        cls.d = Daemon(cls.root, "Allow ip 127.0.0.1 all\nSizeLimit 0\n", secure=cls.secure)
        h.wait_listening(cls.d.proc, cls.secure, cls.root.file("logs", "stderr"))

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.root.cleanup()

    def probe(self):
        p = Probe()
        self.addCleanup(p.close)
        return p

    def test_same_entries_over_tls(self):
        plain = self.probe()
        self.assertEqual(plain.call("open", "127.0.0.1", self.root.port), {"rc": 0})
        searches = [("CN=QOXSERVERINFO", 0, "(objectclass=*)", None),
                    (ACTIVE, 2, "(qoxuserid=*%s*)" % ours("("), "qoxuserid"),
                    (ACTIVE, 2, "(objectclass=*)", None)]
        expected = [plain.call("search", *s) for s in searches]
        self.assertGreaterEqual(len(expected[2]["entries"]), 8)  # the certificate and its user IDs at least
        # (client key file, suite number): 7 is 0x0120, 2 is 0x0110.
        for key, suite in ((None, 7), ("tls-dsa.sec.bin", 2), ("tls-rsa.sec.bin", 7)):
            with self.subTest(key=key, suite=suite):
                p = self.probe()
                self.assertEqual(p.call("open", "127.0.0.1", self.secure), {"rc": 0})
                self.assertEqual(p.call("tls", None if key is None else os.path.join(DATA, key), suite),
                                 {"rc": 0, "suite": suite})
                self.assertEqual(p.call("bind", None, None), {"rc": 0})
                for s, e in zip(searches, expected):
                    self.assertEqual(p.call("search", *s), e, s)
                self.assertEqual(p.call("unbind"), {"rc": 0})


class KeySubmissionTest(unittest.TestCase):
    """Keys and requests sent by the client's QOXldapAddSync to the virtual
    key entry, gpg the oracle for what the daemon then serves; over the
    secure port the client's TLS key signs: the DSA fixture key may delete
    (an unsigned DELETE request is accepted), the RSA one may administer
    (the group entry; the "Allow ip" rule alone does not let anyone)."""

    @classmethod
    def setUpClass(cls):
        import key_submission as ks
        cls.ks = ks
        cls.g = ks.Gpg()
        for name in ("Kim", "Del"):
            cls.g.run("--quick-gen-key", "%s Key <%s@example.org>" % (name, name.lower()), "rsa1024",
                      "sign,cert", "never")
        cls.root = h.Root()
        cls.secure = h.free_port()
        cls.d = Daemon(cls.root, "Allow ip 127.0.0.1 all\nAllow keyid %s delete\nAllow keyid %s admin\n"
                                 "SizeLimit 0\n" % (DSA_ID, RSA_ID), secure=cls.secure)
        h.wait_listening(cls.d.proc, cls.secure, cls.root.file("logs", "stderr"))

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.root.cleanup()
        cls.g.close()

    def probe(self, key=None):
        """A probe on the plain port, or on the secure port with the client
        key file `key`."""
        p = Probe()
        self.addCleanup(p.close)
        if key is None:
            self.assertEqual(p.call("open", "127.0.0.1", self.root.port), {"rc": 0})
        else:
            self.assertEqual(p.call("open", "127.0.0.1", self.secure), {"rc": 0})
            self.assertEqual(p.call("tls", os.path.join(DATA, key), 7), {"rc": 0, "suite": 7})
        self.assertEqual(p.call("bind", None, None), {"rc": 0})
        return p

    def served(self, p, key):
        r = p.call("search", "QOXCERTID=%s,%s" % (key, ACTIVE), 0, "(objectclass=*)", "qoxkey")
        if r["rc"] != 0:
            return r["rc"], None
        return 0, r["entries"][0]["attrs"][0][1][0]

    def test_gpg_key_added_and_read_back(self):
        p = self.probe()
        key = self.g.key_id("kim@example.org")
        armored = self.g.export(key)
        add = ("add", VIRTUAL, "objectclass", "qoxcertificate", "qoxkey", armored)
        self.assertEqual(p.call(*add), {"rc": 0})
        self.assertEqual(p.call(*add), {"rc": -10921})
        self.assertEqual(p.call("errno")["code"], 68)
        rc, served = self.served(p, key)
        self.assertEqual(rc, 0)
        fresh = self.ks.Gpg()
        try:
            fresh.run("--import", input=served)
            self.assertEqual(fresh.fingerprint(key), self.g.fingerprint(key))
            self.assertEqual(fresh.user_ids(key), self.g.user_ids(key))
        finally:
            fresh.close()

    def test_client_key_signs_a_delete_over_tls(self):
        key = self.g.key_id("del@example.org")
        plain = self.probe()
        self.assertEqual(plain.call("add", VIRTUAL, "objectclass", "qoxcertificate", "qoxkey", self.g.export(key)),
                         {"rc": 0})
        request = "REQUEST: DELETE\n\n0x%s\n" % key
        # Unsigned over the plain port: refused, the key stays.
        self.assertNotEqual(plain.call("add", VIRTUAL, "objectclass", "qoxcertificate", "qoxrequest", request)["rc"],
                            0)
        self.assertEqual(self.served(plain, key)[0], 0)
        # The DSA client key is on the delete line: accepted, the key gone.
        deleter = self.probe("tls-dsa.sec.bin")
        self.assertEqual(deleter.call("add", VIRTUAL, "objectclass", "qoxcertificate", "qoxrequest", request),
                         {"rc": 0})
        self.assertEqual(self.served(plain, key), (-10937, None))

    def test_admin_key_updates_the_group_entry_over_tls(self):
        group = ("add", "ou=default,O=QOX GROUPSPACE,C=US", "objectclass", "qoxgroup", "ou", "default")
        for key, want in ((None, -10930), ("tls-dsa.sec.bin", -10930), ("tls-rsa.sec.bin", 0)):
            with self.subTest(key=key):
                self.assertEqual(self.probe(key).call(*group), {"rc": want})
        p = self.probe()
        r = p.call("search", "ou=default,O=QOX GROUPSPACE,C=US", 0, "(objectclass=*)", None)
        self.assertEqual((r["rc"], len(r["entries"])), (0, 1))


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(3))
    LOADER = os.path.abspath(sys.argv.pop(2))
    h.main()
