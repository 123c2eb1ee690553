#include "app/Publication.h"

#include <optional>
#include <utility>

#include "archive/IBDatabase.h"
#include "archive/SQLText.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Signals.h"
#include "prism/JsonHelpers.h"
#include "publish/AlbumCondiviso.h"
#include "publish/ClientPrism.h"
#include "publish/PrenotazioneTrasferimento.h"
#include "publish/SceltaPerHash.h"
#include "transport/HttpClient.h"
#include "transport/Multipart.h"

namespace velmora {

std::string RigaIdentificativoNonValido(std::string_view argomento) {
  // Control characters would break the line apart; they show as "?".
  std::string riga = "Identificativo trasferimento non valido: ";
  for (char c : argomento) riga += (static_cast<unsigned char>(c) < 32 || c == 127) ? '?' : c;
  return riga;
}

namespace {

// The run's lines for the notices of one server routine.
void ScriviAvvisi(const EsitoPrism& esito) {
  for (Avviso a : esito.avvisi) WriteLine(TestoAvviso(a));
}

// The run's own transfer row is claimed as a batch claims it, until the row
// is recorded or the run ends: a batch skips it meanwhile, and a run that
// meets another's claim waits for it to end instead of uploading a second
// copy. When the other process published the row meanwhile, there is nothing
// left to send; when it still holds the row after the wait, the run ends
// without sending. Both write one line of their own and return false.
bool PrenotaRigaDellaRun(TIBDatabase& database, int64_t idTransfer, const std::string& testoId,
                         std::unique_ptr<PrenotazioneTrasferimento>& prenotazione) {
  switch (PrenotaRigaAttendendo(database, idTransfer, kAttesaPrenotazioneMs, kIntervalloPrenotazioneMs,
                                prenotazione)) {
    case EsitoAttesaRiga::kPrenotata:
    case EsitoAttesaRiga::kAssente:  // recorded as before: the update finds no row
      return true;
    case EsitoAttesaRiga::kPubblicata:
      WriteLine("Trasferimento pubblicato nel frattempo da un altro processo " + testoId);
      return false;
    case EsitoAttesaRiga::kScaduta:
      WriteLine("Trasferimento in lavorazione in un altro processo " + testoId);
      return false;
  }
  return false;
}

// Looks the uploaded photo up and gives it its title: `riferimento` and
// `hash` become its "UID" and "Hash". The photo whose hash is `digest` (the
// SHA-1 of the bytes sent) is this run's own, whatever other runs uploaded
// into the album meanwhile and however many photos of the album were shot
// later (the listing is read on, page by page). When the server lists SHA-1
// hashes but not this one, the upload is not in the album and no other
// photo is taken for it; only a server that hashes otherwise leaves the
// newest photo with the file's extension. Not found: the line, and both
// stay as they are.
void IdentificaETitola(HttpClient& http, StatoPrism& stato, const RigaTrasferimento& record,
                       const std::string& digest, const std::string& testoId, std::string& riferimento,
                       std::string& hash) {
  const std::string& base = record.nomeSitoPrism;
  SceltaPerHash perHash(digest);
  const RicercaFoto ricerca = CercaFotoCaricata(http, stato, base, stato.IdAlbumPrism, record.estensione,
                                                digest.empty() ? nullptr : &perHash);
  if (!ricerca.errore.empty()) WriteLine("Error: " + ricerca.errore);
  if (!ricerca.foto) {
    WriteLine("Impossibile recuperare UID Foto caricata " + testoId);
    return;
  }
  riferimento = ValoreTestoJSON(ricerca.foto.get(), "UID");
  hash = ValoreTestoJSON(ricerca.foto.get(), "Hash");
  if (!record.titoloFoto.empty()) SettaTitoloFoto(http, stato, base, riferimento, record.titoloFoto);
}

}  // namespace

void EseguiPubblicazione(const RunArguments& arguments, uint32_t pausaMs) {
  // Argument 4 is parsed here, once: the statements get the number, never
  // the text. The text appears only in the console lines.
  const std::optional<int64_t> idTransfer = IdentificativoRiga(arguments.idTransfer);
  if (!idTransfer) {
    WriteLine(RigaIdentificativoNonValido(arguments.idTransfer));
    return;
  }
  // Owned for the whole run and released in reverse order of need: the
  // upload answer, the multipart body, the HTTP client with its TLS handler,
  // and last the connection, which commits what is still open on it.
  auto database = std::make_unique<TIBDatabase>();
  StatoPrism stato;
  RigaTrasferimento record;
  if (!FaseArchivio(arguments.baseDir, arguments.utenteIni, arguments.dittaIni, *idTransfer, *database, stato,
                    record))
    return;

  // A stop signal that came while the archive was read: nothing is sent.
  ThrowIfStopped();

  std::unique_ptr<PrenotazioneTrasferimento> prenotazione;
  if (!PrenotaRigaDellaRun(*database, *idTransfer, arguments.idTransfer, prenotazione)) return;
  auto http = std::make_unique<HttpClient>();
  ImpostaClientPrism(*http, arguments.baseDir + kFileParametri);
  const std::string& base = record.nomeSitoPrism;

  // The album row is shared with the other runs of the same album: its
  // writes wait for one another instead of failing.
  ScriviAvvisi(LoginPrismCondiviso(*database, *http, stato, base, record.accountUser, record.accountPassword,
                                   record.idAlbum));

  std::string tokenUpload = GeneraToken(6, "abcdefghijklmnopqrstuvwxyz1234567890");
  std::string riferimento = tokenUpload;
  auto corpo = std::make_unique<MultipartFormData>();
  const EsitoPrism caricamento = CaricaFoto(*http, stato, base, record.fileLocale, tokenUpload, *corpo);
  // Until here a stop signal ends every wait and nothing more is sent. Now
  // the photo is on the server: the publication is finished and recorded
  // unless a second signal comes.
  StopThresholdScope completamento(2);
  if (!caricamento.riuscito) {
    ScriviAvvisi(caricamento);
    return;
  }

  if (stato.IdAlbumPrism.empty()) {
    // Under the album row's lock: a run that waited finds the album another
    // run created and uses it.
    ScriviAvvisi(
        AssicuraAlbumPrism(*database, *http, stato, base, record.nomeAlbum, record.idAlbum).creazione);
  }
  const EsitoPrism assegnazione = AssegnaAlbumPrism(*http, stato, base, tokenUpload, stato.IdAlbumPrism);
  if (assegnazione.riuscito)
    WriteLine(OneLineText(assegnazione.messaggio));
  else
    ScriviAvvisi(assegnazione);

  SleepUnlessStopped(pausaMs);

  std::string hash;
  IdentificaETitola(*http, stato, record, corpo->FileSha1Hex(0), arguments.idTransfer, riferimento, hash);

  WriteLine(OneLineText(caricamento.messaggio));

  ThrowIfStopped();
  // On the claim's own no-wait transaction: no other process can take the
  // row between the end of the claim and the record.
  if (prenotazione)
    prenotazione->Registra(riferimento, hash);
  else
    RegistraTrasferimento(*database, *idTransfer, riferimento, hash);
  WriteLine("TORNAVELO terminato");
}

void RunPublication(const RunArguments& arguments) { EseguiPubblicazione(arguments, kPausaRicercaMs); }

}  // namespace velmora
