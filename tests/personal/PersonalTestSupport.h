// Shared pieces of the Personal plug-in tests: a scripted remote SQL connection that records the
// exact SQL text, scripted message boxes that record what was shown, a main window that records
// posted messages, and the framework set-up with a small menu.
#pragma once

#include <QObject>
#include <QWidget>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "basalt/DataSet.h"
#include "basalt/Messages.h"
#include "basalt/RemoteSql.h"

namespace qorvin::test {

struct ReadAnswer {
  bool Ok = true;
  std::vector<std::string> Fields;
  std::vector<std::vector<std::string>> Rows;  // text values; "#n" stores the integer n
  std::string Error;
};

// Answers reads from a queue (an unscripted read fails) and execs from a queue (an unscripted
// exec succeeds). Every SQL text is recorded exactly, and with it the call bound and whether the
// wait cursor was shown; DuringCall, when set, runs inside every call.
class FakeRemoteSql : public IRemoteSql {
 public:
  bool ReadData(const std::string& sql, TBasaltDataSet& out, std::string& error) override;
  bool ExecSql(const std::string& sql, std::string& error) override;
  void SetCallBound(std::chrono::milliseconds bound) override { bound_ = bound; }

  struct CallState {
    std::chrono::milliseconds Bound;
    bool WaitCursor;
  };
  std::vector<CallState> Calls;  // reads and execs, in order
  std::function<void()> DuringCall;

  std::deque<ReadAnswer> Reads;
  std::deque<std::pair<bool, std::string>> Execs;
  std::vector<std::string> ReadSql;
  std::vector<std::string> ExecSqlText;

 private:
  void Record();
  std::chrono::milliseconds bound_{0};
};

// The stored groups of one user or group: GroupType, MenuIdList, GroupOrderBy rows.
ReadAnswer GroupRows(const std::vector<std::pair<std::string, std::string>>& groups);

// Installs a message hook for its lifetime. Questions take the next scripted answer (none left:
// IDCANCEL, counted in Unscripted); information and error boxes answer IDOK.
class MessageScript {
 public:
  MessageScript();
  ~MessageScript();
  MessageScript(const MessageScript&) = delete;
  MessageScript& operator=(const MessageScript&) = delete;

  void Answer(int answer) { answers_.push_back(answer); }
  std::vector<std::string> Texts() const;
  std::vector<TMessageRequest> Shown;
  int Unscripted = 0;

 private:
  std::deque<int> answers_;
  TMessageHook previous_;
};

// Records window messages posted to it.
class MessageRecorder : public QObject {
 public:
  struct Message {
    uint32_t Number;
    intptr_t WParam;
    intptr_t LParam;
  };
  std::vector<Message> Received;

 protected:
  bool event(QEvent* event) override;
};

// Runs `action` on the modal dialog once one runs (its modal loop has started). A remote call
// of the dialog's loading handles events while it waits, so a timer of the test may fire before
// the dialog is shown: this one looks again every 10 ms until then. The caller's own safety timer
// bounds the wait.
void WhenModalShown(std::function<void(QWidget* dialog)> action);

// The menu file used by most tests (ids: 101/103 under 系统管理; 201/202 and the menu 203 with
// 2031/2032 under 销售; 帮助 4 a top-level menu with its own plug; 空菜单 3 is pruned; 快捷方式 5
// holds a second entry for 101).
const char* TestMenuText();

// Resets the framework and loads the test menu, user `user`, and a fresh fake connection
// (returned; owned by ShareData until the next reset).
FakeRemoteSql* ResetFramework(const std::string& user);

}  // namespace qorvin::test
