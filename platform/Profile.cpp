#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/FileDescriptor.h"
#include "platform/Locale.h"
#include "platform/Text.h"

namespace velmora {
namespace {

// Longest value returned, in UTF-16 units as the Windows functions count.
constexpr size_t kMaxValueUnits = 2047;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

enum class Encoding { Utf8, Cp1252 };

// Blanks around names and values: space, tab, vertical tab, form feed.
constexpr std::string_view kBlanks = kSpaceTabVtFf;

bool IsBlank(char c) { return kBlanks.find(c) != std::string_view::npos; }

// One line of the file: [begin, contentEnd) is its text, [contentEnd, end)
// its line end (CR, LF, CR LF, or nothing on the last line).
struct Line {
  size_t begin;
  size_t contentEnd;
  size_t end;
};

enum class LineKind { Other, Section, Key };

// What a line means; `name` is the section or key name (raw bytes, trimmed).
// For a key line, `valueStart` is the byte after "=" and the blanks after it.
struct LineInfo {
  LineKind kind = LineKind::Other;
  std::string_view name;
  std::string_view value;  // raw bytes, trimmed
  size_t equals = 0;
  size_t valueStart = 0;
};

// A profile file's bytes split into lines. Names and values are only
// decoded when they are compared or returned.
struct Document {
  std::string_view bytes;
  Encoding encoding = Encoding::Utf8;
  std::vector<Line> lines;
  std::string eol = "\r\n";  // the file's first line end

  explicit Document(std::string_view text) : bytes(text) {
    size_t start = text.starts_with(kBom) ? kBom.size() : 0;
    // A file with a BOM is UTF-8 whatever it holds; a stray invalid byte in
    // it is read as Windows-1252 rather than failing the whole file.
    encoding = (start > 0 || IsValidUtf8(text)) ? Encoding::Utf8 : Encoding::Cp1252;
    bool eolSeen = false;
    size_t i = start;
    while (i < text.size()) {
      size_t stop = text.find_first_of("\r\n", i);
      if (stop == std::string_view::npos) {
        lines.push_back({i, text.size(), text.size()});
        break;
      }
      size_t next = stop + 1;
      if (text[stop] == '\r' && next < text.size() && text[next] == '\n') ++next;
      if (!eolSeen) {
        eol = std::string(text.substr(stop, next - stop));
        eolSeen = true;
      }
      lines.push_back({i, stop, next});
      i = next;
    }
  }

  LineInfo Info(size_t index) const {
    const Line& line = lines[index];
    std::string_view content = bytes.substr(line.begin, line.contentEnd - line.begin);
    std::string_view trimmed = Trim(content, kBlanks);
    LineInfo info;
    if (trimmed.empty() || trimmed.front() == ';') return info;
    if (trimmed.front() == '[') {
      size_t close = trimmed.rfind(']');
      if (close != std::string_view::npos && close > 0) {
        info.kind = LineKind::Section;
        info.name = Trim(trimmed.substr(1, close - 1), kBlanks);
      }
      return info;
    }
    size_t eq = content.find('=');
    if (eq == std::string_view::npos) return info;
    info.kind = LineKind::Key;
    info.name = Trim(content.substr(0, eq), kBlanks);
    info.equals = line.begin + eq;
    size_t v = eq + 1;
    while (v < content.size() && IsBlank(content[v])) ++v;
    info.valueStart = line.begin + v;
    info.value = Trim(content.substr(eq + 1), kBlanks);
    return info;
  }

  std::string Decode(std::string_view raw) const {
    return encoding == Encoding::Utf8 ? RepairUtf8(raw) : Cp1252ToUtf8(raw);
  }

