"""Reads a replication log by its grammar and prints one line per record:
the replica URLs (joined by ","), the time, the DN, the attribute type and
its unfolded value in hex (Base64 values decoded), separated by "|".

record    = *("replica: " text LF) "time: " digits LF "dn: " text LF
            "changetype: add" LF attribute-line *(LF " " text) LF LF
"""
import base64
import re
import sys


def parse(data):
    records = []
    for chunk in data.split(b"\n\n"):
        if not chunk:
            continue
        lines = chunk.split(b"\n")
        replicas = []
        while lines[0].startswith(b"replica: "):
            replicas.append(lines.pop(0)[9:].decode())
        m = re.fullmatch(rb"time: (\d+)", lines.pop(0))
        assert m, chunk
        assert lines[0].startswith(b"dn: "), chunk
        dn = lines.pop(0)[4:].decode()
        assert lines.pop(0) == b"changetype: add", chunk
        # Unfold: a line beginning with one blank continues the one before.
        logical = lines.pop(0)
        for more in lines:
            assert more.startswith(b" "), chunk
            logical += more[1:]
        name, sep, rest = logical.partition(b":")
        if rest.startswith(b": "):
            value = base64.b64decode(rest[2:], validate=True)
        else:
            assert rest.startswith(b" "), chunk
            value = rest[1:]
        records.append({"replicas": replicas, "time": int(m.group(1)), "dn": dn,
                        "type": name.decode(), "value": value.hex()})
    assert data == b"" or data.endswith(b"\n\n"), "record not ended by an empty line"
    return records


if __name__ == "__main__":
    with open(sys.argv[1], "rb") as f:
        for r in parse(f.read()):
            print("|".join([",".join(r["replicas"]), str(r["time"]), r["dn"], r["type"], r["value"]]))
