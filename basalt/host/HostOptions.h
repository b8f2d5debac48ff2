// Command line of basalt-host.
#pragma once

#include <string>
#include <vector>

namespace qorvin {

struct THostOptions {
  std::string Server;         // "host:port"; empty: no server connection
  std::string ServerHost;     // parsed from Server
  int ServerPort = 0;         // parsed from Server
  char ConnectType = 'H';     // --transport
  std::string ClientLibrary;  // --client-library
  std::string UserId;         // --user
  int ActionType = 0;         // --action-type
  bool HasGroup = false;      // --group given
  std::string Group;          // --group
  std::string MenuFile;       // --menu-file
  std::string PluginPath;     // --plugin; empty: libPersonal.so beside the program
  std::string ClassName = "TPersonalCommonFuncForm";  // --class
  std::string Screenshot;  // --screenshot: write the form to this PNG and exit
  bool Help = false;       // --help
};

// Parses the arguments after the program name. EBasaltError with a one-line reason for an
// unknown option, a missing value or a malformed number, port or transport letter.
THostOptions ParseHostOptions(const std::vector<std::string>& args);

std::string HostUsage();

}  // namespace qorvin
