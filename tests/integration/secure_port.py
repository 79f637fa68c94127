"""The daemon's secure port end to end: ostrakd with gpg-made RSA-2048 and
DSA-1024 keys without a passphrase in its key rings (tests/net/data),
ServerSecureKeyID naming one, a 512-byte random RandSeedFile (so no dialog
runs); the independent Python peer (tests/net/tls_peer/tls_peer.py) as the
client: TLS 1.0 and SSL 3.0, the RSA key's suites 0x0120 and 0x0110 and the
DSA key's 0x0101 and 0x01F0, each without a client key and with an RSA and a
DSA one (the CertificateVerify is checked: a spoilt one draws
bad_certificate), an SSL 2.0 CLIENT-HELLO, an LDAP bind over each session;
python3-ldap3 searching through the peer's relay; `openssl s_client`
offering only a standard suite gets insufficient_security and the daemon
serves on; a silent client is dropped after the daemon's wait.

And the toolkit's client (ldap_client_probe's "tls", QOXSocketsEstablishTLSSession on the LDAP
client's socket) against the Python peer acting as the server, in both versions and with the four
suites, the client's key checked by the peer.

Usage: secure_port.py <ostrakd> <poll_scale library> <ldap_client_probe>"""

import os
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "net", "tls_peer"))
import daemon_harness as h  # noqa: E402
import tls_peer as t  # noqa: E402

import ldap3  # noqa: E402

POLL_SCALE = None
PROBE = None
DATA = os.path.join(os.path.dirname(HERE), "net", "data")
RSA_ID, DSA_ID = "0x680C0E75E46E7915", "0xDBB238E26EE058EC"  # gpg's IDs of the two fixtures
AUTH_ONLY_LOG = "Negotiated authentication-only cipher suite number 8"


def fixture(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


# Client keys: (secret numbers, the public block sent in the Certificate).
CLIENT_KEYS = {
    None: (None, None),
    "rsa": (t.read_key(fixture("tls-rsa.sec.bin")), fixture("tls-rsa.bin")),
    "dsa": (t.read_key(fixture("tls-dsa.sec.bin")), fixture("tls-dsa.bin")),
}

# An LDAP v2 anonymous simple bind (message 1). Its answer over TLS must be
# the one the plain port gives, a success.
BIND = bytes.fromhex("300c020101600702010204008000")


class SecureDaemon:
    """A foreground ostrakd whose secure port serves with the key `key_id`
    from rings holding both fixture keys."""

    def __init__(self, key_id, env=None):
        self.root = h.Root()
        self.secure = h.free_port()
        etc = self.root.file("etc")
        for ring, names in (("pub.bin", ("tls-rsa.bin", "tls-dsa.bin")),
                            ("sec.bin", ("tls-rsa.sec.bin", "tls-dsa.sec.bin"))):
            with open(os.path.join(etc, ring), "wb") as f:
                f.write(b"".join(fixture(n) for n in names))
            os.chmod(os.path.join(etc, ring), 0o600)
        with open(os.path.join(etc, "seed.bin"), "wb") as f:
            f.write(os.urandom(512))
        self.root.write_config(
            "Port %d\nSecurePort %d\nSecureMode optional\nServerSecureKeyID %s\n"
            "PublicKeyRing %s/pub.bin\nPrivateKeyRing %s/sec.bin\nRandSeedFile %s/seed.bin\n"
            "LogLevel verbose\nLookupHostname no\nDirectory ../data\nAllow ip 127.0.0.1 all\n"
            % (self.root.port, self.secure, key_id, etc, etc, etc))
        created = self.root.run("-n")
        assert created.returncode == 0, created.stderr
        # -s: a key that needed a passphrase would switch secure mode off
        # (and the test fail at its first connection) rather than prompt.
        self.proc, self.errors = self.root.start(
            "-s", command=None if env is None else ["env", *env, "./ostrakd", "-d", "0", "-s"])
        h.wait_listening(self.proc, self.secure, self.root.file("logs", "stderr"))
        with socket.create_connection(("127.0.0.1", self.root.port), timeout=30) as plain:
            plain.sendall(BIND)
            self.bind_ok = plain.recv(4096)
        # A BindResponse (0x61) of result 0.
        assert self.bind_ok[5] == 0x61 and self.bind_ok[7:10] == b"\x0a\x01\x00", self.bind_ok

    def log(self):
        with open(self.root.file("logs", "stderr"), errors="replace") as f:
            return f.read()

    def wait_log(self, text, count=1, timeout=30):
        """Waits until `text` stands `count` times in the daemon's log."""
        deadline = time.time() + timeout
        while self.log().count(text) < count:
            if self.proc.poll() is not None:
                raise AssertionError("ostrakd ended: %s" % self.log())
            if time.time() > deadline:
                raise AssertionError("no %r (%d times) in the log after %d s:\n%s" % (text, count, timeout,
                                                                                      self.log()))
            time.sleep(0.05)  # the poll interval of this bounded wait

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.secure), timeout=30)
        return t.Peer(s)

    def handshake(self, client_key=None, **kw):
        key, block = CLIENT_KEYS[client_key]
        peer = self.connect()
        try:
            result = t.Client(peer, key=key, block=block, **kw).run()
        except Exception:
            peer.sock.close()
            raise
        return peer, result

    def stop(self):
        self.errors.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.root.cleanup()


