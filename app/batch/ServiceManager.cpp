#include "app/batch/ServiceManager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>

#include "platform/Console.h"

namespace velmora {

namespace {

bool Numero(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

void Invia(const std::string& message) { sd_notify(0, message.c_str()); }

}  // namespace

bool StreamDelJournal(std::string_view journalStream, dev_t device, ino_t inode) {
  size_t colon = journalStream.find(':');
  if (colon == std::string_view::npos) return false;
  uint64_t d = 0, i = 0;
  if (!Numero(journalStream.substr(0, colon), d) || !Numero(journalStream.substr(colon + 1), i)) return false;
  return d == static_cast<uint64_t>(device) && i == static_cast<uint64_t>(inode);
}

std::string RigaServizio(Priorita priorita, std::string_view line, bool journal) {
  if (!journal) return std::string(line) + "\r\n";
  return "<" + std::to_string(static_cast<int>(priorita)) + ">" + std::string(line) + "\n";
}

ServizioNotifiche::ServizioNotifiche() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st {};
  journal_ = stream != nullptr && ::fstat(STDOUT_FILENO, &st) == 0 && StreamDelJournal(stream, st.st_dev, st.st_ino);
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

void ServizioNotifiche::Scrivi(Priorita priorita, std::string_view line) const {
  WriteStandardOutput(RigaServizio(priorita, line, journal_));
}

void ServizioNotifiche::Pronto(const std::string& stato) {
  if (pronto_) return;
  pronto_ = true;
  ultimoStato_ = stato;
  Invia("READY=1\nSTATUS=" + stato);
}

void ServizioNotifiche::Stato(const std::string& stato) {
  if (stato == ultimoStato_) return;
  ultimoStato_ = stato;
  Invia("STATUS=" + stato);
}

void ServizioNotifiche::Battito() const {
  if (watchdog_.count() > 0) Invia("WATCHDOG=1");
}

void ServizioNotifiche::Arresto() const { Invia("STOPPING=1"); }

void ServizioNotifiche::Ricarica(bool inizio) const { Invia(inizio ? "RELOADING=1" : "READY=1"); }

BattitoDuranteLavoro::BattitoDuranteLavoro(const ServizioNotifiche& notifiche) {
  const auto periodo = notifiche.Watchdog() / 2;
  if (periodo.count() <= 0) return;
  thread_ = std::thread([this, &notifiche, periodo] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cv_.wait_for(lock, periodo, [this] { return fine_; })) notifiche.Battito();
  });
}

BattitoDuranteLavoro::~BattitoDuranteLavoro() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fine_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace velmora
