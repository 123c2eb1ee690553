// The checks of group 5: the Prism server of an album row (address, name,
// TCP, TLS, certificate, the login and the row's server album).
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/doctor/DoctorChecks.h"
#include "platform/Console.h"
#include "prism/JsonHelpers.h"
#include "prism/PrismApi.h"
#include "transport/HttpClient.h"
#include "transport/Socket.h"

namespace velmora::doctor {

namespace {

// A client as the run sets it up, with the doctor's own time-outs.
void ImpostaClient(HttpClient& http, int timeoutMs, const TlsSettings& tls) {
  http.SetConnectTimeout(timeoutMs);
  http.SetReadTimeout(timeoutMs);
  http.TlsHandler() = tls;
  http.TlsHandler().connectTimeoutMs = timeoutMs;
  http.TlsHandler().readTimeoutMs = timeoutMs;
  http.SetUserAgent(kUserAgentPrism);
}

// What a login limit means for the runs, the hint of both of its lines.
constexpr const char* kLimiteAccessi =
    "il server accetta pochi accessi alla volta dallo stesso indirizzo (circa 10): le run avviate insieme "
    "(una per foto) aspettano il loro turno fino a 120 s ciascuna, poi si fermano con \"EIdHTTPProtocolException: "
    "HTTP/1.1 429\" senza pubblicare; avvia meno run alla volta, oppure pubblica con velmora-batch, che accede "
    "una volta sola per album";

}  // namespace

// 5. The server of an album row: address, name, TCP, TLS, certificate and
// the login.
void Diagnosi::Server(const Album& album) {
  const std::string etichetta = " (album " + OneLineText(album.id) + ")";
  const Url url = ParseUrl(album.sito);
  const bool https = url.scheme == "https" || url.scheme == "HTTPS";
  const bool http = url.scheme == "http" || url.scheme == "HTTP";
  int porta = url.port > 0 ? url.port : DefaultPort(url.scheme);
  if ((!http && !https) || url.host.empty() || porta <= 0) {
    Segna(5, "Indirizzo" + etichetta, Esito::Errore,
          "NOMESITOPRISM \"" + OneLineText(album.sito) + "\" non è un URL http/https",
          "scrivi in NOMESITOPRISM l'indirizzo del server, ad esempio https://foto.studio.it/");
    return;
  }
  if (album.sito.back() != '/') {
    Segna(5, "Indirizzo" + etichetta, Esito::Errore, OneLineText(album.sito) + " non finisce con \"/\"",
          "aggiungi \"/\" in fondo a NOMESITOPRISM: la run vi attacca direttamente \"api/v1/...\"");
    return;
  }
  Segna(5, "Indirizzo" + etichetta, Esito::Ok, OneLineText(album.sito));

  // Name resolution (IPv4, as the run's socket resolves).
  if (!url.ipv6Literal) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* risultato = nullptr;
    int errore = ::getaddrinfo(url.host.c_str(), nullptr, &hints, &risultato);
    if (errore != 0) {
      Segna(5, "Risoluzione nome" + etichetta, Esito::Errore,
            OneLineText(url.host) + ": " + OneLineText(gai_strerror(errore)),
            "controlla il nome del server in NOMESITOPRISM e il DNS di questo computer");
      return;
    }
    std::vector<std::string> indirizzi;
    for (addrinfo* a = risultato; a != nullptr; a = a->ai_next) {
      char testo[NI_MAXHOST] = {0};
      if (::getnameinfo(a->ai_addr, a->ai_addrlen, testo, sizeof(testo), nullptr, 0, NI_NUMERICHOST) == 0) {
        if (std::find(indirizzi.begin(), indirizzi.end(), testo) == indirizzi.end())
          indirizzi.push_back(testo);
      }
    }
    ::freeaddrinfo(risultato);
    Segna(5, "Risoluzione nome" + etichetta, Esito::Ok, OneLineText(url.host) + " -> " + Unisci(indirizzi));
  }

  try {
    TcpSocket socket;
    auto inizio = std::chrono::steady_clock::now();
    socket.Connect(url.host, porta, url.ipv6Literal, r_.timeoutMs);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio);
    socket.Close();
    Segna(5, "Connessione TCP" + etichetta, Esito::Ok,
          OneLineText(url.host) + ":" + std::to_string(porta) + " in " + std::to_string(ms.count()) + " ms");
  } catch (const Exception& e) {
    Segna(5, "Connessione TCP" + etichetta, Esito::Errore,
          OneLineText(url.host) + ":" + std::to_string(porta) + ": " + Errore(e),
          "il server è spento, la porta è chiusa o un firewall la blocca: avvia il server o correggi "
          "NOMESITOPRISM");
    return;
  }

  if (https && !Tls(url, porta, etichetta)) return;
  if (std::optional<std::string> token = Accesso(album, etichetta)) AlbumServer(album, etichetta, *token);
}

