// Two services on one archive on the local Firebird server, as two
// workstations would run them: they share the work, every row is published
// once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/batch/WatchTestSupport.h"

namespace velmora::test {
namespace {

class WatchServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(StartFirebirdServer(error)) << error;
  }
  ServerTempDir serverDir_;
};

TEST_F(WatchServer, TwoServicesOnOneArchiveShareTheWork) {
  // Slow uploads keep both services busy on the same rows.
  BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 150, "pass": true}])"),
                 serverDir_.ConnectString("archivio.fdb"));
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 12; ++id) a.AddTransfer(id, 1);
  StartedService first(a, {"--interval", "1", "--jobs", "2"});
  StartedService second(a, {"--interval", "1", "--jobs", "2"});
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 1, 12); }, std::chrono::seconds(180))) << first.Out() << second.Out();
  for (int id = 13; id <= 20; ++id) a.AddTransfer(id, 1);
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 13, 20); }, std::chrono::seconds(180))) << first.Out() << second.Out();
  for (StartedService* s : {&first, &second}) {
    s->Signal(SIGTERM);
    const int status = s->Wait(60);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << s->Out();
  }
  EXPECT_EQ(a.ExpectConsistent(), 20u);
  auto state = a.Peer().State();
  EXPECT_EQ(state->GetValue("photos").AsArray().Count(), 20u);
  EXPECT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
  int uploads = 0;
  for (const std::string& line : a.Peer().RequestLines()) {
    uploads += line.rfind("POST ", 0) == 0 && line.find("/upload/") != std::string::npos;
  }
  EXPECT_EQ(uploads, 20);
  for (int id = 1; id <= 20; ++id) {
    const std::string tag = "Riga " + std::to_string(id) + ": ";
    EXPECT_EQ(first.CountLines(tag + "pubblicata ") + second.CountLines(tag + "pubblicata ") +
                  first.CountLines(tag + "già sul server ") + second.CountLines(tag + "già sul server "),
              1)
        << id << "\n" << first.Out() << second.Out();
  }
}

}  // namespace
}  // namespace velmora::test