  std::string Encode(std::string_view utf8) const {
    return encoding == Encoding::Utf8 ? std::string(utf8) : Utf8ToCp1252(utf8);
  }
};

// Case folding for name comparison: the same for every user, whatever the
// environment's locale, so a file reads alike on every machine.
std::string Fold(std::string_view utf8) {
  static const CasingLocale neutral("C.UTF-8");
  return FoldCase(utf8, neutral, LetterCase::Lower);
}

// The text up to the first line break: a line-based file cannot hold more,
// and writing the rest would plant extra lines (or keys) in the file.
std::string_view FirstLine(std::string_view s) { return s.substr(0, s.find_first_of("\r\n")); }

// A name as the caller gives it: valid UTF-8, one line, no surrounding blanks.
std::string CleanName(const std::string& name) {
  return std::string(Trim(FirstLine(RepairUtf8(name)), kBlanks));
}

// Removes one pair of enclosing quotes and cuts to the returned maximum.
std::string ValueForReader(std::string_view raw, const Document& doc) {
  if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
    raw = raw.substr(1, raw.size() - 2);
  }
  // No character takes more than 4 bytes: decode only what can be returned.
  raw = raw.substr(0, 4 * kMaxValueUnits + 4);
  std::string text = doc.Decode(raw);
  size_t units = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    size_t len = DecodeUtf8At(text, i, cp);
    if (len == 0) len = 1;  // cannot happen after decoding; never loop forever
    units += cp >= 0x10000 ? 2 : 1;
    if (units > kMaxValueUnits) return text.substr(0, i);
    i += len;
  }
  return text;
}

constexpr size_t kNone = static_cast<size_t>(-1);

// Index of the header line of the first section named `folded`, or kNone.
size_t FindSection(const Document& doc, const std::string& folded) {
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    LineInfo info = doc.Info(i);
    if (info.kind == LineKind::Section && Fold(doc.Decode(info.name)) == folded) return i;
  }
  return kNone;
}

// Index of the line after the section whose header is at `header`.
size_t SectionEnd(const Document& doc, size_t header) {
  size_t i = header + 1;
  while (i < doc.lines.size() && doc.Info(i).kind != LineKind::Section) ++i;
  return i;
}

// Index of the first line of the section holding key `folded`, or kNone.
size_t FindKey(const Document& doc, size_t header, size_t end, const std::string& folded) {
  for (size_t i = header + 1; i < end; ++i) {
    LineInfo info = doc.Info(i);
    if (info.kind == LineKind::Key && Fold(doc.Decode(info.name)) == folded) return i;
  }
  return kNone;
}

bool FitsCp1252(const std::string& utf8) { return Cp1252ToUtf8(Utf8ToCp1252(utf8)) == utf8; }

bool HasNonAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

// The new file text with the value set, in the document's own encoding.
std::string Splice(const Document& doc, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::string_view bytes = doc.bytes;
  std::string keyLine = doc.Encode(key) + "=" + doc.Encode(value);
  size_t header = FindSection(doc, Fold(section));
  if (header == kNone) {
    std::string out(bytes);
    if (!doc.lines.empty()) {
      const Line& last = doc.lines.back();
      if (last.end == last.contentEnd) out += doc.eol;
      if (!Trim(bytes.substr(last.begin, last.contentEnd - last.begin), kBlanks).empty()) {
        out += doc.eol;  // a blank line before the new section
      }
    }
    out += "[" + doc.Encode(section) + "]" + doc.eol + keyLine + doc.eol;
    return out;
  }
  size_t end = SectionEnd(doc, header);
  size_t found = FindKey(doc, header, end, Fold(key));
  if (found != kNone) {
    LineInfo info = doc.Info(found);
    // The blanks the line had after "=" stay, so only the value itself
    // changes; a value that is empty or brings its own leading blanks
    // replaces them too (writing it again then changes nothing).
    bool ownBlanks = value.empty() || IsBlank(value.front());
    size_t from = ownBlanks ? info.equals + 1 : info.valueStart;
    std::string out(bytes.substr(0, from));
    out += doc.Encode(value);
    out.append(bytes.substr(doc.lines[found].contentEnd));
    return out;
  }
  // A new key goes after the section's last non-blank line, so the blank
  // lines that separate it from the next section stay where they are.
  size_t after = header;
  for (size_t i = header + 1; i < end; ++i) {
    const Line& l = doc.lines[i];
    if (!Trim(bytes.substr(l.begin, l.contentEnd - l.begin), kBlanks).empty()) after = i;
  }
  const Line& anchor = doc.lines[after];
  std::string out(bytes.substr(0, anchor.end));
  if (anchor.end == anchor.contentEnd) out += doc.eol;
  out += keyLine + doc.eol;
  out.append(bytes.substr(anchor.end));
  return out;
}

