#!/bin/bash
# Makes the key fixtures of tests/keydb/data with gpg, in a temporary
# GNUPGHOME, and writes beside each key what gpg says about it. Run it from
# anywhere; it replaces the fixtures in this folder. The outputs are checked
# in, so the tests never run gpg themselves.
#
# Keys (every signature uses SHA-1, which the engine verifies):
#   alice   RSA-2048 (sign, certify) with an ElGamal-2048 encryption subkey
#   bob     DSA-1024, certified by alice and by carol
#   carol   RSA-2048 with alice as designated revoker ("Revoker:" line)
#   dave    DSA-1024 with an ElGamal-1024 subkey, protected by the
#           passphrase "fixture", expiring two years after creation
# Files (name.bin binary, name.asc armored):
#   <key>.bin                      public export
#   <key>.sec.bin                  secret export: unprotected for alice,
#                                  bob and carol, protected for dave
#   bob.alice.bin, bob.carol.bin   bob with only alice's, only carol's
#                                  certification (two exports of one key)
#   bob.both.bin                   bob with both certifications
#   <file>.packets.txt             gpg --list-packets of <file>
#   <key>.colons.txt               gpg --with-colons --fingerprint
#                                  --fingerprint --list-sigs
#   <key>.keyid-long.txt,          gpg --keyid-format 0xlong / 0xshort
#   <key>.keyid-short.txt            --list-keys
#   v3-*.bin, v3-keys.txt          version-3 RSA keys (make_v3_keys.py)
#   alice.msg.*                    a message to alice (make_message_fixtures.sh)
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --cert-digest-algo SHA1 \
          --digest-algo SHA1 --allow-weak-key-signatures "$@"; }
fpr() { gpg --with-colons --list-keys "$1" | awk -F: '/^fpr/ { print $10; exit }'; }

g --passphrase '' --quick-gen-key 'Alice RSA <alice@example.org>' rsa2048 sign,cert never
alice=$(fpr alice@example.org)
g --passphrase '' --quick-add-key "$alice" elg2048 encr never

g --passphrase '' --quick-gen-key 'Bob DSA <bob@example.org>' dsa1024 sign,cert never
bob=$(fpr bob@example.org)

g --passphrase '' --gen-key <<EOF
Key-Type: RSA
Key-Length: 2048
Key-Usage: sign,cert
Name-Real: Carol Revocable
Name-Email: carol@example.org
Revoker: 1:$alice
Expire-Date: 0
%no-protection
%commit
EOF
carol=$(fpr carol@example.org)

g --passphrase fixture --quick-gen-key 'Dave Protected <dave@example.org>' dsa1024 sign,cert 2y
dave=$(fpr dave@example.org)
g --passphrase fixture --quick-add-key "$dave" elg1024 encr 2y

# Third-party certifications of bob (exportable): alice's here; carol's in
# a second home that knows only bob's public key and carol's secret key, so
# that each export carries one of them; the first home then merges both.
g --export "$bob" > "$out/bob.bin"
g --passphrase '' -u "$alice" --quick-sign-key "$bob" 'Bob DSA <bob@example.org>'
g --export "$bob" > "$out/bob.alice.bin"

home2=$(mktemp -d)
chmod 700 "$home2"
g --passphrase '' --export-secret-keys "$carol" > "$home2/carol.sec"
GNUPGHOME=$home2 g --import "$home2/carol.sec" "$out/bob.bin"
GNUPGHOME=$home2 g --passphrase '' -u "$carol" --quick-sign-key "$bob" 'Bob DSA <bob@example.org>'
GNUPGHOME=$home2 g --export "$bob" > "$out/bob.carol.bin"
gpgconf --homedir "$home2" --kill all >/dev/null 2>&1 || true
rm -rf "$home2"
g --import "$out/bob.carol.bin"
g --export "$bob" > "$out/bob.both.bin"

g --export "$alice" > "$out/alice.bin"
g --export "$carol" > "$out/carol.bin"
g --export "$dave" > "$out/dave.bin"
g --armor --export "$alice" > "$out/alice.asc"

g --passphrase '' --export-secret-keys "$alice" > "$out/alice.sec.bin"
g --passphrase '' --export-secret-keys "$bob" > "$out/bob.sec.bin"
g --passphrase '' --export-secret-keys "$carol" > "$out/carol.sec.bin"
g --passphrase fixture --export-secret-keys "$dave" > "$out/dave.sec.bin"

for f in alice bob bob.alice bob.carol bob.both carol dave alice.sec bob.sec carol.sec dave.sec; do
  gpg --list-packets "$out/$f.bin" > "$out/$f.packets.txt"
done
for k in alice bob carol dave; do
  id=$(eval echo "\$$k")
  gpg --with-colons --fingerprint --fingerprint --list-sigs "$id" > "$out/$k.colons.txt"
  gpg --keyid-format 0xlong --list-keys "$id" > "$out/$k.keyid-long.txt"
  gpg --keyid-format 0xshort --list-keys "$id" > "$out/$k.keyid-short.txt"
done

/usr/bin/python3 "$out/make_v3_keys.py" "$out"
"$out/make_message_fixtures.sh"
