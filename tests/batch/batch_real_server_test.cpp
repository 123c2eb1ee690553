// Whole batches of the real velmora-batch program against the test server's
// real profile: a video listed as two files, library-wide de-duplication,
// an archived photo that is filed but never listed.
#include <gtest/gtest.h>

#include "tests/batch/BatchTestSupport.h"
#include "transport/Sha1.h"

namespace velmora::test {
namespace {

// The line of row `id`, "" when there is none.
std::string LineOfRow(const std::string& out, int id) {
  for (const std::string& line : Lines(out)) {
    if (line.rfind("Riga " + std::to_string(id) + ": ", 0) == 0) return line;
  }
  return "";
}

TEST(BatchRealServer, VideosDuplicatesAndArchivedPhotos) {
  BatchArchive a(WithProfile("real"));
  a.AddAlbum(1, "Matrimonio");
  a.AddAlbum(2, "Archivio vecchio");
  // The library holds rows 6 and 8 in album row 2's album; row 8's photo is
  // archived afterwards.
  a.AddTransfer(6, 2);
  a.AddTransfer(8, 2);
  ProcessResult earlier = a.Run({"--album", "2"});
  ASSERT_EQ(earlier.exitCode, 0) << earlier.out << earlier.err;
  const std::string photo6 = a.Transfers()[6].idPrism;
  const std::string photo8 = a.Transfers()[8].idPrism;
  a.Peer().Archive(photo8);

  // Album row 1: two photos, a video, and the bytes of rows 6 and 8 again.
  a.AddTransfer(1, 1);
  a.AddTransfer(2, 1);
  a.AddTransfer(3, 1, false);
  a.Execute("UPDATE KELITEMPHOTO SET ESTENSIONE_FILE='mp4' WHERE ID=3");
  const std::string video = "\x00\x00\x00\x18" + std::string("ftypmp42 a short film ") + std::string(4000, 'v');
  WriteFileBytes(a.Dir() / "foto/f3.mp4", video);
  a.AddTransfer(7, 1, true, ReadFileBytes(a.PhotoPath(6)));
  a.AddTransfer(9, 1, true, ReadFileBytes(a.PhotoPath(8)));

  ProcessResult run = a.Run({"--album", "1", "--wait", "2"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  auto transfers = a.Transfers();
  auto state = a.Peer().State();
  const TJSONArray& photos = state->GetValue("photos").AsArray();
  // Rows 1, 2 and the video are new photos; 7 and 9 made none.
  EXPECT_EQ(photos.Count(), 5u);

  // The video counts once and is recorded by the video's own element.
  EXPECT_EQ(LineOfRow(run.out, 3), "Riga 3: pubblicata " + transfers[3].idPrism);
  EXPECT_EQ(transfers[3].hashPrism, Sha1Hex(video));
  const TJSONValue* listed = nullptr;
  for (size_t p = 0; p < photos.Count(); ++p) {
    if (photos.Items(p).GetValue("UID").AsText() == transfers[3].idPrism) listed = &photos.Items(p);
  }
  ASSERT_NE(listed, nullptr);
  ASSERT_NE(listed->FindValue("Preview"), nullptr);
  EXPECT_EQ(listed->GetValue("Title").AsText(), "Titolo 3");

  for (int id : {1, 2}) {
    EXPECT_EQ(LineOfRow(run.out, id), "Riga " + std::to_string(id) + ": pubblicata " + transfers[id].idPrism);
    EXPECT_EQ(transfers[id].hashPrism, a.PhotoSha1(id));
  }
  // The server filed the photo it holds already: row 7 names it.
  EXPECT_EQ(transfers[7].idPrism, photo6);
  EXPECT_EQ(transfers[7].hashPrism, a.PhotoSha1(6));
  EXPECT_EQ(LineOfRow(run.out, 7), "Riga 7: pubblicata " + photo6);
  // The archived one is filed but never listed: reported after --wait, left
  // pending.
  EXPECT_EQ(LineOfRow(run.out, 9), "Riga 9: non riuscita: foto caricata non trovata nell'album entro 2 s");
  EXPECT_EQ(transfers[9].dataOra, "");
  EXPECT_EQ(transfers[9].idPrism, "");
  EXPECT_EQ(Lines(run.out).back().rfind("Pubblicate 4, già sul server 0, non riuscite 1, saltate 0;", 0), 0u)
      << run.out;
  EXPECT_EQ(a.Peer().Counter("duplicates"), 2);
}

}  // namespace
}  // namespace velmora::test
