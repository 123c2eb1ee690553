// The Prism server routines against the test Prism server and a real
// embedded archive.
#include <gtest/gtest.h>

#include <optional>

#include "platform/Exceptions.h"
#include "prism/JsonHelpers.h"
#include "tests/prism/PrismTestSupport.h"
#include "tests/support/ExpectRaises.h"
#include "transport/Multipart.h"

namespace velmora::test {
namespace {

// The SHA-1 of a file's bytes as sha1sum computes it.
std::string Sha1Hex(const std::string& path) {
  ProcessResult result = RunProcess({"/usr/bin/sha1sum", path});
  return result.out.substr(0, 40);
}

// ---- Pure helpers ----

TEST(PrismText, ApostrophesAreDoubled) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},
               {"abc", "abc"},
               {"'", "''"},
               {"l'album", "l''album"},
               {"a''b", "a''''b"},
               {"x'; DROP TABLE KELTRANSFLOG; --", "x''; DROP TABLE KELTRANSFLOG; --"},
               {"a\r\nb", "a\r\nb"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(TestoSQL(c.in), c.out);
  }
}

TEST(PrismText, MediaTypeFollowsTheEndOfThePath) {
  struct Case {
    const char* path;
    const char* type;
  } cases[] = {{"C:\\Foto\\a.MP4", "video/mp4"}, {"/f/a.mp4", "video/mp4"},    {"/f/a.xmp4", "video/mp4"},
               {"/f/a.MOV", "video/quicktime"},  {"/f/a.png", "image/jpeg"},   {"/f/a.jpeg", "image/jpeg"},
               {"/f/a.heic", "image/jpeg"},      {"/f/mp4.jpg", "image/jpeg"}, {"", "image/jpeg"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(TipoMediaUpload(c.path), c.type);
  }
}

TEST(PrismText, FileNameMatchesExtensionWithoutCase) {
  struct Case {
    const char* name;
    const char* ext;
    bool match;
  } cases[] = {{"2024/05/a.jpg", "JPG", true}, {"2024/05/a.JPG", "jpg", true}, {"b.xjpg", "jpg", true},
               {"a.mp4", "jpg", false},        {"pg", "jpg", false},           {"", "jpg", false},
               {"a.jpg.mp4", "mp4", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " / " + c.ext);
    EXPECT_EQ(NomeFileCorrisponde(c.name, c.ext), c.match);
  }
}

TEST(PrismText, TitleBodyLayoutAndEscaping) {
  EXPECT_EQ(CorpoTitoloFoto(1, "p1", "Sposi"),
            "{\"ID\": 1, \"UID\": \"p1\", \"Title\": \"Sposi\", \"TitleSrc\": \"manual\" }");
  std::string body = CorpoTitoloFoto(2, "p\"2", "Il \"mare\" \\ 1/2\n");
  EXPECT_EQ(body,
            "{\"ID\": 2, \"UID\": \"p\\\"2\", \"Title\": \"Il \\\"mare\\\" \\\\ 1\\/2\\n\", "
            "\"TitleSrc\": \"manual\" }");
  auto parsed = ParseJSONValue(body);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->GetValue("Title").AsText(), "Il \"mare\" \\ 1/2\n");
}

TEST(PrismText, UploadUrlJoinsThePiecesAsTheyStand) {
  EXPECT_EQ(UrlUpload("http://h:1/p/", "u1", "abc123"), "http://h:1/p/api/v1/users/u1/upload/abc123");
  EXPECT_EQ(UrlUpload("http://h/", "", ""), "http://h/api/v1/users//upload/");
}

