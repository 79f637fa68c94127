#!/bin/bash
# Makes the armor fixtures of this folder with gpg and Python's email
# package, in a temporary GNUPGHOME holding alice's key of tests/keydb/data.
# The outputs are checked in, so the armor parser tests never run gpg to
# make them.
#   alice.asc / alice.gpg  `--armor --export` / `--export` of alice
#   store.asc              `--armor --store -z 0` of ../plain.txt
#   clear.txt              text with dash lines, "From " lines, trailing
#                          blanks and tabs, LF line ends
#   clear-crlf.txt         the same text with CR LF line ends
#   clear.asc, clear-crlf.asc  `--clearsign --digest-algo SHA1` of them
#   clear.expect, clear-crlf.expect  the signed text as RFC 2440 section 7
#                          defines it: trailing blanks and tabs gone, the
#                          last line end gone, line ends as in the text
#   mime.eml               an RFC 3156 multipart/signed message: a text part
#                          (canonical CR LF, no trailing blanks) and
#                          `--detach-sign --armor --digest-algo SHA1` of it
#   mime.expect            the first part as signed (CR LF line ends)
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
keys=$out/../../../keydb/data
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --digest-algo SHA1 \
          --compress-algo zip --trust-model always "$@"; }
g --import "$keys/alice.sec.pgp"
alice=$(gpg --with-colons --list-keys alice@example.org | awk -F: '/^fpr/ { print $10; exit }')

g --armor --export "$alice" > "$out/alice.asc"
g --export "$alice" > "$out/alice.gpg"
g --armor --store -z 0 < "$out/../plain.txt" > "$out/store.asc"

printf '%s\n' 'Dear reader,' '-----BEGIN PGP MESSAGE----- is not armor here' '- a dashed line' \
  'From the first line on' 'trailing blanks   ' 'trailing tab	' '' '--' 'The end.' > "$out/clear.txt"
sed 's/$/\r/' "$out/clear.txt" > "$out/clear-crlf.txt"
for f in clear clear-crlf; do
  g -u "$alice" --clearsign --digest-algo SHA1 -o "$out/$f.asc" "$out/$f.txt"
  /usr/bin/python3 - "$out/$f.txt" "$out/$f.expect" <<'PY'
import re, sys
text = open(sys.argv[1], 'rb').read()
lines = re.split(rb'(\r\n|\n)', text)
body, ends = lines[0::2], lines[1::2]
out = b''
for i, l in enumerate(body[:-1] if body[-1] == b'' else body):
    if i: out += ends[i - 1]
    out += l.rstrip(b' \t')
open(sys.argv[2], 'wb').write(out)
PY
done

/usr/bin/python3 - "$out" <<'PY'
import sys
out = sys.argv[1]
text = b'Content-Type: text/plain; charset=us-ascii\r\n\r\nA signed request.\r\n- not escaped\r\nThe end.\r\n'
open(out + '/mime.expect', 'wb').write(text)
open(out + '/mime.part', 'wb').write(text)
PY
g -u "$alice" --detach-sign --armor --digest-algo SHA1 -o "$out/mime.sig" "$out/mime.part"
/usr/bin/python3 - "$out" <<'PY'
import sys
out = sys.argv[1]
part = open(out + '/mime.part', 'rb').read()
sig = open(out + '/mime.sig', 'rb').read().replace(b'\r\n', b'\n').replace(b'\n', b'\r\n')
b = b'=-=-=_42_boundary'
msg = (b'From: alice@example.org\r\nSubject: request\r\nMIME-Version: 1.0\r\n'
       b'Content-Type: multipart/signed; micalg=pgp-sha1;\r\n'
       b'\tprotocol="application/pgp-signature"; boundary="' + b + b'"\r\n\r\n'
       b'This is an OpenPGP/MIME signed message (RFC 3156).\r\n'
       b'--' + b + b'\r\n' + part + b'\r\n--' + b + b'\r\n'
       b'Content-Type: application/pgp-signature; name="signature.asc"\r\n\r\n' + sig +
       b'\r\n--' + b + b'--\r\n')
open(out + '/mime.eml', 'wb').write(msg)
PY
rm -f "$out/mime.part" "$out/mime.sig"
