#!/usr/bin/env bash
# Makes the certificate corpus in tests/pki/data/corpus with openssl: run once
# and check the files in (the tests read them, they do not run this).
#   cert_rsa, cert_dsa, cert_ec   req -x509 over RSA, DSA and EC keys
#   cert_v1                       x509 -req without extensions: no version field
#   cert_all_ext                  every extension openssl writes by name
#   cert_raw_ext                  privateKeyUsagePeriod, subjectDirectoryAttributes
#                                 and a subjectAltName with an ediPartyName, as DER
#   crl_empty, crl_entries        ca -gencrl without and with revoked entries
#                                 (entry extensions, an issuing distribution point)
#   req_ext                       req with an extensionRequest attribute
#   params_dhx                    X9.42 Diffie-Hellman domain parameters with
#                                 their validation parameters (DomainParameters)
# Usage: tests/pki/data/make_corpus.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p "$out"

days=7300
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.key 2>/dev/null
openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -pkeyopt dsa_paramgen_q_bits:224 \
  -out dsa.param 2>/dev/null
openssl genpkey -paramfile dsa.param -out dsa.key
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out ec.key

openssl req -x509 -key rsa.key -subj "/C=US/ST=California/O=Example Org/OU=Keys/CN=rsa.example.com" \
  -days $days -outform DER -out "$out/cert_rsa.der"
openssl req -x509 -key dsa.key -subj "/C=DE/O=Beispiel/CN=dsa.example.org" -days $days -outform DER \
  -out "$out/cert_dsa.der"
openssl req -x509 -key ec.key -subj "/C=FR/O=Exemple/CN=ec.example.net/emailAddress=ec@example.net" \
  -days $days -outform DER -out "$out/cert_ec.der"

openssl req -new -key rsa.key -subj "/C=US/O=Version One/CN=v1.example.com" -out v1.csr
openssl x509 -req -in v1.csr -signkey rsa.key -days $days -outform DER -out "$out/cert_v1.der" 2>/dev/null

cat > ext.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[all]
subjectAltName = @alt
keyUsage = critical, digitalSignature, keyEncipherment, keyCertSign, cRLSign
basicConstraints = critical, CA:TRUE, pathlen:3
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always, issuer:always
certificatePolicies = 1.2.3.4.5, @policy
policyConstraints = requireExplicitPolicy:1, inhibitPolicyMapping:2
policyMappings = 1.2.3.4.5:1.2.3.4.6, 1.2.3.7:1.2.3.8
extendedKeyUsage = serverAuth, clientAuth, emailProtection, 1.3.6.1.4.1.99999.1
crlDistributionPoints = dp_full, dp_relative
authorityInfoAccess = OCSP;URI:http://ocsp.example.com/, caIssuers;URI:http://ca.example.com/ca.der
nameConstraints = critical, permitted;DNS:.example.com, permitted;email:example.com, excluded;IP:10.0.0.0/255.0.0.0, excluded;dirName:excluded_dn
issuerAltName = email:ca@example.com, URI:http://ca.example.com/
[alt]
email.1 = user@example.com
DNS.1 = www.example.com
DNS.2 = example.com
URI.1 = https://www.example.com/path?q=1
IP.1 = 192.0.2.1
IP.2 = 2001:db8::1
dirName.1 = alt_dn
otherName.1 = 1.3.6.1.4.1.311.20.2.3;UTF8:upn@example.com
RID.1 = 1.2.3.4.5.6
[alt_dn]
C = GB
O = Alternative
CN = Directory Name
[excluded_dn]
C = XX
O = Excluded
[policy]
policyIdentifier = 1.3.6.1.4.1.99999.2.1
CPS.1 = http://www.example.com/cps
CPS.2 = http://www.example.com/cps2
userNotice.1 = @notice
[notice]
explicitText = "Explicit notice text"
organization = "Example Organisation"
noticeNumbers = 1, 2, 3, 300
[dp_full]
fullname = URI:http://crl.example.com/full.crl, URI:ldap://ldap.example.com/cn=crl
reasons = keyCompromise, CACompromise, superseded
CRLissuer = dirName:crl_issuer_dn
[dp_relative]
relativename = relative_dn
[relative_dn]
CN = Relative CRL
[crl_issuer_dn]
C = US
O = CRL Issuer
CNF
openssl req -x509 -key rsa.key -subj "/C=US/O=All Extensions/CN=all.example.com" -days $days -config ext.cnf \
  -extensions all -outform DER -out "$out/cert_all_ext.der"

