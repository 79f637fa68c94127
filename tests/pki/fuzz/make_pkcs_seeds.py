#!/usr/bin/python3
"""Writes the seed inputs of the PKCS fuzz targets from the PKCS corpus
(tests/pki/data/pkcs, made by tests/pki/data/make_pkcs_corpus.sh):

- tests/pki/fuzz/corpus/pkcs_asn: one byte naming the type (its index in
  pkcs_asn_codecs::kCodecs, tests/pki/pkcs_asn_codecs.h) followed by an
  encoding of that type: every message, PFX and key whole, and the parts
  inside them under their own types (SignedData, signer infos, certificate
  and CRL sets, recipient infos, safes, bags, keys, PBE parameters, MAC
  data), with hand-made values of the types openssl does not write
  (enrollment messages, extended certificates, CRL and secret bags) and a
  few inputs at the edges (lengths past the input, elements of another
  type, empty bags).
- tests/pki/fuzz/corpus/sm_verify: the bare SignedData of every signed
  message of the corpus (the streamed one in its BER).

Run once and check the files in. Usage: tests/pki/fuzz/make_pkcs_seeds.py"""
import os

# The order of pkcs_asn_codecs::kCodecs.
CODECS = """ContentInfo SignedData EnvelopedData SignerInfo SignerInfos DigestAlgorithmIdentifiers RecipientInfo
RecipientInfos EncryptedContentInfo EncryptedData DigestInfo IssuerAndSerialNumber CertificateRevocationLists
ExtendedCertificatesAndCertificates ExtendedCertificateOrCertificate ExtendedCertificate ExtendedCertificateInfo
PrivateKeyInfo EncryptedPrivateKeyInfo PFX MacData AuthenticatedSafes SafeContents SafeBag CertBag CRLBag SecretBag
pkcs_12PbeParams PKCSReq CertRep GetCRL GetCert IssuerAndSubject GetCertInitial""".split()

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data", "pkcs")

KEY_BAG = bytes.fromhex("2a864886f70d010c0a0101")
SHROUDED_KEY_BAG = bytes.fromhex("2a864886f70d010c0a0102")
CERT_BAG = bytes.fromhex("2a864886f70d010c0a0103")
DATA_OID = bytes.fromhex("2a864886f70d010701")
ENCRYPTED_DATA_OID = bytes.fromhex("2a864886f70d010706")
PBES2 = bytes.fromhex("2a864886f70d01050d")


class Element:
    """One BER element: tag, the whole encoding, the contents (the inner
    elements' bytes for an indefinite one, without the end-of-contents)."""

    def __init__(self, buf, at=0):
        self.tag = buf[at]
        first = buf[at + 1]
        head = 2
        if first == 0x80:
            pos = at + 2
            while buf[pos:pos + 2] != b"\0\0":
                pos += Element(buf, pos).size
            self.content = buf[at + 2:pos]
            self.size = pos + 2 - at
        else:
            length = first
            if first & 0x80:
                count = first & 0x7F
                length = int.from_bytes(buf[at + 2:at + 2 + count], "big")
                head += count
            self.content = buf[at + head:at + head + length]
            self.size = head + length
        self.whole = buf[at:at + self.size]

    def kids(self):
        out, pos = [], 0
        while pos < len(self.content):
            e = Element(self.content, pos)
            out.append(e)
            pos += e.size
        return out