def bind_over(peer):
    """An LDAP bind over the ready session; the response's bytes."""
    t.send_data(peer, BIND)
    return t.receive_data(peer)


class SecurePortCase:
    """One daemon per key, shared by the tests of a class."""
    KEY_ID = None

    @classmethod
    def setUpClass(cls):
        cls.d = SecureDaemon(cls.KEY_ID)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()

    def run_table(self, suites, expect_dh):
        for version in ("tls", "ssl3"):
            for suite in suites:
                for client_key in (None, "rsa", "dsa"):
                    with self.subTest(version=version, suite="%04x" % suite, client_key=client_key):
                        peer, r = self.d.handshake(client_key, version=version, suites=[suite])
                        try:
                            self.assertEqual((r["version"], r["suite"]), (version, suite))
                            # The daemon asks for a DSA or RSA key.
                            self.assertEqual(r["requested"], [2, 1])
                            self.assertEqual(r["verified"], client_key is not None)
                            self.assertEqual("dh_bits" in r, expect_dh)
                            if expect_dh:
                                self.assertEqual((r["dh_bits"], r["dh_g"]), (2048, 2))
                            self.assertEqual(bind_over(peer), self.d.bind_ok)
                        finally:
                            peer.sock.close()

    def test_spoilt_certificate_verify_is_refused(self):
        suite = 0x0120 if self.KEY_ID == RSA_ID else 0x0101
        for version in ("tls", "ssl3"):
            for client_key in ("rsa", "dsa"):
                with self.subTest(version=version, client_key=client_key):
                    with self.assertRaises(t.HandshakeFailed) as e:
                        self.d.handshake(client_key, version=version, suites=[suite], bad_verify=True)
                    self.assertEqual(e.exception.alert, 42)  # bad_certificate


class RSAKeyTest(SecurePortCase, unittest.TestCase):
    KEY_ID = RSA_ID

    def test_rsa_suites_in_both_versions_with_and_without_a_client_key(self):
        self.run_table([0x0120], expect_dh=False)
        self.run_table([0x0110], expect_dh=True)
        self.d.wait_log("Negotiated cipher suite number 7")
        self.d.wait_log("Negotiated cipher suite number 2")

    def test_ssl2_client_hello(self):
        for version in ("tls", "ssl3"):
            with self.subTest(version=version):
                peer, r = self.d.handshake("rsa", version=version, suites=[0x0120], ssl2=True)
                try:
                    self.assertEqual((r["version"], r["suite"], r["verified"]), (version, 0x0120, True))
                    self.assertEqual(bind_over(peer), self.d.bind_ok)
                finally:
                    peer.sock.close()

    def test_standard_suite_first_gets_the_key_suite(self):
        # 0x000A needs an X.509 certificate, which the daemon never has.
        peer, r = self.d.handshake(None, suites=[0x000A, 0x0120])
        peer.sock.close()
        self.assertEqual(r["suite"], 0x0120)

    def test_openssl_gets_insufficient_security_and_the_daemon_serves_on(self):
        p = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.d.secure, "-tls1",
                            "-cipher", "AES128-SHA:@SECLEVEL=0"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        out = (p.stdout + p.stderr).decode(errors="replace")
        self.assertNotEqual(p.returncode, 0, out)
        self.assertIn("alert insufficient security", out)
        self.assertIn("alert number 71", out)
        peer, r = self.d.handshake(None, suites=[0x0120])
        try:
            self.assertEqual(bind_over(peer), self.d.bind_ok)
        finally:
            peer.sock.close()

    def test_ldap3_searches_through_the_relay(self):
        peer, r = self.d.handshake("dsa", suites=[0x0110])
        relay = t.Relay(peer)
        try:
            results = []
            for port in (relay.port, self.d.root.port):
                c = ldap3.Connection(ldap3.Server("127.0.0.1", port=port, get_info=ldap3.NONE), version=2,
                                     raise_exceptions=False, receive_timeout=30)
                c.open()
                self.assertTrue(c.bind(), c.result)
                c.search("CN=QOXSERVERINFO", "(objectclass=*)", search_scope=ldap3.BASE, attributes=["*"])
                self.assertEqual(c.result["result"], 0, c.result)
                results.append([(e["dn"], e["raw_attributes"]) for e in c.response
                                if e["type"] == "searchResEntry"])
                c.search("O=QOX KEYSPACE,C=US", "(qoxuserid=*)", attributes=["*"])
                self.assertIn(c.result["result"], (0, 32), c.result)
                c.unbind()
            secure, plain = results
            self.assertEqual(len(secure), 1)
            self.assertEqual(secure, plain)
        finally:
            relay.close()
            peer.sock.close()


