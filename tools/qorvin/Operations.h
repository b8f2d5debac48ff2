// Running subcommands on one remote data module.
//
// A Session belongs to one invocation and one module; it is used from the main thread only.
// Uploads are prepared (files read, record sets built) for every subcommand before the first
// one runs, so a bad file stops the invocation before anything is sent.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "include/qorvin/QorvinClient.h"
#include "include/qorvin/QorvinPieces.h"
#include "tools/qorvin/CommandLine.h"
#include "tools/qorvin/HostTypes.h"
#include "tools/qorvin/Outcome.h"
#include "tools/qorvin/Progress.h"

namespace qorvin::cli {

// A subcommand ready to run, with its upload built when it has a FILE.
struct PreparedCall {
  const CommandCall* call = nullptr;
  RecordSetPtr dataSet;  // insert-table-dataset sends this record set
  HostPacket packet;     // insert-table and exec-sql-insert send this packet
};

class Session {
 public:
  // `module` and `board` outlive the session; the board is the module's status-callback object.
  Session(const GlobalOptions& options, IRemoteDataModule& module, ProgressBoard& board);

  // Builds the upload of `prepared` from `table`. UsageError for a value that does not fit
  // its column; RunError when the library refuses the record set.
  void Prepare(PreparedCall& prepared, const Table& table);

  // Runs one subcommand. Never throws for a failure of the operation: the outcome says so.
  Outcome Run(PreparedCall& prepared);

 private:
  void Command(const CommandCall& c, Outcome& o);
  void ExecProcOutput(const CommandCall& c, Outcome& o);
  void Read(const CommandCall& c, Outcome& o);
  // Read with the rows written as they come (csv and json output, when the library reads in
  // pieces): the outcome's rows are read while the call runs on a thread of its own.
  void ReadInPieces(const CommandCall& c, Outcome& o);
  void ReadDataSet(const CommandCall& c, Outcome& o);
  void ReadTwo(const CommandCall& c, Outcome& o);
  void InsertTable(PreparedCall& p, Outcome& o);
  void InsertTableDataSet(PreparedCall& p, Outcome& o);
  void ExecSqlInsert(PreparedCall& p, Outcome& o);
  void DateTime(Outcome& o);
  // ReadPacket; a packet that does not load fails with the library's text, which gives the reason.
  std::shared_ptr<RowSource> Rows(const QorvinDataPacket& packet);

  // Runs `call` with the progress line, then marks `o` failed when the module reported a
  // failure, taking the text from `error` (or the module's last error text).
  void Remote(Outcome& o, const HostText* error, const std::function<void()>& call);

  const GlobalOptions& options_;
  IRemoteDataModule& module_;
  IQorvinDataSetFactory& factory_;
  IQorvinPieceReader* pieceReader_ = nullptr;  // null: the library has no piece reads
  ProgressBoard& board_;
};

// The servers of `options` for messages: "HOST:PORT" ("[::1]:8090"), a list separated by ", ".
std::string ServersText(const GlobalOptions& options);

// "YYYY-MM-DD HH:MM:SS" (".fff" when there are milliseconds) of a date-time counted in days
// since 1899-12-30, the fraction being the time of day.
std::string FormatDateTime(double days);

}  // namespace qorvin::cli
