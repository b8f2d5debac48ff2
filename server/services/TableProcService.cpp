// TableProcService.ExecProcInsertTable: the uploaded rows go through the named procedure one
// by one, each call on its own (a failing row does not undo the others).
//
// Arguments: a procedure that declares parameters receives each row's columns by name (columns
// without a parameter of their name are left out; parameters without a column take their
// default); one that declares none receives the columns by position as @p1, @p2, ...
//
// Reply: Result 1 once every row has been tried; aSuccessCount = rows whose call returned
// aSuccessReturnValue; aOutData = one row per uploaded row, in order:
//   RowNo        integer   1-based position of the uploaded row
//   ReturnValue  integer   what the procedure returned (NULL when the call failed)
//   ErrorText    text      the failure's message ("" when the call succeeded)
// A missing procedure or an unreadable upload fails the whole call before any row runs.
//
// A procedure that is one INSERT, UPDATE or DELETE (optionally followed by RETURN of a number)
// runs for many rows at once: the rows' statements go to the database together in one
// transaction, each under its own savepoint (ISession::ExecuteEach), in slices of kSliceRows
// rows; the next slice's statements are written while the database runs the current one. A
// failing row still undoes only itself and reports its own error; the rows become visible to
// others when their slice commits rather than one by one.
#include <algorithm>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/rtl/Text.h"
#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"

namespace qorvin::server {
namespace {

constexpr size_t kSliceRows = 2000;

struct RowOutcome {
  Variant returned = Variant::Null();
  std::u16string error;
};

// A procedure's arguments for the uploaded rows, one row at a time: the columns by name (or by
// position, for a procedure that declares no parameters), their values those of the current row.
class RowArgs {
 public:
  RowArgs(UploadedRows& rows, bool byName) : rows_(rows) {
    for (const ResultColumn& c : rows.Columns())
      args_.push_back({byName ? c.name : std::string(), Variant::Null()});
  }
  // The next row's arguments; null after the last row.
  const std::vector<NamedValue>* Next() {
    if (!rows_.Next(values_)) return nullptr;
    for (size_t c = 0; c < args_.size(); ++c) args_[c].value = std::move(values_[c]);
    return &args_;
  }

