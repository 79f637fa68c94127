#!/bin/sh
# Regenerates tests/pki/data/tc, the openssl fixtures of the certificate
# toolkit's tests:
#   root.pem/.der, ca.pem/.der         a root and an intermediate CA (RSA 1024,
#                                      v3, basicConstraints cA), signed -sha1
#   leaf.der, revoked.der, held.der    leaves of the CA, signed -sha1, UTCTime
#                                      validity
#   long.der                           a leaf whose notAfter lies after 2050
#                                      (GeneralizedTime)
#   expired.der                        a leaf whose validity has ended
#   ca_crl.der                         `ca -gencrl -md sha1` of the CA: revoked.der
#                                      (keyCompromise, an invalidity date) and
#                                      held.der (certificateHold, callIssuer)
#   root_crl.der                       `ca -gencrl -md sha1` of the root, empty
#   ca_crl_old.der                     an earlier CRL of the CA, nothing revoked
#   req.der                            a PKCS #10 request of OpenSSL's, -sha1
#   *.key                              the private keys (PEM), and dsa.key with
#                                      q of 160 bits, for the tests' callbacks
# Validity ends in 2048 but for long.der; the CRLs' nextUpdate lies in 2048.
# Run it from anywhere: sh tests/pki/data/make_tc_fixtures.sh
set -eu
out=$(cd "$(dirname "$0")" && pwd)/tc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p "$out"

cat > ca.cnf <<'CNF'
[ca]
default_ca = ca_section
[ca_section]
dir = .
database = $dir/index_$ENV::WHO.txt
new_certs_dir = $dir
serial = $dir/serial
crlnumber = $dir/crlnumber_$ENV::WHO
default_md = sha1
default_days = 8000
default_crl_days = 8000
policy = any
unique_subject = no
[any]
countryName = optional
organizationName = optional
commonName = supplied
[req]
distinguished_name = dn
string_mask = default
[dn]
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[v3_leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
CNF
echo 1000 > serial
for who in root ca; do : > index_$who.txt; echo 01 > crlnumber_$who; done

for k in root ca leaf; do openssl genrsa -out $k.key 1024 2>/dev/null; done
openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -pkeyopt dsa_paramgen_q_bits:160 \
  -out dsa.params 2>/dev/null
openssl genpkey -paramfile dsa.params -out dsa.key

export WHO=root
openssl req -config ca.cnf -new -x509 -key root.key -sha1 -days 8000 -set_serial 1 \
  -subj "/C=US/O=Ostrak Test/CN=Test Root" -extensions v3_ca -out root.pem
openssl req -config ca.cnf -new -key ca.key -sha1 -subj "/C=US/O=Ostrak Test/CN=Test CA" -out ca.csr
openssl ca -config ca.cnf -batch -notext -cert root.pem -keyfile root.key -extensions v3_ca -in ca.csr \
  -out ca.pem 2>/dev/null
openssl ca -config ca.cnf -batch -gencrl -md sha1 -cert root.pem -keyfile root.key -out root_crl.pem 2>/dev/null

export WHO=ca
for name in leaf revoked held; do
  openssl req -config ca.cnf -new -key leaf.key -sha1 -subj "/C=US/O=Ostrak Test/CN=Leaf $name" -out $name.csr
  openssl ca -config ca.cnf -batch -notext -cert ca.pem -keyfile ca.key -extensions v3_leaf -in $name.csr \
    -out $name.pem 2>/dev/null
done
openssl req -config ca.cnf -new -key leaf.key -sha1 -subj "/C=US/O=Ostrak Test/CN=Leaf long" -out long.csr
openssl ca -config ca.cnf -batch -notext -cert ca.pem -keyfile ca.key -extensions v3_leaf -days 10000 \
  -in long.csr -out long.pem 2>/dev/null
openssl req -config ca.cnf -new -key leaf.key -sha1 -subj "/C=US/O=Ostrak Test/CN=Leaf expired" -out expired.csr
openssl ca -config ca.cnf -batch -notext -cert ca.pem -keyfile ca.key -extensions v3_leaf \
  -startdate 20000101000000Z -enddate 20010101000000Z -in expired.csr -out expired.pem 2>/dev/null
openssl ca -config ca.cnf -batch -gencrl -md sha1 -cert ca.pem -keyfile ca.key -out ca_crl_old.pem 2>/dev/null
sleep 1
openssl ca -config ca.cnf -revoke revoked.pem -crl_compromise 20240101000000Z -cert ca.pem -keyfile ca.key 2>/dev/null
openssl ca -config ca.cnf -revoke held.pem -crl_hold holdInstructionCallIssuer -cert ca.pem -keyfile ca.key 2>/dev/null
openssl ca -config ca.cnf -batch -gencrl -md sha1 -cert ca.pem -keyfile ca.key -out ca_crl.pem 2>/dev/null

openssl req -config ca.cnf -new -key leaf.key -sha1 -subj "/C=US/O=Ostrak Test/CN=Requester" -outform DER \
  -out "$out/req.der"

for c in root ca leaf revoked held long expired; do openssl x509 -in $c.pem -outform DER -out "$out/$c.der"; done
for c in root ca; do cp $c.pem "$out/$c.pem"; done
for l in ca_crl ca_crl_old root_crl; do openssl crl -in $l.pem -outform DER -out "$out/$l.der"; done
for k in root ca leaf dsa; do cp $k.key "$out/$k.key"; chmod 644 "$out/$k.key"; done
