#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

using namespace std::string_literals;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

struct ReadCase {
  const char* name;
  std::string text;
  std::string section;
  std::string key;
  std::string expected;  // with the default "DEF"
};

TEST(ProfileRead, Rules) {
  const std::string long3000(3000, 'x');
  const std::string euro2047 = [] {
    std::string s;
    for (int i = 0; i < 2047; ++i) s += "\xE2\x82\xAC";  // U+20AC, one unit each
    return s;
  }();
  const ReadCase cases[] = {
      {"plain", "[CONFIG]\r\nNome Server=srv\r\n", "CONFIG", "Nome Server", "srv"},
      {"LF", "[CONFIG]\nA=1\nB=2\n", "CONFIG", "B", "2"},
      {"CR", "[CONFIG]\rA=1\rB=2\r", "CONFIG", "B", "2"},
      {"mixed line ends", "[X]\r\nA=1\rB=2\nC=3", "X", "C", "3"},
      {"no final line end", "[X]\nA=last", "X", "A", "last"},
      {"BOM", "\xEF\xBB\xBF[CONFIG]\r\nA=1\r\n", "CONFIG", "A", "1"},
      {"section case", "[Config]\nA=1\n", "CONFIG", "A", "1"},
      {"key case", "[C]\nnome SERVER=srv\n", "C", "Nome Server", "srv"},
      {"non-ASCII key case", "[C]\n\xC3\x89tat=1\n", "C", "\xC3\xA9TAT", "1"},
      {"blanks around value", "[C]\nA =  \t v a  \t\n", "C", "A", "v a"},
      {"blanks around names", "  [ C ]  \n  A  = 1\n", "C", "A", "1"},
      {"double quotes", "[C]\nA=\"  q  \"\n", "C", "A", "  q  "},
      {"single quotes", "[C]\nA='q'\n", "C", "A", "q"},
      {"quotes after blanks", "[C]\nA=  \"q\"  \n", "C", "A", "q"},
      {"one pair only", "[C]\nA=\"\"q\"\"\n", "C", "A", "\"q\""},
      {"mismatched quotes", "[C]\nA=\"q'\n", "C", "A", "\"q'"},
      {"lone quote", "[C]\nA=\"\n", "C", "A", "\""},
      {"empty quotes", "[C]\nA=\"\"\n", "C", "A", ""},
      {"present empty", "[C]\nA=\n", "C", "A", ""},
      {"present blanks", "[C]\nA=   \n", "C", "A", ""},
      {"missing key", "[C]\nA=1\n", "C", "B", "DEF"},
      {"missing section", "[C]\nA=1\n", "D", "A", "DEF"},
      {"empty text", "", "C", "A", "DEF"},
      {"key of other section", "[C]\nA=1\n[D]\nB=2\n", "C", "B", "DEF"},
      {"first of twin sections", "[C]\nA=1\n[c]\nA=2\nB=3\n", "C", "A", "1"},
      {"second twin not searched", "[C]\nA=1\n[c]\nB=3\n", "C", "B", "DEF"},
      {"first of twin keys", "[C]\nA=1\na=2\n", "C", "A", "1"},
      {"value with equals", "[C]\nA=b=c\n", "C", "A", "b=c"},
      {"semicolon in value", "[C]\nA=x;y\n", "C", "A", "x;y"},
      {"comment line", "[C]\n;A=1\nA=2\n", "C", "A", "2"},
      {"line without equals", "[C]\nA\n", "C", "A", "DEF"},
      {"key before any section", "A=1\n[C]\n", "C", "A", "DEF"},
      {"header to last bracket", "[a]b]\nK=1\n", "a]b", "K", "1"},
      {"unclosed header is no section", "[C\nK=1\n", "C", "K", "DEF"},
      {"cut at 2047", "[C]\nA=" + long3000 + "\n", "C", "A", std::string(2047, 'x')},
      {"2047 kept", "[C]\nA=" + std::string(2047, 'y') + "\n", "C", "A", std::string(2047, 'y')},
      {"cut after quotes", "[C]\nA=\"" + long3000 + "\"\n", "C", "A", std::string(2047, 'x')},
      {"cut counts characters", "[C]\nA=" + euro2047 + "Z\n", "C", "A", euro2047},
      {"astral counts two", "[C]\nA=" + std::string(2046, 'x') + "\xF0\x9F\x98\x80\n", "C", "A",
       std::string(2046, 'x')},
      {"Windows-1252 file", "[C]\nA=caf\xE9 \x80\n", "C", "A", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"Windows-1252 name", "[C]\n\xC8=1\n", "C", "\xC3\xA8", "1"},
      {"BOM then bad byte", "\xEF\xBB\xBF[C]\nA=\xE9\xC3\xA9\n", "C", "A", "\xC3\xA9\xC3\xA9"},
      {"UTF-16 little endian", "\xFF\xFE[\0C\0]\0\r\0\n\0A\0=\0\xE9\0<\xD8\0\xDF\r\0\n\0"s, "C", "A",
       "\xC3\xA9\xF0\x9F\x8C\x80"},
      {"UTF-16 big endian", "\xFE\xFF\0[\0C\0]\0\n\0A\0=\0x"s, "C", "A", "x"},
      {"UTF-16 odd end and lone surrogate", "\xFF\xFE[\0C\0]\0\n\0A\0=\0\x00\xD8z"s, "C", "A",
       "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"binary garbage", "\0\xFF[\x01]\n\x7F=\0\n[C]\nA=ok\n"s, "C", "A", "ok"},
      {"NUL inside value", "[C]\nA=a\0b\n"s, "C", "A", "a\0b"s},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ProfileTextLookup(c.text, c.section, c.key, "DEF"), c.expected);
  }
}

