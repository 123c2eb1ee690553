#include <gtest/gtest.h>

#include <string>

#include "config/SettingsText.h"
#include "platform/Exceptions.h"

namespace velmora {
namespace {

const std::string kArchivio = "Archivio=D:\\foto\\archivio.fdb";

// A settings text, and how it renders after parsing: the rendering shows every
// section and entry the parser kept, in order.
struct ParseCase {
  const char* name;
  std::string text;
  std::string rendered;
};

TEST(SettingsTextTest, ParseKeepsSectionsAndEntriesAndRendersCrLf) {
  const ParseCase cases[] = {
      {"empty text", "", ""},
      {"only blanks and breaks", " \r\n\t\n\r", ""},
      {"lines before the first header are ignored", "Archivio=x\r\n; note\r\n", ""},
      {"header alone", "[A]", "[A]\r\n\r\n"},
      {"LF then CR leaves an empty line", "[query_esterno]\n\r" + kArchivio,
       "[query_esterno]\r\n" + kArchivio + "\r\n\r\n"},
      {"CR alone, LF alone and CR LF all end a line", "[A]\rx=1\ny=2\r\nz=3",
       "[A]\r\nx=1\r\ny=2\r\nz=3\r\n\r\n"},
      {"comments and empty lines dropped", "[A]\r\n\r\n;x=1\r\n  ; y=2\r\nz=3\r\n", "[A]\r\nz=3\r\n\r\n"},
      {"blanks around the first = dropped", "[A]\r\n  key \t=  va = lue  \r\n",
       "[A]\r\nkey=va = lue\r\n\r\n"},
      {"control characters trimmed like blanks", "\x01[A]\x1f\r\n\x05k=v\x02", "[A]\r\nk=v\r\n\r\n"},
      {"header name trimmed", "[  Alfa Beta ]\r\n", "[Alfa Beta]\r\n\r\n"},
      {"empty header name", "[]\r\nk=v", "[]\r\nk=v\r\n\r\n"},
      {"bracket line with text after ] is no header", "[A]\r\n[B]x\r\n", "[A]\r\n[B]x\r\n\r\n"},
      {"lone [ is an entry", "[A]\r\n[\r\n", "[A]\r\n[\r\n\r\n"},
      {"header holding = is a header", "[a=b]\r\nk=v", "[a=b]\r\nk=v\r\n\r\n"},
      {"bare key kept", "[A]\r\nflag\r\nk=", "[A]\r\nflag\r\nk=\r\n\r\n"},
      {"empty key kept", "[A]\r\n=v\r\n", "[A]\r\n=v\r\n\r\n"},
      {"repeated section: lines under the second header dropped",
       "[A]\r\nx=1\r\n[B]\r\ny=2\r\n[a]\r\nx=9\r\nz=3\r\n[C]\r\nw=4",
       "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n\r\n[C]\r\nw=4\r\n\r\n"},
      {"duplicate keys kept in order", "[A]\r\nk=1\r\nK=2\r\n", "[A]\r\nk=1\r\nK=2\r\n\r\n"},
      {"non-ASCII names and values", "[Società]\r\nCittà=Forlì — «né»\r\n",
       "[Società]\r\nCittà=Forlì — «né»\r\n\r\n"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsText parsed = SettingsText::Parse(c.text);
    EXPECT_EQ(parsed.Render(), c.rendered);
    // The rendering is a fixed point.
    EXPECT_EQ(SettingsText::Parse(c.rendered).Sections(), parsed.Sections());
  }
}

struct LookupCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

TEST(SettingsTextTest, LookupByCaseInsensitiveNamesFirstEntryWins) {
  const std::string seed = "[query_esterno]\n\r" + kArchivio;
  const LookupCase cases[] = {
      {"seed text", seed, "query_esterno", "Archivio", "D:\\foto\\archivio.fdb"},
      {"names in other case", seed, "Query_Esterno", "ARCHIVIO", "D:\\foto\\archivio.fdb"},
      {"missing key", seed, "query_esterno", "Tema", std::nullopt},
      {"missing section", seed, "altra", "Archivio", std::nullopt},
      {"empty text", "", "query_esterno", "Archivio", std::nullopt},
      {"blanks around =", "[A]\r\n  Tema  =  scuro  \r\n", "A", "Tema", "scuro"},
      {"first of two keys", "[A]\r\nk=1\r\nK=2\r\n", "a", "k", "1"},
      {"first of two sections", "[A]\r\nk=1\r\n[a]\r\nk=2\r\nj=3\r\n", "A", "k", "1"},
      {"key only under the repeated header", "[A]\r\nk=1\r\n[a]\r\nj=3\r\n", "A", "j", std::nullopt},
      {"bare key reads as absent", "[A]\r\nflag\r\n", "A", "flag", std::nullopt},
      {"bare key is passed over for a later entry", "[A]\r\nflag\r\nflag=on\r\n", "A", "flag", "on"},
      {"empty value", "[A]\r\nk=\r\n", "A", "k", ""},
      {"value keeps later = signs", "[A]\r\nk==a=b\r\n", "A", "k", "=a=b"},
      {"non-ASCII names in other case", "[Società]\r\nCittà=Forlì\r\n", "SOCIETÀ", "cittÀ", "Forlì"},
      {"names of different letters differ", "[Societa]\r\nk=1\r\n", "Società", "k", std::nullopt},
      {"entries before the first header are not in any section", "k=1\r\n[A]\r\n", "A", "k", std::nullopt},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsText parsed = SettingsText::Parse(c.text);
    EXPECT_EQ(parsed.Find(c.section, c.key), c.expected);
    EXPECT_EQ(parsed.ReadString(c.section, c.key, "dflt"), c.expected.value_or("dflt"));
  }
}

struct WriteCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::string value;
  std::string rendered;
};

TEST(SettingsTextTest, WriteReplacesFirstEntryOrAppends) {
  const WriteCase cases[] = {
      {"new key appended to its section", "[query_esterno]\n\r" + kArchivio, "query_esterno", "Tema", "scuro",
       "[query_esterno]\r\n" + kArchivio + "\r\nTema=scuro\r\n\r\n"},
      {"same company in other case", "[query_esterno]\n\r" + kArchivio, "QUERY_ESTERNO", "tema", "scuro",
       "[query_esterno]\r\n" + kArchivio + "\r\ntema=scuro\r\n\r\n"},
      {"existing key keeps its spelling", "[A]\r\nTema = chiaro\r\nx=1", "a", "TEMA", "scuro",
       "[A]\r\nTema=scuro\r\nx=1\r\n\r\n"},
      {"only the first of two keys changes", "[A]\r\nk=1\r\nK=2", "A", "k", "3", "[A]\r\nk=3\r\nK=2\r\n\r\n"},
      {"missing section appended last", "[A]\r\nk=1\r\n[B]", "C", "k", "v",
       "[A]\r\nk=1\r\n\r\n[B]\r\n\r\n[C]\r\nk=v\r\n\r\n"},
      {"text without sections", "junk\r\n;comment", "S", "k", "v", "[S]\r\nk=v\r\n\r\n"},
      {"empty text", "", "query_esterno", "Archivio", "", "[query_esterno]\r\nArchivio=\r\n\r\n"},
      {"repeated header's lines dropped", "[A]\r\nx=1\r\n[A]\r\ny=2", "A", "x", "5", "[A]\r\nx=5\r\n\r\n"},
      {"bare key left, entry appended", "[A]\r\nflag", "A", "flag", "on", "[A]\r\nflag\r\nflag=on\r\n\r\n"},
      {"hostile value stored as it is", "[A]", "A", "k", "it's -- ; \"x\" \\ è [B]",
       "[A]\r\nk=it's -- ; \"x\" \\ è [B]\r\n\r\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsText parsed = SettingsText::Parse(c.text);
    parsed.WriteString(c.section, c.key, c.value);
    EXPECT_EQ(parsed.Render(), c.rendered);
    EXPECT_EQ(SettingsText::Parse(parsed.Render()).Find(c.section, c.key), c.value);
  }
}

TEST(SettingsTextTest, LongValueReadsBackWhole) {
  std::string value;
  while (value.size() < 2047) value += "àè'\\;-";
  value.resize(2047);
  SettingsText text;
  text.WriteString("Ditta", "Archivio", value);
  EXPECT_EQ(SettingsText::Parse(text.Render()).Find("ditta", "archivio"), value);
}

struct RefusedCase {
  const char* name;
  const char* section;
  const char* key;
  const char* value;
};

TEST(SettingsTextTest, WriteRefusesWhatCouldNotReadBack) {
  const RefusedCase cases[] = {
      {"line feed in value", "A", "k", "a\n[B]\nArchivio=x"},
      {"carriage return in value", "A", "k", "a\rb"},
      {"line break in key", "A", "k\r\nj", "v"},
      {"line break in section", "A]\r\n[B", "k", "v"},
      {"empty key", "A", "", "v"},
      {"= in key", "A", "k=j", "v"},
      {"key beginning with ;", "A", ";k", "v"},
      {"key beginning with [", "A", "[k", "v]"},
      {"blank before key", "A", " k", "v"},
      {"blank after key", "A", "k\t", "v"},
      {"blank around section", " A", "k", "v"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsText text = SettingsText::Parse("[A]\r\nk=1\r\n");
    EXPECT_FALSE(SettingsText::CheckWritable(c.section, c.key, c.value).empty());
    EXPECT_THROW(text.WriteString(c.section, c.key, c.value), EIniFileException);
    EXPECT_EQ(text.Render(), "[A]\r\nk=1\r\n\r\n");
  }
}

TEST(SettingsTextTest, SectionNamesInOrderOfFirstAppearance) {
  SettingsText text = SettingsText::Parse("[Alfa]\r\n[Beta <INATTIVA>]\r\n[ALFA]\r\n[Gamma]\r\n");
  EXPECT_EQ(text.SectionNames(), (std::vector<std::string>{"Alfa", "Beta <INATTIVA>", "Gamma"}));
}

}  // namespace
}  // namespace velmora
