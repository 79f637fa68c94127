#!/usr/bin/python3
"""An independent SSL 3.0 / TLS 1.0 peer for the engine's tests.

Written from RFC 2246 (TLS 1.0) and RFC 6101 (SSL 3.0): the PRF, master
secret, key block, record MACs, Finished and CertificateVerify values with
hashlib and hmac; CAST5-CBC and 3DES-CBC with python3-cryptography.

Client: whole handshakes with the RFC 2440 key suites (0x0120, 0x0110,
0x0101, 0x01F0), keys read from gpg's exports (RFC 2440 packets), RSA with
Python integers (PKCS #1 type 1 over MD5 and SHA-1 without DigestInfo, type
2 for the premaster), DSA with python3-cryptography's prehashed SHA-1 (DER
under TLS 1.0, r and s under SSL 3.0), Diffie-Hellman with Python integers;
an SSL 2.0 CLIENT-HELLO on request; a relay that carries a plain client's
bytes over the session. Tests import the module for these.

It reads one JSON command per line on standard input and answers with one
JSON line on standard output. Records travel over the stream socket on file
descriptor 3 (when the test hands one over). Byte strings are hex.
"""
import hashlib
import hmac
import json
import os
import socket
import subprocess
import sys
import threading
import time
import warnings

warnings.simplefilter("ignore")
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402

PAD1 = b"\x36"
PAD2 = b"\x5c"


# --- RFC 2246 section 5: HMAC and the pseudorandom function ---

def p_hash(name, secret, seed, length):
    out = b""
    a = seed
    while len(out) < length:
        a = hmac.new(secret, a, name).digest()
        out += hmac.new(secret, a + seed, name).digest()
    return out[:length]


def prf(secret, label, seed, length):
    half = (len(secret) + 1) // 2
    s1, s2 = secret[:half], secret[len(secret) - half:]
    md5 = p_hash("md5", s1, label + seed, length)
    sha = p_hash("sha1", s2, label + seed, length)
    return bytes(x ^ y for x, y in zip(md5, sha))


# --- Master secret and key block: RFC 2246 sections 6.3 and 8.1, RFC 6101 sections 6.1 and 6.2.2 ---

def ssl3_blocks(secret, r1, r2, length):
    out = b""
    i = 1
    while len(out) < length:
        letters = bytes([0x40 + i]) * i
        inner = hashlib.sha1(letters + secret + r1 + r2).digest()
        out += hashlib.md5(secret + inner).digest()
        i += 1
    return out[:length]


def master_secret(version, premaster, cr, sr):
    if version == "tls":
        return prf(premaster, b"master secret", cr + sr, 48)
    return ssl3_blocks(premaster, cr, sr, 48)


def key_block(version, master, cr, sr, length):
    if version == "tls":
        return prf(master, b"key expansion", sr + cr, length)
    return ssl3_blocks(master, sr, cr, length)


# --- Record MAC: RFC 2246 section 6.2.3.1, RFC 6101 section 5.2.3.1 ---

def record_mac(version, secret, seq, ctype, fragment):
    seqb = seq.to_bytes(8, "big")
    if version == "tls":
        data = seqb + bytes([ctype, 3, 1]) + len(fragment).to_bytes(2, "big") + fragment
        return hmac.new(secret, data, "sha1").digest()
    pad = 40
    inner = hashlib.sha1(secret + PAD1 * pad + seqb + bytes([ctype]) + len(fragment).to_bytes(2, "big") +
                         fragment).digest()
    return hashlib.sha1(secret + PAD2 * pad + inner).digest()


# --- Finished and CertificateVerify: RFC 2246 sections 7.4.8 and 7.4.9, RFC 6101 sections 5.6.8 and 5.6.9 ---

def ssl3_handshake_hashes(master, messages, sender):
    md5 = hashlib.md5(master + PAD2 * 48 + hashlib.md5(messages + sender + master + PAD1 * 48).digest())
    sha = hashlib.sha1(master + PAD2 * 40 + hashlib.sha1(messages + sender + master + PAD1 * 40).digest())
    return md5.digest(), sha.digest()


