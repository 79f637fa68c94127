#!/bin/bash
# Makes the message fixtures of tests/keydb/data from the checked-in keys
# (run make_fixtures.sh first when the keys change): a message gpg encrypts
# to alice's ElGamal subkey, with the session key gpg reports for it.
#   alice.msg.bin          the encrypted message (binary)
#   alice.msg.session.txt  gpg --show-session-key: "<cipher>:<key hex>"
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --passphrase '' "$@"; }
g --import "$out/alice.sec.bin"
echo "a message for alice" | g --trust-model always --cipher-algo AES256 -r alice@example.org \
  --encrypt > "$out/alice.msg.bin"
g --show-session-key --decrypt "$out/alice.msg.bin" 2>&1 >/dev/null |
  sed -n 's/.*session key: .\([0-9]*:[0-9A-F]*\).*/\1/p' > "$out/alice.msg.session.txt"
