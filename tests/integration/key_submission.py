"""Key submission end to end: gpg-made keys and gpg clear-signed requests
sent with Debian's python3-ldap3 (LDAP version 2) to the running ostrakd as
Adds to the virtual key entry; gpg is the oracle for what the server then
serves. The daemon runs with QOXPATH a temporary directory and a 512-byte
random RandSeedFile.

Usage: key_submission.py <ostrakd> [<make_recon_record>]"""

import base64
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

import ldap3  # noqa: E402

REPO = h.REPO
MAKE_RECON_RECORD = None  # the helper that makes key-reconstruction records
ACTIVE = "OU=ACTIVE,O=QOX KEYSPACE,C=US"
PENDING = "OU=PENDING,O=QOX KEYSPACE,C=US"
VIRTUAL = "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US"
VIRTUAL_AS_SENT = "qoxcertid=virtual, OU=ACTIVE,O=QOX KEYSPACE,C=US"


class Gpg:
    """gpg in a fresh temporary home (one per use)."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="ostrak-gpg-")
        os.chmod(self.home, 0o700)

    def run(self, *args, input=None, check=True):
        p = subprocess.run(["gpg", "--homedir", self.home, "--batch", "--yes", "--no-tty", "--quiet",
                            "--pinentry-mode", "loopback", "--passphrase", "", "--cert-digest-algo", "SHA1",
                            "--digest-algo", "SHA1", "--allow-weak-key-signatures", "--allow-weak-digest-algos",
                            *args], input=input, capture_output=True, timeout=h.TIMEOUT)
        if check and p.returncode != 0:
            raise AssertionError("gpg %s failed: %s" % (args, p.stderr.decode(errors="replace")))
        return p.stdout

    def colons(self, *args):
        return self.run("--with-colons", "--fixed-list-mode", *args).decode()

    def key_id(self, uid):
        for line in self.colons("--list-keys", uid).splitlines():
            if line.startswith("pub:"):
                return line.split(":")[4]
        raise AssertionError("no key for " + uid)

    def fingerprint(self, key):
        for line in self.colons("--fingerprint", key).splitlines():
            if line.startswith("fpr:"):
                return line.split(":")[9]
        raise AssertionError("no fingerprint for " + key)

    def user_ids(self, key):
        return sorted(l.split(":")[9] for l in self.colons("--list-keys", key).splitlines() if l.startswith("uid:"))

    def export(self, *keys):
        return self.run("--armor", "--export", *keys).decode()

    def clearsign(self, signer, text):
        return self.run("-u", signer, "--clearsign", input=text.encode()).decode()

    def close(self):
        subprocess.run(["gpgconf", "--homedir", self.home, "--kill", "all"], capture_output=True)
        shutil.rmtree(self.home, ignore_errors=True)


KEYS = None  # one gpg home with the test keys, made once


def keys():
    global KEYS
    if KEYS is None:
        g = Gpg()
        g.run("--quick-gen-key", "Rosa RSA <rosa@example.org>", "rsa1024", "sign,cert", "never")
        g.run("--quick-gen-key", "Ralf RSA <ralf@example.org>", "rsa2048", "sign,cert", "never")
        g.run("--quick-add-uid", "ralf@example.org", "Ralf at work <ralf@work.example>")
        g.run("--quick-gen-key", "Dora DSA <dora@example.org>", "dsa1024", "sign,cert", "never")
        g.run("--quick-add-key", g.fingerprint("dora@example.org"), "elg1024", "encr", "never")
        g.run("--quick-gen-key", "Sam Signer <sam@example.org>", "rsa1024", "sign,cert", "never")
        g.run("--quick-gen-key", "Una Unknown <una@example.org>", "rsa1024", "sign,cert", "never")
        KEYS = g
    return KEYS


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


class Daemon:
    """A foreground ostrakd with an empty directory."""

    def __init__(self, root, extra=""):
        self.root = root
        seed = root.file("data", "randseed.bin")
        with open(seed, "wb") as f:
            f.write(os.urandom(512))
        root.write_config("Port %d\nSecureMode disabled\nAccessLogFile ../logs/access.log\nLogLevel verbose\n"
                          "LookupHostname no\nDirectory ../data\nRandSeedFile %s\nAllow ip 127.0.0.* all\n%s" % (root.port, seed, extra))
        os.environ["QOXPATH"] = root.file("data")
        created = root.run("-n")
        assert created.returncode == 0, created.stderr
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

    def connection(self, source=None):
        server = ldap3.Server("127.0.0.1", port=self.root.port, get_info=ldap3.NONE)
        c = ldap3.Connection(server, version=2, raise_exceptions=False, receive_timeout=30, check_names=False,
                             source_address=source)
        c.open()
        return c

    def access_log(self):
        with open(self.root.file("logs", "access.log"), errors="replace") as f:
            return f.read()


class KeyTest(h.RootTestCase):
    extra = ""

    def setUp(self):
        super().setUp()
        self.g = keys()
        self.d = Daemon(self.root, self.extra)
        self.addCleanup(self.d.stop)
        self.c = self.d.connection()
        self.addCleanup(self.c.unbind)

    def add(self, attributes, dn=VIRTUAL):
        self.c.add(dn, object_class="qoxcertificate", attributes=attributes)
        return self.c.result["result"], self.c.result["message"]

    def add_key(self, *keys, dn=VIRTUAL, **extra):
        return self.add(dict({"qoxkey": self.g.export(*keys).encode()}, **extra), dn)[0]

    def request(self, text, dn=VIRTUAL):
        return self.add({"qoxrequest": text.encode()}, dn)

    def stored(self, key_id, base=ACTIVE, attributes=("*",)):
        """The certificate entry and the user-ID entries of a key."""
        self.c.search("QOXCERTID=%s,%s" % (key_id, base), "(objectclass=*)", search_scope=ldap3.SUBTREE,
                      attributes=list(attributes))
        return {e["dn"].upper(): e["raw_attributes"] for e in self.c.response if e["type"] == "searchResEntry"}

    def served_key(self, key_id, base=ACTIVE):
        self.c.search("QOXCERTID=%s,%s" % (key_id, base), "(objectclass=*)", search_scope=ldap3.BASE,
                      attributes=["qoxkey"])
        entries = [e for e in self.c.response if e["type"] == "searchResEntry"]
        if not entries:
            return None
        values = entries[0]["raw_attributes"].get("qoxkey") or []
        return values[0] if values else None


class PlainAdds(KeyTest):
    def test_gpg_keys_are_stored_and_served_as_gpg_made_them(self):
        for uid, dn in (("rosa@example.org", VIRTUAL), ("ralf@example.org", VIRTUAL_AS_SENT),
                        ("dora@example.org", VIRTUAL.upper())):
            with self.subTest(uid=uid):
                key = self.g.key_id(uid)
                self.assertEqual(self.add_key(key, dn=dn), 0)
                served = self.served_key(key)
                self.assertIsNotNone(served)
                fresh = Gpg()
                try:
                    fresh.run("--import", input=served)
                    self.assertEqual(fresh.fingerprint(key), self.g.fingerprint(key))
                    self.assertEqual(fresh.user_ids(key), self.g.user_ids(key))
                    sigs = [l for l in fresh.colons("--check-sigs", key).splitlines() if l.startswith("sig:")]
                    self.assertTrue(sigs)
                    # Each self-signature checks good ("!").
                    self.assertTrue(all(l.split(":")[1] == "!" for l in sigs), sigs)
                finally:
                    fresh.close()
                entries = self.stored(key)
                self.assertEqual(len(entries), 1 + len(self.g.user_ids(key)), entries.keys())

    def test_client_attributes_other_than_the_key_are_not_stored(self):
        key = self.g.key_id("rosa@example.org")
        code = self.add_key(key, qoxdisabled=b"1", qoxkeyid=b"DEADBEEF", userpassword=b"open sesame",
                            description=b"mine")
        self.assertEqual(code, 0)
        entries = self.stored(key)
        self.assertTrue(entries)
        for dn, attrs in entries.items():
            with self.subTest(dn=dn):
                names = {n.lower() for n in attrs}
                self.assertNotIn("userpassword", names)
                self.assertNotIn("description", names)
                self.assertNotIn(b"DEADBEEF", attrs.get("qoxkeyid", []))
                self.assertNotIn(b"1", attrs.get("qoxdisabled", []))
        self.c.search(ACTIVE, "(qoxkeyid=DEADBEEF)", attributes=["qoxcertid"])
        self.assertEqual([e for e in self.c.response if e["type"] == "searchResEntry"], [])
        # The stored password does not open a bind either.
        other = self.d.connection()
        self.addCleanup(other.unbind)
        self.assertFalse(other.rebind("QOXCERTID=%s,%s" % (key, ACTIVE), "open sesame"))

    def test_refusals(self):
        rosa = self.g.key_id("rosa@example.org")
        self.assertEqual(self.add_key(rosa), 0)
        with open(os.path.join(REPO, "tests", "pipeline", "data", "decode", "bomb.asc"), "rb") as f:
            bomb = f.read()
        self.assertLess(len(bomb), 1024)
        cases = [
            ("resubmitted", {"qoxkey": self.g.export(rosa).encode()}, 68),
            ("two keys", {"qoxkey": self.g.export(self.g.key_id("ralf@example.org"),
                                                  self.g.key_id("dora@example.org")).encode()}, 21),
            ("not a key", {"qoxkey": b"hello"}, 21),
            ("no key attribute", {"description": b"hello"}, 2),
            ("unsigned request over a plain connection",
             {"qoxrequest": b"REQUEST: DELETE\n\n0x" + rosa.encode() + b"\n"}, 2),
        ]
        for name, attributes, want in cases:
            with self.subTest(name):
                self.assertEqual(self.add(attributes)[0], want)
        start = time.monotonic()
        self.assertEqual(self.add({"qoxkey": bomb})[0], 21)
        self.assertLess(time.monotonic() - start, 1.0)
        # Nothing of the refused keys is stored; the connection still serves.
        self.assertEqual(self.stored(self.g.key_id("ralf@example.org")), {})
        self.assertIsNotNone(self.served_key(rosa))


class Reconstruction(KeyTest):
    extra = "AcceptReconstructionData yes\n"

    def make_record(self, key, *patterns):
        """A record for the key and the bind passwords of the patterns
        (make_recon_record)."""
        if MAKE_RECON_RECORD is None:
            self.skipTest("no make_recon_record given")
        p = subprocess.run([MAKE_RECON_RECORD, key, *patterns], capture_output=True, text=True, timeout=h.TIMEOUT)
        self.assertEqual(p.returncode, 0, p.stderr)
        lines = p.stdout.split("\n")
        return bytes.fromhex(lines[0]), lines[1:1 + len(patterns)]

    def bind(self, dn, password):
        c = self.d.connection()
        self.addCleanup(c.unbind)
        c.rebind(dn, password)
        return c.result["result"]

    def test_any_three_answers_bind(self):
        key = self.g.key_id("rosa@example.org")
        cases = [
            # (answers given: a digit is that share's right answer, "w" a wrong one; bound)
            ("01234", True),
            ("42031", True),
            ("w1w34", True),
            ("2ww04", True),
            ("w1ww4", False),
            ("wwwww", False),
        ]
        record, passwords = self.make_record(key, *(p for p, _ in cases))
        code, _ = self.add({"qoxkey": self.g.export(key).encode(), "qoxrecondata": record})
        self.assertEqual(code, 0)
        dn = "qoxCertID=%s,%s" % (key, ACTIVE)
        for (pattern, bound), password in zip(cases, passwords):
            with self.subTest(pattern):
                self.assertEqual(len(password), 108)
                self.assertEqual(self.bind(dn, password) == 0, bound)
        # Without its padding the password still opens it; longer ones and
        # another key's DN fail cleanly, and the daemon still serves.
        self.assertEqual(self.bind(dn, passwords[0].rstrip("=")), 0)
        self.assertNotEqual(self.bind(dn, passwords[0] + "AAAA"), 0)
        self.assertNotEqual(self.bind(dn, "A" * 5000), 0)
        self.assertNotEqual(self.bind("qoxCertID=%s,%s" % ("0" * 16, ACTIVE), passwords[0]), 0)
        self.assertIsNotNone(self.served_key(key))

    def test_short_record_is_refused(self):
        key = self.g.key_id("rosa@example.org")
        code, _ = self.add({"qoxkey": self.g.export(key).encode(), "qoxrecondata": b"\x01" * 517})
        self.assertEqual(code, 2)
        self.assertEqual(self.stored(key), {})


class SignedRequests(KeyTest):
    """Requests signed by keys the server holds: any key of the active space
    may sign an ADD, and a key's owner ("Allow keyid self delete") may
    delete or disable it."""

    extra = "Allow keyid self delete\n"

    def setUp(self):
        super().setUp()
        self.sam = self.g.key_id("sam@example.org")
        self.rosa = self.g.key_id("rosa@example.org")
        self.una = self.g.key_id("una@example.org")
        self.assertEqual(self.add_key(self.sam), 0)
        self.assertEqual(self.add_key(self.rosa), 0)

    def signed_add(self, signer, key, line_ends=lambda t: t):
        text = "REQUEST: ADD\nLOCATION: ACTIVE\n\n" + self.g.export(key)
        return self.request(line_ends(self.g.clearsign(signer, text)))

    def signed_ids(self, kind, signer, *ids, location="ACTIVE", line_ends=lambda t: t):
        text = "REQUEST: %s\nLOCATION: %s\n\n%s\n" % (kind, location, "".join("0x%s\n" % i for i in ids))
        return self.request(line_ends(self.g.clearsign(signer, text)))

    def test_signed_add_by_a_stored_key(self):
        for name, ends in (("LF", lambda t: t), ("CR LF", crlf)):
            with self.subTest(name):
                key = self.g.key_id("dora@example.org" if name == "LF" else "ralf@example.org")
                self.assertEqual(self.signed_add(self.sam, key, ends)[0], 0)
                self.assertIsNotNone(self.served_key(key))
                # The access log: the certificate ID, then the signer.
                self.assertRegex(self.d.access_log(), r"ADD .* 0x%s 0x%s" % (self.sam, key))

    def test_owner_deletes_and_disables(self):
        code, _ = self.signed_ids("DISABLE", self.rosa, self.rosa, line_ends=crlf)
        self.assertEqual(code, 0)
        self.assertRegex(self.d.access_log(), r"DIS .* \"0x%s\" 0x%s" % (self.rosa, self.rosa))
        code, _ = self.signed_ids("DELETE", self.sam, self.sam)
        self.assertEqual(code, 0)
        self.assertRegex(self.d.access_log(), r"DLT .* \"0x%s\" 0x%s" % (self.sam, self.sam))
        self.assertIsNone(self.served_key(self.sam))

    def test_refusals(self):
        dora = self.g.key_id("dora@example.org")
        # Someone's signed text, and a forged request in front of it.
        owner = self.g.clearsign(self.rosa, "REQUEST: DELETE\n\n0x%s\n\n" % self.rosa)
        forged = "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\nREQUEST: DELETE\n\n0x%s\n\n" % self.sam
        signature = owner[owner.index("-----BEGIN PGP SIGNATURE"):]
        with open(os.path.join(REPO, "tests", "pipeline", "data", "armor", "mime.eml")) as f:
            mime = f.read()
        cases = [
            ("unknown signer of an ADD", lambda: self.signed_add(self.una, dora), 48, None),
            ("delete by someone else", lambda: self.signed_ids("DELETE", self.una, self.rosa), 8,
             "Requests to disable/delete certificates must be signed."),
            ("delete of a key not in the place named",
             lambda: self.signed_ids("DELETE", self.rosa, self.rosa, location="PENDING"), 32,
             "Keys not deleted: 0x%s " % self.rosa),
            ("two REQUEST lines", lambda: self.request(self.g.clearsign(
                self.rosa, "REQUEST: DELETE\nREQUEST: DELETE\n\n0x%s\n\n" % self.rosa)), 2, None),
            ("forged request before a signed text", lambda: self.request(forged + owner), 2, None),
            ("forged request after a signed MIME message",
             lambda: self.request(mime + "\n" + forged + signature), 8, None),
        ]
        for name, send, want, message in cases:
            with self.subTest(name):
                code, text = send()
                self.assertEqual(code, want)
                if message is not None:
                    self.assertEqual(text, message)
        # Both keys are still served, enabled.
        for key in (self.sam, self.rosa):
            self.assertIsNotNone(self.served_key(key))


class AllowedSigners(KeyTest):
    """Sam's key is in the server's key ring and on an "Allow keyid ...
    delete" line (which allows adds too); Sam's key is not in the directory."""

    def setUp(self):
        g = keys()
        self.ring_dir = tempfile.mkdtemp(prefix="ostrak-ring-")
        self.addCleanup(shutil.rmtree, self.ring_dir, True)
        ring = os.path.join(self.ring_dir, "pubring.pkr")
        with open(ring, "wb") as f:
            f.write(g.run("--export", g.key_id("sam@example.org")))
        secret = os.path.join(self.ring_dir, "secring.skr")
        open(secret, "wb").close()
        self.extra = "PublicKeyRing %s\nPrivateKeyRing %s\nAllow keyid 0x%s delete\n" % (
            ring, secret, g.key_id("sam@example.org"))
        super().setUp()
        self.sam = self.g.key_id("sam@example.org")

    def signed(self, text, signer=None):
        return self.request(self.g.clearsign(signer or self.sam, text))

    def test_allowed_signer_adds_deletes_and_disables(self):
        rosa, dora, ralf = (self.g.key_id(u) for u in ("rosa@example.org", "dora@example.org", "ralf@example.org"))
        self.assertEqual(self.signed("REQUEST: ADD\n\n" + self.g.export(rosa))[0], 0)
        self.assertEqual(self.add_key(dora), 0)
        code, message = self.signed("REQUEST: DISABLE\n\n0x%s\n0x%s\n\n" % (dora, ralf))
        self.assertEqual((code, message), (32, "Keys not disabled: 0x%s " % ralf))
        self.assertIn("DIS ", self.d.access_log())
        self.assertEqual(self.signed("REQUEST: DELETE\n\n0x%s\n\n" % rosa)[0], 0)
        self.assertIsNone(self.served_key(rosa))
        # Una is on no Allow line: her delete is not signed for the server.
        code, message = self.signed("REQUEST: DELETE\n\n0x%s\n\n" % dora, self.g.key_id("una@example.org"))
        self.assertEqual(code, 8)
        self.assertIsNotNone(self.served_key(dora))


