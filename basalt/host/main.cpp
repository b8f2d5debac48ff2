// basalt-host: runs a plug-in form of the framework stand-in (see docs/basalt.md).
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "basalt/QtTranslations.h"
#include "basalt/host/HostOptions.h"
#include "basalt/host/HostRun.h"

namespace {

int RunWithApplication(qorvin::THostOptions options, int& argc, char** argv) {
  // A screenshot needs no screen: render off-screen unless the caller chose a platform.
  if (!options.Screenshot.empty() && std::getenv("QT_QPA_PLATFORM") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The client library's 8-bit text is the locale's code set; numbers it exchanges as text use
  // the C locale's notation, so only the numeric category stays "C".
  std::setlocale(LC_ALL, "");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  // The framework speaks Chinese: Qt's own texts (message-box buttons) follow it.
  qorvin::InstallQtTranslations(qorvin::FrameworkLocale());
  if (options.PluginPath.empty())
    options.PluginPath = QCoreApplication::applicationDirPath().toStdString() + "/libPersonal.so";
  return qorvin::RunHost(options, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  qorvin::THostOptions options;
  try {
    options = qorvin::ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "basalt-host: " << e.what() << "\n" << qorvin::HostUsage();
    return 2;
  }
  if (options.Help) {
    std::cout << qorvin::HostUsage();
    return 0;
  }
  // The client library, once loaded, stays loaded (its remote data modules live until the
  // process ends); its end runs at process exit.
  return RunWithApplication(std::move(options), argc, argv);
}