 private:
  UploadedRows& rows_;
  std::vector<NamedValue> args_;
  std::vector<Variant> values_;
};

// The statements of one slice of rows, and the row each belongs to.
struct Slice {
  std::vector<RowStatement> statements;
  std::vector<size_t> rowOf;
};

// Plans rows [first, end) (the next rows of `args`) into `slice`; a row whose arguments cannot be
// bound or written in gets its error in `out`. False when the procedure is not of the
// one-statement form (then nothing is planned).
bool PlanSlice(BatchRunner& planner, const Procedure& proc, RowArgs& args, size_t first, size_t end,
               std::vector<RowOutcome>& out, Slice& slice) {
  for (size_t r = first; r < end; ++r) {
    const std::vector<NamedValue>* row = args.Next();
    if (!row) throw EDatabaseError("The uploaded rows ended early");
    try {
      std::optional<SimpleCall> call = planner.PlanSimpleCall(proc, *row, true);
      if (!call) return false;
      slice.statements.push_back(std::move(call->statement));
      slice.rowOf.push_back(r);
      out[r].returned = Variant::Integer(call->returnValue);
    } catch (const Exception& e) {
      out[r].error = Utf8ToUtf16(e.Message());
    }
  }
  return true;
}

// The rows through a one-statement procedure, together. False (nothing run) when the procedure
// is not of that form. While the database runs one slice, the next is planned on a thread of its
// own (planning touches neither the session nor the rows' outcomes of the running slice).
bool RunTogether(ServerState& state, ISession& session, const Procedure& proc, UploadedRows& rows,
                 std::vector<RowOutcome>& out) {
  BatchRunner planner(session, &state.Procedures(), state.Batch(false));
  RowArgs args(rows, proc.declared);
  const size_t count = rows.Count();
  Slice current;
  if (!PlanSlice(planner, proc, args, 0, std::min(count, kSliceRows), out, current)) return false;
  for (size_t first = 0; first < count; first += kSliceRows) {
    const size_t next = first + kSliceRows;
    Slice following;
    std::future<bool> planned;  // declared after `following`: waited for before it goes
    if (next < count) {
      auto plan = [&, next] {
        return PlanSlice(planner, proc, args, next, std::min(count, next + kSliceRows), out,
                         following);
      };
      try {
        planned = std::async(std::launch::async, plan);
      } catch (const std::system_error&) {
        planned = std::async(std::launch::deferred, plan);  // no thread to be had: planned below
      }
    }
    if (!current.statements.empty()) {
      std::vector<std::optional<std::string>> errors =
          session.ExecuteEach(current.statements, state.Batch(false).limits);
      for (size_t i = 0; i < errors.size(); ++i) {
        if (!errors[i]) continue;
        out[current.rowOf[i]].returned = Variant::Null();
        out[current.rowOf[i]].error = Utf8ToUtf16(*errors[i]);
      }
    }
    if (planned.valid() && !planned.get())
      throw EDatabaseError("Procedure " + proc.name + " changed its form during the upload");
    current = std::move(following);
  }
  return true;
}

void ExecProcInsertTable(ServerState& state, Call& call) {
  std::string user = call.ReadAnsi("aUserID");
  call.ReadAnsi("aHDHSerialNumber");
  auto inData = call.ReadBinary("aInData");
  std::string procName = call.ReadAnsi("aProcName");
  int32_t successValue = call.ReadInteger("aSuccessReturnValue");
  call.NoteUser(user);
  call.Note("proc=" + procName);

  auto rows = std::make_unique<UploadedRows>(*inData, state.UploadMemory());
  const size_t count = rows->Count();
  auto proc = state.Procedures().Find(procName);

  int32_t successes = 0;
  const SessionUser sessionUser = SessionUserOf(call.Info());
  auto lease = state.Pool(kTableProcService)->Acquire(&sessionUser);
  std::vector<RowOutcome> results(count);
  // Looked up once for every row: the rows run the procedure as it was when the call came.
  if (!RunTogether(state, *lease, *proc, *rows, results)) {
    results.assign(count, RowOutcome{});
    rows->Rewind();
    RowArgs args(*rows, proc->declared);
    for (size_t r = 0; r < count; ++r) {
      const std::vector<NamedValue>* row = args.Next();
      if (!row) throw EDatabaseError("The uploaded rows ended early");
      try {
        BatchRunner runner(*lease, &state.Procedures(), state.Batch(false));
        CallResult result = runner.CallProcedure(*proc, *row, true);
        results[r].returned = Variant::Integer(int32_t(result.returnValue));
      } catch (const Exception& e) {
        results[r].error = Utf8ToUtf16(e.Message());
      }
    }
  }
  // The reply's table: RowNo and ReturnValue integer, ErrorText text as long as the longest
  // error (at least 1). Its rows are packed and streamed into the blob, as a read's are.
  ResultBuilder outcome(INT64_MAX, INT64_MAX);
  outcome.AddColumn("RowNo", ColumnKind::Integer);
  outcome.AddColumn("ReturnValue", ColumnKind::Integer);
  outcome.AddColumn("ErrorText", ColumnKind::Text, 1);
  for (size_t r = 0; r < count; ++r) {
    RowOutcome& o = results[r];
    if (!o.returned.IsNull() && o.returned.AsIntegerValue() == successValue) ++successes;
    outcome.BeginRow();
    outcome.AddInt(int64_t(r + 1));
    if (o.returned.IsNull())
      outcome.AddNull();
    else
      outcome.AddInt(o.returned.AsIntegerValue());
    outcome.AddCell(Variant::OleStr(std::move(o.error)));
  }
  results = {};
  std::string blob = TakeResultTableBlob(outcome.Finish(true));
  call.Note("rows=" + std::to_string(count) + " ok=" + std::to_string(successes));
  call.BeginReply();
  call.WriteInteger("Result", 1);
  call.WriteBlob("aOutData", blob);
  call.WriteInteger("aSuccessCount", successes);
  // The uploaded rows are freed by now; a large upload's memory goes back as a large read's does.
  const size_t held = size_t(inData->Size()) + blob.size() +
                      rows->Count() * rows->Columns().size() * sizeof(Variant);
  inData.reset();
  rows.reset();
  std::string().swap(blob);
  ReleaseFreeMemory(held);
}

}  // namespace

void RegisterTableProcService(ServiceHost& host, ServerState& state) {
  ServerState* st = &state;
  host.Register(kTableProcService, "ExecProcInsertTable",
                [st](Call& c) { ExecProcInsertTable(*st, c); });
}

}  // namespace qorvin::server
