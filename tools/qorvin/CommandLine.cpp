#include "tools/qorvin/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "tools/qorvin/Csv.h"
#include "tools/qorvin/FieldTypes.h"

namespace qorvin::cli {

namespace {

struct OptionDef {
  const char* name;
  const char* value;  // the value's placeholder, null for a switch
  const char* help;
  void (*apply)(GlobalOptions& options, const std::string& value);
};

int32_t ParseInt32(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
    throw UsageError(std::string(what) + " must be a whole number, not '" + text + "'");
  return int32_t(v);
}

// Seconds (a decimal number, above 0 and at most a day) as milliseconds.
int32_t ParseSeconds(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(v > 0) || v > 86400)
    throw UsageError(std::string(what) +
                     " must be a number of seconds above 0 and at most 86400, "
                     "not '" +
                     text + "'");
  return std::max<int32_t>(1, int32_t(v * 1000));
}

const std::vector<OptionDef>& GlobalOptionTable() {
  static const std::vector<OptionDef> kOptions = {
      {"--connect", "URL[,URL...]",
       "server to use: h://HOST:PORT (HTTP), t://HOST:PORT or b://HOST:PORT (TCP),\n"
       "u://HOST:PORT (UDP), or a whole URL: https://HOST:PORT/Bin for a server\n"
       "serving HTTPS (--cacert names its authority), http://HOST:PORT/PATH;\n"
       "an IPv6 address goes in brackets: t://[::1]:8099.\n"
       "Several servers of one kind, separated by commas, share the calls as\n"
       "--servers says",
       [](GlobalOptions& o, const std::string& v) { ParseConnect(v, o); }},
      {"--servers", "MODE",
       "with several servers: fail-over (default: the first server, the next when\n"
       "a call cannot reach it) or balance (calls spread over all, with fail-over)",
       [](GlobalOptions& o, const std::string& v) {
         if (v == "fail-over") {
           o.serverMode = ServerMode::FailOver;
         } else if (v == "balance") {
           o.serverMode = ServerMode::LoadBalance;
         } else {
           throw UsageError("--servers must be fail-over or balance, not '" + v + "'");
         }
       }},
      {"--user", "ID", "user id sent with every call (default: empty)",
       [](GlobalOptions& o, const std::string& v) { o.user = v; }},
      {"--hdh", "SERIAL", "HDH serial number sent with every call (default: empty)",
       [](GlobalOptions& o, const std::string& v) { o.hdh = v; }},
      {"--format", "FORMAT", "output: table (default, for people), csv or json (for scripts)",
       [](GlobalOptions& o, const std::string& v) {
         if (v == "table") {
           o.format = OutputFormat::Table;
         } else if (v == "csv") {
           o.format = OutputFormat::Csv;
         } else if (v == "json") {
           o.format = OutputFormat::Json;
         } else {
           throw UsageError("--format must be table, csv or json, not '" + v + "'");
         }
       }},
      {"--inflate-budget", "MIB",
       "the most one reply's data may inflate to, in MiB, 1..1048576 (default 256:\n"
       "the library's own); raise it to read a result larger than that",
       [](GlobalOptions& o, const std::string& v) {
         const int32_t mib = ParseInt32(v, "--inflate-budget");
         if (mib < 1 || mib > 1048576)
           throw UsageError("--inflate-budget must lie between 1 and 1048576 MiB");
         o.inflateBudget = int64_t(mib) << 20;
       }},
      {"--connect-timeout", "SECONDS", "the longest wait for a connection (T, B and H; default 30)",
       [](GlobalOptions& o, const std::string& v) {
         o.connectTimeoutMs = ParseSeconds(v, "--connect-timeout");
       }},
      {"--call-timeout", "SECONDS",
       "the longest wait for an answer (default 600 over T, B and H; over U, 6 for the whole\n"
       "wait, resends included)",
       [](GlobalOptions& o, const std::string& v) {
         o.callTimeoutMs = ParseSeconds(v, "--call-timeout");
       }},
      {"--http-user", "NAME",
       "the HTTP user for an h:// server that asks for one; the password comes from the\n"
       "file --password-file names (its first line), else $QORVIN_PASSWORD, never from the\n"
       "command line",
       [](GlobalOptions& o, const std::string& v) { o.httpUser = v; }},
      {"--password-file", "FILE", "the file whose first line is --http-user's password",
       [](GlobalOptions& o, const std::string& v) { o.passwordFile = v; }},
      {"--cacert", "FILE",
       "for an https:// server: the certificate authorities to trust (PEM), in place of the\n"
       "system's",
       [](GlobalOptions& o, const std::string& v) { o.caFile = v; }},
      {"--null", "TEXT",
       "how NULL shows in table and CSV output (default: nothing, as an empty\n"
       "text shows in a table; in CSV an empty text is \"\" and NULL an empty field)",
       [](GlobalOptions& o, const std::string& v) { o.nullText = v; }},
      {"--tuples-only", nullptr,
       "rows alone: no header, separator or row count (CSV: no header record); also -t",
       [](GlobalOptions& o, const std::string&) { o.tuplesOnly = true; }},
      {"--file", "FILE",
       "run the SQL statements of FILE (\"-\": standard input), each ending with ';'; may be\n"
       "given several times; also -f FILE. Their statements run before any subcommand",
       [](GlobalOptions& o, const std::string& v) { o.files.push_back(v); }},
      {"--expanded", nullptr,
       "table output shows each row as a record: one \"column | value\" line per field,\n"
       "under a -[ RECORD N ]- line (for wide rows); also -x",
       [](GlobalOptions& o, const std::string&) { o.expanded = true; }},
      {"--delimiter", "C",
       "the character between the fields of CSV, in upload files and in --format csv\n"
       "output (default ','; \\t or tab for a tab)",
       [](GlobalOptions& o, const std::string& v) {
         const std::string c = v == "\\t" || v == "tab" ? std::string("\t") : v;
         if (c.size() != 1 || !IsCsvDelimiter(c[0]))
           throw UsageError(
               "--delimiter must be one character other than a quote or a line "
               "break, not '" +
               v + "'");
         o.delimiter = c[0];
       }},
      {"--keep", nullptr, "keep one connection open for all subcommands of this invocation",
       [](GlobalOptions& o, const std::string&) { o.keep = true; }},
      {"--keep-going", nullptr,
       "run the later subcommands and statements even after one failed (the exit status\n"
       "is then 1, or 2 when one reached no server)",
       [](GlobalOptions& o, const std::string&) { o.keepGoing = true; }},
      {"--library", "PATH",
       "the client library to load (default: next to this program, then\n"
       "$QORVIN_CLIENT_LIBRARY, then the library's file name on the system's\n"
       "search path: libQorvinClient.so, QorvinClient.dll on Windows)",
       [](GlobalOptions& o, const std::string& v) { o.library = v; }},
  };
  return kOptions;
}

constexpr const char* kSuccessReturn = "--success-return";
constexpr const char* kTimeout = "--timeout";

std::vector<std::string> Params(const CommandDef& def) {
  std::vector<std::string> out;
  std::istringstream in(def.params);
  for (std::string p; in >> p;) out.push_back(p);
  return out;
}

std::string Usage(const CommandDef& def) {
  std::string u = std::string("qorvin [OPTIONS] ") + def.name;
  if (*def.params != '\0') u += std::string(" ") + def.params;
  if (def.successReturn) u += " [--success-return N]";
  if (def.op == Op::Probe) u += " [--timeout SECONDS]";
  return u;
}

bool IsHelp(const std::string& arg) {
  return arg == "--help" || arg == "-h";
}

// An argument that names an option: "--" and a letter, no spaces ("--format", "--keep=1").
// Anything else, "-- comment" SQL or "-5" included, is a positional argument.
bool LooksLikeOption(const std::string& arg) {
  return arg.size() > 2 && arg[0] == '-' && arg[1] == '-' &&
         ((arg[2] >= 'a' && arg[2] <= 'z') || (arg[2] >= 'A' && arg[2] <= 'Z')) &&
         arg.find_first_of(" \t\r\n") == std::string::npos;
}

class Parser {
 public:
  Parser(int argc, const char* const* argv) : args_(argv + 1, argv + (argc > 0 ? argc : 1)) {}

