#!/bin/bash
# Makes N RSA-2048 keys with gpg for bench/sigcheck_bench.cc (SHA-1
# self-certifications, one user ID each), in J gpg homes at once, and writes
# to the output directory keys.bin (every key, binary) and a gpg home
# "home" holding them all, for timing gpg --check-sigs on the same keys.
# Never checked in, never run by CI.
#
# Usage: bench/make_sigcheck_keys.sh <output directory> <N> [J]
set -euo pipefail

out=$1
count=$2
jobs=${3:-3}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'for h in "$work"/h*; do gpgconf --homedir "$h" --kill all >/dev/null 2>&1 || true; done; rm -rf "$work"' EXIT

make_part() {
  local part=$1 first=$2 n=$3 home="$work/h$1"
  mkdir -p "$home" && chmod 700 "$home"
  for ((i = first; i < first + n; i++)); do
    printf '%%no-protection\nKey-Type: rsa\nKey-Length: 2048\nKey-Usage: sign\nName-Real: Bench User %d\nName-Email: user%d@example.org\nExpire-Date: 0\n%%commit\n' "$i" "$i"
  done | gpg --homedir "$home" --batch --quiet --cert-digest-algo SHA1 --allow-weak-key-signatures --gen-key \
      >/dev/null 2>&1
  gpg --homedir "$home" --batch --export > "$work/part$part.bin"
}

per=$(((count + jobs - 1) / jobs))
for ((j = 0; j < jobs; j++)); do
  first=$((j * per))
  n=$((count - first < per ? count - first : per))
  ((n > 0)) && make_part "$j" "$first" "$n" &
done
wait
cat "$work"/part*.bin > "$out/keys.bin"
rm -rf "$out/home"
mkdir -p "$out/home" && chmod 700 "$out/home"
gpg --homedir "$out/home" --batch --quiet --import "$out/keys.bin" 2>/dev/null
gpgconf --homedir "$out/home" --kill all >/dev/null 2>&1 || true
echo "$(gpg --homedir "$out/home" --with-colons --list-keys | grep -c '^pub') keys in $out" >&2
