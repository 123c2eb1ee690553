#!/usr/bin/python3
"""A small Prism photo server for tests, the demo and the benchmark.

Standard library only. Listens on 127.0.0.1 (http, or https with a
self-signed certificate made by openssl), writes the port as its first line
on standard output, and stops by itself: when its parent process goes away,
when standard input closes (--watch-stdin), or after --lifetime seconds.

REST interface (every path below the server root):
  POST /api/v1/session                    {"username","password"} -> token, user
  POST /api/v1/users/<uid>/upload/<tok>   multipart, files under "files"
  PUT  /api/v1/users/<uid>/upload/<tok>   {"albums":[...]} files the upload
  POST /api/v1/albums                     {"Title","Favorite"} -> album
  POST /api/v1/albums/<uid>/links         {"uid","link":{...}} -> link
  GET  /api/v1/photos?count=&offset=&order=newest&s=<album>
  PUT  /api/v1/photos/<uid>               {"ID","UID","Title","TitleSrc"}
Every request but the login must carry a valid X-Auth-Token.

Control interface (not recorded):
  GET  /_control/requests   every recorded request, oldest first
  GET  /_control/state      users, albums, photos, links, pending uploads
  POST /_control/script     adds answer rules (JSON array of rules)
  POST /_control/reset      drops the rules and the recorded requests

An answer rule replaces the server's own answer for the requests it matches:
  {"method": "POST", "path": "regex searched in path+query",
   "status": 200, "body": "text" or JSON value, "headers": {...},
   "delay_ms": 0, "close": false, "times": null}
"close": true drops the connection without answering (after "delay_ms");
"pass": true only delays the request by "delay_ms", then the server's own
answer follows.
"read_rate": bytes per second: the request body is read that slowly (a
server that reads an upload slowly); the rule then answers as above.
"times" limits how many requests the rule answers. The first matching rule
wins. Rules come from --script FILE and from /_control/script.

Every request is recorded as one JSON line in --record FILE (when given):
method, path, headers, body (text), body_sha1, and for a multipart upload
its parts (name, filename, content_type, size, sha1). While a "read_rate"
body is being read, FILE.reading holds the number of its bytes read so far,
followed by " done" once the request is recorded (or the read failed).
"""

import argparse
import hashlib
import json
import os
import re
import secrets
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, parse_qs, unquote


class State:
    """Users, albums, photos and uploads; saved to --data DIR when given."""

    def __init__(self, users, data_dir):
        self.lock = threading.Lock()
        self.data_dir = data_dir
        self.users = {}  # name -> {"password", "UID"}
        self.tokens = {}  # access token -> user name
        self.albums = {}  # UID -> album
        self.links = []  # link objects
        self.photos = []  # in order of creation (oldest first)
        self.uploads = {}  # "useruid/token" -> list of files
        self.sequence = 0
        self.requests = []
        self.rules = []
        for name, password in users:
            self.users[name] = {"password": password, "UID": self.new_uid("u")}
        if data_dir:
            self.load()

    def new_uid(self, prefix):
        return prefix + secrets.token_hex(8)

    def state_file(self):
        return os.path.join(self.data_dir, "state.json")

    def load(self):
        os.makedirs(os.path.join(self.data_dir, "files"), exist_ok=True)
        if not os.path.exists(self.state_file()):
            self.save()
            return
        with open(self.state_file(), encoding="utf-8") as f:
            saved = json.load(f)
        for name, user in saved.get("users", {}).items():
            self.users[name] = user
        self.tokens = saved.get("tokens", {})
        self.albums = {album["UID"]: album for album in saved.get("albums", [])}
        self.links = saved.get("links", [])
        self.photos = saved.get("photos", [])
        self.sequence = saved.get("sequence", 0)

    def save(self):
        if not self.data_dir:
            return
        saved = {"users": self.users, "tokens": self.tokens, "albums": list(self.albums.values()),
                 "links": self.links, "photos": self.photos, "sequence": self.sequence}
        temp = self.state_file() + ".tmp"
        with open(temp, "w", encoding="utf-8") as f:
            json.dump(saved, f, indent=1)
        os.replace(temp, self.state_file())

    def public(self):
        return {"users": {n: {"UID": u["UID"]} for n, u in self.users.items()},
                "albums": list(self.albums.values()), "links": self.links,
                "photos": self.photos,
                "uploads": {k: [{"name": f["name"], "size": len(f["content"]),
                                 "sha1": hashlib.sha1(f["content"]).hexdigest()}
                                for f in v] for k, v in self.uploads.items()}}


