#!/bin/bash
# Makes the signed-request fixtures of this folder with gpg, in a temporary
# GNUPGHOME, from the keys of tests/keydb/data. Run it from anywhere; it
# replaces the fixtures here. The outputs are checked in, so the tests never
# run gpg themselves.
#
#   add.asc       "REQUEST: ADD" with carol's armored key, clear-signed by
#                 alice (gpg dash-escapes the key block's armor lines)
#   delete.asc    "REQUEST: DELETE" naming bob, clear-signed by alice
#   delete-bob.asc  the same request clear-signed by bob (the owner)
#   alice.keyid, bob.keyid, carol.keyid
#                 the 16 digits of each key's ID, as gpg lists them
# Every signature is SHA-1 (--digest-algo SHA1), as the server's clients make them.
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
keys=$(cd "$out/../../keydb/data" && pwd)
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --passphrase '' --digest-algo SHA1 \
          --allow-weak-key-signatures "$@"; }
id() { gpg --with-colons --list-keys "$1" | awk -F: '/^pub/ { print $5; exit }'; }

g --import "$keys/alice.sec.bin" "$keys/bob.sec.bin" "$keys/carol.bin"
alice=$(id alice@example.org)
bob=$(id bob@example.org)
carol=$(id carol@example.org)
echo "$alice" > "$out/alice.keyid"
echo "$bob" > "$out/bob.keyid"
echo "$carol" > "$out/carol.keyid"

{ printf 'REQUEST: ADD\nLOCATION: ACTIVE\n\n'; g --armor --export "$carol"; } > "$home/add.txt"
g -u "$alice" --clearsign --output "$out/add.asc" "$home/add.txt"

printf 'REQUEST: DELETE\nLOCATION: ACTIVE\n\n0x%s\n\n' "$bob" > "$home/delete.txt"
g -u "$alice" --clearsign --output "$out/delete.asc" "$home/delete.txt"
g -u "$bob" --clearsign --output "$out/delete-bob.asc" "$home/delete.txt"
