// Loading a shared library the way a host does: dlopen/dlsym on POSIX systems,
// LoadLibrary/GetProcAddress on Windows. Failures throw std::runtime_error with the system's
// reason.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <stdexcept>
#include <string>

namespace qorvin::testing {

// Loads `path` (never unloaded: modules live until the process ends).
inline void* LoadSharedLibrary(const char* path) {
#ifdef _WIN32
  HMODULE handle = ::LoadLibraryA(path);
  if (handle == nullptr)
    throw std::runtime_error(std::string("LoadLibrary ") + path + " failed, error " +
                             std::to_string(::GetLastError()));
  return reinterpret_cast<void*>(handle);
#else
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(dlerror());
  return handle;
#endif
}

// The address of the export `name`, or null when the library has none.
inline void* SharedLibrarySymbol(void* library, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

}  // namespace qorvin::testing