  Invocation Run() {
    while (i_ < args_.size()) {
      if (IsHelp(args_[i_])) return Help(GlobalHelp());
      if (args_[i_] == "--version") return Help(VersionText() + "\n");
      if (args_[i_] == "-t") {  // psql's short form, before the subcommand only
        inv_.options.tuplesOnly = true;
        ++i_;
        continue;
      }
      if (args_[i_] == "-x") {  // --expanded's short form, before the subcommand only
        inv_.options.expanded = true;
        ++i_;
        continue;
      }
      if (args_[i_] == "-f") {  // --file's short form, before the subcommand only
        if (i_ + 1 == args_.size()) throw UsageError("-f needs a value (FILE)");
        inv_.options.files.push_back(args_[i_ + 1]);
        i_ += 2;
        continue;
      }
      if (!LooksLikeOption(args_[i_])) break;
      if (!TakeGlobalOption()) throw UsageError("unknown option '" + args_[i_] + "'");
    }
    while (i_ < args_.size()) {
      if (!TakeCommand()) return inv_;
      if (i_ < args_.size() && args_[i_] == "--") {
        if (++i_ == args_.size()) throw UsageError("a subcommand must follow '--'");
      }
    }
    if (inv_.options.letter == 0) {
      const char* fromEnvironment = std::getenv("QORVIN_CONNECT");
      if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        try {
          ParseConnect(fromEnvironment, inv_.options);
        } catch (const UsageError& e) {
          throw UsageError(std::string("$QORVIN_CONNECT: ") + e.what());
        }
        connect_ = fromEnvironment;
      }
    }
    ResolveProbes();
    return inv_;
  }

