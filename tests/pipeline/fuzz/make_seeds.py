#!/usr/bin/python3
"""Writes the seed corpus of the inflate fuzz target: raw deflate streams of
Python's zlib at several levels and strategies, each behind one steering
byte (piece size and output taking, inflate_fuzz_body.h)."""
import os
import random
import zlib

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "inflate")
os.makedirs(out, exist_ok=True)
rnd = random.Random(7)
text = b" ".join(rnd.choice([b"alpha", b"beta", b"gamma", b"delta", b"key", b"block"]) for _ in range(900))
noise = bytes(rnd.getrandbits(8) for _ in range(600))
inputs = {"text": text, "noise": noise, "mixed": text[:500] + noise[:200] + text[:700], "empty": b""}
strategies = {"default": zlib.Z_DEFAULT_STRATEGY, "fixed": zlib.Z_FIXED, "huffman": zlib.Z_HUFFMAN_ONLY,
              "rle": zlib.Z_RLE}
for name, data in inputs.items():
    for level in (0, 1, 6, 9):
        for sname, strategy in strategies.items():
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
            stream = c.compress(data) + c.flush()
            steer = bytes([rnd.getrandbits(8)])
            with open(os.path.join(out, f"{name}_{level}_{sname}"), "wb") as f:
                f.write(steer + stream)
