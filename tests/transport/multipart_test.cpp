#include "transport/Multipart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"
#include "tests/support/TestSupport.h"
#include "transport/HttpClient.h"

namespace velmora {
namespace {

using test::TempDir;

constexpr const char* kBoundary = "--------092612134501123";

// Sets LC_ALL for the lifetime of the object, restoring the old value.
class LocaleScope {
 public:
  explicit LocaleScope(const std::string& name) {
    if (const char* old = std::getenv("LC_ALL")) old_ = old;
    ::setenv("LC_ALL", name.c_str(), 1);
  }
  ~LocaleScope() {
    if (old_)
      ::setenv("LC_ALL", old_->c_str(), 1);
    else
      ::unsetenv("LC_ALL");
  }

 private:
  std::optional<std::string> old_;
};

// Reads the whole body in pieces of `piece` bytes.
std::string ReadAll(BodyStream& body, size_t piece) {
  std::string out;
  std::vector<char> buffer(piece);
  for (;;) {
    size_t n = body.Read(buffer.data(), buffer.size());
    if (n == 0) break;
    out.append(buffer.data(), n);
    if (n < piece) {
      // Fewer bytes than asked only at the end of the body.
      EXPECT_EQ(body.Read(buffer.data(), buffer.size()), 0u);
      break;
    }
  }
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string UploadHeader(const std::string& encodedFileName, const std::string& type = "image/jpeg") {
  return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"files\"; filename=\"" +
         encodedFileName + "\"\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
}

std::string Closing() { return std::string("\r\n--") + kBoundary + "--\r\n"; }

TEST(MultipartBoundaryTest, MonthDayYearTimeWithMilliseconds) {
  struct Case {
    LocalDateTime when;
    const char* boundary;
  } cases[] = {
      {{2012, 9, 26, 13, 45, 1, 123}, "--------092612134501123"},
      {{2009, 1, 2, 0, 0, 0, 7}, "--------010209000000007"},
      {{2100, 12, 31, 23, 59, 59, 999}, "--------123100235959999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.boundary);
    EXPECT_EQ(MultipartBoundary(c.when), c.boundary);
  }
}

TEST(MultipartBoundaryTest, NewBodyTakesTheLocalTime) {
  LocalDateTime before = NowLocal();
  MultipartFormData body;
  LocalDateTime after = NowLocal();
  ASSERT_EQ(body.Boundary().size(), 23u);
  // Between the two readings of the clock (same hour on both sides; the
  // fields are in descending order of weight from the hour on).
  if (before.hour == after.hour && before.day == after.day) {
    std::string b = MultipartBoundary(before), a = MultipartBoundary(after);
    EXPECT_LE(b.substr(14), body.Boundary().substr(14));
    EXPECT_GE(a.substr(14), body.Boundary().substr(14));
    EXPECT_EQ(b.substr(0, 14), body.Boundary().substr(0, 14));
  }
  EXPECT_EQ(body.RequestContentType(), "multipart/form-data; boundary=" + body.Boundary());
}

TEST(HeaderCharsetTest, ChosenByThePrimaryLanguageOfTheLocale) {
  struct Case {
    const char* locale;
    const char* charset;
  } cases[] = {
      {"zh_CN.UTF-8", "GB2312"},
      {"zh_SG", "GB2312"},
      {"zh_TW.UTF-8", "Big5"},
      {"zh_HK", "Big5"},
      {"ja_JP.UTF-8", "ISO-2022-JP"},
      {"ko_KR.EUC-KR", "csEUCKR"},
      {"ru_RU.KOI8-R", "KOI8-R"},
      {"uk_UA.UTF-8", "windows-1251"},
      {"it_IT.UTF-8", "UTF-8"},
      {"en_US", "UTF-8"},
      {"C", "UTF-8"},
      {"", "UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    EXPECT_EQ(HeaderCharsetFor(PrimaryLanguageOf(c.locale)), c.charset);
  }
}

// Names -> the exact text between the quotation marks, with UTF-8 words.
TEST(EncodeHeaderNameTest, Utf8Names) {
  struct Case {
    const char* name;
    const char* encoded;
  } cases[] = {
      {"IMG_0001.JPG", "IMG_0001.JPG"},
      {"files", "files"},
      {"holiday 2024 v1.2.mp4", "holiday 2024 v1.2.mp4"},
      {"a=b; c.jpg", "a=b; c.jpg"},
      {"", ""},
      // An accented word alone is encoded; the plain words and blanks around it stay.
      {"Foto di Niccolò al mare.jpg", "Foto di =?UTF-8?B?TmljY29sw7I=?= al mare.jpg"},
      // Consecutive words that need encoding go in one run, blanks included.
      {"Perché è così.jpg", "=?UTF-8?B?UGVyY2jDqSDDqCBjb3PDrC5qcGc=?="},
      {"è\tè", "=?UTF-8?B?w6gJw6g=?="},
      // Two runs split by a plain word.
      {"è a è", "=?UTF-8?B?w6g=?= a =?UTF-8?B?w6g=?="},
      // Leading and trailing blanks are copied.
      {"  è ", "  =?UTF-8?B?w6g=?= "},
      // 100 bytes: words of 45, 45 and 10 bytes, joined by CR LF and a blank.
      {"àèìòùàèìòùàèìòùàèìòùàèìòùàèìòùàèìòùàèìòùàèìòùàèìòù",
       "=?UTF-8?B?w6DDqMOsw7LDucOgw6jDrMOyw7nDoMOow6zDssO5w6DDqMOsw7LDucOgw6jD?=\r\n"
       " =?UTF-8?B?rMOyw7nDoMOow6zDssO5w6DDqMOsw7LDucOgw6jDrMOyw7nDoMOow6zDssO5?=\r\n"
       " =?UTF-8?B?w6DDqMOsw7LDuQ==?="},
      // Exactly 45 bytes fit one word.
      {"àèìòùàèìòùàèìòùàèìòùàè.", "=?UTF-8?B?w6DDqMOsw7LDucOgw6jDrMOyw7nDoMOow6zDssO5w6DDqMOsw7LDucOgw6gu?="},
      // Text that reads as an encoded-word is encoded itself ("=" needs encoding).
      {"=?UTF-8?B?YWJj?=.jpg", "=?UTF-8?B?PT9VVEYtOD9CP1lXSmo/PS5qcGc=?="},
      {"x =?iso-8859-1?q?a?= y=1", "x =?UTF-8?B?PT9pc28tODg1OS0xP3E/YT89IHk9MQ==?="},
      // Quotation marks, CR and LF are escaped so the header line stays whole.
      {"my \"best\"\r\nphoto.jpg", "my %22best%22%0D%0Aphoto.jpg"},
      {"\"\r\nContent-Type: text/html", "%22%0D%0AContent-Type: text/html"},
      // Other control characters are encoded like any byte outside 32..126.
      {"a\x01z", "=?UTF-8?B?YQF6?="},
      // Invalid UTF-8 becomes "?".
      {"bad\xff.jpg", "bad?.jpg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string encoded = EncodeHeaderName(c.name, "UTF-8");
    EXPECT_EQ(encoded, c.encoded);
    // Never a quotation mark, and a line break only as a folding joint.
    EXPECT_EQ(encoded.find('"'), std::string::npos);
    for (size_t i = encoded.find('\r'); i != std::string::npos; i = encoded.find('\r', i + 1))
      EXPECT_EQ(encoded.substr(i, 4), "\r\n =");
  }
}

TEST(EncodeHeaderNameTest, LongWordsInOtherCharsets) {
  // windows-1251: 75 - 19 leaves 56 base64 characters, 42 bytes per word.
  std::string kyiv;
  for (int i = 0; i < 12; ++i) kyiv += "Київ";
  EXPECT_EQ(EncodeHeaderName(kyiv, "windows-1251"),
            "=?windows-1251?B?yui/4srov+LK6L/iyui/4srov+LK6L/iyui/4srov+LK6L/iyui/4sro?=\r\n"
            " =?windows-1251?B?v+LK6L/i?=");
  // Big5: 75 - 11 leaves 64 characters, 48 bytes per word.
  std::string photos;
  for (int i = 0; i < 25; ++i) photos += "照";
  EXPECT_EQ(EncodeHeaderName(photos, "Big5"),
            "=?Big5?B?t9O307fTt9O307fTt9O307fTt9O307fTt9O307fTt9O307fTt9O307fTt9O307fT?=\r\n"
            " =?Big5?B?t9M=?=");
}

TEST(ConvertUtf8ToTest, UnconvertibleCharactersBecomeQuestionMarks) {
  struct Case {
    const char* text;
    const char* charset;
    std::string bytes;
  } cases[] = {
      {"Фото", "KOI8-R", "\xe6\xcf\xd4\xcf"},
      {"è.jpg", "KOI8-R", "?.jpg"},
      // The stateful charset switches back and forth around the "?".
      {"写é真", "ISO-2022-JP", "\x1b$B<L\x1b(B?\x1b$B??\x1b(B"},
      {"사진", "csEUCKR", "\xbb\xe7\xc1\xf8"},
      {"abc\xc3", "UTF-8", "abc?"},
      {"é", "NO-SUCH-CHARSET", "?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ConvertUtf8To(c.text, c.charset), c.bytes);
  }
}

TEST(ResolvePartContentTypeTest, CharsetTakenOutAndDefaults) {
  struct Case {
    const char* type;
    const char* fileName;
    const char* resolved;
    const char* charset;
  } cases[] = {
      {"image/jpeg", "a.jpg", "image/jpeg", ""},
      {"video/mp4", "a.txt", "video/mp4", ""},
      {"text/plain", "a.txt", "text/plain", "us-ascii"},
      {"text/plain; charset=utf-8", "a", "text/plain", "utf-8"},
      {"text/html; CHARSET=\"iso-8859-1\"; format=flowed", "a", "text/html; format=flowed", "iso-8859-1"},
      {"application/xml; charset=utf-8", "a", "application/xml", "utf-8"},
      {"", "Photo.JPG", "image/jpeg", ""},
      {"", "clip.mp4", "video/mp4", ""},
      {"", "notes.txt", "text/plain", "us-ascii"},
      {"", "data.unknown-ext", "application/octet-stream", ""},
      {"", "noextension", "application/octet-stream", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " / " + c.fileName);
    PartContentType t = ResolvePartContentType(c.type, c.fileName);
    EXPECT_EQ(t.type, c.resolved);
    EXPECT_EQ(t.charset, c.charset);
  }
}

TEST(FormatPartHeaderTest, OptionalLinesAndUnsafeTypes) {
  MultipartPartHeader part;
  part.fieldName = "note";
  EXPECT_EQ(FormatPartHeader("B", part), "--B\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\n");
  part.fileName = "n.txt";
  part.contentType = "text/plain";
  part.charset = "utf-8";
  part.transferEncoding = "8bit";
  EXPECT_EQ(FormatPartHeader("B", part),
            "--B\r\nContent-Disposition: form-data; name=\"note\"; filename=\"n.txt\"\r\n"
            "Content-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n");
  // Header texts go out one character per byte: Latin-1 as its byte, above
  // U+00FF and line breaks as "?".
  part.contentType = "image/jpé\r\nX-Evil: 1";
  part.charset = "x\"y";
  part.transferEncoding = "b€";
  EXPECT_EQ(
      FormatPartHeader("B", part),
      "--B\r\nContent-Disposition: form-data; name=\"note\"; filename=\"n.txt\"\r\n"
      "Content-Type: image/jp\xe9??X-Evil: 1; charset=\"x%22y\"\r\nContent-Transfer-Encoding: b?\r\n\r\n");
}

class MultipartBodyTest : public ::testing::Test {
 protected:
  std::string MakeFile(const std::string& name, const std::string& bytes) {
    std::string path = dir_ / name;
    test::WriteFileBytes(path, bytes);
    return path;
  }
  TempDir dir_;
  LocaleScope locale_{"it_IT.UTF-8"};
};

TEST_F(MultipartBodyTest, UploadBodyByteForByte) {
  std::string path = MakeFile("photo.jpg", "JPEG");
  MultipartFormData body(kBoundary);
  body.AddFile("files", path, "image/jpeg");
  std::string expected = UploadHeader("photo.jpg") + "JPEG" + Closing();
  EXPECT_EQ(body.Size(), expected.size());
  EXPECT_EQ(ReadAll(body, 32768), expected);
}

TEST_F(MultipartBodyTest, SizeEqualsBytesReadForFilesOfEverySize) {
  struct Case {
    size_t size;
    size_t piece;
  } cases[] = {
      {0, 32768},
      {0, 1},
      {1, 32768},
      {1, 3},
      {32769, 32768},
      {32769, 1000},
      {5 * 1000 * 1000, 32768},
      {5 * 1000 * 1000, 1 << 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes read in pieces of " + std::to_string(c.piece));
    std::string content = RandomBytes(c.size, static_cast<unsigned>(c.size));
    std::string path = MakeFile("clip.mp4", content);
    MultipartFormData body(kBoundary);
    body.AddFile("files", path, "video/mp4");
    std::string expected = UploadHeader("clip.mp4", "video/mp4") + content + Closing();
    EXPECT_EQ(body.Size(), expected.size());
    std::string read = ReadAll(body, c.piece);
    EXPECT_EQ(read.size(), body.Size());
    EXPECT_TRUE(read == expected);
  }
}

TEST_F(MultipartBodyTest, RewindRestartsAtTheFirstByte) {
  std::string content = RandomBytes(100000, 7);
  MultipartFormData body(kBoundary);
  body.AddFile("files", MakeFile("a.mov", content), "video/quicktime");
  std::string expected = UploadHeader("a.mov", "video/quicktime") + content + Closing();
  // Rewind in the header, in the content, at the end.
  for (size_t stop : {10ul, 50000ul, expected.size()}) {
    SCOPED_TRACE(stop);
    std::vector<char> part(stop);
    ASSERT_EQ(body.Read(part.data(), part.size()), stop);
    EXPECT_EQ(std::string(part.data(), stop), expected.substr(0, stop));
    body.Rewind();
    EXPECT_TRUE(ReadAll(body, 4096) == expected);
    body.Rewind();
  }
}

TEST_F(MultipartBodyTest, SeveralPartsInOrder) {
  MultipartFormData body(kBoundary);
  body.AddFile("files", MakeFile("one.jpg", "1"), "image/jpeg");
  body.AddFile("other", MakeFile("two", ""), "");
  std::string expected =
      UploadHeader("one.jpg") + "1\r\n--" + kBoundary +
      "\r\nContent-Disposition: form-data; name=\"other\"; filename=\"two\"\r\n"
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
      Closing();
  EXPECT_EQ(body.Size(), expected.size());
  EXPECT_EQ(ReadAll(body, 5), expected);
}

TEST_F(MultipartBodyTest, BodyWithoutPartsIsTheClosingLine) {
  MultipartFormData body(kBoundary);
  EXPECT_EQ(body.Size(), 23u + 6u);
  EXPECT_EQ(ReadAll(body, 100), std::string("--") + kBoundary + "--\r\n");
}

TEST_F(MultipartBodyTest, FileNameWithoutDirectoryAndEncodedByLocale) {
  struct Case {
    const char* locale;
    const char* fileName;
    const char* encoded;
  } cases[] = {
      {"it_IT.UTF-8", "Perché è così.jpg", "=?UTF-8?B?UGVyY2jDqSDDqCBjb3PDrC5qcGc=?="},
      {"ru_RU.UTF-8", "Фото отпуска.jpg", "=?KOI8-R?B?5s/UzyDP1NDV08vBLmpwZw==?="},
      {"uk_UA.UTF-8", "Київ.jpg", "=?windows-1251?B?yui/4i5qcGc=?="},
      {"ja_JP.UTF-8", "写真.jpg", "=?ISO-2022-JP?B?GyRCPEw/PxsoQi5qcGc=?="},
      {"ko_KR.UTF-8", "사진.jpg", "=?csEUCKR?B?u+fB+C5qcGc=?="},
      {"zh_CN.UTF-8", "照片.jpg", "=?GB2312?B?1dXGrC5qcGc=?="},
      {"zh_TW.UTF-8", "照片.jpg", "=?Big5?B?t9Ok+S5qcGc=?="},
      {"ru_RU.UTF-8", "plain name.jpg", "plain name.jpg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    LocaleScope scope(c.locale);
    std::string sub = dir_ / "sub";
    ::mkdir(sub.c_str(), 0700);
    std::string path = sub + "/" + c.fileName;
    test::WriteFileBytes(path, "x");
    MultipartFormData body(kBoundary);
    body.AddFile("files", path, "image/jpeg");
    EXPECT_EQ(ReadAll(body, 65536), UploadHeader(c.encoded) + "x" + Closing());
  }
}

TEST_F(MultipartBodyTest, OpenFailuresRaiseEFOpenError) {
  std::string cwd = std::filesystem::current_path().string();
  struct Case {
    std::string path;
    std::string message;
  } cases[] = {
      {dir_ / "missing.jpg", "Cannot open file \"" + dir_ / "missing.jpg" + "\". No such file or directory"},
      {dir_ / "./sub/../missing.jpg",
       "Cannot open file \"" + dir_ / "missing.jpg" + "\". No such file or directory"},
      {"relative-missing.jpg",
       "Cannot open file \"" + cwd + "/relative-missing.jpg\". No such file or directory"},
      {dir_.Path(), "Cannot open file \"" + dir_.Path() + "\". Is a directory"},
      {"", "Cannot open file \"\". No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    MultipartFormData body(kBoundary);
    test::ExpectRaises<EFOpenError>([&] { body.AddFile("files", c.path, "image/jpeg"); }, c.message,
                                    "EFOpenError");
    // The failed part is not in the body.
    EXPECT_EQ(body.Size(), 23u + 6u);
  }
}

TEST_F(MultipartBodyTest, FifoIsRefusedWithoutBlocking) {
  std::string path = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  MultipartFormData body(kBoundary);
  test::ExpectRaises<EFOpenError>([&] { body.AddFile("files", path, ""); },
                                  "Cannot open file \"" + path + "\". Not a regular file");
}

// A writer that takes an exclusive lock (flock(1), or a POSIX record lock as
// lockf takes it) is refused while the body holds the file, and let in after.
TEST_F(MultipartBodyTest, WritersAreDeniedWhileTheFileIsHeld) {
  std::string path = MakeFile("held.jpg", "data");
  auto flockWriter = [&] { return test::RunProcess({"/usr/bin/flock", "-n", "-x", path, "true"}).exitCode; };
  auto lockfWriter = [&] {
    return test::RunProcess({"/usr/bin/python3", "-c",
                             "import fcntl,sys\n"
                             "f=open(sys.argv[1],'r+b')\n"
                             "try: fcntl.lockf(f, fcntl.LOCK_EX|fcntl.LOCK_NB)\n"
                             "except OSError: sys.exit(1)\n",
                             path})
        .exitCode;
  };
  {
    MultipartFormData body(kBoundary);
    body.AddFile("files", path, "image/jpeg");
    EXPECT_EQ(flockWriter(), 1);
    EXPECT_EQ(lockfWriter(), 1);
    // Another reader is welcome.
    MultipartFormData second(kBoundary);
    EXPECT_NO_THROW(second.AddFile("files", path, "image/jpeg"));
  }
  EXPECT_EQ(flockWriter(), 0);
  EXPECT_EQ(lockfWriter(), 0);
}

TEST_F(MultipartBodyTest, FileLockedByAWriterCannotBeAdded) {
  std::string path = MakeFile("busy.jpg", "data");
  struct Case {
    const char* how;
    const char* lockCall;
  } cases[] = {{"flock", "fcntl.flock(f, fcntl.LOCK_EX)"}, {"lockf", "fcntl.lockf(f, fcntl.LOCK_EX)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    test::BackgroundProcess writer({"/usr/bin/python3", "-c",
                                    std::string("import fcntl,sys,time\n"
                                                "f=open(sys.argv[1],'r+b')\n") +
                                        c.lockCall + "\nprint('locked', flush=True)\ntime.sleep(120)\n",
                                    path});
    ASSERT_EQ(writer.ReadLine(60), "locked");
    MultipartFormData body(kBoundary);
    test::ExpectRaises<EFOpenError>(
        [&] { body.AddFile("files", path, "image/jpeg"); },
        "Cannot open file \"" + path + "\". The file is locked by another process");
  }
}

TEST_F(MultipartBodyTest, FileShortenedWhileSendingFailsTheRead) {
  std::string path = MakeFile("shrinks.mp4", RandomBytes(100000, 3));
  MultipartFormData body(kBoundary);
  body.AddFile("files", path, "video/mp4");
  std::vector<char> buffer(32768);
  ASSERT_EQ(body.Read(buffer.data(), buffer.size()), buffer.size());
  ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
  test::ExpectRaises<EStreamError>(
      [&] { ReadAll(body, 32768); },
      "Cannot read file \"" + path + "\". The file became shorter while it was sent");
}

// An independent reader (Python's email parser) gets the file back exactly.
TEST_F(MultipartBodyTest, PythonEmailParserReadsTheFileBack) {
  struct Case {
    const char* fileName;
    size_t size;
  } cases[] = {{"clip.mp4", 300000},
               {"Niccolò e Caterina – perché così tante lettere accentate.mp4", 1},
               {"empty.mp4", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileName);
    std::string content = RandomBytes(c.size, 11);
    // Line ends and delimiter look-alikes inside the content must not confuse a reader.
    if (c.size > 1000) content.replace(500, 20, std::string("\r\n--") + kBoundary);
    std::string path = MakeFile(c.fileName, content);
    MultipartFormData body;
    body.AddFile("files", path, "video/mp4");
    std::string bodyPath = dir_ / "body.bin";
    test::WriteFileBytes(bodyPath, ReadAll(body, 32768));
    test::ProcessResult sum = test::RunProcess({"/usr/bin/sha256sum", path});
    ASSERT_EQ(sum.exitCode, 0);
    test::ProcessResult parsed =
        test::RunProcess({"/usr/bin/python3", test::SourcePath("tests/peers/multipart_reader.py"), bodyPath,
                          body.RequestContentType()});
    ASSERT_EQ(parsed.exitCode, 0) << parsed.out << parsed.err;
    EXPECT_EQ(parsed.out, std::string("{\"name\": \"files\", \"filename\": \"") + c.fileName +
                              "\", \"type\": \"video/mp4\", \"charset\": null, \"size\": " +
                              std::to_string(content.size()) + ", \"sha256\": \"" + sum.out.substr(0, 64) +
                              "\", \"defects\": []}\n");
  }
}

// The whole upload through the HTTP client: an independent sink reads exactly
// "Content-Length" bytes, finds nothing after them, and gets the file back.
TEST_F(MultipartBodyTest, UploadThroughTheHttpClientArrivesWhole) {
  std::string content = RandomBytes(3 * 1000 * 1000 + 17, 5);
  std::string path = MakeFile("Gita a Forlì.mp4", content);
  test::ProcessResult sum = test::RunProcess({"/usr/bin/sha256sum", path});
  ASSERT_EQ(sum.exitCode, 0);
  int port = test::FreePort();
  test::BackgroundProcess sink(
      {"/usr/bin/python3", test::SourcePath("tests/peers/multipart_sink.py"), std::to_string(port)});
  ASSERT_EQ(sink.ReadLine(60), "ready");

  HttpClient client;
  client.SetConnectTimeout(60000);
  client.SetReadTimeout(60000);
  client.ResetRequestHeaders();
  client.SetContentType("multipart/form-data");
  MultipartFormData body;
  body.AddFile("files", path, "video/mp4");
  std::string answer =
      client.Post("http://127.0.0.1:" + std::to_string(port) + "/api/v1/users/u/upload/abc123", body,
                  body.RequestContentType());
  std::string size = std::to_string(body.Size());
  EXPECT_EQ(answer, "{\"request\": \"POST /api/v1/users/u/upload/abc123 HTTP/1.0\", \"content_length\": " +
                        size + ", \"received\": " + size +
                        ", \"extra\": false, \"error\": null, \"parts\": [{\"name\": \"files\", "
                        "\"filename\": \"Gita a Forlì.mp4\", \"type\": \"video/mp4\", \"charset\": null, "
                        "\"size\": " +
                        std::to_string(content.size()) + ", \"sha256\": \"" + sum.out.substr(0, 64) +
                        "\", \"defects\": []}]}");
}

}  // namespace
}  // namespace velmora
