#!/usr/bin/python3
"""Writes the seed corpus of the binary parser's fuzz target: the small
messages of tests/pipeline/data, a key block of tests/keydb/data and a few
hand-made messages (partial lengths, nesting, unknown and marker packets,
text that is no packet), each behind one steering byte (piece size and
commit answers, parse_bin_fuzz_body.h)."""
import os
import random
import struct

here = os.path.dirname(os.path.abspath(__file__))
data = os.path.join(here, "..", "data")
keys = os.path.join(here, "..", "..", "keydb", "data")
out = os.path.join(here, "corpus", "parse_bin")
os.makedirs(out, exist_ok=True)
rnd = random.Random(28)


def packet(tag, body):
    n = len(body)
    if n < 192:
        head = bytes([0xC0 | tag, n])
    elif n < 8384:
        head = bytes([0xC0 | tag, ((n - 192) >> 8) + 192, (n - 192) & 0xFF])
    else:
        head = bytes([0xC0 | tag, 0xFF]) + struct.pack(">I", n)
    return head + body


def literal(text, kind=b"b"):
    return packet(11, kind + b"\x04name" + b"\x12\x34\x56\x78" + text)


def stored(inner):
    n = len(inner)
    return b"\xa3\x01\x01" + struct.pack("<HH", n, n ^ 0xFFFF) + inner


def partial_literal(text):
    body = b"b\x00\x00\x00\x00\x00" + text
    out = bytes([0xCB])
    while len(body) > 4:
        out += bytes([0xE2]) + body[:4]  # chunks of 4 bytes
        body = body[4:]
    return out + bytes([len(body)]) + body


seeds = {}
for name in sorted(os.listdir(data)):
    if name.endswith((".gpg", ".sig")) and os.path.getsize(os.path.join(data, name)) < 4096:
        with open(os.path.join(data, name), "rb") as f:
            seeds[name] = f.read()
with open(os.path.join(keys, "bob.both.bin"), "rb") as f:
    seeds["bob.both.bin"] = f.read()
text = b"A literal of several words.\n" * 3
seeds["partial"] = partial_literal(text)
seeds["nested"] = stored(stored(stored(literal(text))))
seeds["unknown-then-literal"] = packet(61, b"xyz") + packet(16, b"comment") + literal(text)
seeds["marker-then-literal"] = b"\xa8\x03PGP" + literal(text, b"t")
seeds["not-a-packet"] = b"Plain text, no packets at all.\n"
seeds["huge-length"] = b"\xcb\xff\xff\xff\xff\xff" + b"b\x00\x00\x00\x00\x00abc"
seeds["armored-literal"] = literal(b"-----BEGIN PGP MESSAGE-----\n\n-----END PGP MESSAGE-----\n", b"t")
for name, body in seeds.items():
    for i in range(2):
        with open(os.path.join(out, f"{name}.{i}"), "wb") as f:
            f.write(bytes([rnd.getrandbits(8)]) + body)
