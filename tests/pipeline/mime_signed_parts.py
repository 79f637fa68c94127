#!/usr/bin/python3
"""Reads an RFC 3156 multipart/signed message with Python's email package and
writes its two parts for a verifier: the first part exactly as it stands
between the boundaries, with CR LF line ends (RFC 3156 section 5), and the
signature part's body. Exits non-zero, saying why, when the message is not
such a message.

usage: mime_signed_parts.py MESSAGE SIGNEDPART SIGNATURE"""
import email
import email.policy
import sys


def fail(why):
    print(why, file=sys.stderr)
    sys.exit(1)


def main():
    message_path, signed_path, signature_path = sys.argv[1:4]
    raw = open(message_path, "rb").read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    if msg.get_content_type() != "multipart/signed":
        fail("content type " + msg.get_content_type())
    if msg.get_param("protocol") != "application/pgp-signature":
        fail("protocol " + str(msg.get_param("protocol")))
    micalg = msg.get_param("micalg")
    parts = msg.get_payload()
    if not isinstance(parts, list) or len(parts) != 2:
        fail("parts: " + str(len(parts) if isinstance(parts, list) else "none"))
    if parts[1].get_content_type() != "application/pgp-signature":
        fail("second part " + parts[1].get_content_type())
    # The first part as it stands: from behind the first delimiter line to
    # the line end in front of the second one.
    lines = raw.replace(b"\r\n", b"\n").split(b"\n")
    delimiter = b"--" + msg.get_boundary().encode()
    marks = [i for i, line in enumerate(lines) if line.rstrip() == delimiter]
    if len(marks) < 2:
        fail("delimiters: %d" % len(marks))
    signed = b"\r\n".join(lines[marks[0] + 1:marks[1]])
    open(signed_path, "wb").write(signed)
    open(signature_path, "wb").write(parts[1].get_payload(decode=True))
    print(micalg)


main()
