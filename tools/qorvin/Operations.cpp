#include "tools/qorvin/Operations.h"

#include <cmath>
#include <cstdio>

#include "platform/rtl/NumberText.h"
#include "tools/qorvin/ClientLibrary.h"
#include "tools/qorvin/PieceRows.h"
#include "tools/qorvin/RecordSets.h"

namespace qorvin::cli {

namespace {

Scalar Number(const std::string& key, const std::string& label, int64_t value) {
  return Scalar{key, label, std::to_string(value), Scalar::Kind::Number};
}

// "YYYY-MM-DD" of a day counted from 1970-01-01 (proleptic Gregorian calendar).
std::string CivilDate(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day));
  return buf;
}

}  // namespace

std::string ServersText(const GlobalOptions& options) {
  const auto one = [&](const std::string& host, int32_t port) {
    if (port == 0) return host;  // a whole URL
    const bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
    return (bare6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  };
  std::string out = one(options.host, options.port);
  for (const ServerAddress& s : options.moreServers) out += ", " + one(s.host, s.port);
  return out;
}

std::string FormatDateTime(double days) {
  // Beyond about 27 000 years either way the value is no calendar date; show the number.
  if (!std::isfinite(days) || std::fabs(days) > 1e7) return DoubleText(days);
  // The whole part counts days (negative before 1899-12-30); the fraction is always the time
  // of day, whatever the sign.
  const double whole = std::trunc(days);
  int64_t ms = std::llround(std::fabs(days - whole) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  std::string out = CivilDate(int64_t(whole) - 25569);
  char buf[32];
  std::snprintf(buf, sizeof buf, " %02d:%02d:%02d", int(ms / 3600000), int(ms / 60000 % 60),
                int(ms / 1000 % 60));
  out += buf;
  if (ms % 1000 != 0) {
    std::snprintf(buf, sizeof buf, ".%03d", int(ms % 1000));
    out += buf;
  }
  return out;
}

Session::Session(const GlobalOptions& options, IRemoteDataModule& module, ProgressBoard& board)
    : options_(options), module_(module), factory_(FactoryOf(module)), board_(board) {
  if (options_.inflateBudget > 0) factory_.SetInflateBudget(options_.inflateBudget);
  // Every column as it was read: long wide text is never narrowed to the code set.
  factory_.SetDataPacketVersion(2);
  void* reader = nullptr;
  if (module_.QueryInterface(&kQorvinIID_IQorvinPieceReader, &reader) == 0)
    pieceReader_ = static_cast<IQorvinPieceReader*>(reader);
}

void Session::Prepare(PreparedCall& p, const Table& table) {
  RecordSetPtr ds = BuildRecordSet(factory_, table);
  if (p.call->def->op == Op::InsertTableDataSet) {
    p.dataSet = std::move(ds);
    return;
  }
  if (!factory_.AdoDataSetToPacket(ds.get(), &p.packet.slot) || !p.packet.HasBytes())
    throw RunError("the rows to upload do not turn into a data packet");
}

void Session::Remote(Outcome& o, const HostText* error, const std::function<void()>& call) {
  board_.Run(o.command, call);
  const std::string text = error != nullptr ? error->str() : std::string();
  if (!board_.LastCallFailed() && text.empty()) return;
  o.failed = true;
  o.error = text;
  if (o.error.empty()) {
    HostText last;
    module_.GetLastErrorText(&last.slot);
    o.error = last.str();
  }
  if (o.error.empty()) o.error = "the operation failed without a message";
  if (board_.LastCallReachedNoServer()) {
    o.unreached = true;
    o.error = "cannot reach the server " + ServersText(options_) + ": " + o.error;
    return;
  }
  // A datagram that went out may have arrived: the server may have run the call.
  if (options_.letter == 'U' && o.error.rfind("Time out reading server response", 0) == 0)
    o.error += " (no answer in time; the server may have run the call)";
}

std::shared_ptr<RowSource> Session::Rows(const QorvinDataPacket& packet) {
  try {
    return ReadPacket(factory_, packet);
  } catch (const RunError&) {
    HostText last;
    module_.GetLastErrorText(&last.slot);
    if (last.str().empty()) throw;
    throw RunError(last.str());  // "The data packet does not load: <why>"
  }
}

Outcome Session::Run(PreparedCall& p) {
  const CommandCall& c = *p.call;
  Outcome o;
  o.command = c.def->name;
  o.returnsData = c.def->returnsData;
  try {
    switch (c.def->op) {
      case Op::ExecSql:
      case Op::ExecProc:
      case Op::BatchBuild:
        Command(c, o);
        break;
      case Op::ExecProcOutput:
        ExecProcOutput(c, o);
        break;
      case Op::Read:
        Read(c, o);
        break;
      case Op::ReadDataSet:
        ReadDataSet(c, o);
        break;
      case Op::ReadTwo:
      case Op::ExecProcReadTwo:
        ReadTwo(c, o);
        break;
      case Op::InsertTable:
        InsertTable(p, o);
        break;
      case Op::InsertTableDataSet:
        InsertTableDataSet(p, o);
        break;
      case Op::ExecSqlInsert:
        ExecSqlInsert(p, o);
        break;
      case Op::DateTime:
        DateTime(o);
        break;
      case Op::Probe:  // runs without a module (Probe.h)
        throw RunError("probe is not an operation of the module");
    }
  } catch (const RunError& e) {  // a returned record set that does not read
    o.failed = true;
    o.error = e.what();
  }
  return o;
}

void Session::Command(const CommandCall& c, Outcome& o) {
  int32_t result = 0;
  HostText error;
  const char* user = options_.user.c_str();
  const char* hdh = options_.hdh.c_str();
  const char* sql = c.args[0].c_str();
  Remote(o, &error, [&] {
    if (c.def->op == Op::ExecSql) {
      module_.SynchExecSQL(user, hdh, sql, &result, &error.slot);
    } else if (c.def->op == Op::ExecProc) {
      module_.SynchExecProc(user, hdh, sql, &result, &error.slot);
    } else {
      module_.SynchExecProcBatchBuild(user, hdh, sql, c.args[1].c_str(), &result, &error.slot);
    }
  });
  o.scalars.push_back(Number("result", "result", result));
}

void Session::ExecProcOutput(const CommandCall& c, Outcome& o) {
  int32_t result = 0;
  HostText output, error;
  Remote(o, &error, [&] {
    module_.SynchExecProcOutput(options_.user.c_str(), options_.hdh.c_str(), c.args[0].c_str(),
                                &output.slot, &result, &error.slot);
  });
  o.scalars.push_back(Number("result", "result", result));
  o.scalars.push_back(Scalar{"output", "output", output.str(), Scalar::Kind::Text});
}

void Session::Read(const CommandCall& c, Outcome& o) {
  // A table sizes its columns from every row, so it takes the rows whole.
  if (pieceReader_ != nullptr && options_.format != OutputFormat::Table) return ReadInPieces(c, o);
  int32_t result = 0;
  HostText error;
  HostPacket data;
  Remote(o, &error, [&] {
    module_.SynchReadData(options_.user.c_str(), options_.hdh.c_str(), c.args[0].c_str(),
                          &data.slot, &result, &error.slot);
  });
  o.scalars.push_back(Number("result", "result", result));
  o.data.push_back(DataResult{"", Rows(data.slot)});
}

void Session::ReadInPieces(const CommandCall& c, Outcome& o) {
  auto read = std::make_shared<PieceRead>([this, sql = c.args[0], command = o.command](
                                              QorvinPieceCallback callback, PieceCallEnd& end) {
    Outcome call;
    call.command = command;
    HostText error;
    Remote(call, &error, [&] {
      pieceReader_->SynchReadDataPieces(options_.user.c_str(), options_.hdh.c_str(), sql.c_str(), 0,
                                        callback, &end.result, &error.slot);
    });
    end.failed = call.failed;
    end.error = call.error;
    end.unreached = call.unreached;
  });
  if (!read->HasRows()) {
    const PieceCallEnd& end = read->End();
    o.failed = end.failed;
    o.error = end.error;
    o.unreached = end.unreached;
    o.scalars.push_back(Number("result", "result", end.result));
    o.data.push_back(DataResult{"", nullptr});
    return;
  }
  board_.EndLine();  // the rows are written while the call runs
  o.scalars.push_back(Number("result", "result", read->Result()));
  o.data.push_back(DataResult{"", PieceRead::Rows(std::move(read))});
}

void Session::ReadDataSet(const CommandCall& c, Outcome& o) {
  int32_t result = 0;
  HostText error;
  QorvinAdoDataSet* received = nullptr;
  Remote(o, &error, [&] {
    module_.SynchReadDataSet(options_.user.c_str(), options_.hdh.c_str(), c.args[0].c_str(),
                             &received, &result, &error.slot);
  });
  RecordSetPtr ds(received);  // a record set made for the host is the host's to free
  o.scalars.push_back(Number("result", "result", result));
  o.data.push_back(DataResult{"", ds ? RecordSetRows(std::move(ds)) : nullptr});
}

void Session::ReadTwo(const CommandCall& c, Outcome& o) {
  int32_t result = 0;
  HostText error;
  HostPacket first, second;
  Remote(o, &error, [&] {
    const char* user = options_.user.c_str();
    const char* hdh = options_.hdh.c_str();
    if (c.def->op == Op::ReadTwo) {
      module_.SynchReadTwoData(user, hdh, c.args[0].c_str(), &first.slot, c.args[1].c_str(),
                               &second.slot, &result, &error.slot);
    } else {
      module_.SynchExecProcReadTwoData(user, hdh, c.args[0].c_str(), &first.slot, c.args[1].c_str(),
                                       &second.slot, &result, &error.slot);
    }
  });
  o.scalars.push_back(Number("result", "result", result));
  o.data.push_back(DataResult{"first", Rows(first.slot)});
  o.data.push_back(DataResult{"second", Rows(second.slot)});
}

void Session::InsertTable(PreparedCall& p, Outcome& o) {
  const CommandCall& c = *p.call;
  int32_t result = 0, count = 0;
  HostText error;
  HostPacket returned;
  Remote(o, &error, [&] {
    module_.ExecProcInsertTable(options_.user.c_str(), options_.hdh.c_str(), &p.packet.slot,
                                c.args[0].c_str(), &returned.slot, &count, c.successReturn, &result,
                                &error.slot);
  });
  o.scalars.push_back(Number("result", "result", result));
  o.scalars.push_back(Number("success_count", "success count", count));
  o.data.push_back(DataResult{"", Rows(returned.slot)});
}

void Session::InsertTableDataSet(PreparedCall& p, Outcome& o) {
  const CommandCall& c = *p.call;
  int32_t result = 0, count = 0;
  HostText error;
  QorvinAdoDataSet* received = nullptr;
  Remote(o, &error, [&] {
    module_.ExecProcInsertTableDataSet(options_.user.c_str(), options_.hdh.c_str(), p.dataSet.get(),
                                       c.args[0].c_str(), &received, &count, c.successReturn,
                                       &result, &error.slot);
  });
  // A record set the library made for the host is the host's to free.
  RecordSetPtr ds(received);
  o.scalars.push_back(Number("result", "result", result));
  o.scalars.push_back(Number("success_count", "success count", count));
  o.data.push_back(DataResult{"", ds ? RecordSetRows(std::move(ds)) : nullptr});
}

void Session::ExecSqlInsert(PreparedCall& p, Outcome& o) {
  const CommandCall& c = *p.call;
  int32_t result = 0;
  HostText error;
  Remote(o, &error, [&] {
    module_.SynchExecSQLInsert(options_.user.c_str(), options_.hdh.c_str(), c.args[0].c_str(),
                               &p.packet.slot, c.args[1].c_str(), c.args[2].c_str(), &result,
                               &error.slot);
  });
  o.scalars.push_back(Number("result", "result", result));
}

void Session::DateTime(Outcome& o) {
  double when = 0;
  bool ok = false;
  Remote(o, nullptr, [&] { ok = module_.GetDateTime(&when); });
  if (!ok && !o.failed) {
    o.failed = true;
    o.error = "the server's clock could not be read";
  }
  o.scalars.push_back(Scalar{"result", "result", ok ? "true" : "false", Scalar::Kind::Boolean});
  // On failure the library writes the local clock; say so rather than pass it off as the
  // server's.
  o.scalars.push_back(Scalar{ok ? "datetime" : "local_datetime", ok ? "server time" : "local time",
                             FormatDateTime(when), Scalar::Kind::Text});
  o.scalars.push_back(
      Scalar{"days", "days since 1899-12-30", DoubleText(when), Scalar::Kind::Number});
}

}  // namespace qorvin::cli
