#!/usr/bin/python3
"""Reads a multipart/form-data body with Python's own email parser.

Usage: multipart_reader.py BODY_FILE CONTENT_TYPE
Prints one JSON object per part and line: field name, file name (RFC 2047
encoded-words decoded), content type, charset, size and SHA-256 of the
content, so a test can compare them with what it put into the body.
"""
import email.header
import email.parser
import email.policy
import hashlib
import json
import sys


def decode_words(value):
    if value is None:
        return None
    # Folded encoded-words (CR LF blank) are joined as one header would be.
    value = value.replace("\r\n ", " ").replace("\r\n\t", " ")
    return str(email.header.make_header(email.header.decode_header(value)))


def describe_parts(body, content_type):
    """Parses a multipart body; returns (list of part dicts, error text or None)."""
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(
        b"Content-Type: " + content_type.encode("ascii") + b"\r\nMIME-Version: 1.0\r\n\r\n" + body)
    if not message.is_multipart():
        return [], "not multipart"
    if message.defects:
        return [], "defects: " + ", ".join(type(d).__name__ for d in message.defects)
    parts = []
    for part in message.get_payload():
        content = part.get_payload(decode=True)
        parts.append({
            "name": decode_words(part.get_param("name", header="content-disposition")),
            "filename": decode_words(part.get_param("filename", header="content-disposition")),
            "type": part.get_content_type(),
            "charset": part.get_param("charset"),
            "size": len(content),
            "sha256": hashlib.sha256(content).hexdigest(),
            "defects": [type(d).__name__ for d in part.defects],
        })
    return parts, None


def main():
    body_path, content_type = sys.argv[1], sys.argv[2]
    with open(body_path, "rb") as f:
        body = f.read()
    parts, error = describe_parts(body, content_type)
    if error:
        print(json.dumps({"error": error}))
        return 1
    for part in parts:
        print(json.dumps(part, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
