#!/bin/bash
# Makes the fixtures of the signature-checking tests from the keys of
# make_fixtures.sh (run that first), in a temporary GNUPGHOME. The outputs
# are checked in, so the tests never run gpg themselves.
#
#   sigs.check.txt          gpg --with-colons --check-sigs of alice, bob
#                           (both certifications), carol and dave, every key
#                           known, SHA-1 certifications allowed
#   carol.desig-revoke.bin  carol's key with the key revocation made by her
#                           designated revoker alice (gpg --desig-revoke)
#   dave.sha256.bin         dave with a SHA-256 certification by alice
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --allow-weak-key-signatures "$@"; }
fpr() { gpg --with-colons --list-keys "$1" | awk -F: '/^fpr/ { print $10; exit }'; }

g --import "$out/alice.sec.bin" "$out/bob.sec.bin" "$out/carol.sec.bin" "$out/dave.bin" "$out/bob.both.bin"
alice=$(fpr alice@example.org)
bob=$(fpr bob@example.org)
carol=$(fpr carol@example.org)
dave=$(fpr dave@example.org)

gpg --allow-weak-key-signatures --with-colons --check-sigs "$alice" "$bob" "$carol" "$dave" > "$out/sigs.check.txt"

# --desig-revoke asks its questions even with --batch: answer them.
printf 'y\n0\n\ny\n' | gpg --yes --no-tty --pinentry-mode loopback --passphrase '' --command-fd 0 \
  --cert-digest-algo SHA1 --allow-weak-key-signatures -u "$alice" --desig-revoke "$carol" | gpg --dearmor > "$out/carol.desig-revoke.bin"

g --passphrase '' --cert-digest-algo SHA256 -u "$alice" --quick-sign-key "$dave" 'Dave Protected <dave@example.org>' >/dev/null
g --export "$dave" > "$out/dave.sha256.bin"
