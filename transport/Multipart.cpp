#include "transport/Multipart.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"

namespace velmora {
namespace {

constexpr const char* kCrLf = "\r\n";
constexpr size_t kMaxEncodedWord = 75;

bool IsWordSeparator(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  auto b0 = static_cast<unsigned char>(s[0]);
  size_t len = b0 < 0x80             ? 1
               : (b0 & 0xE0) == 0xC0 ? 2
               : (b0 & 0xF0) == 0xE0 ? 3
               : (b0 & 0xF8) == 0xF0 ? 4
                                     : 0;
  if (len == 0 || len > s.size() || !IsValidUtf8(s.substr(0, len))) return 0;
  return len;
}

// Decodes the UTF-8 sequence of `len` bytes at the start of `s`.
char32_t DecodeUtf8(std::string_view s, size_t len) {
  auto b0 = static_cast<unsigned char>(s[0]);
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[k]) & 0x3F);
  return cp;
}

// Header text as bytes, one character per byte: characters above U+00FF,
// control characters (they could end the header line) and invalid UTF-8
// bytes become "?".
std::string HeaderBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t len = Utf8SequenceLength(text.substr(i));
    if (len == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    char32_t cp = DecodeUtf8(text.substr(i), len);
    bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
    out.push_back(cp > 0xFF || control ? '?' : static_cast<char>(cp));
    i += len;
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[v & 63] : '=');
  }
  return out;
}

// True when `bytes` holds "=?charset?B?text?=" or the same with Q (any case),
// which a receiver would decode instead of taking literally.
bool ContainsEncodedWord(std::string_view bytes) {
  auto plain = [](char c) { return c != '?' && !IsWordSeparator(static_cast<unsigned char>(c)); };
  for (size_t start = bytes.find("=?"); start != std::string_view::npos;
       start = bytes.find("=?", start + 1)) {
    size_t i = start + 2;
    size_t charsetBegin = i;
    while (i < bytes.size() && plain(bytes[i])) ++i;
    if (i == charsetBegin || i + 3 > bytes.size() || bytes[i] != '?') continue;
    char enc = bytes[i + 1];
    if (!(enc == 'B' || enc == 'b' || enc == 'Q' || enc == 'q') || bytes[i + 2] != '?') continue;
    i += 3;
    while (i < bytes.size() && plain(bytes[i])) ++i;
    if (i + 1 < bytes.size() && bytes[i] == '?' && bytes[i + 1] == '=') return true;
  }
  return false;
}

// Appends the encoded-words for `run` to `out`.
void AppendEncodedWords(std::string& out, std::string_view run, std::string_view charset) {
  std::string prefix = "=?" + std::string(charset) + "?B?";
  std::string b64 = Base64(run);
  out += prefix;
  size_t wordChars = 0;
  for (size_t g = 0; g < b64.size(); g += 4) {
    // Close the word before a group that would make it longer than 75
    // characters; every word holds at least one group.
    if (wordChars > 0 && prefix.size() + wordChars + 4 + 2 > kMaxEncodedWord) {
      out += "?=\r\n ";
      out += prefix;
      wordChars = 0;
    }
    out.append(b64, g, 4);
    wordChars += 4;
  }
  out += "?=";
}

// The iconv name for a charset label of the encoded-words.
std::string IconvName(std::string_view charset) {
  std::string upper;
  for (char c : charset) upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
  if (upper == "CSEUCKR") return "EUC-KR";
  return std::string(charset);
}

// Every ASCII character kept, every other character (or invalid byte) "?".
std::string AsciiOnly(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t len = Utf8SequenceLength(text.substr(i));
    out.push_back(len == 1 ? text[i] : '?');
    i += len == 0 ? 1 : len;
  }
  return out;
}

class Iconv {
 public:
  explicit Iconv(const std::string& to) : cd_(::iconv_open(to.c_str(), "UTF-8")) {}
  ~Iconv() {
    if (ok()) ::iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much of [in, in + inLeft) as possible, appending to `out`;
  // with in == nullptr, writes the sequence that returns to the initial
  // state. Returns 0, or the errno that stopped the conversion (EILSEQ,
  // EINVAL) with `in`/`inLeft` at the offending input.
  int Convert(char*& in, size_t& inLeft, std::string& out) {
    char chunk[256];
    for (;;) {
      char* dst = chunk;
      size_t dstLeft = sizeof chunk;
      size_t r = ::iconv(cd_, in ? &in : nullptr, in ? &inLeft : nullptr, &dst, &dstLeft);
      int err = r == static_cast<size_t>(-1) ? errno : 0;
      out.append(chunk, sizeof chunk - dstLeft);
      if (err == E2BIG) continue;
      return err;
    }
  }

 private:
  iconv_t cd_;
};

// The registered media type of a file name's extension: the system's table
// (/etc/mime.types), else a few common types built in.
std::string RegisteredMediaType(std::string_view fileName) {
  static const std::map<std::string, std::string> kTypes = [] {
    std::map<std::string, std::string> types = {
        {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},     {"png", "image/png"},
        {"gif", "image/gif"},  {"mp4", "video/mp4"},       {"mov", "video/quicktime"},
        {"txt", "text/plain"}, {"pdf", "application/pdf"}, {"json", "application/json"},
    };
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream words(line);
      std::string type, ext;
      if (!(words >> type)) continue;
      while (words >> ext) types[ext] = type;
    }
    return types;
  }();
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) return {};
  std::string ext;
  for (char c : fileName.substr(dot + 1)) ext.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
  auto it = kTypes.find(ext);
  return it == kTypes.end() ? std::string() : it->second;
}

