// The subcommands of `qorvin`: one per operation of the remote data module.
#include "tools/qorvin/CommandLine.h"

namespace qorvin::cli {

const std::vector<CommandDef>& CommandTable() {
  static const std::vector<CommandDef> kCommands = {
      {Op::ExecSql, "exec-sql", "SQL", -1, false, false, "run SQL text that returns no rows",
       "Runs SQL on the server (SynchExecSQL) and shows the integer result the server\n"
       "returns. The result is the server's own value: 0 or a negative number is not an\n"
       "error; only a failed call is.",
       "qorvin --connect t://127.0.0.1:8090 exec-sql \"update Customers set City = 'Rome' where Id "
       "= 2\""},
      {Op::ExecProc, "exec-proc", "SQL", -1, false, false, "run a stored procedure call",
       "Runs a stored procedure call on the server (SynchExecProc) and shows its result.",
       "qorvin --connect h://localhost:8099 exec-proc \"exec AddOrder 101, 2, 9.5\""},
      {Op::ExecProcOutput, "exec-proc-output", "SQL", -1, false, false,
       "run a stored procedure and show its output parameter",
       "Runs a stored procedure call (SynchExecProcOutput) and shows its result and the\n"
       "output parameter the server sends back, as text (empty when it sent none).",
       "qorvin --connect t://127.0.0.1:8090 exec-proc-output \"exec CustomerCount\""},
      {Op::Read, "read", "SQL", -1, false, true, "run a query and show its rows",
       "Runs a query (SynchReadData) and shows the rows of the data packet that comes back,\n"
       "with the result. When the server sends no rows at all, \"(no data)\" is shown.",
       "qorvin --connect t://127.0.0.1:8090 read \"select Id, Name from Customers\"\n"
       "qorvin --connect u://127.0.0.1:8090 --format json read \"select * from Orders\""},
      {Op::ReadDataSet, "read-dataset", "SQL", -1, false, true,
       "run a query into a record set and show its rows",
       "Runs a query (SynchReadDataSet): the rows arrive as a record set instead of a data\n"
       "packet. The output is the same as that of read.",
       "qorvin --connect b://127.0.0.1:8090 read-dataset \"select * from Customers\""},
      {Op::ReadTwo, "read-two", "SQL SQL2", -1, false, true,
       "run two queries in one call and show both row sets",
       "Runs two queries in one call (SynchReadTwoData) and shows both row sets, each on\n"
       "its own: a query that brings back nothing shows no data.",
       "qorvin --connect t://127.0.0.1:8090 read-two \"select * from Customers\" \"select * from "
       "Orders\""},
      {Op::ExecProcReadTwo, "exec-proc-read-two", "SQL SQL2", -1, false, true,
       "run two procedure calls in one call and show both row sets",
       "As read-two, for two stored procedure calls (SynchExecProcReadTwoData).",
       "qorvin --connect t://127.0.0.1:8090 exec-proc-read-two \"exec OrdersOf 1\" \"exec "
       "OrdersOf 2\""},
      {Op::BatchBuild, "batch-build", "SQL PROC", -1, false, false,
       "send a query and a procedure to call for each of its rows",
       "Sends SQL text together with a procedure name (SynchExecProcBatchBuild) and shows\n"
       "the server's result. qorvin-server runs the query and calls PROC once for each row\n"
       "of its result (see docs/server.md).",
       "qorvin --connect t://127.0.0.1:8090 batch-build \"select 102 as Id, 1 as CustomerId, 3.5 "
       "as "
       "Amount\" AddOrder"},
      {Op::InsertTable, "insert-table", "PROC FILE", 1, true, true,
       "upload the rows of FILE through a stored procedure",
       "Uploads the rows of FILE (CSV or JSON; see below) as a data packet\n"
       "(ExecProcInsertTable). The server runs procedure PROC once per row and counts the\n"
       "rows whose call returned N (--success-return, default 0). Shown: the result, the\n"
       "success count, and the rows the server sends back when the result is 1.",
       "qorvin --connect t://127.0.0.1:8090 insert-table AddCustomer customers.csv\n"
       "qorvin --connect h://localhost:8099 insert-table AddCustomer customers.json "
       "--success-return 1"},
      {Op::InsertTableDataSet, "insert-table-dataset", "PROC FILE", 1, true, true,
       "as insert-table, through the record-set form of the call",
       "As insert-table, but the rows travel through ExecProcInsertTableDataSet: the host\n"
       "hands over a record set instead of a data packet. The server sees the same upload.",
       "qorvin --connect t://127.0.0.1:8090 insert-table-dataset AddCustomer customers.csv"},
      {Op::ExecSqlInsert, "exec-sql-insert", "SQL TABLE KEY FILE", 3, false, false,
       "send SQL text with the rows of FILE for a table and its key",
       "Sends SQL text, the rows of FILE, a table name and the name of its primary key\n"
       "(SynchExecSQLInsert) and shows the server's result. qorvin-server runs SQL, then\n"
       "inserts the rows into TABLE with KEY set to the first value SQL returned.",
       "qorvin --connect t://127.0.0.1:8090 exec-sql-insert \"select max(Id) from Customers\" "
       "Orders CustomerId orders.csv"},
      {Op::DateTime, "datetime", "", -1, false, false, "show the server's date and time",
       "Asks the server for its clock (GetDateTime). When the call fails, the error is\n"
       "reported (exit status 1) and the local clock is shown instead, marked as such.",
       "qorvin --connect t://127.0.0.1:8090 datetime"},
      {Op::Probe, "probe", "[URL...]", -1, false, false,
       "check that servers answer, with the round-trip time",
       "Sends the probe request (the 5 bytes PROBE) to each server URL (h://, t://, b://,\n"
       "u:// as for --connect; none: the --connect server) over its transport, through\n"
       "the client library, all at once, and prints one line per server: the URL,\n"
       "PROBEDOK and the round-trip time, or failed, the time and the reason. Succeeds\n"
       "only when every server answered PROBEDOK.",
       "qorvin probe h://127.0.0.1:8099 t://127.0.0.1:8090 u://127.0.0.1:8090\n"
       "qorvin --connect t://127.0.0.1:8090 probe --timeout 2\n"
       "qorvin --format json probe t://db1:8090 t://db2:8090"},
  };
  return kCommands;
}

}  // namespace qorvin::cli
