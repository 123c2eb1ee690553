// The pure parts of velmora-batch: the command line, the selection
// statement, the listing page reader and the console texts.
#include <gtest/gtest.h>

#include <tuple>

#include "app/batch/AlbumListing.h"
#include "app/batch/BatchOptions.h"
#include "app/batch/BatchReport.h"
#include "app/batch/BatchWork.h"
#include "app/batch/SelezioneTrasferimenti.h"
#include "platform/Exceptions.h"
#include "publish/PrenotazioneTrasferimento.h"

namespace velmora {
namespace {

std::vector<std::string> Args(std::initializer_list<const char*> rest) {
  std::vector<std::string> args{"velmora-batch"};
  for (const char* a : rest) args.emplace_back(a);
  return args;
}

TEST(BatchOptions, AcceptedCommandLines) {
  EsitoArgomenti e = AnalizzaArgomenti(
      Args({"--jobs=8", "1", "--album", "3", "query", "--album", "4", "--ids", "5,7,10-20", "--wait", "0",
            "--dry-run", "--report", "r.json", "--group-files", "7", "--group-mib=100"}));
  ASSERT_FALSE(e.errore) << *e.errore;
  EXPECT_EQ(e.opzioni.utente, "1");
  EXPECT_EQ(e.opzioni.ditta, "query");
  EXPECT_EQ(e.opzioni.album, (std::vector<int64_t>{3, 4}));
  EXPECT_EQ(e.opzioni.ids, (std::vector<IntervalloId>{{5, 5}, {7, 7}, {10, 20}}));
  EXPECT_EQ(e.opzioni.jobs, 8);
  EXPECT_EQ(e.opzioni.attesaS, 0);
  EXPECT_TRUE(e.opzioni.dryRun);
  EXPECT_EQ(e.opzioni.report, "r.json");
  EXPECT_EQ(e.opzioni.filePerImport, 7);
  EXPECT_EQ(e.opzioni.mibPerImport, 100);

  EsitoArgomenti d = AnalizzaArgomenti(Args({"u", "d"}));
  ASSERT_FALSE(d.errore);
  EXPECT_EQ(d.opzioni.jobs, 4);
  EXPECT_EQ(d.opzioni.attesaS, 60);
  EXPECT_EQ(d.opzioni.filePerImport, 50);
  EXPECT_EQ(d.opzioni.mibPerImport, 2048);
  EXPECT_TRUE(d.opzioni.ids.empty());

  // "--" ends the options: a user code may start with "--".
  EsitoArgomenti dash = AnalizzaArgomenti(Args({"--", "--u", "d"}));
  ASSERT_FALSE(dash.errore);
  EXPECT_EQ(dash.opzioni.utente, "--u");

  EXPECT_FALSE(d.opzioni.watch);
  EXPECT_FALSE(d.opzioni.ripara);
  EXPECT_EQ(d.opzioni.intervalloS, 5);

  EsitoArgomenti w =
      AnalizzaArgomenti(Args({"u", "d", "--watch", "--interval=1", "--album", "2", "--ripara"}));
  ASSERT_FALSE(w.errore) << *w.errore;
  EXPECT_TRUE(w.opzioni.watch);
  EXPECT_TRUE(w.opzioni.ripara);
  EXPECT_EQ(w.opzioni.intervalloS, 1);
  EXPECT_EQ(w.opzioni.album, (std::vector<int64_t>{2}));
  EXPECT_EQ(AnalizzaArgomenti(Args({"--watch", "u", "d"})).opzioni.intervalloS, 5);
  EXPECT_EQ(AnalizzaArgomenti(Args({"u", "d", "--watch", "--interval", "3600"})).opzioni.intervalloS, 3600);
  EsitoArgomenti r = AnalizzaArgomenti(Args({"u", "d", "--ripara", "--ids", "4"}));
  ASSERT_FALSE(r.errore) << *r.errore;
  EXPECT_TRUE(r.opzioni.ripara);

  // --help and --version win over errors.
  EXPECT_TRUE(AnalizzaArgomenti(Args({"--jobs", "x", "--help"})).opzioni.aiuto);
  EXPECT_FALSE(AnalizzaArgomenti(Args({"--version", "--bad"})).errore);
}

TEST(BatchOptions, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string errore;
  };
  const Case cases[] = {
      {{"u"}, "mancano UTENTE e DITTA"},
      {{"u", "d", "e"}, "argomento in più: e"},
      {{"u", "d", "--jobs", "0"}, "valore non valido per --jobs: \"0\" (atteso un numero da 1 a 32)"},
      {{"u", "d", "--jobs", "33"}, "valore non valido per --jobs: \"33\" (atteso un numero da 1 a 32)"},
      {{"u", "d", "--jobs"}, "manca il valore di --jobs"},
      {{"u", "d", "--group-files", "0"},
       "valore non valido per --group-files: \"0\" (atteso un numero da 1 a 1000)"},
      {{"u", "d", "--group-mib", "65537"},
       "valore non valido per --group-mib: \"65537\" (atteso un numero da 1 a 65536)"},
      {{"u", "d", "--wait", "-1"}, "valore non valido per --wait: \"-1\" (attesi i secondi, da 0 a 86400)"},
      {{"u", "d", "--album", "3 OR 1=1"},
       "valore non valido per --album: \"3 OR 1=1\" (atteso l'identificativo di una riga album)"},
      {{"u", "d", "--ids", "5,,7"}, "valore non valido per --ids: elemento vuoto (esempio: --ids 5,7,10-20)"},
      {{"u", "d", "--ids", "9-3"},
       "valore non valido per --ids: intervallo \"9-3\" al contrario (esempio: --ids 5,7,10-20)"},
      {{"u", "d", "--ids", "1;DROP"},
       "valore non valido per --ids: \"1;DROP\" non è un identificativo o un intervallo A-B (esempio: --ids "
       "5,7,10-20)"},
      {{"u", "d", "--ids", "1\n2"},
       "valore non valido per --ids: \"1?2\" non è un identificativo o un intervallo A-B (esempio: --ids "
       "5,7,10-20)"},
      {{"u", "d", "--dry-run=1"}, "l'opzione --dry-run non vuole un valore"},
      {{"u", "d", "--nuova"}, "opzione sconosciuta: --nuova"},
      {{"u", "d", "--report="}, "manca il nome del file di --report"},
      {{"", "d"}, "UTENTE e DITTA non possono essere vuoti"},
      {{"u", "d", "--watch", "--interval", "0"},
       "valore non valido per --interval: \"0\" (attesi i secondi, da 1 a 3600)"},
      {{"u", "d", "--watch", "--interval", "3601"},
       "valore non valido per --interval: \"3601\" (attesi i secondi, da 1 a 3600)"},
      {{"u", "d", "--watch", "--interval", "2.5"},
       "valore non valido per --interval: \"2.5\" (attesi i secondi, da 1 a 3600)"},
      {{"u", "d", "--watch", "--interval"}, "manca il valore di --interval"},
      {{"u", "d", "--interval", "5"}, "--interval vale solo con --watch"},
      {{"u", "d", "--watch=1"}, "l'opzione --watch non vuole un valore"},
      {{"u", "d", "--watch", "--ids", "3"},
       "--watch non va con --ids: il servizio pubblica le righe in attesa"},
      {{"u", "d", "--watch", "--dry-run"}, "--watch non va con --dry-run"},
      {{"u", "d", "--watch", "--report", "r.json"}, "--watch non va con --report"},
      {{"u", "d", "--ripara", "--dry-run"}, "--ripara non va con --dry-run"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"velmora-batch"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EsitoArgomenti e = AnalizzaArgomenti(args);
    ASSERT_TRUE(e.errore) << c.errore;
    EXPECT_EQ(*e.errore, c.errore);
  }
}

TEST(BatchSelection, StatementText) {
  const std::string head =
      "SELECT L.ID, L.IDALBUM, L.IDITEMPHOTO, L.DATAORATRANSF, L.IDPRISM, L.HASHPRISM, A.TOKENPRISM, "
      "A.IDUSERPRISM, A.ACCOUNTUSER, "
      "A.ACCOUNTPASSWORD, A.NOMESITOPRISM, A.IDALBUMPRISM, A.NOMEALBUM, P.PERCORSOFOTO, P.NOMEFILE, "
      "P.ESTENSIONE_FILE, P.TITOLO FROM KELTRANSFLOG L INNER JOIN KELALBUMPRISM A ON (L.IDALBUM=A.ID) "
      "INNER JOIN KELITEMPHOTO P ON (L.IDITEMPHOTO=P.ID) WHERE ";
  EXPECT_EQ(TestoSelezione({}), head + "L.DATAORATRANSF IS NULL ORDER BY L.IDALBUM, L.ID");
  EXPECT_EQ(TestoSelezione({{3, 4}, {}}),
            head + "L.DATAORATRANSF IS NULL AND L.IDALBUM IN (3,4) ORDER BY L.IDALBUM, L.ID");
  EXPECT_EQ(TestoSelezione({{}, {{5, 5}, {10, 20}}}),
            head + "(L.ID=5 OR L.ID BETWEEN 10 AND 20) ORDER BY L.IDALBUM, L.ID");
  const std::string senzaFoto =
      "L.DATAORATRANSF IS NOT NULL AND (L.HASHPRISM IS NULL OR L.HASHPRISM = '') AND CHAR_LENGTH(L.IDPRISM) "
      "= 6";
  SelezioneTrasferimenti ripara;
  ripara.ripara = true;
  EXPECT_EQ(TestoSelezione(ripara),
            head + "(L.DATAORATRANSF IS NULL OR " + senzaFoto + ") ORDER BY L.IDALBUM, L.ID");
  // The service's look: the transfer table alone, ids only.
  EXPECT_EQ(TestoControllo({}, false),
            "SELECT L.ID FROM KELTRANSFLOG L WHERE L.DATAORATRANSF IS NULL ORDER BY L.ID");
  EXPECT_EQ(TestoControllo({7}, true), "SELECT L.ID FROM KELTRANSFLOG L WHERE (L.DATAORATRANSF IS NULL OR " +
                                           senzaFoto + ") AND L.IDALBUM IN (7) ORDER BY L.ID");
  EXPECT_EQ(TestoControlloRecenti({}, true, 99000),
            "SELECT L.ID, IIF((L.DATAORATRANSF IS NULL OR " + senzaFoto +
                "), 1, 0) AS DA_GUARDARE FROM KELTRANSFLOG L WHERE L.ID > 99000 ORDER BY L.ID");
  EXPECT_EQ(TestoControlloRecenti({3}, false, 0),
            "SELECT L.ID, IIF(L.DATAORATRANSF IS NULL AND L.IDALBUM IN (3), 1, 0) AS DA_GUARDARE FROM "
            "KELTRANSFLOG L "
            "WHERE L.ID > 0 ORDER BY L.ID");
  EXPECT_EQ(TestoRegistrazione(5, "p'1", "h"),
            "UPDATE KELTRANSFLOG SET IDPRISM='p''1', HASHPRISM='h', DATAORATRANSF='NOW'\nWHERE ID=5");
}

TEST(BatchSelection, RecordedWithoutAPhoto) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"a1b2c3", "", true}, {"zzzzzz", "", true},   {"a1b2c3", "3f2e", false},        {"A1B2C3", "", false},
      {"a1b2c", "", false}, {"a1b2c3d", "", false}, {"pc9252d51fee15489", "", false}, {"a1 2c3", "", false},
      {"", "", false},
  };
  for (auto [id, hash, senza] : cases) EXPECT_EQ(RegistrataSenzaFoto(id, hash), senza) << id << " " << hash;
}

