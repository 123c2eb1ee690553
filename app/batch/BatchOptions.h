// The command line of velmora-batch: USER COMPANY and the options that
// choose rows, parallelism, the identification wait and the report. Pure:
// nothing is opened or printed here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// A closed interval of transfer row identifiers; a single id has da == a.
struct IntervalloId {
  int64_t da = 0;
  int64_t a = 0;
  bool operator==(const IntervalloId&) const = default;
};

inline constexpr int kJobsPredefiniti = 4;
inline constexpr int kJobsMassimi = 32;
inline constexpr int kAttesaPredefinitaS = 60;
inline constexpr int kAttesaMassimaS = 86400;
inline constexpr int kIntervalloPredefinitoS = 5;
inline constexpr int kIntervalloMassimoS = 3600;
// How many uploads of one album row are filed into the album by one request
// (a server imports them inside that request, so it must end well within
// the read time-out), by count and by bytes.
inline constexpr int kFilePerImportPredefiniti = 50;
inline constexpr int kFilePerImportMassimi = 1000;
inline constexpr int kMiBPerImportPredefiniti = 2048;
inline constexpr int kMiBPerImportMassimi = 65536;
// Bounds that keep the selection statement short.
inline constexpr size_t kAlbumMassimi = 100;
inline constexpr size_t kIntervalliMassimi = 1000;

struct OpzioniBatch {
  std::string utente;                             // USER, as given
  std::string ditta;                              // COMPANY, as given
  std::vector<int64_t> album;                     // --album, repeatable; empty = every album row
  std::vector<IntervalloId> ids;                  // --ids; empty = every pending row
  int jobs = kJobsPredefiniti;                    // --jobs, 1..kJobsMassimi
  int attesaS = kAttesaPredefinitaS;              // --wait, 0..kAttesaMassimaS seconds
  int filePerImport = kFilePerImportPredefiniti;  // --group-files, 1..kFilePerImportMassimi
  int mibPerImport = kMiBPerImportPredefiniti;    // --group-mib, 1..kMiBPerImportMassimi
  bool dryRun = false;                            // --dry-run
  bool ripara = false;                            // --ripara: also rows recorded without a photo
  bool watch = false;                             // --watch: a service that runs until stopped
  int intervalloS = kIntervalloPredefinitoS;      // --interval, 1..kIntervalloMassimoS seconds
  bool intervalloDato = false;                    // --interval was given
  std::string report;                             // --report FILE, "" = none
  bool aiuto = false;                             // --help: print the help, nothing else
  bool versione = false;                          // --version: print the version, nothing else
};

// What parsing gives: the options, or the Italian text of the first usage
// error (then the program exits with code 2).
struct EsitoArgomenti {
  OpzioniBatch opzioni;
  std::optional<std::string> errore;
};

// Parses argv[1..] (args[0] is the program name). Options may come before,
// between or after the two positional arguments, as "--name value" or
// "--name=value"; "--" ends the options. --help and --version win over
// every other argument and error found after them. --watch takes neither
// --ids, --dry-run nor --report; --interval needs --watch; --ripara does
// not go with --dry-run (the repair reads the server).
EsitoArgomenti AnalizzaArgomenti(const std::vector<std::string>& args);

// A row identifier: 1 to 18 decimal digits, nothing else. Empty when `text`
// is not one.
std::optional<int64_t> NumeroId(std::string_view text);

// "5,7,10-20": comma-separated ids and ranges a-b (a <= b), no blanks, no
// empty items; at most kIntervalliMassimi items. Empty on any fault, with
// the reason in `errore`.
std::optional<std::vector<IntervalloId>> ElencoIds(std::string_view text, std::string& errore);

// The --help text (Italian), lines ending with "\n".
std::string TestoAiuto();

}  // namespace velmora