// ---- UTF-16 files ----

// Files saved as "Unicode" by Windows tools are UTF-16 with a BOM. They are
// read through a UTF-8 copy and written back as UTF-16 with the same BOM.
enum class Utf16 { None, LittleEndian, BigEndian };

Utf16 Utf16Kind(std::string_view text) {
  if (text.starts_with("\xFF\xFE")) return Utf16::LittleEndian;
  if (text.starts_with("\xFE\xFF")) return Utf16::BigEndian;
  return Utf16::None;
}

// The text after the BOM as UTF-8; an unpaired surrogate or a last odd byte
// becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view text, Utf16 kind) {
  auto unit = [&](size_t i) -> char32_t {
    auto a = static_cast<unsigned char>(text[i]), b = static_cast<unsigned char>(text[i + 1]);
    return kind == Utf16::LittleEndian ? (b << 8 | a) : (a << 8 | b);
  };
  std::string out;
  out.reserve(text.size());
  size_t i = 2;
  for (; i + 1 < text.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < text.size()) {
      char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
  }
  if (i < text.size()) AppendUtf8(out, 0xFFFD);
  return out;
}

// Valid UTF-8 as UTF-16 with its BOM.
std::string Utf8ToUtf16(std::string_view utf8, Utf16 kind) {
  std::string out;
  out.reserve(2 * utf8.size() + 2);
  auto put = [&](char32_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    if (kind == Utf16::LittleEndian) {
      out.push_back(lo);
      out.push_back(hi);
    } else {
      out.push_back(hi);
      out.push_back(lo);
    }
  };
  put(0xFEFF);
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    size_t len = DecodeUtf8At(utf8, i, cp);
    if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return out;
}

// The text the line rules work on: UTF-16 as UTF-8, anything else as it is.
std::string ForParsing(const std::string& text) {
  Utf16 kind = Utf16Kind(text);
  return kind == Utf16::None ? text : Utf16ToUtf8(text, kind);
}

// ---- files ----

enum class ReadStatus { Ok, Missing, Unusable };

// Reads a regular file whole. Missing: nothing is there (also a dangling
// link); Unusable: something is there that cannot be read as a file.
ReadStatus ReadRegularFile(const std::string& path, std::string& out, struct stat& st) {
  if (path.empty()) return ReadStatus::Unusable;
  // O_NONBLOCK: a FIFO at the path must not hang the reader.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Unusable;
  ReadStatus status = ReadStatus::Ok;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    status = ReadStatus::Unusable;
  } else {
    out.clear();
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        status = ReadStatus::Unusable;
        break;
      }
    }
  }
  ::close(fd);
  return status;
}

// Creates a file that did not exist (through a dangling link, its target).
bool CreateFile(const std::string& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

// Rewrites an existing file in place, for when no new file can be made
// beside it (a directory that allows writing its files but not adding any)
// or when the file has other names (hard links) that must keep seeing it.
bool RewriteInPlace(const std::string& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data) && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0 && ::fsync(fd) == 0;
  return (::close(fd) == 0) && ok;
}

// Replaces an existing file: the new text goes to a temporary file in the
// same directory, which then takes the file's place in one step, so a
// failure at any point leaves the old file whole.
bool ReplaceFile(const std::string& path, const struct stat& st, std::string_view data) {
  // A symbolic link stays a link: the file it points to is replaced.
  std::string target = path;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    target = real;
    std::free(real);
  }
  if (st.st_nlink > 1) return RewriteInPlace(target, data);
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "." + name + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return (errno == EACCES || errno == EPERM) && RewriteInPlace(target, data);
  bool ok = WriteAll(fd, data);
  ok = ok && ::fchmod(fd, st.st_mode & 07777) == 0;
  if (ok && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Not the owner: the file becomes ours, its content is what matters.
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  // A sticky directory keeps others' files from being replaced; the file
  // itself may still be writable.
  bool denied = ok && (errno == EPERM || errno == EACCES);
  ::unlink(temp.c_str());
  return denied && RewriteInPlace(target, data);
}

}  // namespace

