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

Profiles and settings. --profile plain (the default) is a small kind server:
every answer as the byte-exact tests expect it. --profile real behaves like a
production Prism server. Each setting below takes its default from the
profile and can be given on the command line (--login-limit 3; booleans as
true/false) or changed while running (POST /_control/settings):
  login_limit      logins in flight per client address (real 10; 0 = none):
                   a login takes a token when it starts and gives it back
                   when it succeeds; a wrong password keeps it. Beyond the
                   limit: 429 {"error":"rate limit exceeded","code":429}
  login_refill_s   seconds for one token to come back (real 60)
  retry_after      Retry-After seconds on those 429s (-1 = none, as real)
  login_delay_ms   the password check's time (real 100); logins overlap
  login_hold       logins wait after the check, holding their token, until
                   it is switched off (lets a test hold N logins in flight)
  lockout_after    requests with an unknown token that lock the client
                   address out (real 60): then 401 to every request and 429
                   to logins, until tokens come back (login_refill_s)
  login_answer     plain: access_token, token_type, expires_in, user;
                   real: also id (the token's old name), session_id,
                   provider, status, config; old: as real without
                   access_token, token_type, expires_in (a pre-2024 server)
  any_token_header X-Session-ID and "Authorization: Bearer" also carry the
                   token (real)
  session_staging  uploads are staged per session and upload token: a PUT
                   from another session finds nothing (404) (real)
  real_messages    the POST answers "N files uploaded in S s", the PUT
                   "Upload has been processed" (plain: "N files uploaded",
                   "N files imported")
  import_file_ms, import_fixed_ms, import_cores
                   the filing PUT imports inside the request: it takes
                   fixed + per-file milliseconds on one of import_cores
                   "cores" shared by all imports (real 20, 50, 2; 0 = none)
  unsupported      comma-separated extensions or MIME types the import skips;
                   the PUT still answers 200 (default none)
  dedup            a file whose SHA-1 is in the library already makes no new
                   photo: the existing one is filed into the PUT's albums
                   (archived ones too, and they stay unlisted) (real)
  order_taken      order=newest / oldest by shooting time, then upload order;
                   order=added by upload, latest first. The shooting time is
                   a JPEG's EXIF DateTimeOriginal, else one given by
                   /_control/taken (by SHA-1, by upload name, a default),
                   else the upload time (real)
  server_names     FileName "YYYY/MM/YYYYMMDD_HHMMSS_XXXXXXXX.ext" from the
                   shooting time and a CRC-32 of the bytes; OriginalName the
                   upload's name; FileRoot "/" (real)
  video_previews   a video (mp4, mov, ... or video/*) lists as two elements
                   with one UID: its JPEG preview (FileName + ".jpg",
                   FileRoot "sidecar", Hash of the preview) first, then
                   itself (real). Paging counts elements.
  real_paging      count required (400 without; <= 0 or > 100000 means
                   100000), offset, headers X-Count, X-Limit, X-Offset;
                   s= naming no album (or a deleted one) is 400 (real)
  top_level_links  link settings read at the top level of the body, a
                   nested "link" ignored; the stored link records what was
                   read under "Settings" (real)
  like_titles      a new album whose title matches an album of the user as
                   an SQL LIKE pattern (% and _, case-insensitive) returns
                   that album, restoring a deleted one (real)
Archived photos are never listed, in either profile.

Control interface (not recorded):
  GET  /_control/requests   every recorded request, oldest first
  GET  /_control/state      users, albums, photos, links, pending uploads
  GET  /_control/counters   logins (all), logins_200/_401/_429 (answered so,
                            answer rules included), logins_in_flight(_max),
                            unknown_token, imports, imported, duplicates,
                            skipped (unsupported)
  GET  /_control/settings   the settings in force
  POST /_control/settings   {"name": value, ...} changes settings
  POST /_control/script     adds answer rules (JSON array of rules)
  POST /_control/reset      drops the rules and the recorded requests
  POST /_control/forget-sessions   drops every session (and staged upload):
                            the old tokens get 401, as after a restart
  POST /_control/album      {"title", "user"?, "favorite"?, "uid"?} -> the
                            new album (with that UID when given)
  POST /_control/delete-album      {"album": UID} marks it deleted
  POST /_control/seed       {"album": UID, "count": N, "taken": time or list
                            of times, "step_s": 0, "ext": "jpg"} files N new
                            distinct photos into the album, the i-th shot at
                            taken + i * step_s -> {"photos": [{UID, Hash,
                            FileName, TakenAt}]}
  POST /_control/archive    {"photo": UID or "sha1": hash, "archived": true}
  POST /_control/taken      {"sha1": hash and/or "name": upload name,
                            "taken": time} or {"default": time or null}:
                            shooting times of later uploads (and of photos
                            already there that match)
Times are "YYYY-MM-DDTHH:MM:SSZ" (also "YYYY-MM-DD HH:MM:SS").

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

sys.dont_write_bytecode = True  # nothing left beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import prism_real  # noqa: E402  (the real server's behaviours, beside this file)


class State:
    """Users, albums, photos and uploads; saved to --data DIR when given."""

    def __init__(self, users, data_dir, settings=None):
        self.lock = threading.Lock()
        self.settings = settings or prism_real.profile_settings("plain")
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
        self.album_owner = {}  # album UID -> user name
        self.taken_by_sha1 = {}  # shooting times given by control calls
        self.taken_by_name = {}
        self.taken_default = None
        self.logins = prism_real.Bucket()
        self.lockout = prism_real.Bucket()
        self.cores = prism_real.Cores()
        self.hold = threading.Condition(self.lock)
        self.counters = {"logins": 0, "logins_200": 0, "logins_401": 0, "logins_429": 0,
                         "logins_in_flight": 0, "logins_in_flight_max": 0, "unknown_token": 0,
                         "imports": 0, "imported": 0, "duplicates": 0, "skipped": 0}
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
        self.album_owner = saved.get("album_owner", {})

    def save(self):
        if not self.data_dir:
            return
        saved = {"users": self.users, "tokens": self.tokens, "albums": list(self.albums.values()),
                 "links": self.links, "photos": self.photos, "sequence": self.sequence,
                 "album_owner": self.album_owner}
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
    # An answer's header and body go out as two writes; with Nagle's
    # algorithm the body would wait for the client's delayed ACK of the
    # header (40 ms on Linux). Production servers send without that delay.
    disable_nagle_algorithm = True
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

    def setting(self, name):
        return self.state.settings[name]

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
            self.count_login(path, rule.get("status", 200))
            self.send(rule.get("status", 200), rule.get("body", ""), rule.get("headers"))
            return
        answer = self.api(path, parse_qs(split.query, keep_blank_values=True), body, parts)
        self.count_login(path, answer[0])
        self.send(*answer)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = handle_any

    def count_login(self, path, status):
        if self.command == "POST" and path == "api/v1/session":
            with self.state.lock:
                counters = self.state.counters
                counters["logins"] += 1
                key = "logins_%d" % status
                counters[key] = counters.get(key, 0) + 1

    # ----- control -----
    def control(self, what, body):
        state = self.state
        if what == "requests" and self.command == "GET":
            with state.lock:
                return self.send(200, list(state.requests))
        if what == "state" and self.command == "GET":
            with state.lock:
                return self.send(200, state.public())
        if what == "counters" and self.command == "GET":
            with state.lock:
                return self.send(200, dict(state.counters))
        if what == "settings" and self.command == "GET":
            with state.lock:
                return self.send(200, dict(state.settings))
        if what == "reset" and self.command == "POST":
            with state.lock:
                state.rules.clear()
                state.requests.clear()
            return self.send(200, {})
        if what == "forget-sessions" and self.command == "POST":
            with state.lock:
                state.tokens.clear()
                state.uploads.clear()
                state.save()
            return self.send(200, {})
        if self.command != "POST":
            return self.send(404, {"error": "unknown control " + what})
        try:
            request = json.loads(body.decode("utf-8") or "null")
        except ValueError as error:
            return self.send(400, {"error": str(error)})
        if what == "script":
            with state.lock:
                state.rules.extend(request if isinstance(request, list) else [request])
            return self.send(200, {"rules": len(state.rules)})
        calls = {"settings": self.control_settings, "seed": self.control_seed,
                 "album": self.control_album, "delete-album": self.control_delete_album,
                 "archive": self.control_archive, "taken": self.control_taken}
        if what not in calls:
            return self.send(404, {"error": "unknown control " + what})
        if not isinstance(request, dict):
            return self.send(400, {"error": "a JSON object expected"})
        with state.lock:
            try:
                answer = calls[what](request)
            except (KeyError, ValueError, TypeError) as error:
                return self.send(400, {"error": "%s: %s" % (type(error).__name__, error)})
            state.save()
            state.hold.notify_all()
        return self.send(200, answer)

    def control_settings(self, request):
        values = {name: prism_real.parse_setting(name, value) for name, value in request.items()}
        self.state.settings.update(values)
        return dict(self.state.settings)

    def control_user(self, request):
        name = request.get("user") or next(iter(self.state.users))
        if name not in self.state.users:
            raise KeyError("no user " + name)
        return name

    def control_album(self, request):
        if request.get("uid") in self.state.albums:
            raise ValueError("album %s exists" % request["uid"])
        return self.new_album(self.control_user(request), request["title"], bool(request.get("favorite")),
                              request.get("uid"))

    def control_delete_album(self, request):
        album = self.state.albums[request["album"]]
        album["DeletedAt"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        return album

    def control_seed(self, request):
        album = request["album"]
        if album not in self.state.albums:
            raise KeyError("no album " + album)
        count = int(request.get("count", 1))
        ext = request.get("ext", "jpg")
        taken = request.get("taken")
        step = int(request.get("step_s", 0))
        created = []
        for i in range(count):
            when = taken[i] if isinstance(taken, list) else \
                prism_real.shifted(prism_real.normal_time(taken), i * step) if taken else None
            if taken and when is None:
                raise ValueError("bad time %r" % taken)
            content = b"\xff\xd8\xff\xe0 seed " + secrets.token_hex(8).encode() + b" %d" % i
            stored = {"name": "seed%04d.%s" % (i, ext), "content": content,
                      "content_type": "video/mp4" if prism_real.is_video("x." + ext, None) else "image/jpeg"}
            photo = self.add_photo(stored, [album], taken=prism_real.normal_time(when) if when else None)
            created.append({"UID": photo["UID"], "Hash": photo["Hash"], "FileName": photo["FileName"],
                            "TakenAt": photo["TakenAt"]})
        return {"photos": created}

    def control_archive(self, request):
        photo = self.find_photo(request)
        photo["Archived"] = bool(request.get("archived", True))
        return photo

    def control_taken(self, request):
        state = self.state
        if "default" in request:
            state.taken_default = prism_real.normal_time(request["default"]) if request["default"] else None
        taken = request.get("taken")
        if taken is None:
            return {"default": state.taken_default}
        when = prism_real.normal_time(taken)
        if when is None:
            raise ValueError("bad time %r" % taken)
        if "sha1" in request:
            state.taken_by_sha1[request["sha1"].lower()] = when
        if "name" in request:
            state.taken_by_name[request["name"]] = when
        changed = [p for p in state.photos if p["Hash"] == request.get("sha1", "").lower() or
                   ("name" in request and p.get("OriginalName", p["FileName"].rsplit("/", 1)[-1]) ==
                    request["name"])]
        for photo in changed:
            photo["TakenAt"] = when
        return {"photos": [p["UID"] for p in changed]}

    def find_photo(self, request):
        for photo in self.state.photos:
            if photo["UID"] == request.get("photo") or photo["Hash"] == request.get("sha1"):
                return photo
        raise KeyError("no such photo")

    # ----- the REST interface -----
    def session_token(self):
        token = self.headers.get("X-Auth-Token", "")
        if not token and self.setting("any_token_header"):
            token = self.headers.get("X-Session-ID", "")
            bearer = self.headers.get("Authorization", "")
            if not token and bearer.lower().startswith("bearer "):
                token = bearer[7:].strip()
        return token

    def locked_out(self):
        """True when the client address used up its requests with unknown
        tokens (the caller holds the state lock)."""
        size = self.setting("lockout_after")
        return size > 0 and self.state.lockout.empty(self.client_address[0], size,
                                                     self.setting("login_refill_s"))

    def api(self, path, query, body, parts):
        state = self.state
        segments = [unquote(s) for s in path.split("/")]
        if segments[:2] != ["api", "v1"]:
            return 404, {"error": "Not found"}
        route = segments[2:]
        if self.command == "POST" and route == ["session"]:
            return self.login(body)
        token = self.session_token()
        with state.lock:
            user = None if self.locked_out() else state.tokens.get(token)
            if user is None:
                state.counters["unknown_token"] += 1
                if self.setting("lockout_after") > 0:
                    state.lockout.take(self.client_address[0], self.setting("lockout_after"),
                                       self.setting("login_refill_s"))
        if user is None:
            return 401, {"error": "Unauthorized"}
        if self.command == "PUT" and len(route) == 4 and route[0] == "users" and route[2] == "upload":
            return self.file_upload(user, token, route, body)
        with state.lock:
            result = self.route(user, token, route, query, body, parts)
            state.save()
        return result

    def login(self, body):
        try:
            request = json.loads(body.decode("utf-8"))
            name, password = request["username"], request["password"]
        except (ValueError, KeyError, TypeError):
            return 400, {"error": "Invalid request"}
        state = self.state
        address = self.client_address[0]
        limit = self.setting("login_limit")
        with state.lock:
            if self.locked_out() or \
                    (limit > 0 and not state.logins.take(address, limit, self.setting("login_refill_s"))):
                retry = self.setting("retry_after")
                return 429, {"error": "rate limit exceeded", "code": 429}, \
                    ({"Retry-After": str(retry)} if retry >= 0 else None)
            counters = state.counters
            counters["logins_in_flight"] += 1
            counters["logins_in_flight_max"] = max(counters["logins_in_flight_max"],
                                                   counters["logins_in_flight"])
        # The password check, without the state lock: logins overlap.
        time.sleep(self.setting("login_delay_ms") / 1000.0)
        with state.lock:
            while self.setting("login_hold"):
                state.hold.wait()
            state.counters["logins_in_flight"] -= 1
            user = state.users.get(name)
            if user is None or user["password"] != password:
                return 401, {"error": "Invalid credentials"}  # the login token stays taken
            if limit > 0:
                state.logins.give_back(address, limit)
            token = secrets.token_hex(16)
            state.tokens[token] = name
            state.save()
            user_view = {"UID": user["UID"], "Name": name, "DisplayName": name}
            kind = self.setting("login_answer")
            if kind == "plain":
                return 200, {"access_token": token, "token_type": "Bearer", "expires_in": 1209600,
                             "user": user_view}
            answer = {"id": token, "session_id": prism_real.session_id(token)}
            if kind == "real":
                answer.update({"access_token": token, "token_type": "Bearer", "expires_in": 1209600})
            answer.update({"provider": "local", "status": "ok", "user": user_view,
                           "config": {"name": "Prism", "mode": "user", "readonly": False}})
            return 200, answer

    def staging_key(self, token, route):
        key = route[1] + "/" + route[3]
        return key + "@" + token if self.setting("session_staging") else key

    def file_upload(self, user, token, route, body):
        """The filing PUT: imports the staged files of this upload (and, with
        session staging, this session) into the albums it names."""
        state = self.state
        with state.lock:
            if route[1] != state.users[user]["UID"]:
                return 403, {"error": "Permission denied"}
        try:
            albums = json.loads(body.decode("utf-8")).get("albums", [])
        except (ValueError, AttributeError):
            return 400, {"error": "Invalid request"}
        with state.lock:
            files = state.uploads.pop(self.staging_key(token, route), None)
            if not files:
                return 404, {"error": "Upload not found"}
            state.counters["imports"] += 1
        cost = self.setting("import_fixed_ms") + self.setting("import_file_ms") * len(files)
        if cost > 0:
            state.cores.run(self.setting("import_cores"), cost / 1000.0)
        with state.lock:
            for f in files:
                if prism_real.unsupported(self.setting("unsupported"), f["name"], f["content_type"]):
                    state.counters["skipped"] += 1
                    continue
                self.add_photo(f, [a for a in albums if a in state.albums])
            state.save()
        if self.setting("real_messages"):
            return 200, {"code": 200, "message": "Upload has been processed"}
        return 200, {"code": 200, "message": "%d files imported" % len(files)}

    def route(self, user, token, route, query, body, parts):
        state = self.state
        user_uid = state.users[user]["UID"]
        if len(route) == 4 and route[0] == "users" and route[2] == "upload" and self.command == "POST":
            if route[1] != user_uid:
                return 403, {"error": "Permission denied"}
            started = time.monotonic()
            files = [p for p in (parts or []) if p["name"] == "files" and p["filename"]]
            if not files:
                return 400, {"error": "No files uploaded"}
            for p in files:
                stored = {"name": os.path.basename(p["filename"].replace("\\", "/")),
                          "content_type": p["content_type"], "content": p["content"]}
                state.uploads.setdefault(self.staging_key(token, route), []).append(stored)
            if self.setting("real_messages"):
                return 200, {"code": 200, "message": "%d files uploaded in %d s" %
                             (len(files), int(time.monotonic() - started))}
            return 200, {"code": 200, "message": "%d files uploaded" % len(files)}
        if route == ["albums"] and self.command == "POST":
            try:
                request = json.loads(body.decode("utf-8"))
                title = request["Title"]
            except (ValueError, KeyError, TypeError):
                return 400, {"error": "Invalid request"}
            if self.setting("like_titles"):
                for album in state.albums.values():
                    if state.album_owner.get(album["UID"]) == user and \
                            prism_real.like(str(title), album["Title"]):
                        album.pop("DeletedAt", None)
                        return 200, album
            return 200, self.new_album(user, title, bool(request.get("Favorite")))
        if len(route) == 3 and route[0] == "albums" and route[2] == "links" \
                and self.command == "POST":
            if route[1] not in state.albums:
                return 404, {"error": "Album not found"}
            try:
                request = json.loads(body.decode("utf-8"))
                settings = request if self.setting("top_level_links") else request["link"]
                settings.get  # an object, or the request is invalid
            except (ValueError, KeyError, TypeError, AttributeError):
                return 400, {"error": "Invalid request"}
            link = {"UID": state.new_uid("s"), "ShareUID": route[1],
                    "Token": secrets.token_hex(5), "Slug": settings.get("Slug", ""),
                    "Expires": settings.get("Expires", 0), "MaxViews": settings.get("MaxViews", 0)}
            if self.setting("top_level_links"):
                # What was read, so that tests can tell a nested "link" was ignored.
                state.links.append(dict(link, Settings={k: v for k, v in settings.items()
                                                        if k not in ("uid", "link")}))
            else:
                state.links.append(link)
            return 200, link
        if route == ["photos"] and self.command == "GET":
            return self.list_photos(query)
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

    def new_album(self, user, title, favorite, uid=None):
        state = self.state
        album = {"UID": uid or state.new_uid("a"), "Title": title,
                 "Favorite": favorite, "Type": "album",
                 "Slug": re.sub(r"[^a-z0-9]+", "-", str(title).lower()).strip("-"),
                 "Photos": []}
        state.albums[album["UID"]] = album
        state.album_owner[album["UID"]] = user
        return album

    def list_photos(self, query):
        state = self.state
        album = query.get("s", [""])[0]
        real = self.setting("real_paging")
        if real:
            try:
                count = int(query["count"][0])
                offset = max(0, int(query.get("offset", ["0"])[0] or 0))
            except (KeyError, ValueError):
                return 400, {"error": "count required"}
            if count <= 0 or count > 100000:
                count = 100000
            if album and (album not in state.albums or "DeletedAt" in state.albums[album]):
                return 400, {"error": "Album not found"}
        else:
            count = int(query.get("count", ["100"])[0] or 100)
            offset = int(query.get("offset", ["0"])[0] or 0)
        photos = [p for p in state.photos if (not album or album in p["Albums"]) and not p.get("Archived")]
        order = query.get("order", [""])[0]
        if self.setting("order_taken"):
            if order in ("newest", "oldest"):
                photos = sorted(photos, key=lambda p: (p["TakenAt"], p["Sequence"]), reverse=order == "newest")
            elif order == "added":
                photos = sorted(photos, key=lambda p: p["Sequence"], reverse=True)
        elif order == "newest":
            photos = sorted(photos, key=lambda p: p["Sequence"], reverse=True)
        elements = [e for p in photos for e in self.elements(p)][offset:offset + count]
        if real:
            return 200, elements, {"X-Count": str(len(elements)), "X-Limit": str(count),
                                   "X-Offset": str(offset)}
        return 200, elements

    def add_photo(self, stored, albums, taken=None):
        """Files the stored upload into `albums`: a new photo, or with
        de-duplication the photo that holds the same bytes already."""
        state = self.state
        content = stored["content"]
        digest = hashlib.sha1(content).hexdigest()
        if self.setting("dedup"):
            existing = next((p for p in state.photos if p["Hash"] == digest), None)
            if existing is not None:
                state.counters["duplicates"] += 1
                for uid in albums:
                    if uid not in existing["Albums"]:
                        existing["Albums"].append(uid)
                        state.albums[uid]["Photos"].append(existing["UID"])
                return existing
        state.counters["imported"] += 1
        state.sequence += 1
        now = time.gmtime()
        uploaded = time.strftime("%Y-%m-%dT%H:%M:%SZ", now)
        if self.setting("order_taken") and taken is None:
            taken = prism_real.exif_taken(content) or state.taken_by_sha1.get(digest) or \
                state.taken_by_name.get(stored["name"]) or state.taken_default
        taken = taken or uploaded
        if self.setting("server_names"):
            file_name = prism_real.server_name(taken, content, stored["name"])
        else:
            file_name = time.strftime("%Y/%m/", now) + stored["name"]
        photo = {"UID": state.new_uid("p"), "Sequence": state.sequence,
                 "FileName": file_name,
                 "Hash": digest, "Size": len(content), "Mime": stored["content_type"],
                 "Title": "", "TitleSrc": "", "Albums": list(albums),
                 "TakenAt": taken}
        if self.setting("server_names"):
            photo["OriginalName"] = stored["name"]
        if self.setting("video_previews") and prism_real.is_video(stored["name"], stored["content_type"]):
            photo["Preview"] = hashlib.sha1(prism_real.preview_bytes(digest)).hexdigest()
        if state.data_dir:
            with open(os.path.join(state.data_dir, "files", photo["UID"]), "wb") as f:
                f.write(content)
        state.photos.append(photo)
        for uid in albums:
            state.albums[uid]["Photos"].append(photo["UID"])
        return photo

    @staticmethod
    def photo_view(photo):
        view = {k: photo[k] for k in ("UID", "FileName", "Hash", "Title", "TitleSrc", "Size",
                                      "Mime", "TakenAt")}
        if "OriginalName" in photo:
            view.update({"OriginalName": photo["OriginalName"], "FileRoot": "/"})
        return view

    def elements(self, photo):
        """The listed files of a photo: a video's preview first, then the video."""
        view = self.photo_view(photo)
        if "Preview" not in photo:
            return [view]
        preview = dict(view, FileName=view["FileName"] + ".jpg", Hash=photo["Preview"],
                       Mime="image/jpeg", FileRoot="sidecar",
                       Size=len(prism_real.preview_bytes(photo["Hash"])))
        return [preview, view]


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
    parser.add_argument("--profile", choices=("plain", "real"), default="plain",
                        help="the defaults of the settings below")
    for name, (_, plain, real, text) in prism_real.SETTINGS.items():
        parser.add_argument("--" + name.replace("_", "-"), dest="setting_" + name, metavar="VALUE",
                            help="%s (plain %s, real %s)" % (text, plain, real))
    options = parser.parse_args()

    settings = prism_real.profile_settings(options.profile)
    for name in prism_real.SETTINGS:
        value = getattr(options, "setting_" + name)
        if value is not None:
            try:
                settings[name] = prism_real.parse_setting(name, value)
            except ValueError as error:
                parser.error(str(error))
    users = [tuple(u.split(":", 1)) for u in options.user] or [("demo", "demo")]
    state = State(users, options.data, settings)
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
