// The command line of `qorvin`: global options, then one or more subcommands separated by a
// lone "--", each with its own arguments. Both the options and the subcommands are described by
// tables, from which the parser and the help texts are made.
//
//   qorvin [GLOBAL OPTIONS] SUBCOMMAND ARGS... [-- SUBCOMMAND ARGS...]...
//
// A global option may also appear among a subcommand's arguments; it applies to the whole
// invocation. `probe` takes any number of server URLs (none: the --connect server). Only exact
// option names count as options (and "--name=value" forms), so SQL text that starts with "-" is an
// argument.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qorvin/Probe.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

enum class Op {
  ExecSql,
  ExecProc,
  ExecProcOutput,
  Read,
  ReadDataSet,
  ReadTwo,
  ExecProcReadTwo,
  BatchBuild,
  InsertTable,
  InsertTableDataSet,
  ExecSqlInsert,
  DateTime,
  Probe,  // no operation of the module: the transports' probe (Probe.h)
};

enum class OutputFormat { Table, Csv, Json };

struct CommandDef {
  Op op;
  const char* name;
  const char* params;    // positional parameters, space-separated ("SQL SQL2")
  int fileParam;         // index of the FILE parameter, -1 for none
  bool successReturn;    // takes --success-return N
  bool returnsData;      // may hand back record sets
  const char* summary;   // one line
  const char* details;   // what it does, for its --help
  const char* examples;  // lines of examples, for its --help
};

// A further server of a --connect list.
struct ServerAddress {
  std::string host;
  int32_t port = 0;
};

enum class ServerMode { FailOver, LoadBalance };

struct GlobalOptions {
  char letter = 0;  // 'H', 'T', 'B' or 'U'; 0 until --connect is given
  std::string host;
  int32_t port = 0;
  std::vector<ServerAddress> moreServers;  // the rest of a --connect list, in order
  ServerMode serverMode = ServerMode::FailOver;
  std::string user;
  std::string hdh;
  OutputFormat format = OutputFormat::Table;
  bool keep = false;
  bool keepGoing = false;  // later subcommands still run after one failed
  std::string library;
  int64_t inflateBudget = 0;       // bytes; 0: the library's default
  std::string httpUser;            // --http-user: the HTTP login (h:// only)
  std::string passwordFile;        // --password-file: its password's file (else $QORVIN_PASSWORD)
  std::string caFile;              // --cacert: the authorities HTTPS trusts (empty: the system's)
  std::string nullText;            // --null: how NULL shows in table and CSV output
  bool tuplesOnly = false;         // --tuples-only / -t: rows alone
  bool expanded = false;           // --expanded / -x: a table shows one "name | value" line a field
  char delimiter = ',';            // --delimiter: between the fields of CSV, read and written
  int32_t connectTimeoutMs = 0;    // --connect-timeout; 0: the library's bound
  int32_t callTimeoutMs = 0;       // --call-timeout; 0: the library's bound
  std::vector<std::string> files;  // -f / --file: SQL scripts, in order ("-": standard input)
};

struct CommandCall {
  const CommandDef* def = nullptr;
  std::vector<std::string> args;  // the positional arguments, def->params in order
  int32_t successReturn = 0;
  std::vector<ProbeTarget> probes;  // probe: the servers (its URLs, else the --connect server)
  int probeTimeoutMs = 5000;        // probe: --timeout
  std::string origin;               // a statement of a script: "FILE:LINE" (empty otherwise)
};

struct Invocation {
  GlobalOptions options;
  std::vector<CommandCall> calls;
  std::string help;  // not empty: print it and do nothing else
};

// Parses argv. UsageError for anything wrong; a --help anywhere yields the matching help text,
// a leading --version the version line. No subcommand is no error here: the scripts of -f, or
// standard input, give the statements then. Without --connect, $QORVIN_CONNECT (same form) names
// the server.
Invocation ParseCommandLine(int argc, const char* const* argv);

// "qorvin <version>".
std::string VersionText();

// Every subcommand, in the order of the help text.
const std::vector<CommandDef>& CommandTable();

// "h://HOST:PORT" (t, b, u likewise; the letter is the upper-cased scheme) into `options`, or a
// comma-separated list of such addresses, all of one letter: the first is the module's server,
// the others go to `moreServers`.
void ParseConnect(const std::string& text, GlobalOptions& options);

std::string GlobalHelp();
std::string CommandHelp(const CommandDef& def);

}  // namespace qorvin::cli
