#include "platform/http/CurlLibrary.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace qorvin {

namespace {

std::mutex& LoadLock() {
  static std::mutex lock;
  return lock;
}

// Guarded by LoadLock.
std::string& LibraryFile() {
  static std::string file = kCurlLibraryFile;
  return file;
}

// Set once, under LoadLock, after the global set-up ran; never cleared.
std::atomic<const TCurlLibrary*> g_loaded{nullptr};

// Looks `name` up in `handle` into `slot`, whose type is the function's own.
template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& slot, std::string& missing) {
  void* address = dlsym(handle, name);
  if (address == nullptr) {
    if (missing.empty()) missing = name;
    return false;
  }
  slot = reinterpret_cast<Fn>(address);
  return true;
}

}  // namespace

bool OpenCurlLibrary(const char* file, TCurlLibrary& lib, std::string& error) {
  void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = std::string("libcurl could not be loaded: ") + (reason ? reason : file);
    return false;
  }
  TCurlLibrary found;
  std::string missing;
  bool all = true;
  all &= Resolve(handle, "curl_global_init", found.global_init, missing);
  all &= Resolve(handle, "curl_easy_init", found.easy_init, missing);
  all &= Resolve(handle, "curl_easy_cleanup", found.easy_cleanup, missing);
  all &= Resolve(handle, "curl_easy_reset", found.easy_reset, missing);
  all &= Resolve(handle, "curl_easy_setopt", found.easy_setopt, missing);
  all &= Resolve(handle, "curl_easy_perform", found.easy_perform, missing);
  all &= Resolve(handle, "curl_easy_getinfo", found.easy_getinfo, missing);
  all &= Resolve(handle, "curl_easy_strerror", found.easy_strerror, missing);
  all &= Resolve(handle, "curl_multi_init", found.multi_init, missing);
  all &= Resolve(handle, "curl_multi_cleanup", found.multi_cleanup, missing);
  all &= Resolve(handle, "curl_multi_add_handle", found.multi_add_handle, missing);
  all &= Resolve(handle, "curl_multi_remove_handle", found.multi_remove_handle, missing);
  all &= Resolve(handle, "curl_multi_perform", found.multi_perform, missing);
  all &= Resolve(handle, "curl_multi_info_read", found.multi_info_read, missing);
  all &= Resolve(handle, "curl_multi_poll", found.multi_poll, missing);
  all &= Resolve(handle, "curl_multi_wakeup", found.multi_wakeup, missing);
  all &= Resolve(handle, "curl_multi_strerror", found.multi_strerror, missing);
  all &= Resolve(handle, "curl_slist_append", found.slist_append, missing);
  all &= Resolve(handle, "curl_slist_free_all", found.slist_free_all, missing);
  all &= Resolve(handle, "curl_url", found.url, missing);
  all &= Resolve(handle, "curl_url_cleanup", found.url_cleanup, missing);
  all &= Resolve(handle, "curl_url_get", found.url_get, missing);
  all &= Resolve(handle, "curl_url_set", found.url_set, missing);
  all &= Resolve(handle, "curl_free", found.free, missing);
  if (!all) {
    dlclose(handle);
    error = std::string("libcurl could not be loaded: ") + file + " has no function " + missing +
            " (libcurl 7.80 or later is needed)";
    return false;
  }
  lib = found;
  return true;
}

const TCurlLibrary* LoadCurl(std::string& error) {
  if (const TCurlLibrary* lib = g_loaded.load(std::memory_order_acquire)) return lib;
  std::lock_guard<std::mutex> guard(LoadLock());
  if (const TCurlLibrary* lib = g_loaded.load(std::memory_order_acquire)) return lib;
  static TCurlLibrary lib;  // filled once, under the lock, before it is published
  if (!OpenCurlLibrary(LibraryFile().c_str(), lib, error)) return nullptr;
  if (const CURLcode rc = lib.global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK) {
    // The library stays loaded; its set-up is tried again by the next call.
    error = std::string("libcurl could not be set up: ") + lib.easy_strerror(rc);
    return nullptr;
  }
  g_loaded.store(&lib, std::memory_order_release);
  return &lib;
}

void UseCurlLibraryFile(const std::string& file) {
  std::lock_guard<std::mutex> guard(LoadLock());
  LibraryFile() = file;
}

}  // namespace qorvin
