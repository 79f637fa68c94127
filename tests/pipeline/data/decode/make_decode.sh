#!/bin/bash
# Makes the decode fixtures of this folder with gpg and Python, in a
# temporary GNUPGHOME holding the keys of tests/keydb/data. The outputs are
# checked in, so the decode tests never run gpg to make them.
#   carol.asc        `--armor --export` of carol
#   ring.bin         `--export` of alice, bob, carol and dave (a key ring)
#   signed-rsa.bin   `-s -e --cipher-algo CAST5` of ../plain.txt: signed by
#                    alice, encrypted to erin's RSA key (../erin.sec.bin)
#   signed-elg.asc   the same, armored, encrypted to alice's ElGamal subkey
#   png.bin, jpeg.bin  `-e -r erin -z 0` of png.data (begins 0x89 "PNG") and
#                    jpeg.data (begins 0xFF 0xD8)
#   nested.bin       `-e -r erin` of store.gpg's bytes (a message whose
#                    literal holds another message)
#   textmode.bin     `--textmode -s -z 0` by alice of ../plain.txt with CR LF
#                    line ends
#   bomb.asc         an armored message of two nested compressed packets
#                    whose inner data is one 64-MiB public-key packet:
#                    a few hundred bytes that inflate without end
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
keys=$out/../../../keydb/data
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --digest-algo SHA1 \
          --compress-algo zip --trust-model always "$@"; }
g --import "$keys/alice.sec.bin" "$keys/carol.sec.bin" "$keys/bob.bin" "$keys/dave.bin" "$out/../erin.bin"
g --armor --export carol@example.org > "$out/carol.asc"
g --export alice@example.org bob@example.org carol@example.org dave@example.org > "$out/ring.bin"

plain=$out/../plain.txt
g -u alice@example.org -s -e -r erin@example.org --cipher-algo CAST5 < "$plain" > "$out/signed-rsa.bin"
g -u alice@example.org -s -e -r alice@example.org --cipher-algo CAST5 --armor < "$plain" > "$out/signed-elg.asc"
printf '\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR binary tail \xff\x00' > "$out/png.data"
printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00 binary \x80\x81' > "$out/jpeg.data"
g -e -r erin@example.org -z 0 < "$out/png.data" > "$out/png.bin"
g -e -r erin@example.org -z 0 < "$out/jpeg.data" > "$out/jpeg.bin"
g -e -r erin@example.org < "$out/../store.gpg" > "$out/nested.bin"
sed 's/$/\r/' "$plain" | g -u alice@example.org --textmode -s -z 0 > "$out/textmode.bin"

/usr/bin/python3 - "$out/bomb.asc" <<'PY'
import base64, sys, zlib
def deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()
size = 64 << 20
key = bytes([0x9A]) + size.to_bytes(4, 'big')
inner = bytes([0xA3, 1]) + deflate(key + bytes(size))
outer = bytes([0xA3, 1]) + deflate(inner)
crc = 0xB704CE
for b in outer:
    crc ^= b << 16
    for _ in range(8):
        crc <<= 1
        if crc & 0x1000000:
            crc ^= 0x1864CFB
crc &= 0xFFFFFF
body = base64.b64encode(outer).decode()
lines = [body[i:i + 64] for i in range(0, len(body), 64)]
text = '-----BEGIN PGP MESSAGE-----\n\n' + '\n'.join(lines) + '\n=' + \
       base64.b64encode(crc.to_bytes(3, 'big')).decode() + '\n-----END PGP MESSAGE-----\n'
open(sys.argv[1], 'w').write(text)
PY
