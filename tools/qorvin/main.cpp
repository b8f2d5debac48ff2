// qorvin: the command-line host of the Qorvin client library. It loads the library
// (libQorvinClient.so, QorvinClient.dll) as any host does, makes one remote data module for the
// server given with --connect, and runs one operation per subcommand, printing each outcome as a
// table, CSV or JSON.
//
// Exit status: 0 when every subcommand succeeded; 1 when the library did not load, an operation
// reported an error (its text on standard error; later subcommands do not run unless
// --keep-going) or a probe failed; 2 for wrong usage, found before anything is sent, or when a
// call reached no server (the error names the servers' hosts and ports); 130 when
// Ctrl-C (SIGINT) stopped the program: the call in flight is cancelled, nothing of its result
// is written, and no later subcommand runs (see Interrupt.h).
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "include/qorvin/QorvinCredentials.h"
#include "include/qorvin/QorvinProgress.h"
#include "include/qorvin/QorvinServers.h"
#include "tools/qorvin/ClientLibrary.h"
#include "tools/qorvin/CommandLine.h"
#include "tools/qorvin/Interrupt.h"
#include "tools/qorvin/LineEditor.h"
#include "tools/qorvin/Operations.h"
#include "tools/qorvin/Output.h"
#include "tools/qorvin/Shell.h"
#include "tools/qorvin/SqlScript.h"
#include "tools/qorvin/Terminal.h"
#include "tools/qorvin/UploadFile.h"

namespace {

using namespace qorvin::cli;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreached =
    2;  // as for wrong usage: nothing of the failed step reached a server

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void Complain(const std::string& text) {
  Print(stderr, "qorvin: " + VisibleText(text, true) + "\n");
}

// Reads every upload file, then builds every upload, before anything is sent.
std::vector<PreparedCall> PrepareAll(const Invocation& inv, Session& session,
                                     const std::vector<Table>& uploads) {
  std::vector<PreparedCall> prepared(inv.calls.size());
  size_t next = 0;
  for (size_t i = 0; i < inv.calls.size(); ++i) {
    prepared[i].call = &inv.calls[i];
    if (inv.calls[i].def->fileParam < 0) continue;
    try {
      session.Prepare(prepared[i], uploads[next++]);
    } catch (const UsageError& e) {
      const CommandCall& c = inv.calls[i];
      throw UsageError(std::string(c.def->name) + ": '" + c.args[size_t(c.def->fileParam)] +
                       "': " + e.what());
    }
  }
  return prepared;
}

const char* FormatName(OutputFormat format) {
  return format == OutputFormat::Json ? "json" : format == OutputFormat::Csv ? "csv" : "table";
}

bool NeedsLibrary(const Invocation& inv) {
  for (const CommandCall& c : inv.calls)
    if (c.def->op != Op::Probe) return true;
  return false;
}

// The client library and one module, only when a subcommand needs them (probe needs only the
// library, and makes modules of its own).
struct Remote {
  std::unique_ptr<ClientLibrary> library;
  IRemoteDataModule* module = nullptr;
  std::unique_ptr<ProgressBoard> board;
  std::unique_ptr<Session> session;
};

// The rest of a --connect list: added through the module's server extension.
void UseMoreServers(IRemoteDataModule& module, const GlobalOptions& options) {
  IQorvinServers* servers = nullptr;
  if (module.QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)) != 0 ||
      servers == nullptr)
    throw RunError("this client library cannot use several servers");
  for (const ServerAddress& s : options.moreServers) {
    QorvinText error{};
    if (!servers->AddServer(s.host.c_str(), s.port, nullptr, &error)) {
      const std::string text = error.data ? error.data : "refused";
      qorvin_text_free(&error);
      throw UsageError("--connect: " + text);
    }
  }
  servers->SetMode(options.serverMode == ServerMode::LoadBalance ? kQorvinServersLoadBalance
                                                                 : kQorvinServersFailOver);
}