TEST(PrismText, RetryAfterSeconds) {
  struct Case {
    const char* value;
    std::optional<uint32_t> seconds;
  } cases[] = {{"3", 3u},
               {" 12\t", 12u},
               {"0", 0u},
               {"", std::nullopt},
               {"Wed, 21 Oct 2015 07:28:00 GMT", std::nullopt},
               {"-1", std::nullopt},
               {"1.5", std::nullopt},
               {"99999999999", std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(SecondiRetryAfter(c.value), c.seconds);
  }
}

TEST(PrismText, LoginWaitSchedule) {
  struct Case {
    const char* name;
    uint32_t refusals;
    std::optional<uint32_t> retryAfter;
    double chance;
    uint64_t elapsedMs;
    uint32_t limitMs;
    std::optional<uint32_t> waitMs;
  } cases[] = {
      {"first refusal, no jitter drawn", 1, std::nullopt, 0.0, 0, 120000, 250u},
      {"first refusal, most jitter", 1, std::nullopt, 0.999, 0, 120000, 499u},
      {"second doubles", 2, std::nullopt, 0.5, 0, 120000, 750u},
      {"fourth", 4, std::nullopt, 1.0, 0, 120000, 4000u},
      {"fifth reaches 8 s", 5, std::nullopt, 1.0, 0, 120000, 8000u},
      {"later ones stay at 8 s", 40, std::nullopt, 0.5, 0, 120000, 6000u},
      {"chance out of range is clamped", 1, std::nullopt, 7.0, 0, 120000, 500u},
      {"Retry-After as given, no jitter", 3, 7u, 0.9, 0, 120000, 7000u},
      {"Retry-After cut to 60 s", 1, 600u, 0.0, 0, 120000, 60000u},
      {"Retry-After 0 takes the schedule", 2, 0u, 0.0, 0, 120000, 500u},
      {"cut to what is left of 120 s", 1, 30u, 0.0, 100000, 120000, 20000u},
      {"nothing left", 1, std::nullopt, 0.0, 120000, 120000, std::nullopt},
      {"past the limit", 3, 1u, 0.0, 130000, 120000, std::nullopt},
      {"a shorter limit", 1, std::nullopt, 0.0, 14900, 15000, 100u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AttesaNuovoAccesso(c.refusals, c.retryAfter, c.chance, c.elapsedMs, c.limitMs), c.waitMs);
  }
  EXPECT_EQ(kAttesaAccessoMassimaMs, 120000u);
}

// ---- Login ----

using LoginTest = ArchiveFixture;

TEST_F(LoginTest, RealServerSetsStateAndAlbumRowAndSendsNoToken) {
  PrismPeer peer({});
  Avvisi(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7));
  EXPECT_TRUE(lines_.empty());
  EXPECT_EQ(stato_.TokenPrism.size(), 32u);
  auto state = peer.State();
  EXPECT_EQ(stato_.IdUserPrism, state->GetValue("users.studio.UID").AsText());
  EXPECT_EQ(AlbumRow(), (std::vector<std::string>{stato_.TokenPrism, stato_.IdUserPrism, "", ""}));
  EXPECT_EQ(AlbumRow(8), (std::vector<std::string>{"altro", "altro", "altro", "altro"}));

  auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]->GetValue("method").AsText(), "POST");
  EXPECT_EQ(requests[0]->GetValue("path").AsText(), "/api/v1/session");
  EXPECT_EQ(requests[0]->GetValue("body").AsText(), "{\"username\":\"studio\",\"password\":\"segreta\"}");
  EXPECT_EQ(PrismPeer::Header(*requests[0], "Content-Type"), "application/json");
  EXPECT_EQ(PrismPeer::Header(*requests[0], "User-Agent"), kUserAgentPrism);
  EXPECT_FALSE(PrismPeer::HasHeader(*requests[0], "X-Auth-Token"));
}

TEST_F(LoginTest, NameAndPasswordAreEscapedAsJsonStrings) {
  PrismPeer::Options options;
  options.users = {"st\"u\\dio:p/w"};
  PrismPeer peer(options);
  Avvisi(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "st\"u\\dio", "p/w", 7));
  EXPECT_TRUE(lines_.empty());
  EXPECT_EQ(peer.Requests()[0]->GetValue("body").AsText(),
            "{\"username\":\"st\\\"u\\\\dio\",\"password\":\"p\\/w\"}");
}

