#!/bin/bash
# Makes the key fixtures of the key-maintenance tests with gpg, in a
# temporary GNUPGHOME. The secret exports are unprotected: gpg protects
# with the SHA-1 check of later standards (usage byte 254), which RFC 2440
# keys do not have, so the tests lock them with the toolkit's own
# protection. The outputs are checked in; the tests never make keys
# themselves.
#
# Keys (every self-signature uses SHA-1):
#   erin    RSA-1024 (sign, certify) with an RSA-1024 encryption subkey,
#           never expiring
#   frank   DSA-1024 (sign, certify) with an ElGamal-1024 encryption subkey,
#           expiring two years after creation
# Files: <key>.sec.bin (secret export), <key>.bin (public export),
#        <key>.sec.packets.txt (gpg --list-packets of the secret export).
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --cert-digest-algo SHA1 \
          --digest-algo SHA1 "$@"; }
fpr() { gpg --with-colons --list-keys "$1" | awk -F: '/^fpr/ { print $10; exit }'; }

g --passphrase '' --quick-gen-key 'Erin Locked <erin@example.org>' rsa1024 sign,cert never
erin=$(fpr erin@example.org)
g --passphrase '' --quick-add-key "$erin" rsa1024 encr never

g --passphrase '' --quick-gen-key 'Frank Expiring <frank@example.org>' dsa1024 sign,cert 2y
frank=$(fpr frank@example.org)
g --passphrase '' --quick-add-key "$frank" elg1024 encr 2y

for k in erin:"$erin" frank:"$frank"; do
  IFS=: read -r name key <<<"$k"
  g --passphrase '' --export-secret-keys "$key" > "$out/$name.sec.bin"
  g --export "$key" > "$out/$name.bin"
  gpg --list-packets "$out/$name.sec.bin" > "$out/$name.sec.packets.txt"
done
