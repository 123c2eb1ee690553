// The SHA-1 of each file part, computed by the multipart body while it
// streams the file's bytes.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"
#include "transport/Multipart.h"
#include "transport/Sha1.h"

namespace velmora::test {
namespace {

std::string Sha1sum(const std::string& path) {
  return RunProcess({"/usr/bin/sha1sum", path}).out.substr(0, 40);
}

// Reads the whole body in pieces of `chunk` bytes.
std::string ReadAll(MultipartFormData& body, size_t chunk) {
  std::string out, buffer(chunk, '\0');
  while (size_t n = body.Read(buffer.data(), chunk)) out.append(buffer, 0, n);
  return out;
}

TEST(MultipartDigest, EachFilePartsDigestOnceItsBytesWereRead) {
  TempDir dir;
  WriteFileBytes(dir / "a.jpg", std::string(100000, 'a') + "fine");
  WriteFileBytes(dir / "vuoto.jpg", "");
  for (size_t chunk : {1, 7, 4096, 1 << 20}) {
    SCOPED_TRACE(chunk);
    MultipartFormData body("--------confine");
    body.AddFile("files", dir / "a.jpg", "image/jpeg");
    body.AddFile("files", dir / "vuoto.jpg", "image/jpeg");
    EXPECT_EQ(body.FileSha1Hex(0), "");
    char first[10];
    ASSERT_EQ(body.Read(first, sizeof first), sizeof first);
    EXPECT_EQ(body.FileSha1Hex(0), "");  // not read to its end yet
    body.Rewind();
    std::string bytes = ReadAll(body, chunk);
    EXPECT_EQ(bytes.size(), body.Size());
    EXPECT_EQ(body.FileSha1Hex(0), Sha1sum(dir / "a.jpg"));
    EXPECT_EQ(body.FileSha1Hex(1), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(body.FileSha1Hex(2), "");
    // A new pass starts the digests again and ends with the same ones.
    body.Rewind();
    EXPECT_EQ(body.FileSha1Hex(0), "");
    EXPECT_EQ(ReadAll(body, chunk), bytes);
    EXPECT_EQ(body.FileSha1Hex(0), Sha1sum(dir / "a.jpg"));
  }
}

TEST(MultipartDigest, Sha1OfKnownTexts) {
  EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  Sha1 digest;
  ASSERT_TRUE(digest.Available());
  digest.Update("a", 1);
  digest.Update("bc", 2);
  EXPECT_EQ(digest.HexDigest(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(digest.HexDigest(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");  // starts again
}

}  // namespace
}  // namespace velmora::test
