// The framework's message boxes, shown as Qt message boxes, and the hook that replaces them.
//
// With a hook installed no box is shown: the hook receives every request (kind, text, caption,
// flags) and its return value is the answer. Tests script answers and record texts this way; a
// host without a screen logs them. Thread: UI thread only.
#pragma once

#include <functional>
#include <string>

#include "basalt/BasaltApi.h"

class QWidget;

namespace qorvin {

// Answers of a message box.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// MsgBox flags: the button set in bits 0-3, the icon in bits 4-7.
inline constexpr int MB_OK = 0x00;
inline constexpr int MB_OKCANCEL = 0x01;
inline constexpr int MB_ABORTRETRYIGNORE = 0x02;
inline constexpr int MB_YESNOCANCEL = 0x03;
inline constexpr int MB_YESNO = 0x04;
inline constexpr int MB_RETRYCANCEL = 0x05;
inline constexpr int MB_ICONERROR = 0x10;
inline constexpr int MB_ICONQUESTION = 0x20;
inline constexpr int MB_ICONWARNING = 0x30;
inline constexpr int MB_ICONINFORMATION = 0x40;

enum class TMessageKind { Info, Error, Confirm, MsgBox };

struct BASALT_API TMessageRequest {
  TMessageKind Kind = TMessageKind::Info;
  std::string Text;
  std::string Caption;
  int Flags = 0;  // MsgBox only
};

using TMessageHook = std::function<int(const TMessageRequest&)>;

// Installs `hook` in place of the real boxes (an empty hook restores them); returns the hook
// that was installed before.
BASALT_API TMessageHook SetMessageHook(TMessageHook hook);

// An information box with an OK button. An empty caption shows the framework's own caption.
BASALT_API void ShowInfo(const std::string& text, const std::string& caption);
// An error box with an OK button.
BASALT_API void ShowErr(const std::string& text, const std::string& caption);
// A yes/no question; IDYES (6) or IDNO (7). Closing the box counts as no.
BASALT_API int ShowComfirm(const std::string& text, const std::string& caption);
// A box with the buttons and icon of `flags` over `owner` (may be null). Returns the ID* of the
// button pressed; Escape or closing gives IDCANCEL when the set has Cancel, otherwise IDNO for a
// yes/no set and IDOK for OK. std::invalid_argument for a button set outside 0-5.
BASALT_API int MsgBox(QWidget* owner, const std::string& text, const std::string& caption,
                      int flags);

}  // namespace qorvin
