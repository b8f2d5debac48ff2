// The dispatcher of the services: turns one request (a binary message, or the probe) into one
// reply.
//
//   - the 5 bytes "PROBE" are answered with the 8 bytes "PROBEDOK";
//   - a binary message names its service (InterfaceName) and operation (MessageName); the
//     operation's handler reads the request values in contract order and writes "Result" and the
//     out values; the reply carries the request's ClientID, the same InterfaceName and the
//     operation name followed by "Response";
//   - any failure (a malformed message, an unknown service or operation, an SQL error, a refused
//     operation) becomes an exception reply of the failure's class with its message text, and
//     the transport is told that the reply reports a failure (HTTP status 500).
//
// Text: 8-bit wire strings are taken in the server's ANSI code set (platform/rtl/Text.h) and
// handled as UTF-8 inside; wide strings are UTF-16 on the wire.
//
// Threads: Dispatch runs on many worker threads at once; handlers must be thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/uROBinMessage.h"
#include "messaging/uROBinaryHelpers.h"
#include "server/net/Dispatcher.h"
#include "server/services/ServerState.h"

namespace qorvin::server {

// One call being served: typed access to the request values and the reply.
class Call {
 public:
  Call(TROBinMessage& message, const RequestInfo& info) : msg_(message), info_(info) {}

  // Request values, in contract order.
  std::string ReadAnsi(const char* name);  // String, returned as UTF-8
  std::string ReadWide(const char* name);  // WideString, returned as UTF-8
  int32_t ReadInteger(const char* name);
  // A binary value; an absent one reads as an empty stream.
  std::unique_ptr<TROBinaryMemoryStream> ReadBinary(const char* name);

  // Starts the reply; then the values in contract order.
  void BeginReply();
  void WriteInteger(const char* name, int32_t value);
  void WriteBoolean(const char* name, bool value);
  void WriteDateTime(const char* name, double value);
  void WriteAnsi(const char* name, const std::string& utf8);
  void WriteBinary(const char* name, const std::string& bytes);
  // A dataset blob, whose record-set image is compressed already (counted for the reply's
  // compression level).
  void WriteBlob(const char* name, const std::string& blob);
  // Bytes of already-compressed data in the reply so far.
  size_t CompressedBytes() const { return compressedBytes_; }

  const RequestInfo& Info() const { return info_; }
  // Added to the log line ("user=u1").
  void Note(const std::string& text);
  const std::string& Notes() const { return notes_; }
  // The user id the request names (the JSON log's "user"), noted as "user=ID" too.
  void NoteUser(const std::string& userId);
  const std::string& User() const { return user_; }

 private:
  TROBinMessage& msg_;
  const RequestInfo& info_;
  std::string notes_;
  std::string user_;
  size_t compressedBytes_ = 0;
};

using Handler = std::function<void(Call&)>;

// Where an operation runs: on a worker (anything that may wait: the database, a lock held long),
// or at once on the I/O thread that received it (answers of microseconds that never wait).
enum class Runs { OnWorker, AtOnce };

class ServiceHost : public IDispatcher {
 public:
  explicit ServiceHost(ServerState& state) : state_(state) {}

  // Registers an operation (names as the wire spells them; looked up exactly).
  void Register(const std::string& service, const std::string& operation, Handler handler,
                Runs runs = Runs::OnWorker);
  // Whether "Service.Operation" names a registered operation (for the metrics' labels). Safe
  // from any thread once registration is over.
  bool HasOperation(const std::string& serviceDotOperation) const;
  // "Service.Operation" of every registered operation, by the number DispatchReply::operation
  // gives. Complete once registration is over.
  const std::vector<std::string>& Operations() const { return operations_; }

  DispatchReply Dispatch(std::string_view request, const RequestInfo& info) override;
  // The probe, and a plain (neither compressed nor enveloped) message of at most
  // kAtOnceMaxBytes naming an operation registered to run at once.
  bool AtOnce(std::string_view request) const override;
  static constexpr size_t kAtOnceMaxBytes = 4096;
  // An EROMessageTooLarge exception reply carrying `reason`.
  DispatchReply Refuse(const std::string& reason, const RequestInfo& info) override;

  // The zlib level of a reply body of `bodySize` bytes that holds `compressedBytes` of data
  // compressed already (-1: zlib's default): the configured level, else level 1 when three
  // quarters or more of the body are compressed data.
  static int ReplyLevel(const ServerConfig& config, size_t compressedBytes, int64_t bodySize);

 private:
  std::string Reply(TROBinMessage& msg);
  std::string ExceptionReply(TROBinMessage& msg, const std::exception& e);

  ServerState& state_;
  struct Registered {
    Handler handler;
    int number = -1;  // in operations_
  };
  std::map<std::string, std::map<std::string, Registered>> handlers_;
  std::vector<std::string> operations_;
  // "Service" "\0" "Operation" of the operations that run at once (a handful, compared in turn).
  std::vector<std::string> atOnce_;
};

// Whose rights a call's statements run with: its HTTP user's role and read-only flag (empty for
// a call without a user: the server's own account).
SessionUser SessionUserOf(const RequestInfo& info);
// Whether a call may use the ControlService operations that change the server: an HTTP user's
// own admin flag where the call has a user, otherwise the server's --admin.
bool MayAdminister(const ServerConfig& config, const RequestInfo& info);

// The services' operations (ExecSqlService.cpp, TableProcService.cpp, ControlService.cpp).
void RegisterExecSqlService(ServiceHost& host, ServerState& state);
void RegisterTableProcService(ServiceHost& host, ServerState& state);
void RegisterControlService(ServiceHost& host, ServerState& state);

}  // namespace qorvin::server
