// The framework's remote SQL over the client library: one remote data module of
// libQorvinClient.so, reached through the public header include/qorvin/QorvinClient.h only.
//
// Text: framework text is UTF-8; the library's 8-bit text is the process locale's code set
// (hosts call setlocale(LC_ALL, "") first). SQL is converted on the way in and every text on the
// way out; a text the locale's code set cannot represent fails the call with a reason instead of
// reaching the server altered.
//
// Success is the library's, not the server result's: a call fails exactly when the module
// reports a failure (its error callback, error text or last error); the integer result the
// server returned is kept for the caller either way (LastResult), 0 and negative values included.
//
// Ownership: the module belongs to the library and lives until the process ends; this object
// only borrows it and removes its callback on destruction. Thread: one thread at a time (the
// module serves one call at a time); every call blocks until the transport gives up or answers.
//
// Call bound (SetCallBound): with a bound, the module's call runs on a thread of its own while
// the calling thread waits in an event loop that handles everything but user input (repaints,
// timers, posted events), and a call still running at the bound is cancelled through the
// module's IQorvinProgress; it then fails with "the server did not answer within N s (the call
// was cancelled)". Without a bound (0) the call runs on the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "basalt/BasaltApi.h"
#include "basalt/RemoteSql.h"
#include "include/qorvin/QorvinClient.h"
#include "include/qorvin/QorvinProgress.h"

namespace qorvin {

class BASALT_API TClientRemoteSql : public IRemoteSql {
 public:
  // `module` must be a module of the client library; `factory` its IQorvinDataSetFactory;
  // `userId` (UTF-8) is passed with every call.
  TClientRemoteSql(IRemoteDataModule* module, IQorvinDataSetFactory* factory, std::string userId);
  ~TClientRemoteSql() override;
  TClientRemoteSql(const TClientRemoteSql&) = delete;
  TClientRemoteSql& operator=(const TClientRemoteSql&) = delete;

  // SynchReadData of the module; the data packet becomes `out`'s fields and rows. A reply without
  // a packet (the server sent no data) gives an open dataset with no fields and no rows.
  bool ReadData(const std::string& sql, TBasaltDataSet& out, std::string& error) override;
  // SynchExecSQL of the module.
  bool ExecSql(const std::string& sql, std::string& error) override;
  void SetCallBound(std::chrono::milliseconds bound) override { bound_ = bound; }
  std::chrono::milliseconds CallBound() const { return bound_; }

  // The integer result of the most recent call as the server returned it (0 when the call itself
  // failed before an answer arrived).
  int32_t LastResult() const { return last_result_; }
  IRemoteDataModule* Module() const { return module_; }

 private:
  static void OnError(void* self, const char* message, const char* detail);
  // Converts the user id and `sql` to the locale's code set and resets the failure state; false
  // with a reason when either text cannot be represented there.
  bool BeginCall(const std::string& sql, std::string& ansiUser, std::string& ansiSql,
                 std::string& error);
  // Runs `call` (one call of the module) within the bound; false when the bound cut it off.
  bool WithinBound(const std::function<void()>& call);
  // After a call: true when it succeeded; otherwise the reason (UTF-8) in `error`.
  bool CallSucceeded(const QorvinText& errorText, std::string& error);

  IRemoteDataModule* module_;
  IQorvinDataSetFactory* factory_;
  IQorvinProgress* progress_ = nullptr;  // null when the library offers none: no bound then
  std::chrono::milliseconds bound_{0};
  std::string user_id_;  // UTF-8
  int32_t last_result_ = 0;
  bool failed_ = false;
  std::string failure_;  // UTF-8, from the error callback
};

}  // namespace qorvin
