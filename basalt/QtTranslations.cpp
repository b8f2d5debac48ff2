#include "basalt/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>
#include <memory>

namespace qorvin {

QLocale FrameworkLocale() {
  return QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
}

bool InstallQtTranslations(const QLocale& locale) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  // The application owns the catalogue that is installed; the one it replaces goes.
  static QPointer<QTranslator> installed;
  if (!installed.isNull()) {
    QCoreApplication::removeTranslator(installed);
    delete installed.data();
  }
  installed = translator.release();
  installed->setParent(app);
  QCoreApplication::installTranslator(installed);
  return true;
}

}  // namespace qorvin
