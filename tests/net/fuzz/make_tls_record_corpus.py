#!/usr/bin/python3
"""Writes the seeds of the TLS record fuzz target (tls_record_fuzz.cc) into
corpus/tls_record: plain and protected records, handshake messages whole, in
pieces and two to a record, alerts, ChangeCipherSpec, an SSL 2.0 hello, and a
few broken headers. Protected records are made by the independent peer
(../tls_peer/tls_peer.py) with the target's fixed master secret and randoms.

Run from this folder: /usr/bin/python3 make_tls_record_corpus.py
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tls_peer"))
import tls_peer  # noqa: E402

MASTER = bytes(range(48))
CR = b"\x11" * 32
SR = b"\x22" * 32
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "tls_record")


def record(ctype, body, minor=1, major=3):
    return bytes([ctype, major, minor]) + len(body).to_bytes(2, "big") + body


def message(mtype, body):
    return bytes([mtype]) + len(body).to_bytes(3, "big") + body


def protected(version, cipher, our_server, records):
    peer = tls_peer.Peer(None)
    peer.setup(version, cipher, MASTER, CR, SR, "client" if our_server else "server")
    return b"".join(peer.protect(t, d) for t, d in records)


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {}
    hello = message(1, b"\x03\x01" + b"\x33" * 32 + b"\x00" + b"\x00\x04\x00\x0a\x00\x13" + b"\x01\x00")
    finished = message(20, b"\x07" * 12)
    # mode: 1 server, 2 SSL 3.0, 4/8/12 keys, 16 non-blocking, 32 ready
    seeds["hs_two_messages"] = bytes([1, 0]) + record(22, hello + message(14, b""))
    seeds["hs_split"] = bytes([1, 3]) + record(22, hello[:20]) + record(22, hello[20:])
    seeds["hs_nonblocking_chunks"] = bytes([17, 7]) + record(22, hello) + record(21, b"\x01\x29")
    seeds["hs_alert_close"] = bytes([0, 0]) + record(21, b"\x01\x00")
    seeds["hs_ccs_nokeys"] = bytes([0, 0]) + record(20, b"\x01") + record(22, finished)
    v2 = b"\x01\x03\x01" + b"\x00\x06\x00\x00\x00\x10" + b"\x01\x00\x80\x00\x00\x0a" + b"\x44" * 16
    seeds["hs_sslv2_hello"] = bytes([1, 0]) + bytes([0x80, len(v2)]) + v2
    seeds["hs_big_length"] = bytes([1, 0]) + record(22, b"\x01\x01\x00\x01" + b"\x00" * 40)
    seeds["bad_type"] = bytes([33, 0]) + record(24, b"abc")
    seeds["bad_major"] = bytes([33, 0]) + record(23, b"abc", major=2)
    seeds["bad_length"] = bytes([33, 0]) + b"\x17\x03\x01\x48\x01"
    seeds["ready_plain"] = bytes([32, 0]) + record(23, b"x" * 1000) + record(22, b"\x00" * 4) + record(21, b"\x01\x00")
    for name, mode, version, cipher in (("cast5_tls", 36, "tls", "cast5"), ("3des_ssl3", 42, "ssl3", "3des"),
                                        ("mac_only_tls", 44, "tls", "none"), ("cast5_ssl3_server", 39, "ssl3", "cast5")):
        our_server = bool(mode & 1)
        seeds["ready_" + name] = bytes([mode, 0]) + protected(version, cipher, our_server,
                                                              [(23, b"application data" * 20), (23, b"z"),
                                                               (21, b"\x01\x00")])
        seeds["hs_" + name] = bytes([mode & ~32, 5]) + protected(version, cipher, our_server,
                                                                  [(22, finished + hello[:10]), (22, hello[10:])])
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
