// Starts tests/peers/prism_server.py for one test and reads back what it
// received and what it holds. Header-only: included by the prism and app
// suites.
#pragma once

#include <strings.h>

#include <cstdlib>
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
    // "real": the behaviour of a production Prism server (login limit,
    // shooting-time order, file elements, de-duplication, synchronous
    // import, strict paging); "plain": the small kind server the byte-exact
    // wire tests were first written against, for a test that needs one.
    // "" = VELMORA_TEST_PRISM_PROFILE when set, else kDefaultProfile.
    std::string profile;
    // Further command-line settings of prism_server.py, such as
    // {"--login-limit", "3", "--unsupported", "xyz"}.
    std::vector<std::string> args;
  };
  static constexpr const char* kDefaultProfile = "real";

  // The profile a peer with these options runs.
  static std::string ProfileOf(const Options& options) {
    if (!options.profile.empty()) return options.profile;
    const char* forced = std::getenv("VELMORA_TEST_PRISM_PROFILE");
    return forced != nullptr && *forced != '\0' ? forced : kDefaultProfile;
  }

  explicit PrismPeer(const Options& options) {
    std::vector<std::string> argv{"/usr/bin/python3", SourcePath("tests/peers/prism_server.py"),
                                  "--record",         dir_ / "requests.jsonl",
                                  "--data",           dir_ / "data",
                                  "--lifetime",       "600",
                                  "--profile",        ProfileOf(options)};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
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
    https_ = options.https;
    profile_ = ProfileOf(options);
  }

  // "real" or "plain".
  const std::string& Profile() const { return profile_; }
  // The "message" of the server's answer to a filing PUT, and to an upload
  // POST of `files` files (handled within the second, as a small one is).
  std::string ImportedMessage(int files = 1) const {
    return profile_ == "real" ? "Upload has been processed" : std::to_string(files) + " files imported";
  }
  std::string UploadedMessage(int files = 1) const {
    return std::to_string(files) + (profile_ == "real" ? " files uploaded in 0 s" : " files uploaded");
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

  // How many of RequestLines() start with `prefix` ("POST /api/v1/session").
  int CountRequests(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : RequestLines()) n += line.rfind(prefix, 0) == 0;
    return n;
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

  // A control call of the peer (not recorded): POST `body` (JSON) to
  // "_control/<what>", or GET it when `body` is empty. Returns the answer;
  // throws std::runtime_error when the call fails.
  std::unique_ptr<TJSONValue> Control(const std::string& what, const std::string& body = "") const {
    std::vector<std::string> argv{"/usr/bin/curl", "-sS", "-w", "\n%{http_code}"};
    if (https_) argv.push_back("-k");
    if (!body.empty())
      argv.insert(argv.end(), {"-H", "Content-Type: application/json", "--data-binary", body});
    argv.push_back(baseUrl_ + "_control/" + what);
    ProcessResult result = RunProcess(argv, "", {}, 60);
    const size_t end = result.out.rfind('\n');
    if (result.exitCode != 0 || end == std::string::npos || result.out.substr(end + 1) != "200") {
      throw std::runtime_error("control " + what + " failed: " + result.out + result.err);
    }
    auto value = ParseJSONValue(result.out.substr(0, end));
    if (!value) throw std::runtime_error("control " + what + ": not JSON: " + result.out);
    return value;
  }

  // A new album of the first account, made on the server directly; its UID
  // (`uid` when given).
  std::string CreateAlbum(const std::string& title, const std::string& uid = "") const {
    TJSONObject body;
    body.AddPair("title", title);
    if (!uid.empty()) body.AddPair("uid", uid);
    return Control("album", body.ToString())->GetValue("UID").AsText();
  }
  // Files `count` new distinct photos of extension `ext` into `album`, the
  // i-th shot at `taken` ("YYYY-MM-DDTHH:MM:SSZ") plus i minutes; their UIDs,
  // first seeded first.
  std::vector<std::string> Seed(const std::string& album, int count, const std::string& taken,
                                const std::string& ext = "jpg") const {
    TJSONObject body;
    body.AddPair("album", album).AddPair("count", count).AddPair("taken", taken).AddPair("step_s", 60);
    body.AddPair("ext", ext);
    auto answer = Control("seed", body.ToString());
    std::vector<std::string> uids;
    const TJSONArray& photos = answer->GetValue("photos").AsArray();
    for (size_t i = 0; i < photos.Count(); ++i) uids.push_back(photos.Items(i).GetValue("UID").AsText());
    return uids;
  }
  // The shooting time later uploads with these bytes (SHA-1) get.
  void SetTaken(const std::string& sha1, const std::string& taken) const {
    TJSONObject body;
    body.AddPair("sha1", sha1).AddPair("taken", taken);
    Control("taken", body.ToString());
  }
  // Archives a photo: it stays filed but is never listed.
  void Archive(const std::string& photoUid) const {
    TJSONObject body;
    body.AddPair("photo", photoUid);
    Control("archive", body.ToString());
  }
  // Deletes an album on the server (a listing of it answers 400).
  void DeleteAlbum(const std::string& albumUid) const {
    TJSONObject body;
    body.AddPair("album", albumUid);
    Control("delete-album", body.ToString());
  }
  // Drops every session: the tokens issued so far get 401.
  void ForgetSessions() const { Control("forget-sessions", "{}"); }
  // Changes settings while running: a JSON object such as {"login_limit": 3}.
  void Settings(const std::string& json) const { Control("settings", json); }
  // Logins received in all, and those answered 429.
  int Logins() const { return Counter("logins"); }
  int LoginsRefused() const { return Counter("logins_429"); }
  int Counter(const std::string& name) const {
    // The answer is kept while its member is read.
    const std::unique_ptr<TJSONValue> counters = Control("counters");
    const TJSONValue* value = counters->FindValue(name);
    return value == nullptr ? 0 : std::stoi(value->AsText());
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
  bool https_ = false;
  std::string profile_;
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
// Options of a peer of the given profile ("plain" or "real").
inline PrismPeer::Options WithProfile(std::string profile, PrismPeer::Options options = {}) {
  options.profile = std::move(profile);
  return options;
}

}  // namespace velmora::test
