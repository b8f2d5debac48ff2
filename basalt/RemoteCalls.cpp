#include "basalt/RemoteCalls.h"

#include <QCursor>
#include <QGuiApplication>

#include "basalt/DataSet.h"
#include "basalt/Messages.h"
#include "basalt/ShareData.h"

namespace qorvin {

namespace {

std::string& LastError() {
  static std::string text;
  return text;
}

// The wait cursor while a call runs (when there is a GUI).
struct BusyCursor {
  const bool shown = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
  BusyCursor() {
    if (shown) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  }
  ~BusyCursor() {
    if (shown) QGuiApplication::restoreOverrideCursor();
  }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// Runs `call` on the shared connection with the current call bound and the wait cursor; records
// and returns the outcome.
template <typename Call>
bool WithRemote(Call call) {
  BusyCursor busy;
  IRemoteSql* remote = ShareData().RemoteSql();
  std::string error;
  if (remote != nullptr) remote->SetCallBound(ShareData().RemoteCallBound());
  const bool ok = remote != nullptr ? call(*remote, error) : false;
  if (remote == nullptr) error = ShareData().RemoteSqlUnavailableReason();
  if (!ok && error.empty()) error = "the server reported a failure without a reason";
  LastError() = ok ? std::string() : error;
  return ok;
}

void AppendLine(std::string& text, const std::string& line) {
  if (line.empty()) return;
  if (!text.empty()) text += '\n';
  text += line;
}

}  // namespace

TRemoteCallBound::TRemoteCallBound(std::chrono::milliseconds bound)
    : previous_(ShareData().RemoteCallBound()) {
  ShareData().SetRemoteCallBound(bound);
}

TRemoteCallBound::~TRemoteCallBound() {
  ShareData().SetRemoteCallBound(previous_);
}

std::string SqlQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

bool SynchReadData(QWidget* /*owner*/, const std::string& sql, TBasaltDataSet& dataset,
                   const std::string& failMessage, const std::string& detail1,
                   const std::string& detail2) {
  const bool ok = WithRemote(
      [&](IRemoteSql& remote, std::string& error) { return remote.ReadData(sql, dataset, error); });
  if (!ok) {
    std::string text = failMessage;
    AppendLine(text, LastError());
    AppendLine(text, detail1);
    AppendLine(text, detail2);
    ShowErr(text, "");
  }
  return ok;
}

bool SynchExecSQL(QWidget* /*owner*/, const std::string& sql, TErrorReturnValueProperty& error,
                  const std::string& failMessage) {
  const bool ok = WithRemote(
      [&](IRemoteSql& remote, std::string& reason) { return remote.ExecSql(sql, reason); });
  if (!ok) {
    error.ErrorText = LastError();
    std::string text = failMessage;
    AppendLine(text, LastError());
    ShowErr(text, "");
  }
  return ok;
}

bool OpenXMLDataSet(QWidget* /*owner*/, std::shared_ptr<TBasaltDataSet>& dataset,
                    const std::string& table) {
  if (table != "bUserCommon") {
    LastError() = "OpenXMLDataSet: the framework keeps no local table named " + table;
    return false;
  }
  const std::string sql = "select * from bUserCommon where [UserID]=" +
                          SqlQuoted(ShareData().GetUserInfo().GetUserId()) +
                          " order by GroupOrderBy";
  std::shared_ptr<TBasaltDataSet> local = ShareData().LocalTable(table);
  const bool ok = WithRemote(
      [&](IRemoteSql& remote, std::string& error) { return remote.ReadData(sql, *local, error); });
  if (!ok) return false;
  // A reply without data (no rows and no field list) still gives the table's columns, so that a
  // form can append the user's first rows to it.
  if (local->FieldNames().empty()) {
    local->SetFields(
        {"UserID", "GroupType", "MenuIdList", "GroupOrderBy", "CreateDatetime", "CreateOperator"});
    local->Open();
  }
  dataset = std::move(local);
  return true;
}

const std::string& LastRemoteError() {
  return LastError();
}

}  // namespace qorvin
