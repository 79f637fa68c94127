#!/bin/sh
# Writes the seed inputs of the certificate toolkit's fuzz targets:
#   fuzz/corpus/tc_dn    DN texts: keywords, escapes, multi-valued RDNs, dotted
#                        types with their hex values, and texts that fail
#   fuzz/corpus/tc_cert  the certificates of tests/pki/data/tc and
#                        tests/pki/data/corpus, and a certificate of ours with
#                        every extension row (written by the toolkit's test)
#   fuzz/corpus/tc_crl   one flag byte (0, or 5: flags 1 and 4) then a CRL: the
#                        CRLs of both data folders and a CRL of ours with every
#                        CRL row
# Usage: sh tests/pki/fuzz/make_tc_seeds.sh <build dir>  (after building
# pki_tc_extensions_test there)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build directory}" && pwd)
data="$here/../data"
corpus="$here/corpus"
mkdir -p "$corpus/tc_dn" "$corpus/tc_cert" "$corpus/tc_crl"

i=0
while IFS= read -r line; do
  i=$((i + 1))
  printf '%s' "$line" > "$corpus/tc_dn/dn_$(printf %02d $i)"
done <<'TEXTS'
cn=Jo , o = Acme
CN=Jo+OU=Sales,O=Acme\, Inc.,C=US
CN=\41\ b\ ,OU=a\+b\,c
CN=\  a \ 
2.5.4.3=#130141
2.5.4.99=#0c03616263+CN=x
1.2.840.113549.1.9.1=#16036140622e6465
emailAddress=x\;y\<z\>\"q\\\=\#
DC=example,DC=com,UID=bad
x121Address=1234 5,ISDN=12-3
C=a@b
CN=a\
CN=a,,O=b
2.5.4.3=#
2.5.4.3=#13800401410000
7.50=#0500
CN=
SerialNumber=12345,title=Dr,description=x,businessCategory=y,postalCode=9,POBOX=1,physicalDeliveryOfficeName=z,TN=2,destinationIndicator=q,name=n,givenName=g,initials=i,generationQualifier=III,dnQualifier=d,houseIdentifier=h,dmdName=m,unstructuredName=u,unstructuredAddress=a,STREET=s,L=l,ST=s,SN=s
TEXTS

for f in "$data"/tc/*.der "$data"/corpus/cert_*.der; do
  case "$(basename "$f")" in *crl*|req*) continue ;; esac
  cp "$f" "$corpus/tc_cert/$(basename "$f")"
done
for f in "$data"/tc/*crl*.der "$data"/corpus/crl_*.der; do
  name=$(basename "$f" .der)
  { printf '\000'; cat "$f"; } > "$corpus/tc_crl/${name}_0"
  { printf '\005'; cat "$f"; } > "$corpus/tc_crl/${name}_5"
done
OSTRAK_TC_SEED_DIR="$corpus" "$build/tests/pki/pki_tc_extensions_test" --gtest_filter='*EveryRow*:*EveryCRLRow*' >/dev/null