class DSAKeyTest(SecurePortCase, unittest.TestCase):
    KEY_ID = DSA_ID

    def test_dsa_suites_in_both_versions_with_and_without_a_client_key(self):
        self.run_table([0x0101, 0x01F0], expect_dh=True)
        self.d.wait_log("Negotiated cipher suite number 1")
        self.d.wait_log(AUTH_ONLY_LOG, count=6)

    def test_rsa_suite_offered_to_a_dsa_key(self):
        with self.assertRaises(t.HandshakeFailed) as e:
            self.d.handshake(None, suites=[0x0120])
        self.assertEqual(e.exception.alert, 71)  # insufficient_security


class SilentClientTest(unittest.TestCase):
    """The daemon waits max(300, 2 x TimeLimit) seconds for a client's
    bytes; the preloaded library makes that wait 3 seconds."""

    def test_silent_client_is_dropped_after_the_wait(self):
        env = ["LD_PRELOAD=" + POLL_SCALE,
               "ASAN_OPTIONS=" + ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                                        "verify_asan_link_order=0"]))]
        d = SecureDaemon(RSA_ID, env=env)
        try:
            s = socket.create_connection(("127.0.0.1", d.secure), timeout=60)
            start = time.time()
            self.assertEqual(s.recv(100), b"", "the daemon closes the silent connection")
            waited = time.time() - start
            s.close()
            self.assertGreater(waited, 2.5)
            self.assertLess(waited, 45)
            d.wait_log("Establishing a TLS connection failed with error -11086")
            # A client that speaks still gets its session.
            peer, r = d.handshake(None, suites=[0x0120])
            try:
                self.assertEqual(bind_over(peer), d.bind_ok)
            finally:
                peer.sock.close()
        finally:
            d.stop()


class OurClientTest(unittest.TestCase):
    """The toolkit's client against the Python peer acting as the server."""

    def serve(self, listener, key, out, version):
        key_numbers, block = CLIENT_KEYS[key]
        try:
            conn, _ = listener.accept()
            conn.settimeout(30)
            peer = t.Peer(conn)
            out["result"] = t.Server(peer, key_numbers, block, version=version, dh=self.dh).run()
            # One LDAP request over the session, answered with a success.
            out["request"] = t.receive_data(peer)
            t.send_data(peer, bytes.fromhex("300c02010161070a010004000400"))
            t.receive_data(peer)  # the unbind, then the close
            conn.close()
        except Exception as e:  # reported by the test
            out["error"] = repr(e)

    def test_our_client_against_the_peer_as_server(self):
        import json
        import threading
        self.dh = t.ffdhe2048()
        # (server key, client key file or None, suite number, version the server answers)
        cases = [("rsa", None, 7, "tls"), ("rsa", "tls-dsa.sec.bin", 7, "ssl3"), ("rsa", "tls-rsa.sec.bin", 2, "tls"),
                 ("rsa", None, 2, "ssl3"), ("dsa", "tls-rsa.sec.bin", 1, "tls"), ("dsa", "tls-dsa.sec.bin", 8, "ssl3"),
                 ("dsa", None, 8, "tls")]
        codes = {7: 0x0120, 2: 0x0110, 1: 0x0101, 8: 0x01F0}
        for server_key, client_key, suite, version in cases:
            with self.subTest(server_key=server_key, client_key=client_key, suite=suite, version=version):
                listener = socket.socket()
                listener.bind(("127.0.0.1", 0))
                listener.listen(1)
                listener.settimeout(30)
                out = {}
                thread = threading.Thread(target=self.serve, args=(listener, server_key, out, version))
                thread.start()
                probe = subprocess.Popen([PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

                def call(*words):
                    probe.stdin.write((" ".join(str(w) for w in words) + "\n").encode())
                    probe.stdin.flush()
                    return json.loads(probe.stdout.readline())
                try:
                    self.assertEqual(call("open", "127.0.0.1".encode().hex(), listener.getsockname()[1]), {"rc": 0})
                    key = "-" if client_key is None else os.path.join(DATA, client_key).encode().hex()
                    self.assertEqual(call("tls", key, suite), {"rc": 0, "suite": suite})
                    self.assertEqual(call("bind", "-", "-"), {"rc": 0})
                    call("unbind")
                finally:
                    probe.stdin.close()
                    probe.wait(30)
                    probe.stdout.close()
                    thread.join(30)
                    listener.close()
                self.assertNotIn("error", out)
                self.assertEqual((out["result"]["suite"], out["result"]["version"], out["result"]["verified"]),
                                 (codes[suite], version, client_key is not None))
                self.assertEqual(out["request"], BIND)


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(3))
    POLL_SCALE = os.path.abspath(sys.argv.pop(2))
    h.main()
