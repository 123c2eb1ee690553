#!/usr/bin/python3
"""A scripted raw-socket HTTP peer for the client tests.

Usage: scripted_http.py SCRIPT.json

Listens on 127.0.0.1 on a free port and prints "PORT <n>" as its first line.
The script is a JSON object:
  {"lifetime": seconds (default 60),
   "connections": [[step, ...], ...],   one list of steps per accepted
                                          connection, in accept order
   "tls": {"cert": path, "key": path}}  optional: speak TLS (server side)
A step is an object:
  "read":    "request" (default): one request, head up to the empty line and
             a body of its Content-Length; "bytes": whatever arrives first;
             "none": nothing
  "delay_ms": pause before answering
  "respond": text sent as ISO-8859-1 bytes (so "\\u00e8" is the byte E8)
  "respond_b64": bytes in base64
  "close":   true: close the connection after this step
  "stall":   true: answer nothing and keep the connection open
Each request read is printed as "REQUEST <connection> <base64 of the exact
bytes>" before the answer goes out; "CLOSED <connection>" follows when the
connection has been closed (by either side). A request beyond the script is printed and the
connection closed without answer.

The peer exits after its lifetime, or as soon as its parent process is gone.
"""
import base64
import json
import os
import queue
import socket
import ssl
import sys
import threading
import time

lines = queue.Queue()


def emit(line):
    """Queues a line for stdout: serving never waits for the test to read."""
    lines.put(line)


def writer():
    while True:
        line = lines.get()
        try:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()
        except (BrokenPipeError, OSError):
            os._exit(0)


def read_request(conn, pending):
    """Reads one request; returns (bytes, rest) or (partial, None) at EOF."""
    data = pending
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data, None
        data += chunk
    head_end = data.index(b"\r\n\r\n") + 4
    length = 0
    for line in data[:head_end].split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or b"0")
    while len(data) < head_end + length:
        chunk = conn.recv(1 << 20)
        if not chunk:
            return data, None
        data += chunk
    return data[: head_end + length], data[head_end + length:]


def serve(conn, index, steps, stop, tls):
    pending = b""
    conn.settimeout(None)
    try:
        if tls is not None:
            conn = tls.wrap_socket(conn, server_side=True)
        for step in steps:
            mode = step.get("read", "request")
            if mode == "request":
                request, rest = read_request(conn, pending)
                if rest is None:
                    if request:
                        emit("REQUEST %d %s" % (index, base64.b64encode(request).decode()))
                    return
                pending = rest
                emit("REQUEST %d %s" % (index, base64.b64encode(request).decode()))
            elif mode == "bytes":
                chunk = pending or conn.recv(65536)
                pending = b""
                emit("BYTES %d %d" % (index, len(chunk)))
            if step.get("stall"):
                stop.wait()
                return
            if "delay_ms" in step:
                time.sleep(step["delay_ms"] / 1000.0)
            if "respond" in step:
                conn.sendall(step["respond"].encode("latin-1"))
            if "respond_b64" in step:
                conn.sendall(base64.b64decode(step["respond_b64"]))
            if step.get("close"):
                return
        # Past the script: report what still comes, then the close.
        while True:
            request, rest = read_request(conn, pending)
            if request:
                emit("REQUEST %d %s" % (index, base64.b64encode(request).decode()))
            if rest is None or request:
                return
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        conn.close()
        emit("CLOSED %d" % index)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        script = json.load(f)
    lifetime = float(script.get("lifetime", 60))
    connections = script.get("connections", [])
    parent = os.getppid()
    stop = threading.Event()
    tls = None
    if "tls" in script:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(script["tls"]["cert"], script["tls"]["key"])

    threading.Thread(target=writer, daemon=True).start()
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    server.settimeout(0.2)
    emit("PORT %d" % server.getsockname()[1])

    deadline = time.monotonic() + lifetime
    index = 0
    while time.monotonic() < deadline and os.getppid() == parent:
        try:
            conn, _ = server.accept()
        except socket.timeout:
            continue
        steps = connections[index] if index < len(connections) else []
        threading.Thread(target=serve, args=(conn, index, steps, stop, tls), daemon=True).start()
        index += 1
    stop.set()
    os._exit(0)


if __name__ == "__main__":
    main()
