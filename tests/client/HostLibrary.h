// The client library as a host sees it: loaded with dlopen (LoadLibrary on Windows), reached
// through the one export and the public header alone.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "include/qorvin/QorvinClient.h"
#include "tests/support/SharedLibrary.h"

namespace qorvin::testing {

class HostLibrary {
 public:
  HostLibrary() {
    handle_ = LoadSharedLibrary(QORVIN_CLIENT_LIBRARY);
    create_ = reinterpret_cast<QorvinCreateRemoteDataModuleFn>(
        SharedLibrarySymbol(handle_, "CreateRemoteDataModule"));
    if (create_ == nullptr) throw std::runtime_error("CreateRemoteDataModule not exported");
  }
  ~HostLibrary() = default;  // modules live until the process ends, so the library stays

  // A module, or null with `failure` set.
  IRemoteDataModule* Create(char letter, int port, std::string* failure = nullptr,
                            const char* host = "127.0.0.1") {
    QorvinText text{};
    IRemoteDataModule* m = create_(7, letter, host, port, &text);
    if (failure) *failure = text.data ? std::string(text.data, size_t(text.length)) : "";
    qorvin_text_free(&text);
    return m;
  }

  static HostLibrary& Instance() {
    static HostLibrary library;
    return library;
  }

 private:
  void* handle_ = nullptr;
  QorvinCreateRemoteDataModuleFn create_ = nullptr;
};

// Owns a QorvinText for a test and reads it back.
struct Text {
  QorvinText t{};
  ~Text() { qorvin_text_free(&t); }
  std::string str() const { return t.data ? std::string(t.data, size_t(t.length)) : ""; }
  QorvinText* operator&() { return &t; }
};

// Records callback invocations as text: "status 1 3", "error <message>|<detail>".
struct CallbackLog {
  std::vector<std::string> events;
  static void OnStatus(void* self, int32_t a, int32_t b) {
    static_cast<CallbackLog*>(self)->events.push_back("status " + std::to_string(a) + " " +
                                                      std::to_string(b));
  }
  static void OnError(void* self, const char* message, const char* detail) {
    static_cast<CallbackLog*>(self)->events.push_back(std::string("error ") + message + "|" +
                                                      detail);
  }
  void Install(IRemoteDataModule* m) {
    m->SetOnStatus({&CallbackLog::OnStatus, this});
    m->SetOnError({&CallbackLog::OnError, this});
  }
};

}  // namespace qorvin::testing
