// Peers for the HTTP and TLS client tests: the scripted raw-socket server
// (tests/peers/scripted_http.py), `openssl s_server`, and test certificates.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace velmora::test {

// A JSON string literal holding `bytes` one byte per character, as the peer
// turns "respond" texts into ISO-8859-1 bytes.
inline std::string JsonBytes(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// One step of a scripted connection.
struct PeerStep {
  std::string respond;           // bytes sent after the request was read
  bool close = false;            // close the connection after answering
  bool stall = false;            // answer nothing, keep the connection open
  std::string read = "request";  // "request", "bytes" or "none"
  int delayMs = 0;

  std::string Json() const {
    std::string j = "{\"read\":\"" + read + "\"";
    if (!respond.empty()) j += ",\"respond\":" + JsonBytes(respond);
    if (close) j += ",\"close\":true";
    if (stall) j += ",\"stall\":true";
    if (delayMs > 0) j += ",\"delay_ms\":" + std::to_string(delayMs);
    return j + "}";
  }
};

using PeerConnection = std::vector<PeerStep>;

// What the peer saw: one request's exact bytes on a numbered connection.
struct PeerRequest {
  int connection = -1;
  std::string bytes;
};

inline std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    size_t pos = kAlphabet.find(c);
    if (pos == std::string::npos) continue;
    value = (value << 6) | static_cast<unsigned>(pos);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

// The scripted peer, started on a free loopback port.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(const std::vector<PeerConnection>& connections, const std::string& tlsCert = "",
                        const std::string& tlsKey = "", int lifetimeSeconds = 120) {
    std::string json = "{\"lifetime\":" + std::to_string(lifetimeSeconds) + ",\"connections\":[";
    for (size_t c = 0; c < connections.size(); ++c) {
      if (c > 0) json += ",";
      json += "[";
      for (size_t s = 0; s < connections[c].size(); ++s) {
        if (s > 0) json += ",";
        json += connections[c][s].Json();
      }
      json += "]";
    }
    json += "]";
    if (!tlsCert.empty())
      json += ",\"tls\":{\"cert\":" + JsonBytes(tlsCert) + ",\"key\":" + JsonBytes(tlsKey) + "}";
    json += "}";
    WriteFileBytes(dir_ / "script.json", json);
    process_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/usr/bin/python3", SourcePath("tests/peers/scripted_http.py"), dir_ / "script.json"});
    std::string line = process_->ReadLine(60);
    if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("peer did not start: " + line);
    port_ = std::stoi(line.substr(5));
  }

  int Port() const { return port_; }
  std::string Url(const std::string& path, const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string HostHeader() const { return "127.0.0.1:" + std::to_string(port_); }

  // The next request the peer recorded (lines of other kinds are skipped).
  PeerRequest NextRequest(int timeoutSeconds = 60) {
    for (;;) {
      std::string line = process_->ReadLine(timeoutSeconds);
      if (line.rfind("REQUEST ", 0) != 0) continue;
      size_t blank = line.find(' ', 8);
      PeerRequest r;
      r.connection = std::stoi(line.substr(8, blank - 8));
      r.bytes = DecodeBase64(line.substr(blank + 1));
      return r;
    }
  }
  // The next line of the given kind ("CLOSED", "BYTES"), whole.
  std::string NextLine(const std::string& kind, int timeoutSeconds = 60) {
    for (;;) {
      std::string line = process_->ReadLine(timeoutSeconds);
      if (line.rfind(kind, 0) == 0) return line;
    }
  }

 private:
  TempDir dir_;
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
};

// A key and a certificate for `commonName` in `dir`: self-signed and valid
// today, or (with `expired`) valid only in January 2020. Returns {cert, key}.
inline std::pair<std::string, std::string> MakeCertificate(const TempDir& dir, const std::string& name,
                                                           const std::string& commonName, bool expired) {
  std::string cert = dir / (name + "-cert.pem");
  std::string key = dir / (name + "-key.pem");
  ProcessResult r;
  if (!expired) {
    r = RunProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                    "/CN=" + commonName, "-days", "2", "-keyout", key, "-out", cert});
  } else {
    std::string ca = dir / (name + "-ca/");
    RunProcess({"/bin/mkdir", "-p", ca});
    WriteFileBytes(ca + "index.txt", "");
    WriteFileBytes(ca + "serial", "01\n");
    WriteFileBytes(
        ca + "ca.cnf",
        "[ca]\ndefault_ca = ca_default\n[ca_default]\ndatabase = " + ca + "index.txt\nnew_certs_dir = " + ca +
            "\nserial = " + ca +
            "serial\ndefault_md = sha256\npolicy = policy_any\n[policy_any]\ncommonName = supplied\n");
    r = RunProcess({"/usr/bin/openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj",
                    "/CN=" + commonName, "-keyout", key, "-out", ca + "csr.pem"});
    if (r.exitCode == 0) {
      r = RunProcess({"/usr/bin/openssl", "ca", "-batch", "-config", ca + "ca.cnf", "-selfsign", "-keyfile",
                      key, "-in", ca + "csr.pem", "-out", cert, "-startdate", "20200101000000Z", "-enddate",
                      "20200201000000Z"});
    }
  }
  if (r.exitCode != 0) throw std::runtime_error("openssl failed: " + r.err);
  return {cert, key};
}

// `openssl s_server -www` on a free loopback port, bounded by `timeout`;
// answers GET requests with a page naming the negotiated protocol and
// prints the server name the client sent.
class TlsServer {
 public:
  TlsServer(const std::string& cert, const std::string& key, const std::vector<std::string>& extra) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreePort();
      std::vector<std::string> argv = {"/usr/bin/timeout",
                                       "120",
                                       "/usr/bin/stdbuf",
                                       "-oL",
                                       "/usr/bin/openssl",
                                       "s_server",
                                       "-accept",
                                       "127.0.0.1:" + std::to_string(port_),
                                       "-cert",
                                       cert,
                                       "-key",
                                       key,
                                       "-www",
                                       "-naccept",
                                       "4"};
      argv.insert(argv.end(), extra.begin(), extra.end());
      process_ = std::make_unique<BackgroundProcess>(argv);
      try {
        for (;;) {
          std::string line = process_->ReadLine(60);
          if (line == "ACCEPT") return;
        }
      } catch (const std::runtime_error&) {
        process_.reset();  // the port was taken meanwhile: try another
      }
    }
    throw std::runtime_error("openssl s_server did not start");
  }
  int Port() const { return port_; }
  // The server name of the next "Hostname in TLS extension" line.
  std::string NextServerName() {
    for (;;) {
      std::string line = process_->ReadLine(60);
      const std::string prefix = "Hostname in TLS extension: \"";
      if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size(), line.size() - prefix.size() - 1);
    }
  }

 private:
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
};

}  // namespace velmora::test