def der(tag, content):
    n = len(content)
    if n < 0x80:
        head = bytes([tag, n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([tag, 0x80 | len(octets)]) + octets
    return head + content


def retag(e, tag):
    return bytes([tag]) + e.whole[1:]


seeds = {}  # name -> (codec, bytes)


def add(name, codec, data):
    seeds[name] = (codec, data)


def signed_data(name, e):
    add(name + "_sd", "SignedData", e.whole)
    k = e.kids()
    add(name + "_digests", "DigestAlgorithmIdentifiers", k[1].whole)
    add(name + "_encap", "ContentInfo", k[2].whole)
    for part in k[3:-1]:
        if part.tag & 0x1F == 0:
            add(name + "_certs", "ExtendedCertificatesAndCertificates", retag(part, 0x31))
            for i, c in enumerate(part.kids()):
                add("%s_cert%d" % (name, i), "ExtendedCertificateOrCertificate", c.whole)
        else:
            add(name + "_crls", "CertificateRevocationLists", retag(part, 0x31))
    add(name + "_signers", "SignerInfos", k[-1].whole)
    for i, s in enumerate(k[-1].kids()):
        add("%s_signer%d" % (name, i), "SignerInfo", s.whole)
        add("%s_signer%d_ias" % (name, i), "IssuerAndSerialNumber", s.kids()[1].whole)


def enveloped_data(name, e):
    add(name + "_ed", "EnvelopedData", e.whole)
    k = e.kids()
    add(name + "_recipients", "RecipientInfos", k[1].whole)
    for i, r in enumerate(k[1].kids()):
        add("%s_recipient%d" % (name, i), "RecipientInfo", r.whole)
        add("%s_recipient%d_ias" % (name, i), "IssuerAndSerialNumber", r.kids()[1].whole)
    add(name + "_eci", "EncryptedContentInfo", k[2].whole)


def octets(e):
    """The bytes of an OCTET STRING element (segments joined)."""
    if e.tag == 0x04:
        return e.content
    return b"".join(octets(k) for k in e.kids())


def pbe_params(name, alg):
    k = alg.kids()
    if len(k) > 1 and k[0].content != PBES2:
        add(name, "pkcs_12PbeParams", k[1].whole)


def pfx(name, e):
    add(name, "PFX", e.whole)
    k = e.kids()
    add(name + "_authsafe", "ContentInfo", k[1].whole)
    add(name + "_mac", "MacData", k[2].whole)
    add(name + "_mac_digest", "DigestInfo", k[2].kids()[0].whole)
    safes = Element(octets(k[1].kids()[1].kids()[0]))
    add(name + "_safes", "AuthenticatedSafes", safes.whole)
    for i, safe in enumerate(safes.kids()):
        add("%s_safe%d" % (name, i), "ContentInfo", safe.whole)
        oid, body = safe.kids()[0].content, safe.kids()[1].kids()[0]
        if oid == ENCRYPTED_DATA_OID:
            add("%s_safe%d_enc" % (name, i), "EncryptedData", body.whole)
            eci = body.kids()[1]
            add("%s_safe%d_eci" % (name, i), "EncryptedContentInfo", eci.whole)
            pbe_params("%s_safe%d_pbe" % (name, i), eci.kids()[1])
            continue
        bags = Element(octets(body))
        add("%s_safe%d_bags" % (name, i), "SafeContents", bags.whole)
        for j, bag in enumerate(bags.kids()):
            tag = "%s_safe%d_bag%d" % (name, i, j)
            add(tag, "SafeBag", bag.whole)
            bk = bag.kids()
            value = bk[1].kids()[0]
            if bk[0].content == KEY_BAG:
                add(tag + "_key", "PrivateKeyInfo", value.whole)
            elif bk[0].content == SHROUDED_KEY_BAG:
                add(tag + "_key", "EncryptedPrivateKeyInfo", value.whole)
                pbe_params(tag + "_pbe", value.kids()[0])
            elif bk[0].content == CERT_BAG:
                add(tag + "_cert", "CertBag", value.whole)


def main():
    read = lambda n: open(os.path.join(DATA, n), "rb").read()
    verify_seeds = {}
    for f in sorted(os.listdir(DATA)):
        name = f[:-4]
        if not f.endswith(".der") or f.endswith("_cert.der") or f.endswith("_key.der"):
            continue
        e = Element(read(f))
        if f.startswith("cms_") or f.startswith("crl2"):
            add(name, "ContentInfo", e.whole)
            inner = e.kids()[1].kids()[0]
            if f.startswith("cms_encrypt"):
                enveloped_data(name, inner)
            else:
                signed_data(name, inner)
                verify_seeds[name] = inner.whole
        elif f.startswith("p12_"):
            pfx(name, e)
        elif f == "p8_nocrypt.der":
            add(name, "PrivateKeyInfo", e.whole)
        elif f == "p8_sha1_3des.der":
            add(name, "EncryptedPrivateKeyInfo", e.whole)
            pbe_params(name + "_pbe", e.kids()[0])
        elif f == "req.der":
            add("pkcsreq", "PKCSReq", der(0x30, e.whole))
            add("pkcsreq_text", "PKCSReq", der(0x30, e.whole + der(0x04, b"corp_company=Acme&challenge=x")))
    p7 = read("crl2pkcs7.der")
    cert = read("signer_cert.der")
    name = Element(cert).kids()[0].kids()[3].whole  # the issuer
    alg = bytes.fromhex("300d06092a864886f70d0101050500")
    gtime = der(0x18, b"20240102030405Z")
    hand = [
        ("certrep", "CertRep", der(0x30, p7 + der(0x04, b"pending"))),
        ("certrep_empty", "CertRep", bytes.fromhex("3000")),
        ("certrep_octets", "CertRep", bytes.fromhex("300304 01aa")),
        ("getcrl", "GetCRL", der(0x30, name + der(0xA4, name) + gtime + bytes.fromhex("03020560"))),
        ("getcrl_uri", "GetCRL", der(0x30, name + bytes.fromhex("8601 78") + gtime)),
        ("getcert", "GetCert", der(0x30, name + bytes.fromhex("020107"))),
        ("issuerandsubject", "IssuerAndSubject", der(0x30, name + name)),
        ("getcertinitial", "GetCertInitial", der(0x30, der(0x30, name + name) + bytes.fromhex("0400"))),
        ("extcert", "ExtendedCertificateOrCertificate",
         der(0xA0, der(0x30, bytes.fromhex("020100") + cert + bytes.fromhex("3100")) + alg + bytes.fromhex("030100"))),
        ("extcert_seq", "ExtendedCertificate",
         der(0x30, der(0x30, bytes.fromhex("020100") + cert + bytes.fromhex("3100")) + alg + bytes.fromhex("030100"))),
        ("extcertinfo", "ExtendedCertificateInfo",
         der(0x30, bytes.fromhex("020100") + cert + bytes.fromhex("3107 3005 06012a 3100"))),
        ("crlbag", "CRLBag", der(0x30, bytes.fromhex("060a2a864886f70d01091701") + der(0xA0, der(0x04, b"crl")))),
        ("secretbag", "SecretBag", der(0x30, bytes.fromhex("06012a") + der(0xA0, bytes.fromhex("0401aa")))),
        ("encrypteddata", "EncryptedData", der(0x30, bytes.fromhex("020100") +
                                               der(0x30, der(0x06, DATA_OID) + alg + bytes.fromhex("8003aabbcc")))),
        # Edges: a list past the input, elements of another type, an empty
        # bag, indefinite wrappers, a segmented encryptedContent.
        ("edge_list_past_input", "SafeContents", bytes.fromhex("3009 3007 06012a a0020401")),
        ("edge_list_other_element", "AuthenticatedSafes", bytes.fromhex("3080 020100 0000")),
        ("edge_empty_bag", "SafeBag", bytes.fromhex("3003 06012a")),
        ("edge_indefinite_bag", "CertBag", bytes.fromhex("3080 06012a a080 0401aa 0000 0000")),
        ("edge_segments", "EncryptedContentInfo",
         der(0x30, der(0x06, DATA_OID) + alg + bytes.fromhex("a080 0402aabb 0401cc 0000"))),
        ("edge_bad_certificate_set", "SignedData",
         der(0x30, bytes.fromhex("020101 3100") + der(0x30, der(0x06, DATA_OID)) + bytes.fromhex("a003 040100 3100"))),
    ]
    for n, codec, data in hand:
        add(n, codec, data)

    out = os.path.join(HERE, "corpus", "pkcs_asn")
    os.makedirs(out, exist_ok=True)
    for n, (codec, data) in sorted(seeds.items()):
        with open(os.path.join(out, n), "wb") as f:
            f.write(bytes([CODECS.index(codec)]) + data)
    missing = set(CODECS) - {c for c, _ in seeds.values()}
    if missing:
        raise SystemExit("types without seeds: " + " ".join(sorted(missing)))
    out = os.path.join(HERE, "corpus", "sm_verify")
    os.makedirs(out, exist_ok=True)
    for n, data in sorted(verify_seeds.items()):
        with open(os.path.join(out, n), "wb") as f:
            f.write(data)
    print("%d seeds of %d types, %d SignedData" % (len(seeds), len(CODECS), len(verify_seeds)))


main()
