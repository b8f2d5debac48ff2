// The command line of qorvin-server.
#pragma once

#include <string>
#include <vector>

#include "server/net/NetServer.h"
#include "server/services/ServerState.h"

namespace qorvin::server {

struct CommandLine {
  ServerConfig config;
  NetOptions net;
  std::string schemaFile;  // a batch run once at start
  std::string codeSet;     // ANSI code set for 8-bit wire text; empty: the locale's
  bool quiet = false;
  bool help = false;
};

// Parses the arguments (without the program name). std::invalid_argument with a message for the
// user when an option is unknown, lacks its value or has a value out of range.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The --help text.
const char* HelpText();

}  // namespace qorvin::server
