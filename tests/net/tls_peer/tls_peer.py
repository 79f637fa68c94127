#!/usr/bin/python3
"""An independent SSL 3.0 / TLS 1.0 peer for the engine's tests.

Written from RFC 2246 (TLS 1.0) and RFC 6101 (SSL 3.0): the PRF, master
secret, key block, record MACs, Finished and CertificateVerify values with
hashlib and hmac; CAST5-CBC and 3DES-CBC with python3-cryptography.

It reads one JSON command per line on standard input and answers with one
JSON line on standard output. Records travel over the stream socket on file
descriptor 3 (when the test hands one over). Byte strings are hex.
"""
import hashlib
import hmac
import json
import os
import socket
import sys
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
