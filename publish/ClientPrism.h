// The HTTP client settings of every publication, the run's and a batch
// worker's alike.
#pragma once

namespace velmora {

class HttpClient;

// The connect and read time-outs of the client and of its TLS handler
// (kTimeoutPrismMs each), every TLS version the TLS layer knows, and the
// run's user agent.
void ImpostaClientPrism(HttpClient& http);

inline constexpr int kTimeoutPrismMs = 600000;

}  // namespace velmora
