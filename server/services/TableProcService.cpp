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
#include "platform/rtl/Text.h"
#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"

namespace qorvin::server {
namespace {

void ExecProcInsertTable(ServerState& state, Call& call) {
  std::string user = call.ReadAnsi("aUserID");
  call.ReadAnsi("aHDHSerialNumber");
  auto inData = call.ReadBinary("aInData");
  std::string procName = call.ReadAnsi("aProcName");
  int32_t successValue = call.ReadInteger("aSuccessReturnValue");
  call.Note("user=" + user + " proc=" + procName);

  std::optional<ResultTable> upload = BlobToResultTable(*inData);
  ResultTable rows = upload ? std::move(*upload) : ResultTable{};
  auto proc = state.Procedures().Find(procName);

  ResultTable outcome;
  outcome.columns = {{"RowNo", ftInteger, 0, 0},
                     {"ReturnValue", ftInteger, 0, 0},
                     {"ErrorText", ftWideString, 1, 0}};
  int32_t successes = 0;
  auto lease = state.Pool(kTableProcService)->Acquire();
  for (size_t r = 0; r < rows.rows.size(); ++r) {
    std::vector<NamedValue> args;
    for (size_t c = 0; c < rows.columns.size() && c < rows.rows[r].size(); ++c)
      args.push_back({proc->declared ? rows.columns[c].name : std::string(), rows.rows[r][c]});
    Variant returned = Variant::Null();
    std::u16string error;
    try {
      BatchRunner runner(*lease, &state.Procedures(), state.Batch(false));
      CallResult result = runner.CallProcedure(procName, args, true);
      returned = Variant::Integer(int32_t(result.returnValue));
      if (result.returnValue == successValue) ++successes;
    } catch (const Exception& e) {
      error = Utf8ToUtf16(e.Message());
    }
    outcome.columns[2].size = std::max<uint32_t>(outcome.columns[2].size, uint32_t(error.size()));
    outcome.rows.push_back(
        {Variant::Integer(int32_t(r + 1)), returned, Variant::OleStr(std::move(error))});
  }
  std::string blob = ResultTableToBlob(outcome);
  call.Note("rows=" + std::to_string(rows.rows.size()) + " ok=" + std::to_string(successes));
  call.BeginReply();
  call.WriteInteger("Result", 1);
  call.WriteBinary("aOutData", blob);
  call.WriteInteger("aSuccessCount", successes);
}

}  // namespace

void RegisterTableProcService(ServiceHost& host, ServerState& state) {
  ServerState* st = &state;
  host.Register(kTableProcService, "ExecProcInsertTable",
                [st](Call& c) { ExecProcInsertTable(*st, c); });
}

}  // namespace qorvin::server
