// The pure parts of the HTTP client: URL reading, the request head, the
// answer reader over in-memory streams, and charset decoding.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"
#include "transport/HttpWire.h"

namespace velmora {
namespace {

TEST(HttpUrl, ReadsPartsPortsTargetAndHost) {
  struct Case {
    const char* url;
    const char* host;
    int port;
    const char* target;
    const char* hostHeader;
  };
  const Case cases[] = {
      {"http://example.com/api/v1/session", "example.com", 80, "/api/v1/session", "example.com"},
      {"HTTPS://example.com/a/", "example.com", 443, "/a/", "example.com"},
      {"https://example.com:8443/p?q=1&r=2", "example.com", 8443, "/p?q=1&r=2", "example.com:8443"},
      {"http://example.com:443/x", "example.com", 443, "/x", "example.com:443"},
      {"http://user:pw@example.com/x", "example.com", 80, "/x", "example.com"},
      {"http://example.com", "example.com", 80, "/", "example.com"},
      {"http://[::1]:8080/x/y", "::1", 8080, "/x/y", "[::1]:8080"},
      {"http://example.com/doc#frag", "example.com", 80, "/doc", "example.com"},
      {"http://example.com/doc?q=1#frag", "example.com", 80, "/doc?q=1#frag", "example.com"},
      // A site text without its closing "/": the host absorbs the next segment.
      {"http://example.comapi/v1/session", "example.comapi", 80, "/v1/session", "example.comapi"},
      // Nothing may split the request line: controls, blanks and non-ASCII bytes.
      {"http://h/a b\r\nX-Evil: 1/c", "h", 80, "/a%20b%0D%0AX-Evil:%201/c", "h"},
      {"http://h/\xC3\xA8?t=\x7F", "h", 80, "/%C3%A8?t=%7F", "h"},
      {"http://h/api?a=%41", "h", 80, "/api?a=%41", "h"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Url url = ParseUrl(c.url);
    EXPECT_EQ(url.host, c.host);
    int port = RequestPort(url);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(RequestTarget(url), c.target);
    EXPECT_EQ(HostHeaderValue(url, port), c.hostHeader);
  }
}

TEST(HttpUrl, RejectsUrlsWithoutProtocolOrHost) {
  struct Case {
    const char* url;
    const char* className;
    const char* message;
  };
  const Case cases[] = {
      {"example.com/api/v1/session", "EIdUnknownProtocol", "Unknown Protocol"},
      {"ftp://example.com/x", "EIdUnknownProtocol", "Unknown Protocol"},
      {"", "EIdUnknownProtocol", "Unknown Protocol"},
      {"http:///api/v1/session", "EIdHostRequired", "A Host is required"},
      {"https://:8443/x", "EIdHostRequired", "A Host is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    test::ExpectRaises<Exception>([&] { RequestPort(ParseUrl(c.url)); }, c.message, c.className);
  }
  // Another scheme with an explicit port is carried as plain TCP.
  EXPECT_EQ(RequestPort(ParseUrl("ftp://example.com:21/x")), 21);
}

TEST(HttpRequestHead, WritesSevenBitLinesInOrderAndLeavesEmptyValuesOut) {
  HeaderList headers = {{"Connection", ""},
                        {"Content-Type", "application/json"},
                        {"Content-Length", "2"},
                        {"X-Auth-Token", "ab\r\nInjected: yes"},
                        {"X-Name", "caf\xC3\xA9 \xE2\x82\xAC\x01"},
                        {"Host", "h"}};
  EXPECT_EQ(FormatRequestHead("PUT", "/x", false, headers),
            "PUT /x HTTP/1.1\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: 2\r\n"
            "X-Auth-Token: ab??Injected: yes\r\n"
            "X-Name: caf? ??\r\n"
            "Host: h\r\n"
            "\r\n");
  EXPECT_EQ(FormatRequestHead("POST", "/", true, {}), "POST / HTTP/1.0\r\n\r\n");
}

TEST(HttpStatusLine, CodeIsSecondTokenOrMinusOne) {
  struct Case {
    const char* line;
    int code;
  };
  const Case cases[] = {{"HTTP/1.1 200 OK", 200},
                        {"HTTP/1.1 404 Not Found", 404},
                        {"HTTP/1.0 302", 302},
                        {"HTTP/1.1 abc Weird", -1},
                        {"HTTP/1.1", -1},
                        {"HTTP/1.1  200 OK", -1},
                        {"HTTP/1.1 99999999999 X", -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(StatusCodeOf(c.line), c.code);
  }
}

// Reads one final answer and its body from `input`, fed in pieces of
// `piece` bytes.
struct ReadResult {
  HttpResponseHead head;
  std::string body;
  bool peerClosed = false;
};
ReadResult ReadAnswer(const std::string& input, size_t piece, ReaderLimits limits = {},
                      bool tolerate = false) {
  MemoryHttpStream stream(input, piece);
  ResponseReader reader(stream, limits);
  ReadResult r;
  r.head = reader.ReadFinalHead([](const HttpResponseHead&) {});
  r.body = reader.ReadBody(r.head, tolerate);
  r.peerClosed = reader.PeerClosed();
  return r;
}

TEST(HttpResponseReader, FramesBodies) {
  struct Case {
    const char* name;
    std::string input;
    int code;
    std::string body;
    bool peerClosed;
  };
  const Case cases[] = {
      {"content length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", 200, "hello", false},
      {"content length zero", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, "", false},
      {"short body accepted", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", 200, "abc", true},
      {"chunked lower hex",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n0123456789\r\n1\r\nX\r\n0\r\n\r\n", 200,
       "0123456789X", false},
      {"chunked upper hex, extension, blanks",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n 1A "
       ";ext=1\r\nABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n0\r\n\r\n",
       200, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", false},
      {"chunked beats content length",
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: gzip, "
       "chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       200, "abc", false},
      {"last chunk without trailer end",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n", 200, "ok", true},
      {"chunk size not hex counts as end",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n\r\nabc", 200, "", false},
      {"overflowing chunk size counts as end",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n\r\nabc", 200, "",
       false},
      {"until close", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nall of\r\nit", 200, "all of\r\nit",
       true},
      {"identical content lengths repeated",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\ncontent-length:  2 \r\nContent-Length: 02\r\n\r\nokNO", 200,
       "ok", false},
      {"bad content length of a 204 is never read", "HTTP/1.1 204 No Content\r\nContent-Length: -1\r\n\r\n",
       204, "", false},
      {"multipart up to closing boundary",
       "HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; "
       "boundary=\"xx\"\r\n\r\n--xx\r\nA\n--xx--\r\nTRAILING",
       200, "--xx\r\nA\r\n--xx--\r\n", false},
      {"no body for 204", "HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\nabcd", 204, "", false},
      {"no body for 304", "HTTP/1.1 304 Not Modified\r\n\r\n", 304, "", false},
      {"informational answers skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\nHTTP/1.1 201 "
       "Created\r\nContent-Length: "
       "2\r\n\r\nok",
       201, "ok", false},
      {"101 is final", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nraw", 101, "", false},
      {"LF-only lines", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", 200, "ok", false},
      {"header line of exactly 16384 characters",
       "HTTP/1.1 200 OK\r\nX: " + std::string(16381, 'y') + "\r\nContent-Length: 2\r\n\r\nok", 200, "ok",
       false},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
      ReadResult r;
      try {
        r = ReadAnswer(c.input, piece);
      } catch (const Exception& e) {
        ADD_FAILURE() << e.ClassName() << ": " << e.Message();
        continue;
      }
      EXPECT_EQ(r.head.code, c.code);
      EXPECT_EQ(r.body, c.body);
      EXPECT_EQ(r.peerClosed, c.peerClosed);
    }
  }
}

TEST(HttpResponseReader, BodyBufferNeverOutgrowsTheBound) {
  // A body right at the bound is read, and the buffer holding it has not
  // grown past the bound on the way (a doubling buffer would).
  ReaderLimits limits;
  limits.maxBodyBytes = 1000000;
  std::string full(limits.maxBodyBytes, 'b');
  std::string chunked;
  for (size_t at = 0; at < full.size(); at += 4096) {
    std::string piece = full.substr(at, 4096);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunked += size + piece + "\r\n";
  }
  struct Case {
    const char* name;
    std::string input;
  };
  const Case cases[] = {
      {"until close", "HTTP/1.1 200 OK\r\n\r\n" + full},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n"},
      {"content length", "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + full},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{1000}, size_t{32768}}) {
      SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
      ReadResult r = ReadAnswer(c.input, piece, limits);
      EXPECT_EQ(r.body.size(), full.size());
      EXPECT_LE(r.body.capacity(), limits.maxBodyBytes);
    }
  }
}

TEST(HttpResponseReader, ReadsHeadersAndTrailers) {
  ReadResult r = ReadAnswer(
      "HTTP/1.1 200 OK\r\ncontent-TYPE: application/json; Charset=\"UTF-8\"\r\nConnection:  Keep-Alive \r\n"
      "X-Folded: a\r\n  b\r\nTransfer-Encoding: chunked\r\nStatus-\xC3\xA8: "
      "v\r\n\r\n2\r\nok\r\n0\r\nX-Trailer: t\r\n\r\n",
      3);
  EXPECT_EQ(r.head.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.head.mediaType, "application/json");
  EXPECT_EQ(r.head.charSet, "UTF-8");
  EXPECT_EQ(r.head.connection, "Keep-Alive");
  EXPECT_EQ(HeaderValue(r.head.headers, "x-folded"), "a b");
  EXPECT_EQ(HeaderValue(r.head.headers, "X-Trailer"), "t");
  // Bytes above 127 in a header line are read as U+FFFD.
  EXPECT_EQ(HeaderValue(r.head.headers, "Status-\xEF\xBF\xBD\xEF\xBF\xBD"), "v");
  EXPECT_EQ(r.body, "ok");
}

TEST(HttpResponseReader, FailsCleanlyOnBrokenAnswers) {
  ReaderLimits small;
  small.maxHeaderLines = 50;
  small.maxBodyBytes = 1000;
  struct Case {
    const char* name;
    std::string input;
    const char* className;
    const char* message;
  };
  const Case cases[] = {
      {"nothing", "", "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"status line cut", "HTTP/1.1 200", "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"headers cut", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", "EIdConnClosedGracefully",
       "Connection Closed Gracefully."},
      {"chunk cut", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc",
       "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"chunk size line missing", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n",
       "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"long status line", "HTTP/1.1 200 " + std::string(16400, 'x') + "\r\n\r\n",
       "EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."},
      {"header line of 16385 characters",
       "HTTP/1.1 200 OK\r\nX: " + std::string(16382, 'y') + "\r\nContent-Length: 2\r\n\r\nok",
       "EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."},
      {"endless header line", "HTTP/1.1 200 OK\r\nX: " + std::string(100000, 'y'),
       "EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."},
      {"long chunk size line",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(20000, '0') +
           "1\r\nx\r\n0\r\n\r\n",
       "EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."},
      {"too many header lines",
       "HTTP/1.1 200 OK\r\n" +
           [] {
             std::string s;
             for (int i = 0; i < 60; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
             return s + "\r\n";
           }(),
       "EIdException", "Too many header lines."},
      {"endless folded header line",
       "HTTP/1.1 200 OK\r\nX: a\r\n" +
           [] {
             std::string s;
             for (int i = 0; i < 60; ++i) s += " continued\r\n";
             return s + "\r\n";
           }(),
       "EIdException", "Too many header lines."},
      {"endless informational answers",
       [] {
         std::string s;
         for (int i = 0; i < 60; ++i) s += "HTTP/1.1 100 Continue\r\n\r\n";
         return s;
       }(),
       "EIdException", "Too many header lines."},
      {"body beyond the bound", "HTTP/1.1 200 OK\r\n\r\n" + std::string(5000, 'z'), "EIdException",
       "Response body too large."},
      {"announced body beyond the bound",
       "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'z'), "EIdException",
       "Response body too large."},
      {"content lengths that differ", "HTTP/1.1 200 OK\r\nContent-Length: 40\r\nContent-Length: 2\r\n\r\nok",
       "EIdException", "Conflicting Content-Length values."},
      {"content lengths that differ, smaller first",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX: y\r\nContent-Length: 40\r\n\r\nok", "EIdException",
       "Conflicting Content-Length values."},
      {"content lengths that differ beside chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 1\r\nContent-Length: "
       "3\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "EIdException", "Conflicting Content-Length values."},
      {"negative content length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabc", "EIdException",
       "Invalid Content-Length."},
      {"signed content length", "HTTP/1.1 200 OK\r\nContent-Length: +3\r\n\r\nabc", "EIdException",
       "Invalid Content-Length."},
      {"content length list", "HTTP/1.1 200 OK\r\nContent-Length: 3, 3\r\n\r\nabc", "EIdException",
       "Invalid Content-Length."},
      {"hexadecimal content length", "HTTP/1.1 200 OK\r\nContent-Length: 0x3\r\n\r\nabc", "EIdException",
       "Invalid Content-Length."},
      {"empty content length", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\nabc", "EIdException",
       "Invalid Content-Length."},
      {"absurd content length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nab",
       "EIdException", "Invalid Content-Length."},
      {"valid then invalid content length",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2x\r\n\r\nok", "EIdException",
       "Invalid Content-Length."},
      {"chunked body beyond the bound",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n" + std::string(5000, 'z'),
       "EIdException", "Response body too large."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ExpectRaises<Exception>([&] { ReadAnswer(c.input, 4096, small); }, c.message, c.className);
  }
}

TEST(HttpResponseReader, FailureBodiesTolerateAnEarlyClose) {
  ReadResult r =
      ReadAnswer("HTTP/1.1 500 Oops\r\nTransfer-Encoding: chunked\r\n\r\n10\r\npartial", 5, {}, true);
  EXPECT_EQ(r.body, "partial");
  EXPECT_TRUE(r.peerClosed);
}

TEST(HttpCharset, DecodesByCharsetMediaTypeOrByteForByte) {
  struct Case {
    const char* name;
    const char* contentType;
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {"utf-8 parameter", "application/json; charset=utf-8", "\xC3\xA8", "\xC3\xA8"},
      {"no charset: byte for byte", "application/json", "\xC3\xA8", "\xC3\x83\xC2\xA8"},
      {"alias, any case", "text/plain; charset=CP1252", "\x80", "\xE2\x82\xAC"},
      {"latin1 alias", "application/json; charset=\"latin1\"", "\xE8", "\xC3\xA8"},
      {"text without charset is ISO-8859-1", "text/plain", "\xE8", "\xC3\xA8"},
      {"unknown charset: byte for byte", "application/json; charset=x-nonsense", "\xE8", "\xC3\xA8"},
      {"no iconv suffix tricks", "text/plain; charset=UTF-8//IGNORE", "\xE8", "\xC3\xA8"},
      {"invalid utf-8 becomes U+FFFD", "application/json; charset=utf-8",
       "a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"text xml without charset is us-ascii", "text/xml", "<a>\xE8</a>", "<a>\xEF\xBF\xBD</a>"},
      {"text xml kin without charset is us-ascii", "text/xml-external-parsed-entity", "\xE8", "\xEF\xBF\xBD"},
      {"application xml without charset: byte for byte", "application/xml", "<a>\xE8</a>", "<a>\xC3\xA8</a>"},
      {"application +xml without charset: byte for byte", "application/atom+xml", "\xE8", "\xC3\xA8"},
      {"application xml names its charset", "application/xml",
       "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\x80",
       "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\xE2\x82\xAC"},
      {"xml declaration names the charset", "text/xml",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3\xA8</a>",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3\xA8</a>"},
      {"html meta charset", "text/html", "<html><meta charset=\"utf-8\">\xC3\xA8",
       "<html><meta charset=\"utf-8\">\xC3\xA8"},
      {"html meta http-equiv", "text/html",
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">\x80",
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">\xE2\x82\xAC"},
      {"header charset wins over meta", "text/html; charset=iso-8859-1", "<meta charset=\"utf-8\">\xC3\xA8",
       "<meta charset=\"utf-8\">\xC3\x83\xC2\xA8"},
      {"utf-16 by name", "application/json; charset=UTF-16LE", std::string("a\0\xE8\0", 4), "a\xC3\xA8"},
      {"no content type: byte for byte", "", "\xFF", "\xC3\xBF"},
      {"ascii without charset", "application/json", "{\"a\":1}", "{\"a\":1}"},
      {"ascii in utf-16 is decoded", "application/json; charset=UTF-16LE", std::string("a\0", 2), "a"},
      {"ascii in latin1", "text/plain", "plain", "plain"},
      {"ascii under an unknown charset", "application/json; charset=x-nonsense", "ok", "ok"},
      {"valid utf-8 named utf8", "application/json; charset=UTF8", "\xC3\xA8\xE2\x82\xAC",
       "\xC3\xA8\xE2\x82\xAC"},
      {"utf-8 with an overlong form", "application/json; charset=utf-8",
       "a\xC0\xAF"
       "b",
       "a\xEF\xBF\xBD\xEF\xBF\xBD"
       "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpResponseHead head;
    head.statusLine = "HTTP/1.1 200 OK";
    if (*c.contentType) head.headers.emplace_back("Content-Type", c.contentType);
    DeriveHeadFields(head);
    EXPECT_EQ(DecodeBody(c.body, head), c.text);
    EXPECT_EQ(DecodeBody(std::string(c.body), head), c.text) << "taking the bytes";
  }
}

TEST(HttpHead, SevenBitHeaderTextOneMarkPerByteThatIsNoCharacter) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain value", "plain value"},
      {"caff\xC3\xA8", "caff?"},           // one character outside ASCII: one mark
      {"a\r\nX-Evil: 1", "a??X-Evil: 1"},  // a line break can never start a header line
      {"a\xC0\xAF"
       "b",
       "a??b"},                     // an overlong "/" is no character: a mark per byte
      {"\xED\xA0\x80", "???"},      // an encoded surrogate likewise
      {"\xF0\x9F\x98\x80!", "?!"},  // a four-byte character
      {"\x7F\x01", "??"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(SevenBitHeaderText(c.in), c.out);
  }
}

}  // namespace
}  // namespace velmora
