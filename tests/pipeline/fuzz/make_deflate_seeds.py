#!/usr/bin/python3
"""Writes the seed corpus of the deflate fuzz target: plain inputs that push
the engine through its paths (text, noise, runs, a far repeat, sizes around
the window), each behind one steering byte (level and piece size,
deflate_fuzz_body.h)."""
import os
import random

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "deflate")
os.makedirs(out, exist_ok=True)
rnd = random.Random(30)
text = b" ".join(rnd.choice([b"alpha", b"beta", b"gamma", b"delta", b"key", b"block", b"\n"]) for _ in range(1500))
noise = bytes(rnd.getrandbits(8) for _ in range(9000))
inputs = {
    "empty": b"",
    "one": b"x",
    "text": text,
    "noise": noise[:3000],
    "run": b"a" * 5000 + b"b" * 300,
    # A block repeated 7930 and 7931 bytes later: the farthest match and one past it.
    "far": noise[:40] + noise[100:7990] + noise[:40] + noise[100:7991] + noise[:40],
    "window": (text * 4)[:16385],
    "mixed": text[:2000] + noise[:1000] + text[:3000],
}
for i, (name, data) in enumerate(sorted(inputs.items())):
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([(i * 37) % 256]) + data)
