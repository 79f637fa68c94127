#!/usr/bin/python3
"""Writes the seeds of the LDAP client's fuzz targets (ldap_filter_fuzz.cc,
ldap_response_fuzz.cc) into corpus/ldap_filter and corpus/ldap_response:
filter texts of every kind, escapes and refusals; response chains encoded by
the recorder peer (../ldap_peer.py, pyasn1 over ldap3's types) with entries,
references, empty and binary values, results, and a few cut or bent ones.

Run from this folder: /usr/bin/python3 make_ldap_client_corpus.py
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import ldap_peer  # noqa: E402

FILTERS = {
    "equality": "(cn=x)",
    "bare": "cn=x",
    "open": "(cn=x",
    "substrings": "(cn=a*b*c)",
    "any": "(cn=*b*)",
    "escaped_star": "(cn=*a\\*b*)",
    "present": "(objectclass=*)",
    "or3": "(|(cn=a)(cn=b)(cn=c))",
    "nested": "(&(a>=1)(b<=2)(!(c~=x))(|(d=*e*)(f=\\(g\\))))",
    "escapes": "(&(qoxuserid=a \\(b\\) \\\\ c)(sn=c\\)))",
    "escaped_close": "(cn=a\\)",
    "final_backslash": "(cn=a\\",
    "open_and": "(&(cn=a)(sn=b",
    "deep": "(!" * 100 + "(cn=x)" + ")" * 100,
    "too_deep": "(!" * 101 + "(cn=x)" + ")" * 101,
    "no_operator": "(cnx)",
    "empty": "",
}


def chain(flags, messages):
    """The response target's layout: flags, then per message a choice byte
    and its bytes with a two-byte length."""
    out = bytes([flags])
    for choice, data in messages:
        out += bytes([choice]) + len(data).to_bytes(2, "big") + data
    return out


def enc(**spec):
    return ldap_peer.response(spec)


def main():
    fdir = os.path.join(HERE, "corpus", "ldap_filter")
    rdir = os.path.join(HERE, "corpus", "ldap_response")
    os.makedirs(fdir, exist_ok=True)
    os.makedirs(rdir, exist_ok=True)
    for name, text in FILTERS.items():
        with open(os.path.join(fdir, name), "wb") as f:
            f.write(text.encode())

    e1 = enc(id=2, op="searchResEntry", dn="cn=one,o=x",
             attrs=[["cn", ["one", "uno"]], ["mail", []], ["desc", ["x", ""]]])
    e2 = enc(id=2, op="searchResEntry", dn="cn=Two,o=x", attrs=[["CN", ["two"]], ["bin", ["a\u0000b"]]])
    e3 = enc(id=2, op="searchResEntry", dn="cn=three,o=x", attrs=[])
    ref = enc(id=2, op="searchResRef", uris=["ldap://elsewhere/o=x"])
    done = enc(id=2, op="searchResDone", code=0)
    bad = enc(id=2, op="modifyResponse", code=32, matched="o=x", text="no such entry")
    seeds = {
        "search": chain(0, [(0, e1), (0, ref), (0, e2), (0, e3), (0, done)]),
        "search_by_dn": chain(1, [(0, e2), (0, ref), (0, e1), (0, done)]),
        "references_only": chain(0, [(0, ref), (0, ref), (0, done)]),
        "reference_as_entry": chain(0, [(1, ref), (0, e1), (0, done)]),
        "result_as_entry": chain(0, [(1, bad), (1, done), (0, e2)]),
        "entry_as_result": chain(0, [(3, e1), (0, e2)]),
        "result": chain(0, [(0, bad)]),
        "cut_entry": chain(0, [(0, e1[:len(e1) // 2]), (0, e2[:-3]), (0, done)]),
        "long_length_form": chain(0, [(0, bytes([0x30, 0x84, 0, 0, 0, 5]) + e3[2:])]),
        "empty": b"",
    }
    for name, data in seeds.items():
        with open(os.path.join(rdir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
