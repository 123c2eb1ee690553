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
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Locale.h"
#include "transport/BodyStream.h"
#include "transport/Sha1.h"

namespace velmora {

// Pure building blocks of the body, reachable by tests and fuzzers.

// Eight hyphens, then month, day, two-digit year, hour, minute, second (two
// digits each) and milliseconds (three digits): 23 characters.
std::string MultipartBoundary(const LocalDateTime& now);

// The charset used for encoded-words in part headers, by the primary language
// of the system locale: "GB2312", "Big5", "ISO-2022-JP", "csEUCKR", "KOI8-R",
// "windows-1251", else "UTF-8".
std::string HeaderCharsetFor(PrimaryLanguage language);

// Replaces `"`, CR and LF with "%22", "%0D", "%0A", so that a name can never
// close its quoted string or start a header line of its own.
std::string EscapeQuotedName(std::string_view name);

// Converts UTF-8 text to `charset` through iconv. A character the charset
// cannot hold, and every byte of invalid UTF-8, becomes "?". An unknown
// charset yields the text with every non-ASCII character as "?".
std::string ConvertUtf8To(std::string_view text, std::string_view charset);

// Applies the RFC 2047 encoded-word rules ("B" encoding) to `bytes`, already
// in `charset`: words (split at blanks, tabs, CR and LF) whose bytes all lie
// in 32..126 stay as they are; each run of words that need encoding, with the
// blanks between them, becomes encoded-words of at most 75 characters joined
// by CR LF and a blank. When `bytes` holds something that reads as an
// encoded-word, "=" also counts as a byte that needs encoding. The result is
// printable ASCII plus those CR LF blank joints.
std::string EncodeHeaderWords(std::string_view bytes, std::string_view charset);

// A field or file name as it goes between the quotation marks of the part
// header: escaped, converted to `charset` and encoded as above.
std::string EncodeHeaderName(std::string_view utf8Name, std::string_view charset);

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

// Splits a media type into the type without its "charset" parameter and the
// charset value (unquoted); a type beginning with "text" without charset
// gets "us-ascii"; an empty type becomes the one registered for the file
// name's extension (/etc/mime.types, else a few common types built in), or
// "application/octet-stream".
struct PartContentType {
  std::string type;
  std::string charset;
};
PartContentType ResolvePartContentType(std::string_view mediaType, std::string_view fileName);

// The body object. Owns the open files of its parts; they are closed, and
// their locks released, when the object is destroyed.
class MultipartFormData : public BodyStream {
 public:
  // A body with a boundary made from the local time now.
  MultipartFormData();
  // A body with the given boundary (for a reproducible body).
  explicit MultipartFormData(std::string boundary);
  ~MultipartFormData() override;
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
  // `index` (0 = the first added), computed from the bytes while Read passed
  // them on, so the file is never read twice. "" until the content of that
  // part has been read to its end since the last Rewind, for an index
  // without a part, and when libcrypto cannot be loaded.
  std::string FileSha1Hex(size_t index) const;

 private:
  struct Part {
    std::string header;  // the formatted header block
    int fd = -1;         // the open, locked file
    uint64_t size = 0;   // file size when added
    std::string path;    // absolute path, for messages
    std::string sha1;    // digest of the content as last read in full
  };

  // Where reading stands: in a part's header block, its content, the line
  // end after it, the closing line, or past the end.
  enum class Stage { kHeader, kContent, kLineEnd, kClosing, kEnd };

  void Queue(Stage stage, std::string bytes);
  void StartPart(size_t index);

  std::string boundary_;
  std::vector<Part> parts_;
  // Read state: the stage, the part being read, the pending bytes of a header
  // block or line and the offset in the part's file.
  Stage stage_ = Stage::kHeader;
  size_t current_ = 0;
  std::string pending_;
  size_t pendingPos_ = 0;
  uint64_t fileOffset_ = 0;
  // Digest of the current part's content read so far.
  Sha1 digest_;
};

}  // namespace velmora
