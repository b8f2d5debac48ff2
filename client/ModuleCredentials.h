// ModuleCredentials: the IQorvinCredentials extension of a module
// (include/qorvin/QorvinCredentials.h). It sets the HTTP channel's Login; other channels carry no
// credentials. Kept apart from the module so that channel headers stay out of its translation
// unit.
#pragma once

#include "include/qorvin/QorvinCredentials.h"

namespace qorvin {

class TROTransportChannel;

class ModuleCredentials final : public IQorvinCredentials {
 public:
  // `letter` is the module's connection letter.
  ModuleCredentials(TROTransportChannel& channel, char letter)
      : channel_(channel), letter_(letter) {}
  ModuleCredentials(const ModuleCredentials&) = delete;
  ModuleCredentials& operator=(const ModuleCredentials&) = delete;

  bool SetHttpLogin(const char* user, const char* password, QorvinText* errorText) override;
  bool SetTrustedCertificates(const char* pemFile, QorvinText* errorText) override;

 private:
  TROTransportChannel& channel_;
  char letter_;
};

}  // namespace qorvin