class MustSignAdds(KeyTest):
    extra = "MustSignAdds yes\n"

    def test_adds_must_be_signed(self):
        code, message = self.add({"qoxkey": self.g.export(self.g.key_id("rosa@example.org")).encode()})
        self.assertEqual((code, message), (8, "Requests to add certificates must be signed."))
        text = "REQUEST: ADD\n\n" + self.g.export(self.g.key_id("dora@example.org"))
        code, message = self.request(self.g.clearsign(self.g.key_id("una@example.org"), text))
        self.assertEqual((code, message), (50, "Request not signed by an authorized signer."))


def parse_replication_log(text):
    """The records of a replication log: each a dict with "replicas" (in
    order), "time", "dn", "changetype" and (type, value bytes) as
    "attribute". Continuation lines begin with a blank; "type:: " carries
    Base64. Fails on anything the record format does not allow."""
    records = []
    assert text.endswith("\n\n") or text == "", repr(text[-80:])
    for block in text.split("\n\n")[:-1]:
        lines = []
        for line in block.split("\n"):
            if line.startswith(" "):
                assert lines, "a continuation line opens a record"
                lines[-1] += line[1:]
            else:
                lines.append(line)
        record = {"replicas": []}
        while lines and lines[0].startswith("replica: "):
            record["replicas"].append(lines.pop(0)[len("replica: "):])
        assert len(lines) == 4, lines
        time_line, dn_line, change_line, value_line = lines
        assert re.fullmatch(r"time: \d+", time_line), time_line
        record["time"] = int(time_line[len("time: "):])
        assert dn_line.startswith("dn: "), dn_line
        record["dn"] = dn_line[len("dn: "):]
        assert change_line == "changetype: add", change_line
        m = re.fullmatch(r"([A-Za-z0-9;-]+)(::?) (.*)", value_line, re.S)
        assert m, value_line[:80]
        value = base64.b64decode(m.group(3), validate=True) if m.group(2) == "::" else m.group(3).encode()
        record["attribute"] = (m.group(1), value)
        records.append(record)
    return records


