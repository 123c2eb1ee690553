// The HTTP client settings of every publication, the run's and a batch
// worker's alike.
#pragma once

#include <string>

namespace velmora {

class HttpClient;

// The connect and read time-outs of the client and of its TLS handler
// (kTimeoutPrismMs each), every TLS version the TLS layer knows, the run's
// user agent, and the optional certificate checks of `fileParametri`
// (ApplicaControlliCertificato: without its keys nothing is checked).
void ImpostaClientPrism(HttpClient& http, const std::string& fileParametri);

inline constexpr int kTimeoutPrismMs = 600000;

}  // namespace velmora