# privateKeyUsagePeriod: notBefore and notAfter, GeneralizedTime [0] and [1].
pkup=3022800f32303234303130313030303030305a810f32303434303130313030303030305a
# subjectDirectoryAttributes: dateOfBirth 19700101000000Z, countryOfCitizenship GB and US.
sda=3035301d06082b060105050709013111180f31393730303130313030303030305a301406082b0601050507090431081302474213025553
# subjectAltName: an ediPartyName (nameAssigner PrintableString "Assigner Authority",
# partyName UTF8String "Party Name" + U+00E9) and the dNSName raw.example.org.
san=303aa527a014131241737369676e657220417574686f72697479a10f0c0d5061727479204e616d6520c3a9820f7261772e6578616d706c652e6f7267
openssl req -x509 -key ec.key -subj "/C=US/O=Raw Extensions/CN=raw.example.org" -days $days \
  -addext "2.5.29.16=DER:$pkup" -addext "2.5.29.9=DER:$sda" -addext "2.5.29.17=DER:$san" \
  -outform DER -out "$out/cert_raw_ext.der"

# A small CA for the CRLs.
mkdir -p ca/newcerts
: > ca/index.txt
echo 1000 > ca/serial
echo 01 > ca/crlnumber
cat > ca.cnf <<'CNF'
[ca]
default_ca = ca_default
[ca_default]
dir = ./ca
database = $dir/index.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial
crlnumber = $dir/crlnumber
certificate = ./ca.pem
private_key = ./rsa.key
default_md = sha256
default_days = 365
default_crl_days = 30
policy = policy_any
copy_extensions = none
unique_subject = no
[policy_any]
commonName = supplied
[crl_plain]
authorityKeyIdentifier = keyid:always
[crl_idp]
authorityKeyIdentifier = keyid:always, issuer:always
issuingDistributionPoint = critical, @idp
[idp]
fullname = URI:http://crl.example.com/ca.crl
onlysomereasons = keyCompromise, CACompromise
onlyuser = TRUE
[req]
distinguished_name = dn
[dn]
CNF
openssl req -x509 -key rsa.key -subj "/C=US/O=Example CA/CN=Example CA" -days $days -out ca.pem
openssl ca -batch -config ca.cnf -gencrl -crlexts crl_plain -out empty.pem 2>/dev/null
openssl crl -in empty.pem -outform DER -out "$out/crl_empty.der"
for n in 1 2 3 4; do
  openssl req -new -key ec.key -subj "/CN=leaf$n" -out leaf$n.csr
  openssl ca -batch -config ca.cnf -in leaf$n.csr -out leaf$n.pem 2>/dev/null
done
openssl ca -config ca.cnf -revoke leaf1.pem -crl_reason keyCompromise 2>/dev/null
openssl ca -config ca.cnf -revoke leaf2.pem -crl_compromise 20240102030405Z 2>/dev/null
openssl ca -config ca.cnf -revoke leaf3.pem -crl_hold holdInstructionCallIssuer 2>/dev/null
openssl ca -config ca.cnf -revoke leaf4.pem 2>/dev/null
openssl ca -batch -config ca.cnf -gencrl -crlexts crl_idp -out entries.pem 2>/dev/null
openssl crl -in entries.pem -outform DER -out "$out/crl_entries.der"

openssl req -new -key rsa.key -subj "/C=US/O=Request/CN=req.example.com" \
  -addext "subjectAltName=DNS:req.example.com,email:req@example.com" \
  -addext "keyUsage=digitalSignature" -addext "extendedKeyUsage=clientAuth" \
  -outform DER -out "$out/req_ext.der"

openssl genpkey -genparam -algorithm DHX -pkeyopt dh_paramgen_prime_len:1024 -pkeyopt dh_paramgen_subprime_len:160 \
  -out dhx.pem 2>/dev/null
openssl asn1parse -in dhx.pem -noout -out "$out/params_dhx.der"

ls -l "$out"
