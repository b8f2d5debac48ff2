// ExecSqlService: SQL batches, procedures and reads. The meaning of each operation is in
// docs/server.md; in short:
//
//   GetDateTime               the server's clock
//   SynchExecSQL              run a batch; Result 1
//   SynchExecProc             run a batch (usually "exec Name args"); Result = RETURN value of
//                             the last procedure the batch called at its top level, else 1
//   SynchExecProcOutput       as SynchExecProc; aOutputParam = that procedure's first output
//                             parameter as text
//   SynchReadData             run a batch; aOutData = its first result set; Result 1
//   SynchReadTwoData          two batches one after the other; first result set of each
//   SynchExecProcReadTwoData  as SynchReadTwoData, both batches in one transaction; Result as
//                             SynchExecProc for the first batch
//   SynchExecProcBatchBuild   run a query, call a procedure once per row of its first result set
//                             (one transaction); Result = calls made
//   SynchExecInsert           insert uploaded rows into a table, key column set to a value
//                             (one transaction); Result = rows inserted
//   SynchExecSQLInsert        run a batch, then insert uploaded rows, key column set to the
//                             batch's first value (one transaction); Result = rows inserted
//
// "aUserId" and "aHDHSerialNumber" are logged, not checked. Every failure is an exception reply;
// an operation that runs in one transaction leaves nothing behind when it fails.
#include "messaging/uROExceptions.h"
#include "platform/rtl/Text.h"
#include "server/db/DateTimeText.h"
#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"
#include "server/services/TableInsert.h"

