#include "basalt/PlugBase.h"

#include <exception>
#include <memory>

#include "basalt/BasaltError.h"
#include "basalt/ShareData.h"
#include "basalt/WindowMessages.h"

namespace qorvin {

TPlugBaseForm::TPlugBaseForm(QWidget* parent) : QDialog(parent) {}
TPlugBaseForm::~TPlugBaseForm() = default;

void TPlugBaseForm::SetLangStr(const std::string& text) {
  lang_.Apply(text);
}

std::string TPlugBaseForm::InitLang() {
  return BasaltBaseLangText();
}

TPlugList* TPlugBaseForm::GetPlugList() {
  return &ShareData().GetPlugList();
}

const TPlugMgrInfo* TPlugBaseForm::GetPlugMgrList() {
  return manager_;
}

std::string TPlugBaseForm::tr(const std::string& key) const {
  return lang_.Text(key);
}

std::string TPlugBaseForm::tr(const std::string& key,
                              const std::vector<std::string>& values) const {
  return lang_.Text(key, values);
}

void TPlugBaseForm::SetPlugContext(TPlugInfo plug, TUserInfo user, const TPlugMgrInfo* manager) {
  plug_info_ = plug;
  user_info_ = std::move(user);
  manager_ = manager;
}

bool TPlugBaseForm::event(QEvent* event) {
  if (event->type() == TWindowMessageEvent::EventType()) {
    if (static_cast<TWindowMessageEvent*>(event)->Message() == WM_CLOSE) close();
    return true;
  }
  return QDialog::event(event);
}

TPlugBaseDialog::TPlugBaseDialog(QWidget* parent) : TPlugBaseForm(parent) {}
TPlugBaseDialog::~TPlugBaseDialog() = default;

void TPlugBaseDialog::PlugInitEvent(QObject* /*sender*/) {
  init_called_ = true;
}

int TPlugBaseDialog::PlugExec(TPlugArgs args) {
  args_.assign(args.begin(), args.end());
  exec_called_ = true;
  return 1;
}

int CallPlug(TPlugClassLookup lookup, TPlugMgrInfo& info, TPlugArgs args) {
  info.Form = nullptr;
  info.ModalResult = 0;
  info.ErrorText.clear();
  const TPlugFormClass* cls = lookup != nullptr ? lookup(info.ClassName) : nullptr;
  if (cls == nullptr || cls->Create == nullptr) {
    info.ErrorText = "No plug class named " + info.ClassName;
    return kCallPlugFailed;
  }
  std::unique_ptr<TPlugBaseForm> form;
  int result = 0;
  try {
    form.reset(cls->Create(info.Parent));
    if (!form) throw EBasaltError("creating " + info.ClassName + " gave no form");
    form->SetPlugContext(TPlugInfo(info.ActionType, info.MenuId), ShareData().GetUserInfo(), &info);
    form->SetLangStr(form->InitLang());
    if (auto* dialog = dynamic_cast<TPlugBaseDialog*>(form.get())) {
      result = dialog->PlugExec(args);
      dialog->PlugInitEvent(dialog);
    }
  } catch (const std::exception& e) {
    info.ErrorText = info.ClassName + ": " + e.what();
    return kCallPlugFailed;
  }
  if (info.RunMode == TPlugRunMode::Create) {
    info.Form = form.release();
  } else {
    info.ModalResult = form->exec();
  }
  return result;
}

}  // namespace qorvin
