"""The behaviours of a production Prism server that prism_server.py can switch
on: the settings and their profiles, the login limiter, shooting times read
from EXIF, the server's own file names and video previews, and the "cores"
that filing imports share. Standard library only; see prism_server.py for
how each setting shows on the wire.
"""

import binascii
import calendar
import hashlib
import re
import struct
import threading
import time

# name -> (type, plain, real, help). "plain" is the small kind server the
# byte-exact tests were written against; "real" turns on every behaviour.
SETTINGS = {
    "login_limit": (int, 0, 10, "logins in flight per client address (0 = no limit)"),
    "login_refill_s": (float, 60.0, 60.0, "seconds for one login token (and lock-out token) to come back"),
    "login_delay_ms": (int, 0, 100, "time the password check takes"),
    "login_hold": (bool, False, False, "logins wait, holding their token, until this is switched off"),
    "retry_after": (int, -1, -1, "Retry-After seconds on a 429 (-1 = no header)"),
    "lockout_after": (int, 0, 60, "requests with an unknown token before the address is locked out (0 = never)"),
    "login_answer": (str, "plain", "real", "plain: access_token, user; real: also id, session_id, config; "
                     "old: id but no access_token"),
    "any_token_header": (bool, False, True, "X-Session-ID and Authorization: Bearer count like X-Auth-Token"),
    "session_staging": (bool, False, True, "staged uploads belong to the session that sent them"),
    "real_messages": (bool, False, True, "upload and filing answers as the real server words them"),
    "import_file_ms": (int, 0, 20, "import time per file of a filing PUT"),
    "import_fixed_ms": (int, 0, 50, "fixed import time of a filing PUT"),
    "import_cores": (int, 0, 2, "filing imports that run at once (0 = no limit)"),
    "unsupported": (str, "", "", "comma-separated extensions or MIME types the import skips"),
    "dedup": (bool, False, True, "a file already in the library files the existing photo, no new one"),
    "order_taken": (bool, False, True, "order=newest by shooting time, order=added by upload"),
    "server_names": (bool, False, True, "FileName is the server's own name, the upload's in OriginalName"),
    "video_previews": (bool, False, True, "a video lists its JPEG preview first, then itself"),
    "real_paging": (bool, False, True, "count required and clamped, X-Count/X-Limit/X-Offset, 400 for an unknown s="),
    "top_level_links": (bool, False, True, "link settings read at the top level of the body"),
    "like_titles": (bool, False, True, "a new album whose title matches one (SQL LIKE) returns that album"),
}

VIDEO_EXTENSIONS = {"mp4", "mov", "m4v", "avi", "mkv", "webm"}


def profile_settings(profile):
    index = {"plain": 1, "real": 2}[profile]
    return {name: spec[index] for name, spec in SETTINGS.items()}


def parse_setting(name, value):
    """The typed value of a setting given as text or JSON value; raises
    KeyError for an unknown name, ValueError for a bad value."""
    kind = SETTINGS[name][0]
    if kind is bool:
        if isinstance(value, bool):
            return value
        if str(value).lower() in ("1", "true", "yes", "on"):
            return True
        if str(value).lower() in ("0", "false", "no", "off"):
            return False
        raise ValueError("%s: not a boolean: %r" % (name, value))
    if name == "login_answer" and value not in ("plain", "real", "old"):
        raise ValueError("login_answer: plain, real or old")
    return kind(value)


class Bucket:
    """Token buckets per client address: `size` tokens, one coming back every
    `refill_s` seconds. Not locked: the caller holds the state lock."""

    def __init__(self):
        self.tokens = {}  # address -> (tokens, time of the last refill)

    def level(self, address, size, refill_s):
        now = time.monotonic()
        tokens, since = self.tokens.get(address, (float(size), now))
        if refill_s > 0:
            tokens = min(float(size), tokens + (now - since) / refill_s)
        else:
            tokens = float(size)
        self.tokens[address] = (tokens, now)
        return tokens

    def take(self, address, size, refill_s):
        """True when a token was there and is now taken."""
        tokens = self.level(address, size, refill_s)
        if tokens < 1.0:
            return False
        self.tokens[address] = (tokens - 1.0, self.tokens[address][1])
        return True

    def give_back(self, address, size):
        tokens, since = self.tokens.get(address, (float(size), time.monotonic()))
        self.tokens[address] = (min(float(size), tokens + 1.0), since)

    def empty(self, address, size, refill_s):
        return self.level(address, size, refill_s) < 1.0


class Cores:
    """The import "cores": at most `count` imports run at once (0 = any)."""

    def __init__(self):
        self.condition = threading.Condition()
        self.busy = 0

    def run(self, count, seconds):
        with self.condition:
            while count > 0 and self.busy >= count:
                self.condition.wait()
            self.busy += 1
        try:
            time.sleep(seconds)
        finally:
            with self.condition:
                self.busy -= 1
                self.condition.notify_all()


