// Qt's own texts (the buttons of message boxes, the standard context menus) in the host's
// language, as Qt applications install them: the "qtbase" catalogue of Qt's translations folder
// (Debian package qt6-translations-l10n).
#pragma once

#include <QLocale>

#include "basalt/BasaltApi.h"

namespace qorvin {

// The language of the framework's own texts and of its plug-ins' default texts.
BASALT_API QLocale FrameworkLocale();

// Installs Qt's translations for `locale` into the application (once per process; a later call
// replaces the earlier catalogue). Returns false, changing nothing, when there is no application
// or no catalogue for that language; Qt's English texts then stay.
BASALT_API bool InstallQtTranslations(const QLocale& locale);

}  // namespace qorvin
