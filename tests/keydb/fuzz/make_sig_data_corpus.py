#!/usr/bin/python3
"""Writes the corpus of keydb_sig_data_fuzz (fuzz/corpus/sig_data): the
one-pass (tag 4) and signature (tag 2) bodies of the gpg messages of
tests/pipeline/data and of the key fixtures of tests/keydb/data, as records
of a mode byte (0: annotation 2306, 1: 2307), a two-byte length and the
body. A message's one-pass packets and signatures make one input, in their
order (closing signatures under 2307); a key file's signatures one input
each, under 2306."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.normpath(os.path.join(here, "..", "..", ".."))
out = os.path.join(here, "corpus", "sig_data")


def packets(data):
    """(tag, body) of each packet; stops at a partial or indeterminate length."""
    at = 0
    while at < len(data):
        ctb = data[at]
        if ctb & 0x40:
            tag = ctb & 0x3F
            c = data[at + 1]
            if c < 192:
                hl, n = 2, c
            elif c < 224:
                hl, n = 3, ((c - 192) << 8) + data[at + 2] + 192
            elif c == 255:
                hl, n = 6, int.from_bytes(data[at + 2:at + 6], "big")
            else:
                return
        else:
            tag = (ctb >> 2) & 15
            if ctb & 3 == 3:
                return
            w = (1, 2, 4)[ctb & 3]
            hl, n = 1 + w, int.from_bytes(data[at + 1:at + 1 + w], "big")
        yield tag, data[at + hl:at + hl + n]
        at += hl + n


def record(mode, body):
    return bytes([mode]) + len(body).to_bytes(2, "big") + body


def main():
    os.makedirs(out, exist_ok=True)
    pdata = os.path.join(root, "tests", "pipeline", "data")
    for name in ("signed-plain.gpg", "signed-two.gpg", "detached.sig", "detached-text.sig"):
        with open(os.path.join(pdata, name), "rb") as f:
            data = f.read()
        seen_one_pass = False
        recs = b""
        for tag, body in packets(data):
            if tag == 4:
                seen_one_pass = True
                recs += record(0, body)
            elif tag == 2:
                recs += record(1 if seen_one_pass else 0, body)
        with open(os.path.join(out, name.replace(".", "-")), "wb") as f:
            f.write(recs)
    kdata = os.path.join(root, "tests", "keydb", "data")
    for name in ("alice.bin", "bob.both.bin", "carol.bin", "v3-rsa1024.bin"):
        with open(os.path.join(kdata, name), "rb") as f:
            data = f.read()
        for i, (tag, body) in enumerate(p for p in packets(data) if p[0] == 2):
            with open(os.path.join(out, "%s-sig%d" % (name.replace(".", "-"), i)), "wb") as f:
                f.write(record(0, body))
    return 0


if __name__ == "__main__":
    sys.exit(main())