 private:
  // The servers of every probe, now that --connect (which may come late) is known.
  void ResolveProbes() {
    for (CommandCall& call : inv_.calls) {
      if (call.def->op != Op::Probe) continue;
      for (const std::string& url : call.args) {
        GlobalOptions parsed;
        ParseConnect(url, parsed);
        AddProbes(call, url, parsed);
      }
      if (call.probes.empty()) {
        if (inv_.options.letter == 0)
          throw UsageError("probe: name the servers (probe t://HOST:PORT ...) or use --connect");
        AddProbes(call, connect_, inv_.options);
      }
    }
  }

  // One probe per server of a --connect text (a list names several).
  static void AddProbes(CommandCall& call, const std::string& text, const GlobalOptions& parsed) {
    if (parsed.moreServers.empty()) {
      call.probes.push_back({text, parsed.letter, parsed.host, parsed.port});
      return;
    }
    std::vector<std::string> labels;
    for (size_t start = 0;;) {
      const size_t comma = text.find(',', start);
      labels.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    call.probes.push_back({labels[0], parsed.letter, parsed.host, parsed.port});
    for (size_t i = 0; i < parsed.moreServers.size(); ++i)
      call.probes.push_back({i + 1 < labels.size() ? labels[i + 1] : text, parsed.letter,
                             parsed.moreServers[i].host, parsed.moreServers[i].port});
  }

  Invocation Help(std::string text) {
    inv_.help = std::move(text);
    inv_.calls.clear();
    return inv_;
  }

  // The option at i_ ("--name VALUE" or "--name=VALUE"); false when it is not a global option.
  bool TakeGlobalOption() {
    const std::string& arg = args_[i_];
    if (IsHelp(arg)) return false;
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    for (const OptionDef& o : GlobalOptionTable()) {
      if (name != o.name) continue;
      std::string value;
      if (o.value == nullptr) {
        if (eq != std::string::npos) throw UsageError(name + " takes no value");
      } else if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
      } else if (i_ + 1 < args_.size()) {
        value = args_[++i_];
      } else {
        throw UsageError(name + " needs a value (" + o.value + ")");
      }
      o.apply(inv_.options, value);
      if (name == "--connect") connect_ = value;
      ++i_;
      return true;
    }
    return false;
  }

