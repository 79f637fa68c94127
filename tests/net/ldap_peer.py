"""A recorder peer for the LDAP client's tests: an LDAP server stand-in on
127.0.0.1 that decodes every request it receives with pyasn1 over ldap3's
RFC 4511 types (the schema is the same for the version 2 requests the client
sends; filters by a schema of its own, nesting up to 4 levels) and
answers what the test tells it to, encoded the same way.

It is driven by JSON commands, one per line on standard input, and answers
each with one line on standard output. The first line it prints is
"PORT <n>", the port it listens on.

  {"cmd": "accept"}                     takes the next connection          -> ok
  {"cmd": "recv"}                       one whole request, decoded         -> rendering | closed
  {"cmd": "send", "msgs": [spec...]}    responses, in one send             -> ok
  {"cmd": "raw", "hex": "..."}          bytes as they stand                -> ok
  {"cmd": "readable"}                   waits (10 s at most) for bytes     -> ok | timeout
  {"cmd": "close"}                      closes the connection              -> ok
  {"cmd": "reset"}                      closes it with a reset (RST)       -> ok
  {"cmd": "sort", "values": [...]}      Python's sort, case-insensitive    -> values joined by tabs
  {"cmd": "encode", "msgs": [spec...]}  the encoding of responses          -> hex

A response spec is {"id": n, "op": name, ...}: for the result operations
(bindResponse, searchResDone, modifyResponse, addResponse, delResponse,
modDNResponse, compareResponse) "code", "matched" and "text"; for
searchResEntry "dn" and "attrs" ([[type, [value, ...]], ...]); for
searchResRef "uris".

A request is rendered as its decoded tree: a SEQUENCE or SET as
{name=value, ...} (components present only), a CHOICE as name:value, a
SEQUENCE OF or SET OF as [value, ...], texts as JSON strings, numbers as
numbers, booleans as true/false."""

import json
import select
import socket
import struct
import sys

from pyasn1.codec.ber import decoder, encoder
from pyasn1.type import namedtype, tag, univ

from ldap3.protocol import rfc4511 as r


def ctx(n, constructed):
    fmt = tag.tagFormatConstructed if constructed else tag.tagFormatSimple
    return tag.Tag(tag.tagClassContext, fmt, n)


class AttributeValueAssertion(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType("attributeDesc", univ.OctetString()),
        namedtype.NamedType("assertionValue", univ.OctetString()))


class SubstringChoice(univ.Choice):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType("initial", univ.OctetString().subtype(implicitTag=ctx(0, False))),
        namedtype.NamedType("any", univ.OctetString().subtype(implicitTag=ctx(1, False))),
        namedtype.NamedType("final", univ.OctetString().subtype(implicitTag=ctx(2, False))))


class SubstringFilter(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType("type", univ.OctetString()),
        namedtype.NamedType("substrings", univ.SequenceOf(componentType=SubstringChoice())))


def make_filter(depth):
    """The Filter CHOICE of RFC 4511, its AND, OR and NOT nesting up to
    `depth` levels (the schema of ldap3 encodes filters but does not decode
    nested ones)."""
    leaves = [
        namedtype.NamedType("equalityMatch", AttributeValueAssertion().subtype(implicitTag=ctx(3, True))),
        namedtype.NamedType("substrings", SubstringFilter().subtype(implicitTag=ctx(4, True))),
        namedtype.NamedType("greaterOrEqual", AttributeValueAssertion().subtype(implicitTag=ctx(5, True))),
        namedtype.NamedType("lessOrEqual", AttributeValueAssertion().subtype(implicitTag=ctx(6, True))),
        namedtype.NamedType("present", univ.OctetString().subtype(implicitTag=ctx(7, False))),
        namedtype.NamedType("approxMatch", AttributeValueAssertion().subtype(implicitTag=ctx(8, True))),
    ]
    nested = []
    if depth > 0:
        inner = make_filter(depth - 1)
        nested = [
            namedtype.NamedType("and", univ.SetOf(componentType=inner).subtype(implicitTag=ctx(0, True))),
            namedtype.NamedType("or", univ.SetOf(componentType=inner).subtype(implicitTag=ctx(1, True))),
            namedtype.NamedType("not", inner.subtype(explicitTag=ctx(2, True))),
        ]

    class Filter(univ.Choice):
        componentType = namedtype.NamedTypes(*(nested + leaves))
    return Filter()


def replacing(cls, name, new):
    """A subclass of the pyasn1 type `cls` whose component `name` has the
    type `new`."""
    kinds = []
    for t in cls.componentType.namedTypes:
        asn1 = new if t.name == name else t.asn1Object
        kind = (namedtype.OptionalNamedType if t.isOptional else
                namedtype.DefaultedNamedType if t.isDefaulted else namedtype.NamedType)
        kinds.append(kind(t.name, asn1))
    return type(cls.__name__, (cls,), {"componentType": namedtype.NamedTypes(*kinds)})


