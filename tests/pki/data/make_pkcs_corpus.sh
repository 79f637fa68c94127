#!/usr/bin/env bash
# Makes the PKCS #7, #8, #10 and #12 corpus in tests/pki/data/pkcs with
# openssl: run once and check the files in (the tests read them, they do not
# run this).
#   content.bin                      the content every message carries
#   signer_cert, signer_key          RSA 2048 signer: certificate, PKCS #8 key
#   recip_cert, recip_key            a second RSA 2048 certificate and key
#   cms_sign_{sha1,md5}[_noattr]     cms -sign -nodetach -binary, SHA-1 or MD5,
#                                    with or without signed attributes
#   cms_sign_certfile                SHA-1, the second certificate added (-certfile)
#   cms_sign_stream                  cms -sign -stream: BER, indefinite lengths,
#                                    the content in segments
#   crl2pkcs7                        crl2pkcs7 of corpus/crl_entries.der and the
#                                    signer certificate
#   cms_encrypt_des3                 cms -encrypt -des3 to both certificates
#   p12_default                      pkcs12 -export (PBES2, SHA-256 MAC)
#   p12_sha1_3des                    -keypbe/-certpbe PBE-SHA1-3DES -macalg sha1
#   p12_plain                        -keypbe NONE -certpbe NONE -macalg sha1
#   p12_legacy                       -legacy (RC2-40 certificates, 3DES key)
#   p8_nocrypt, p8_sha1_3des         pkcs8 -topk8 -nocrypt and -v1 PBE-SHA1-3DES
#   req                              req -new -outform DER
# Passwords are "secret".
# Usage: tests/pki/data/make_pkcs_corpus.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/pkcs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p "$out"

days=7300
printf 'The quick brown fox jumps over the lazy dog.\nPKCS #7 content, two lines and a tab:\t.\n' > content.bin
cp content.bin "$out/content.bin"

for who in signer recip; do
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out $who.key 2>/dev/null
done
openssl req -x509 -key signer.key -subj "/C=US/O=Example Signers/CN=signer.example.com" -days $days -out signer.pem
openssl req -x509 -key recip.key -subj "/C=DE/O=Beispiel/CN=recipient.example.org" -days $days -out recip.pem
for who in signer recip; do
  openssl x509 -in $who.pem -outform DER -out "$out/${who}_cert.der"
  openssl pkcs8 -topk8 -nocrypt -in $who.key -outform DER -out "$out/${who}_key.der"
done

sign() {
  openssl cms -sign -nodetach -binary -in content.bin -signer signer.pem -inkey signer.key -outform DER "$@"
}
sign -md sha1 -out "$out/cms_sign_sha1.der"
sign -md sha1 -noattr -out "$out/cms_sign_sha1_noattr.der"
sign -md md5 -out "$out/cms_sign_md5.der"
sign -md md5 -noattr -out "$out/cms_sign_md5_noattr.der"
sign -md sha1 -certfile recip.pem -out "$out/cms_sign_certfile.der"
sign -md sha1 -stream -out "$out/cms_sign_stream.der"

openssl crl2pkcs7 -inform DER -in "$here/corpus/crl_entries.der" -certfile signer.pem -outform DER \
  -out "$out/crl2pkcs7.der"

openssl cms -encrypt -des3 -binary -in content.bin -outform DER -out "$out/cms_encrypt_des3.der" signer.pem recip.pem

p12() {
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile recip.pem -name signer -passout pass:secret "$@"
}
p12 -out "$out/p12_default.der"
p12 -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 -out "$out/p12_sha1_3des.der"
p12 -keypbe NONE -certpbe NONE -macalg sha1 -out "$out/p12_plain.der"
p12 -legacy -out "$out/p12_legacy.der"

openssl pkcs8 -topk8 -nocrypt -in signer.key -outform DER -out "$out/p8_nocrypt.der"
openssl pkcs8 -topk8 -v1 PBE-SHA1-3DES -in signer.key -passout pass:secret -outform DER -out "$out/p8_sha1_3des.der"

openssl req -new -key signer.key -subj "/C=US/O=Example Signers/CN=request.example.com" -outform DER \
  -out "$out/req.der"
