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
  // Slow uploads keep both batches busy on the same rows at the same time.
  BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 150, "pass": true}])"),
                 serverDir_.ConnectString("archivio.fdb"));
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 16; ++id) a.AddTransfer(id, 1);
  StartedBatch first(a, {"--jobs", "2"});
  StartedBatch second(a, {"--jobs", "2"});
  int s1 = first.Wait(240);
  int s2 = second.Wait(240);
  ASSERT_TRUE(WIFEXITED(s1) && WIFEXITED(s2)) << s1 << " " << s2;
  EXPECT_EQ(WEXITSTATUS(s1), 0) << first.Out();
  EXPECT_EQ(WEXITSTATUS(s2), 0) << second.Out();
  EXPECT_EQ(a.ExpectConsistent(), 16u);
  auto state = a.Peer().State();
  EXPECT_EQ(state->GetValue("photos").AsArray().Count(), 16u);
  EXPECT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
  // Every row is reported as published by exactly one of the two.
  const std::string out = first.Out() + second.Out();
  for (int id = 1; id <= 16; ++id) {
    const std::string tag = "Riga " + std::to_string(id) + ": ";
    int published = 0;
    for (const std::string& line : Lines(out)) {
      published += line.rfind(tag + "pubblicata ", 0) == 0 || line.rfind(tag + "già sul server ", 0) == 0;
    }
    EXPECT_EQ(published, 1) << "row " << id << "\n" << out;
  }
}

}  // namespace
}  // namespace velmora::test
