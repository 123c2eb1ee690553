#include "archive/AmbitoTransazione.h"

#include <utility>

namespace velmora {

void AmbitoTransazione::Conferma() {
  if (transazione_ == nullptr) return;
  transazione_->Commit();  // on failure the destructor rolls back
  transazione_ = nullptr;
}

void AmbitoTransazione::ConfermaMantenendo() {
  if (transazione_ != nullptr) transazione_->CommitRetaining();
}

void AmbitoTransazione::Annulla() noexcept {
  TIBTransaction* t = std::exchange(transazione_, nullptr);
  if (t == nullptr) return;
  try {
    if (t->Active()) t->Rollback();
  } catch (...) {
    // The first error is the one that counts; the connection ends the rest.
  }
}

TIBTransaction* AmbitoTransazione::Consegna() noexcept { return std::exchange(transazione_, nullptr); }

}  // namespace velmora