def parse_multipart(content_type, body):
    """Splits a multipart/form-data body; raises ValueError when malformed."""
    match = re.search(r'boundary="?([^";]+)"?', content_type or "")
    if not match:
        raise ValueError("no boundary")
    delimiter = b"--" + match.group(1).encode("latin-1")
    if not body.startswith(delimiter):
        raise ValueError("body does not start with the boundary")
    parts = []
    position = len(delimiter)
    while True:
        if body[position:position + 2] == b"--":
            return parts
        if body[position:position + 2] != b"\r\n":
            raise ValueError("bad boundary line")
        position += 2
        header_end = body.find(b"\r\n\r\n", position)
        if header_end < 0:
            raise ValueError("part headers not ended")
        headers = {}
        for line in body[position:header_end].split(b"\r\n"):
            key, _, value = line.decode("utf-8", "replace").partition(":")
            headers[key.strip().lower()] = value.strip()
        content_start = header_end + 4
        content_end = body.find(b"\r\n" + delimiter, content_start)
        if content_end < 0:
            raise ValueError("part not ended by the boundary")
        disposition = headers.get("content-disposition", "")
        name = re.search(r'\bname="([^"]*)"', disposition)
        filename = re.search(r'\bfilename="([^"]*)"', disposition)
        parts.append({"name": name.group(1) if name else None,
                      "filename": filename.group(1) if filename else None,
                      "content_type": headers.get("content-type"),
                      "content": body[content_start:content_end]})
        position = content_end + 2 + len(delimiter)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PrismTest/1.0"
    state = None  # set by main
    record_file = None

    def log_message(self, fmt, *args):  # keep stdout for the port line only
        pass

    # ----- plumbing -----
    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        rate = self.read_rate()
        if rate and length:
            data = b""
            self.slow_read = 0
            try:
                while len(data) < length:
                    piece = self.rfile.read(min(65536, length - len(data)))
                    if not piece:
                        break
                    data += piece
                    self.note_slow_read(len(data))
                    time.sleep(len(piece) / rate)
            except OSError:
                self.note_slow_read(len(data), " done")
                raise
            self.slow_read = len(data)
            return data
        return self.rfile.read(length) if length else b""

    slow_read = None  # bytes of a slow body read, once it ended

    def note_slow_read(self, done, end=""):
        """Writes the bytes of the body read so far to RECORD.reading (with
        --record), followed by " done" once the request is recorded or the
        read failed, so that a test can act while a slow read goes on and
        know when the server is through with it."""
        if self.record_file:
            with open(self.record_file + ".reading.new", "w") as out:
                out.write(str(done) + end)
            os.replace(self.record_file + ".reading.new", self.record_file + ".reading")

    def read_rate(self):
        """The "read_rate" of the first rule matching this request, or 0."""
        rule = self.matching_rule(consume=False)
        return rule.get("read_rate", 0) if rule else 0

    def send(self, status, body, headers=None):
        if isinstance(body, (dict, list)):
            data = json.dumps(body).encode("utf-8")
            content_type = "application/json; charset=utf-8"
        else:
            data = body.encode("utf-8") if isinstance(body, str) else body
            content_type = "text/plain; charset=utf-8"
        self.send_response(status)
        extra = dict(headers or {})
        if not any(k.lower() == "content-type" for k in extra):
            extra["Content-Type"] = content_type
        for key, value in extra.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def record(self, body, parts):
        entry = {"time": time.time(), "method": self.command, "path": self.path,
                 "headers": {k: v for k, v in self.headers.items()},
                 "body": body.decode("utf-8", "replace") if not parts else "",
                 "body_size": len(body), "body_sha1": hashlib.sha1(body).hexdigest()}
        if parts is not None:
            entry["parts"] = [{"name": p["name"], "filename": p["filename"],
                               "content_type": p["content_type"], "size": len(p["content"]),
                               "sha1": hashlib.sha1(p["content"]).hexdigest()} for p in parts]
        with self.state.lock:
            self.state.requests.append(entry)
            if self.record_file:
                with open(self.record_file, "a", encoding="utf-8") as f:
                    f.write(json.dumps(entry) + "\n")

    def matching_rule(self, consume=True):
        """The first rule for this request; `consume` counts it against "times"."""
        with self.state.lock:
            for rule in self.state.rules:
                if rule.get("method", self.command).upper() != self.command:
                    continue
                if not re.search(rule.get("path", ""), self.path.lstrip("/")):
                    continue
                if rule.get("times") is not None:
                    if rule["times"] <= 0:
                        continue
                    if consume:
                        rule["times"] -= 1
                return dict(rule)
        return None

    def handle_any(self):
        body = self.read_body()
        split = urlsplit(self.path)
        path = split.path.lstrip("/")
        if path.startswith("_control/"):
            return self.control(path[len("_control/"):], body)
        parts = None
        if self.command == "POST" and "/upload/" in path and \
                "multipart" in self.headers.get("Content-Type", ""):
            try:
                parts = parse_multipart(self.headers.get("Content-Type"), body)
            except ValueError:
                parts = []
        self.record(body, parts)
        if self.slow_read is not None:
            self.note_slow_read(self.slow_read, " done")
            self.slow_read = None
        rule = self.matching_rule()
        if rule is not None and rule.get("pass"):
            # Only delayed: the server's own answer follows.
            time.sleep(rule.get("delay_ms", 0) / 1000.0)
            rule = None
        if rule is not None:
            time.sleep(rule.get("delay_ms", 0) / 1000.0)
            if rule.get("close"):
                self.close_connection = True
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                return
            self.send(rule.get("status", 200), rule.get("body", ""), rule.get("headers"))
            return
        status, answer = self.api(path, parse_qs(split.query, keep_blank_values=True), body, parts)
        self.send(status, answer)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = handle_any

    # ----- control -----
    def control(self, what, body):
        state = self.state
        if what == "requests" and self.command == "GET":
            with state.lock:
                return self.send(200, list(state.requests))
        if what == "state" and self.command == "GET":
            with state.lock:
                return self.send(200, state.public())
        if what == "script" and self.command == "POST":
            try:
                rules = json.loads(body.decode("utf-8"))
            except ValueError as error:
                return self.send(400, {"error": str(error)})
            with state.lock:
                state.rules.extend(rules if isinstance(rules, list) else [rules])
            return self.send(200, {"rules": len(state.rules)})
        if what == "reset" and self.command == "POST":
            with state.lock:
                state.rules.clear()
                state.requests.clear()
            return self.send(200, {})
        return self.send(404, {"error": "unknown control " + what})

    # ----- the REST interface -----
    def api(self, path, query, body, parts):
        state = self.state
        segments = [unquote(s) for s in path.split("/")]
        if segments[:2] != ["api", "v1"]:
            return 404, {"error": "Not found"}
        route = segments[2:]
        if self.command == "POST" and route == ["session"]:
            return self.login(body)
        with state.lock:
            user = state.tokens.get(self.headers.get("X-Auth-Token", ""))
        if user is None:
            return 401, {"error": "Unauthorized"}
        with state.lock:
            result = self.route(user, route, query, body, parts)
            state.save()
        return result

    def login(self, body):
        try:
            request = json.loads(body.decode("utf-8"))
            name, password = request["username"], request["password"]
        except (ValueError, KeyError, TypeError):
            return 400, {"error": "Invalid request"}
        state = self.state
        with state.lock:
            user = state.users.get(name)
            if user is None or user["password"] != password:
                return 401, {"error": "Invalid credentials"}
            token = secrets.token_hex(16)
            state.tokens[token] = name
            state.save()
            return 200, {"access_token": token, "token_type": "Bearer", "expires_in": 1209600,
                         "user": {"UID": user["UID"], "Name": name, "DisplayName": name}}

    def route(self, user, route, query, body, parts):
        state = self.state
        user_uid = state.users[user]["UID"]
        if len(route) == 4 and route[0] == "users" and route[2] == "upload":
            if route[1] != user_uid:
                return 403, {"error": "Permission denied"}
            key = route[1] + "/" + route[3]
            if self.command == "POST":
                files = [p for p in (parts or []) if p["name"] == "files" and p["filename"]]
                if not files:
                    return 400, {"error": "No files uploaded"}
                for p in files:
                    stored = {"name": os.path.basename(p["filename"].replace("\\", "/")),
                              "content_type": p["content_type"], "content": p["content"]}
                    state.uploads.setdefault(key, []).append(stored)
                return 200, {"code": 200, "message": "%d files uploaded" % len(files)}
            if self.command == "PUT":
                try:
                    albums = json.loads(body.decode("utf-8")).get("albums", [])
                except (ValueError, AttributeError):
                    return 400, {"error": "Invalid request"}
                files = state.uploads.pop(key, None)
                if not files:
                    return 404, {"error": "Upload not found"}
                for f in files:
                    self.add_photo(f, [a for a in albums if a in state.albums])
                return 200, {"code": 200, "message": "%d files imported" % len(files)}
        if route == ["albums"] and self.command == "POST":
            try:
                request = json.loads(body.decode("utf-8"))
                title = request["Title"]
            except (ValueError, KeyError, TypeError):
                return 400, {"error": "Invalid request"}
            album = {"UID": state.new_uid("a"), "Title": title,
                     "Favorite": bool(request.get("Favorite")), "Type": "album",
                     "Slug": re.sub(r"[^a-z0-9]+", "-", str(title).lower()).strip("-"),
                     "Photos": []}
            state.albums[album["UID"]] = album
            return 200, album
        if len(route) == 3 and route[0] == "albums" and route[2] == "links" \
                and self.command == "POST":
            if route[1] not in state.albums:
                return 404, {"error": "Album not found"}
            try:
                request = json.loads(body.decode("utf-8"))
                settings = request["link"]
            except (ValueError, KeyError, TypeError):
                return 400, {"error": "Invalid request"}
            link = {"UID": state.new_uid("s"), "ShareUID": route[1],
                    "Token": secrets.token_hex(5), "Slug": settings.get("Slug", ""),
                    "Expires": settings.get("Expires", 0), "MaxViews": settings.get("MaxViews", 0)}
            state.links.append(link)
            return 200, link
        if route == ["photos"] and self.command == "GET":
            album = query.get("s", [""])[0]
            count = int(query.get("count", ["100"])[0] or 100)
            offset = int(query.get("offset", ["0"])[0] or 0)
            photos = [p for p in state.photos if not album or album in p["Albums"]]
            if query.get("order", [""])[0] == "newest":
                photos = sorted(photos, key=lambda p: p["Sequence"], reverse=True)
            return 200, [self.photo_view(p) for p in photos[offset:offset + count]]
        if len(route) == 2 and route[0] == "photos" and self.command == "PUT":
            photo = next((p for p in state.photos if p["UID"] == route[1]), None)
            if photo is None:
                return 404, {"error": "Photo not found"}
            try:
                request = json.loads(body.decode("utf-8"))
            except ValueError:
                return 400, {"error": "Invalid request"}
            if "Title" in request:
                photo["Title"] = request["Title"]
                photo["TitleSrc"] = request.get("TitleSrc", "")
            return 200, self.photo_view(photo)
        return 404, {"error": "Not found"}

    def add_photo(self, stored, albums):
        state = self.state
        state.sequence += 1
        content = stored["content"]
        digest = hashlib.sha1(content).hexdigest()
        now = time.gmtime()
        photo = {"UID": state.new_uid("p"), "Sequence": state.sequence,
                 "FileName": time.strftime("%Y/%m/", now) + stored["name"],
                 "Hash": digest, "Size": len(content), "Mime": stored["content_type"],
                 "Title": "", "TitleSrc": "", "Albums": list(albums),
                 "TakenAt": time.strftime("%Y-%m-%dT%H:%M:%SZ", now)}
        if state.data_dir:
            with open(os.path.join(state.data_dir, "files", photo["UID"]), "wb") as f:
                f.write(content)
        state.photos.append(photo)
        for uid in albums:
            state.albums[uid]["Photos"].append(photo["UID"])

    @staticmethod
    def photo_view(photo):
        return {k: photo[k] for k in ("UID", "FileName", "Hash", "Title", "TitleSrc", "Size",
                                      "Mime", "TakenAt")}


