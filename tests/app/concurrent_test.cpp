// Runs of the real program side by side on one embedded archive, and a run
// while another process keeps the archive open, as the archive application
// does while it starts runs.
#include <gtest/gtest.h>

#include "archive/DBUtility.h"
#include "archive/SharedEngine.h"
#include "tests/app/ConcurrentRuns.h"

namespace velmora::test {
namespace {

TEST(ConcurrentRuns, EightRunsOnOneAlbumRowEachPublishTheirOwnPhotoIntoOneAlbum) {
  PublicationSetup setup({}, ArchiveRows{});
  std::vector<TransferToPublish> transfers = AddTransfers(setup, 8);
  std::vector<ProcessResult> results = RunAllAtOnce(setup, transfers);
  ExpectEachRunPublishedItsOwnPhoto(setup, transfers, results);
}

// A configuration directory of the user's own, in the engine's default mode:
// every entry of the installation root linked, firebird.conf saying Super.
class UserFirebirdDirectory {
 public:
  UserFirebirdDirectory() {
    std::string conf = ReadFileBytes(std::string(DefaultFirebirdRoot()) + "/firebird.conf");
    WriteFileBytes(dir_ / "firebird.conf", conf + "\nServerMode = Super\n");
    for (const char* name :
         {"plugins.conf", "databases.conf", "firebird.msg", "plugins", "intl", "lib", "UDF"})
      RunProcess({"/bin/ln", "-s", std::string(DefaultFirebirdRoot()) + "/" + name, dir_ / name});
  }
  std::string Path() const { return dir_.Path(); }

 private:
  TempDir dir_;
};

TEST(ConcurrentRuns, RunPublishesWhileAnotherProcessKeepsTheArchiveOpen) {
  UserFirebirdDirectory userDirectory;
  struct Case {
    const char* name;
    std::string firebird;  // FIREBIRD for the run ("" = not set)
  } cases[] = {
      {.name = "FIREBIRD not set", .firebird = ""},
      {.name = "FIREBIRD naming the user's own directory in the default mode",
       .firebird = userDirectory.Path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublicationSetup setup({}, ArchiveRows{});
    // This process stands for the archive application: attached, with a read
    // transaction open on the rows the run writes.
    TIBDatabase archive;
    AttachDatabase(archive, setup.ArchivePath());
    TIBSQL reader;
    reader.SetDatabase(&archive);
    reader.SetTransaction(TransazioneReadCommitted(archive));
    reader.ParamCheck = false;
    reader.SQL = {"SELECT IDPRISM FROM KELTRANSFLOG WHERE ID=5"};
    reader.ExecQuery();
    EXPECT_EQ(reader.FieldByName("IDPRISM").AsString(), "prima");

    std::map<std::string, std::string> env = RunEnvironment();
    env["FIREBIRD"] = c.firebird;
    ProcessResult run =
        RunProcess({ProgramIn(setup), "1", "query_esterno", "qualsiasi", "5"}, setup.Dir().Path(), env, 300);
    EXPECT_EQ(ConsoleLines(run.out),
              setup.PublishedLines());
    std::vector<std::string> row = setup.TransferRow();
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[0], setup.Peer().State()->GetValue("photos[0].UID").AsText());
    EXPECT_TRUE(archive.Connected());
  }
}

}  // namespace
}  // namespace velmora::test
