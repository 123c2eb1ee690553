// What velmora-batch --watch tells the service manager: the notify protocol
// (libsystemd's sd_notify; without NOTIFY_SOCKET nothing is sent) and its
// lines on standard output, with the journal's priority prefixes when
// standard output is the journal's stream, so that `journalctl -p err`
// shows only the failures.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace velmora {

// The journal priorities the service uses (sd-daemon.h's SD_ERR, SD_WARNING,
// SD_INFO).
enum class Priorita { kErrore = 3, kAvviso = 4, kInfo = 6 };

// True when `journalStream` (the JOURNAL_STREAM text, "DEVICE:INODE" in
// decimal) names the device and inode given. Pure.
bool StreamDelJournal(std::string_view journalStream, dev_t device, ino_t inode);

// A service line as written: "<3>text\n" under the journal, "text\r\n"
// (a console line, like the batch's) otherwise. Pure.
std::string RigaServizio(Priorita priorita, std::string_view line, bool journal);

class ServizioNotifiche {
 public:
  // Reads the environment once: whether standard output is the journal's
  // stream (JOURNAL_STREAM matches its device and inode) and whether the
  // unit set a watchdog (sd_watchdog_enabled).
  ServizioNotifiche();

  bool Journal() const { return journal_; }
  // The watchdog's period; zero when the unit sets none.
  std::chrono::microseconds Watchdog() const { return watchdog_; }

  // One line on standard output (RigaServizio).
  void Scrivi(Priorita priorita, std::string_view line) const;

  // "READY=1" with the status line; the first call only.
  void Pronto(const std::string& stato);
  // "STATUS=<stato>" when it differs from the last one sent.
  void Stato(const std::string& stato);
  // "WATCHDOG=1" when the unit set a watchdog.
  void Battito() const;
  // "STOPPING=1".
  void Arresto() const;
  // "RELOADING=1" while the configuration is read again, then "READY=1".
  void Ricarica(bool inizio) const;

 private:
  bool journal_ = false;
  std::chrono::microseconds watchdog_{0};
  bool pronto_ = false;
  std::string ultimoStato_;
};

// While alive, one thread of its own sends "WATCHDOG=1" at half the
// watchdog's period (nothing when the unit sets no watchdog): for a cycle's
// publication, which may last longer than the period with large files and
// whose every wait is bounded by the HTTP client's time-outs, so a hang
// there still ends.
class BattitoDuranteLavoro {
 public:
  explicit BattitoDuranteLavoro(const ServizioNotifiche& notifiche);
  ~BattitoDuranteLavoro();
  BattitoDuranteLavoro(const BattitoDuranteLavoro&) = delete;
  BattitoDuranteLavoro& operator=(const BattitoDuranteLavoro&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool fine_ = false;
  std::thread thread_;
};

}  // namespace velmora
