// The command line of qorvin-server, and its configuration file (--config FILE).
//
// The file holds one option per line, "name = value", name being a long option without its
// "--" ("db = /var/lib/x.db", "http-port = 8099"); switches take true/false (also yes/no, on/off,
// 1/0). Blank lines and lines starting with '#' are skipped; a value may be written in double
// quotes to keep blanks at its ends. Every option but config, help, version and check-config may
// be set there. The file is read first, then the command line, so the command line wins. The one
// option that may be given several times is bind: its addresses add up, in the file (several
// lines, or a list "bind = 127.0.0.1, ::1") as on the command line, and any --bind on the
// command line replaces the file's addresses as a whole. On the
// command line an option's value follows it as the next argument or after '=' ("--db=x.db"); a
// switch may be given a value that way too ("--admin=false").
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
  std::string configFile;  // the --config file that was read; empty: none
  LogFormat logFormat = LogFormat::Text;
  std::string logFile;  // append the request log here; empty: standard error
  bool quiet = false;
  bool help = false;
  // --allow and --allow-http/-tcp/-udp as given (the net options hold the parsed lists).
  std::string allow, allowHttp, allowTcp, allowUdp;
  std::string usersFile;     // --users: HTTP users (empty: HTTP needs no credentials)
  std::string tlsCert;       // --tls-cert: PEM certificate chain (with tlsKey: HTTP is HTTPS)
  std::string tlsKey;        // --tls-key: PEM private key of tlsCert
  bool version = false;      // print the version and stop
  bool checkConfig = false;  // check the configuration (and the database) and stop
  // The addresses of the bind options read so far (ParseCommandLine moves them into
  // net.bindAddresses).
  std::vector<std::string> bind;
};

// Parses the arguments (without the program name), after the --config file when one is named.
// std::invalid_argument with a message for the user when an option is unknown, lacks its value
// or has a value out of range, or the file cannot be read (messages about the file name it and
// the line).
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The names of every option (without "--") that the configuration file accepts.
std::vector<std::string> ConfigOptionNames();

// The --help text.
const char* HelpText();

// "qorvin-server <version>".
std::string VersionText();

}  // namespace qorvin::server
