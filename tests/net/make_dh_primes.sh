#!/bin/sh
# Generates the 256-, 512- and 1280-bit safe primes of the TLS engine's
# Diffie-Hellman table (net/tls_dh_primes.cc) once; the output is checked in.
# The other six are the MODP primes of RFC 2409 and RFC 3526.
set -e
for bits in 256 512 1280; do
  printf '%s ' "$bits"
  openssl prime -generate -safe -bits "$bits" -hex
done
