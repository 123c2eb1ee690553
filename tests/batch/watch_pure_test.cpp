// The service's retry plan and its texts, over given moments.
#include <gtest/gtest.h>

#include <tuple>

#include "app/batch/ServiceManager.h"
#include "app/batch/WatchSchedule.h"

namespace velmora {
namespace {

using std::chrono::seconds;

TEST(WatchSchedule, PausesGrowToHalfAnHour) {
  const std::pair<int, int64_t> cases[] = {{1, 10},  {2, 20},  {3, 40},   {4, 80},   {5, 160},    {6, 320},
                                           {7, 640}, {8, 1280}, {9, 1800}, {10, 1800}, {1000, 1800}};
  for (auto [guasti, attesa] : cases) EXPECT_EQ(PausaDopoGuasti(guasti).count(), attesa) << guasti;
}

TEST(WatchSchedule, FailureKinds) {
  const std::pair<const char*, EsitoTentativo> cases[] = {
      {"File da caricare non esiste C:\\Foto\\f1.jpg", EsitoTentativo::kFileMancante},
      {"EFOpenError: Cannot open file \"/x\". Permission denied", EsitoTentativo::kFileMancante},
      {"EReadError: Read error", EsitoTentativo::kFileMancante},
      {"EIdSocketError: Socket Error # 10061  Connection refused.", EsitoTentativo::kGuasto},
      {"EIdHTTPProtocolException: HTTP/1.1 503 Service Unavailable", EsitoTentativo::kGuasto},
      {"foto caricata non trovata nell'album entro 60 s", EsitoTentativo::kGuasto},
      {"accesso non riuscito: ... File da caricare non esiste", EsitoTentativo::kGuasto},
  };
  for (auto [motivo, classe] : cases) EXPECT_EQ(ClasseGuasto(motivo), classe) << motivo;
}

// One row through a sequence of tries: at each step, whether it was due,
// the line told (or none), and the next due moment.
TEST(WatchSchedule, ARowThroughItsTries) {
  struct Passo {
    int64_t t;  // seconds since the start
    EsitoTentativo esito;
    const char* motivo;
    bool dovuta;        // DaProvare at t
    const char* riga;   // "" = nothing told
    int64_t prossima;   // the next due moment, -1 = the row left the plan
  };
  const char* rifiuto = "EIdSocketError: Socket Error # 10061  Connection refused.";
  const char* file = "File da caricare non esiste C:\\Foto\\f5.jpg";
  const Passo passi[] = {
      {0, EsitoTentativo::kGuasto, rifiuto, true,
       "Riga 5: non riuscita: EIdSocketError: Socket Error # 10061  Connection refused.; nuovo tentativo tra 10 s",
       10},
      // The same failure again: nothing told, the pause doubles.
      {10, EsitoTentativo::kGuasto, rifiuto, true, "", 30},
      {30, EsitoTentativo::kGuasto, rifiuto, true, "", 70},
      // Another reason is a change.
      {70, EsitoTentativo::kGuasto, "EIdHTTPProtocolException: HTTP/1.1 500 Internal Server Error", true,
       "Riga 5: non riuscita: EIdHTTPProtocolException: HTTP/1.1 500 Internal Server Error; nuovo tentativo "
       "tra 80 s",
       150},
      // An interrupted try changes nothing.
      {150, EsitoTentativo::kInterrotta, "", true, "", 150},
      {150, EsitoTentativo::kFileMancante, file,
       true, "Riga 5: saltata: File da caricare non esiste C:\\Foto\\f5.jpg; nuovo controllo tra 10 min", 750},
      {750, EsitoTentativo::kFileMancante, file, true, "", 1350},
      // The file came; a failure then starts again from 10 s.
      {1350, EsitoTentativo::kGuasto, rifiuto, true,
       "Riga 5: non riuscita: EIdSocketError: Socket Error # 10061  Connection refused.; nuovo tentativo tra 10 s",
       1360},
      {1360, EsitoTentativo::kOccupata, "", true, "Riga 5: in lavorazione in un altro processo", 1360},
      {1365, EsitoTentativo::kOccupata, "", true, "", 1365},
      {1370, EsitoTentativo::kFatta, "", true, "", -1},
  };
  PianoTentativi piano;
  const IstanteServizio zero{};
  for (const Passo& p : passi) {
    SCOPED_TRACE(p.t);
    const IstanteServizio t = zero + seconds(p.t);
    EXPECT_EQ(piano.DaProvare(5, t), p.dovuta);
    std::optional<CambioRiga> cambio = piano.Registra(5, p.esito, p.motivo, t);
    EXPECT_EQ(cambio ? RigaCambio(*cambio) : "", p.riga);
    if (p.prossima < 0) {
      EXPECT_EQ(piano.Righe(), 0u);
      EXPECT_FALSE(piano.ProssimaScadenza());
    } else {
      ASSERT_TRUE(piano.ProssimaScadenza());
      EXPECT_EQ(*piano.ProssimaScadenza(), zero + seconds(p.prossima));
      if (p.prossima > p.t) {
        EXPECT_FALSE(piano.DaProvare(5, zero + seconds(p.prossima - 1)));
      }
      EXPECT_TRUE(piano.DaProvare(5, zero + seconds(p.prossima)));
    }
  }
}

TEST(WatchSchedule, RowsAreIndependentAndForgottenWhenNoLongerPending) {
  PianoTentativi piano;
  const IstanteServizio t0{};
  EXPECT_TRUE(piano.Registra(1, EsitoTentativo::kGuasto, "x", t0));
  EXPECT_TRUE(piano.Registra(2, EsitoTentativo::kGuasto, "x", t0 + seconds(5)));
  EXPECT_TRUE(piano.DaProvare(3, t0));  // never tried
  EXPECT_FALSE(piano.DaProvare(1, t0 + seconds(9)));
  EXPECT_TRUE(piano.DaProvare(1, t0 + seconds(10)));
  EXPECT_FALSE(piano.DaProvare(2, t0 + seconds(10)));
  EXPECT_EQ(*piano.ProssimaScadenza(), t0 + seconds(10));
  piano.Conserva({2, 7});
  EXPECT_EQ(piano.Righe(), 1u);
  EXPECT_TRUE(piano.DaProvare(1, t0));
  // A row that came back after it was forgotten starts afresh: told again.
  EXPECT_TRUE(piano.Registra(1, EsitoTentativo::kGuasto, "x", t0 + seconds(20)));
}

TEST(WatchSchedule, StatusLine) {
  EXPECT_EQ(RigaStatoServizio(3, 120, ""), "in attesa 3, pubblicate oggi 120, nessun errore");
  EXPECT_EQ(RigaStatoServizio(0, 0, "Riga 4: non riuscita:\r\nguasto"),
            "in attesa 0, pubblicate oggi 0, ultimo errore Riga 4: non riuscita:  guasto");
  // Cut to 200 bytes, never inside a character.
  const std::string lungo = std::string(199, 'a') + "è" + std::string(50, 'b');
  EXPECT_EQ(RigaStatoServizio(1, 2, lungo), "in attesa 1, pubblicate oggi 2, ultimo errore " +
                                                std::string(199, 'a') + "…");
}

TEST(ServiceManager, JournalStreamAndLines) {
  const std::tuple<const char*, dev_t, ino_t, bool> streams[] = {
      {"64769:1234567", 64769, 1234567, true}, {"64769:1234567", 64769, 1234568, false},
      {"64768:1234567", 64769, 1234567, false}, {"", 0, 0, false},
      {"64769", 64769, 0, false},               {"64769:", 64769, 0, false},
      {"x:1", 0, 1, false},                     {"1:2:3", 1, 2, false},
      {" 1:2", 1, 2, false},
  };
  for (auto [text, device, inode, matches] : streams) {
    EXPECT_EQ(StreamDelJournal(text, device, inode), matches) << text;
  }
  EXPECT_EQ(RigaServizio(Priorita::kErrore, "Riga 3: non riuscita", true), "<3>Riga 3: non riuscita\n");
  EXPECT_EQ(RigaServizio(Priorita::kAvviso, "x", true), "<4>x\n");
  EXPECT_EQ(RigaServizio(Priorita::kInfo, "x", true), "<6>x\n");
  EXPECT_EQ(RigaServizio(Priorita::kErrore, "x", false), "x\r\n");
}

}  // namespace
}  // namespace velmora