TEST_F(LoginTest, AnswerVariants) {
  const std::vector<std::string> unchanged{"vecchiotoken", "vecchiouser", "", ""};
  struct Case {
    const char* name;
    std::string answer;  // JSON value of the rule's body
    std::vector<std::string> lines;
    std::string token, user;
    std::vector<std::string> row;
  } cases[] = {
      {.name = "full",
       .answer = R"({"access_token":"T1","user":{"UID":"U1"}})",
       .lines = {},
       .token = "T1",
       .user = "U1",
       .row = {"T1", "U1", "", ""}},
      {.name = "no token",
       .answer = R"({"user":{"UID":"U1"}})",
       .lines = {"Impossibile recuperare access token"},
       .token = "",
       .user = "U1",
       .row = {"", "U1", "", ""}},
      {.name = "null token",
       .answer = R"({"access_token":null,"user":{"UID":"U1"}})",
       .lines = {},
       .token = "",
       .user = "U1",
       .row = {"", "U1", "", ""}},
      {.name = "number token",
       .answer = R"({"access_token":12345,"user":{"UID":"U1"}})",
       .lines = {},
       .token = "12345",
       .user = "U1",
       .row = {"12345", "U1", "", ""}},
      {.name = "no user",
       .answer = R"({"access_token":"T1"})",
       .lines = {"User non trovato"},
       .token = "T1",
       .user = "vecchiouser",
       .row = unchanged},
      {.name = "user text",
       .answer = R"({"access_token":"T1","user":"U1"})",
       .lines = {"User non trovato"},
       .token = "T1",
       .user = "vecchiouser",
       .row = unchanged},
      {.name = "user without UID",
       .answer = R"({"access_token":"T1","user":{"Name":"x"}})",
       .lines = {"UID utente non trovato"},
       .token = "T1",
       .user = "",
       .row = unchanged},
      {.name = "plain text",
       .answer = R"("<html>errore</html>")",
       .lines = {"Risposta non valida"},
       .token = "vecchiotoken",
       .user = "vecchiouser",
       .row = unchanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrismPeer peer(WithScript("[" + Rule("POST", "^api/v1/session$", 200, c.answer) + "]"));
    stato_.TokenPrism = "vecchiotoken";
    stato_.IdUserPrism = "vecchiouser";
    ExecuteSql(db_,
               "UPDATE KELALBUMPRISM SET TOKENPRISM='vecchiotoken', IDUSERPRISM='vecchiouser' WHERE ID=7");
    lines_.clear();
    Avvisi(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7));
    EXPECT_EQ(lines_, c.lines);
    EXPECT_EQ(stato_.TokenPrism, c.token);
    EXPECT_EQ(stato_.IdUserPrism, c.user);
    EXPECT_EQ(AlbumRow(), c.row);
  }
}

TEST_F(LoginTest, ArrayAnswerAndFailedRequestRaise) {
  {
    PrismPeer peer(WithScript("[" + Rule("POST", "session", 200, "[]") + "]"));
    EXPECT_THROW(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7), EInvalidCast);
  }
  {
    PrismPeer peer({});
    EXPECT_THROW(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "sbagliata", 7),
                 EIdHTTPProtocolException);
  }
  EXPECT_EQ(AlbumRow(), (std::vector<std::string>{"vecchiotoken", "vecchiouser", "", ""}));
}

TEST_F(LoginTest, RefusedForTheLoginLimitIsSentAgainUntilAccepted) {
  struct Case {
    const char* name;
    std::string rule;  // answers the first logins
    size_t logins;
    double minGapS;  // between the last two logins
  } cases[] = {
      {"429 twice, no Retry-After",
       R"({"method":"POST","path":"session","status":429,"times":2,)"
       R"("body":{"error":"rate limit exceeded","code":429}})",
       3, 0.2},
      {"503 with Retry-After",
       R"({"method":"POST","path":"session","status":503,"times":1,"headers":{"Retry-After":"1"},)"
       R"("body":{"error":"busy"}})",
       2, 0.95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrismPeer peer(WithScript("[" + c.rule + "]"));
    lines_.clear();
    Avvisi(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7));
    EXPECT_TRUE(lines_.empty());
    EXPECT_EQ(stato_.IdUserPrism, peer.State()->GetValue("users.studio.UID").AsText());
    EXPECT_EQ(AlbumRow()[0], stato_.TokenPrism);
    auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), c.logins);
    for (const auto& r : requests) {
      EXPECT_EQ(r->GetValue("path").AsText(), "/api/v1/session");
      EXPECT_EQ(r->GetValue("body").AsText(), "{\"username\":\"studio\",\"password\":\"segreta\"}");
    }
    auto time = [&](size_t i) { return std::stod(requests[i]->GetValue("time").AsText()); };
    EXPECT_GE(time(c.logins - 1) - time(c.logins - 2), c.minGapS);
  }
}