class Replication(KeyTest):
    """Two replicas, one given as a URL; a client binds its socket to a
    replica's loopback address to be taken for it."""

    REPLICAS = ["127.0.0.12:3389", "ldap://127.0.0.13:389"]

    def setUp(self):
        self.extra = "Allow keyid self delete\nRepLogFile ../logs/replog\n" + "".join(
            "Replica %s\n" % r for r in self.REPLICAS)
        super().setUp()
        self.log_path = self.root.file("logs", "replog")

    def records(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, newline="") as f:
            return parse_replication_log(f.read())

    def delete_request(self, key):
        text = "REQUEST: DELETE\nLOCATION: ACTIVE\n\n0x%s\n\n" % key
        return self.g.clearsign(key, text)

    def request_from(self, source, text):
        c = self.d.connection(source)
        self.addCleanup(c.unbind)
        c.add(VIRTUAL, object_class="qoxcertificate", attributes={"qoxrequest": text.encode()})
        return c.result["result"]

    def add_from(self, source, key):
        c = self.d.connection(source)
        self.addCleanup(c.unbind)
        c.add(VIRTUAL, object_class="qoxcertificate", attributes={"qoxkey": self.g.export(key).encode()})
        return c.result["result"]

    def test_plain_adds_are_logged_with_the_stored_block(self):
        rosa, dora = self.g.key_id("rosa@example.org"), self.g.key_id("dora@example.org")
        self.assertEqual(self.add_from(None, rosa), 0)
        # From a replica's address a plain add is still logged.
        self.assertEqual(self.add_from("127.0.0.12", dora), 0)
        records = self.records()
        self.assertEqual(len(records), 2, records)
        now = time.time()
        for record, key in zip(records, (rosa, dora)):
            with self.subTest(key=key):
                self.assertEqual(record["replicas"], self.REPLICAS)
                self.assertLessEqual(abs(record["time"] - now), 120)
                self.assertEqual(record["dn"], VIRTUAL)
                kind, value = record["attribute"]
                self.assertIn(kind.lower(), ("qoxkey", "qoxkeyv2"))
                self.assertEqual(value, self.served_key(key))
        # Folded at 76 columns (a continuation line adds its blank).
        with open(self.log_path) as f:
            lengths = {len(line) for line in f.read().split("\n")}
            self.assertLessEqual(max(lengths), 77, lengths)

    def test_signed_deletes_from_replicas_are_not_logged(self):
        rosa, ralf, sam = (self.g.key_id(u) for u in ("rosa@example.org", "ralf@example.org", "sam@example.org"))
        for key in (rosa, ralf, sam):
            self.assertEqual(self.add_key(key), 0)
        logged = len(self.records())
        self.assertEqual(logged, 3)
        cases = [
            # (client address, key deleted, logged)
            ("127.0.0.12", rosa, False),
            ("127.0.0.13", ralf, False),
            # 127.0.0.1 is a prefix of the replica 127.0.0.12, not that replica.
            ("127.0.0.1", sam, True),
        ]
        for source, key, want in cases:
            with self.subTest(source=source):
                text = self.delete_request(key)
                self.assertEqual(self.request_from(source, text), 0)
                self.assertIsNone(self.served_key(key))
                records = self.records()
                if want:
                    self.assertEqual(len(records), logged + 1)
                    kind, value = records[-1]["attribute"]
                    self.assertEqual(value.replace(b"\r\n", b"\n"), text.encode())
                    logged += 1
                else:
                    self.assertEqual(len(records), logged)
                    self.assertIn("Single replication loop detected.  Operation (Request: delete) IP (%s)" % source,
                                  self.error_log())

    def error_log(self):
        """Everything the daemon wrote under logs/ (standard error included)."""
        texts = []
        for name in os.listdir(self.root.file("logs")):
            with open(self.root.file("logs", name), errors="replace") as f:
                texts.append(f.read())
        return "".join(texts)


if __name__ == "__main__":
    if len(sys.argv) > 2 and os.path.isfile(sys.argv[2]):
        MAKE_RECON_RECORD = os.path.abspath(sys.argv.pop(2))
    try:
        h.main()
    finally:
        if KEYS is not None:
            KEYS.close()
