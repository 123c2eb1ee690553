#include "platform/Paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

using test::TempDir;
using test::WriteFileBytes;

TEST(Paths, SplitAfterLastSeparatorOrDrive) {
  const struct {
    const char* path;
    const char* dir;
    const char* name;
  } cases[] = {
      {"/srv/foto/a.jpg", "/srv/foto/", "a.jpg"},
      {"D:\\Archivi\\archivio.fdb", "D:\\Archivi\\", "archivio.fdb"},
      {"D:archivio.fdb", "D:", "archivio.fdb"},
      {"\\\\srv\\dati\\archivi\\", "\\\\srv\\dati\\archivi\\", ""},
      {"mixed/dir\\file", "mixed/dir\\", "file"},
      {"srv:D:\\x.fdb", "srv:D:\\", "x.fdb"},
      {"name.ini", "", "name.ini"},
      {"/", "/", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFilePath(c.path), c.dir);
    EXPECT_EQ(ExtractFileName(c.path), c.name);
  }
}

TEST(Paths, TrailingDelimiter) {
  const struct {
    const char* dir;
    const char* with;
  } cases[] = {{"", "/"}, {"/a", "/a/"}, {"/a/", "/a/"}, {"D:\\a\\", "D:\\a\\"}, {"D:", "D:/"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(IncludeTrailingPathDelimiter(c.dir), c.with);
  }
}

TEST(Paths, MapStoredPath) {
  const std::vector<std::pair<std::string, std::string>> prefixes = {
      {"\\\\SRV\\Foto\\", "/srv/foto/"},
      {"\\\\srv\\foto\\2020\\", "/archive/2020/"},
      {"D:\\", "/mnt/d/"},
      {"", "/never/"},
  };
  const struct {
    const char* stored;
    const char* local;
  } cases[] = {
      {"\\\\srv\\FOTO\\a\\b.jpg", "/srv/foto/a/b.jpg"},
      {"\\\\srv\\foto\\2020\\c.jpg", "/archive/2020/c.jpg"},  // the longest prefix wins
      {"d:\\x\\y.jpg", "/mnt/d/x/y.jpg"},
      {"E:\\z.jpg", "E:/z.jpg"},  // no prefix: separators only
      {"D:", "D:"},               // shorter than every prefix
      {"\\\\srv\\fotografie\\x", "//srv/fotografie/x"},
      {"/already/local.jpg", "/already/local.jpg"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(MapStoredPath(c.stored, prefixes), c.local);
  }
}

TEST(Paths, LocalPathFromParameterFile) {
  TempDir dir;
  WriteFileBytes(dir / "ParametriKelvora.ini",
                 "[CONFIG]\r\nUtente=1\r\n[Percorsi]\r\n\\\\srv\\foto\\=/srv/foto/\r\n");
  EXPECT_EQ(LocalPathFromStored("\\\\SRV\\Foto\\2021\\a.jpg", dir / "ParametriKelvora.ini"),
            "/srv/foto/2021/a.jpg");
  EXPECT_EQ(LocalPathFromStored("\\\\srv\\foto\\a.jpg", dir / "missing.ini"), "//srv/foto/a.jpg");
}

TEST(Paths, FileExistsFollowsLinks) {
  TempDir dir;
  namespace fs = std::filesystem;
  WriteFileBytes(dir / "file", "x");
  fs::create_directory(dir / "dir");
  fs::create_symlink(dir / "file", dir / "link-to-file");
  fs::create_symlink(dir / "dir", dir / "link-to-dir");
  fs::create_symlink(dir / "gone", dir / "dangling");
  fs::create_symlink(dir / "link-to-file", dir / "link-to-link");
  fs::create_symlink(dir / "loop", dir / "loop");
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {dir / "file", true},  {dir / "link-to-file", true}, {dir / "link-to-link", true},
      {dir / "dir", false},  {dir / "link-to-dir", false}, {dir / "dangling", false},
      {dir / "loop", false}, {dir / "missing", false},     {dir / "file/below", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(FileExists(c.path), c.exists);
  }
}

TEST(Paths, ExecutableDirectoryIsTheRealOne) {
  std::string expected = std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(ExecutableDirectory(), expected);
  EXPECT_EQ(ExecutableDirectory(),
            std::filesystem::canonical(test::BinaryPath("tests/platform")).string() + "/");
}

}  // namespace
}  // namespace velmora
