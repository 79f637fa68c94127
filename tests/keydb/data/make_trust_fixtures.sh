#!/bin/bash
# Makes the web-of-trust fixtures of tests/keydb/data with gpg, in a
# temporary GNUPGHOME, and writes what gpg's classic trust model makes of
# them. The outputs are checked in; the tests never run gpg themselves.
#
# Keys (RSA-1024, SHA-1 certifications):
#   owner     ultimately trusted; its secret key is exported too
#   marginal1 marginal owner trust, certified by owner
#   marginal2 marginal owner trust, certified by owner
#   full      full owner trust, certified by owner
#   loner     full owner trust, certified by nobody
#   one       certified by marginal1
#   two       certified by marginal1 and marginal2
#   three     certified by full
#   four      certified by loner
# Files:
#   web.bin              public export of every key
#   web.owner.sec.bin    secret export of owner
#   web.ownertrust.txt   gpg --export-ownertrust (fingerprint:level:)
#   web.colons.txt       gpg --with-colons --list-keys under
#                        --trust-model classic --completes-needed 1
#                        --marginals-needed 2 --max-cert-depth 4
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
export GNUPGHOME=$home
export TZ=UTC LC_ALL=C

model=(--trust-model classic --completes-needed 1 --marginals-needed 2 --max-cert-depth 4)
g() { gpg --batch --yes --no-tty --quiet --pinentry-mode loopback --cert-digest-algo SHA1 \
          --digest-algo SHA1 --allow-weak-key-signatures "${model[@]}" "$@"; }
fpr() { gpg --with-colons --list-keys "<$1@example.org>" | awk -F: '/^fpr/ { print $10; exit }'; }

names=(owner marginal1 marginal2 full loner one two three four)
for n in "${names[@]}"; do
  g --passphrase '' --quick-gen-key "Web ${n^} <$n@example.org>" rsa1024 sign,cert never
done
declare -A f
for n in "${names[@]}"; do f[$n]=$(fpr "$n"); done

certify() { g -u "${f[$1]}" --quick-sign-key "${f[$2]}" >/dev/null; }
certify owner marginal1
certify owner marginal2
certify owner full
certify marginal1 one
certify marginal1 two
certify marginal2 two
certify full three
certify loner four

g --export "${f[@]}" >"$out/web.bin"
g --export-secret-keys "${f[owner]}" >"$out/web.owner.sec.bin"

# A second home holds what the tests hold: every public key, owner's secret
# key, and the owner trust (6 ultimate, 5 full, 4 marginal).
gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true
export GNUPGHOME=$home/view
mkdir -m 700 "$GNUPGHOME"
g --import "$out/web.bin" "$out/web.owner.sec.bin" 2>/dev/null
{
  echo "${f[owner]}:6:"
  echo "${f[marginal1]}:4:"
  echo "${f[marginal2]}:4:"
  echo "${f[full]}:5:"
  echo "${f[loner]}:5:"
} | g --import-ownertrust 2>/dev/null
g --check-trustdb 2>/dev/null
g --export-ownertrust | grep -v '^#' >"$out/web.ownertrust.txt"
g --with-colons --list-keys "${f[@]}" >"$out/web.colons.txt"
gpgconf --homedir "$GNUPGHOME" --kill all >/dev/null 2>&1 || true
