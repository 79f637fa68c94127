#!/usr/bin/python3
"""Writes the seed corpus of the armor parser's fuzz target: the armor
fixtures of tests/pipeline/data/armor and a few hand-made inputs (text,
multipart blocks, quoted armor, faults, binary), each behind one steering
byte (piece size, verification reader, bare boundary:
armor_parse_fuzz_body.h)."""
import base64
import os

here = os.path.dirname(os.path.abspath(__file__))
data = os.path.join(here, "..", "data")
out = os.path.join(here, "corpus", "armor_parse")
os.makedirs(out, exist_ok=True)


def crc24(b):
    crc = 0xB704CE
    for x in b:
        crc ^= x << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def armor(b, kind=b"MESSAGE", headers=b""):
    body = base64.b64encode(b)
    lines = b"\n".join(body[i:i + 64] for i in range(0, len(body), 64))
    c = crc24(b)
    return (b"-----BEGIN PGP " + kind + b"-----\n" + headers + b"\n" + lines + b"\n=" +
            base64.b64encode(bytes([c >> 16, (c >> 8) & 255, c & 255])) + b"\n-----END PGP " + kind + b"-----\n")


def literal(text):
    return bytes([0xAC, 6 + len(text)]) + b"b\0\0\0\0\0" + text


seeds = {}
for name in sorted(os.listdir(os.path.join(data, "armor"))):
    if name.endswith((".asc", ".eml")):
        seeds[name] = open(os.path.join(data, "armor", name), "rb").read()
lit = literal(b"a literal in two parts for the fuzzer\n")
seeds["text"] = b"before\n" + armor(literal(b"x\n")) + b"after\r\nmore"
seeds["parts"] = (armor(lit[20:], b"MESSAGE, PART 2/2", b"MessageID: f\n") + b"between\n" +
                  armor(lit[:20], b"MESSAGE, PART 1/2", b"MessageID: f\n"))
seeds["parts-open"] = armor(lit[:20], b"MESSAGE, PART 1", b"")
seeds["quoted"] = b"".join(b"> " + l + b"\n" for l in armor(lit).split(b"\n")[:-1])
seeds["faults"] = armor(lit).replace(b"\n=", b"\n=A") + b"-----BEGIN PGP MESSAGE-----\n\nrA!4\n"
seeds["binary"] = lit + b"\n" + lit
seeds["bare"] = (b"--b\nContent-Type: text/plain\n\nsigned\n--b\n\n" +
                 armor(lit, b"SIGNATURE") + b"--b--\n")
steer = {"text": 1, "parts": 3, "parts-open": 0, "quoted": 2, "faults": 4, "binary": 0, "bare": 8 | 16 | 3}
for i, (name, body) in enumerate(sorted(seeds.items())):
    s = steer.get(name, (i % 7) | 8)
    open(os.path.join(out, name.replace(".", "-")), "wb").write(bytes([s]) + body)
