#pragma once
// Certificates for https tests, made at test time by the openssl CLI: a test
// CA and, signed by it, a server certificate for 127.0.0.1, ::1 and localhost and
// one for another name only; besides them a self-signed certificate for
// 127.0.0.1 and localhost. The CA is trusted through this process's
// environment alone (SSL_CERT_FILE, with SSL_CERT_DIR on an empty folder so
// that the system's store plays no part), never installed anywhere.

#include <string>

#include "support/nginx_server.h"

namespace larkvale::testing {

class TlsCertificates {
 public:
  // Made once per process, on first use, and trusted from then on; the
  // client reads the variables when it makes its next connection.
  static const TlsCertificates& Shared();

  std::string CaFile() const { return dir_.File("ca.pem"); }
  NginxServer::Tls Trusted() const { return Files("server"); }
  NginxServer::Tls SelfSigned() const { return Files("selfsigned"); }
  // Signed by the CA for "other.test" only.
  NginxServer::Tls OtherName() const { return Files("othername"); }

 private:
  TlsCertificates();
  NginxServer::Tls Files(const std::string& name) const { return {dir_.File(name + ".pem"), dir_.File(name + ".key")}; }
  TempDir dir_;
};

}  // namespace larkvale::testing
