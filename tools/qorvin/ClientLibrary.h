// Loading the client library (libQorvinClient.so, QorvinClient.dll) the way any host does: load
// it, then look up the one export (LibraryLoader.h).
//
// Where it looks: the --library path alone when one is given (an explicit choice is never
// replaced by another file); otherwise next to this program (<dir>/../client/, <dir>/ and
// <dir>/../lib/, which covers the build tree and an installed layout), then
// $QORVIN_CLIENT_LIBRARY, then the library's file name through the system's search path.
//
// The library stays loaded until the process ends, as the modules it makes do.
#pragma once

#include <string>

#include "include/qorvin/QorvinClient.h"
#include "include/qorvin/QorvinServers.h"

namespace qorvin::cli {

class ClientLibrary {
 public:
  // RunError listing every place tried, with the loader's reason for each.
  explicit ClientLibrary(const std::string& explicitPath);
  ClientLibrary(const ClientLibrary&) = delete;
  ClientLibrary& operator=(const ClientLibrary&) = delete;

  const std::string& Path() const { return path_; }

  // A new module for the connection letter; RunError with the library's failure text. A `host`
  // that is a whole http:// or https:// URL (letter 'H'; `port` unused) becomes the module's
  // server through its server extension, the only way to reach an https:// server.
  IRemoteDataModule* CreateModule(char letter, const std::string& host, int32_t port);

 private:
  std::string path_;
  QorvinCreateRemoteDataModuleFn create_ = nullptr;
};

// The record-set factory of a module; RunError when the module does not offer it.
IQorvinDataSetFactory& FactoryOf(IRemoteDataModule& module);

// Whether a server given to CreateModule is a whole http:// or https:// URL.
bool IsServerUrl(const std::string& text);

}  // namespace qorvin::cli
