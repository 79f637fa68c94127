#!/usr/bin/python3
"""Writes the seed inputs of the X.509 module's fuzz target into
tests/pki/fuzz/corpus/cert_asn from the openssl corpus (tests/pki/data/corpus):
each seed is one byte naming the type (its index in cert_asn_codecs::kCodecs,
tests/pki/cert_asn_codecs.h) followed by an encoding of that type: every
certificate, CRL and request whole, their signed parts and names, every
extension value under its own type, and a few hand-made inputs that once
mattered. Run once and check the files in.
Usage: tests/pki/fuzz/make_seeds.py"""
import os
import sys

# The order of kCodecs.
CODECS = """Certificate TBSCertificate XCertificate CertificateList TBSCertList RevokedCertificates
RevokedCertificate Extensions Extension CertificationRequest CertificationRequestInfo AlgorithmIdentifier
SubjectPublicKeyInfo Validity Time Name RDNSequence RelativeDistinguishedName AttributeTypeAndValue
DirectoryString Attribute values_SET_OF Attributes RSAKey Dss_Parms Dss_Sig_Value DomainParameters
ValidationParms GeneralName GeneralNames AnotherName EDIPartyName BasicConstraints ExtKeyUsageSyntax
PolicyConstraints PolicyMappings PolicyMappings_SEQUENCE PrivateKeyUsagePeriod CertificatePolicies
PolicyInformation policyQualifiers_SEQ_OF PolicyQualifierInfo UserNotice NoticeReference noticeNumbers_SEQ_OF
DisplayText SubjectDirectoryAttributes AuthorityKeyIdentifier AuthorityInfoAccessSyntax AccessDescription
NameConstraints GeneralSubtrees GeneralSubtree CRLDistPointsSyntax DistributionPoint DistributionPointName
IssuingDistributionPoint OCTET_STRING BIT_STRING INTEGER OBJECT_ID GeneralizedTime ENUMERATED""".split()

# kExtensionTypes.
EXTENSIONS = {
    "551d09": "SubjectDirectoryAttributes", "551d0e": "OCTET_STRING", "551d0f": "BIT_STRING",
    "551d10": "PrivateKeyUsagePeriod", "551d11": "GeneralNames", "551d12": "GeneralNames",
    "551d13": "BasicConstraints", "551d14": "INTEGER", "551d15": "ENUMERATED", "551d17": "OBJECT_ID",
    "551d18": "GeneralizedTime", "551d1b": "INTEGER", "551d1c": "IssuingDistributionPoint",
    "551d1d": "GeneralNames", "551d1e": "NameConstraints", "551d1f": "CRLDistPointsSyntax",
    "551d20": "CertificatePolicies", "551d21": "PolicyMappings", "551d23": "AuthorityKeyIdentifier",
    "551d24": "PolicyConstraints", "551d25": "ExtKeyUsageSyntax", "551d2e": "CRLDistPointsSyntax",
    "2b06010505070101": "AuthorityInfoAccessSyntax",
}

HAND_MADE = [
    # A list element of another tag, definite and indefinite.
    ("ExtKeyUsageSyntax", "3005 06012a 0200"),
    ("ExtKeyUsageSyntax", "3080 06012a 0200 0000"),
    # A directoryName wrapper holding no Name inside GeneralNames.
    ("GeneralNames", "3009 820161 a404 02020500"),
    ("GeneralNames", "3080 820161 a404 02020500 0000"),
    # Deep indefinite nesting inside an ANY, and a length near 2^32.
    ("AlgorithmIdentifier", "3080 06012a " + "3080" * 70 + "0000" * 70 + " 0000"),
    ("Extension", "3084fffffffa 06012a 0400"),
    ("DirectoryString", "3380 1301 41 1301 42 0000"),
]


def elements(der):
    """(tag, content) of each element of a DER sequence of elements."""
    at = 0
    while at < len(der):
        tag, first = der[at], der[at + 1]
        at += 2
        length = first
        if first & 0x80:
            count = first & 0x7F
            length = int.from_bytes(der[at:at + count], "big")
            at += count
        yield tag, der[at - 2 - (first & 0x7F if first & 0x80 else 0):at + length], der[at:at + length]
        at += length


def walk(der, found):
    """Every Extension (OID, [BOOLEAN], OCTET STRING) anywhere in der."""
    for tag, whole, content in elements(der):
        if tag & 0x20:
            kids = list(elements(content))
            if 2 <= len(kids) <= 3 and kids[0][0] == 0x06 and kids[-1][0] == 0x04:
                found.append((kids[0][2].hex(), kids[-1][2]))
            walk(content, found)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    corpus = os.path.join(here, "..", "data", "corpus")
    out = os.path.join(here, "corpus", "cert_asn")
    os.makedirs(out, exist_ok=True)
    seeds = {}

    def add(name, codec, der):
        seeds[name] = bytes([CODECS.index(codec)]) + der

    for file in sorted(os.listdir(corpus)):
        der = open(os.path.join(corpus, file), "rb").read()
        base = file[:-4]
        top = list(elements(der))[0][2]
        signed = list(elements(top))[0][1]
        if base.startswith("cert_"):
            add(base, "Certificate", der)
            add(base + "_x", "XCertificate", der)
            add(base + "_tbs", "TBSCertificate", signed)
        elif base.startswith("crl_"):
            add(base, "CertificateList", der)
            add(base + "_tbs", "TBSCertList", signed)
        else:
            add(base, "CertificationRequest", der)
            add(base + "_info", "CertificationRequestInfo", signed)
        found = []
        walk(der, found)
        for i, (oid, value) in enumerate(found):
            if oid in EXTENSIONS:
                add("%s_ext%02d_%s" % (base, i, EXTENSIONS[oid]), EXTENSIONS[oid], value)
    for i, (codec, text) in enumerate(HAND_MADE):
        add("hand%02d_%s" % (i, codec), codec, bytes.fromhex(text.replace(" ", "")))
    for name, data in sorted(seeds.items()):
        open(os.path.join(out, name), "wb").write(data)
    print("%d seeds in %s" % (len(seeds), out))


if __name__ == "__main__":
    sys.exit(main())