std::string Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

// The path made absolute against the working directory, "." and ".."
// resolved lexically; an empty path stays empty.
std::string ExpandPath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return abs.lexically_normal().string();
}

std::string SystemErrorText(int error) { return std::system_category().message(error); }

[[noreturn]] void ThrowOpenError(const std::string& path, const std::string& text) {
  throw EFOpenError("Cannot open file \"" + ExpandPath(path) + "\". " + text);
}

// Takes a shared advisory lock of both kinds a writer may test (flock and a
// POSIX record lock held by the open file description). Returns 0, or the
// errno of a lock held by someone else; a file system that keeps no locks is
// not a reason to refuse the file.
int LockShared(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) return EWOULDBLOCK;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES)) return EWOULDBLOCK;
  return 0;
}

}  // namespace

std::string MultipartBoundary(const LocalDateTime& now) {
  char text[32];
  std::snprintf(text, sizeof text, "--------%02d%02d%02d%02d%02d%02d%03d", now.month % 100, now.day % 100,
                now.year % 100, now.hour % 100, now.minute % 100, now.second % 100, now.millisecond % 1000);
  return text;
}

std::string HeaderCharsetFor(PrimaryLanguage language) {
  switch (language) {
    case PrimaryLanguage::ChineseSimplified:
      return "GB2312";
    case PrimaryLanguage::ChineseTraditional:
      return "Big5";
    case PrimaryLanguage::Japanese:
      return "ISO-2022-JP";
    case PrimaryLanguage::Korean:
      return "csEUCKR";
    case PrimaryLanguage::Russian:
      return "KOI8-R";
    case PrimaryLanguage::Ukrainian:
      return "windows-1251";
    default:
      return "UTF-8";
  }
}

std::string EscapeQuotedName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '"')
      out += "%22";
    else if (c == '\r')
      out += "%0D";
    else if (c == '\n')
      out += "%0A";
    else
      out.push_back(c);
  }
  return out;
}

std::string ConvertUtf8To(std::string_view text, std::string_view charset) {
  Iconv cd(IconvName(charset));
  if (!cd.ok()) return AsciiOnly(text);
  std::string input(text);
  std::string out;
  char* in = input.data();
  size_t inLeft = input.size();
  while (inLeft > 0) {
    int err = cd.Convert(in, inLeft, out);
    if (err == 0) break;
    // An unconvertible character or an invalid byte: "?" in its place,
    // converted too so that a stateful charset stays in step.
    size_t skip = Utf8SequenceLength(std::string_view(in, inLeft));
    if (skip == 0) skip = 1;
    in += skip;
    inLeft -= skip;
    char question[] = "?";
    char* q = question;
    size_t qLeft = 1;
    if (cd.Convert(q, qLeft, out) != 0 || qLeft != 0) out.push_back('?');
  }
  char* none = nullptr;
  size_t zero = 0;
  cd.Convert(none, zero, out);
  return out;
}

std::string EncodeHeaderWords(std::string_view bytes, std::string_view charset) {
  bool equalsNeedsEncoding = ContainsEncodedWord(bytes);
  auto needsEncoding = [&](std::string_view word) {
    for (char ch : word) {
      auto c = static_cast<unsigned char>(ch);
      if (c < 32 || c > 126 || (equalsNeedsEncoding && c == '=')) return true;
    }
    return false;
  };
  // The words as [begin, end) ranges.
  struct Word {
    size_t begin, end;
    bool encode;
  };
  std::vector<Word> words;
  for (size_t i = 0; i < bytes.size();) {
    if (IsWordSeparator(static_cast<unsigned char>(bytes[i]))) {
      ++i;
      continue;
    }
    size_t b = i;
    while (i < bytes.size() && !IsWordSeparator(static_cast<unsigned char>(bytes[i]))) ++i;
    words.push_back({b, i, needsEncoding(bytes.substr(b, i - b))});
  }
  std::string out;
  size_t copied = 0;  // bytes before this offset are already in `out`
  for (size_t w = 0; w < words.size();) {
    if (!words[w].encode) {
      ++w;
      continue;
    }
    size_t last = w;
    while (last + 1 < words.size() && words[last + 1].encode) ++last;
    out.append(bytes.substr(copied, words[w].begin - copied));
    AppendEncodedWords(out, bytes.substr(words[w].begin, words[last].end - words[w].begin), charset);
    copied = words[last].end;
    w = last + 1;
  }
  out.append(bytes.substr(copied));
  return out;
}

