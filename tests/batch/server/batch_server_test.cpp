// Batches whose archive is on the local Firebird server: the rows of one
// album published once each, and two batches started at once on the same
// archive, each row claimed by one of them.
#include <gtest/gtest.h>

#include "tests/batch/BatchTestSupport.h"

namespace velmora::test {
namespace {

class BatchServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(StartFirebirdServer(error)) << error;
  }
  ServerTempDir serverDir_;
};

TEST_F(BatchServer, PublishesEveryRowOnceThroughTheServer) {
  BatchArchive a({}, serverDir_.ConnectString("archivio.fdb"));
  a.AddAlbum(1, "Matrimonio");
  a.AddAlbum(2, "Battesimo");
  for (int id = 1; id <= 30; ++id) a.AddTransfer(id, id <= 15 ? 1 : 2);
  ProcessResult run = a.Run({"--jobs", "4"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(a.ExpectConsistent(), 30u);
  EXPECT_EQ(a.Peer().State()->GetValue("albums").AsArray().Count(), 2u);
  ProcessResult again = a.Run();
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_EQ(Lines(again.out).size(), 1u) << again.out;
}

TEST_F(BatchServer, TwoBatchesAtOncePublishEveryRowOnce) {
  BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 150, "pass": true}])"),
                 serverDir_.ConnectString("archivio.fdb"));
  ExpectTwoBatchesPublishEveryRowOnce(a);
}

}  // namespace
}  // namespace velmora::test
