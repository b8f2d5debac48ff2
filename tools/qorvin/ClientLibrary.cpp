#include "tools/qorvin/ClientLibrary.h"

#include <cstdlib>
#include <vector>

#include "tools/qorvin/HostTypes.h"
#include "tools/qorvin/LibraryLoader.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

namespace {

std::vector<std::string> Candidates(const std::string& explicitPath) {
  if (!explicitPath.empty()) return {explicitPath};
  std::vector<std::string> out;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    for (const char* relative : {"/../client/", "/", "/../lib/"}) {
      const std::string path = folder + relative + kClientLibraryFile;
      if (FileExists(path)) out.push_back(path);
    }
  }
  if (const char* env = std::getenv("QORVIN_CLIENT_LIBRARY"); env != nullptr && *env != '\0')
    out.push_back(env);
  out.push_back(kClientLibraryFile);
#ifdef QORVIN_CLIENT_SONAME
  // Installed, the unversioned name exists only with the development files; the SONAME is
  // found through this program's run path (the installed library folder) or the system's.
  out.push_back(QORVIN_CLIENT_SONAME);
#endif
  return out;
}

}  // namespace

ClientLibrary::ClientLibrary(const std::string& explicitPath) {
  std::string tried;
  for (const std::string& candidate : Candidates(explicitPath)) {
    std::string why;
    void* handle = OpenLibrary(candidate, why);
    if (handle == nullptr) {
      tried += "\n  " + candidate + ": " + why;
      continue;
    }
    void* symbol = FindSymbol(handle, "CreateRemoteDataModule");
    if (symbol == nullptr) {
      tried += "\n  " + candidate + ": no CreateRemoteDataModule export";
      CloseLibrary(handle);
      continue;
    }
    path_ = candidate;
    create_ = reinterpret_cast<QorvinCreateRemoteDataModuleFn>(symbol);
    return;  // the handle stays open for the life of the process
  }
  throw RunError("cannot load the client library; tried:" + tried);
}

IRemoteDataModule* ClientLibrary::CreateModule(char letter, const std::string& host, int32_t port) {
  const bool url = IsServerUrl(host);
  HostText failure;
  IRemoteDataModule* module = create_(0, letter, url ? "" : host.c_str(), port, &failure.slot);
  if (module == nullptr)
    throw RunError("the client library made no module: " +
                   (failure.str().empty() ? std::string("no reason given") : failure.str()));
  if (!url) return module;
  IQorvinServers* servers = nullptr;
  if (module->QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)) != 0 ||
      servers == nullptr)
    throw RunError("this client library cannot reach a server by its URL");
  HostText refused;
  if (!servers->AddServer(host.c_str(), 0, nullptr, &refused.slot))
    throw UsageError("--connect " + host + ": " +
                     (refused.str().empty() ? std::string("refused") : refused.str()));
  // A module made without a host calls its added servers only when it may choose among them.
  servers->SetMode(kQorvinServersFailOver);
  return module;
}

bool IsServerUrl(const std::string& text) {
  return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
}

IQorvinDataSetFactory& FactoryOf(IRemoteDataModule& module) {
  static const IRemoteDataModule::Guid kFactoryId = {
      0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};
  void* factory = nullptr;
  if (module.QueryInterface(&kFactoryId, &factory) != 0 || factory == nullptr)
    throw RunError("the client library offers no record-set factory");
  return *static_cast<IQorvinDataSetFactory*>(factory);
}

}  // namespace qorvin::cli
