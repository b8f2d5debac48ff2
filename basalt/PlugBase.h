// The plug-in side of the framework: the base classes of plug-in forms, the plug manager
// information, and CallPlug, which turns a plug-in's class lookup into a running form.
//
// Flow of one invocation: the host fills a TPlugMgrInfo and calls the plug-in's PlugPortal, which
// passes it with the plug-in's class lookup to CallPlug. CallPlug looks the class up, creates the
// form, sets its plug and user information, applies the language text from InitLang, then calls
// PlugExec and afterwards PlugInitEvent (a dialog configures itself in PlugExec and loads its
// data in PlugInitEvent), and finally runs the form modally or hands it to the caller.
//
// Thread: UI thread only; a QApplication must exist.
#pragma once

#include <QDialog>
#include <span>
#include <string>
#include <vector>

#include "basalt/BasaltApi.h"
#include "basalt/Lang.h"
#include "basalt/Menu.h"
#include "basalt/PlugInfo.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

class TPlugBaseForm;

// The arguments of an invocation: an open array of variant values.
using TPlugArgs = std::span<const Variant>;

// A plug-in form class: its name and how to create an instance (owned by the caller).
struct BASALT_API TPlugFormClass {
  const char* ClassName;
  TPlugBaseForm* (*Create)(QWidget* parent);
};

// Turns a class name into a form class; nullptr for a name the plug-in does not serve.
using TPlugClassLookup = const TPlugFormClass* (*)(const std::string& className);

enum class TPlugRunMode {
  Modal,   // CallPlug runs the form with exec() and destroys it
  Create,  // CallPlug hands the form, not shown, to the caller in TPlugMgrInfo::Form
};

// What the host asks for and what it gets back.
struct BASALT_API TPlugMgrInfo {
  std::string ClassName;  // the form class to run
  int ActionType = 0;     // becomes TPlugInfo::GetActionType()
  int MenuId = 0;         // becomes TPlugInfo::GetMenuId()
  TPlugRunMode RunMode = TPlugRunMode::Modal;
  QWidget* Parent = nullptr;  // parent of the form (may be null)

  TPlugBaseForm* Form = nullptr;  // out, Create mode: the form; the caller deletes it
  int ModalResult = 0;            // out, Modal mode: the QDialog result
  std::string ErrorText;          // out: why CallPlug returned kCallPlugFailed
};

// CallPlug's result when no form could be run.
inline constexpr int kCallPlugFailed = -1;

// The signature of a plug-in's one export, PlugPortal (C linkage).
using TPlugPortalFunc = int (*)(TPlugMgrInfo* info, const Variant* args, int argCount);

// Base of every plug-in form: a Qt dialog with the framework's language table and context.
// Plug-in forms must not use Q_OBJECT: it would bring back QObject::tr beside the framework's tr.
class BASALT_API TPlugBaseForm : public QDialog {
 public:
  explicit TPlugBaseForm(QWidget* parent);
  ~TPlugBaseForm() override;

  // Virtual operations, in slot order.
  // Applies a language text (lines "key=value" ended by a carriage return) to this form's table.
  virtual void SetLangStr(const std::string& text);
  // The form's language text; the base gives the framework's own lines.
  virtual std::string InitLang();
  // The installed plugs (the framework's list, not owned).
  virtual TPlugList* GetPlugList();
  // The plug manager information this form was created with (the stand-in keeps one manager per
  // form); nullptr for a form not created by CallPlug. Not owned; valid while the caller keeps
  // the TPlugMgrInfo it passed to CallPlug.
  virtual const TPlugMgrInfo* GetPlugMgrList();

  // The text registered for `key` (the key itself when none is).
  std::string tr(const std::string& key) const;
  // The key's text with each "%s" filled in order from `values`.
  std::string tr(const std::string& key, const std::vector<std::string>& values) const;

  // The form's language table (lives as long as the form).
  const TLangTable& Lang() const { return lang_; }
  const TPlugInfo& GetPlugInfo() const { return plug_info_; }
  const TUserInfo& GetUserInfo() const { return user_info_; }
  // Set by the framework before the form's operations run.
  void SetPlugContext(TPlugInfo plug, TUserInfo user, const TPlugMgrInfo* manager);

 protected:
  // Delivers posted window messages: WM_CLOSE closes the form; other messages are ignored.
  bool event(QEvent* event) override;

 private:
  TLangTable lang_;
  TPlugInfo plug_info_;
  TUserInfo user_info_;
  const TPlugMgrInfo* manager_ = nullptr;
};

// Base of plug-in dialogs: adds the invocation operations.
class BASALT_API TPlugBaseDialog : public TPlugBaseForm {
 public:
  explicit TPlugBaseDialog(QWidget* parent);
  ~TPlugBaseDialog() override;

  // Virtual operations, in slot order after those of TPlugBaseForm.
  // Called once after PlugExec; the base records that it ran.
  virtual void PlugInitEvent(QObject* sender);
  // Called once with the invocation's arguments; the base keeps a copy of them and returns 1.
  virtual int PlugExec(TPlugArgs args);

  bool PlugInitEventCalled() const { return init_called_; }
  bool PlugExecCalled() const { return exec_called_; }
  const std::vector<Variant>& PlugArgs() const { return args_; }

 private:
  std::vector<Variant> args_;
  bool exec_called_ = false;
  bool init_called_ = false;
};

// Runs the form class that `lookup` gives for info.ClassName (see the flow above). Returns the
// form's PlugExec result (0 for a form that is not a TPlugBaseDialog), or kCallPlugFailed with
// info.ErrorText set when the class is unknown or creating or initialising the form raised an
// error (the form is then destroyed). Never raises.
BASALT_API int CallPlug(TPlugClassLookup lookup, TPlugMgrInfo& info, TPlugArgs args);

}  // namespace qorvin
