#!/usr/bin/python3
"""An upload sink for one multipart POST, independent of the client under test.

Usage: multipart_sink.py PORT
Listens on 127.0.0.1:PORT, prints "ready" once listening, takes one request,
reads exactly "Content-Length" body bytes, parses them with Python's email
parser and answers 200 with a JSON object: the announced length, the bytes
received, whether more bytes followed the body, and the parts (name, decoded
file name, type, size, SHA-256). Exits after that request, or after 120 s.
"""
import json
import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from multipart_reader import describe_parts  # noqa: E402


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            raise ConnectionError("closed before the end of the head")
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return lines[0], headers, rest


def main():
    port = int(sys.argv[1])
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(1)
    server.settimeout(120)
    print("ready", flush=True)
    conn, _ = server.accept()
    conn.settimeout(120)
    request_line, headers, body = read_head(conn)
    length = int(headers.get("content-length", "0"))
    while len(body) < length:
        chunk = conn.recv(min(1 << 20, length - len(body)))
        if not chunk:
            break
        body += chunk
    extra = len(body) > length
    if not extra:
        # Anything the client sends beyond the announced length shows up here.
        conn.settimeout(0.3)
        try:
            extra = bool(conn.recv(1))
        except socket.timeout:
            pass
        conn.settimeout(120)
    parts, error = describe_parts(body[:length], headers.get("content-type", ""))
    answer = json.dumps({
        "request": request_line,
        "content_length": length,
        "received": min(len(body), length),
        "extra": extra,
        "error": error,
        "parts": parts,
    }, ensure_ascii=False).encode("utf-8")
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
                 b"Content-Length: " + str(len(answer)).encode() + b"\r\nConnection: close\r\n\r\n" + answer)
    conn.close()
    server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
