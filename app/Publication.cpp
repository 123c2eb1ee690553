#include "app/Velmora.h"
#include "platform/Console.h"

namespace velmora {

// The archive stage and the publication sequence are not built yet: say so
// plainly instead of reporting a publication that did not happen.
void RunPublication(const RunArguments&) {
  WriteLine("Pubblicazione non disponibile: questa versione non contiene ancora la fase di pubblicazione");
}

}  // namespace velmora
