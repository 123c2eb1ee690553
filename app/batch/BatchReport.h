// What velmora-batch tells: one console line per row, the summary line, the
// JSON report of --report and the progress line on standard error. Pure
// functions over the results, so tests reach every text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

enum class EsitoRiga {
  kPubblicata,    // uploaded now and recorded
  kGiaPresente,   // the album held the file's photo already: recorded, nothing uploaded
  kNonRiuscita,   // tried and failed; the row stays pending
  kSaltata,       // not tried (media file missing); the row stays pending
  kOccupata,      // another process is publishing it, or just has
  kInterrotta,    // stopped by a signal before its upload completed; stays pending
  kDaPubblicare,  // --dry-run: would be published
};

struct RisultatoRiga {
  int64_t id = 0;
  int64_t idAlbum = 0;
  EsitoRiga esito = EsitoRiga::kNonRiuscita;
  std::string uid;     // the photo recorded (kPubblicata, kGiaPresente)
  std::string hash;    // HASHPRISM recorded, or the file's SHA-1 when known
  std::string motivo;  // why not published, or (dry run) what would be done
  std::string file;    // the media path as stored
  uint64_t byte = 0;   // bytes of the file
};

struct Riepilogo {
  size_t pubblicate = 0;
  size_t giaPresenti = 0;
  size_t nonRiuscite = 0;  // kNonRiuscita and kInterrotta
  size_t saltate = 0;      // kSaltata (media file missing)
  size_t occupate = 0;     // kOccupata: another process publishes them
  size_t daPubblicare = 0;
  uint64_t byteInviati = 0;
  double secondi = 0;
  bool dryRun = false;
  bool interrotto = false;  // a signal stopped the batch
};

// The counts of `righe` (bytes and time are the caller's).
Riepilogo Conta(const std::vector<RisultatoRiga>& righe);

// 0 when every row was published or found on the server (a row that
// another process is publishing counts as done), else 1.
int CodiceUscita(const Riepilogo& riepilogo);

// "Riga 5: pubblicata pxxxx", "Riga 5: già sul server pxxxx", "Riga 5: non
// riuscita: <motivo>", "Riga 5: saltata: <motivo>", "Riga 5: interrotta,
// resta in attesa", "Riga 5: da pubblicare <file> (<motivo>)".
std::string RigaEsito(const RisultatoRiga& riga);

// "Pubblicate 28, già sul server 1, non riuscite 1, saltate 0; 28.0 MiB
// inviati in 3.4 s", with ", in corso altrove N" after "saltate" when another
// process had rows (dry run: "Da pubblicare 30, saltate 0; prova, nessuna
// modifica").
std::string RigaRiepilogo(const Riepilogo& riepilogo);

// The report: {"dry_run", "interrotto", "riepilogo": {...}, "righe": [...]}.
std::string ReportJSON(const std::vector<RisultatoRiga>& righe, const Riepilogo& riepilogo);

// "12/30 righe, 11.2 MiB inviati, 35.4 MiB/s, fine tra 0:03"; the time left
// from the bytes still to send at the rate so far ("fine tra --:--" before
// anything moved).
std::string RigaAvanzamento(size_t fatte, size_t totale, uint64_t inviati, uint64_t daInviare,
                            double secondi);

}  // namespace velmora