TEST_F(LoginTest, OnlyTheLoginLimitIsWaitedOut) {
  struct Case {
    int status;
    const char* line;
  } cases[] = {{400, "HTTP/1.1 400 Bad Request"},
               {401, "HTTP/1.1 401 Unauthorized"},
               {403, "HTTP/1.1 403 Forbidden"},
               {500, "HTTP/1.1 500 Internal Server Error"},
               {502, "HTTP/1.1 502 Bad Gateway"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    PrismPeer peer(WithScript("[" + Rule("POST", "session", c.status, R"({"error":"x"})") + "]"));
    ExpectRaises<EIdHTTPProtocolException>(
        [&] { LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7); }, c.line);
    EXPECT_EQ(peer.Requests().size(), 1u);
  }
}

TEST_F(LoginTest, ALimitThatLastsEndsWithTheRefusal) {
  PrismPeer peer(
      WithScript("[" + Rule("POST", "session", 429, R"({"error":"rate limit exceeded","code":429})") + "]"));
  uint32_t refusals = 0;
  try {
    RichiestaSessionePrism(http_, peer.BaseUrl(), "studio", "segreta", 1500, &refusals);
    ADD_FAILURE() << "no exception";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.ErrorCode(), 429);
    EXPECT_EQ(e.ErrorMessage(), R"({"error": "rate limit exceeded", "code": 429})");
  }
  const size_t logins = peer.Requests().size();
  EXPECT_GE(logins, 3u);  // 250-500 ms, then 500-1000 ms, then what is left
  EXPECT_EQ(refusals, logins - 1);
}

TEST_F(LoginTest, HostileTextsReachTheRowExactly) {
  const std::string token = "t'; DELETE FROM KELALBUMPRISM; --\r\nx";
  const std::string user = "u'1'--;";
  PrismPeer peer(WithScript("[" +
                            Rule("POST", "session", 200,
                                 R"({"access_token":"t'; DELETE FROM KELALBUMPRISM; --\r\nx",)"
                                 R"("user":{"UID":"u'1'--;"}})") +
                            "]"));
  Avvisi(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7));
  EXPECT_TRUE(lines_.empty());
  EXPECT_EQ(stato_.TokenPrism, token);
  EXPECT_EQ(AlbumRow(), (std::vector<std::string>{token, user, "", ""}));
  EXPECT_EQ(AlbumRow(8), (std::vector<std::string>{"altro", "altro", "altro", "altro"}));
}

// ---- Upload, album, assignment, lookup, title ----

class PublishTest : public ArchiveFixture {
 protected:
  void SetUp() override {
    ArchiveFixture::SetUp();
    photo_ = std::string("\xFF\xD8\xFF\xE0 fake jpeg body \x00\x01\x02", 23) + std::string(5000, 'x');
    WriteFileBytes(dir_ / "sposi.jpg", photo_);
  }
  std::string photo_;
};

