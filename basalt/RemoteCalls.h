// The framework's remote SQL operations as plug-ins call them. Each runs synchronously on the UI
// thread through the connection in ShareData() and never raises for a server or transport
// failure: it reports through its result (and the texts named below). While a call runs the
// application shows the wait cursor, and the call has the bound of ShareData().RemoteCallBound().
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "basalt/BasaltApi.h"

class QWidget;

namespace qorvin {

class TBasaltDataSet;

// Error details of SynchExecSQL, filled on failure.
struct BASALT_API TErrorReturnValueProperty {
  std::string ErrorText;
};

// Runs the select `sql` and fills `dataset` with the result (opened). On failure shows an error
// box with `failMessage`, the reason and any non-empty `detail1` / `detail2`, one per line, over
// `owner`, and returns false with `dataset` unchanged.
BASALT_API bool SynchReadData(QWidget* owner, const std::string& sql, TBasaltDataSet& dataset,
                              const std::string& failMessage, const std::string& detail1,
                              const std::string& detail2);

// Runs the statement or batch `sql`. On failure fills `error`, shows an error box with
// `failMessage` and the reason, and returns false.
BASALT_API bool SynchExecSQL(QWidget* owner, const std::string& sql,
                             TErrorReturnValueProperty& error, const std::string& failMessage);

// Refreshes the framework's local copy of `table` with the current user's rows from the server
// and points `dataset` at it (open; shared with ShareData().LocalTable(table)). Known tables:
// "bUserCommon" (rows of ShareData().GetUserInfo() in GroupOrderBy order). On failure returns
// false, shows nothing, leaves `dataset` as it was and keeps the reason in LastRemoteError().
BASALT_API bool OpenXMLDataSet(QWidget* owner, std::shared_ptr<TBasaltDataSet>& dataset,
                               const std::string& table);

// Bounds the remote calls made during its lifetime (ShareData().SetRemoteCallBound) and puts
// the previous bound back when it goes. A form uses it around the calls a user waits for.
class BASALT_API TRemoteCallBound {
 public:
  explicit TRemoteCallBound(std::chrono::milliseconds bound);
  ~TRemoteCallBound();
  TRemoteCallBound(const TRemoteCallBound&) = delete;
  TRemoteCallBound& operator=(const TRemoteCallBound&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

// The reason of the most recent failed remote operation ("" after a success).
BASALT_API const std::string& LastRemoteError();

// The text enclosed in single quotes with every single quote inside doubled.
BASALT_API std::string SqlQuoted(const std::string& text);

}  // namespace qorvin
