// The checks of group 4: the named transfer row and its media file, or the
// album rows with transfers waiting.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "app/doctor/DoctorChecks.h"
#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "archive/Istruzione.h"
#include "archive/SQLText.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "publish/RigaTrasferimento.h"

namespace velmora::doctor {

namespace {

// The state of a transfer row from its DATAORATRANSF and IDPRISM texts.
std::string StatoRiga(const std::string& dataOra, const std::string& idPrism) {
  return dataOra.empty() ? "non ancora trasferita"
                         : "già trasferita il " + OneLineText(dataOra) + " (IDPRISM " + OneLineText(idPrism) +
                               "); una nuova run la ricaricherebbe";
}

}  // namespace

// 4. The named transfer row, its album and photo rows and the media file.
std::optional<Diagnosi::Album> Diagnosi::Trasferimento() {
  const std::optional<int64_t> idTrasferimento = IdentificativoRiga(r_.idTransfer);
  if (!idTrasferimento) {
    Segna(4, "Riga trasferimento", Esito::Errore,
          "identificativo \"" + OneLineText(r_.idTransfer) + "\" non numerico",
          "il terzo argomento è l'ID numerico della riga di KELTRANSFLOG");
    return std::nullopt;
  }
  try {
    // The row as the run reads it, on a read that is ended at once.
    RigaTrasferimento riga;
    bool trovata = false;
    {
      AmbitoTransazione lettura(TransazioneReadCommitted(archivioDb_));
      trovata = LeggiTrasferimento(lettura.Transazione(), *idTrasferimento, fileParametri_, riga);
      lettura.Conferma();
    }
    if (!trovata) {
      RigaMancante(*idTrasferimento, riga.percorsoMedia);
      return std::nullopt;
    }
    Segna(4, "Riga trasferimento", Esito::Ok,
          "ID=" + r_.idTransfer + ", IDALBUM=" + std::to_string(riga.idAlbum) + ", IDITEMPHOTO=" +
              std::to_string(riga.idItemPhoto) + ", " + StatoRiga(riga.dataOraTrasferimento, riga.idPrism));
    Album album{std::to_string(riga.idAlbum), riga.nomeSitoPrism, riga.accountUser, riga.accountPassword,
                riga.idAlbumPrism};
    Segna(4, "Riga album", Esito::Ok,
          "ID = " + album.id + ", album \"" + OneLineText(riga.nomeAlbum) + "\", server " +
              OneLineText(album.sito) + ", account " + OneLineText(album.account) +
              (album.idAlbumPrism.empty() ? ", album non ancora creato sul server"
                                          : ", album del server " + OneLineText(album.idAlbumPrism)));
    Segna(4, "Riga foto", Esito::Ok,
          "PERCORSOFOTO=" + OneLineText(riga.percorsoFoto) + ", NOMEFILE=" + OneLineText(riga.nomeFile) +
              ", estensione " + OneLineText(riga.estensione));
    Segna(4, "Percorso media", Esito::Ok,
          OneLineText(riga.percorsoMedia) + " -> " + OneLineText(riga.fileLocale));
    FileMedia(riga.percorsoMedia, riga.fileLocale);
    return album;
  } catch (const Exception& e) {
    Segna(4, "Lettura trasferimento", Esito::Errore, Errore(e), "controlla l'archivio");
    return std::nullopt;
  }
}

// Which of the three rows the join did not find, each looked up alone.
void Diagnosi::RigaMancante(int64_t idTrasferimento, const std::string& percorsoLetto) {
  const std::string rigaRun = "\"File da caricare non esiste " + OneLineText(percorsoLetto) + "\"";
  auto trasf = LeggiRighe(archivioDb_,
                          "SELECT IDALBUM, IDITEMPHOTO, DATAORATRANSF, IDPRISM FROM KELTRANSFLOG WHERE ID=" +
                              std::to_string(idTrasferimento),
                          1);
  if (trasf.empty()) {
    Segna(4, "Riga trasferimento", Esito::Errore,
          "nessuna riga di KELTRANSFLOG con ID=" + r_.idTransfer + " (la run scriverebbe " + rigaRun + ")",
          "controlla l'identificativo passato dal programma dell'archivio");
    return;
  }
  const auto& t = trasf[0];
  Segna(4, "Riga trasferimento", Esito::Ok,
        "ID=" + r_.idTransfer + ", IDALBUM=" + OneLineText(t[0]) + ", IDITEMPHOTO=" + OneLineText(t[1]) +
            ", " + StatoRiga(t[2], t[3]));
  // A row named by an identifier that is not one (NULL) is not there.
  struct Rimando {
    const char* controllo;
    const char* tabella;
    const std::string& id;
    const char* colonna;
  };
  bool mancaAltra = false;
  for (const Rimando& r : {Rimando{"Riga album", "KELALBUMPRISM", t[0], "IDALBUM"},
                           Rimando{"Riga foto", "KELITEMPHOTO", t[1], "IDITEMPHOTO"}}) {
    const std::optional<int64_t> numero = IdentificativoRiga(r.id);
    const std::string cerca = std::string("SELECT ID FROM ") + r.tabella + " WHERE ID = ";
    if (numero && !LeggiRighe(archivioDb_, cerca + std::to_string(*numero), 1).empty()) continue;
    Segna(4, r.controllo, Esito::Errore,
          std::string("nessuna riga di ") + r.tabella + " con ID = " + OneLineText(r.id) +
              " (la run non trova il trasferimento: " + rigaRun + ")",
          std::string("correggi ") + r.colonna + " della riga di trasferimento");
    mancaAltra = true;
  }
  if (!mancaAltra) {
    // Every row is there now: one was written between the two reads.
    Segna(4, "Lettura trasferimento", Esito::Errore,
          "le righe album e foto ci sono, ma la lettura della run non le ha trovate (archivio cambiato nel "
          "frattempo)",
          "ripeti la diagnosi");
  }
}

void Diagnosi::FileMedia(const std::string& salvato, const std::string& locale) {
  struct stat info {};
  if (::stat(locale.c_str(), &info) != 0) {
    Segna(4, "File media", Esito::Errore,
          OneLineText(locale) + " non esiste (la run: \"File da caricare non esiste " + OneLineText(salvato) +
              "\")",
          "controlla che il file sia nella cartella e che [PERCORSI] del file parametri mappi la cartella "
          "salvata su quella locale");
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    Segna(4, "File media", Esito::Errore, OneLineText(locale) + " non è un file regolare",
          "il percorso deve indicare il file della foto o del video");
    return;
  }
  if (::access(locale.c_str(), R_OK) != 0) {
    Segna(4, "File media", Esito::Errore, OneLineText(locale) + " non è leggibile",
          "dai il permesso di lettura all'utente che avvia la run");
    return;
  }
  const std::string dimensione = std::to_string(static_cast<long long>(info.st_size)) + " byte";
  if (info.st_size == 0) {
    Segna(4, "File media", Esito::Avviso, OneLineText(locale) + " è vuoto (0 byte)",
          "il file va ricopiato: il server rifiuterà un file vuoto");
    return;
  }
  Segna(4, "File media", Esito::Ok, OneLineText(locale) + ", file regolare leggibile, " + dimensione);
}

// Every album row that has transfers waiting.
std::vector<Diagnosi::Album> Diagnosi::AlbumInAttesa() {
  std::vector<Album> album;
  try {
    auto righe = LeggiRighe(
        archivioDb_,
        "SELECT A.ID, A.NOMESITOPRISM, A.ACCOUNTUSER, A.ACCOUNTPASSWORD, A.IDALBUMPRISM FROM KELALBUMPRISM A "
        "WHERE A.ID IN (SELECT L.IDALBUM FROM KELTRANSFLOG L WHERE L.DATAORATRANSF IS NULL) ORDER BY A.ID",
        200);
    for (const auto& r : righe) album.push_back({r[0], r[1], r[2], r[3], r[4]});
    if (album.empty()) {
      Segna(5, "Server", Esito::Ok,
            "nessuna riga album con trasferimenti in attesa: nessun server da controllare");
    }
  } catch (const Exception& e) {
    Segna(5, "Server", Esito::Errore, Errore(e), "controlla l'archivio");
  }
  return album;
}

}  // namespace velmora::doctor