def normal_time(text):
    """A time given as "YYYY-MM-DDTHH:MM:SS[Z]", "YYYY-MM-DD HH:MM:SS" or the
    EXIF "YYYY:MM:DD HH:MM:SS", as "YYYY-MM-DDTHH:MM:SSZ"; None when it is
    none of these or not a real date."""
    match = re.fullmatch(r"\s*(\d{4})[-:](\d\d)[-:](\d\d)[T ](\d\d):(\d\d):(\d\d)(?:\.\d+)?Z?\s*",
                         str(text))
    if not match:
        return None
    fields = [int(g) for g in match.groups()]
    try:
        stamp = calendar.timegm(time.struct_time(fields + [0, 1, -1]))
        if time.gmtime(stamp)[:6] != tuple(fields):
            return None
    except (ValueError, OverflowError):
        return None
    return "%04d-%02d-%02dT%02d:%02d:%02dZ" % tuple(fields)


def shifted(taken, seconds):
    stamp = calendar.timegm(time.strptime(taken, "%Y-%m-%dT%H:%M:%SZ")) + seconds
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(stamp))


def exif_taken(content):
    """DateTimeOriginal of a JPEG's EXIF block as a normal time, or None when
    the file is no JPEG, has no EXIF, or the EXIF is malformed."""
    try:
        return _exif_taken(content)
    except (IndexError, struct.error, ValueError, UnicodeDecodeError):
        return None


def _exif_taken(content):
    if content[:2] != b"\xff\xd8":
        return None
    position = 2
    while position + 4 <= len(content):
        if content[position] != 0xFF:
            return None
        marker = content[position + 1]
        if marker in (0xD9, 0xDA):  # end of image, start of scan: no EXIF before the image data
            return None
        length = struct.unpack(">H", content[position + 2:position + 4])[0]
        if length < 2:
            return None
        segment = content[position + 4:position + 2 + length]
        if marker == 0xE1 and segment[:6] == b"Exif\x00\x00":
            return _tiff_date(segment[6:])
        position += 2 + length
    return None


def _tiff_date(tiff):
    order = {b"II": "<", b"MM": ">"}.get(tiff[:2])
    if order is None or struct.unpack(order + "H", tiff[2:4])[0] != 42:
        return None

    def entries(offset):
        count = struct.unpack(order + "H", tiff[offset:offset + 2])[0]
        for i in range(count):
            start = offset + 2 + 12 * i
            tag, kind, number = struct.unpack(order + "HHI", tiff[start:start + 8])
            yield tag, kind, number, tiff[start + 8:start + 12]

    first = struct.unpack(order + "I", tiff[4:8])[0]
    exif = next((struct.unpack(order + "I", raw)[0] for tag, _, _, raw in entries(first) if tag == 0x8769),
                None)
    if exif is None:
        return None
    for tag, kind, number, raw in entries(exif):
        if tag == 0x9003 and kind == 2:  # DateTimeOriginal, ASCII
            if number <= 4:
                text = raw[:number]
            else:
                offset = struct.unpack(order + "I", raw)[0]
                text = tiff[offset:offset + number]
                if len(text) < number:
                    return None
            return normal_time(text.split(b"\x00")[0].decode("ascii"))
    return None


def extension(name):
    return name.rsplit(".", 1)[1].lower() if "." in name else ""


def is_video(name, content_type):
    return extension(name) in VIDEO_EXTENSIONS or (content_type or "").lower().startswith("video/")


def unsupported(setting, name, content_type):
    listed = {item.strip().lower() for item in setting.split(",") if item.strip()}
    return extension(name) in listed or (content_type or "").lower() in listed


def server_name(taken, content, name):
    """"YYYY/MM/YYYYMMDD_HHMMSS_XXXXXXXX.ext" from the shooting time and a
    checksum of the bytes, the upload's extension in lower case."""
    stamp = time.strptime(taken, "%Y-%m-%dT%H:%M:%SZ")
    ext = extension(name)
    return "%s_%08X%s" % (time.strftime("%Y/%m/%Y%m%d_%H%M%S", stamp), binascii.crc32(content),
                          "." + ext if ext else "")


def preview_bytes(video_sha1):
    """The JPEG the server makes of a video (stand-in bytes, one per video)."""
    return b"\xff\xd8\xff\xe0" + b"preview of " + video_sha1.encode("ascii") + b"\xff\xd9"


def like(pattern, text):
    """SQL LIKE with % and _, case-insensitive, no escape character."""
    expression = "".join(".*" if c == "%" else "." if c == "_" else re.escape(c) for c in pattern)
    return re.fullmatch(expression, text, re.IGNORECASE | re.DOTALL) is not None


def session_id(token):
    return hashlib.sha256(token.encode("ascii")).hexdigest()