def make_certificate(directory):
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def watch_for_end(parent, watch_stdin, server):
    def parent_gone():
        while os.getppid() == parent:
            time.sleep(0.5)
        server.shutdown_now()

    def stdin_closed():
        while sys.stdin.buffer.read(4096):
            pass
        server.shutdown_now()

    threading.Thread(target=parent_gone, daemon=True).start()
    if watch_stdin:
        threading.Thread(target=stdin_closed, daemon=True).start()


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    tls = None

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a client
        # that never completes it cannot hold up the others.
        if self.tls is not None:
            request.settimeout(60)
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
            request.settimeout(None)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # a client that went away (or a scripted close) is not an error here

    def shutdown_now(self):
        os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--https", action="store_true", help="TLS with a self-signed certificate")
    parser.add_argument("--cert", help="certificate file (PEM); made by openssl when omitted")
    parser.add_argument("--key", help="private key file (PEM)")
    parser.add_argument("--user", action="append", default=[],
                        help="account NAME:PASSWORD (repeatable; default demo:demo)")
    parser.add_argument("--script", help="JSON file with a list of answer rules")
    parser.add_argument("--record", help="append every request as a JSON line to this file")
    parser.add_argument("--data", help="keep the server's state and files in this directory")
    parser.add_argument("--lifetime", type=float, default=900.0, help="seconds before exiting")
    parser.add_argument("--watch-stdin", action="store_true", help="exit when stdin closes")
    options = parser.parse_args()

    users = [tuple(u.split(":", 1)) for u in options.user] or [("demo", "demo")]
    state = State(users, options.data)
    if options.script:
        with open(options.script, encoding="utf-8") as f:
            state.rules = json.load(f)
    Handler.state = state
    Handler.record_file = options.record

    server = Server(("127.0.0.1", options.port), Handler)
    certificate_dir = None
    if options.https:
        cert, key = options.cert, options.key
        if not cert:
            certificate_dir = tempfile.mkdtemp(prefix="prism_cert_")
            cert, key = make_certificate(certificate_dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.tls = context
        if certificate_dir:
            shutil.rmtree(certificate_dir, ignore_errors=True)

    watch_for_end(os.getppid(), options.watch_stdin, server)
    threading.Timer(options.lifetime, server.shutdown_now).start()
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