namespace qorvin::server {
namespace {

struct Identity {
  std::string user;
  std::string serial;
};

Identity ReadIdentity(Call& call, const char* userName = "aUserId") {
  Identity id;
  id.user = call.ReadAnsi(userName);
  id.serial = call.ReadAnsi("aHDHSerialNumber");
  call.NoteUser(id.user);
  return id;
}

// The blob of the result set at `index`, or an empty stream when there is none. The result set
// is used up (its rows freed as they are written).
// The blob of result set `index` (empty when there is none); `held` grows by about the bytes
// its rows held.
std::string BlobAt(BatchOutcome& o, size_t index, size_t& held) {
  if (index >= o.resultSets.size()) return {};
  ResultTable& table = o.resultSets[index];
  held += table.packed ? table.packed->ByteSize()
                       : table.rows.size() * table.columns.size() * sizeof(Variant);
  std::string blob = TakeResultTableBlob(std::move(table));
  held += blob.size();
  return blob;
}

int32_t ProcedureResult(bool called, int64_t returnValue) {
  return called ? int32_t(returnValue) : 1;
}

BatchOptions Options(ServerState& state, bool atomic, bool packRows) {
  BatchOptions options = state.Batch(atomic);
  options.limits.packRows = packRows;
  return options;
}

// One operation's session and runner. With `packRows`, result sets keep their rows packed: for
// operations that only send them as blobs.
struct Work {
  // The session runs as the call's HTTP user (role, read-only), if it has one.
  Work(ServerState& state, const Call& call, bool atomic, bool packRows = false)
      : user(SessionUserOf(call.Info())),
        lease(state.Pool(kExecSqlService)->Acquire(&user)),
        runner(*lease, &state.Procedures(), Options(state, atomic, packRows)) {}
  SessionUser user;
  SessionPool::Lease lease;
  BatchRunner runner;
};

void SynchExecSQL(ServerState& state, Call& call) {
  ReadIdentity(call);
  std::string sql = call.ReadWide("aSqlCommand");
  Work w(state, call, false);
  w.runner.Run(sql);
  call.BeginReply();
  call.WriteInteger("Result", 1);
}

void SynchExecProc(ServerState& state, Call& call, bool output) {
  ReadIdentity(call);
  std::string sql = call.ReadWide("aSqlCommand");
  Work w(state, call, false);
  w.runner.Run(sql);
  const BatchOutcome& o = w.runner.Outcome();
  call.BeginReply();
  call.WriteInteger("Result", ProcedureResult(o.procedureCalled, o.returnValue));
  if (output) call.WriteAnsi("aOutputParam", VariantToText(o.outputValue));
}

void SynchReadData(ServerState& state, Call& call) {
  ReadIdentity(call);
  std::string sql = call.ReadWide("aSqlCommand");
  std::string blob;
  size_t held = 0;
  {
    Work w(state, call, false, true);
    w.runner.Run(sql);
    blob = BlobAt(w.runner.Outcome(), 0, held);
  }
  call.BeginReply();
  call.WriteInteger("Result", 1);
  call.WriteBlob("aOutData", blob);
  std::string().swap(blob);
  ReleaseFreeMemory(held);
}

void ReadTwo(ServerState& state, Call& call, bool oneTransaction) {
  ReadIdentity(call);
  std::string sql = call.ReadWide("aSqlCommand");
  std::string sql2 = call.ReadWide("aSqlCommand2");
  std::string blob1, blob2;
  bool called = false;
  int64_t returned = 0;
  size_t held = 0;
  {
    Work w(state, call, oneTransaction, true);
    w.runner.Run(sql);
    BatchOutcome& o = w.runner.Outcome();
    size_t second = o.resultSets.size();
    called = o.procedureCalled;
    returned = o.returnValue;
    w.runner.Run(sql2);
    w.runner.Finish();
    if (second > 0) blob1 = BlobAt(o, 0, held);
    blob2 = BlobAt(o, second, held);
  }
  call.BeginReply();
  call.WriteInteger("Result", oneTransaction ? ProcedureResult(called, returned) : 1);
  call.WriteBlob("aOutData", blob1);
  call.WriteBlob("aOutData2", blob2);
  std::string().swap(blob1);
  std::string().swap(blob2);
  ReleaseFreeMemory(held);
}

void SynchExecProcBatchBuild(ServerState& state, Call& call) {
  ReadIdentity(call);
  std::string sql = call.ReadWide("aSqlCommand");
  std::string procName = call.ReadWide("aProcName");
  auto proc = state.Procedures().Find(procName);
  Work w(state, call, true);
  w.runner.Run(sql);
  if (w.runner.Outcome().resultSets.empty())
    throw EDatabaseError("The query given to SynchExecProcBatchBuild returned no result set");
  ResultTable rows = std::move(w.runner.Outcome().resultSets[0]);
  int32_t calls = 0;
  for (const auto& row : rows.rows) {
    std::vector<NamedValue> args;
    for (size_t i = 0; i < row.size(); ++i)
      args.push_back({proc->declared ? rows.columns[i].name : std::string(), row[i]});
    w.runner.CallProcedure(*proc, args, true);
    ++calls;
  }
  w.runner.Finish();
  call.BeginReply();
  call.WriteInteger("Result", calls);
}

// Frees an upload's rows and blob when the call ends, failed or not, and gives a large upload's
// memory back to the system as a large read's is.
struct UploadHeld {
  std::unique_ptr<TROBinaryMemoryStream>& blob;
  std::optional<UploadedRows>& rows;
  ~UploadHeld() {
    const size_t held = (blob ? size_t(blob->Size()) : 0) +
                        (rows ? rows->Count() * rows->Columns().size() * 16 : 0);
    rows.reset();
    blob.reset();
    ReleaseFreeMemory(held);
  }
};

void SynchExecInsert(ServerState& state, Call& call) {
  ReadIdentity(call);
  auto inData = call.ReadBinary("aInData");
  std::string table = call.ReadAnsi("aTableName");
  std::string key = call.ReadAnsi("aPrimaryKey");
  std::string value = call.ReadAnsi("aPrimaryValue");
  std::optional<UploadedRows> rows;
  const UploadHeld held{inData, rows};
  rows.emplace(*inData, state.UploadMemory());
  Work w(state, call, true);
  int64_t n = InsertRows(*w.lease, state.Config().batch.limits, table, *rows, key,
                         Variant::OleStr(Utf8ToUtf16(value)));
  w.runner.Finish();
  call.BeginReply();
  call.WriteInteger("Result", int32_t(n));
}

void SynchExecSQLInsert(ServerState& state, Call& call) {
  ReadIdentity(call);
  std::string sql = call.ReadWide("aSQLCommand");
  auto inData = call.ReadBinary("aInData");
  std::string table = call.ReadAnsi("aTableName");
  std::string key = call.ReadAnsi("aPrimaryKey");
  std::optional<UploadedRows> rows;
  const UploadHeld held{inData, rows};
  rows.emplace(*inData, state.UploadMemory());
  Work w(state, call, true);
  w.runner.Run(sql);
  Variant keyValue;
  if (!key.empty()) {
    const auto& sets = w.runner.Outcome().resultSets;
    if (sets.empty() || sets[0].rows.empty() || sets[0].rows[0].empty())
      throw EDatabaseError("SynchExecSQLInsert: the command returned no value for the key column " +
                           key);
    keyValue = sets[0].rows[0][0];
  }
  int64_t n = InsertRows(*w.lease, state.Config().batch.limits, table, *rows, key, keyValue);
  w.runner.Finish();
  call.BeginReply();
  call.WriteInteger("Result", int32_t(n));
}

}  // namespace

void RegisterExecSqlService(ServiceHost& host, ServerState& state) {
  const std::string s = kExecSqlService;
  ServerState* st = &state;
  // The clock needs no database: answered on the I/O thread that read the request.
  host.Register(
      s, "GetDateTime",
      [](Call& call) {
        call.BeginReply();
        call.WriteDateTime("Result", NowOleDate());
      },
      Runs::AtOnce);
  host.Register(s, "SynchExecSQL", [st](Call& c) { SynchExecSQL(*st, c); });
  host.Register(s, "SynchExecProc", [st](Call& c) { SynchExecProc(*st, c, false); });
  host.Register(s, "SynchExecProcOutput", [st](Call& c) { SynchExecProc(*st, c, true); });
  host.Register(s, "SynchReadData", [st](Call& c) { SynchReadData(*st, c); });
  host.Register(s, "SynchReadTwoData", [st](Call& c) { ReadTwo(*st, c, false); });
  host.Register(s, "SynchExecProcReadTwoData", [st](Call& c) { ReadTwo(*st, c, true); });
  host.Register(s, "SynchExecProcBatchBuild", [st](Call& c) { SynchExecProcBatchBuild(*st, c); });
  host.Register(s, "SynchExecInsert", [st](Call& c) { SynchExecInsert(*st, c); });
  host.Register(s, "SynchExecSQLInsert", [st](Call& c) { SynchExecSQLInsert(*st, c); });
}

}  // namespace qorvin::server
