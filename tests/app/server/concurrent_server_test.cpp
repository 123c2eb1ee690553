// Runs of the real program side by side on one archive reached through the
// local Firebird server ("localhost:/path").
#include <gtest/gtest.h>

#include "tests/app/ConcurrentRuns.h"

namespace velmora::test {
namespace {

TEST(ConcurrentServerRuns, EightRunsOnOneAlbumRowEachPublishTheirOwnPhotoIntoOneAlbum) {
  std::string error;
  ASSERT_TRUE(StartFirebirdServer(error)) << error;
  ServerTempDir serverDir;
  ArchiveRows rows;
  rows.archive = serverDir.ConnectString("archivio.fdb");
  PublicationSetup setup({}, rows);
  std::vector<TransferToPublish> transfers = AddTransfers(setup, 8);
  std::vector<ProcessResult> results = RunAllAtOnce(setup, transfers);
  ExpectEachRunPublishedItsOwnPhoto(setup, transfers, results);
}

}  // namespace
}  // namespace velmora::test
