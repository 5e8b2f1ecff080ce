#include "support/tls_certificates.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/media_fixtures.h"

namespace larkvale::testing {

namespace {

void Run(const std::string& command) {
  // Quiet unless it fails.
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("openssl failed: " + command);
}

}  // namespace

TlsCertificates::TlsCertificates() {
  using testsupport::ShellQuote;
  auto at = [&](const std::string& name) { return ShellQuote(dir_.File(name)); };
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
  Run("openssl req -x509 " + key + " -keyout " + at("ca.key") + " -out " + at("ca.pem") +
      " -days 2 -subj '/CN=Larkvale Test CA' -addext basicConstraints=critical,CA:TRUE"
      " -addext keyUsage=critical,keyCertSign,cRLSign");
  // Leaf certificates signed by the CA, each with its own names.
  const struct {
    const char* name;
    const char* altNames;
  } leaves[] = {{"server", "IP:127.0.0.1,IP:::1,DNS:localhost"}, {"othername", "DNS:other.test"}};
  for (const auto& leaf : leaves) {
    const std::string n = leaf.name;
    std::ofstream(dir_.File(n + ".ext")) << "subjectAltName=" << leaf.altNames
                                         << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    Run("openssl req -new " + key + " -keyout " + at(n + ".key") + " -out " + at(n + ".csr") + " -subj '/CN=" + n +
        "'");
    Run("openssl x509 -req -in " + at(n + ".csr") + " -CA " + at("ca.pem") + " -CAkey " + at("ca.key") +
        " -CAcreateserial -days 2 -out " + at(n + ".pem") + " -extfile " + at(n + ".ext"));
  }
  Run("openssl req -x509 " + key + " -keyout " + at("selfsigned.key") + " -out " + at("selfsigned.pem") +
      " -days 2 -subj '/CN=127.0.0.1' -addext subjectAltName=IP:127.0.0.1,DNS:localhost");
  // An empty folder: no system certificate is looked up by hash.
  Run("mkdir -p " + at("no-system-store"));
  ::setenv("SSL_CERT_FILE", CaFile().c_str(), 1);
  ::setenv("SSL_CERT_DIR", dir_.File("no-system-store").c_str(), 1);
}

const TlsCertificates& TlsCertificates::Shared() {
  static const TlsCertificates certificates;  // removed at exit
  return certificates;
}

}  // namespace larkvale::testing
