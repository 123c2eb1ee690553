#!/usr/bin/python3
"""The test Prism server's real profile over real HTTP: the server is started
as a child process on a free port, talked to with http.client, and stops by
itself when its standard input closes.

    python3 -m unittest tests/peers/test_prism_server.py
"""

import hashlib
import http.client
import json
import os
import re
import struct
import subprocess
import sys
import threading
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing left beside the sources
sys.path.insert(0, HERE)
import prism_real  # noqa: E402

DEADLINE_S = 20  # for waits on an event; never reached when things work


class Peer:
    """One server process and a small client for it."""

    def __init__(self, *args, users=("studio:segreta", "altro:altro")):
        argv = [sys.executable, os.path.join(HERE, "prism_server.py"), "--watch-stdin", "--lifetime", "120"]
        for user in users:
            argv += ["--user", user]
        self.process = subprocess.Popen(argv + list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()

    def request(self, method, path, body=None, headers=None, token=None):
        """(status, headers, parsed JSON body or text)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        headers = dict(headers or {})
        if token is not None:
            headers["X-Auth-Token"] = token
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode("utf-8")
            headers.setdefault("Content-Type", "application/json")
        try:
            connection.request(method, path, body=body, headers=headers)
            answer = connection.getresponse()
            data = answer.read()
            try:
                value = json.loads(data.decode("utf-8"))
            except ValueError:
                value = data.decode("utf-8", "replace")
            return answer.status, {k.lower(): v for k, v in answer.getheaders()}, value
        finally:
            connection.close()

    def control(self, what, body=None):
        status, _, value = self.request("POST" if body is not None else "GET", "/_control/" + what, body)
        if status != 200:
            raise AssertionError("control %s: %s %r" % (what, status, value))
        return value

    def login(self, name="studio", password="segreta"):
        return self.request("POST", "/api/v1/session", {"username": name, "password": password})

    def session(self, name="studio", password="segreta"):
        """(token, user UID) of a new session."""
        status, _, answer = self.login(name, password)
        if status != 200:
            raise AssertionError("login: %s %r" % (status, answer))
        return answer.get("access_token", answer.get("id")), answer["user"]["UID"]

    def upload(self, token, user, upload, files):
        """POSTs files [(name, bytes)] under the upload token."""
        boundary = "b" + uuid.uuid4().hex
        body = b""
        for name, content in files:
            kind = "video/mp4" if prism_real.is_video(name, None) else "image/jpeg"
            body += ("--%s\r\nContent-Disposition: form-data; name=\"files\"; filename=\"%s\"\r\n"
                     "Content-Type: %s\r\n\r\n" % (boundary, name, kind)).encode() + content + b"\r\n"
        body += ("--%s--\r\n" % boundary).encode()
        return self.request("POST", "/api/v1/users/%s/upload/%s" % (user, upload), body,
                            {"Content-Type": "multipart/form-data; boundary=" + boundary}, token)

    def file(self, token, user, upload, albums):
        return self.request("PUT", "/api/v1/users/%s/upload/%s" % (user, upload), {"albums": albums},
                            token=token)

    def publish(self, token, user, album, name, content):
        """Uploads and files one file; the PUT's (status, headers, answer)."""
        upload = uuid.uuid4().hex[:6]
        status, _, answer = self.upload(token, user, upload, [(name, content)])
        if status != 200:
            raise AssertionError("upload: %s %r" % (status, answer))
        return self.file(token, user, upload, [album])

    def album(self, token, title):
        status, _, answer = self.request("POST", "/api/v1/albums", {"Title": title, "Favorite": False},
                                         token=token)
        if status != 200:
            raise AssertionError("album: %s %r" % (status, answer))
        return answer["UID"]

    def photos(self, token, album, count="120", offset="0", order="newest"):
        query = "&".join("%s=%s" % (k, v) for k, v in (("count", count), ("offset", offset),
                                                         ("order", order), ("s", album)) if v is not None)
        return self.request("GET", "/api/v1/photos?" + query, token=token)

    def wait_for(self, what, condition):
        """Waits until condition(counters) holds; fails after DEADLINE_S."""
        deadline = time.monotonic() + DEADLINE_S
        while time.monotonic() < deadline:
            counters = self.control("counters")
            if condition(counters):
                return counters
            time.sleep(0.01)  # polling interval of the wait for the event, not a synchronisation
        raise AssertionError("not reached: " + what)


def jpeg(note=b"", exif=None):
    """A small JPEG-like file; `exif` is a ready APP1 payload."""
    app1 = b""
    if exif is not None:
        app1 = b"\xff\xe1" + struct.pack(">H", len(exif) + 2) + exif
    return b"\xff\xd8" + app1 + b"\xff\xe0\x00\x06JFIF" + note + b"\xff\xda\x00\x02" + b"\x00" * 64 + b"\xff\xd9"


def exif_block(taken, order="<", inline=False, exif_pointer=None):
    """An "Exif\\0\\0" APP1 payload whose EXIF IFD holds DateTimeOriginal."""
    text = taken.encode("ascii") + b"\x00"
    magic = b"II" if order == "<" else b"MM"
    ifd0 = 8
    exif_ifd = ifd0 + 2 + 12 + 4
    value_offset = exif_ifd + 2 + 12 + 4
    tiff = magic + struct.pack(order + "HI", 42, ifd0)
    tiff += struct.pack(order + "H", 1) + struct.pack(order + "HHII", 0x8769, 4, 1,
                                                      exif_ifd if exif_pointer is None else exif_pointer)
    tiff += struct.pack(order + "I", 0)
    if inline:
        tiff += struct.pack(order + "H", 1) + struct.pack(order + "HHI", 0x9003, 2, len(text)) + \
            text[:4].ljust(4, b"\x00")
    else:
        tiff += struct.pack(order + "H", 1) + struct.pack(order + "HHII", 0x9003, 2, len(text), value_offset)
    tiff += struct.pack(order + "I", 0) + (b"" if inline else text)
    return b"Exif\x00\x00" + tiff


def sha1(data):
    return hashlib.sha1(data).hexdigest()


class PeerTest(unittest.TestCase):
    args = ("--profile", "real", "--login-delay-ms", "0", "--import-file-ms", "0", "--import-fixed-ms", "0")

    def setUp(self):
        self.peer = Peer(*self.args)
        self.addCleanup(self.peer.close)


class ExifTimes(unittest.TestCase):
    def test_shooting_time_from_exif_or_none(self):
        good = "2020:01:02 03:04:05"
        cases = [
            ("little-endian", jpeg(exif=exif_block(good)), "2020-01-02T03:04:05Z"),
            ("big-endian", jpeg(exif=exif_block(good, ">")), "2020-01-02T03:04:05Z"),
            ("no EXIF", jpeg(), None),
            ("not a JPEG", b"GIF89a" + b"\x00" * 40, None),
            ("empty", b"", None),
            ("truncated EXIF", jpeg(exif=exif_block(good)[:30]), None),
            ("bad TIFF magic", jpeg(exif=exif_block(good).replace(b"II*\x00", b"II+\x00")), None),
            ("EXIF pointer past the end", jpeg(exif=exif_block(good, exif_pointer=5000)), None),
            ("not a date", jpeg(exif=exif_block("2020:13:45 99:04:05")), None),
            ("blank date", jpeg(exif=exif_block("    :  :     :  :  ")), None),
            ("too short to hold a date", jpeg(exif=exif_block("202", inline=True)), None),
            ("segment length 0", b"\xff\xd8\xff\xe1\x00\x00Exif\x00\x00", None),
        ]
        for name, content, expected in cases:
            with self.subTest(name):
                self.assertEqual(prism_real.exif_taken(content), expected)


class LoginLimit(PeerTest):
    args = PeerTest.args + ("--login-limit", "3", "--login-refill-s", "60")

    def login_in_thread(self, results, index):
        results[index] = self.peer.login()[0]

    def test_logins_in_flight_beyond_the_limit_get_429_and_successes_give_tokens_back(self):
        self.peer.control("settings", {"login_hold": True})
        results = [None] * 3
        threads = [threading.Thread(target=self.login_in_thread, args=(results, i)) for i in range(3)]
        for t in threads:
            t.start()
        self.peer.wait_for("3 logins in flight", lambda c: c["logins_in_flight"] == 3)
        status, headers, answer = self.peer.login()
        self.assertEqual((status, answer), (429, {"error": "rate limit exceeded", "code": 429}))
        self.assertNotIn("retry-after", headers)
        self.peer.control("settings", {"login_hold": False})
        for t in threads:
            t.join()
        self.assertEqual(results, [200, 200, 200])
        # Each success gave its token back: the bucket is full again.
        self.assertEqual([self.peer.login()[0] for _ in range(5)], [200] * 5)
        counters = self.peer.control("counters")
        self.assertEqual((counters["logins"], counters["logins_429"], counters["logins_200"]), (9, 1, 8))

    def test_wrong_passwords_keep_their_tokens_until_they_come_back(self):
        self.assertEqual([self.peer.login(password="no")[0] for _ in range(3)], [401] * 3)
        self.assertEqual(self.peer.login()[0], 429)
        self.peer.control("settings", {"login_refill_s": 0.2})
        deadline = time.monotonic() + DEADLINE_S
        while self.peer.login()[0] != 200:
            self.assertLess(time.monotonic(), deadline, "no token came back")
            time.sleep(0.05)  # polling interval

    def test_retry_after_when_asked_for(self):
        self.peer.control("settings", {"retry_after": 7, "login_limit": 1})
        self.peer.login(password="no")
        status, headers, _ = self.peer.login()
        self.assertEqual((status, headers.get("retry-after")), (429, "7"))


class LoginDelay(PeerTest):
    args = PeerTest.args[:2] + ("--login-delay-ms", "1000")

    def test_logins_overlap_during_the_password_check(self):
        results = [None] * 3
        times = [None] * 3

        def login(i):
            start = time.monotonic()
            results[i] = self.peer.login()[0]
            times[i] = time.monotonic() - start

        threads = [threading.Thread(target=login, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        # The control calls answer while the logins check passwords: the
        # check runs without the server's lock, all three at once.
        self.peer.wait_for("3 logins in their check", lambda c: c["logins_in_flight"] == 3)
        for t in threads:
            t.join()
        self.assertEqual(results, [200] * 3)
        self.assertTrue(all(t >= 1.0 for t in times), times)


class Lockout(PeerTest):
    args = PeerTest.args + ("--lockout-after", "5")

    def test_unknown_tokens_lock_the_address_out(self):
        token, _ = self.peer.session()
        self.assertEqual(self.peer.photos(token, "")[0], 200)
        for _ in range(5):
            self.assertEqual(self.peer.photos("not-issued", "")[0], 401)
        self.assertEqual(self.peer.photos(token, "")[0], 401)
        self.assertEqual(self.peer.login()[0], 429)
        self.peer.control("settings", {"login_refill_s": 0.05})
        deadline = time.monotonic() + DEADLINE_S
        while self.peer.photos(token, "")[0] != 200:
            self.assertLess(time.monotonic(), deadline, "never unlocked")
            time.sleep(0.05)  # polling interval


class Sessions(PeerTest):
    def test_login_answers_and_token_headers(self):
        status, _, answer = self.peer.login()
        self.assertEqual(status, 200)
        token = answer["access_token"]
        self.assertEqual(answer["id"], token)
        self.assertEqual(answer["session_id"], prism_real.session_id(token))
        self.assertEqual((answer["token_type"], answer["expires_in"]), ("Bearer", 1209600))
        self.assertTrue(answer["user"]["UID"])
        self.assertIn("config", answer)
        self.assertEqual(self.peer.login(password="no")[1:], self.peer.login(password="no")[1:])
        self.assertEqual(self.peer.login(password="no")[2], {"error": "Invalid credentials"})
        cases = [
            ("X-Auth-Token", {"X-Auth-Token": token}, 200),
            ("X-Session-ID", {"X-Session-ID": token}, 200),
            ("Bearer", {"Authorization": "Bearer " + token}, 200),
            ("a token not issued", {"X-Auth-Token": "0" * 32}, 401),
            ("no token", {}, 401),
        ]
        for name, headers, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.peer.request("GET", "/api/v1/photos?count=1", headers=headers)[0],
                                 expected)
        self.peer.control("forget-sessions", {})
        self.assertEqual(self.peer.photos(token, "")[0], 401)

    def test_an_old_server_sends_only_id(self):
        self.peer.control("settings", {"login_answer": "old"})
        status, _, answer = self.peer.login()
        self.assertEqual(status, 200)
        self.assertNotIn("access_token", answer)
        self.assertEqual(self.peer.photos(answer["id"], "")[0], 200)

    def test_uploads_are_staged_per_session(self):
        first, user = self.peer.session()
        second, _ = self.peer.session()
        album = self.peer.album(first, "Staging")
        status, _, answer = self.peer.upload(first, user, "abc123", [("a.jpg", jpeg(b"a"))])
        self.assertEqual(status, 200)
        self.assertRegex(answer["message"], r"^1 files uploaded in \d+ s$")
        self.assertEqual(self.peer.file(second, user, "abc123", [album])[0], 404)
        self.assertEqual(self.peer.file(first, user, "abc123", [album])[:3:2],
                         (200, {"code": 200, "message": "Upload has been processed"}))


class Listing(PeerTest):
    def setUp(self):
        super().setUp()
        self.token, self.user = self.peer.session()

    def names(self, album, order="newest", **paging):
        status, _, answer = self.peer.photos(self.token, album, order=order, **paging)
        self.assertEqual(status, 200, answer)
        return [e.get("OriginalName") for e in answer]

    def test_newest_by_shooting_time_then_upload(self):
        album = self.peer.album(self.token, "Ordine")
        given_by_sha1 = jpeg(b"by sha1")
        self.peer.control("taken", {"sha1": sha1(given_by_sha1), "taken": "2022-06-01T00:00:00Z"})
        self.peer.control("taken", {"name": "by_name.jpg", "taken": "2019-03-03 03:03:03"})
        files = [("exif.JPG", jpeg(exif=exif_block("2020:01:01 10:00:00"))),
                 ("by_sha1.jpg", given_by_sha1),
                 ("by_name.jpg", jpeg(b"by name")),
                 ("upload_time.jpg", jpeg(b"none")),
                 ("bad_exif.jpg", jpeg(exif=b"Exif\x00\x00MM\x00*garbage"))]
        for name, content in files:
            self.assertEqual(self.peer.publish(self.token, self.user, album, name, content)[0], 200)
        self.peer.control("taken", {"default": "2000-01-01T00:00:00Z"})
        self.peer.publish(self.token, self.user, album, "default.jpg", jpeg(b"default"))
        self.assertEqual(self.names(album), ["bad_exif.jpg", "upload_time.jpg", "by_sha1.jpg", "exif.JPG",
                                             "by_name.jpg", "default.jpg"])
        self.assertEqual(self.names(album, order="added"),
                         ["default.jpg", "bad_exif.jpg", "upload_time.jpg", "by_name.jpg", "by_sha1.jpg",
                          "exif.JPG"])
        elements = self.peer.photos(self.token, album)[2]
        exif = next(e for e in elements if e["OriginalName"] == "exif.JPG")
        self.assertRegex(exif["FileName"], r"^2020/01/20200101_100000_[0-9A-F]{8}\.jpg$")
        self.assertEqual(exif["TakenAt"], "2020-01-01T10:00:00Z")

    def test_seeded_album_pages_and_paging_headers(self):
        album = self.peer.album(self.token, "Seminato")
        seeded = self.peer.control("seed", {"album": album, "count": 130, "taken": "2030-01-01T00:00:00Z",
                                            "step_s": 60})["photos"]
        self.peer.publish(self.token, self.user, album, "mine.jpg", jpeg(b"mine"))
        status, headers, first = self.peer.photos(self.token, album)
        self.assertEqual(len(first), 120)
        self.assertEqual((headers["x-count"], headers["x-limit"], headers["x-offset"]), ("120", "120", "0"))
        self.assertEqual(first[0]["UID"], seeded[-1]["UID"])
        self.assertNotIn("mine.jpg", [e["OriginalName"] for e in first])
        status, headers, second = self.peer.photos(self.token, album, offset="120")
        self.assertEqual([e["OriginalName"] for e in second][-1], "mine.jpg")
        self.assertEqual((len(second), headers["x-count"]), (11, "11"))
        cases = [("count 0 means all", "0", 200, "100000"), ("count -5", "-5", 200, "100000"),
                 ("count too large", "100001", 200, "100000"), ("no count", None, 400, None),
                 ("count not a number", "x", 400, None)]
        for name, count, expected, limit in cases:
            with self.subTest(name):
                status, headers, _ = self.peer.photos(self.token, album, count=count)
                self.assertEqual((status, headers.get("x-limit")), (expected, limit))

    def test_albums_in_s_and_like_titles(self):
        album = self.peer.album(self.token, "Matrimonio Rossi")
        other_token, _ = self.peer.session("altro", "altro")
        cases = [("same title", "Matrimonio Rossi", True), ("other case", "matrimonio ROSSI", True),
                 ("underscore", "Matrimonio_Rossi", True), ("percent", "Matr%", True),
                 ("another title", "Matrimonio Bianchi", False)]
        for name, title, same in cases:
            with self.subTest(name):
                self.assertEqual(self.peer.album(self.token, title) == album, same)
        self.assertNotEqual(self.peer.album(other_token, "Matrimonio Rossi"), album)
        self.assertEqual(self.peer.photos(self.token, album)[0], 200)
        self.assertEqual(self.peer.photos(self.token, "")[0], 200)
        self.assertEqual(self.peer.photos(self.token, "anotknown")[0], 400)
        self.peer.control("delete-album", {"album": album})
        self.assertEqual(self.peer.photos(self.token, album)[0], 400)
        self.assertEqual(self.peer.album(self.token, "Matrimonio Rossi"), album)
        self.assertEqual(self.peer.photos(self.token, album)[0], 200)

    def test_a_video_lists_its_preview_then_itself(self):
        album = self.peer.album(self.token, "Video")
        video = b"\x00\x00\x00\x18ftypmp42" + b"v" * 500
        self.peer.publish(self.token, self.user, album, "before.jpg", jpeg(b"before"))
        self.peer.publish(self.token, self.user, album, "Clip.MP4", video)
        elements = self.peer.photos(self.token, album)[2]
        self.assertEqual(len(elements), 3)
        preview, own = elements[0], elements[1]
        self.assertEqual(preview["UID"], own["UID"])
        self.assertRegex(own["FileName"], r"^\d{4}/\d\d/\d{8}_\d{6}_[0-9A-F]{8}\.mp4$")
        self.assertEqual(preview["FileName"], own["FileName"] + ".jpg")
        self.assertEqual((preview["FileRoot"], own["FileRoot"]), ("sidecar", "/"))
        self.assertEqual(own["Hash"], sha1(video))
        self.assertEqual(preview["Hash"], sha1(prism_real.preview_bytes(sha1(video))))
        self.assertEqual(own["OriginalName"], "Clip.MP4")
        paged = [self.peer.photos(self.token, album, count="1", offset=str(i))[2][0]["Hash"] for i in range(3)]
        self.assertEqual(paged, [e["Hash"] for e in elements])

    def test_duplicates_file_the_existing_photo_archived_ones_stay_unlisted(self):
        albums = [self.peer.album(self.token, title) for title in ("Uno", "Due", "Tre")]
        same = jpeg(b"the same bytes")
        self.peer.publish(self.token, self.user, albums[0], "first.jpg", same)
        self.peer.publish(self.token, self.user, albums[1], "again.jpg", same)
        photos = self.peer.control("state")["photos"]
        self.assertEqual(len(photos), 1)
        self.assertEqual(photos[0]["Albums"], albums[:2])
        self.assertEqual(self.names(albums[1]), ["first.jpg"])
        self.peer.control("archive", {"photo": photos[0]["UID"]})
        self.assertEqual(self.peer.publish(self.token, self.user, albums[2], "third.jpg", same)[0], 200)
        photos = self.peer.control("state")["photos"]
        self.assertEqual((len(photos), photos[0]["Albums"]), (1, albums))
        self.assertEqual(self.names(albums[2]), [])
        self.assertEqual(self.peer.control("counters")["duplicates"], 2)


class Imports(PeerTest):
    args = PeerTest.args[:2] + ("--login-delay-ms", "0", "--import-fixed-ms", "300", "--import-file-ms", "0",
                                "--import-cores", "1", "--unsupported", "xyz,image/x-raw")

    def test_the_filing_put_imports_before_it_answers_on_shared_cores(self):
        token, user = self.peer.session()
        album = self.peer.album(token, "Import")
        results = [None] * 2

        def publish(i):
            results[i] = self.peer.publish(token, user, album, "p%d.jpg" % i, jpeg(b"%d" % i))[0]

        start = time.monotonic()
        threads = [threading.Thread(target=publish, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, [200, 200])
        self.assertGreaterEqual(time.monotonic() - start, 0.6)  # one core: one import after the other
        self.assertEqual(len(self.peer.photos(token, album)[2]), 2)

    def test_unsupported_files_import_nothing_yet_answer_200(self):
        token, user = self.peer.session()
        album = self.peer.album(token, "Niente")
        for name in ("scan.xyz", "SCAN.XYZ"):
            with self.subTest(name):
                status, _, answer = self.peer.publish(token, user, album, name, b"not an image")
                self.assertEqual((status, answer), (200, {"code": 200, "message": "Upload has been processed"}))
        self.assertEqual(self.peer.photos(token, album)[2], [])
        self.assertEqual(self.peer.control("counters")["skipped"], 2)


class Links(unittest.TestCase):
    def test_where_link_settings_are_read(self):
        body = {"uid": None, "Slug": "top", "Expires": 5, "link": {"Slug": "nested", "MaxViews": 9}}
        cases = [("real", ("--profile", "real", "--login-delay-ms", "0"), ("top", 5, 0)),
                 ("plain", (), ("nested", 0, 9))]
        for name, args, expected in cases:
            with self.subTest(name):
                peer = Peer(*args)
                self.addCleanup(peer.close)
                token, _ = peer.session()
                album = peer.album(token, "Link")
                status, _, link = peer.request("POST", "/api/v1/albums/%s/links" % album,
                                               dict(body, uid=album), token=token)
                self.assertEqual(status, 200)
                self.assertEqual((link["Slug"], link["Expires"], link["MaxViews"]), expected)
                self.assertEqual(link["ShareUID"], album)
                stored = peer.control("state")["links"][0]
                if name == "real":
                    self.assertEqual(stored["Settings"], {"Slug": "top", "Expires": 5})


class Plain(unittest.TestCase):
    def test_the_plain_profile_answers_as_before(self):
        peer = Peer()
        self.addCleanup(peer.close)
        status, _, answer = peer.login()
        self.assertEqual(sorted(answer), ["access_token", "expires_in", "token_type", "user"])
        token, user = answer["access_token"], answer["user"]["UID"]
        album = peer.album(token, "Semplice")
        self.assertEqual(peer.upload(token, user, "tok123", [("a.jpg", jpeg())])[2],
                         {"code": 200, "message": "1 files uploaded"})
        self.assertEqual(peer.file(token, user, "tok123", [album])[2], {"code": 200, "message": "1 files imported"})
        status, headers, elements = peer.photos(token, album)
        self.assertNotIn("x-count", headers)
        self.assertEqual(sorted(elements[0]), ["FileName", "Hash", "Mime", "Size", "TakenAt", "Title",
                                               "TitleSrc", "UID"])
        self.assertTrue(re.match(r"^\d{4}/\d\d/a\.jpg$", elements[0]["FileName"]))
        self.peer_same_bytes_make_a_new_photo(peer, token, user, album)

    def peer_same_bytes_make_a_new_photo(self, peer, token, user, album):
        peer.publish(token, user, album, "b.jpg", jpeg())
        self.assertEqual(len(peer.control("state")["photos"]), 2)


if __name__ == "__main__":
    unittest.main()
