// Starts tests/peers/prism_server.py for one test and reads back what it
// received and what it holds. Header-only: included by the prism and app
// suites.
#pragma once

#include <strings.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "transport/Json.h"

namespace velmora::test {

class PrismPeer {
 public:
  struct Options {
    bool https = false;
    // Answer rules, a JSON array as prism_server.py documents it ("" = none).
    std::string script;
    // Accounts "name:password".
    std::vector<std::string> users{"studio:segreta"};
    // Certificate and key (PEM) of a TLS peer; "" = a self-signed one made
    // by the peer.
    std::string cert;
    std::string key;
  };

  explicit PrismPeer(const Options& options) {
    std::vector<std::string> argv{"/usr/bin/python3", SourcePath("tests/peers/prism_server.py"),
                                  "--record",         dir_ / "requests.jsonl",
                                  "--data",           dir_ / "data",
                                  "--lifetime",       "600"};
    if (options.https) argv.push_back("--https");
    if (!options.cert.empty()) argv.insert(argv.end(), {"--cert", options.cert, "--key", options.key});
    for (const std::string& user : options.users) {
      argv.push_back("--user");
      argv.push_back(user);
    }
    if (!options.script.empty()) {
      WriteFileBytes(dir_ / "script.json", options.script);
      argv.push_back("--script");
      argv.push_back(dir_ / "script.json");
    }
    process_ = std::make_unique<BackgroundProcess>(argv);
    port_ = std::stoi(process_->ReadLine(60));
    baseUrl_ = std::string(options.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
  }

  // "http://127.0.0.1:<port>/" (https for a TLS peer).
  const std::string& BaseUrl() const { return baseUrl_; }
  int Port() const { return port_; }

  // Every request received so far, oldest first: objects with "method",
  // "path", "headers", "body", "body_sha1" and, for uploads, "parts".
  std::vector<std::unique_ptr<TJSONValue>> Requests() const {
    std::vector<std::unique_ptr<TJSONValue>> out;
    std::ifstream in(dir_ / "requests.jsonl");
    std::string line;
    while (std::getline(in, line)) {
      auto value = ParseJSONValue(line);
      if (!value) throw std::runtime_error("bad record line: " + line);
      out.push_back(std::move(value));
    }
    return out;
  }

  // "METHOD path" of every request, oldest first.
  std::vector<std::string> RequestLines() const {
    std::vector<std::string> out;
    for (const auto& r : Requests()) {
      out.push_back(r->GetValue("method").AsText() + " " + r->GetValue("path").AsText());
    }
    return out;
  }

  // Bytes of the request body read so far by a rule's slow read
  // ("read_rate"); 0 before one began.
  size_t SlowReadBytes() const {
    std::ifstream in(dir_ / "requests.jsonl.reading");
    size_t bytes = 0;
    in >> bytes;
    return in ? bytes : 0;
  }
  // True once the server is through with a slow read: the request is
  // recorded, or the read failed.
  bool SlowReadDone() const {
    std::ifstream in(dir_ / "requests.jsonl.reading");
    std::string bytes, done;
    in >> bytes >> done;
    return done == "done";
  }

  // The server's saved state: "users", "albums", "links", "photos".
  std::unique_ptr<TJSONValue> State() const {
    auto value = ParseJSONValue(ReadFileBytes(dir_ / "data/state.json"));
    if (!value) throw std::runtime_error("bad state file");
    return value;
  }

  // A header of a recorded request ("" when absent); names as sent.
  static std::string Header(const TJSONValue& request, const std::string& name) {
    const TJSONValue* headers = request.FindValue("headers");
    if (headers == nullptr) return "";
    for (const TJSONPair& pair : headers->AsObject().Members()) {
      if (strcasecmp(pair.Name().c_str(), name.c_str()) == 0) return pair.Value().AsText();
    }
    return "";
  }
  static bool HasHeader(const TJSONValue& request, const std::string& name) {
    const TJSONValue* headers = request.FindValue("headers");
    if (headers == nullptr) return false;
    for (const TJSONPair& pair : headers->AsObject().Members()) {
      if (strcasecmp(pair.Name().c_str(), name.c_str()) == 0) return true;
    }
    return false;
  }

 private:
  TempDir dir_;
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
  std::string baseUrl_;
};

// Options with answer rules / with TLS.
inline PrismPeer::Options WithScript(std::string script) {
  PrismPeer::Options options;
  options.script = std::move(script);
  return options;
}
inline PrismPeer::Options WithHttps() {
  PrismPeer::Options options;
  options.https = true;
  return options;
}

}  // namespace velmora::test
