#!/usr/bin/env python3
"""Writes the decode fuzz corpus (fuzz/corpus/decode) from the messages and
key blocks of tests/pipeline/data: each seed is one steering byte (see
decode_fuzz_body.h) followed by the file. Messages go in as decodes with the
secret key and the passphrase at hand (steer 0x0C) and, for the nested one,
recursively (0x0E); key blocks as imports (0x01)."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
data = os.path.join(here, "..", "data")
out = os.path.join(here, "corpus", "decode")
os.makedirs(out, exist_ok=True)

messages = ["compressed.gpg", "detached.sig", "pk-elgamal.gpg", "pk-rsa.gpg", "signed-partial.gpg",
            "signed-plain.gpg", "signed-two.gpg", "signed.gpg", "store-partial.gpg", "sym-aes.gpg",
            "sym-cast5.gpg", "sym-rfc2440.gpg", "zlib.gpg", "armor/clear.asc", "armor/clear-crlf.asc",
            "armor/mime.eml", "armor/store.asc", "decode/signed-elg.asc", "decode/signed-rsa.bin",
            "decode/textmode.bin", "decode/png.bin"]
keys = ["armor/alice.asc", "armor/alice.gpg", "decode/carol.asc", "decode/bomb.asc", "erin.bin"]


def write(name, steer, path):
    with open(os.path.join(data, path), "rb") as f:
        body = f.read()
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([steer]) + body)


for m in messages:
    write("msg-" + m.replace("/", "-"), 0x0C, m)
write("nested-recursive", 0x0E, "decode/nested.bin")
for k in keys:
    write("keys-" + k.replace("/", "-"), 0x01, k)
sys.exit(0)
