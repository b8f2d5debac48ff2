// QorvinCredentials — the HTTP user and password a module's calls carry.
//
// An extension of the module reached with QueryInterface (the module interface itself does not
// change). Include it after QorvinClient.h:
//
//   IQorvinCredentials* credentials = nullptr;
//   if (module->QueryInterface(&kQorvinIID_IQorvinCredentials,
//                              reinterpret_cast<void**>(&credentials)) == 0)
//     credentials->SetHttpLogin("alice", password, &errorText);
//
// The object belongs to the module (the same one on every query) and lives as long as it. See
// docs/host-api.md.
//
// Threads: call it from the thread that calls the module, not while a call runs.
#ifndef QORVIN_CREDENTIALS_H
#define QORVIN_CREDENTIALS_H

#include "QorvinClient.h"

// {3B9D2E71-5C4A-4F08-B6E3-91A7D0C5F24E}
inline constexpr IRemoteDataModule::Guid kQorvinIID_IQorvinCredentials = {
    0x3B9D2E71, 0x5C4A, 0x4F08, {0xB6, 0xE3, 0x91, 0xA7, 0xD0, 0xC5, 0xF2, 0x4E}};

class IQorvinCredentials {
 public:
  // The user and password every later call of an 'H' module sends (HTTP Basic, or whatever
  // scheme the server asks for); a null or empty user sends none. The library keeps them for the
  // module and puts them in no log or error text. False, with the reason in `errorText` (when
  // not null), for a module of another letter (T, B and U carry no credentials) or a user name
  // with ':' or control characters.
  virtual bool SetHttpLogin(const char* user, const char* password, QorvinText* errorText) = 0;
  // The certificate authorities HTTPS calls of an 'H' module trust: a PEM file, in place of the
  // system's bundle (null or empty: the system's again). False, with the reason, for a file
  // that cannot be read, a module of another letter, or where the HTTP engine trusts only the
  // system's store (Windows: install the authority there).
  virtual bool SetTrustedCertificates(const char* pemFile, QorvinText* errorText) = 0;

 protected:
  ~IQorvinCredentials() = default;
};

#endif  // QORVIN_CREDENTIALS_H
