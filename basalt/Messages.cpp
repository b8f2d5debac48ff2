#include "basalt/Messages.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <stdexcept>

namespace qorvin {

namespace {

TMessageHook& Hook() {
  static TMessageHook hook;
  return hook;
}

QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QString CaptionOr(const std::string& caption, const char* fallback) {
  return caption.empty() ? QString::fromUtf8(fallback) : Q(caption);
}

struct ButtonSet {
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton escape;
};

ButtonSet ButtonsOf(int flags) {
  switch (flags & 0x0F) {
    case MB_OK:
      return {QMessageBox::Ok, QMessageBox::Ok};
    case MB_OKCANCEL:
      return {QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel};
    case MB_ABORTRETRYIGNORE:
      return {QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, QMessageBox::Abort};
    case MB_YESNOCANCEL:
      return {QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Cancel};
    case MB_YESNO:
      return {QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
    case MB_RETRYCANCEL:
      return {QMessageBox::Retry | QMessageBox::Cancel, QMessageBox::Cancel};
    default:
      throw std::invalid_argument("MsgBox: unknown button set in flags");
  }
}

QMessageBox::Icon IconOf(int flags) {
  switch (flags & 0xF0) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

int AnswerOf(int button) {
  switch (button) {
    case QMessageBox::Ok:
      return IDOK;
    case QMessageBox::Cancel:
      return IDCANCEL;
    case QMessageBox::Abort:
      return IDABORT;
    case QMessageBox::Retry:
      return IDRETRY;
    case QMessageBox::Ignore:
      return IDIGNORE;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    default:
      return IDCANCEL;
  }
}

int ShowBox(QWidget* owner, const QString& text, const QString& caption, int flags) {
  const ButtonSet set = ButtonsOf(flags);
  QMessageBox box(IconOf(flags), caption, text, set.buttons,
                  owner ? owner : QApplication::activeWindow());
  box.setEscapeButton(set.escape);
  return AnswerOf(box.exec());
}

int Dispatch(TMessageKind kind, QWidget* owner, const std::string& text, const std::string& caption,
             int flags, const char* fallbackCaption) {
  if (Hook()) return Hook()(TMessageRequest{kind, text, caption, flags});
  return ShowBox(owner, Q(text), CaptionOr(caption, fallbackCaption), flags);
}

}  // namespace

TMessageHook SetMessageHook(TMessageHook hook) {
  TMessageHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

void ShowInfo(const std::string& text, const std::string& caption) {
  Dispatch(TMessageKind::Info, nullptr, text, caption, MB_OK | MB_ICONINFORMATION, "提示");
}

void ShowErr(const std::string& text, const std::string& caption) {
  Dispatch(TMessageKind::Error, nullptr, text, caption, MB_OK | MB_ICONERROR, "错误");
}

int ShowComfirm(const std::string& text, const std::string& caption) {
  const int answer =
      Dispatch(TMessageKind::Confirm, nullptr, text, caption, MB_YESNO | MB_ICONQUESTION, "确认");
  return answer == IDYES ? IDYES : IDNO;
}

int MsgBox(QWidget* owner, const std::string& text, const std::string& caption, int flags) {
  ButtonsOf(flags);  // refuses an unknown button set before anything is shown or hooked
  return Dispatch(TMessageKind::MsgBox, owner, text, caption, flags, "");
}

}  // namespace qorvin
