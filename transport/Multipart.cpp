#include "transport/Multipart.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/Locale.h"
#include "platform/Paths.h"

namespace velmora {
namespace {

constexpr const char* kCrLf = "\r\n";

// Header text as bytes, one character per byte: characters above U+00FF,
// control characters (they could end the header line) and invalid UTF-8
// bytes become "?".
std::string HeaderBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    size_t len = DecodeUtf8At(text, i, cp);
    if (len == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
    out.push_back(cp > 0xFF || control ? '?' : static_cast<char>(cp));
    i += len;
  }
  return out;
}

}  // namespace

std::string MultipartBoundary(const LocalDateTime& now) {
  char text[32];
  std::snprintf(text, sizeof text, "--------%02d%02d%02d%02d%02d%02d%03d", now.month % 100, now.day % 100,
                now.year % 100, now.hour % 100, now.minute % 100, now.second % 100, now.millisecond % 1000);
  return text;
}

std::string FormatPartHeader(std::string_view boundary, const MultipartPartHeader& part) {
  std::string out;
  out += "--";
  out += HeaderBytes(boundary);
  out += kCrLf;
  out += "Content-Disposition: form-data; name=\"";
  out += EncodeHeaderName(part.fieldName, part.headerCharset);
  out += '"';
  if (!part.fileName.empty()) {
    out += "; filename=\"";
    out += EncodeHeaderName(part.fileName, part.headerCharset);
    out += '"';
  }
  out += kCrLf;
  if (!part.contentType.empty()) {
    out += "Content-Type: ";
    out += HeaderBytes(part.contentType);
    if (!part.charset.empty()) {
      out += "; charset=\"";
      out += HeaderBytes(EscapeQuotedName(part.charset));
      out += '"';
    }
    out += kCrLf;
  }
  if (!part.transferEncoding.empty()) {
    out += "Content-Transfer-Encoding: ";
    out += HeaderBytes(part.transferEncoding);
    out += kCrLf;
  }
  out += kCrLf;
  return out;
}

MultipartFormData::MultipartFormData() : MultipartFormData(MultipartBoundary(NowLocal())) {}

MultipartFormData::MultipartFormData(std::string boundary) : boundary_(std::move(boundary)) { Rewind(); }

std::string MultipartFormData::RequestContentType() const {
  return "multipart/form-data; boundary=" + boundary_;
}

void MultipartFormData::AddFile(std::string_view fieldName, const std::string& path,
                                std::string_view mediaType) {
  LockedFile file = LockedFile::Open(path);

  MultipartPartHeader header;
  header.fieldName = std::string(fieldName);
  header.fileName = ExtractFileName(path);
  PartContentType type = ResolvePartContentType(mediaType, header.fileName);
  header.contentType = type.type;
  header.charset = type.charset;
  header.transferEncoding = "binary";
  header.headerCharset = HeaderCharsetFor(PrimaryLanguageOf(EnvironmentLocaleName()));

  parts_.push_back(Part{FormatPartHeader(boundary_, header), std::move(file), std::nullopt});
  Rewind();
}

uint64_t MultipartFormData::Size() const {
  uint64_t total = boundary_.size() + 6;
  for (const Part& part : parts_) total += part.header.size() + part.file.Size() + 2;
  return total;
}

void MultipartFormData::Queue(Stage stage, std::string bytes) {
  stage_ = stage;
  pending_ = std::move(bytes);
  pendingPos_ = 0;
}

void MultipartFormData::StartPart(size_t index) {
  current_ = index;
  fileOffset_ = 0;
  if (index < parts_.size())
    Queue(Stage::kHeader, parts_[index].header);
  else
    Queue(Stage::kClosing, "--" + boundary_ + "--" + kCrLf);
}

void MultipartFormData::Rewind() {
  digests_.Discard();
  for (Part& part : parts_) part.digest.reset();
  StartPart(0);
}

std::string MultipartFormData::FileSha1Hex(size_t index) const {
  if (index >= parts_.size() || !parts_[index].digest) return "";
  return digests_.HexDigest(*parts_[index].digest);
}

size_t MultipartFormData::Read(char* buffer, size_t capacity) {
  size_t done = 0;
  while (done < capacity && stage_ != Stage::kEnd) {
    if (stage_ != Stage::kContent) {
      if (pendingPos_ < pending_.size()) {
        size_t n = std::min(capacity - done, pending_.size() - pendingPos_);
        std::memcpy(buffer + done, pending_.data() + pendingPos_, n);
        pendingPos_ += n;
        done += n;
        continue;
      }
      // The pending bytes are used up: move on.
      if (stage_ == Stage::kHeader)
        stage_ = Stage::kContent;
      else if (stage_ == Stage::kLineEnd)
        StartPart(current_ + 1);
      else
        stage_ = Stage::kEnd;
      continue;
    }
    done += ReadContent(buffer + done, capacity - done);
  }
  return done;
}

size_t MultipartFormData::ReadContent(char* buffer, size_t capacity) {
  Part& part = parts_[current_];
  uint64_t left = part.file.Size() - fileOffset_;
  if (left == 0) {
    part.digest = digests_.Finish();
    Queue(Stage::kLineEnd, kCrLf);
    return 0;
  }
  // File bytes go straight into the caller's buffer.
  size_t want = static_cast<size_t>(std::min<uint64_t>(left, capacity));
  size_t got = part.file.ReadAt(buffer, want, fileOffset_);
  if (got == 0)
    throw EStreamError("Cannot read file \"" + part.file.Path() +
                       "\". The file became shorter while it was sent");
  digests_.Update(buffer, got);
  fileOffset_ += got;
  return got;
}

}  // namespace velmora
