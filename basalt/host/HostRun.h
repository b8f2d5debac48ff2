// What basalt-host does once its options are parsed: set up the framework, load the plug-in with
// dlopen, run the requested form through PlugPortal, and log what the host observes.
//
// Thread: UI thread; a QApplication must exist. Every path unloads the plug-in and clears the
// framework hooks it installed.
#pragma once

#include <QObject>
#include <memory>
#include <ostream>

#include "basalt/RemoteSql.h"
#include "basalt/host/HostOptions.h"

namespace qorvin {

// The message number a plug-in posts to the host after the user's common functions changed.
inline constexpr uint32_t kMsgCommonFunctionsChanged = 0x80CC;

// The host's main window as far as the framework is concerned: it receives posted window
// messages and logs each one, for 0x80CC followed by the groups in the local bUserCommon table.
class THostMainWindow : public QObject {
 public:
  explicit THostMainWindow(std::ostream& log) : log_(log) {}
  int MessagesReceived() const { return received_; }

 protected:
  bool event(QEvent* event) override;

 private:
  void LogCommonFunctions();
  std::ostream& log_;
  int received_ = 0;
};

// Runs the host; returns the process exit code (0 success, 1 failure). `remote`, when given,
// replaces the client-library connection that --server would create. Failures are logged.
int RunHost(const THostOptions& options, std::ostream& log,
            std::unique_ptr<IRemoteSql> remote = nullptr);

}  // namespace qorvin
