// libcurl, loaded when first needed.
//
// Nothing of ours links libcurl: a process that makes no HTTP request never loads it or the
// libraries it needs (TLS, name resolution, compression, ...), which would cost a start-up of
// several milliseconds. The first HTTP request opens the library with dlopen and takes its
// functions from the table below; the compiler checks every call against libcurl's own header,
// because each entry has the type of the function it stands for.
//
// A missing library, or one without a function of the table, is an error with a text that says
// which file and why; nothing crashes. This file depends on nothing of ours, so that programs which
// link no library of ours (the command-line host) can build it too.
#pragma once

#include <curl/curl.h>

#include <string>

namespace qorvin {

// The functions of libcurl we call, under their names without the "curl_" prefix.
struct TCurlLibrary {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_reset) easy_reset = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_perform) easy_perform = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_multi_init) multi_init = nullptr;
  decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&::curl_multi_perform) multi_perform = nullptr;
  decltype(&::curl_multi_info_read) multi_info_read = nullptr;
  decltype(&::curl_multi_poll) multi_poll = nullptr;
  decltype(&::curl_multi_wakeup) multi_wakeup = nullptr;
  decltype(&::curl_multi_strerror) multi_strerror = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
  decltype(&::curl_url) url = nullptr;
  decltype(&::curl_url_cleanup) url_cleanup = nullptr;
  decltype(&::curl_url_get) url_get = nullptr;
  decltype(&::curl_url_set) url_set = nullptr;
  decltype(&::curl_free) free = nullptr;
};

// The file the process loads: libcurl's run-time name (its SONAME), found the way the dynamic
// loader finds any library.
inline constexpr char kCurlLibraryFile[] = "libcurl.so.4";

// Opens `file` and fills `lib` with its functions. The library stays loaded for the life of the
// process when every function was found; otherwise it is closed again, `lib` is left alone and
// `error` says what failed ("libcurl could not be loaded: <file>: <reason>"). Does not run
// libcurl's global set-up. Thread-safe.
bool OpenCurlLibrary(const char* file, TCurlLibrary& lib, std::string& error);

// The process's libcurl: loaded from kCurlLibraryFile (or the file named by
// UseCurlLibraryFile) on the first call that succeeds, followed by libcurl's global set-up, once.
// Later calls return the same table at the cost of one atomic load. On failure returns nullptr
// with the reason in `error`, and the next call tries again. Thread-safe.
const TCurlLibrary* LoadCurl(std::string& error);

// Which file LoadCurl opens (tests point it at a missing one). No effect once libcurl is loaded.
void UseCurlLibraryFile(const std::string& file);

}  // namespace qorvin