// --http-user with its password from --password-file or $QORVIN_PASSWORD (never an argument:
// others could read it in the process list), and --cacert.
void UseHttpSettings(IRemoteDataModule& module, const GlobalOptions& options) {
  if (options.letter != 'H')
    throw UsageError(std::string(options.httpUser.empty() ? "--cacert" : "--http-user") +
                     " needs an h:// server");
  IQorvinCredentials* credentials = nullptr;
  if (module.QueryInterface(&kQorvinIID_IQorvinCredentials,
                            reinterpret_cast<void**>(&credentials)) != 0 ||
      credentials == nullptr)
    throw RunError("this client library cannot send HTTP credentials");
  if (!options.caFile.empty()) {
    QorvinText error{};
    const bool set = credentials->SetTrustedCertificates(options.caFile.c_str(), &error);
    const std::string text = error.data ? std::string(error.data, size_t(error.length)) : "";
    qorvin_text_free(&error);
    if (!set) throw UsageError("--cacert: " + text);
  }
  if (options.httpUser.empty()) return;
  std::string password;
  if (!options.passwordFile.empty()) {
    std::ifstream in(options.passwordFile);
    if (!in) throw UsageError("--password-file: cannot read " + options.passwordFile);
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (const char* fromEnvironment = std::getenv("QORVIN_PASSWORD")) {
    password = fromEnvironment;
  } else {
    throw UsageError("--http-user needs a password: --password-file FILE or $QORVIN_PASSWORD");
  }
  QorvinText error{};
  const bool set = credentials->SetHttpLogin(options.httpUser.c_str(), password.c_str(), &error);
  const std::string text = error.data ? std::string(error.data, size_t(error.length)) : "";
  qorvin_text_free(&error);
  if (!set) throw UsageError("--http-user: " + text);
}

const CommandDef& CommandNamed(const char* name) {
  for (const CommandDef& def : CommandTable())
    if (std::string(name) == def.name) return def;
  throw std::logic_error(std::string("no subcommand ") + name);
}

// A statement of a script as a step: `read` when it hands back rows, else `exec-sql`.
CommandCall StatementCall(const Statement& statement, const std::string& source) {
  CommandCall call;
  call.def = &CommandNamed(ReturnsRows(statement.text) ? "read" : "exec-sql");
  call.args = {statement.text};
  if (!source.empty()) call.origin = source + ":" + std::to_string(statement.line);
  return call;
}

// The statements of every script, in order, read and split before anything is sent.
std::vector<CommandCall> ScriptCalls(const std::vector<std::string>& files) {
  std::vector<CommandCall> calls;
  for (const std::string& file : files) {
    const std::string source = file == "-" ? "stdin" : file;
    StatementSplitter splitter;
    std::vector<Statement> statements = splitter.Feed(ReadInputFile(file));
    for (Statement& s : splitter.Finish(source)) statements.push_back(std::move(s));
    for (const Statement& s : statements) calls.push_back(StatementCall(s, source));
  }
  return calls;
}

int Interrupted() {
  Complain("interrupted");
  return kExitInterrupted;
}

// Loads the library and makes the module, its settings and the session; Ctrl-C cancels its calls.
void OpenRemote(Remote& remote, const GlobalOptions& options, InterruptWatch& watch,
                bool drawProgress) {
  remote.library = std::make_unique<ClientLibrary>(options.library);
  remote.module = remote.library->CreateModule(options.letter, options.host, options.port);
  if (!options.moreServers.empty()) UseMoreServers(*remote.module, options);
  if (!options.httpUser.empty() || !options.caFile.empty())
    UseHttpSettings(*remote.module, options);
  remote.board = std::make_unique<ProgressBoard>(drawProgress);
  IQorvinProgress* progress = nullptr;
  if (remote.module->QueryInterface(&kQorvinIID_IQorvinProgress,
                                    reinterpret_cast<void**>(&progress)) == 0) {
    progress->SetTimeouts(options.connectTimeoutMs, options.callTimeoutMs);
    watch.SetTarget(progress);
    remote.board->SetProgress(progress);
  }
  remote.module->SetOnStatus(QorvinStatusCallback{&ProgressBoard::OnStatus, remote.board.get()});
  remote.session = std::make_unique<Session>(options, *remote.module, *remote.board);
}

// Lets go of the module's kept connection and its status callback.
void CloseRemote(Remote& remote, const GlobalOptions& options) {
  if (!remote.module) return;
  if (options.keep) remote.module->SetKeepConnection(false);  // closes the kept connection
  remote.module->SetOnStatus(QorvinStatusCallback{nullptr, nullptr});
}

constexpr int kStepInterrupted = -1;

// Runs one operation of the module and writes its outcome after `lead`: 0 when it succeeded, its
// exit status when it failed, kStepInterrupted (nothing written) when Ctrl-C cancelled it.
int RunModuleStep(Remote& remote, PreparedCall& prepared, const GlobalOptions& options,
                  const std::string& lead, const InterruptWatch& watch) {
  const CommandCall& call = *prepared.call;
  const Outcome o = remote.session->Run(prepared);
  if (watch.Interrupted()) return kStepInterrupted;  // a cancelled call's result is not written
  OutputSink out{lead, [](const std::string& text) { Print(stdout, text); }};
  std::string note;
  Render(options.format, o, out, note,
         RenderOptions{options.nullText, options.tuplesOnly, options.expanded, options.delimiter});
  Print(stdout, out.text);
  if (!note.empty()) Print(stderr, note);
  if (!o.failed) return 0;
  Complain((call.origin.empty() ? o.command : call.origin) + ": " + o.error);
  return o.unreached ? kExitUnreached : kExitFailed;
}

// The interactive shell on the terminal (Shell.h): each statement runs as it is completed.
int RunInteractive(const GlobalOptions& options, bool drawProgress) {
  std::string why;
  const std::unique_ptr<LineEditor> editor = LineEditor::Open(HistoryFile(), why);
  if (!editor) throw UsageError("no subcommand given; " + why);
  InterruptWatch watch;  // before the library starts any thread
  watch.SetIdleAction([&editor] { editor->Interrupt(); });
  Remote remote;
  OpenRemote(remote, options, watch, drawProgress);
  if (options.keep) remote.module->SetKeepConnection(true);
  Print(stdout, VersionText() + ", server " + ServersText(options) +
                    ". Statements end with ';'; \\? lists the commands, \\q quits.\n");
  const auto lineCancelled = [&watch] { watch.Reset(); };
  RunShell(*editor, lineCancelled, [&](const Statement& statement) {
    CommandCall call = StatementCall(statement, "");
    PreparedCall prepared;
    prepared.call = &call;
    try {
      if (RunModuleStep(remote, prepared, options, "", watch) == kStepInterrupted ||
          watch.Interrupted())
        Complain("cancelled");
    } catch (const RunError& e) {  // a value that cannot be shown: the shell goes on
      Complain(e.what());
    }
    watch.Reset();  // the next Ctrl-C is a first one again
  });
  CloseRemote(remote, options);
  return 0;
}

int RunAll(const Invocation& inv, bool drawProgress) {
  InterruptWatch watch;  // before the library starts any thread
  std::vector<Table> uploads;
  for (const CommandCall& c : inv.calls)
    if (c.def->fileParam >= 0)
      uploads.push_back(ReadUploadFile(c.args[size_t(c.def->fileParam)], inv.options.delimiter));

  const GlobalOptions& options = inv.options;
  Remote remote;
  std::vector<PreparedCall> prepared(inv.calls.size());
  for (size_t i = 0; i < inv.calls.size(); ++i) prepared[i].call = &inv.calls[i];
  if (NeedsLibrary(inv)) {
    OpenRemote(remote, options, watch, drawProgress);
    prepared = PrepareAll(inv, *remote.session, uploads);
  }
  uploads.clear();
  if (watch.Interrupted()) return Interrupted();

  if (options.keep && remote.module) remote.module->SetKeepConnection(true);
  int status = 0;
  for (size_t i = 0; i < prepared.size() && !watch.Interrupted(); ++i) {
    const CommandCall& call = *prepared[i].call;
    // What goes before a result; written with it, once the step is done.
    std::string lead;
    if (prepared.size() > 1 && options.format == OutputFormat::Table)
      lead = (i > 0 ? "\n" : "") + (call.origin.empty() ? std::string("[") + std::to_string(i + 1) +
                                                              "] " + call.def->name + "\n"
                                                        : std::string());
    if (i > 0 && options.format == OutputFormat::Csv) lead = "\r\n";
    int failed = 0;  // the step's exit status when it failed
    if (call.def->op == Op::Probe) {
      if (!remote.library) remote.library = std::make_unique<ClientLibrary>(options.library);
      const std::vector<ProbeResult> results =
          ProbeAll(*remote.library, call.probes, call.probeTimeoutMs);
      if (watch.Interrupted()) break;
      Print(stdout, lead + RenderProbes(results, FormatName(options.format), options.delimiter));
      size_t down = 0;
      for (const ProbeResult& r : results) down += r.ok ? 0 : 1;
      if (down > 0) {
        Complain("probe: " + std::to_string(down) + " of " + std::to_string(results.size()) +
                 " server" + (results.size() == 1 ? "" : "s") + " did not answer PROBEDOK");
        failed = kExitFailed;
      }
    } else {
      failed = RunModuleStep(remote, prepared[i], options, lead, watch);
      if (failed == kStepInterrupted) break;
    }
    if (failed != 0) {
      status = std::max(status, failed);
      if (!options.keepGoing) break;
    }
  }
  CloseRemote(remote, options);
  if (watch.Interrupted()) return Interrupted();
  return status;
}

int Main(int argc, char** argv) {
  const bool drawProgress = PrepareConsole();
  try {
    Invocation inv = ParseCommandLine(argc, argv);
    if (!inv.help.empty()) {
      Print(stdout, inv.help);
      return 0;
    }
    // Without a subcommand or a script, the statements come from standard input.
    const bool fromInput = inv.calls.empty() && inv.options.files.empty();
    if (fromInput && StandardInputIsTerminal()) {
      if (inv.options.letter == 0)
        throw UsageError(
            "no subcommand given, and no server for the interactive shell: use "
            "--connect h://HOST:PORT (or t://, b://, u://) or $QORVIN_CONNECT");
      return RunInteractive(inv.options, drawProgress);
    }
    std::vector<CommandCall> steps =
        ScriptCalls(fromInput ? std::vector<std::string>{"-"} : inv.options.files);
    if (fromInput && steps.empty())
      throw UsageError("no subcommand given, and no SQL statement on standard input");
    steps.insert(steps.end(), inv.calls.begin(), inv.calls.end());
    inv.calls = std::move(steps);
    if (inv.calls.empty()) return 0;  // scripts without a statement
    if (inv.options.letter == 0 && NeedsLibrary(inv))
      throw UsageError("no server given: use --connect h://HOST:PORT (or t://, b://, u://)");
    return RunAll(inv, drawProgress);
  } catch (const UsageError& e) {
    Complain(e.what());
    Print(stderr, "Try 'qorvin --help'.\n");
    return kExitUsage;
  } catch (const RunError& e) {
    Complain(e.what());
    return kExitFailed;
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Arguments, files and the library's 8-bit text all use the terminal's code set: the locale's
  // character type, and nothing else of it. Numbers keep their decimal point whatever the
  // locale's number format (a decimal comma would break CSV and JSON output, and text the library
  // turns into numbers), and the locale's other parts are not loaded at every start.
  std::setlocale(LC_CTYPE, "");
  // Modules live until the process ends, so the library is never unloaded by this program; its
  // end runs at process exit.
  return Main(argc, argv);
}
