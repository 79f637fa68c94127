#!/usr/bin/python3
"""Seeds of net_tls_handshake_fuzz (tests/net/fuzz/tls_handshake_fuzz.cc):
one file per case, a mode byte then the bytes."""
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "tls_handshake")
os.makedirs(here, exist_ok=True)


def client_hello(minor, suites, sid=b""):
    body = bytes([3, minor]) + bytes(range(32)) + bytes([len(sid)]) + sid
    body += struct.pack(">H", 2 * len(suites)) + b"".join(struct.pack(">H", s) for s in suites)
    return body + b"\x01\x00"


def handshake(kind, body):
    return bytes([kind]) + len(body).to_bytes(3, "big") + body


def record(kind, fragment, minor=1):
    return bytes([kind, 3, minor]) + struct.pack(">H", len(fragment)) + fragment


def premaster_block(minor):
    value = bytes([3, minor]) + bytes(46)
    return bytes([len(value)]) + value + bytes(64 - 1 - len(value))


seeds = {
    # Whole driver: records from the transport.
    "driver_hello_rsa": bytes([0]) + record(22, handshake(1, client_hello(1, [0x000A, 0x0120]))),
    "driver_hello_dh_request": bytes([1]) + record(22, handshake(1, client_hello(0, [0x0110]), ), 0),
    "driver_hello_then_cke": bytes([0]) + record(22, handshake(1, client_hello(1, [0x0120])))
    + record(22, handshake(16, struct.pack(">H", 64) + premaster_block(1))),
    "driver_sslv2_hello": bytes([0]) + bytes([0x80, 0x2E, 1, 3, 1, 0, 0x15, 0, 0, 0, 0x10])
    + bytes([0, 1, 0x20]) * 7 + bytes(range(16)),
    # Receivers.
    "hello_body": bytes([4]) + client_hello(1, [0x0013, 0x0120], b"\x05" * 5),
    "hello_dsa": bytes([4 | 2]) + client_hello(1, [0x0101, 0x01F0]),
    "certificate_rsa": bytes([8 | 1]) + (8).to_bytes(3, "big") + b"KEY-RSA!",
    "certificate_x509": bytes([8 | 32]) + (22).to_bytes(3, "big") + (8).to_bytes(3, "big") + b"KEY-RSA!"
    + (8).to_bytes(3, "big") + b"KEY-DSA!",
    "cke_rsa": bytes([12]) + struct.pack(">H", 64) + premaster_block(1),
    "cke_rsa_bare": bytes([12]) + premaster_block(0),
    "cke_dh": bytes([12 | 16]) + struct.pack(">H", 32) + bytes([0x55] * 32),
}
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
