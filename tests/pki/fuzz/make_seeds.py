#!/usr/bin/python3
"""Writes the seed inputs of the X.509 module's fuzz target into
tests/pki/fuzz/corpus/cert_asn from the openssl corpus (tests/pki/data/corpus):
each seed is one byte naming the type (its index in cert_asn_codecs::kCodecs,
tests/pki/cert_asn_codecs.h) followed by an encoding of that type: every
certificate, CRL, request and parameter set whole, their signed parts, and
the parts inside them under their own types (names, times, keys,
signatures, attributes, every extension value and what it holds), so that
every type of the module has seeds; and a few hand-made inputs that once
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


def kids(element):
    """(tag, whole, content) of each element inside a constructed element."""
    return list(elements(element[2]))


def retag(element, tag):
    """The element with its first byte replaced (an IMPLICIT tag undone)."""
    return (tag, bytes([tag]) + element[1][1:], element[2])


def typed_parts(element, codec, out):
    """(codec, whole) of the element and of the parts inside it that the
    module has a type for, by the shape of codec."""
    out.append((codec, element[1]))
    if not element[0] & 0x20:
        return
    parts = kids(element)
    if codec == "GeneralNames":
        for g in parts:
            out.append(("GeneralName", g[1]))
            if g[0] == 0xA0:
                typed_parts(retag(g, 0x30), "AnotherName", out)
            elif g[0] == 0xA5:
                typed_parts(retag(g, 0x30), "EDIPartyName", out)
            elif g[0] == 0xA4 and kids(g):
                typed_parts(kids(g)[0], "Name", out)
    elif codec == "EDIPartyName":
        for w in parts:
            if kids(w):
                out.append(("DirectoryString", kids(w)[0][1]))
    elif codec == "Name":
        out.append(("RDNSequence", element[1]))
        for rdn in parts:
            out.append(("RelativeDistinguishedName", rdn[1]))
            for ava in kids(rdn):
                out.append(("AttributeTypeAndValue", ava[1]))
                value = kids(ava)[-1]
                if value[0] in (0x0C, 0x13, 0x14, 0x1C, 0x1E):
                    out.append(("DirectoryString", value[1]))
    elif codec == "Validity":
        for t in parts:
            out.append(("Time", t[1]))
    elif codec == "Extensions":
        for e in parts:
            out.append(("Extension", e[1]))
    elif codec in ("Attributes", "SubjectDirectoryAttributes"):
        for a in parts:
            out.append(("Attribute", a[1]))
            out.append(("values_SET_OF", kids(a)[-1][1]))
    elif codec == "CertificatePolicies":
        for info in parts:
            out.append(("PolicyInformation", info[1]))
            for q in kids(info)[1:]:
                out.append(("policyQualifiers_SEQ_OF", q[1]))
                for qi in kids(q):
                    out.append(("PolicyQualifierInfo", qi[1]))
                    value = kids(qi)[-1]
                    if value[0] == 0x30:
                        typed_parts(value, "UserNotice", out)
    elif codec == "UserNotice":
        for part in parts:
            if part[0] == 0x30:
                out.append(("NoticeReference", part[1]))
                ref = kids(part)
                out.append(("DisplayText", ref[0][1]))
                out.append(("noticeNumbers_SEQ_OF", ref[-1][1]))
            else:
                out.append(("DisplayText", part[1]))
    elif codec == "PolicyMappings":
        for m in parts:
            out.append(("PolicyMappings_SEQUENCE", m[1]))
    elif codec == "AuthorityInfoAccessSyntax":
        for d in parts:
            out.append(("AccessDescription", d[1]))
    elif codec == "NameConstraints":
        for subtrees in parts:
            out.append(("GeneralSubtrees", retag(subtrees, 0x30)[1]))
            for t in kids(subtrees):
                out.append(("GeneralSubtree", t[1]))
    elif codec == "CRLDistPointsSyntax":
        for dp in parts:
            typed_parts(dp, "DistributionPoint", out)
    elif codec in ("DistributionPoint", "IssuingDistributionPoint"):
        for part in parts:
            if part[0] == 0xA0 and kids(part):
                out.append(("DistributionPointName", kids(part)[0][1]))
            elif part[0] == 0xA2:
                out.append(("GeneralNames", retag(part, 0x30)[1]))
    elif codec == "AuthorityKeyIdentifier":
        for part in parts:
            if part[0] == 0xA1:
                typed_parts(retag(part, 0x30), "GeneralNames", out)


RSA = bytes.fromhex("2a864886f70d010101")
DSA = bytes.fromhex("2a8648ce380401")
DSS_SIGNATURES = (bytes.fromhex("608648016503040302"), bytes.fromhex("2a8648ce3d040302"))


def certificate_parts(top, out):
    """The typed parts of a certificate (top: the Certificate element)."""
    tbs, algorithm, signature = kids(top)
    fields = [f for f in kids(tbs) if f[0] != 0xA0]
    out.append(("AlgorithmIdentifier", fields[1][1]))
    typed_parts(fields[2], "Name", out)
    typed_parts(fields[3], "Validity", out)
    typed_parts(fields[4], "Name", out)
    spki = fields[5]
    out.append(("SubjectPublicKeyInfo", spki[1]))
    key_algorithm, key = kids(spki)
    key_parts = kids(key_algorithm)
    if key_parts[0][2] == RSA:
        out.append(("RSAKey", key[2][1:]))
    elif key_parts[0][2] == DSA and len(key_parts) > 1:
        out.append(("Dss_Parms", key_parts[1][1]))
    for f in fields[6:]:
        if f[0] == 0xA3:
            typed_parts(kids(f)[0], "Extensions", out)
    if kids(algorithm)[0][2] in DSS_SIGNATURES:
        out.append(("Dss_Sig_Value", signature[2][1:]))


def crl_parts(top, out):
    fields = [f for f in kids(kids(top)[0]) if f[0] != 0x02]
    typed_parts(fields[1], "Name", out)
    out.append(("Time", fields[2][1]))
    for f in fields[3:]:
        if f[0] == 0x30:
            out.append(("RevokedCertificates", f[1]))
            for entry in kids(f):
                out.append(("RevokedCertificate", entry[1]))
                if len(kids(entry)) > 2:
                    typed_parts(kids(entry)[2], "Extensions", out)
        elif f[0] == 0xA0:
            typed_parts(kids(f)[0], "Extensions", out)


def request_parts(top, out):
    fields = kids(kids(top)[0])
    typed_parts(fields[1], "Name", out)
    out.append(("SubjectPublicKeyInfo", fields[2][1]))
    typed_parts(retag(fields[3], 0x31), "Attributes", out)
    for a in kids(fields[3]):
        for value in kids(kids(a)[-1]):
            if value[0] == 0x30:
                typed_parts(value, "Extensions", out)


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

    seen = set()
    for file in sorted(os.listdir(corpus)):
        der = open(os.path.join(corpus, file), "rb").read()
        base = file[:-4]
        element = list(elements(der))[0]
        top = element[2]
        signed = list(elements(top))[0][1]
        parts = []
        if base.startswith("cert_"):
            add(base, "Certificate", der)
            add(base + "_x", "XCertificate", der)
            add(base + "_tbs", "TBSCertificate", signed)
            certificate_parts(element, parts)
        elif base.startswith("crl_"):
            add(base, "CertificateList", der)
            add(base + "_tbs", "TBSCertList", signed)
            crl_parts(element, parts)
        elif base.startswith("req_"):
            add(base, "CertificationRequest", der)
            add(base + "_info", "CertificationRequestInfo", signed)
            request_parts(element, parts)
        else:
            add(base, "DomainParameters", der)
            last = kids(element)[-1]
            if last[0] == 0x30:
                parts.append(("ValidationParms", last[1]))
        found = []
        walk(der, found)
        for i, (oid, value) in enumerate(found):
            if oid in EXTENSIONS:
                add("%s_ext%02d_%s" % (base, i, EXTENSIONS[oid]), EXTENSIONS[oid], value)
                seen.add((EXTENSIONS[oid], value))
                inner = []
                typed_parts(list(elements(value))[0], EXTENSIONS[oid], inner)
                parts.extend(inner[1:])
        # Each distinct part once, numbered by its type within the file.
        counts = {}
        for codec, whole in parts:
            if (codec, whole) in seen:
                continue
            seen.add((codec, whole))
            counts[codec] = counts.get(codec, 0) + 1
            add("%s_part_%s_%d" % (base, codec, counts[codec]), codec, whole)
    for i, (codec, text) in enumerate(HAND_MADE):
        add("hand%02d_%s" % (i, codec), codec, bytes.fromhex(text.replace(" ", "")))
    for name, data in sorted(seeds.items()):
        open(os.path.join(out, name), "wb").write(data)
    print("%d seeds in %s" % (len(seeds), out))


if __name__ == "__main__":
    sys.exit(main())