TEST_F(PublishTest, FullRoundWithRealServer) {
  PrismPeer peer({});
  const std::string base = peer.BaseUrl();
  Avvisi(LoginPrism(db_, http_, stato_, base, "studio", "segreta", 7));

  MultipartFormData corpo;
  const EsitoPrism caricamento = CaricaFoto(http_, stato_, base, dir_ / "sposi.jpg", "abc123", corpo);
  EXPECT_TRUE(caricamento.riuscito);
  EXPECT_EQ(caricamento.messaggio, peer.UploadedMessage());

  Avvisi(CreaAlbumPrism(db_, http_, stato_, base, "Matrimonio \"Rossi\"", 7));
  ASSERT_FALSE(stato_.IdAlbumPrism.empty());
  Assegnazione(AssegnaAlbumPrism(http_, stato_, base, "abc123", stato_.IdAlbumPrism));
  EXPECT_EQ(lines_, (std::vector<std::string>{peer.ImportedMessage()}));

  auto state = peer.State();
  const TJSONValue& link = state->GetValue("links[0]");
  EXPECT_EQ(link.GetValue("ShareUID").AsText(), stato_.IdAlbumPrism);
  EXPECT_EQ(state->GetValue("albums[0].Title").AsText(), "Matrimonio \"Rossi\"");
  EXPECT_EQ(AlbumRow(),
            (std::vector<std::string>{stato_.TokenPrism, stato_.IdUserPrism, stato_.IdAlbumPrism,
                                      "s/" + link.GetValue("Token").AsText() + "/" + stato_.IdAlbumPrism}));

  auto found = Ricerca(CercaFotoCaricata(http_, stato_, base, stato_.IdAlbumPrism, "JPG"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->ToString(), "{\"UID\":\"" + state->GetValue("photos[0].UID").AsText() + "\",\"Hash\":\"" +
                                   Sha1Hex(dir_ / "sposi.jpg") + "\"}");

  const std::string uid = found->GetValue("UID").AsText();
  SettaTitoloFoto(http_, stato_, base, uid, "Sposi \"al\" mare / 2024");
  EXPECT_EQ(stato_.ContatoreFoto, 2);
  EXPECT_EQ(peer.State()->GetValue("photos[0].Title").AsText(), "Sposi \"al\" mare / 2024");
  EXPECT_EQ(lines_.size(), 1u);

  // What went on the wire.
  auto requests = peer.Requests();
  ASSERT_EQ(peer.RequestLines(),
            (std::vector<std::string>{
                "POST /api/v1/session", "POST /api/v1/users/" + stato_.IdUserPrism + "/upload/abc123",
                "POST /api/v1/albums", "POST /api/v1/albums/" + stato_.IdAlbumPrism + "/links",
                "PUT /api/v1/users/" + stato_.IdUserPrism + "/upload/abc123",
                "GET /api/v1/photos?count=120&offset=0&order=newest&s=" + stato_.IdAlbumPrism,
                "PUT /api/v1/photos/" + uid}));
  for (size_t i = 1; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(PrismPeer::Header(*requests[i], "X-Auth-Token"), stato_.TokenPrism);
  }
  const TJSONValue& upload = *requests[1];
  EXPECT_EQ(PrismPeer::Header(upload, "Content-Type").rfind("multipart/form-data; boundary=", 0), 0u);
  EXPECT_EQ(upload.GetValue("parts[0].name").AsText(), "files");
  EXPECT_EQ(upload.GetValue("parts[0].filename").AsText(), "sposi.jpg");
  EXPECT_EQ(upload.GetValue("parts[0].content_type").AsText(), "image/jpeg");
  EXPECT_EQ(upload.GetValue("parts[0].sha1").AsText(), Sha1Hex(dir_ / "sposi.jpg"));
  EXPECT_EQ(requests[2]->GetValue("body").AsText(),
            "{\"Title\":\"Matrimonio \\\"Rossi\\\"\",\"Favorite\":false}");
  EXPECT_EQ(requests[3]->GetValue("body").AsText(),
            "{\"uid\":\"" + stato_.IdAlbumPrism +
                "\",\"link\":{\"CanComment\":false,\"CanEdit\":false,\"Expires\":0,\"MaxViews\":0,"
                "\"Password\":\"\",\"Slug\":\"slug\",\"Token\":\"\"}}");
  EXPECT_EQ(requests[4]->GetValue("body").AsText(), "{\"albums\":[\"" + stato_.IdAlbumPrism + "\"]}");
  EXPECT_EQ(PrismPeer::Header(*requests[4], "Content-Type"), "application/json");
  EXPECT_EQ(PrismPeer::Header(*requests[5], "Content-Type"), "application/json");
  EXPECT_EQ(requests[6]->GetValue("body").AsText(),
            "{\"ID\": 1, \"UID\": \"" + uid +
                "\", \"Title\": \"Sposi \\\"al\\\" mare \\/ 2024\", \"TitleSrc\": \"manual\" }");
}

TEST_F(PublishTest, VideoTypeAndNoTokenHeaderWhenTokenIsEmpty) {
  WriteFileBytes(dir_ / "film.MOV", "movie");
  PrismPeer peer(WithScript("[" + Rule("POST", "upload", 200, R"({"message":"ok"})") + "," +
                            Rule("PUT", "upload", 200, R"({"message":"done"})") + "]"));
  stato_.TokenPrism.clear();
  stato_.IdUserPrism = "U9";
  MultipartFormData corpo;
  CaricaFoto(http_, stato_, peer.BaseUrl(), dir_ / "film.MOV", "tok000", corpo);
  Assegnazione(AssegnaAlbumPrism(http_, stato_, peer.BaseUrl(), "tok000", ""));
  EXPECT_EQ(lines_, (std::vector<std::string>{"done"}));
  auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]->GetValue("parts[0].content_type").AsText(), "video/quicktime");
  EXPECT_EQ(requests[1]->GetValue("body").AsText(), "{\"albums\":[\"\"]}");
  for (const auto& r : requests) EXPECT_FALSE(PrismPeer::HasHeader(*r, "X-Auth-Token"));
}