// The handshake as shown to a diagnosis, then the run's own checks.
bool Diagnosi::Tls(const Url& url, int porta, const std::string& etichetta) {
  TlsSettings ispezione;
  ispezione.inspectCertificate = true;
  ispezione.caFile = tls_.verifyCertificate ? tls_.caFile : "";
  ispezione.connectTimeoutMs = r_.timeoutMs;
  ispezione.readTimeoutMs = r_.timeoutMs;
  TlsPeerInfo peer;
  try {
    TlsChannel canale(ispezione);
    canale.Connect(url.host, porta, url.ipv6Literal, false, url.host);
    peer = canale.PeerInfo();
    canale.Close();
  } catch (const Exception& e) {
    Segna(5, "TLS" + etichetta, Esito::Errore, Errore(e),
          "il server non accetta una connessione TLS: controlla che l'indirizzo sia https e la porta giusta");
    return false;
  }
  Segna(5, "TLS" + etichetta, Esito::Ok,
        OneLineText(peer.protocol) + ", cifratura " + OneLineText(peer.cipher));
  const std::string certificato = "soggetto " + OneLineText(peer.subject) + ", emittente " +
                                  OneLineText(peer.issuer) + ", scade " + OneLineText(peer.notAfter) +
                                  ", SHA-256 " + peer.certificateSha256 +
                                  ", ImprontaCertificato=" + peer.publicKeyPin;
  if (peer.expired) {
    Segna(5, "Certificato" + etichetta, Esito::Errore, certificato + " (scaduto)",
          "rinnova il certificato del server; senza VerificaCertificato la run lo accetta ancora, con "
          "VerificaCertificato=1 lo rifiuta");
  } else {
    Segna(5, "Certificato" + etichetta, Esito::Ok, certificato);
  }
  const std::string deposito =
      ispezione.caFile.empty() ? "l'archivio CA di sistema" : OneLineText(ispezione.caFile);
  if (peer.verified) {
    Segna(5, "Verifica CA" + etichetta, Esito::Ok,
          "verificato con " + deposito + " per " + OneLineText(url.host));
  } else if (tls_.verifyCertificate) {
    Segna(5, "Verifica CA" + etichetta, Esito::Errore,
          "non verificato con " + deposito + ": " + OneLineText(peer.verifyError),
          "con VerificaCertificato=1 la run rifiuta questo server: installa un certificato valido per " +
              OneLineText(url.host) +
              ", indica la CA in FileCertificatiCA, oppure usa ImprontaCertificato=" + peer.publicKeyPin);
  } else {
    Segna(5, "Verifica CA" + etichetta, Esito::Avviso,
          "non verificato con " + deposito + ": " + OneLineText(peer.verifyError),
          tls_.pinnedKeys.empty()
              ? "la run lo accetta (nessun controllo attivo); per proteggere la password scrivi in [CONFIG] "
                "ImprontaCertificato=" +
                    peer.publicKeyPin
              : "VerificaCertificato non è attiva: la run controlla solo ImprontaCertificato");
  }
  if (!tls_.verifyCertificate && tls_.pinnedKeys.empty()) return true;

  // The checks of the parameter file, applied by the channel as in a run.
  TlsSettings controlli = tls_;
  controlli.connectTimeoutMs = r_.timeoutMs;
  controlli.readTimeoutMs = r_.timeoutMs;
  try {
    TlsChannel canale(controlli);
    canale.Connect(url.host, porta, url.ipv6Literal, false, url.host);
    canale.Close();
  } catch (const Exception& e) {
    Segna(5, "Controlli certificato" + etichetta, Esito::Errore, Errore(e),
          "la run si fermerebbe con questo errore prima di inviare la password: correggi "
          "ImprontaCertificato/VerificaCertificato o il certificato del server");
    return false;
  }
  Segna(5, "Controlli certificato" + etichetta, Esito::Ok, "superati come nella run");
  return true;
}

