// The SHA-1 of each file part, computed beside the sending: the multipart
// body hands the bytes it streams to a hashing thread of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Signals.h"
#include "tests/support/TestSupport.h"
#include "tests/transport/HttpTestPeers.h"
#include "transport/BackgroundSha1.h"
#include "transport/HttpClient.h"
#include "transport/Multipart.h"
#include "transport/Sha1.h"

namespace velmora::test {
namespace {

// The size of the body's hashing buffers and their number.
constexpr size_t kSlot = 128 * 1024;
constexpr size_t kRing = 8;

std::string Sha1sum(const std::string& path) {
  return RunProcess({"/usr/bin/sha1sum", path}).out.substr(0, 40);
}
std::string Sha256sum(const std::string& path) {
  return RunProcess({"/usr/bin/sha256sum", path}).out.substr(0, 64);
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Reads the whole body in pieces of `chunk` bytes.
std::string ReadAll(MultipartFormData& body, size_t chunk) {
  std::string out, buffer(chunk, '\0');
  while (size_t n = body.Read(buffer.data(), chunk)) out.append(buffer, 0, n);
  return out;
}

// The threads of this process now.
size_t ThreadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(MultipartDigest, EachFilePartsDigestOnceItsBytesWereRead) {
  TempDir dir;
  WriteFileBytes(dir / "a.jpg", std::string(100000, 'a') + "fine");
  WriteFileBytes(dir / "vuoto.jpg", "");
  // Several hashing buffers and an odd tail.
  WriteFileBytes(dir / "lungo.mp4", RandomBytes(5 * kSlot + 4099, 1));
  for (size_t chunk : {1, 7, 4096, 1 << 20}) {
    SCOPED_TRACE(chunk);
    MultipartFormData body("--------confine");
    body.AddFile("files", dir / "a.jpg", "image/jpeg");
    body.AddFile("files", dir / "vuoto.jpg", "image/jpeg");
    body.AddFile("files", dir / "lungo.mp4", "video/mp4");
    EXPECT_EQ(body.FileSha1Hex(0), "");
    char first[10];
    ASSERT_EQ(body.Read(first, sizeof first), sizeof first);
    EXPECT_EQ(body.FileSha1Hex(0), "");  // not read to its end yet
    body.Rewind();
    std::string bytes = ReadAll(body, chunk);
    EXPECT_EQ(bytes.size(), body.Size());
    EXPECT_EQ(body.FileSha1Hex(0), Sha1sum(dir / "a.jpg"));
    EXPECT_EQ(body.FileSha1Hex(1), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(body.FileSha1Hex(2), Sha1sum(dir / "lungo.mp4"));
    EXPECT_EQ(body.FileSha1Hex(3), "");
    // A new pass starts the digests again and ends with the same ones.
    body.Rewind();
    EXPECT_EQ(body.FileSha1Hex(0), "");
    EXPECT_EQ(ReadAll(body, chunk), bytes);
    EXPECT_EQ(body.FileSha1Hex(0), Sha1sum(dir / "a.jpg"));
    EXPECT_EQ(body.FileSha1Hex(2), Sha1sum(dir / "lungo.mp4"));
  }
}

TEST(MultipartDigest, RewindInTheMiddleOfAPartDropsWhatWasHashed) {
  TempDir dir;
  std::string content = RandomBytes(3 * kSlot + 777, 2);
  WriteFileBytes(dir / "clip.mp4", content);
  MultipartFormData body("--------confine");
  body.AddFile("files", dir / "clip.mp4", "video/mp4");
  // Well into the file: some buffers hashed, some waiting, one half full.
  std::string buffer(2 * kSlot + 5000, '\0');
  ASSERT_EQ(body.Read(buffer.data(), buffer.size()), buffer.size());
  body.Rewind();
  EXPECT_EQ(body.FileSha1Hex(0), "");
  std::string bytes = ReadAll(body, 32768);
  EXPECT_NE(bytes.find(content), std::string::npos);
  EXPECT_EQ(body.FileSha1Hex(0), Sha1sum(dir / "clip.mp4"));
}

// The upload through the HTTP client, as the run sends it: an independent
// sink gets the file back whole (its SHA-256), and the body's SHA-1 is the
// one sha1sum gives.
TEST(MultipartDigest, DigestOfAnUploadThroughTheHttpClientIsSha1sums) {
  struct Case {
    const char* name;
    size_t size;
  };
  const Case cases[] = {
      {"empty file", 0},
      {"less than one buffer", 100003},
      {"several buffers and an odd tail", 5 * kSlot + 4099},
      {"more than the whole ring", 3 * kRing * kSlot + 17},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "clip.mp4";
    WriteFileBytes(path, RandomBytes(c.size, 7));
    int port = FreePort();
    BackgroundProcess sink(
        {"/usr/bin/python3", SourcePath("tests/peers/multipart_sink.py"), std::to_string(port)});
    ASSERT_EQ(sink.ReadLine(60), "ready");
    HttpClient client;
    client.SetConnectTimeout(60000);
    client.SetReadTimeout(60000);
    client.ResetRequestHeaders();
    client.SetContentType("multipart/form-data");
    MultipartFormData body;
    body.AddFile("files", path, "video/mp4");
    std::string answer = client.Post("http://127.0.0.1:" + std::to_string(port) + "/api/v1/users/u/upload/t",
                                     body, body.RequestContentType());
    std::string size = std::to_string(body.Size());
    EXPECT_NE(answer.find("\"received\": " + size + ", \"extra\": false, \"error\": null"), std::string::npos)
        << answer;
    EXPECT_NE(
        answer.find("\"size\": " + std::to_string(c.size) + ", \"sha256\": \"" + Sha256sum(path) + "\""),
        std::string::npos)
        << answer;
    EXPECT_EQ(body.FileSha1Hex(0), Sha1sum(path));
  }
}

// A send that fails or is stopped leaves the body in the middle of a part;
// destroying it then ends its hashing thread without waiting for the rest.
TEST(MultipartDigest, BodyDestroyedInTheMiddleOfAPartEndsItsThread) {
  TempDir dir;
  WriteFileBytes(dir / "clip.mp4", RandomBytes(4 * kRing * kSlot, 3));
  size_t before = ThreadCount();
  {
    MultipartFormData body;
    body.AddFile("files", dir / "clip.mp4", "video/mp4");
    std::string buffer(2 * kRing * kSlot, '\0');
    ASSERT_EQ(body.Read(buffer.data(), buffer.size()), buffer.size());
    EXPECT_EQ(ThreadCount(), before + 1);  // the hashing thread
  }
  EXPECT_EQ(ThreadCount(), before);
}

// A stop signal during the upload: the send ends with EStopRequested, the
// part's digest stays unknown, and once the body is gone no thread of it is
// left. The child process holds the noted signal; an alarm ends it if the
// stop hangs.
TEST(MultipartDigest, StopSignalDuringTheUploadEndsTheSendAndTheHashingThread) {
  TempDir dir;
  // Far more than the loopback socket buffers hold.
  std::string path = dir / "clip.mp4";
  WriteFileBytes(path, std::string(48 << 20, 'v'));
  PeerStep firstBytesOnly;
  firstBytesOnly.read = "bytes";
  firstBytesOnly.stall = true;
  ScriptedPeer peer({{firstBytesOnly}});
  const std::string url = peer.Url("/api/v1/users/u/upload/t");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(60);
    InstallStopSignals();
    size_t before = ThreadCount();
    int code = 0;
    {
      HttpClient client;
      client.SetConnectTimeout(60000);
      client.SetReadTimeout(60000);
      MultipartFormData body;
      body.AddFile("files", path, "video/mp4");
      try {
        client.Post(url, body, body.RequestContentType());
        code = 1;
      } catch (const EStopRequested&) {
      } catch (...) {
        code = 2;
      }
      if (code == 0 && !body.FileSha1Hex(0).empty()) code = 3;
    }
    if (code == 0 && ThreadCount() != before) code = 4;
    ::_exit(code);
  }
  peer.NextLine("BYTES");  // the upload is under way
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
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

// A sequence of digests through a ring of two tiny buffers, so the producer
// keeps catching up with the hashing thread and the buffers wrap around.
TEST(BackgroundSha1Test, DigestsInSequenceEqualTheDirectOnes) {
  const std::vector<std::string> texts = {"", "abc", RandomBytes(1000, 4), "", RandomBytes(100001, 5)};
  const size_t pieces[] = {1, 3, 7, 50, 4096};
  for (size_t piece : pieces) {
    SCOPED_TRACE(piece);
    BackgroundSha1 digests(2, 7);
    ASSERT_TRUE(digests.Available());
    std::vector<size_t> numbers;
    for (const std::string& text : texts) {
      for (size_t at = 0; at < text.size(); at += piece) {
        digests.Update(text.data() + at, std::min(piece, text.size() - at));
      }
      numbers.push_back(digests.Finish());
    }
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(numbers[i], i);
      EXPECT_EQ(digests.HexDigest(numbers[i]), Sha1Hex(texts[i])) << i;
    }
    EXPECT_EQ(digests.HexDigest(texts.size()), "");  // not finished
  }
}

TEST(BackgroundSha1Test, DiscardStartsTheSequenceAgain) {
  BackgroundSha1 digests(2, 7);
  std::string text = RandomBytes(5000, 6);
  digests.Update(text.data(), text.size());
  EXPECT_EQ(digests.Finish(), 0u);
  digests.Update(text.data(), 1234);  // a digest left unfinished
  digests.Discard();
  EXPECT_EQ(digests.HexDigest(0), "");
  digests.Update("ab", 2);
  digests.Update("c", 1);
  EXPECT_EQ(digests.Finish(), 0u);
  EXPECT_EQ(digests.HexDigest(0), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // Discard with nothing under way, then a digest of no bytes.
  digests.Discard();
  EXPECT_EQ(digests.Finish(), 0u);
  EXPECT_EQ(digests.HexDigest(0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

}  // namespace
}  // namespace velmora::test
