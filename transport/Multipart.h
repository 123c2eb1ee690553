// The "multipart/form-data" request body of the media upload: a boundary made
// from the local time, one header block per part, the file bytes streamed
// lazily from the open file, and the exact size known before sending.
//
// Layout, CR LF as every line end:
//   "--" boundary
//   Content-Disposition: form-data; name="<field>"; filename="<file>"
//   Content-Type: <type>[; charset="<charset>"]
//   Content-Transfer-Encoding: binary
//   (empty line) <file bytes> CR LF
//   ... further parts ...
//   "--" boundary "--"
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "transport/BackgroundSha1.h"
#include "transport/BodyStream.h"
#include "transport/EncodedWords.h"
#include "transport/LockedFile.h"
#include "transport/MediaType.h"

namespace velmora {

// Pure building blocks of the body, reachable by tests and fuzzers.

// Eight hyphens, then month, day, two-digit year, hour, minute, second (two
// digits each) and milliseconds (three digits): 23 characters.
std::string MultipartBoundary(const LocalDateTime& now);

// What a part header block is built from.
struct MultipartPartHeader {
  std::string fieldName;                // UTF-8
  std::string fileName;                 // UTF-8, without directory; empty: no filename
  std::string contentType;              // empty: no Content-Type line
  std::string charset;                  // "; charset=..." of Content-Type when not empty
  std::string transferEncoding;         // empty: no Content-Transfer-Encoding line
  std::string headerCharset = "UTF-8";  // charset of the encoded-words
};

// The header block of one part, from the delimiter line to the empty line.
// Names are encoded with EncodeHeaderName; the other texts are written one
// character per byte (a character above U+00FF, a control character or an
// invalid UTF-8 byte becomes "?").
std::string FormatPartHeader(std::string_view boundary, const MultipartPartHeader& part);

// The body object. Owns the open files of its parts (LockedFile); they are
// closed, and their locks released, when the object is destroyed, which also
// ends its hashing thread. Used from one thread at a time.
class MultipartFormData : public BodyStream {
 public:
  // A body with a boundary made from the local time now.
  MultipartFormData();
  // A body with the given boundary (for a reproducible body).
  explicit MultipartFormData(std::string boundary);
  ~MultipartFormData() override = default;
  MultipartFormData(const MultipartFormData&) = delete;
  MultipartFormData& operator=(const MultipartFormData&) = delete;

  const std::string& Boundary() const { return boundary_; }
  // "multipart/form-data; boundary=" and the boundary.
  std::string RequestContentType() const;

  // Opens `path` for reading and adds it as a file part named `fieldName`,
  // with the file name after the path's last "/", "\" or drive ":" and the
  // media type resolved by ResolvePartContentType; transfer encoding
  // "binary"; the header charset from the environment's locale. The file is
  // held open with a shared advisory lock (flock and an open-file-description
  // record lock), so writers that take an exclusive lock are refused until
  // this object is destroyed. Its size is taken now; later growth is not sent.
  // Raises EFOpenError "Cannot open file \"<absolute path>\". <system text>"
  // when the file cannot be opened, is not a regular file, or is locked by a
  // writer. Reading restarts at the first byte after a part is added.
  void AddFile(std::string_view fieldName, const std::string& path, std::string_view mediaType);

  // The exact byte count that reading from the start produces; reads no file.
  uint64_t Size() const override;
  void Rewind() override;
  // Fills `buffer` with up to `capacity` next bytes of the body (fewer only at
  // its end; 0 at the end). File bytes go straight from the file into
  // `buffer`. Raises EStreamError when the file cannot be read or has become
  // shorter than its size when added.
  size_t Read(char* buffer, size_t capacity) override;

  // The SHA-1 (40 lower-case hexadecimal digits) of the content of file part
  // `index` (0 = the first added), computed from the bytes Read passed on,
  // so the file is never read twice. A thread of the body's own hashes them
  // while the caller sends them; this call waits for it to reach the end of
  // the part. "" until the content of that part has been read to its end
  // since the last Rewind, for an index without a part, and when libcrypto
  // cannot be loaded.
  std::string FileSha1Hex(size_t index) const;

 private:
  struct Part {
    std::string header;  // the formatted header block
    LockedFile file;     // the open, locked file; its size is taken when added
    // The number of its digest in digests_, once its content was read to
    // its end since the last Rewind.
    std::optional<size_t> digest;
  };

  // Where reading stands: in a part's header block, its content, the line
  // end after it, the closing line, or past the end.
  enum class Stage { kHeader, kContent, kLineEnd, kClosing, kEnd };

  void Queue(Stage stage, std::string bytes);
  void StartPart(size_t index);
  // Reads the current part's content into [buffer, buffer + capacity) and
  // returns how many bytes it gave; queues the line end after the content.
  size_t ReadContent(char* buffer, size_t capacity);

  std::string boundary_;
  std::vector<Part> parts_;
  // Read state: the stage, the part being read, the pending bytes of a header
  // block or line and the offset in the part's file.
  Stage stage_ = Stage::kHeader;
  size_t current_ = 0;
  std::string pending_;
  size_t pendingPos_ = 0;
  uint64_t fileOffset_ = 0;
  // The digests of the parts' contents, in the order they were read.
  BackgroundSha1 digests_;
};

}  // namespace velmora