TEST_F(PublishTest, MissingMediaFileRaisesBeforeAnyRequest) {
  PrismPeer peer({});
  MultipartFormData corpo;
  EXPECT_THROW(CaricaFoto(http_, stato_, peer.BaseUrl(), dir_ / "manca.jpg", "t", corpo), EFOpenError);
  EXPECT_TRUE(peer.Requests().empty());
}

TEST_F(PublishTest, AssignmentAnswerVariants) {
  struct Case {
    const char* name;
    std::string answer;
    const char* line;
  } cases[] = {{"message", R"({"message":"done"})", "done"},
               {"number message", R"({"message":3})", "3"},
               {"null message", R"({"message":null})", ""},
               {"no message", R"({"error":"x"})", "Impossibile settare album"},
               {"object message", R"({"message":{}})", "Impossibile settare album"},
               {"not JSON", R"("fatto")", "Risposta non valida"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrismPeer peer(WithScript("[" + Rule("PUT", "upload", 200, c.answer) + "]"));
    lines_.clear();
    Assegnazione(AssegnaAlbumPrism(http_, stato_, peer.BaseUrl(), "t", "A1"));
    EXPECT_EQ(lines_, (std::vector<std::string>{c.line}));
  }
  PrismPeer peer(WithScript("[" + Rule("PUT", "upload", 200, "[1]") + "]"));
  EXPECT_THROW(AssegnaAlbumPrism(http_, stato_, peer.BaseUrl(), "t", "A1"), EInvalidCast);
}

TEST_F(PublishTest, AlbumCreationVariants) {
  struct Case {
    const char* name;
    std::string album, link;  // rule bodies; link empty: no rule
    std::vector<std::string> lines;
    std::string idAlbum;
    std::vector<std::string> row;  // IDALBUMPRISM, LINK_CONDIVISIONE
    size_t requests;
  } cases[] = {
      {.name = "both",
       .album = R"({"UID":"A1"})",
       .link = R"({"Token":"tk","ShareUID":"A1"})",
       .lines = {},
       .idAlbum = "A1",
       .row = {"A1", "s/tk/A1"},
       .requests = 2},
      {.name = "album not JSON",
       .album = R"("no")",
       .link = "",
       .lines = {"Risposta crea album non valida"},
       .idAlbum = "",
       .row = {"", ""},
       .requests = 1},
      {.name = "album without UID",
       .album = R"({"Title":"x"})",
       .link = "",
       .lines = {"Impossibile recuperare UID album"},
       .idAlbum = "",
       .row = {"", ""},
       .requests = 1},
      {.name = "numeric UID",
       .album = R"({"UID":42})",
       .link = R"({"Token":"tk","ShareUID":"S"})",
       .lines = {},
       .idAlbum = "42",
       .row = {"42", "s/tk/S"},
       .requests = 2},
      {.name = "link not JSON",
       .album = R"({"UID":"A1"})",
       .link = R"("no")",
       .lines = {"Risposta genera link non valida"},
       .idAlbum = "A1",
       .row = {"A1", ""},
       .requests = 2},
      {.name = "link without Token",
       .album = R"({"UID":"A1"})",
       .link = R"({"ShareUID":"S"})",
       .lines = {"Impossibile generare link"},
       .idAlbum = "A1",
       .row = {"A1", ""},
       .requests = 2},
      {.name = "link without ShareUID",
       .album = R"({"UID":"A1"})",
       .link = R"({"Token":"tk"})",
       .lines = {"Impossibile generare link"},
       .idAlbum = "A1",
       .row = {"A1", ""},
       .requests = 2},
      {.name = "null Token",
       .album = R"({"UID":"A1"})",
       .link = R"({"Token":null,"ShareUID":"S"})",
       .lines = {},
       .idAlbum = "A1",
       .row = {"A1", "s//S"},
       .requests = 2},
      {.name = "hostile",
       .album = R"({"UID":"a'1; --\r\n"})",
       .link = R"({"Token":"t'x","ShareUID":"s;'--"})",
       .lines = {},
       .idAlbum = "a'1; --\r\n",
       .row = {"a'1; --\r\n", "s/t'x/s;'--"},
       .requests = 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string script = "[" + Rule("POST", "^api/v1/albums$", 200, c.album);
    if (!c.link.empty()) script += "," + Rule("POST", "/links$", 200, c.link);
    PrismPeer peer(WithScript(script + "]"));
    ExecuteSql(db_, "UPDATE KELALBUMPRISM SET IDALBUMPRISM='', LINK_CONDIVISIONE='' WHERE ID=7");
    stato_.IdAlbumPrism.clear();
    lines_.clear();
    Avvisi(CreaAlbumPrism(db_, http_, stato_, peer.BaseUrl(), "Matrimonio", 7));
    EXPECT_EQ(lines_, c.lines);
    EXPECT_EQ(stato_.IdAlbumPrism, c.idAlbum);
    auto row = AlbumRow();
    EXPECT_EQ((std::vector<std::string>{row[2], row[3]}), c.row);
    EXPECT_EQ(peer.Requests().size(), c.requests);
    EXPECT_EQ(AlbumRow(8), (std::vector<std::string>{"altro", "altro", "altro", "altro"}));
  }
}

TEST_F(PublishTest, FailedShareLinkRequestLeavesTheRowAsItWas) {
  PrismPeer peer(WithScript("[" + Rule("POST", "/links$", 500, R"({"error":"x"})") + "]"));
  Avvisi(LoginPrism(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7));
  EXPECT_THROW(CreaAlbumPrism(db_, http_, stato_, peer.BaseUrl(), "Matrimonio", 7), EIdHTTPProtocolException);
  EXPECT_EQ(AlbumRow()[2], "");
}

TEST_F(PublishTest, LookupAnswerVariants) {
  const std::string three =
      R"([{"FileName":"2024/a.jpg","UID":"p1","Hash":"h1"},{"FileName":"2024/b.mp4","UID":"p2","Hash":"h2"},)"
      R"({"FileName":"2024/c.jpg","UID":"p3","Hash":"h3"}])";
  struct Case {
    const char* name;
    std::string answer;  // JSON value of the rule body
    const char* ext;
    const char* result;  // compact JSON of the result, nullptr for none
    std::vector<std::string> lines;
  } cases[] = {
      {.name = "mp4 of three",
       .answer = three,
       .ext = "mp4",
       .result = R"({"UID":"p2","Hash":"h2"})",
       .lines = {}},
      {.name = "newest of two matches",
       .answer = three,
       .ext = "JPG",
       .result = R"({"UID":"p1","Hash":"h1"})",
       .lines = {}},
      {.name = "upper-case name",
       .answer = R"([{"FileName":"A.JPG","UID":"p","Hash":"h"}])",
       .ext = "jpg",
       .result = R"({"UID":"p","Hash":"h"})",
       .lines = {}},
      {.name = "no dot",
       .answer = R"([{"FileName":"axjpg","UID":"p","Hash":"h"}])",
       .ext = "jpg",
       .result = R"({"UID":"p","Hash":"h"})",
       .lines = {}},
      {.name = "no match", .answer = three, .ext = "mov", .result = nullptr, .lines = {}},
      {.name = "empty array", .answer = "[]", .ext = "jpg", .result = nullptr, .lines = {}},
      {.name = "not JSON", .answer = R"("<html>")", .ext = "jpg", .result = nullptr, .lines = {}},
      {.name = "object",
       .answer = R"({"a":1})",
       .ext = "jpg",
       .result = nullptr,
       .lines = {"Error: Invalid class typecast"}},
      {.name = "element not object",
       .answer = R"([1])",
       .ext = "jpg",
       .result = nullptr,
       .lines = {"Error: Invalid class typecast"}},
      {.name = "no FileName before match",
       .answer = R"([{"UID":"p"},{"FileName":"a.jpg","UID":"p","Hash":"h"}])",
       .ext = "jpg",
       .result = nullptr,
       .lines = {"Error: Value 'FileName' not found"}},
      {.name = "FileName object",
       .answer = R"([{"FileName":{}}])",
       .ext = "jpg",
       .result = nullptr,
       .lines = {"Error: Conversion from TJSONObject to string is not supported"}},
      {.name = "FileName array",
       .answer = R"([{"FileName":[]}])",
       .ext = "jpg",
       .result = nullptr,
       .lines = {"Error: Conversion from TJSONArray to string is not supported"}},
      {.name = "match without UID",
       .answer = R"([{"FileName":"a.jpg","Hash":"h"}])",
       .ext = "jpg",
       .result = "{}",
       .lines = {"Error: Value 'UID' not found"}},
      {.name = "match without Hash",
       .answer = R"([{"FileName":"a.jpg","UID":"p"}])",
       .ext = "jpg",
       .result = R"({"UID":"p"})",
       .lines = {"Error: Value 'Hash' not found"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrismPeer peer(WithScript("[" + Rule("GET", "^api/v1/photos", 200, c.answer) + "]"));
    lines_.clear();
    auto result = Ricerca(CercaFotoCaricata(http_, stato_, peer.BaseUrl(), "A1", c.ext));
    if (c.result == nullptr) {
      EXPECT_FALSE(result);
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ(result->ToString(), c.result);
    }
    EXPECT_EQ(lines_, c.lines);
    EXPECT_EQ(peer.RequestLines(),
              (std::vector<std::string>{"GET /api/v1/photos?count=120&offset=0&order=newest&s=A1"}));
  }
}

TEST_F(PublishTest, LookupCatchesTransportFailures) {
  {
    PrismPeer peer(WithScript("[" + Rule("GET", "photos", 404, R"({"error":"x"})") + "]"));
    lines_.clear();
    EXPECT_FALSE(Ricerca(CercaFotoCaricata(http_, stato_, peer.BaseUrl(), "", "jpg")));
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].rfind("Error: HTTP/1.1 404", 0), 0u) << lines_[0];
    EXPECT_EQ(peer.RequestLines(),
              (std::vector<std::string>{"GET /api/v1/photos?count=120&offset=0&order=newest&s="}));
  }
  {
    PrismPeer peer(WithScript(R"([{"method":"GET","path":"photos","close":true}])"));
    lines_.clear();
    EXPECT_FALSE(Ricerca(CercaFotoCaricata(http_, stato_, peer.BaseUrl(), "A1", "jpg")));
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].rfind("Error: ", 0), 0u);
  }
}

TEST_F(PublishTest, FailedTitleRequestRaisesAndKeepsTheCounter) {
  PrismPeer peer(WithScript("[" + Rule("PUT", "photos", 500, R"("no")") + "]"));
  EXPECT_THROW(SettaTitoloFoto(http_, stato_, peer.BaseUrl(), "p1", "T"), EIdHTTPProtocolException);
  EXPECT_EQ(stato_.ContatoreFoto, 1);
}

}  // namespace
}  // namespace velmora::test