  // One subcommand and its arguments, up to "--" or the end; false when --help ended parsing.
  bool TakeCommand() {
    const std::string& name = args_[i_++];
    const CommandDef* def = nullptr;
    for (const CommandDef& s : CommandTable())
      if (name == s.name) def = &s;
    if (def == nullptr) {
      if (LooksLikeOption(name)) throw UsageError("unknown option '" + name + "'");
      throw UsageError("unknown subcommand '" + name + "'");
    }
    CommandCall call;
    call.def = def;
    while (i_ < args_.size() && args_[i_] != "--") {
      const std::string& arg = args_[i_];
      if (IsHelp(arg)) {
        Help(CommandHelp(*def));
        return false;
      }
      if (!LooksLikeOption(arg)) {
        call.args.push_back(arg);
        ++i_;
      } else if (!TakeGlobalOption() && !TakeSuccessReturn(*def, call) &&
                 !TakeTimeout(*def, call)) {
        throw UsageError(std::string(def->name) + ": unknown option '" + arg + "'");
      }
    }
    const size_t wanted = Params(*def).size();
    if (def->op != Op::Probe && call.args.size() != wanted)
      throw UsageError(std::string(def->name) + " takes " + std::to_string(wanted) + " argument" +
                       (wanted == 1 ? "" : "s") + ", " + std::to_string(call.args.size()) +
                       " given\nusage: " + Usage(*def));
    inv_.calls.push_back(std::move(call));
    return true;
  }

  bool TakeSuccessReturn(const CommandDef& def, CommandCall& call) {
    const std::string& arg = args_[i_];
    const size_t eq = arg.find('=');
    if (!def.successReturn || arg.substr(0, eq) != kSuccessReturn) return false;
    std::string value;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i_ + 1 < args_.size()) {
      value = args_[++i_];
    } else {
      throw UsageError(std::string(kSuccessReturn) + " needs a value (N)");
    }
    call.successReturn = ParseInt32(value, kSuccessReturn);
    ++i_;
    return true;
  }

  // probe's "--timeout SECONDS" (1..3600).
  bool TakeTimeout(const CommandDef& def, CommandCall& call) {
    const std::string& arg = args_[i_];
    const size_t eq = arg.find('=');
    if (def.op != Op::Probe || arg.substr(0, eq) != kTimeout) return false;
    std::string value;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i_ + 1 < args_.size()) {
      value = args_[++i_];
    } else {
      throw UsageError(std::string(kTimeout) + " needs a value (SECONDS)");
    }
    const int32_t seconds = ParseInt32(value, kTimeout);
    if (seconds < 1 || seconds > 3600)
      throw UsageError(std::string(kTimeout) + " must lie between 1 and 3600 seconds");
    call.probeTimeoutMs = seconds * 1000;
    ++i_;
    return true;
  }

  std::vector<std::string> args_;
  size_t i_ = 0;
  Invocation inv_;
  std::string connect_;  // the --connect text, for probe's report
};

void AppendIndented(std::string& out, const std::string& text, const std::string& indent) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += indent + line + "\n";
}

