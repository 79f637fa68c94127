#!/usr/bin/python3
"""Writes version-3 RSA public key packets (RFC 2440 5.5.2) and what they
should parse to, since gpg no longer makes such keys.

Usage: make_v3_keys.py <output folder>

For each key, <name>.bin holds one old-form public key packet (tag 6, two
length bytes) and v3-keys.txt one line:
    <name> <key ID> <fingerprint> <bits> <creation> <validity days>
where the key ID is the low 64 bits of the modulus (zero-filled on the left
when the modulus is shorter) and the fingerprint is MD5 over the modulus and
exponent bytes, without their length prefixes (RFC 2440 11.2).
"""
import hashlib
import random
import sys


def is_probable_prime(n, rng):
    if n < 2:
        return False
    for p in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        if n % p == 0:
            return n == p
    d, s = n - 1, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    for _ in range(32):
        a = rng.randrange(2, n - 1)
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = pow(x, 2, n)
            if x == n - 1:
                break
        else:
            return False
    return True


def prime(bits, e, rng):
    while True:
        p = rng.getrandbits(bits) | (1 << (bits - 1)) | 1
        if is_probable_prime(p, rng) and (p - 1) % e != 0:
            return p


def mpi(n):
    data = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return n.bit_length().to_bytes(2, "big") + data, data


def key(name, bits, e, creation, validity, rng):
    half = bits // 2
    while True:
        n = prime(half, e, rng) * prime(bits - half, e, rng)
        if n.bit_length() == bits:
            break
    n_mpi, n_bytes = mpi(n)
    e_mpi, e_bytes = mpi(e)
    body = (bytes([3]) + creation.to_bytes(4, "big") + validity.to_bytes(2, "big") + bytes([1]) +
            n_mpi + e_mpi)
    packet = bytes([0x99]) + len(body).to_bytes(2, "big") + body
    key_id = (n & ((1 << 64) - 1)).to_bytes(8, "big").hex().upper()
    fingerprint = hashlib.md5(n_bytes + e_bytes).hexdigest().upper()
    return packet, "%s %s %s %d %d %d" % (name, key_id, fingerprint, bits, creation, validity)


def main():
    out = sys.argv[1]
    rng = random.Random(2440)
    lines = []
    for name, bits, e, creation, validity in (
            ("v3-rsa1024", 1024, 17, 0x35000000, 0),
            ("v3-rsa768-validity", 768, 65537, 0x36000000, 365),
            ("v3-rsa48-short", 48, 3, 0x37000000, 0)):
        packet, line = key(name, bits, e, creation, validity, rng)
        with open("%s/%s.bin" % (out, name), "wb") as f:
            f.write(packet)
        lines.append(line)
    with open("%s/v3-keys.txt" % out, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
