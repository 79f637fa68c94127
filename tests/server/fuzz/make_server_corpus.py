#!/usr/bin/python3
"""Writes the seed inputs of the server's fuzz targets (request, config, dn,
entry_text, console) into fuzz/corpus/<target>/: valid inputs of each kind,
so the fuzzer starts from what the parsers take. Run it from anywhere; it
replaces the seeds it names and leaves other files (inputs that once found a
fault) alone."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))


def ber_len(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body):
    return bytes([tag]) + ber_len(len(body)) + body


def integer(v, tag=0x02):
    return tlv(tag, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True))


def octets(s, tag=0x04):
    return tlv(tag, s.encode() if isinstance(s, str) else s)


def message(msg_id, op):
    return tlv(0x30, integer(msg_id) + op)


def search(msg_id, base, filt, scope=2, attrs=(), size=0, types_only=0):
    body = (octets(base) + integer(scope, 0x0A) + integer(0, 0x0A) + integer(size) + integer(0) +
            tlv(0x01, bytes([types_only])) + filt + tlv(0x30, b"".join(octets(a) for a in attrs)))
    return message(msg_id, tlv(0x63, body))


def ava(tag, t, v):
    return tlv(tag, octets(t) + octets(v))


def substrings(t, initial=None, any_=(), final=None):
    parts = b""
    if initial is not None:
        parts += octets(initial, 0x80)
    for a in any_:
        parts += octets(a, 0x81)
    if final is not None:
        parts += octets(final, 0x82)
    return tlv(0xA4, octets(t) + tlv(0x30, parts))


ACTIVE = "OU=ACTIVE,O=QOX KEYSPACE,C=US"


def requests():
    present = tlv(0x87, b"qoxkeyid")
    yield "bind_anonymous", message(1, tlv(0x60, integer(2) + octets("") + octets("", 0x80)))
    yield "bind_simple", message(1, tlv(0x60, integer(2) + octets("cn=fuzz") + octets("secret", 0x80)))
    yield "bind_v3", message(1, tlv(0x60, integer(3) + octets("cn=x") + octets("pw", 0x80)))
    yield "bind_sasl", message(1, tlv(0x60, integer(2) + octets("cn=x") + tlv(0xA3, octets("PLAIN"))))
    yield "search_present", search(2, ACTIVE, present)
    yield "search_equality", search(3, ACTIVE, ava(0xA3, "qoxkeyid", "AAAA0001"), attrs=["qoxkey"])
    yield "search_ge_le", search(4, ACTIVE, tlv(0xA0, ava(0xA5, "cn", "a") + ava(0xA6, "cn", "z")))
    yield "search_approx", search(5, ACTIVE, ava(0xA8, "qoxuserid", "alise exampel"))
    yield "search_substrings", search(6, ACTIVE, substrings("qoxuserid", "ali", ["exa"], "org>"))
    yield "search_word_anchor", search(7, ACTIVE, substrings("cn", "robert"))
    yield "search_not_or", search(8, ACTIVE, tlv(0xA2, tlv(0xA1, present + ava(0xA3, "sn", "Jones"))))
    yield "search_nul_value", search(9, ACTIVE, ava(0xA3, "description", b"a\x00b c"))
    yield "search_empty_and", search(10, ACTIVE, tlv(0xA0, b""), size=1, types_only=1)
    yield "search_serverinfo", search(11, "CN=QOXSERVERINFO", tlv(0x87, b"objectclass"), scope=0)
    yield "search_monitor", search(12, "cn=monitor", tlv(0x87, b"objectclass"), scope=0)
    mods = tlv(0x30, tlv(0x30, integer(0, 0x0A) + tlv(0x30, octets("cn") + tlv(0x31, octets("x")))) +
               tlv(0x30, integer(1, 0x0A) + tlv(0x30, octets("sn") + tlv(0x31, b""))))
    yield "modify", message(13, tlv(0x66, octets("cn=Robert Jones," + ACTIVE) + mods))
    yield "delete", message(14, octets("cn=x", 0x4A))
    yield "modrdn", message(15, tlv(0x6C, octets("cn=x") + octets("cn=y") + tlv(0x01, b"\x01")))
    yield "compare", message(16, tlv(0x6E, octets("cn=x") + tlv(0x30, octets("cn") + octets("x"))))
    yield "abandon", message(17, integer(3, 0x50))
    yield "unknown", message(18, tlv(0x77, b""))
    yield "unbind", message(19, tlv(0x42, b""))


CONFIGS = {
    "minimal": "Port 389\nSecureMode disabled\n",
    "full": ("# a sample\nPort 389\nSecurePort 636\nSecureMode optional\nAccessLogFile ../logs/access.log 0640\n"
             "SizeLimit 500\nTimeLimit 300\nCycleLogDay Weds\nCycleLogTime 23:59\nCycleLogKeep 10\n"
             "LogLevel warning\nAccessLogDetails bind search add\nAccessLogFormat standard\n"
             "IndexMethod word\nDefaultAccess read\nIdleSyncTimeout 10\nLookupHostname no\n"
             "ServerSecureKeyID 0x12345678\nMustSigID 0x12345678 0x1234567890ABCDEF\nAllowSigID 0x00000001\n"
             "TrimSigs yes\nTrimUsers no\nTrimPhotoIDs no\nMustSignAdds no\nPolicyFailures pending\n"
             "Allow ip 10.1.* add\nAllow host \"*.example.com\" read\nAllow keyid 0x00000002 delete\n"
             "Allow keyid self delete\nAllow keyid 0x00000003 GroupUpdate\nAdminUsername admin\n"
             "AdminPassword {SSHA}AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\nAcceptReconstructionData yes\n"
             "ForceSyncOnWrite no\nReadOnly no\nUser nobody\nTempPath /tmp\nCommandPort 1\n"
             "Directory ../data\nMode 0600\nIndex qoxkeyid eq\nCacheEntries 1000\ndbCacheSize 100000\n"),
    "replication": "Port 389\nSecureMode disabled\nRepLogFile ../data/rep.log\nReplica ldap://127.0.0.1:389\n",
    "errors": "Port 389\nSecureMode disabled\nSizeLimit x\n",
    "quotes": "Port 389\nSecureMode disabled\nAllow ip \"10.1.2.* \" \"read\"\n\tPort 390\r\n",
}

DNS = {
    "key": "QOXCERTID=00000000AAAA0001,OU=ACTIVE,O=QOX KEYSPACE,C=US\nO=QOX KEYSPACE,C=US",
    "userid": "qoxuserid = Alice  Example ,  qoxcertid=00000000AAAA0001 , ou=active,o=qox keyspace,c=us\nc=us",
    "quoted": 'cn="a, b" ; o = x\\, y\n0000000011112222',
    "mail": "alice@example.org\nexample.org",
}

ENTRIES = {
    "key": ("dn: QOXCERTID=00000000AAAA0001,OU=ACTIVE,O=QOX KEYSPACE,C=US\nobjectclass: qoxcertificate\n"
            "qoxcertid: 00000000AAAA0001\nqoxkey: KEY-A\n"),
    "with_id": "id: 7\ndn: cn=x,o=y\ncn: x\ncn: second\nsn:: QmFzZTY0IHZhbHVl\n",
    "continued": "dn: cn=long,o=y\ndescription: a value\n  that goes on\nmail: a@b\n",
}

CONSOLE = {
    "status": "GET STATUS\nNamed-Pipe: /tmp/reply\n\n",
    "log_page": "GET LOG\nLOG-TYPE: ACCESS\nPage-Action: NEXT\nPage-Size: 20\nPosition: 1234\nNamed-Pipe: /tmp/r\n\n",
    "control": "GET STATUS\nControl: DISABLE\nNamed-Pipe: /tmp/r\n\n",
    "exit": "EXIT THREAD\n\n",
}


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def main():
    for name, data in requests():
        write("request", name, data)
    for target, table in (("config", CONFIGS), ("dn", DNS), ("entry_text", ENTRIES), ("console", CONSOLE)):
        for name, text in table.items():
            write(target, name, text)


if __name__ == "__main__":
    main()
