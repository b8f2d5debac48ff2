// qorvin: the command-line host of the Qorvin client library. It loads libQorvinClient.so with
// dlopen, makes one remote data module for the server given with --connect, and runs one
// operation per subcommand, printing each outcome as a table, CSV or JSON.
//
// Exit status: 0 when every subcommand succeeded; 1 when the library did not load or an
// operation reported an error (its text on standard error; later subcommands do not run);
// 2 for wrong usage, found before anything is sent.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tools/qorvin/ClientLibrary.h"
#include "tools/qorvin/CommandLine.h"
#include "tools/qorvin/Operations.h"
#include "tools/qorvin/Output.h"
#include "tools/qorvin/UploadFile.h"

namespace {

using namespace qorvin::cli;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void Complain(const std::string& text) {
  Print(stderr, "qorvin: " + VisibleText(text, true) + "\n");
}

Rendered Render(OutputFormat format, const Outcome& o) {
  switch (format) {
    case OutputFormat::Csv:
      return RenderCsv(o);
    case OutputFormat::Json:
      return RenderJson(o);
    default:
      return RenderTable(o);
  }
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

int RunAll(const Invocation& inv) {
  std::vector<Table> uploads;
  for (const CommandCall& c : inv.calls)
    if (c.def->fileParam >= 0) uploads.push_back(ReadUploadFile(c.args[size_t(c.def->fileParam)]));

  const GlobalOptions& options = inv.options;
  ClientLibrary library(options.library);
  IRemoteDataModule* module = library.CreateModule(options.letter, options.host, options.port);
  ProgressBoard board(isatty(2) != 0);
  module->SetOnStatus(QorvinStatusCallback{&ProgressBoard::OnStatus, &board});
  Session session(options, *module, board);
  std::vector<PreparedCall> prepared = PrepareAll(inv, session, uploads);
  uploads.clear();

  if (options.keep) module->SetKeepConnection(true);
  int status = 0;
  for (size_t i = 0; i < prepared.size(); ++i) {
    const Outcome o = session.Run(prepared[i]);
    if (prepared.size() > 1 && options.format == OutputFormat::Table)
      Print(stdout, (i > 0 ? "\n" : "") + std::string("[") + std::to_string(i + 1) + "] " +
                        o.command + "\n");
    if (i > 0 && options.format == OutputFormat::Csv) Print(stdout, "\r\n");
    const Rendered r = Render(options.format, o);
    Print(stdout, r.out);
    if (!r.note.empty()) Print(stderr, r.note);
    if (o.failed) {
      Complain(o.command + ": " + o.error);
      status = kExitFailed;
      break;
    }
  }
  if (options.keep) module->SetKeepConnection(false);  // closes the kept connection
  module->SetOnStatus(QorvinStatusCallback{nullptr, nullptr});
  return status;
}

int Main(int argc, char** argv) {
  try {
    const Invocation inv = ParseCommandLine(argc, argv);
    if (!inv.help.empty()) {
      Print(stdout, inv.help);
      return 0;
    }
    if (inv.options.letter == 0)
      throw UsageError("no server given: use --connect h://HOST:PORT (or t://, b://, u://)");
    return RunAll(inv);
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
  // Arguments, files and the library's 8-bit text all use the terminal's code set.
  std::setlocale(LC_ALL, "");
  // Modules live until the process ends, so the library is never unloaded by this program; its
  // end runs at process exit.
  return Main(argc, argv);
}