// The login with the album row's account; the answer is shown only. A
// server that limits logins is waited out as in a run, for at most the
// doctor's own time-out.
std::optional<std::string> Diagnosi::Accesso(const Album& album, const std::string& etichetta) {
  HttpClient http;
  ImpostaClient(http, r_.timeoutMs, tls_);
  const std::string account = "account " + OneLineText(album.account);
  uint32_t rifiuti = 0;
  const auto inizio = std::chrono::steady_clock::now();
  try {
    std::string risposta = RichiestaSessionePrism(http, album.sito, album.account, album.password,
                                                  static_cast<uint32_t>(std::max(r_.timeoutMs, 0)), &rifiuti);
    std::unique_ptr<TJSONObject> oggetto = RispostaOggettoJSON(risposta);
    std::string token, uid;
    const TJSONObject* user = nullptr;
    if (!oggetto) {
      Segna(5, "Accesso" + etichetta, Esito::Errore,
            account + ": risposta non JSON (la run: \"Risposta non valida\"): " +
                OneLineText(risposta.substr(0, 200)),
            "NOMESITOPRISM non indica un server Prism: controlla l'indirizzo");
    } else if (!LeggiTestoJSON(oggetto.get(), "access_token", token)) {
      if (oggetto->FindValue("id") != nullptr) {
        Segna(5, "Accesso" + etichetta, Esito::Errore,
              account + ": la risposta ha \"id\" ma nessun access_token: il server Prism è di una versione "
                        "troppo vecchia per questo programma (la run: \"Impossibile recuperare access token\", "
                        "poi il server rifiuta il caricamento)",
              "aggiorna il server Prism a una versione del 2024 o successiva, che risponde all'accesso con "
              "access_token");
      } else {
        Segna(5, "Accesso" + etichetta, Esito::Errore,
              account + ": nessun access_token (la run: \"Impossibile recuperare access token\")",
              "controlla l'account sul server Prism");
      }
    } else if (!LeggiOggettoJSON(oggetto.get(), "user", user) || !LeggiTestoJSON(user, "UID", uid)) {
      Segna(5, "Accesso" + etichetta, Esito::Errore,
            account + ": risposta senza utente (la run: \"User non trovato\" / \"UID utente non trovato\")",
            "controlla la versione del server Prism");
    } else if (rifiuti > 0) {
      Segna(5, "Accesso" + etichetta, Esito::Avviso,
            account + ": accesso riuscito dopo " + std::to_string(rifiuti) +
                (rifiuti == 1 ? " rifiuto" : " rifiuti") +
                " per il limite di accessi del server (429/503), UID utente " + OneLineText(uid) +
                " (token non salvato)",
            kLimiteAccessi);
      return token;
    } else {
      Segna(5, "Accesso" + etichetta, Esito::Ok,
            account + ": accesso riuscito, UID utente " + OneLineText(uid) + " (token non salvato)");
      return token;
    }
  } catch (const EIdHTTPProtocolException& e) {
    if (e.ErrorCode() == 429 || e.ErrorCode() == 503) {
      const auto secondi =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - inizio).count();
      Segna(5, "Accesso" + etichetta, Esito::Avviso,
            account + ": " + Errore(e) + " ancora dopo " + std::to_string(rifiuti + 1) + " tentativi in " +
                std::to_string(secondi) + " s: il server limita gli accessi da questo indirizzo",
            kLimiteAccessi);
      return std::nullopt;
    }
    const bool credenziali = e.ErrorCode() == 401 || e.ErrorCode() == 403;
    Segna(5, "Accesso" + etichetta, Esito::Errore,
          account + ": " + Errore(e) +
              (e.ErrorMessage().empty() ? "" : " " + OneLineText(e.ErrorMessage().substr(0, 200))),
          credenziali
              ? "nome o password dell'account errati: correggi ACCOUNTUSER/ACCOUNTPASSWORD della riga album "
                "o la password sul server"
              : "il server ha rifiutato l'accesso: controlla lo stato del server Prism");
  } catch (const Exception& e) {
    Segna(5, "Accesso" + etichetta, Esito::Errore, account + ": " + Errore(e),
          "la richiesta di accesso non è riuscita: controlla server e rete");
  }
  return std::nullopt;
}

// The album row's server album still exists: one element of its listing is
// asked for. A server answers 400 for an album it does not know.
void Diagnosi::AlbumServer(const Album& album, const std::string& etichetta, const std::string& token) {
  if (album.idAlbumPrism.empty()) return;
  const std::string nome = "Album sul server" + etichetta;
  const std::string idAlbum = "album " + OneLineText(album.idAlbumPrism);
  HttpClient http;
  ImpostaClient(http, r_.timeoutMs, tls_);
  http.ResetRequestHeaders();
  http.SetContentType("application/json");
  http.SetCustomHeader("X-Auth-Token", token);
  try {
    std::unique_ptr<TJSONArray> elenco =
        RispostaArrayJSON(http.Get(UrlPaginaFoto(album.sito, album.idAlbumPrism, 1, 0)));
    if (!elenco) {
      Segna(5, nome, Esito::Errore, idAlbum + ": l'elenco delle foto non è JSON",
            "controlla la versione del server Prism");
      return;
    }
    Segna(5, nome, Esito::Ok, idAlbum + " presente sul server");
  } catch (const EIdHTTPProtocolException& e) {
    if (e.ErrorCode() == 400 || e.ErrorCode() == 404) {
      Segna(5, nome, Esito::Errore,
            idAlbum + " non esiste più sul server (elenco foto: " + Errore(e) +
                "); le run caricano le foto fuori da ogni album e scrivono \"Impossibile recuperare UID Foto "
                "caricata\"",
            "l'album è stato cancellato sul server: svuota IDALBUMPRISM e LINK_CONDIVISIONE della riga album " +
                OneLineText(album.id) + ", la prossima run crea di nuovo l'album e il suo link");
      return;
    }
    Segna(5, nome, Esito::Errore, idAlbum + ": " + Errore(e),
          "il server ha rifiutato l'elenco delle foto: controlla lo stato del server Prism");
  } catch (const Exception& e) {
    Segna(5, nome, Esito::Errore, idAlbum + ": " + Errore(e),
          "l'elenco delle foto non è riuscito: controlla server e rete");
  }
}

}  // namespace velmora::doctor