TEST(BatchListing, PageReader) {
  size_t n = 0;
  std::vector<FotoAlbum> foto = LeggiPaginaFoto(
      R"([{"UID":"p1","Hash":"AB","FileName":"x.jpg"}, 3, {"UID":"p2"}, {"UID":"p3","Hash":"cd"}])", n);
  EXPECT_EQ(n, 4u);
  ASSERT_EQ(foto.size(), 2u);
  EXPECT_EQ(foto[0].uid, "p1");
  EXPECT_EQ(foto[0].fileName, "x.jpg");
  EXPECT_EQ(foto[1].hash, "cd");
  EXPECT_EQ(HashNormalizzato("AbC09"), "abc09");
  EXPECT_THROW(LeggiPaginaFoto("{}", n), EInvalidCast);
  EXPECT_THROW(LeggiPaginaFoto("<html>", n), EJSONException);
  EXPECT_EQ(UrlPaginaFoto("http://h/", "a1", 120, 240),
            "http://h/api/v1/photos?count=120&offset=240&order=newest&s=a1");
}

TEST(BatchLots, BoundedByCountAndBytes) {
  struct Case {
    const char* name;
    std::vector<uint64_t> byte;
    size_t maxFile;
    uint64_t maxByte;
    std::vector<std::pair<size_t, size_t>> lots;
  } cases[] = {
      {"none", {}, 50, 100, {}},
      {"one", {10}, 50, 100, {{0, 1}}},
      {"by count", {1, 1, 1, 1, 1, 1, 1}, 3, 100, {{0, 3}, {3, 6}, {6, 7}}},
      {"by bytes, exactly full", {40, 60, 50, 50}, 50, 100, {{0, 2}, {2, 4}}},
      {"by bytes, one over", {40, 61, 39}, 50, 100, {{0, 1}, {1, 3}}},
      {"a file larger than the bound goes alone", {10, 500, 10, 10}, 50, 100, {{0, 1}, {1, 2}, {2, 4}}},
      {"empty files count by number only", {0, 0, 0, 100, 0}, 2, 100, {{0, 2}, {2, 4}, {4, 5}}},
      {"no overflow near the top", {UINT64_MAX - 1, 5}, 50, UINT64_MAX, {{0, 1}, {1, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(batch::DividiInLotti(c.byte, c.maxFile, c.maxByte), c.lots);
  }
}

TEST(BatchReport, Lines) {
  RisultatoRiga r;
  r.id = 5;
  r.esito = EsitoRiga::kPubblicata;
  r.uid = "p1";
  EXPECT_EQ(RigaEsito(r), "Riga 5: pubblicata p1");
  r.esito = EsitoRiga::kNonRiuscita;
  r.motivo = "Risposta\r\nTORNAVELO terminato";
  EXPECT_EQ(RigaEsito(r), "Riga 5: non riuscita: Risposta  TORNAVELO terminato");
  r.esito = EsitoRiga::kInterrotta;
  EXPECT_EQ(RigaEsito(r), "Riga 5: interrotta, resta in attesa");

  Riepilogo s;
  s.pubblicate = 28;
  s.giaPresenti = 1;
  s.nonRiuscite = 1;
  s.byteInviati = 28 * 1024 * 1024 + 512 * 1024;
  s.secondi = 3.44;
  EXPECT_EQ(RigaRiepilogo(s),
            "Pubblicate 28, già sul server 1, non riuscite 1, saltate 0; 28.5 MiB inviati in 3.4 s");
  EXPECT_EQ(CodiceUscita(s), 1);
  s.nonRiuscite = 0;
  EXPECT_EQ(CodiceUscita(s), 0);
  s.saltate = 1;
  EXPECT_EQ(CodiceUscita(s), 1);

  EXPECT_EQ(RigaAvanzamento(0, 30, 0, 30 << 20, 0.5),
            "0/30 righe, 0.0 MiB inviati, 0.0 MiB/s, fine tra --:--");
  EXPECT_EQ(RigaAvanzamento(12, 30, 10 << 20, 100 << 20, 2.0),
            "12/30 righe, 10.0 MiB inviati, 5.0 MiB/s, fine tra 0:18");
}

}  // namespace
}  // namespace velmora