TEST(ProfileRead, VeryLongLinesAndManySections) {
  std::string text = "[A]\nK=" + std::string(5 << 20, 'v') + "\n";
  for (int i = 0; i < 2000; ++i) text += "[S" + std::to_string(i) + "]\nK=" + std::to_string(i) + "\n";
  EXPECT_EQ(ProfileTextLookup(text, "A", "K", ""), std::string(2047, 'v'));
  EXPECT_EQ(ProfileTextLookup(text, "s1999", "k", ""), "1999");
}

TEST(ProfileRead, FilesThatReadAsMissing) {
  TempDir dir;
  WriteFileBytes(dir / "real.ini", "[C]\nA=1\n");
  std::filesystem::create_directory(dir / "dir.ini");
  std::filesystem::create_symlink(dir / "real.ini", dir / "link.ini");
  std::filesystem::create_symlink(dir / "nowhere.ini", dir / "dangling.ini");
  ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);

  EXPECT_EQ(ReadProfileString(dir / "real.ini", "C", "A", "D"), "1");
  EXPECT_EQ(ReadProfileString(dir / "link.ini", "c", "a", "D"), "1");
  for (const char* name : {"missing.ini", "dir.ini", "dangling.ini", "fifo.ini", "real.ini/x.ini"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadProfileString(dir / name, "C", "A", "D"), "D");
    EXPECT_TRUE(ReadProfileSection(dir / name, "C").empty());
  }
  EXPECT_EQ(ReadProfileString("", "C", "A", "D"), "D");
}

TEST(ProfileRead, Section) {
  TempDir dir;
  WriteFileBytes(dir / "p.ini",
                 "[PERCORSI]\r\n; comment\r\nD:\\Foto = /srv/foto\r\nE:\\=\"/mnt/e\"\r\nnoequals\r\n"
                 "[percorsi]\r\nX=2\r\n[Other]\r\nY=3\r\n");
  auto entries = ReadProfileSection(dir / "p.ini", "Percorsi");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"D:\\Foto", "/srv/foto"}));
  EXPECT_EQ(entries[1], (std::pair<std::string, std::string>{"E:\\", "/mnt/e"}));
  EXPECT_TRUE(ReadProfileSection(dir / "p.ini", "None").empty());
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string section, key, value;
  std::string after;
};

