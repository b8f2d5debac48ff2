// basalt-host: runs a plug-in form of the framework stand-in (see docs/basalt.md).
#include <QApplication>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "basalt/host/HostOptions.h"
#include "basalt/host/HostRun.h"

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
  // A screenshot needs no screen: render off-screen unless the caller chose a platform.
  if (!options.Screenshot.empty() && std::getenv("QT_QPA_PLATFORM") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  if (options.PluginPath.empty())
    options.PluginPath = QCoreApplication::applicationDirPath().toStdString() + "/libPersonal.so";
  return qorvin::RunHost(options, std::cerr);
}
