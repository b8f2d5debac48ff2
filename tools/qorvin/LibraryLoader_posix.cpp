#include <dlfcn.h>
#include <unistd.h>

#include <vector>

#include "tools/qorvin/LibraryLoader.h"

namespace qorvin::cli {

const char* const kClientLibraryFile = "libQorvinClient.so";

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

void* OpenLibrary(const std::string& path, std::string& why) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    why = reason ? reason : "not loaded";
  }
  return handle;
}

void* FindSymbol(void* library, const char* name) {
  return dlsym(library, name);
}

void CloseLibrary(void* library) {
  dlclose(library);
}

}  // namespace qorvin::cli
