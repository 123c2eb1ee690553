#include "app/Publication.h"

#include <utility>

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/QorDB.h"
#include "config/QorIni22.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "prism/JsonHelpers.h"
#include "transport/HttpClient.h"
#include "transport/Multipart.h"

namespace velmora {

namespace {

constexpr const char* kFileParametri = "ParametriKelvora.ini";
constexpr int kTimeoutMs = 600000;

// Archive stage. Returns false when the run ends here (its line written);
// on true `database` is open, `stato` and `record` are filled and the media
// file exists.
bool FaseArchivio(const RunArguments& arguments, TIBDatabase& database, StatoPrism& stato,
                  RecordTrasferimento& record) {
  std::string archivio;
  {
    TQorIni22 store(nullptr, arguments.baseDir, kFileParametri);
    archivio = store.ValoreTolvaUser(arguments.utenteIni, arguments.dittaIni, "Archivio", "");
  }
  if (archivio.empty()) {
    WriteLine("Archivio vuoto");
    return false;
  }
  // The result is not examined: an archive that did not open makes the
  // transfer query fail below, and the frame reports it.
  ApriArchivio(database, ExtractFilePath(archivio), ExtractFileName(archivio), "", "", nullptr,
               arguments.baseDir + kFileParametri);

  stato.ContatoreFoto = 1;
  std::string percorsoFoto, nomeFile;
  {
    TIBSQL sql;
    sql.SetDatabase(&database);
    sql.SetTransaction(NuovaTransazione(database, 0));
    sql.ParamCheck = false;
    sql.SQL = {
        "SELECT A.TOKENPRISM, A.IDUSERPRISM, A.ACCOUNTUSER, A.ACCOUNTPASSWORD, A.NOMESITOPRISM, "
        "A.ID IDALBUMTOLVANA, A.IDALBUMPRISM, A.NOMEALBUM ",
        ", P.PERCORSOFOTO, P.NOMEFILE, P.ESTENSIONE_FILE, L.IDITEMPHOTO, P.TITOLO TITOLOFOTO",
        "FROM KELTRANSFLOG L INNER JOIN KELALBUMPRISM A ON (L.IDALBUM=A.ID)",
        "INNER JOIN KELITEMPHOTO P ON (L.IDITEMPHOTO=P.ID)",
        "WHERE L.ID=" + arguments.idTransfer,
    };
    sql.ExecQuery();
    auto campo = [&sql](const char* nome) { return sql.FieldByName(nome).AsString(); };
    stato.TokenPrism = campo("TOKENPRISM");
    stato.IdUserPrism = campo("IDUSERPRISM");
    record.accountUser = campo("ACCOUNTUSER");
    record.accountPassword = campo("ACCOUNTPASSWORD");
    record.nomeSitoPrism = campo("NOMESITOPRISM");
    record.idAlbumTolvana = campo("IDALBUMTOLVANA");
    stato.IdAlbumPrism = campo("IDALBUMPRISM");
    record.nomeAlbum = campo("NOMEALBUM");
    record.idItemPhoto = campo("IDITEMPHOTO");
    record.titoloFoto = campo("TITOLOFOTO");
    record.estensione = campo("ESTENSIONE_FILE");
    if (record.estensione.empty()) record.estensione = "jpg";
    percorsoFoto = campo("PERCORSOFOTO");
    nomeFile = campo("NOMEFILE");
    // The statement object goes; its transaction stays open on the
    // connection until the connection is released.
  }
  record.percorsoMedia = PercorsoMedia(percorsoFoto, nomeFile, record.estensione);
  record.fileLocale = LocalPathFromStored(record.percorsoMedia, arguments.baseDir + kFileParametri);
  if (!FileExists(record.fileLocale)) {
    WriteLine("File da caricare non esiste " + OneLineText(record.percorsoMedia));
    return false;
  }
  return true;
}

void ImpostaClient(HttpClient& http) {
  http.SetConnectTimeout(kTimeoutMs);
  http.SetReadTimeout(kTimeoutMs);
  TlsSettings& tls = http.TlsHandler();
  tls.sslVersions = kSslVersionsAll;
  tls.connectTimeoutMs = kTimeoutMs;
  tls.readTimeoutMs = kTimeoutMs;
  http.SetUserAgent(kUserAgentPrism);
}

// Writes photo reference, hash and the server's current time into the
// transfer row on a no-wait transaction, made durable at once.
void RegistraTrasferimento(TIBDatabase& database, const std::string& idTransfer,
                           const std::string& riferimento, const std::string& hash) {
  TIBSQL sql;
  sql.SetDatabase(&database);
  TIBTransaction* transazione = TransazioneNoWait(database);
  sql.SetTransaction(transazione);
  sql.ParamCheck = false;
  sql.SQL = {"UPDATE KELTRANSFLOG SET IDPRISM='" + TestoSQL(riferimento) + "', HASHPRISM='" + TestoSQL(hash) +
                 "', DATAORATRANSF='NOW'",
             "WHERE ID=" + idTransfer};
  sql.ExecQuery();
  transazione->CommitRetaining();
}

}  // namespace

bool IdentificativoDecimale(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string RigaIdentificativoNonValido(std::string_view argomento) {
  // Control characters would break the line apart; they show as "?".
  std::string riga = "Identificativo trasferimento non valido: ";
  for (char c : argomento) riga += (static_cast<unsigned char>(c) < 32 || c == 127) ? '?' : c;
  return riga;
}

std::string PercorsoMedia(std::string_view percorsoFoto, std::string_view nomeFile,
                          std::string_view estensione) {
  std::string path(percorsoFoto);
  path += '\\';
  path += nomeFile;
  path += '.';
  path += estensione;
  return path;
}

void EseguiPubblicazione(const RunArguments& arguments, uint32_t pausaMs) {
  if (!IdentificativoDecimale(arguments.idTransfer)) {
    WriteLine(RigaIdentificativoNonValido(arguments.idTransfer));
    return;
  }
  // Owned for the whole run and released in reverse order of need: the
  // upload answer, the multipart body, the HTTP client with its TLS handler,
  // and last the connection, which commits what is still open on it.
  auto database = std::make_unique<TIBDatabase>();
  StatoPrism stato;
  RecordTrasferimento record;
  if (!FaseArchivio(arguments, *database, stato, record)) return;

  // A stop signal that came while the archive was read: nothing is sent.
  ThrowIfStopped();
  auto http = std::make_unique<HttpClient>();
  ImpostaClient(*http);
  const std::string& base = record.nomeSitoPrism;

  LoginPrism(*database, *http, stato, base, record.accountUser, record.accountPassword,
             record.idAlbumTolvana);

  std::string tokenUpload = GeneraToken(6, "abcdefghijklmnopqrstuvwxyz1234567890");
  std::string riferimento = tokenUpload;
  auto corpo = std::make_unique<MultipartFormData>();
  std::string testoRisposta = CaricaFoto(*http, stato, base, record.fileLocale, tokenUpload, *corpo);
  // Until here a stop signal ends every wait and nothing more is sent. Now
  // the photo is on the server: the publication is finished and recorded
  // unless a second signal comes.
  StopThresholdScope completamento(2);
  std::unique_ptr<TJSONObject> risposta = RispostaOggettoJSON(testoRisposta);
  if (!risposta) {
    WriteLine("Risposta non valida");
    return;
  }
  std::string messaggio;
  if (!LeggiTestoJSON(risposta.get(), "message", messaggio)) {
    WriteLine("Impossibile caricare foto");
    return;
  }

  if (stato.IdAlbumPrism.empty()) {
    CreaAlbumPrism(*database, *http, stato, base, record.nomeAlbum, record.idAlbumTolvana);
  }
  AssegnaAlbumPrism(*http, stato, base, tokenUpload, stato.IdAlbumPrism);

  SleepUnlessStopped(pausaMs);

  std::string hash;
  std::unique_ptr<TJSONObject> foto =
      CercaFotoCaricata(*http, stato, base, stato.IdAlbumPrism, record.estensione);
  if (foto) {
    riferimento = ValoreTestoJSON(foto.get(), "UID");
    hash = ValoreTestoJSON(foto.get(), "Hash");
    if (!record.titoloFoto.empty()) SettaTitoloFoto(*http, stato, base, riferimento, record.titoloFoto);
  } else {
    WriteLine("Impossibile recuperare UID Foto caricata " + arguments.idTransfer);
  }

  WriteLine(OneLineText(messaggio));

  ThrowIfStopped();
  RegistraTrasferimento(*database, arguments.idTransfer, riferimento, hash);
  WriteLine("TORNAVELO terminato");
}

void RunPublication(const RunArguments& arguments) { EseguiPubblicazione(arguments, kPausaRicercaMs); }

}  // namespace velmora