def finished(version, master, messages, client):
    if version == "tls":
        label = b"client finished" if client else b"server finished"
        return prf(master, label, hashlib.md5(messages).digest() + hashlib.sha1(messages).digest(), 12)
    md5, sha = ssl3_handshake_hashes(master, messages, b"CLNT" if client else b"SRVR")
    return md5 + sha


def cert_verify(version, master, messages, rsa):
    if version == "tls":
        md5, sha = hashlib.md5(messages).digest(), hashlib.sha1(messages).digest()
    else:
        md5, sha = ssl3_handshake_hashes(master, messages, b"")
    return md5 + sha if rsa else sha


# --- Records: RFC 2246 section 6.2, RFC 6101 section 5.2 ---

CIPHERS = {"cast5": (algorithms.CAST5, 16), "3des": (algorithms.TripleDES, 24), "none": (None, 0)}


class Direction:
    def __init__(self, version, cipher, mac_secret, key, iv, encrypt):
        self.version = version
        self.mac_secret = mac_secret
        self.seq = 0
        self.ctx = None
        if cipher is not None:
            c = Cipher(cipher(key), modes.CBC(iv))
            self.ctx = c.encryptor() if encrypt else c.decryptor()


class Peer:
    def __init__(self, sock):
        self.sock = sock
        self.version = "tls"
        self.write = None
        self.read = None
        self.pending = b""

    def minor(self):
        return 1 if self.version == "tls" else 0

    def setup(self, version, cipher_name, master, cr, sr, side):
        self.version = version
        cipher, key_len = CIPHERS[cipher_name]
        iv_len = 8 if cipher is not None else 0
        kb = key_block(version, master, cr, sr, 40 + 2 * key_len + 2 * iv_len)
        cmac, smac = kb[0:20], kb[20:40]
        ckey, skey = kb[40:40 + key_len], kb[40 + key_len:40 + 2 * key_len]
        civ = kb[40 + 2 * key_len:40 + 2 * key_len + iv_len]
        siv = kb[40 + 2 * key_len + iv_len:40 + 2 * key_len + 2 * iv_len]
        client = Direction(version, cipher, cmac, ckey, civ, side == "client")
        server = Direction(version, cipher, smac, skey, siv, side == "server")
        self.write, self.read = (client, server) if side == "client" else (server, client)
        return kb

    def protect(self, ctype, fragment, tamper=None, pad=None):
        body = fragment
        if self.write is not None:
            mac = record_mac(self.version, self.write.mac_secret, self.write.seq, ctype, fragment)
            self.write.seq += 1
            if tamper == "mac":
                mac = bytes([mac[0] ^ 1]) + mac[1:]
            body = fragment + mac
            if self.write.ctx is not None:
                p = (8 - (len(body) + 1) % 8) % 8
                if pad is not None:
                    p = pad
                padding = bytes([p]) * (p + 1)
                if tamper == "padbyte" and p > 0:
                    padding = bytes([p ^ 0x40]) + padding[1:]
                if tamper == "padlen":
                    # The last block's final byte claims more padding than the record holds.
                    padding = padding[:-1] + bytes([255])
                body = self.write.ctx.update(body + padding)
                if tamper == "flipbit":
                    body = bytes([body[0] ^ 0x01]) + body[1:]
        return bytes([ctype, 3, self.minor()]) + len(body).to_bytes(2, "big") + body

    def read_exact(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("transport closed")
            self.pending += chunk
        out, self.pending = self.pending[:n], self.pending[n:]
        return out

    def receive(self):
        header = self.read_exact(5)
        ctype, major, minor = header[0], header[1], header[2]
        length = int.from_bytes(header[3:5], "big")
        body = self.read_exact(length)
        result = {"type": ctype, "major": major, "minor": minor, "length": length}
        if self.read is not None:
            if self.read.ctx is not None:
                if length % 8 != 0:
                    return dict(result, error="not whole blocks")
                body = self.read.ctx.update(body)
                p = body[-1]
                if p + 1 + 20 > len(body):
                    return dict(result, error="bad padding length")
                if self.version == "tls" and body[-(p + 1):] != bytes([p]) * (p + 1):
                    return dict(result, error="bad padding bytes")
                if self.version == "ssl3" and p >= 8:
                    return dict(result, error="padding longer than a block")
                result["padding"] = p
                body = body[:-(p + 1)]
            fragment, mac = body[:-20], body[-20:]
            expected = record_mac(self.version, self.read.mac_secret, self.read.seq, ctype, fragment)
            self.read.seq += 1
            if not hmac.compare_digest(mac, expected):
                return dict(result, error="bad mac")
            body = fragment
        result["data"] = body.hex()
        return result


# --- RFC 2440 keys: the first key packet of a key block (RFC 2440 sections 4.2, 5.5) ---

ALG_RSA, ALG_DSA = 1, 17


class Key:
    """A key read from a transferable key: algorithm and numbers (n, e and
    d for RSA; p, q, g, y and x for DSA); the secret numbers only when the
    block held an unprotected secret key."""

    def __init__(self, alg, numbers):
        self.alg = alg
        self.n = numbers


def packets(data):
    """(tag, body) of every packet, old and new header forms."""
    i = 0
    while i < len(data):
        b = data[i]
        if not b & 0x80:
            raise ValueError("not a packet at %d" % i)
        if b & 0x40:
            tag, first = b & 0x3F, data[i + 1]
            if first < 192:
                length, i = first, i + 2
            elif first < 224:
                length, i = ((first - 192) << 8) + data[i + 2] + 192, i + 3
            elif first == 255:
                length, i = int.from_bytes(data[i + 2:i + 6], "big"), i + 6
            else:
                raise ValueError("partial lengths in a key block")
        else:
            tag, size = (b >> 2) & 0x0F, [1, 2, 4][b & 3]
            length, i = int.from_bytes(data[i + 1:i + 1 + size], "big"), i + 1 + size
        yield tag, data[i:i + length]
        i += length


def read_mpis(body, pos, count):
    out = []
    for _ in range(count):
        bits = int.from_bytes(body[pos:pos + 2], "big")
        size = (bits + 7) // 8
        out.append(int.from_bytes(body[pos + 2:pos + 2 + size], "big"))
        pos += 2 + size
    return out, pos


def read_key(data):
    """The first public (6) or secret (5) key packet of a block; marker
    packets (10) and anything else before it are passed over."""
    for tag, body in packets(data):
        if tag not in (5, 6):
            continue
        pos = 6 if body[0] == 4 else 8  # version 4: no validity days
        alg = body[pos - 1]
        names = {ALG_RSA: "ne", ALG_DSA: "pqgy"}[alg]
        public, pos = read_mpis(body, pos, len(names))
        numbers = dict(zip(names, public))
        if tag == 5:
            if body[pos] != 0:
                raise ValueError("the secret key is protected")
            secret, _ = read_mpis(body, pos + 1, 4 if alg == ALG_RSA else 1)
            numbers.update(zip("dpqu" if alg == ALG_RSA else "x", secret))
            if alg == ALG_RSA:  # p and q are the secret ones; keep n's
                numbers["p"], numbers["q"] = secret[1], secret[2]
        return Key(alg, numbers)
    raise ValueError("no key packet")


def key_bytes(n):
    return (n.bit_length() + 7) // 8


# --- Public-key work: PKCS #1 v1.5 with Python integers (RFC 2313), DSA with python3-cryptography ---

def rsa_sign_raw(key, digest):
    k = key_bytes(key.n["n"])
    block = b"\x00\x01" + b"\xff" * (k - 3 - len(digest)) + b"\x00" + digest
    return pow(int.from_bytes(block, "big"), key.n["d"], key.n["n"]).to_bytes(k, "big")


def rsa_verify_raw(key, digest, signature):
    k = key_bytes(key.n["n"])
    if len(signature) != k:
        return False
    block = pow(int.from_bytes(signature, "big"), key.n["e"], key.n["n"]).to_bytes(k, "big")
    return block == b"\x00\x01" + b"\xff" * (k - 3 - len(digest)) + b"\x00" + digest


def rsa_encrypt(key, message):
    k = key_bytes(key.n["n"])
    pad = b""
    while len(pad) < k - 3 - len(message):
        pad += bytes(b for b in os.urandom(k) if b != 0)
    block = b"\x00\x02" + pad[:k - 3 - len(message)] + b"\x00" + message
    return pow(int.from_bytes(block, "big"), key.n["e"], key.n["n"]).to_bytes(k, "big")


def dsa_objects(key):
    from cryptography.hazmat.primitives.asymmetric import dsa
    params = dsa.DSAParameterNumbers(key.n["p"], key.n["q"], key.n["g"])
    public = dsa.DSAPublicNumbers(key.n["y"], params)
    return public, (dsa.DSAPrivateNumbers(key.n["x"], public) if "x" in key.n else None)


def dsa_sign(key, digest, der):
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import utils
    signature = dsa_objects(key)[1].private_key().sign(digest, utils.Prehashed(hashes.SHA1()))
    if der:
        return signature
    r, s = utils.decode_dss_signature(signature)
    q = key_bytes(key.n["q"])
    return r.to_bytes(q, "big") + s.to_bytes(q, "big")


def dsa_verify(key, digest, signature, der):
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import utils
    if not der:
        q = key_bytes(key.n["q"])
        if len(signature) != 2 * q:
            return False
        signature = utils.encode_dss_signature(int.from_bytes(signature[:q], "big"),
                                               int.from_bytes(signature[q:], "big"))
    try:
        dsa_objects(key)[0].public_key().verify(signature, digest, utils.Prehashed(hashes.SHA1()))
        return True
    except InvalidSignature:
        return False


# --- The handshake (RFC 2246 section 7.4, RFC 6101 section 5.6) with the RFC 2440 key suites ---

# code: (key algorithm, cipher, ephemeral Diffie-Hellman)
SUITES = {0x0101: (ALG_DSA, "cast5", True), 0x0110: (ALG_RSA, "cast5", True),
          0x0120: (ALG_RSA, "cast5", False), 0x01F0: (ALG_DSA, "none", True)}
HANDSHAKE, ALERT, CCS, APPDATA = 22, 21, 20, 23


class HandshakeFailed(Exception):
    def __init__(self, text, alert=None):
        super().__init__(text if alert is None else "%s (alert %d)" % (text, alert))
        self.alert = alert


def message(mtype, body):
    return bytes([mtype]) + len(body).to_bytes(3, "big") + body


def u16(data):
    return len(data).to_bytes(2, "big") + data


def minimal(n):
    return n.to_bytes(max(1, key_bytes(n)), "big")


class Client:
    """A whole client handshake over the peer's socket.

    version: "tls" or "ssl3", the version offered; suites: codes in order
    of preference; key: the client's Key (with its secret numbers) and
    block: the key block sent in the Certificate, or None for no key;
    ssl2: open with an SSL 2.0 CLIENT-HELLO carrying the suites;
    bad_verify: send a CertificateVerify whose signature is spoilt."""

    def __init__(self, peer, version="tls", suites=(0x0120,), key=None, block=None, ssl2=False, bad_verify=False):
        self.peer, self.offer, self.suites = peer, version, list(suites)
        self.key, self.block, self.ssl2, self.bad_verify = key, block, ssl2, bad_verify
        self.transcript = b""
        self.messages = b""  # handshake bytes not yet taken
        self.result = {}

    def out(self, record):
        """Sends a record; when the server has closed already, its alert
        (read before the close) is the failure."""
        try:
            self.peer.sock.sendall(record)
        except OSError as e:
            try:
                r = self.peer.receive()
            except (EOFError, OSError):
                raise HandshakeFailed("transport closed: %s" % e) from None
            data = bytes.fromhex(r.get("data", ""))
            if r["type"] == ALERT and len(data) == 2:
                raise HandshakeFailed("server alert", data[1]) from None
            raise

    def send(self, mtype, body):
        m = message(mtype, body)
        self.transcript += m
        self.out(self.peer.protect(HANDSHAKE, m))

    def next_message(self):
        while len(self.messages) < 4 or len(self.messages) < 4 + int.from_bytes(self.messages[1:4], "big"):
            r = self.peer.receive()
            if "error" in r:
                raise HandshakeFailed(r["error"])
            data = bytes.fromhex(r["data"])
            if r["type"] == ALERT and data == b"\x01\x29":
                continue  # SSL 3.0's warning no_certificate: the client has no key
            if r["type"] == ALERT:
                raise HandshakeFailed("peer alert", data[1] if len(data) == 2 else None)
            if r["type"] == CCS:
                if self.messages:
                    raise HandshakeFailed("ChangeCipherSpec inside a message")
                return "ccs", data
            if r["type"] != HANDSHAKE:
                raise HandshakeFailed("record type %d in the handshake" % r["type"])
            self.messages += data
        size = int.from_bytes(self.messages[1:4], "big")
        m, self.messages = self.messages[:4 + size], self.messages[4 + size:]
        return m[0], m

    def expect(self, mtype):
        got, m = self.next_message()
        if got != mtype:
            raise HandshakeFailed("message %d where %d belongs" % (got, mtype))
        if mtype == "ccs":
            return m
        self.transcript += m
        return m[4:]

    def hello(self):
        minor = 1 if self.offer == "tls" else 0
        if self.ssl2:
            challenge = os.urandom(16)
            specs = b"".join(b"\x00" + c.to_bytes(2, "big") for c in self.suites)
            body = (bytes([1, 3, minor]) + len(specs).to_bytes(2, "big") + b"\x00\x00" +
                    len(challenge).to_bytes(2, "big") + specs + challenge)
            self.client_random = bytes(16) + challenge
            self.transcript += body
            self.peer.sock.sendall((0x8000 | len(body)).to_bytes(2, "big") + body)
            return
        self.client_random = int(time.time()).to_bytes(4, "big") + os.urandom(28)
        suites = b"".join(c.to_bytes(2, "big") for c in self.suites)
        self.send(1, bytes([3, minor]) + self.client_random + b"\x00" + u16(suites) + b"\x01\x00")

    def run(self):
        self.hello()
        sh = self.expect(2)
        if sh[0] != 3 or sh[1] > 1:
            raise HandshakeFailed("server version %d.%d" % (sh[0], sh[1]))
        version = "tls" if sh[1] == 1 else "ssl3"
        self.peer.version = version
        self.server_random = sh[2:34]
        sid = sh[34]
        suite = int.from_bytes(sh[35 + sid:37 + sid], "big")
        if suite not in self.suites or sh[37 + sid] != 0 or len(sh) != 38 + sid:
            raise HandshakeFailed("ServerHello with suite %04x" % suite)
        alg, cipher, ephemeral = SUITES[suite]
        self.result.update(version=version, suite=suite)

        cert = self.expect(11)
        if int.from_bytes(cert[:3], "big") != len(cert) - 3:
            raise HandshakeFailed("Certificate length")
        server_key = read_key(cert[3:])
        if server_key.alg != alg:
            raise HandshakeFailed("server key algorithm %d" % server_key.alg)
        self.result["server_key"] = cert[3:]

        params = None
        mtype, m = self.next_message()
        if ephemeral:
            if mtype != 12:
                raise HandshakeFailed("no ServerKeyExchange")
            self.transcript += m
            ske = m[4:]
            pos, numbers = 0, []
            for _ in range(3):
                size = int.from_bytes(ske[pos:pos + 2], "big")
                numbers.append(int.from_bytes(ske[pos + 2:pos + 2 + size], "big"))
                pos += 2 + size
            params = ske[:pos]
            sig_len = int.from_bytes(ske[pos:pos + 2], "big")
            signature = ske[pos + 2:]
            if len(signature) != sig_len:
                raise HandshakeFailed("ServerKeyExchange length")
            signed = self.client_random + self.server_random + params
            sha = hashlib.sha1(signed).digest()
            if alg == ALG_RSA:
                ok = rsa_verify_raw(server_key, hashlib.md5(signed).digest() + sha, signature)
            else:
                ok = dsa_verify(server_key, sha, signature, version == "tls")
            if not ok:
                raise HandshakeFailed("ServerKeyExchange signature")
            p, g, ys = numbers
            self.result.update(dh_bits=p.bit_length(), dh_g=g)
            mtype, m = self.next_message()

        requested = None
        if mtype == 13:
            self.transcript += m
            count = m[4]
            requested = list(m[5:5 + count])
            self.result["requested"] = requested
            mtype, m = self.next_message()
        if mtype != 14 or len(m) != 4:
            raise HandshakeFailed("message %d where ServerHelloDone belongs" % mtype)
        self.transcript += m

        # A CertificateVerify is due when the server asked for a type our
        # key signs: 1 RSA, 2 DSA.
        verify = False
        if requested is not None:
            verify = self.key is not None and {ALG_RSA: 1, ALG_DSA: 2}[self.key.alg] in requested
            if verify:
                self.send(11, len(self.block).to_bytes(3, "big") + self.block)
            elif version == "ssl3":
                self.out(self.peer.protect(ALERT, b"\x01\x29"))  # warning no_certificate
            else:
                self.send(11, b"")

        if ephemeral:
            size = key_bytes(p)
            x = int.from_bytes(os.urandom(32), "big") | (1 << 255)
            self.send(16, u16(pow(g, x, p).to_bytes(size, "big")))
            premaster = pow(ys, x, p).to_bytes(size, "big")
        else:
            premaster = bytes([3, 1 if self.offer == "tls" else 0]) + os.urandom(46)
            encrypted = rsa_encrypt(server_key, premaster)
            self.send(16, u16(encrypted) if version == "tls" else encrypted)
        master = master_secret(version, premaster, self.client_random, self.server_random)

        if verify:
            # The suite's algorithm decides the value; a DSA key signs its
            # first 20 bytes.
            value = cert_verify(version, master, self.transcript, alg == ALG_RSA)
            if self.key.alg == ALG_RSA:
                signature = rsa_sign_raw(self.key, value)
            else:
                signature = dsa_sign(self.key, value[:20], version == "tls")
            if self.bad_verify:
                signature = signature[:-1] + bytes([signature[-1] ^ 1])
            self.send(15, u16(signature))
        self.result["verified"] = verify

        self.out(self.peer.protect(CCS, b"\x01"))
        self.peer.setup(version, cipher, master, self.client_random, self.server_random, "client")
        self.peer.read_pending = self.peer.read
        self.peer.read = None
        self.send(20, finished(version, master, self.transcript, True))
        if self.expect("ccs") != b"\x01":
            raise HandshakeFailed("ChangeCipherSpec body")
        self.peer.read = self.peer.read_pending
        expected = finished(version, master, self.transcript, False)  # before the server's own is hashed
        got = self.expect(20)
        if got != expected:
            raise HandshakeFailed("server Finished")
        return self.result


def rsa_decrypt(key, encrypted):
    """PKCS #1 type 2 removed; None when the block is not one."""
    k = key_bytes(key.n["n"])
    block = pow(int.from_bytes(encrypted, "big"), key.n["d"], key.n["n"]).to_bytes(k, "big")
    end = block.find(b"\x00", 2)
    if block[:2] != b"\x00\x02" or end < 10:
        return None
    return block[end + 1:]


def ffdhe2048():
    """RFC 7919's 2048-bit group, as openssl names it."""
    from cryptography.hazmat.primitives.serialization import load_pem_parameters
    pem = subprocess.run(["openssl", "genpkey", "-genparam", "-algorithm", "DH", "-pkeyopt", "group:ffdhe2048"],
                         capture_output=True, check=True, timeout=60).stdout
    numbers = load_pem_parameters(pem).parameter_numbers()
    return numbers.p, numbers.g


class Server(Client):
    """A whole server handshake over the peer's socket with an RFC 2440 key
    (key with its secret numbers, block its public key block): the first
    client suite of the key's algorithm, a CertificateRequest for DSA and
    RSA keys when request is set, the client's CertificateVerify checked."""

    def __init__(self, peer, key, block, request=True, dh=None, version=None):
        super().__init__(peer, key=key, block=block)
        self.request, self.dh, self.answer = request, dh, version

    def fail(self, text, alert):
        try:
            self.peer.sock.sendall(self.peer.protect(ALERT, bytes([2, alert])))
        except OSError:
            pass
        raise HandshakeFailed(text, alert)

    def run(self):
        ch = self.expect(1)
        offered = ch[1]
        version = "tls" if offered >= 1 and self.answer != "ssl3" else "ssl3"
        self.peer.version = version
        self.client_random = ch[2:34]
        pos = 35 + ch[34]
        size = int.from_bytes(ch[pos:pos + 2], "big")
        codes = [int.from_bytes(ch[i:i + 2], "big") for i in range(pos + 2, pos + 2 + size, 2)]
        chosen = [c for c in codes if c in SUITES and SUITES[c][0] == self.key.alg]
        if not chosen:
            self.fail("no suite for the key", 71)
        suite = chosen[0]
        alg, cipher, ephemeral = SUITES[suite]
        self.result.update(version=version, suite=suite)

        self.server_random = int(time.time()).to_bytes(4, "big") + os.urandom(28)
        self.send(2, bytes([3, 1 if version == "tls" else 0]) + self.server_random + b"\x01\x07" +
                  suite.to_bytes(2, "big") + b"\x00")
        self.send(11, len(self.block).to_bytes(3, "big") + self.block)
        if ephemeral:
            p, g = self.dh or ffdhe2048()
            x = int.from_bytes(os.urandom(32), "big") | (1 << 255)
            params = u16(minimal(p)) + u16(minimal(g)) + u16(minimal(pow(g, x, p)))
            signed = self.client_random + self.server_random + params
            sha = hashlib.sha1(signed).digest()
            if alg == ALG_RSA:
                signature = rsa_sign_raw(self.key, hashlib.md5(signed).digest() + sha)
            else:
                signature = dsa_sign(self.key, sha, version == "tls")
            self.send(12, params + u16(signature))
        if self.request:
            self.send(13, b"\x02\x02\x01\x00\x00")
        self.send(14, b"")

        client_key = None
        if self.request:
            mtype, m = self.next_message()
            if mtype == 11:
                self.transcript += m
                body = m[4:]
                if body and body != b"\x00\x00\x00":
                    client_key = read_key(body[3:])
            elif mtype == "ccs" or mtype != 16:
                self.fail("message %s where Certificate belongs" % mtype, 10)
            else:
                self.pending_message = m  # SSL 3.0: no_certificate came as an alert
        m = getattr(self, "pending_message", None)
        if m is None:
            mtype, m = self.next_message()
            if mtype != 16:
                self.fail("message %s where ClientKeyExchange belongs" % mtype, 10)
        self.transcript += m
        cke = m[4:]
        if ephemeral:
            yc = int.from_bytes(cke[2:], "big")
            premaster = pow(yc, x, p).to_bytes(key_bytes(p), "big")
        else:
            k = key_bytes(self.key.n["n"])
            sealed = cke[2:] if len(cke) == k + 2 else cke
            premaster = rsa_decrypt(self.key, sealed)
            if premaster is None or len(premaster) != 48 or premaster[:2] != bytes([3, offered]):
                self.fail("premaster", 40)
        master = master_secret(version, premaster, self.client_random, self.server_random)

        self.result["verified"] = False
        if client_key is not None:
            value = cert_verify(version, master, self.transcript, alg == ALG_RSA)
            body = self.expect(15)
            signature = body[2:]
            if client_key.alg == ALG_RSA:
                ok = rsa_verify_raw(client_key, value, signature)
            else:
                ok = dsa_verify(client_key, value[:20], signature, version == "tls")
            if not ok:
                self.fail("client CertificateVerify", 42)
            self.result["verified"] = True

        if self.expect("ccs") != b"\x01":
            self.fail("ChangeCipherSpec body", 10)
        self.peer.setup(version, cipher, master, self.client_random, self.server_random, "server")
        write = self.peer.write
        self.peer.write = None
        expected = finished(version, master, self.transcript, True)
        if self.expect(20) != expected:
            self.fail("client Finished", 40)
        self.out(self.peer.protect(CCS, b"\x01"))
        self.peer.write = write
        self.send(20, finished(version, master, self.transcript, False))
        return self.result


# --- Application data over a ready session, and a relay for plain clients ---

def send_data(peer, data):
    for i in range(0, len(data), 16384):
        peer.sock.sendall(peer.protect(APPDATA, data[i:i + 16384]))


def receive_data(peer):
    """The next application record's bytes; b"" at the peer's close_notify
    or the end of the transport."""
    try:
        r = peer.receive()
    except (EOFError, OSError):
        return b""
    if "error" in r:
        raise HandshakeFailed(r["error"])
    if r["type"] == ALERT:
        return b""
    if r["type"] != APPDATA:
        raise HandshakeFailed("record type %d after the handshake" % r["type"])
    return bytes.fromhex(r["data"])


class Relay:
    """Plain bytes in, TLS records out: listens on a local port, takes one
    plain client and carries its bytes both ways over the ready session."""

    def __init__(self, peer):
        self.peer = peer
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        self.listener.settimeout(30)
        try:
            plain, _ = self.listener.accept()
        except OSError:
            return
        plain.settimeout(30)

        def upward():
            try:
                while True:
                    data = plain.recv(65536)
                    if not data:
                        break
                    send_data(self.peer, data)
            except OSError:
                pass

        up = threading.Thread(target=upward, daemon=True)
        up.start()
        try:
            while True:
                data = receive_data(self.peer)
                if not data:
                    break
                plain.sendall(data)
        except (OSError, HandshakeFailed):
            pass
        plain.close()
        up.join(30)

    def close(self):
        self.listener.close()
        self.thread.join(30)


def main():
    sock = None
    try:
        sock = socket.socket(fileno=3)
        sock.settimeout(10)  # a test that never sends fails instead of hanging
    except OSError:
        pass
    peer = Peer(sock)
    for line in sys.stdin:
        cmd = json.loads(line)
        op = cmd["op"]
        h = lambda k: bytes.fromhex(cmd[k])  # noqa: E731
        try:
            if op == "prf":
                out = {"out": prf(h("secret"), cmd["label"].encode(), h("seed"), cmd["n"]).hex()}
            elif op == "master":
                out = {"out": master_secret(cmd["version"], h("premaster"), h("cr"), h("sr")).hex()}
            elif op == "keyblock":
                out = {"out": key_block(cmd["version"], h("master"), h("cr"), h("sr"), cmd["n"]).hex()}
            elif op == "mac":
                out = {"out": record_mac(cmd["version"], h("secret"), cmd["seq"], cmd["type"], h("fragment")).hex()}
            elif op == "finished":
                out = {"out": finished(cmd["version"], h("master"), h("messages"), cmd["client"]).hex()}
            elif op == "certverify":
                out = {"out": cert_verify(cmd["version"], h("master"), h("messages"), cmd["rsa"]).hex()}
            elif op == "setup":
                kb = peer.setup(cmd["version"], cmd["cipher"], h("master"), h("cr"), h("sr"), cmd["side"])
                out = {"out": kb.hex()}
            elif op == "setseq":
                getattr(peer, cmd["dir"]).seq = cmd["seq"]
                out = {}
            elif op == "send":
                record = peer.protect(cmd["type"], h("data"), cmd.get("tamper"), cmd.get("pad"))
                peer.sock.sendall(record)
                out = {"sent": len(record)}
            elif op == "sendraw":
                peer.sock.sendall(h("data"))
                out = {}
            elif op == "recv":
                out = peer.receive()
            elif op == "quit":
                break
            else:
                out = {"error": "unknown op " + op}
        except (EOFError, OSError, socket.timeout) as e:
            out = {"error": str(e)}
        sys.stdout.write(json.dumps(out) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
