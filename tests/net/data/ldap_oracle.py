"""Independent LDAP v2 message codec (pyasn1) used as a test oracle.

  ldap_oracle.py decode HEX   prints the LDAPMessage as canonical JSON
  ldap_oracle.py encode JSON  prints the BER encoding of that message in hex

JSON form: a SEQUENCE is an object of its named fields, a CHOICE an object
with one key, SET OF / SEQUENCE OF a list, OCTET STRING a string (latin-1),
INTEGER and ENUMERATED a number, BOOLEAN true/false.
"""
import json
import sys

from pyasn1.codec.ber import decoder, encoder
from pyasn1.type import namedtype, tag, univ


def app(n, constructed=True):
    fmt = tag.tagFormatConstructed if constructed else tag.tagFormatSimple
    return tag.Tag(tag.tagClassApplication, fmt, n)


def ctx(n, constructed):
    fmt = tag.tagFormatConstructed if constructed else tag.tagFormatSimple
    return tag.Tag(tag.tagClassContext, fmt, n)


class AttributeValueAssertion(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('type', univ.OctetString()),
        namedtype.NamedType('value', univ.OctetString()))


class SubstringChoice(univ.Choice):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('initial', univ.OctetString().subtype(implicitTag=ctx(0, False))),
        namedtype.NamedType('any', univ.OctetString().subtype(implicitTag=ctx(1, False))),
        namedtype.NamedType('final', univ.OctetString().subtype(implicitTag=ctx(2, False))))


class SubstringFilter(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('type', univ.OctetString()),
        namedtype.NamedType('substrings', univ.SequenceOf(componentType=SubstringChoice())))


def make_filter(depth):
    """A Filter choice nesting AND, OR and NOT up to `depth` levels."""
    leaves = [
        namedtype.NamedType('equalityMatch', AttributeValueAssertion().subtype(implicitTag=ctx(3, True))),
        namedtype.NamedType('substrings', SubstringFilter().subtype(implicitTag=ctx(4, True))),
        namedtype.NamedType('greaterOrEqual', AttributeValueAssertion().subtype(implicitTag=ctx(5, True))),
        namedtype.NamedType('lessOrEqual', AttributeValueAssertion().subtype(implicitTag=ctx(6, True))),
        namedtype.NamedType('present', univ.OctetString().subtype(implicitTag=ctx(7, False))),
        namedtype.NamedType('approxMatch', AttributeValueAssertion().subtype(implicitTag=ctx(8, True))),
    ]
    nested = []
    if depth > 0:
        inner = make_filter(depth - 1)
        nested = [
            namedtype.NamedType('and', univ.SetOf(componentType=inner).subtype(implicitTag=ctx(0, True))),
            namedtype.NamedType('or', univ.SetOf(componentType=inner).subtype(implicitTag=ctx(1, True))),
            namedtype.NamedType('not', make_filter(depth - 1).subtype(explicitTag=ctx(2, True))),
        ]

    class Filter(univ.Choice):
        componentType = namedtype.NamedTypes(*(nested + leaves))
    return Filter()


class AuthenticationChoice(univ.Choice):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('simple', univ.OctetString().subtype(implicitTag=ctx(0, False))))


class BindRequest(univ.Sequence):
    tagSet = univ.Sequence.tagSet.tagImplicitly(app(0))
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('version', univ.Integer()),
        namedtype.NamedType('name', univ.OctetString()),
        namedtype.NamedType('authentication', AuthenticationChoice()))


def ldap_result(n):
    class LDAPResult(univ.Sequence):
        tagSet = univ.Sequence.tagSet.tagImplicitly(app(n))
        componentType = namedtype.NamedTypes(
            namedtype.NamedType('resultCode', univ.Enumerated()),
            namedtype.NamedType('matchedDN', univ.OctetString()),
            namedtype.NamedType('errorMessage', univ.OctetString()))
    return LDAPResult()


class PartialAttribute(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('type', univ.OctetString()),
        namedtype.NamedType('vals', univ.SetOf(componentType=univ.OctetString())))


class SearchResultEntry(univ.Sequence):
    tagSet = univ.Sequence.tagSet.tagImplicitly(app(4))
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('objectName', univ.OctetString()),
        namedtype.NamedType('attributes', univ.SequenceOf(componentType=PartialAttribute())))


class SearchRequest(univ.Sequence):
    tagSet = univ.Sequence.tagSet.tagImplicitly(app(3))
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('baseObject', univ.OctetString()),
        namedtype.NamedType('scope', univ.Enumerated()),
        namedtype.NamedType('derefAliases', univ.Enumerated()),
        namedtype.NamedType('sizeLimit', univ.Integer()),
        namedtype.NamedType('timeLimit', univ.Integer()),
        namedtype.NamedType('typesOnly', univ.Boolean()),
        namedtype.NamedType('filter', make_filter(4)),
        namedtype.NamedType('attributes', univ.SequenceOf(componentType=univ.OctetString())))


class ProtocolOp(univ.Choice):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('bindRequest', BindRequest()),
        namedtype.NamedType('bindResponse', ldap_result(1)),
        namedtype.NamedType('unbindRequest', univ.Null().subtype(implicitTag=app(2, False))),
        namedtype.NamedType('searchRequest', SearchRequest()),
        namedtype.NamedType('searchResEntry', SearchResultEntry()),
        namedtype.NamedType('searchResDone', ldap_result(5)))


class LDAPMessage(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('messageID', univ.Integer()),
        namedtype.NamedType('protocolOp', ProtocolOp()))


def to_json(v):
    if isinstance(v, univ.Choice):
        name = v.getName()
        return {name: to_json(v.getComponent())}
    if isinstance(v, univ.Sequence):
        return {name: to_json(v[name]) for name in v.componentType.keys()}
    if isinstance(v, (univ.SequenceOf, univ.SetOf)):
        return [to_json(x) for x in v]
    if isinstance(v, univ.Boolean):
        return bool(v)
    if isinstance(v, univ.Integer):  # Enumerated too
        return int(v)
    if isinstance(v, univ.Null):  # a kind of OctetString in pyasn1
        return None
    if isinstance(v, univ.OctetString):
        return bytes(v).decode('latin-1')
    raise TypeError(type(v))


def from_json(spec, j):
    if isinstance(spec, univ.Choice):
        (name, inner), = j.items()
        v = spec.clone()
        v.setComponentByName(name, from_json(v.componentType[name].asn1Object, inner))
        return v
    if isinstance(spec, univ.Sequence):
        v = spec.clone()
        for nt in spec.componentType.namedTypes:
            v.setComponentByName(nt.name, from_json(nt.asn1Object, j[nt.name]))
        return v
    if isinstance(spec, (univ.SequenceOf, univ.SetOf)):
        v = spec.clone()
        for i, x in enumerate(j):
            v.setComponentByPosition(i, from_json(spec.componentType, x))
        return v
    if isinstance(spec, univ.Null):
        return spec.clone('')
    if isinstance(spec, univ.OctetString):
        return spec.clone(j.encode('latin-1'))
    return spec.clone(j)


def main():
    mode, arg = sys.argv[1], sys.argv[2]
    if mode == 'decode':
        msg, rest = decoder.decode(bytes.fromhex(arg), asn1Spec=LDAPMessage())
        if rest:
            raise ValueError('trailing bytes')
        print(json.dumps(to_json(msg), sort_keys=True, separators=(',', ':')))
    else:
        print(encoder.encode(from_json(LDAPMessage(), json.loads(arg))).hex())


if __name__ == '__main__':
    main()
