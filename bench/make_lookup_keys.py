#!/usr/bin/python3
"""Makes N RFC 2440 keys with gpg (--cert-digest-algo SHA1; Ed25519 signing
keys with a Curve25519 encryption subkey, one user ID each; --rsa BITS for
RSA keys) and writes them as the directory's key entries: per key one
certificate entry holding the armored key block in "qoxkey", and one user-ID
entry per user ID, in the entry text form that tests/integration's
ldbm_test_loader reads.

Output directory: entries.txt (entries separated by empty lines) and
keyids.txt (one 8-digit key ID a line). Keys are made by several gpg
processes at once, each in its own home directory, and exported in one go
per home; each key is then armored here (RFC 4880 armor, CRC-24).

Usage: bench/make_lookup_keys.py <output directory> <N> [--jobs J] [--rsa BITS]"""
import argparse
import base64
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile
import time

ACTIVE = "OU=ACTIVE,O=QOX KEYSPACE,C=US"


def crc24(data):
    crc = 0xB704CE
    for b in data:
        crc ^= b << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def armor(packets):
    body = base64.b64encode(packets).decode()
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    crc = base64.b64encode(crc24(packets).to_bytes(3, "big")).decode()
    return "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n" + "\n".join(lines) + "\n=" + crc + \
        "\n-----END PGP PUBLIC KEY BLOCK-----\n"


def split_keys(data):
    """Splits a binary export into one packet run per primary key (tag 6)."""
    keys, start, pos = [], None, 0
    while pos < len(data):
        head = data[pos]
        if head & 0x40:  # new format
            tag = head & 0x3F
            first = data[pos + 1]
            if first < 192:
                length, hdr = first, 2
            elif first < 224:
                length, hdr = ((first - 192) << 8) + data[pos + 2] + 192, 3
            elif first == 255:
                length, hdr = int.from_bytes(data[pos + 2:pos + 6], "big"), 6
            else:
                raise ValueError("partial length in a key export")
        else:
            tag = (head >> 2) & 0x0F
            kind = head & 3
            n = {0: 1, 1: 2, 2: 4}[kind]
            length, hdr = int.from_bytes(data[pos + 1:pos + 1 + n], "big"), 1 + n
        if tag == 6:
            if start is not None:
                keys.append(data[start:pos])
            start = pos
        pos += hdr + length
    if start is not None:
        keys.append(data[start:pos])
    return keys


def make_home(args):
    index, count, first, rsa = args
    home = tempfile.mkdtemp(prefix="lookup-keys-%d-" % index)
    os.chmod(home, 0o700)
    params = []
    for i in range(first, first + count):
        if rsa:
            kind = ("Key-Type: rsa\nKey-Length: %d\nKey-Usage: sign\nSubkey-Type: rsa\nSubkey-Length: %d\n"
                    "Subkey-Usage: encrypt\n" % (rsa, rsa))
        else:
            kind = "Key-Type: eddsa\nKey-Curve: ed25519\nKey-Usage: sign\nSubkey-Type: ecdh\nSubkey-Curve: cv25519\n"
        params.append("%%no-protection\n%sName-Real: Lookup User %d\nName-Email: user%d@example.org\n"
                      "Expire-Date: 0\n%%commit\n" % (kind, i, i))
    gpg = ["gpg", "--homedir", home, "--batch", "--quiet", "--cert-digest-algo", "SHA1"]
    subprocess.run(gpg + ["--gen-key"], input="".join(params).encode(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    listing = subprocess.run(gpg + ["--with-colons", "--fixed-list-mode", "--list-keys"],
                             capture_output=True, check=True).stdout.decode()
    exported = subprocess.run(gpg + ["--export"], capture_output=True, check=True).stdout
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "gpg-agent"], stderr=subprocess.DEVNULL)
    shutil.rmtree(home, ignore_errors=True)
    return listing, exported


def entries_of(listing, exported, rsa):
    """Per key: (key ID, list of entry texts), in export order."""
    keys, current = [], None
    for line in listing.splitlines():
        f = line.split(":")
        if f[0] == "pub":
            current = {"certid": f[4], "created": int(f[5]), "bits": int(f[2]), "algo": int(f[3]),
                       "uids": [], "subkeys": []}
            keys.append(current)
        elif f[0] == "uid" and current is not None:
            current["uids"].append(f[9])
        elif f[0] == "sub" and current is not None:
            current["subkeys"].append(f[4])
    blocks = split_keys(exported)
    if len(blocks) != len(keys):
        raise SystemExit("export holds %d keys, listing %d" % (len(blocks), len(keys)))
    out = []
    for key, block in zip(keys, blocks):
        cert = key["certid"].upper()
        dn = "QOXCERTID=%s,%s" % (cert, ACTIVE)
        created = time.strftime("%Y%m%d%H%M%SZ", time.gmtime(key["created"]))
        texts = ["dn: %s\nobjectclass: qoxcertificate\nversion: 7.0\nqoxkey:: %s\nmodifytimestamp: %s\n" %
                 (dn, base64.b64encode(armor(block).encode()).decode(), created)]
        kind = "RSA" if rsa else "DSS/DH"
        for uid in key["uids"]:
            uid = uid.replace("\\x3a", ":")
            texts.append("dn: QOXUSERID=%s,%s\nobjectclass: qoxuserid\nqoxcertid: %s\nqoxdisabled: 0\n"
                         "qoxkeyid: %s\nqoxKeyType: %s\nqoxuserid: %s\nqoxkeycreatetime: %s\n"
                         "qoxkeysize: %05d\n%sqoxrevoked: 0\nqoxsignerid: %s\n" %
                         (uid.replace(",", "\\,"), dn, cert, cert[8:], kind, uid, created, key["bits"],
                          "".join("qoxsubkeyid: %s\n" % s.upper() for s in key["subkeys"]) if not rsa else "",
                          cert))
        out.append((cert[8:], texts))
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("count", type=int)
    p.add_argument("--jobs", type=int, default=3)
    p.add_argument("--rsa", type=int, default=0)
    a = p.parse_args()
    os.makedirs(a.out, exist_ok=True)
    per = 500
    chunks = [(i, min(per, a.count - i * per), i * per, a.rsa) for i in range((a.count + per - 1) // per)]
    seen = set()
    with open(os.path.join(a.out, "entries.tmp"), "w") as entries, \
            open(os.path.join(a.out, "keyids.tmp"), "w") as ids, \
            concurrent.futures.ProcessPoolExecutor(a.jobs) as pool:
        for done, (listing, exported) in enumerate(pool.map(make_home, chunks)):
            for keyid, texts in entries_of(listing, exported, a.rsa):
                if keyid in seen:  # a short key ID met twice: keep the first
                    continue
                seen.add(keyid)
                entries.write("\n".join(texts) + "\n")
                ids.write(keyid + "\n")
            print("%d/%d keys" % (min((done + 1) * per, a.count), a.count), file=sys.stderr, flush=True)
    os.replace(os.path.join(a.out, "entries.tmp"), os.path.join(a.out, "entries.txt"))
    os.replace(os.path.join(a.out, "keyids.tmp"), os.path.join(a.out, "keyids.txt"))


if __name__ == "__main__":
    main()
