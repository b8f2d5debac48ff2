#include "basalt/host/HostRun.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QPixmap>
#include <QString>
#include <exception>
#include <vector>

#include "basalt/DataSet.h"
#include "basalt/Messages.h"
#include "basalt/PlugBase.h"
#include "basalt/RemoteCalls.h"
#include "basalt/ShareData.h"
#include "basalt/WindowMessages.h"

namespace qorvin {

namespace {

// Keeps a dlopen handle and closes it on every path.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW)) {}
  ~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  void* Handle() const { return handle_; }

 private:
  void* handle_;
};

// Installs framework hooks for the run and removes them again on every path.
class FrameworkSetup {
 public:
  FrameworkSetup(QObject* mainWindow, bool logBoxes, std::ostream& log) {
    SetMainWindow(mainWindow);
    if (logBoxes) {
      previous_ = SetMessageHook([&log](const TMessageRequest& r) {
        log << "basalt-host: message box: " << r.Text << "\n";
        if (r.Kind == TMessageKind::Confirm) return IDNO;
        return (r.Flags & 0x0F) == MB_OK ? IDOK : IDCANCEL;
      });
      hooked_ = true;
    }
  }
  ~FrameworkSetup() {
    if (hooked_) SetMessageHook(std::move(previous_));
    SetMainWindow(nullptr);
  }
  FrameworkSetup(const FrameworkSetup&) = delete;
  FrameworkSetup& operator=(const FrameworkSetup&) = delete;

 private:
  TMessageHook previous_;
  bool hooked_ = false;
};

bool PrepareFramework(const THostOptions& o, std::ostream& log,
                      std::unique_ptr<IRemoteSql> remote) {
  ShareData().Reset();
  ShareData().SetUserInfo(TUserInfo(o.UserId));
  try {
    if (!o.MenuFile.empty())
      LoadMenuFile(o.MenuFile, ShareData().GetMenuList(), ShareData().GetPlugList());
  } catch (const std::exception& e) {
    log << "basalt-host: " << e.what() << "\n";
    return false;
  }
  if (!remote && !o.Server.empty()) {
    TRemoteSqlConfig config{o.ServerHost, o.ServerPort, o.ConnectType, o.ClientLibrary, o.UserId};
    std::string error;
    remote = CreateClientRemoteSql(config, error);
    if (!remote) {
      log << "basalt-host: " << error << "\n";
      ShareData().SetRemoteSqlUnavailableReason(error);
    }
  }
  ShareData().SetRemoteSql(std::move(remote));
  return true;
}

bool SaveScreenshot(TPlugBaseForm& form, const std::string& path, std::ostream& log) {
  form.setAttribute(Qt::WA_DontShowOnScreen);
  form.show();
  const QPixmap pixmap = form.grab();
  form.hide();
  if (!pixmap.save(QString::fromStdString(path), "PNG")) {
    log << "basalt-host: cannot write " << path << "\n";
    return false;
  }
  log << "basalt-host: wrote " << path << " (" << pixmap.width() << "x" << pixmap.height() << ")\n";
  return true;
}

}  // namespace

bool THostMainWindow::event(QEvent* event) {
  if (event->type() != TWindowMessageEvent::EventType()) return QObject::event(event);
  const auto* message = static_cast<TWindowMessageEvent*>(event);
  ++received_;
  log_ << "basalt-host: message 0x" << std::hex << std::uppercase << message->Message() << std::dec
       << std::nouppercase << " wParam=" << message->WParam() << " lParam=" << message->LParam()
       << "\n";
  if (message->Message() == kMsgCommonFunctionsChanged) LogCommonFunctions();
  return true;
}

void THostMainWindow::LogCommonFunctions() {
  const std::shared_ptr<TBasaltDataSet> table = ShareData().LocalTable("bUserCommon");
  if (!table->Active()) return;
  try {
    ControlsSuspension suspended(*table);
    for (table->First(); !table->Eof(); table->Next()) {
      log_ << "basalt-host:   group " << table->FieldText("GroupOrderBy") << " "
           << table->FieldText("GroupType") << ": " << table->FieldText("MenuIdList") << "\n";
    }
  } catch (const std::exception& e) {
    log_ << "basalt-host:   cannot list the common functions: " << e.what() << "\n";
  }
}

int RunHost(const THostOptions& o, std::ostream& log, std::unique_ptr<IRemoteSql> remote) {
  if (!PrepareFramework(o, log, std::move(remote))) return 1;
  THostMainWindow mainWindow(log);
  const bool screenshot = !o.Screenshot.empty();
  FrameworkSetup setup(&mainWindow, screenshot, log);

  LoadedLibrary plugin(o.PluginPath);
  if (plugin.Handle() == nullptr) {
    log << "basalt-host: cannot load " << o.PluginPath << ": " << dlerror() << "\n";
    return 1;
  }
  auto portal = reinterpret_cast<TPlugPortalFunc>(dlsym(plugin.Handle(), "PlugPortal"));
  if (portal == nullptr) {
    log << "basalt-host: " << o.PluginPath << " has no PlugPortal export\n";
    return 1;
  }
  TPlugMgrInfo info;
  info.ClassName = o.ClassName;
  info.ActionType = o.ActionType;
  info.RunMode = screenshot ? TPlugRunMode::Create : TPlugRunMode::Modal;
  std::vector<Variant> args;
  if (o.HasGroup) args.push_back(Variant::AnsiString(o.Group));
  const int result = portal(&info, args.data(), int(args.size()));
  if (!LastRemoteError().empty())
    log << "basalt-host: last server call failed: " << LastRemoteError() << "\n";
  if (result == kCallPlugFailed) {
    log << "basalt-host: " << info.ErrorText << "\n";
    return 1;
  }
  if (!screenshot) {
    // Notifications posted just before the form closed still reach the host.
    QCoreApplication::sendPostedEvents(&mainWindow);
    log << "basalt-host: form closed with result " << info.ModalResult << "\n";
    return 0;
  }
  std::unique_ptr<TPlugBaseForm> form(info.Form);
  if (!form) {
    log << "basalt-host: the plug-in returned no form\n";
    return 1;
  }
  const bool saved = SaveScreenshot(*form, o.Screenshot, log);
  form.reset();  // the form's code lives in the plug-in: destroy it before unloading
  return saved ? 0 : 1;
}

}  // namespace qorvin
