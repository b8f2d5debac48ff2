#include "basalt/ClientLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace qorvin {

namespace {

std::string RunningProgramDir() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  std::string path(buffer.data(), size_t(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string ResolveClientLibraryPath(const std::string& configured, std::string programDir) {
  if (!configured.empty()) return configured;
  if (programDir.empty()) programDir = RunningProgramDir();
  if (!programDir.empty()) {
    const std::string beside = programDir + "/../client/" + kClientLibraryName;
    if (access(beside.c_str(), F_OK) == 0) return beside;
  }
  const char* env = std::getenv(kClientLibraryEnv);
  if (env != nullptr && *env != '\0') return env;
  return kClientLibraryName;
}

QorvinCreateRemoteDataModuleFn LoadClientLibrary(const std::string& path, std::string& error) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = "cannot load the client library " + path + ": " +
            (reason != nullptr ? reason : "unknown reason");
    return nullptr;
  }
  auto create =
      reinterpret_cast<QorvinCreateRemoteDataModuleFn>(dlsym(handle, "CreateRemoteDataModule"));
  if (create == nullptr) {
    error = "the client library " + path + " does not export CreateRemoteDataModule";
    dlclose(handle);  // nothing of it is in use yet
    return nullptr;
  }
  // Deliberately kept loaded for the rest of the process (see the header).
  return create;
}

}  // namespace qorvin
