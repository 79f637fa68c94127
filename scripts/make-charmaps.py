#!/usr/bin/python3
"""Prints the cp850 and EBCDIC tables of pipeline/charmaps.cc.

cp850: Python's cp850 codec for the 224 bytes that decode to a Latin-1
character; the 32 bytes that decode to anything else are paired, in
ascending order, with Latin-1 0x80-0x9F. EBCDIC: Python's cp500 (a
permutation of Latin-1) with '|' and the broken bar exchanged (0x6A and
0xBB). Each table maps a byte of the set to Latin-1; the inverse is built at
compile time.
"""


def cp850_to_latin1():
    table = [None] * 256
    others = []
    for b in range(256):
        ch = bytes([b]).decode("cp850")
        if ord(ch) < 256:
            table[b] = ord(ch)
        else:
            others.append(b)
    assert len(others) == 32
    for i, b in enumerate(others):
        table[b] = 0x80 + i
    assert sorted(table) == list(range(256))
    return table


def ebcdic_to_latin1():
    table = [ord(bytes([b]).decode("cp500")) for b in range(256)]
    assert sorted(table) == list(range(256))
    bar, broken = table.index(0x7C), table.index(0xA6)
    table[bar], table[broken] = 0xA6, 0x7C
    return table


def emit(name, table):
    print(f"constexpr Map {name} = {{{{")
    for row in range(0, 256, 16):
        print("    " + ", ".join(f"0x{v:02X}" for v in table[row:row + 16]) + ",")
    print("}};")


emit("cp850_to_latin1", cp850_to_latin1())
emit("ebcdic_to_latin1", ebcdic_to_latin1())