const char* kFileHelp =
    "FILE is CSV or JSON (JSON when its name ends in .json or it starts with [ or {;\n"
    "\"-\" reads standard input):\n"
    "  CSV: a header line of column names, then one line per row. A name may declare\n"
    "       its type as name:type or name:type(size). An empty field is NULL, \"\" is\n"
    "       empty text.\n"
    "  JSON: [{\"id\": 1, \"name\": \"a\"}, ...] or\n"
    "        {\"fields\": [\"id:integer\", \"name\"], \"rows\": [[1, \"a\"], ...]}\n"
    "Columns without a type take it from their values: integer (bigint beyond 32\n"
    "bits), float, boolean (JSON true/false), otherwise text sized to its longest\n"
    "value; numbers with leading zeros stay text.\n";

}  // namespace

namespace {

// An http:// or https:// URL names an HTTP server whole (HOST[:PORT][/PATH]); the library
// checks the rest of it when the module takes it.
bool ParseServerUrl(const std::string& text, GlobalOptions& options) {
  const size_t scheme = text.rfind("https://", 0) == 0 ? 8 : text.rfind("http://", 0) == 0 ? 7 : 0;
  if (scheme == 0) return false;
  if (text.size() == scheme || text.find_first_of("/:", scheme) == scheme)
    throw UsageError("--connect '" + text + "': the URL names no host");
  if (text.find_first_of(" \t,") != std::string::npos)
    throw UsageError("--connect '" + text + "': a URL cannot hold spaces");
  options.letter = 'H';
  options.host = text;
  options.port = 0;
  return true;
}

void ParseOneServer(const std::string& text, GlobalOptions& options) {
  if (ParseServerUrl(text, options)) return;
  const char* kForms =
      " (expected h://HOST:PORT, t://HOST:PORT, b://HOST:PORT, u://HOST:PORT or an http:// or "
      "https:// URL)";
  if (text.size() < 4 || text.compare(1, 3, "://") != 0)
    throw UsageError("--connect '" + text + "' is not a server address" + kForms);
  const char letter = char(std::toupper(static_cast<unsigned char>(text[0])));
  if (letter != 'H' && letter != 'T' && letter != 'B' && letter != 'U')
    throw UsageError("--connect '" + text + "': unknown connection type" + kForms);
  const std::string rest = text.substr(4);
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
    throw UsageError("--connect '" + text + "': HOST and PORT are both needed" + kForms);
  std::string host = rest.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']' || host.size() < 3)
      throw UsageError("--connect '" + text + "': an IPv6 address ends with ']'");
    // HTTP writes the host into a URL, where the brackets belong; sockets take the bare address.
    if (letter != 'H') host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos || host.find_first_of("/ ") != std::string::npos) {
    throw UsageError("--connect '" + text +
                     "': a host name cannot hold ':', '/' or spaces "
                     "(put an IPv6 address in brackets)");
  }
  const int32_t port = ParseInt32(rest.substr(colon + 1), "the port");
  if (port < 1 || port > 65535) throw UsageError("the port must lie between 1 and 65535");
  options.letter = letter;
  options.host = host;
  options.port = port;
}

}  // namespace

void ParseConnect(const std::string& text, GlobalOptions& options) {
  std::vector<GlobalOptions> parsed;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) throw UsageError("--connect '" + text + "': an empty server in the list");
    GlobalOptions one;
    ParseOneServer(item, one);
    if (!parsed.empty() && one.letter != parsed.front().letter &&
        !(std::string("TB").find(one.letter) != std::string::npos &&
          std::string("TB").find(parsed.front().letter) != std::string::npos))
      throw UsageError("--connect '" + text + "': all servers of a list use one connection type");
    parsed.push_back(one);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  options.letter = parsed.front().letter;
  options.host = parsed.front().host;
  options.port = parsed.front().port;
  options.moreServers.clear();
  for (size_t i = 1; i < parsed.size(); ++i)
    options.moreServers.push_back({parsed[i].host, parsed[i].port});
}

