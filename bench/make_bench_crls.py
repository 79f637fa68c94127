#!/usr/bin/python3
"""Writes the CRLs of pki_bench: crl_10000.der and crl_100000.der, CRLs of
that many entries without entry extensions, made with python3-cryptography.
pki_bench runs it when they are missing.
Usage: bench/make_bench_crls.py <output directory>"""
import datetime
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    key = ec.generate_private_key(ec.SECP256R1())
    issuer = x509.Name([x509.NameAttribute(NameOID.COUNTRY_NAME, "US"),
                        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Benchmark CA"),
                        x509.NameAttribute(NameOID.COMMON_NAME, "Benchmark CRL Issuer")])
    now = datetime.datetime(2025, 1, 1)
    for count in (10000, 100000):
        builder = (x509.CertificateRevocationListBuilder().issuer_name(issuer)
                   .last_update(now).next_update(now + datetime.timedelta(days=30)))
        for i in range(count):
            entry = (x509.RevokedCertificateBuilder().serial_number(0x1000000000000000 + i * 7919)
                     .revocation_date(now - datetime.timedelta(seconds=i)).build())
            builder = builder.add_revoked_certificate(entry)
        crl = builder.sign(key, hashes.SHA256())
        with open(os.path.join(out, "crl_%d.der" % count), "wb") as f:
            f.write(crl.public_bytes(x509.base.serialization.Encoding.DER))


if __name__ == "__main__":
    main()
