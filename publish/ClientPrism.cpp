#include "publish/ClientPrism.h"

#include "prism/PrismApi.h"
#include "transport/HttpClient.h"
#include "transport/TlsChannel.h"

namespace velmora {

void ImpostaClientPrism(HttpClient& http, const std::string& fileParametri) {
  http.SetConnectTimeout(kTimeoutPrismMs);
  http.SetReadTimeout(kTimeoutPrismMs);
  TlsSettings& tls = http.TlsHandler();
  tls.sslVersions = kSslVersionsAll;
  tls.connectTimeoutMs = kTimeoutPrismMs;
  tls.readTimeoutMs = kTimeoutPrismMs;
  http.SetUserAgent(kUserAgentPrism);
  ApplicaControlliCertificato(fileParametri, tls);
}

}  // namespace velmora