std::string ProfileTextLookup(const std::string& text, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
  std::string parsed = ForParsing(text);
  Document doc(parsed);
  size_t header = FindSection(doc, Fold(CleanName(section)));
  if (header == kNone) return defaultValue;
  size_t found = FindKey(doc, header, SectionEnd(doc, header), Fold(CleanName(key)));
  if (found == kNone) return defaultValue;
  return ValueForReader(doc.Info(found).value, doc);
}

// A key line gives its name back only when the name holds no "=" and the
// line cannot pass for a comment or a section header.
bool StorableKey(std::string_view cleanKey) {
  if (cleanKey.find('=') != std::string_view::npos) return false;
  return cleanKey.empty() || (cleanKey.front() != ';' && cleanKey.front() != '[');
}

std::string ProfileTextWrite(const std::string& text, const std::string& section, const std::string& key,
                             const std::string& value) {
  std::string cleanSection = CleanName(section);
  std::string cleanKey = CleanName(key);
  if (!StorableKey(cleanKey)) throw EIniFileException("Unable to write to " + cleanKey);
  std::string cleanValue(FirstLine(RepairUtf8(value)));
  if (Utf16 kind = Utf16Kind(text); kind != Utf16::None) {
    std::string utf8 = Utf16ToUtf8(text, kind);
    return Utf8ToUtf16(Splice(Document(utf8), cleanSection, cleanKey, cleanValue), kind);
  }
  Document doc(text);
  if (doc.encoding == Encoding::Utf8) return Splice(doc, cleanSection, cleanKey, cleanValue);
  if (FitsCp1252(cleanSection) && FitsCp1252(cleanKey) && FitsCp1252(cleanValue)) {
    std::string out = Splice(doc, cleanSection, cleanKey, cleanValue);
    if (!HasNonAscii(out) || !IsValidUtf8(out)) return out;
    // Otherwise the text would now pass for UTF-8 and read differently.
  }
  // A Windows-1252 file that cannot hold the new text as it is becomes a
  // UTF-8 file: every other line reads as before and nothing is lost.
  std::string asUtf8 = Cp1252ToUtf8(text);
  return Splice(Document(asUtf8), cleanSection, cleanKey, cleanValue);
}

std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
  std::string text;
  struct stat st {};
  if (ReadRegularFile(path, text, st) != ReadStatus::Ok) return defaultValue;
  return ProfileTextLookup(text, section, key, defaultValue);
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& path,
                                                                    const std::string& section) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string text;
  struct stat st {};
  if (ReadRegularFile(path, text, st) != ReadStatus::Ok) return out;
  std::string parsed = ForParsing(text);
  Document doc(parsed);
  size_t header = FindSection(doc, Fold(CleanName(section)));
  if (header == kNone) return out;
  size_t end = SectionEnd(doc, header);
  for (size_t i = header + 1; i < end; ++i) {
    LineInfo info = doc.Info(i);
    if (info.kind == LineKind::Key) out.emplace_back(doc.Decode(info.name), ValueForReader(info.value, doc));
  }
  return out;
}

void WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
  std::string text;
  struct stat st {};
  if (!StorableKey(CleanName(key))) throw EIniFileException("Unable to write to " + path);
  ReadStatus status = ReadRegularFile(path, text, st);
  bool ok = false;
  if (status == ReadStatus::Missing) {
    ok = CreateFile(path, ProfileTextWrite("", section, key, value));
  } else if (status == ReadStatus::Ok) {
    std::string updated = ProfileTextWrite(text, section, key, value);
    if (updated == text) return;  // nothing changes: nothing to write
    // A file we may not write stays as it is, even where the directory
    // would let us put a new one in its place.
    ok = ::access(path.c_str(), W_OK) == 0 && ReplaceFile(path, st, updated);
  }
  if (!ok) throw EIniFileException("Unable to write to " + path);
}

}  // namespace velmora
