#!/usr/bin/python3
# Writes the seed corpus of the ring fuzz target (corpus/ring): the gpg
# fixtures of ../data behind a mode byte (bit 0 trusted, bit 1 read twice,
# bit 2 second half first), merged and trusted streams, and a small flooded
# key. Run from anywhere; it replaces the folder's files.
import os

here = os.path.dirname(os.path.abspath(__file__))
data = os.path.join(here, '..', 'data')
out = os.path.join(here, 'corpus', 'ring')
os.makedirs(out, exist_ok=True)


def read(name):
    with open(os.path.join(data, name), 'rb') as f:
        return f.read()


def packet(tag, body):
    n = len(body)
    if n < 192:
        head = bytes([0xC0 | tag, n])
    elif n < 8384:
        head = bytes([0xC0 | tag, ((n - 192) >> 8) + 192, (n - 192) & 0xFF])
    else:
        head = bytes([0xC0 | tag, 0xFF]) + n.to_bytes(4, 'big')
    return head + body


def sig(issuer, created, kind=0x10):
    hashed = bytes([5, 2]) + created.to_bytes(4, 'big')
    unhashed = bytes([9, 16]) + issuer
    body = bytes([4, kind, 1, 2]) + len(hashed).to_bytes(2, 'big') + hashed
    body += len(unhashed).to_bytes(2, 'big') + unhashed + bytes([0x12, 0x34, 0, 8, 0xA5])
    return packet(2, body)


seeds = {
    'alice': (0, read('alice.bin')),
    'alice.sec-then-public': (1, read('alice.sec.bin') + read('alice.bin')),
    'bob.both-twice': (2, read('bob.both.bin')),
    'bob.alice-carol': (4, read('bob.alice.bin') + read('bob.carol.bin')),
    'carol-revoker': (1, read('carol.bin') + read('alice.bin')),
    'dave.sec': (0, read('dave.sec.bin')),
    'v3': (1, read('v3-rsa1024.bin') + read('v3-rsa768-validity.bin')),
}
# A key with trust packets after its objects, and a key flooded with
# certifications by absent signers.
alice = read('alice.bin')
trusted = alice[:]
for n, trust in enumerate([b'\x87', b'\x03\x78\x78', b'\x60']):
    trusted += packet(12, trust)
seeds['trust-packets'] = (1, trusted)
flood = read('bob.bin')
for n in range(64):
    flood += sig(bytes([0xF0, 0, 0, 0, 0, 0, n >> 8, n & 0xFF]), 1796950000 + n)
seeds['flooded'] = (0, flood)
seeds['crl-attribute'] = (0, alice + packet(17, bytes([4, 1, 0xFF, 0xD8, 0xFF]))
                          + packet(60, bytes([4, 2, 0, 0, 0, 5, 0x30, 3, 0x86, 1, ord('u'), 0x30, 0])))
for name, (mode, stream) in seeds.items():
    with open(os.path.join(out, name), 'wb') as f:
        f.write(bytes([mode]) + stream)
