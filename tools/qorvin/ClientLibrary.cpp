#include "tools/qorvin/ClientLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "tools/qorvin/HostTypes.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

namespace {

constexpr const char* kLibraryName = "libQorvinClient.so";

// The folder of this program's executable, or empty when it cannot be found.
std::string ProgramFolder() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  std::string path(buffer.data(), size_t(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> Candidates(const std::string& explicitPath) {
  if (!explicitPath.empty()) return {explicitPath};
  std::vector<std::string> out;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    for (const char* relative : {"/../client/", "/", "/../lib/"}) {
      const std::string path = folder + relative + kLibraryName;
      if (FileExists(path)) out.push_back(path);
    }
  }
  if (const char* env = std::getenv("QORVIN_CLIENT_LIBRARY"); env != nullptr && *env != '\0')
    out.push_back(env);
  out.push_back(kLibraryName);
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
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      tried += "\n  " + candidate + ": " + (why ? why : "not loaded");
      continue;
    }
    void* symbol = dlsym(handle, "CreateRemoteDataModule");
    if (symbol == nullptr) {
      tried += "\n  " + candidate + ": no CreateRemoteDataModule export";
      dlclose(handle);
      continue;
    }
    path_ = candidate;
    create_ = reinterpret_cast<QorvinCreateRemoteDataModuleFn>(symbol);
    return;  // the handle stays open for the life of the process
  }
  throw RunError("cannot load the client library; tried:" + tried);
}

IRemoteDataModule* ClientLibrary::CreateModule(char letter, const std::string& host, int32_t port) {
  HostText failure;
  IRemoteDataModule* module = create_(0, letter, host.c_str(), port, &failure.slot);
  if (module == nullptr)
    throw RunError("the client library made no module: " +
                   (failure.str().empty() ? std::string("no reason given") : failure.str()));
  return module;
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
