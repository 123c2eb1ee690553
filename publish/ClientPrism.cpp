#include "publish/ClientPrism.h"

#include "prism/PrismApi.h"
#include "transport/HttpClient.h"

namespace velmora {

void ImpostaClientPrism(HttpClient& http) {
  http.SetConnectTimeout(kTimeoutPrismMs);
  http.SetReadTimeout(kTimeoutPrismMs);
  TlsSettings& tls = http.TlsHandler();
  tls.sslVersions = kSslVersionsAll;
  tls.connectTimeoutMs = kTimeoutPrismMs;
  tls.readTimeoutMs = kTimeoutPrismMs;
  http.SetUserAgent(kUserAgentPrism);
}

}  // namespace velmora
