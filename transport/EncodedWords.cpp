#include "transport/EncodedWords.h"

#include <cstdint>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Iconv.h"
#include "platform/Text.h"

namespace velmora {
namespace {

constexpr size_t kMaxEncodedWord = 75;

bool IsWordSeparator(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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
  if (EqualsNoCase(charset, "csEUCKR")) return "EUC-KR";
  return std::string(charset);
}

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
size_t SequenceLength(std::string_view s) {
  char32_t cp;
  return DecodeUtf8At(s, 0, cp);
}

// Every ASCII character kept, every other character (or invalid byte) "?".
std::string AsciiOnly(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t len = SequenceLength(text.substr(i));
    out.push_back(len == 1 ? text[i] : '?');
    i += len == 0 ? 1 : len;
  }
  return out;
}

}  // namespace

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
  Iconv cd(IconvName(charset), "UTF-8");
  if (!cd.Ok()) return AsciiOnly(text);
  std::string out;
  std::string_view in = text;
  while (!in.empty()) {
    if (cd.Convert(in, out) == 0) break;
    // An unconvertible character or an invalid byte: "?" in its place,
    // converted too so that a stateful charset stays in step.
    size_t skip = SequenceLength(in);
    in.remove_prefix(skip == 0 ? 1 : skip);
    std::string_view question = "?";
    if (cd.Convert(question, out) != 0 || !question.empty()) out.push_back('?');
  }
  cd.Finish(out);
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

}  // namespace velmora