std::string EncodeHeaderName(std::string_view utf8Name, std::string_view charset) {
  return EncodeHeaderWords(ConvertUtf8To(EscapeQuotedName(utf8Name), charset), charset);
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

PartContentType ResolvePartContentType(std::string_view mediaType, std::string_view fileName) {
  PartContentType result;
  // Take the "charset" parameter out of the type, keep the others.
  std::vector<std::string> kept;
  size_t start = 0;
  for (;;) {
    size_t semi = mediaType.find(';', start);
    std::string piece = Trim(mediaType.substr(start, semi == std::string_view::npos ? semi : semi - start));
    size_t eq = piece.find('=');
    bool isCharset = !kept.empty() && eq != std::string::npos && Trim(piece.substr(0, eq)).size() == 7 &&
                     StartsWithNoCase(Trim(piece.substr(0, eq)), "charset");
    if (isCharset) {
      std::string value = Trim(piece.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      result.charset = value;
    } else if (!piece.empty() || kept.empty()) {
      kept.push_back(piece);
    }
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  for (size_t i = 0; i < kept.size(); ++i) result.type += (i ? "; " : "") + kept[i];
  if (result.type.empty()) {
    result.type = RegisteredMediaType(fileName);
    if (result.type.empty()) result.type = "application/octet-stream";
  }
  if (result.charset.empty() && StartsWithNoCase(result.type, "text")) result.charset = "us-ascii";
  return result;
}

MultipartFormData::MultipartFormData() : MultipartFormData(MultipartBoundary(NowLocal())) {}

MultipartFormData::MultipartFormData(std::string boundary) : boundary_(std::move(boundary)) { Rewind(); }

MultipartFormData::~MultipartFormData() {
  for (Part& part : parts_) ::close(part.fd);  // closing releases both locks
}

std::string MultipartFormData::RequestContentType() const {
  return "multipart/form-data; boundary=" + boundary_;
}

void MultipartFormData::AddFile(std::string_view fieldName, const std::string& path,
                                std::string_view mediaType) {
  // Non-blocking open, so that a FIFO cannot stall the run; it is refused below.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) ThrowOpenError(path, SystemErrorText(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    ThrowOpenError(path, SystemErrorText(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    ThrowOpenError(path, S_ISDIR(st.st_mode) ? SystemErrorText(EISDIR) : "Not a regular file");
  }
  if (LockShared(fd) != 0) {
    ::close(fd);
    ThrowOpenError(path, "The file is locked by another process");
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  MultipartPartHeader header;
  header.fieldName = std::string(fieldName);
  header.fileName = ExtractFileName(path);
  PartContentType type = ResolvePartContentType(mediaType, header.fileName);
  header.contentType = type.type;
  header.charset = type.charset;
  header.transferEncoding = "binary";
  header.headerCharset = HeaderCharsetFor(PrimaryLanguageOf(EnvironmentLocaleName()));

  Part part;
  part.fd = fd;
  part.size = static_cast<uint64_t>(st.st_size);
  part.path = ExpandPath(path);
  try {
    part.header = FormatPartHeader(boundary_, header);
    parts_.push_back(part);
  } catch (...) {
    ::close(fd);
    throw;
  }
  Rewind();
}

uint64_t MultipartFormData::Size() const {
  uint64_t total = boundary_.size() + 6;
  for (const Part& part : parts_) total += part.header.size() + part.size + 2;
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
  digest_.Reset();
  if (index < parts_.size())
    Queue(Stage::kHeader, parts_[index].header);
  else
    Queue(Stage::kClosing, "--" + boundary_ + "--" + kCrLf);
}

void MultipartFormData::Rewind() {
  for (Part& part : parts_) part.sha1.clear();
  StartPart(0);
}

std::string MultipartFormData::FileSha1Hex(size_t index) const {
  return index < parts_.size() ? parts_[index].sha1 : std::string();
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
    const Part& part = parts_[current_];
    uint64_t left = part.size - fileOffset_;
    if (left == 0) {
      parts_[current_].sha1 = digest_.HexDigest();
      Queue(Stage::kLineEnd, kCrLf);
      continue;
    }
    // File bytes go straight into the caller's buffer.
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, capacity - done));
    ssize_t got = ::pread(part.fd, buffer + done, want, static_cast<off_t>(fileOffset_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw EStreamError("Cannot read file \"" + part.path + "\". " + SystemErrorText(errno));
    if (got == 0)
      throw EStreamError("Cannot read file \"" + part.path + "\". The file became shorter while it was sent");
    digest_.Update(buffer + done, static_cast<size_t>(got));
    fileOffset_ += static_cast<uint64_t>(got);
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace velmora
