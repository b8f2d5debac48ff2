// The subcommands of `qorvin`: one per operation of the remote data module.
#include "tools/qorvin/CommandLine.h"

namespace qorvin::cli {

const std::vector<CommandSpec>& CommandSpecs() {
  static const std::vector<CommandSpec> kSpecs = {
      {Op::ExecSql, "exec-sql", "SQL", -1, false, false, "run SQL text that returns no rows",
       "Runs SQL on the server (SynchExecSQL) and shows the integer result the server\n"
       "returns. The result is the server's own value: 0 or a negative number is not an\n"
       "error; only a failed call is.",
       "qorvin --connect t://127.0.0.1:8099 exec-sql \"update item set price = 2 where id = 1\""},
      {Op::ExecProc, "exec-proc", "SQL", -1, false, false, "run a stored procedure call",
       "Runs a stored procedure call on the server (SynchExecProc) and shows its result.",
       "qorvin --connect h://localhost:8099 exec-proc \"exec touch_item 1\""},
      {Op::ExecProcOutput, "exec-proc-output", "SQL", -1, false, false,
       "run a stored procedure and show its output parameter",
       "Runs a stored procedure call (SynchExecProcOutput) and shows its result and the\n"
       "output parameter the server sends back, as text (empty when it sent none).",
       "qorvin --connect t://127.0.0.1:8099 exec-proc-output \"exec item_count\""},
      {Op::Read, "read", "SQL", -1, false, true, "run a query and show its rows",
       "Runs a query (SynchReadData) and shows the rows of the data packet that comes back,\n"
       "with the result. When the server sends no rows at all, \"(no data)\" is shown.",
       "qorvin --connect t://127.0.0.1:8099 read \"select id, name from item\"\n"
       "qorvin --connect u://127.0.0.1:8099 --format json read \"select * from item\""},
      {Op::ReadDataSet, "read-dataset", "SQL", -1, false, true,
       "run a query into a record set and show its rows",
       "Runs a query (SynchReadDataSet): the rows arrive as a record set instead of a data\n"
       "packet. The output is the same as that of read.",
       "qorvin --connect b://127.0.0.1:8099 read-dataset \"select * from item\""},
      {Op::ReadTwo, "read-two", "SQL SQL2", -1, false, true,
       "run two queries in one call and show both row sets",
       "Runs two queries in one call (SynchReadTwoData) and shows both row sets. When the\n"
       "first query brings back nothing, neither set is shown.",
       "qorvin --connect t://127.0.0.1:8099 read-two \"select * from item\" \"select * from "
       "stock\""},
      {Op::ExecProcReadTwo, "exec-proc-read-two", "SQL SQL2", -1, false, true,
       "run two procedure calls in one call and show both row sets",
       "As read-two, for two stored procedure calls (SynchExecProcReadTwoData).",
       "qorvin --connect t://127.0.0.1:8099 exec-proc-read-two \"exec list_items\" \"exec "
       "list_stock\""},
      {Op::BatchBuild, "batch-build", "SQL PROC", -1, false, false,
       "hand SQL text and a procedure name to the server's batch builder",
       "Sends SQL text together with a procedure name (SynchExecProcBatchBuild) and shows\n"
       "the server's result.",
       "qorvin --connect t://127.0.0.1:8099 batch-build \"select id from item\" reprice_item"},
      {Op::InsertTable, "insert-table", "PROC FILE", 1, true, true,
       "upload the rows of FILE through a stored procedure",
       "Uploads the rows of FILE (CSV or JSON; see below) as a data packet\n"
       "(ExecProcInsertTable). The server runs procedure PROC once per row and counts the\n"
       "rows whose call returned N (--success-return, default 0). Shown: the result, the\n"
       "success count, and the rows the server sends back when the result is 1.",
       "qorvin --connect t://127.0.0.1:8099 insert-table add_item items.csv\n"
       "qorvin --connect h://localhost:8099 insert-table add_item items.json --success-return 1"},
      {Op::InsertTableDataSet, "insert-table-dataset", "PROC FILE", 1, true, true,
       "as insert-table, through the record-set form of the call",
       "As insert-table, but the rows travel through ExecProcInsertTableDataSet: the host\n"
       "hands over a record set instead of a data packet. The server sees the same upload.",
       "qorvin --connect t://127.0.0.1:8099 insert-table-dataset add_item items.csv"},
      {Op::ExecSqlInsert, "exec-sql-insert", "SQL TABLE KEY FILE", 3, false, false,
       "send SQL text with the rows of FILE for a table and its key",
       "Sends SQL text, the rows of FILE, a table name and the name of its primary key\n"
       "(SynchExecSQLInsert) and shows the server's result.",
       "qorvin --connect t://127.0.0.1:8099 exec-sql-insert \"select * from item\" item id "
       "items.csv"},
      {Op::DateTime, "datetime", "", -1, false, false, "show the server's date and time",
       "Asks the server for its clock (GetDateTime). When the call fails, the error is\n"
       "reported (exit status 1) and the local clock is shown instead, marked as such.",
       "qorvin --connect t://127.0.0.1:8099 datetime"},
  };
  return kSpecs;
}

}  // namespace qorvin::cli
