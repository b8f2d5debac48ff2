// Throw-away TLS certificates for tests, made by the openssl command at run time. Linux only.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qorvin::testing {

// Throw-away certificates in a temporary folder, removed with the object: the server's
// self-signed certificate, for the name `name` and the subject alternative name `altName`
// ("IP:127.0.0.1", "DNS:other.invalid").
class SelfSignedCertificate {
 public:
  explicit SelfSignedCertificate(const std::string& name = "localhost",
                                 const std::string& altName = "IP:127.0.0.1") {
    char dir[] = "/tmp/qorvin-tls-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    ok_ = Make(Key(), Cert(), name, altName);
  }
  ~SelfSignedCertificate() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  SelfSignedCertificate(const SelfSignedCertificate&) = delete;
  SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;

  bool Ok() const { return ok_; }
  const std::string& Folder() const { return dir_; }
  std::string Key() const { return dir_ + "/key.pem"; }
  std::string Cert() const { return dir_ + "/cert.pem"; }

  // Makes a further key and self-signed certificate; false when the openssl command fails.
  static bool Make(const std::string& key, const std::string& cert, const std::string& name,
                   const std::string& altName) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=" + name +
        "' -addext subjectAltName=" + altName + " -keyout " + key + " -out " + cert +
        " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

 private:
  std::string dir_;
  bool ok_ = false;
};

}  // namespace qorvin::testing
