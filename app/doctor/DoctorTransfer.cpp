// The checks of group 4: the named transfer row and its media file, or the
// album rows with transfers waiting.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "app/doctor/DoctorChecks.h"
#include "archive/Istruzione.h"
#include "archive/SQLText.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "publish/Trasferimento.h"

namespace velmora::doctor {

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
    auto trasf =
        LeggiRighe(archivioDb_,
                   "SELECT IDALBUM, IDITEMPHOTO, DATAORATRANSF, IDPRISM FROM KELTRANSFLOG WHERE ID=" +
                       std::to_string(*idTrasferimento),
                   1);
    if (trasf.empty()) {
      Segna(4, "Riga trasferimento", Esito::Errore,
            "nessuna riga di KELTRANSFLOG con ID=" + r_.idTransfer +
                " (la run scriverebbe \"File da caricare non esiste \\.jpg\")",
            "controlla l'identificativo passato dal programma dell'archivio");
      return std::nullopt;
    }
    const auto& t = trasf[0];
    std::string stato = t[2].empty() ? "non ancora trasferita"
                                     : "già trasferita il " + OneLineText(t[2]) + " (IDPRISM " +
                                           OneLineText(t[3]) + "); una nuova run la ricaricherebbe";
    Segna(4, "Riga trasferimento", Esito::Ok,
          "ID=" + r_.idTransfer + ", IDALBUM=" + OneLineText(t[0]) + ", IDITEMPHOTO=" + OneLineText(t[1]) +
              ", " + stato);

    Album album;
    const std::optional<int64_t> idAlbum = IdentificativoRiga(t[0]);
    auto a = !idAlbum ? std::vector<std::vector<std::string>>{}
                      : LeggiRighe(
                            archivioDb_,
                            "SELECT ID, NOMESITOPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, NOMEALBUM, IDALBUMPRISM "
                            "FROM KELALBUMPRISM WHERE ID = " +
                                std::to_string(*idAlbum),
                            1);
    bool righeOk = true;
    if (a.empty()) {
      Segna(4, "Riga album", Esito::Errore,
            "nessuna riga di KELALBUMPRISM con ID = " + OneLineText(t[0]) +
                " (la run non trova il trasferimento: \"File da caricare non esiste \\.jpg\")",
            "correggi IDALBUM della riga di trasferimento");
      righeOk = false;
    } else {
      album = {a[0][0], a[0][1], a[0][2], a[0][3], a[0][5]};
      Segna(4, "Riga album", Esito::Ok,
            "ID = " + OneLineText(album.id) + ", album \"" + OneLineText(a[0][4]) + "\", server " +
                OneLineText(album.sito) + ", account " + OneLineText(album.account) +
                (a[0][5].empty() ? ", album non ancora creato sul server"
                                 : ", album del server " + OneLineText(a[0][5])));
    }
    const std::optional<int64_t> idFoto = IdentificativoRiga(t[1]);
    auto p = !idFoto
                 ? std::vector<std::vector<std::string>>{}
                 : LeggiRighe(archivioDb_,
                              "SELECT PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE FROM KELITEMPHOTO WHERE ID=" +
                                  std::to_string(*idFoto),
                              1);
    if (p.empty()) {
      Segna(4, "Riga foto", Esito::Errore,
            "nessuna riga di KELITEMPHOTO con ID = " + OneLineText(t[1]) +
                " (la run non trova il trasferimento: \"File da caricare non esiste \\.jpg\")",
            "correggi IDITEMPHOTO della riga di trasferimento");
      return std::nullopt;
    }
    std::string estensione = p[0][2].empty() ? "jpg" : p[0][2];
    Segna(4, "Riga foto", Esito::Ok,
          "PERCORSOFOTO=" + OneLineText(p[0][0]) + ", NOMEFILE=" + OneLineText(p[0][1]) + ", estensione " +
              OneLineText(estensione));
    const std::string salvato = PercorsoMedia(p[0][0], p[0][1], estensione);
    const std::string locale = LocalPathFromStored(salvato, fileParametri_);
    Segna(4, "Percorso media", Esito::Ok, OneLineText(salvato) + " -> " + OneLineText(locale));
    FileMedia(salvato, locale);
    if (!righeOk) return std::nullopt;
    return album;
  } catch (const Exception& e) {
    Segna(4, "Lettura trasferimento", Esito::Errore, Errore(e), "controlla l'archivio");
    return std::nullopt;
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
