#!/bin/bash
# Makes the message fixtures of tests/pipeline/data with gpg, in a temporary
# GNUPGHOME holding the keys of tests/keydb/data, and writes beside each
# message what `gpg --list-packets` says about it (inner packets included:
# the encrypted ones are listed with their passphrase or key). Run it from
# anywhere; it replaces the fixtures in this folder. The outputs are checked
# in, so the parser tests never run gpg to make them.
#
# Every message carries plain.txt unless said otherwise.
# Signatures use SHA-1 and compression ZIP, the algorithms the toolkit has.
#   store-partial.gpg  the lines "line N of a long literal", N = 1..1500, from a pipe, `--store -z 0`: a literal with
#                      partial body lengths
#   store.gpg          `--store -z 0` of a file: one definite literal
#   compressed.gpg     `--store --compress-algo zip`
#   zlib.gpg           `--store --compress-algo zlib` (algorithm 2, refused)
#   signed.gpg         `-s`, alice: compressed one-pass signed message
#   signed-plain.gpg   `-s -z 0`, alice: one-pass, literal, signature at the
#                      top level (old-format headers 0x90 and 0x89)
#   signed-partial.gpg `-s -z 0` of the long lines from a pipe: a one-pass
#                      signed literal with partial body lengths
#   signed-two.gpg     `-s -z 0`, alice and carol: two one-pass packets
#   detached.sig       `--detach-sign`, alice, over plain.txt (binary)
#   detached-text.sig  `--detach-sign --textmode`, alice, over plain.txt
#   sym-aes.gpg        `-c` with its defaults (AES-256, tag 18)
#   sym-rfc2440.gpg    `--rfc2440 -c` (tag 9, no MDC)
#   sym-cast5.gpg      `-c --cipher-algo CAST5`; sym-cast5.key is the session
#                      key gpg reports ("3:HEX")
#   pk-elgamal.gpg     `-e -r alice` (ElGamal subkey), sym session key in
#                      pk-elgamal.key
#   pk-rsa.gpg         `-e -r erin` (RSA), session key in pk-rsa.key
#   erin.bin, erin.sec.bin  erin, an RSA-2048 key that encrypts (made here)
# Passphrase of the symmetric messages: "fixture".
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
keys=$out/../../keydb/data
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --digest-algo SHA1 \
          --compress-algo zip --trust-model always "$@"; }
g --import "$keys/alice.sec.bin" "$keys/carol.sec.bin"
fpr() { gpg --with-colons --list-keys "$1" | awk -F: '/^fpr/ { print $10; exit }'; }
alice=$(fpr alice@example.org)
carol=$(fpr carol@example.org)
# An RSA key that encrypts (the keydb fixtures' RSA keys only sign).
g --passphrase '' --quick-gen-key 'Erin RSA <erin@example.org>' rsa2048 sign,cert,encr never
erin=$(fpr erin@example.org)
g --export "$erin" > "$out/erin.bin"
g --passphrase '' --export-secret-keys "$erin" > "$out/erin.sec.bin"

printf 'Hello, pipeline.\nA second line, with trailing blanks   \nThe end.\n' > "$out/plain.txt"
seq -f "line %g of a long literal" 1 1500 > "$home/big.txt"

cat "$home/big.txt" | g --store -z 0 > "$out/store-partial.gpg"
g --store -z 0 < "$out/plain.txt" > "$out/store.gpg"
g --store < "$out/plain.txt" > "$out/compressed.gpg"
g --store --compress-algo zlib < "$out/plain.txt" > "$out/zlib.gpg"
g -u "$alice" -s < "$out/plain.txt" > "$out/signed.gpg"
g -u "$alice" -s -z 0 < "$out/plain.txt" > "$out/signed-plain.gpg"
cat "$home/big.txt" | g -u "$alice" -s -z 0 > "$out/signed-partial.gpg"
g -u "$alice" -u "$carol" -s -z 0 < "$out/plain.txt" > "$out/signed-two.gpg"
g -u "$alice" --detach-sign -o "$out/detached.sig" "$out/plain.txt"
g -u "$alice" --detach-sign --textmode -o "$out/detached-text.sig" "$out/plain.txt"
g --passphrase fixture -c < "$out/plain.txt" > "$out/sym-aes.gpg"
g --passphrase fixture --rfc2440 -c < "$out/plain.txt" > "$out/sym-rfc2440.gpg"
g --passphrase fixture -c --cipher-algo CAST5 < "$out/plain.txt" > "$out/sym-cast5.gpg"
g -e -r "$alice" < "$out/plain.txt" > "$out/pk-elgamal.gpg"
g -e -r "$erin" < "$out/plain.txt" > "$out/pk-rsa.gpg"

session() { g --passphrase fixture --show-session-key -d "$1" 2>&1 >/dev/null |
              sed -n "s/^gpg: session key: '\(.*\)'$/\1/p"; }
session "$out/sym-cast5.gpg" > "$out/sym-cast5.key"
session "$out/pk-elgamal.gpg" > "$out/pk-elgamal.key"
session "$out/pk-rsa.gpg" > "$out/pk-rsa.key"

for f in store-partial.gpg store.gpg compressed.gpg zlib.gpg signed.gpg signed-plain.gpg signed-partial.gpg \
         signed-two.gpg detached.sig detached-text.sig sym-aes.gpg sym-rfc2440.gpg sym-cast5.gpg pk-elgamal.gpg pk-rsa.gpg; do
  g --passphrase fixture --ignore-mdc-error --list-packets "$out/$f" > "$out/${f%.*}.packets.txt" 2>/dev/null || true
done
