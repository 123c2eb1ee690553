// A small certificate authority for the certificate-check tests, made with
// the openssl command in a temporary directory: CAs, server certificates
// signed by them (valid now, or only in January 2020) with chosen
// subjectAltName entries, self-signed certificates, and the public-key pin of
// a certificate as an independent tool computes it.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"

namespace velmora::test {

struct TestCertificate {
  std::string cert;  // PEM
  std::string key;   // PEM
};

class TestPki {
 public:
  // A CA named `name` (CN "<name> Test CA").
  TestCertificate MakeCa(const std::string& name) {
    TestCertificate ca{dir_ / (name + "-ca.pem"), dir_ / (name + "-ca.key")};
    Run({"/usr/bin/openssl",
         "req",
         "-x509",
         "-newkey",
         "ec",
         "-pkeyopt",
         "ec_paramgen_curve:prime256v1",
         "-nodes",
         "-subj",
         "/CN=" + name + " Test CA",
         "-days",
         "3",
         "-addext",
         "basicConstraints=critical,CA:TRUE",
         "-addext",
         "keyUsage=critical,keyCertSign,cRLSign",
         "-keyout",
         ca.key,
         "-out",
         ca.cert});
    return ca;
  }

  // A server certificate for `commonName` with the subjectAltName `san`
  // (e.g. "DNS:localhost,IP:127.0.0.1"), signed by `ca`; with `expired` it
  // was valid only in January 2020.
  TestCertificate Issue(const TestCertificate& ca, const std::string& name, const std::string& commonName,
                        const std::string& san, bool expired) {
    TestCertificate leaf{dir_ / (name + ".pem"), dir_ / (name + ".key")};
    const std::string db = dir_ / (name + "-db/");
    Run({"/bin/mkdir", "-p", db});
    WriteFileBytes(db + "index.txt", "");
    WriteFileBytes(db + "serial", "1000\n");
    WriteFileBytes(db + "ca.cnf", "[ca]\ndefault_ca = ca_default\n[ca_default]\ndatabase = " + db +
                                      "index.txt\nnew_certs_dir = " + db + "\nserial = " + db +
                                      "serial\ndefault_md = sha256\npolicy = policy_any\n"
                                      "[policy_any]\ncommonName = supplied\n"
                                      "[leaf]\nbasicConstraints = CA:FALSE\nsubjectAltName = " +
                                      san + "\n");
    Run({"/usr/bin/openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-subj", "/CN=" + commonName, "-keyout", leaf.key, "-out", db + "csr.pem"});
    std::vector<std::string> argv{"/usr/bin/openssl",
                                  "ca",
                                  "-batch",
                                  "-notext",
                                  "-config",
                                  db + "ca.cnf",
                                  "-cert",
                                  ca.cert,
                                  "-keyfile",
                                  ca.key,
                                  "-in",
                                  db + "csr.pem",
                                  "-out",
                                  leaf.cert,
                                  "-extensions",
                                  "leaf"};
    if (expired) {
      argv.insert(argv.end(), {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
    } else {
      argv.insert(argv.end(), {"-days", "2"});
    }
    Run(argv);
    return leaf;
  }

  // A self-signed certificate for `commonName`.
  TestCertificate SelfSigned(const std::string& name, const std::string& commonName) {
    TestCertificate cert{dir_ / (name + ".pem"), dir_ / (name + ".key")};
    Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-subj", "/CN=" + commonName, "-days", "2", "-keyout", cert.key, "-out", cert.cert});
    return cert;
  }

  // "sha256//" + base64 of the SHA-256 of the certificate's public key (DER),
  // computed by the openssl command line.
  static std::string Pin(const std::string& certFile) {
    ProcessResult r =
        RunProcess({"/bin/sh", "-c",
                    "/usr/bin/openssl x509 -in \"$0\" -pubkey -noout | /usr/bin/openssl pkey "
                    "-pubin -outform der | /usr/bin/openssl dgst -sha256 -binary | /usr/bin/base64",
                    certFile});
    if (r.exitCode != 0) throw std::runtime_error("pin: " + r.err);
    std::string pin = r.out;
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
    return "sha256//" + pin;
  }

  const TempDir& Dir() const { return dir_; }

 private:
  static void Run(const std::vector<std::string>& argv) {
    ProcessResult r = RunProcess(argv);
    if (r.exitCode != 0) throw std::runtime_error("openssl failed: " + r.err);
  }

  TempDir dir_;
};

}  // namespace velmora::test
