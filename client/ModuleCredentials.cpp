#include "client/ModuleCredentials.h"

#include <fstream>

#include "channels/uROWinInetHttpChannel.h"
#include "client/HostValues.h"
#include "platform/http/HttpConnection.h"

namespace qorvin {

bool ModuleCredentials::SetHttpLogin(const char* user, const char* password,
                                     QorvinText* errorText) {
  try {
    const std::string name = InText(user);
    std::string reason;
    if (letter_ != 'H') {
      reason = "only an HTTP module ('H') carries credentials";
    } else {
      for (const char c : name)
        if (c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          reason = "a user name cannot hold ':' or control characters";
    }
    if (!reason.empty()) {
      if (errorText) StoreText(errorText, reason);
      return false;
    }
    TROLogin login;
    login.Username = name;
    login.Password = name.empty() ? std::string() : InText(password);
    static_cast<TROWinInetHTTPChannel&>(channel_).SetLogin(login);
    return true;
  } catch (const std::exception& e) {
    if (errorText) StoreText(errorText, e.what());
    return false;
  }
}

bool ModuleCredentials::SetTrustedCertificates(const char* pemFile, QorvinText* errorText) {
  try {
    const std::string file = InText(pemFile);
    std::string reason;
    if (letter_ != 'H') {
      reason = "only an HTTP module ('H') uses certificates";
    } else if (!file.empty() && !HttpEngineTakesCaFile()) {
      reason = "this platform's HTTP engine trusts only the system's certificate store";
    } else if (!file.empty() && !std::ifstream(file)) {
      reason = "cannot read the certificate file " + file;
    }
    if (!reason.empty()) {
      if (errorText) StoreText(errorText, reason);
      return false;
    }
    static_cast<TROWinInetHTTPChannel&>(channel_).SetTrustedCertificates(file);
    return true;
  } catch (const std::exception& e) {
    if (errorText) StoreText(errorText, e.what());
    return false;
  }
}

}  // namespace qorvin
