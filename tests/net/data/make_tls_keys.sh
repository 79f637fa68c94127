#!/bin/bash
# Makes the TLS key fixtures of tests/net/data with gpg, in a temporary
# GNUPGHOME. The outputs are checked in, so the tests never run gpg.
#   tls-rsa.sec.bin, tls-rsa.bin   RSA-2048, one key that signs, certifies
#                                  and encrypts (the RSA suites' key
#                                  exchange encrypts to it), no passphrase
#   tls-dsa.sec.bin, tls-dsa.bin   DSA-1024, signs and certifies, no
#                                  passphrase
# Every self-signature uses SHA-1.
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

g --passphrase '' --quick-gen-key 'TLS RSA <tls-rsa@example.org>' rsa2048 sign,cert,encr never
g --passphrase '' --quick-gen-key 'TLS DSA <tls-dsa@example.org>' dsa1024 sign,cert never
for k in rsa dsa; do
  f=$(fpr "tls-$k@example.org")
  g --export "$f" > "$out/tls-$k.bin"
  g --passphrase '' --export-secret-keys "$f" > "$out/tls-$k.sec.bin"
done