TEST(ProfileWrite, GoldenText) {
  const WriteCase cases[] = {
      {"new text", "", "CONFIG", "Nome Server", "srv", "[CONFIG]\r\nNome Server=srv\r\n"},
      {"replace in place keeps layout",
       "; top\r\n[CONFIG]\r\n; note\r\nNome Server = old \r\nLettera=E\r\n\r\n[X]\r\nA=1\r\n", "config",
       "NOME SERVER", "new",
       "; top\r\n[CONFIG]\r\n; note\r\nNome Server = new\r\nLettera=E\r\n\r\n[X]\r\nA=1\r\n"},
      {"replace with empty", "[C]\nA = old\nB=2\n", "C", "A", "", "[C]\nA =\nB=2\n"},
      {"replace with leading blanks", "[C]\nA = old\n", "C", "A", "  v", "[C]\nA =  v\n"},
      {"replace quoted", "[C]\nA=\"old\"\n", "C", "A", "new", "[C]\nA=new\n"},
      {"replace only first twin", "[C]\nA=1\nA=2\n", "C", "A", "9", "[C]\nA=9\nA=2\n"},
      {"new key after last line of section", "[C]\r\nA=1\r\n; tail\r\n\r\n[D]\r\nB=2\r\n", "C", "Z", "z",
       "[C]\r\nA=1\r\n; tail\r\nZ=z\r\n\r\n[D]\r\nB=2\r\n"},
      {"new key in last section without line end", "[C]\nA=1", "C", "B", "2", "[C]\nA=1\nB=2\n"},
      {"new key in empty section", "[C]\n[D]\n", "C", "B", "2", "[C]\nB=2\n[D]\n"},
      {"new section after blank line", "[C]\nA=1\n", "D", "B", "2", "[C]\nA=1\n\n[D]\nB=2\n"},
      {"new section, no final line end", "[C]\rA=1", "D", "B", "2", "[C]\rA=1\r\r[D]\rB=2\r"},
      {"new section after existing blank", "[C]\r\nA=1\r\n\r\n", "D", "B", "2",
       "[C]\r\nA=1\r\n\r\n[D]\r\nB=2\r\n"},
      {"BOM kept", "\xEF\xBB\xBF[C]\r\nA=1\r\n", "C", "A", "\xC3\xA8", "\xEF\xBB\xBF[C]\r\nA=\xC3\xA8\r\n"},
      {"only a BOM", "\xEF\xBB\xBF", "C", "A", "1", "\xEF\xBB\xBF[C]\r\nA=1\r\n"},
      {"Windows-1252 kept", "[C]\r\nA=caf\xE9\r\n", "C", "B", "\xC3\xA8 \xE2\x82\xAC",
       "[C]\r\nA=caf\xE9\r\nB=\xE8 \x80\r\n"},
      {"Windows-1252 lacks the character: file becomes UTF-8", "[C]\r\nA=\xE9\r\n", "C", "B", "\xE4\xB8\xAD",
       "[C]\r\nA=\xC3\xA9\r\nB=\xE4\xB8\xAD\r\n"},
      {"Windows-1252 lacks the key's character", "[C]\nA=\xE9\n", "C", "\xE4\xB8\xAD", "v",
       "[C]\nA=\xC3\xA9\n\xE4\xB8\xAD=v\n"},
      {"Windows-1252 that would pass for UTF-8 becomes UTF-8", "[C]\nA=\xE9\nB=x\n", "C", "A",
       "\xC3\x83\xC2\xA9", "[C]\nA=\xC3\x83\xC2\xA9\nB=x\n"},
      {"UTF-16 kept", "\xFF\xFE[\0C\0]\0\r\0\n\0"s, "C", "A", "\xC3\xA8",
       "\xFF\xFE[\0C\0]\0\r\0\n\0A\0=\0\xE8\0\r\0\n\0"s},
      {"UTF-16 big endian kept", "\xFE\xFF\0[\0C\0]\0\n\0A\0=\0x"s, "C", "A", "y",
       "\xFE\xFF\0[\0C\0]\0\n\0A\0=\0y"s},
      {"line break in value cut", "[C]\nA=1\n", "C", "A", "two\r\n[Evil]\r\nX=1", "[C]\nA=two\n"},
      {"names trimmed", "", " C ", " K ", " v ", "[C]\r\nK= v \r\n"},
      {"unchanged", "[C]\nA=1\n", "c", "a", "1", "[C]\nA=1\n"},
      {"invalid UTF-8 value read as Windows-1252", "[C]\nA=1\n", "C", "B", "\xE9", "[C]\nA=1\nB=\xC3\xA9\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string after = ProfileTextWrite(c.before, c.section, c.key, c.value);
    EXPECT_EQ(after, c.after);
  }
}

TEST(ProfileWrite, FileCreatedReplacedAndKept) {
  TempDir dir;
  const std::string path = dir / "dati.ini";
  WriteProfileString(path, "CONFIG", "Nome Server", "srv");
  EXPECT_EQ(ReadFileBytes(path), "[CONFIG]\r\nNome Server=srv\r\n");
  WriteProfileString(path, "CONFIG", "Lettera Disco Server", "E");
  WriteProfileString(path, "config", "nome server", "srv2");
  EXPECT_EQ(ReadFileBytes(path), "[CONFIG]\r\nNome Server=srv2\r\nLettera Disco Server=E\r\n");
  EXPECT_EQ(ReadProfileString(path, "CONFIG", "Nome Server"), "srv2");

  // Mode bits survive the replacement; no temporary file is left behind.
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  WriteProfileString(path, "CONFIG", "Alias", "a");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(ProfileWrite, SymbolicLinksStayLinks) {
  TempDir dir;
  WriteFileBytes(dir / "real.ini", "[C]\nA=1\n");
  std::filesystem::create_symlink("real.ini", dir / "link.ini");
  WriteProfileString(dir / "link.ini", "C", "A", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
  EXPECT_EQ(ReadFileBytes(dir / "real.ini"), "[C]\nA=2\n");

  // A dangling link creates the file it points to.
  std::filesystem::create_symlink("target.ini", dir / "dangling.ini");
  WriteProfileString(dir / "dangling.ini", "C", "A", "3");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling.ini"));
  EXPECT_EQ(ReadFileBytes(dir / "target.ini"), "[C]\r\nA=3\r\n");
}

TEST(ProfileWrite, HardLinksSeeTheChange) {
  TempDir dir;
  WriteFileBytes(dir / "a.ini", "[C]\nA=1\n");
  ASSERT_EQ(::link((dir / "a.ini").c_str(), (dir / "b.ini").c_str()), 0);
  WriteProfileString(dir / "a.ini", "C", "A", "22");
  EXPECT_EQ(ReadFileBytes(dir / "b.ini"), "[C]\nA=22\n");
}

TEST(ProfileWrite, UnwritablePathsRaise) {
  TempDir dir;
  WriteFileBytes(dir / "plain", "not a directory");
  std::filesystem::create_directory(dir / "dir.ini");
  const std::string paths[] = {dir / "plain/dati.ini", dir / "dir.ini", dir / "absent/dati.ini",
                               "/proc/velmora-no-such-dir/dati.ini"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    test::ExpectRaises<EIniFileException>([&] { WriteProfileString(path, "CONFIG", "Nome Server", "srv"); },
                                          "Unable to write to " + path, "EIniFileException");
  }
  EXPECT_EQ(ReadFileBytes(dir / "plain"), "not a directory");
}

TEST(ProfileWrite, KeysThatNoLineCanHoldRaise) {
  TempDir dir;
  WriteFileBytes(dir / "p.ini", "[C]\nA=1\n");
  for (const char* key : {"a=b", "; note", "[X]", " [X", "=", "k=\n"}) {
    SCOPED_TRACE(key);
    EXPECT_THROW(ProfileTextWrite("[C]\nA=1\n", "C", key, "v"), EIniFileException);
    test::ExpectRaises<EIniFileException>([&] { WriteProfileString(dir / "p.ini", "C", key, "v"); },
                                          "Unable to write to " + dir / "p.ini");
  }
  EXPECT_EQ(ReadFileBytes(dir / "p.ini"), "[C]\nA=1\n");
  // Brackets and semicolons inside a name are fine.
  EXPECT_EQ(ProfileTextWrite("", "C", "a[1];b", "v"), "[C]\r\na[1];b=v\r\n");
}

// Runs `body` in a child process without root's power to ignore permission
// bits (as "nobody" when the tests run as root); returns its exit code, 77
// when no unprivileged identity could be taken.
int RunUnprivileged(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProfileWrite, ReadOnlyDirectoryAndFile) {
  TempDir dir;
  const std::string ro = dir / "ro/";
  const std::string rw = dir / "rw/";
  std::filesystem::create_directory(ro);
  std::filesystem::create_directory(rw);
  WriteFileBytes(ro + "existing.ini", "[C]\nA=1\n");
  WriteFileBytes(rw + "readonly.ini", "[C]\nA=1\n");
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((ro + "existing.ini").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(ro.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(rw.c_str(), 0777), 0);
  ASSERT_EQ(::chmod((rw + "readonly.ini").c_str(), 0444), 0);

  auto raises = [](const std::string& path) {
    try {
      WriteProfileString(path, "C", "A", "2");
    } catch (const EIniFileException& e) {
      return e.Message() == "Unable to write to " + path ? 0 : 2;
    }
    return 1;
  };
  int code = RunUnprivileged([&] { return raises(ro + "dati.ini"); });
  if (code == 77) GTEST_SKIP() << "no unprivileged identity available";
  EXPECT_EQ(code, 0) << "new file in a read-only directory";
  EXPECT_FALSE(std::filesystem::exists(ro + "dati.ini"));
  EXPECT_EQ(RunUnprivileged([&] { return raises(rw + "readonly.ini"); }), 0) << "read-only file";
  EXPECT_EQ(ReadFileBytes(rw + "readonly.ini"), "[C]\nA=1\n");
  // A writable file in a directory that takes no new files is rewritten in place.
  EXPECT_EQ(RunUnprivileged([&] {
              WriteProfileString(ro + "existing.ini", "C", "A", "2");
              return 0;
            }),
            0);
  EXPECT_EQ(ReadFileBytes(ro + "existing.ini"), "[C]\nA=2\n");
  // So is another user's writable file in a sticky directory, which keeps
  // its owner.
  const std::string sticky = dir / "sticky/";
  std::filesystem::create_directory(sticky);
  WriteFileBytes(sticky + "shared.ini", "[C]\nA=1\n");
  ASSERT_EQ(::chmod((sticky + "shared.ini").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  struct stat before {};
  ASSERT_EQ(::stat((sticky + "shared.ini").c_str(), &before), 0);
  EXPECT_EQ(RunUnprivileged([&] {
              WriteProfileString(sticky + "shared.ini", "C", "A", "3");
              return 0;
            }),
            0);
  EXPECT_EQ(ReadFileBytes(sticky + "shared.ini"), "[C]\nA=3\n");
  struct stat after {};
  ASSERT_EQ(::stat((sticky + "shared.ini").c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, before.st_uid);
}

}  // namespace
}  // namespace velmora