SearchRequest = replacing(r.SearchRequest, "filter", make_filter(4))
ProtocolOp = replacing(r.ProtocolOp, "searchRequest", SearchRequest())
LDAPMessage = replacing(r.LDAPMessage, "protocolOp", ProtocolOp())

RESULT_OPS = {
    "bindResponse": r.BindResponse,
    "searchResDone": r.SearchResultDone,
    "modifyResponse": r.ModifyResponse,
    "addResponse": r.AddResponse,
    "delResponse": r.DelResponse,
    "modDNResponse": r.ModifyDNResponse,
    "compareResponse": r.CompareResponse,
}


def text(b):
    return json.dumps(bytes(b).decode("utf-8", "backslashreplace"))


def render(v):
    if isinstance(v, univ.Choice):
        name = v.getName()
        return "%s:%s" % (name, render(v.getComponent()))
    if isinstance(v, (univ.SequenceOf, univ.SetOf)):
        return "[" + ", ".join(render(x) for x in v) + "]"
    if isinstance(v, (univ.Sequence, univ.Set)):
        parts = []
        for i, named in enumerate(v.componentType.namedTypes):
            c = v.getComponentByPosition(i, default=None, instantiate=False)
            if c is not None and c.isValue:
                parts.append("%s=%s" % (named.name, render(c)))
            elif c is not None and isinstance(c, (univ.SequenceOf, univ.SetOf)):
                parts.append("%s=%s" % (named.name, render(c)))
        return "{" + ", ".join(parts) + "}"
    if isinstance(v, univ.Boolean):
        return "true" if bool(v) else "false"
    if isinstance(v, univ.Null):
        return "null"
    if isinstance(v, univ.Integer):  # Enumerated too
        return str(int(v))
    if isinstance(v, univ.OctetString):
        return text(v.asOctets())
    return repr(v)


def response(spec):
    op = r.ProtocolOp()
    kind = spec["op"]
    if kind in RESULT_OPS:
        res = RESULT_OPS[kind]()
        res["resultCode"] = spec.get("code", 0)
        res["matchedDN"] = spec.get("matched", "")
        res["diagnosticMessage"] = spec.get("text", "")
        op[kind] = res
    elif kind == "searchResEntry":
        entry = r.SearchResultEntry()
        entry["object"] = spec["dn"]
        attrs = entry["attributes"]
        for i, (atype, values) in enumerate(spec.get("attrs", [])):
            a = r.PartialAttribute()
            a["type"] = atype
            for j, value in enumerate(values):
                a["vals"].setComponentByPosition(j, r.AttributeValue(value))
            attrs.setComponentByPosition(i, a)
        op[kind] = entry
    elif kind == "searchResRef":
        ref = r.SearchResultReference()
        for i, uri in enumerate(spec["uris"]):
            ref.setComponentByPosition(i, r.URI(uri))
        op[kind] = ref
    else:
        raise ValueError("unknown response " + kind)
    msg = r.LDAPMessage()
    msg["messageID"] = spec["id"]
    msg["protocolOp"] = op
    return encoder.encode(msg)


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def read_element(conn):
    head = read_exact(conn, 2)
    if head is None:
        return None
    length = head[1]
    extra = b""
    if length & 0x80:
        extra = read_exact(conn, length & 0x7F)
        if extra is None:
            return None
        length = int.from_bytes(extra, "big")
    body = read_exact(conn, length)
    if body is None:
        return None
    return head + extra + body


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print("PORT", listener.getsockname()[1], flush=True)
    conn = None
    for line in sys.stdin:
        if not line.strip():
            continue
        c = json.loads(line)
        cmd = c["cmd"]
        try:
            if cmd == "accept":
                listener.settimeout(10)
                conn, _ = listener.accept()
                out = "ok"
            elif cmd == "recv":
                conn.settimeout(10)
                data = read_element(conn)
                if data is None:
                    out = "closed"
                else:
                    msg, rest = decoder.decode(data, asn1Spec=LDAPMessage())
                    out = render(msg) if not rest else "trailing bytes"
            elif cmd == "send":
                conn.sendall(b"".join(response(s) for s in c["msgs"]))
                out = "ok"
            elif cmd == "encode":
                out = b"".join(response(s) for s in c["msgs"]).hex()
            elif cmd == "raw":
                conn.sendall(bytes.fromhex(c["hex"]))
                out = "ok"
            elif cmd == "readable":
                ready, _, _ = select.select([conn], [], [], 10)
                out = "ok" if ready else "timeout"
            elif cmd == "close":
                conn.close()
                conn = None
                out = "ok"
            elif cmd == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                conn = None
                out = "ok"
            elif cmd == "sort":
                out = "\t".join(sorted(c["values"], key=str.lower))
            else:
                out = "error: unknown command " + cmd
        except Exception as e:  # the test reads the failure as the answer
            out = "error: %s: %s" % (type(e).__name__, e)
        print(out.replace("\n", " "), flush=True)


if __name__ == "__main__":
    main()