Invocation ParseCommandLine(int argc, const char* const* argv) {
  return Parser(argc, argv).Run();
}

std::string VersionText() {
#ifdef QORVIN_VERSION_TEXT
  return std::string("qorvin ") + QORVIN_VERSION_TEXT;
#else
  return "qorvin (version unknown)";
#endif
}

std::string GlobalHelp() {
  std::string out =
      "usage: qorvin [OPTIONS] SUBCOMMAND ARGS... [-- SUBCOMMAND ARGS...]...\n"
      "       qorvin [OPTIONS] -f FILE [-f FILE]... [SUBCOMMAND ARGS...]\n"
      "       qorvin [OPTIONS] < FILE      (SQL statements, each ending with ';')\n"
      "       qorvin [OPTIONS]             (on a terminal: the interactive shell)\n\n"
      "Runs operations of the Qorvin client library against a middleware server.\n"
      "Several subcommands may be given, separated by a lone --; they run in order\n"
      "and the first that fails ends the run (unless --keep-going is given).\n\n"
      "Options:\n";
  for (const OptionDef& o : GlobalOptionTable()) {
    const std::string head =
        std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : "");
    out += head + "\n";
    AppendIndented(out, o.help, "      ");
  }
  out += "  --help, -h\n      this text; after a subcommand, that subcommand's help\n";
  out += "\nSubcommands:\n";
  for (const CommandDef& s : CommandTable()) {
    std::string head = std::string("  ") + s.name;
    if (*s.params != '\0') head += std::string(" ") + s.params;
    if (s.successReturn) head += " [--success-return N]";
    if (s.op == Op::Probe) head += " [--timeout SECONDS]";
    out += head + "\n      " + s.summary + "\n";
  }
  out +=
      "\nOutput: table (aligned columns, NULL shown as --null says, then the row count),\n"
      "csv (RFC 4180, CR LF, a header record; NULL an empty field, an empty text \"\")\n"
      "or json (one object per subcommand and line: the scalars, \"fields\" and \"rows\").\n"
      "Upload files (insert-table, exec-sql-insert): CSV with a header of column names, each\n"
      "with an optional type (\"Id,Name,City:text(50),Joined:date\"; an empty field is NULL,\n"
      "\"\" an empty text), or JSON (an array of objects); - reads standard input.\n"
      "\nEnvironment: QORVIN_CONNECT (the server when --connect is not given),\n"
      "QORVIN_CLIENT_LIBRARY (where to look for the client library), QORVIN_HISTORY (the\n"
      "interactive shell's history, default ~/.qorvin_history).\n"
      "Ctrl-C (SIGINT) cancels the call in flight; the exit status is then 130.\n"
      "\nExit status: 0 success, 1 an operation reported an error (its text on stderr),\n"
      "a probe failed or the client library did not load, 2 wrong usage (nothing was sent)\n"
      "or no server could be reached (the error names its host and port), 130 interrupted.\n"
      "\nExample:\n"
      "  qorvin --connect t://127.0.0.1:8090 --keep read \"select * from Customers\" -- datetime\n";
  return out;
}

std::string CommandHelp(const CommandDef& def) {
  std::string out = "usage: " + Usage(def) + "\n\n";
  out += std::string(def.details) + "\n";
  if (def.fileParam >= 0) out += std::string("\n") + kFileHelp;
  if (def.fileParam >= 0) out += "Known types: " + FieldTypeNames() + ".\n";
  if (def.successReturn)
    out +=
        "\n  --success-return N\n      the procedure return value that counts as success "
        "(default 0)\n";
  if (def.op == Op::Probe)
    out += "\n  --timeout SECONDS\n      how long each probe may take, 1..3600 (default 5)\n";
  out += "\nExamples:\n";
  AppendIndented(out, def.examples, "  ");
  out += "\nGlobal options: see qorvin --help.\n";
  return out;
}

}  // namespace qorvin::cli
