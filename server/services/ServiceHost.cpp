#include "server/services/ServiceHost.h"

#include "messaging/uROExceptions.h"
#include "messaging/uROTypes.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Text.h"
#include "server/services/ImageDeflateStream.h"

namespace qorvin::server {
namespace {

constexpr std::string_view kProbe = "PROBE";
constexpr std::string_view kProbeAnswer = "PROBEDOK";
constexpr char kLibrary[] = "VelmarLib";

}  // namespace

// ---- Call ----

std::string Call::ReadAnsi(const char* name) {
  std::string value;
  msg_.ReadString(name, value);
  return AnsiToUtf8(value);
}

std::string Call::ReadWide(const char* name) {
  std::u16string value;
  msg_.ReadWideString(name, value);
  return Utf16ToUtf8(value);
}

int32_t Call::ReadInteger(const char* name) {
  int32_t value = 0;
  msg_.ReadInteger(name, TOrdType::otSLong, &value);
  return value;
}

std::unique_ptr<TROBinaryMemoryStream> Call::ReadBinary(const char* name) {
  std::unique_ptr<TROBinaryMemoryStream> value;
  msg_.ReadBinary(name, value);
  if (!value) value = std::make_unique<TROBinaryMemoryStream>();
  return value;
}

void Call::BeginReply() {
  msg_.InitializeResponse(nullptr, kLibrary, msg_.GetInterfaceName(),
                          msg_.GetMessageName() + "Response");
}

void Call::WriteInteger(const char* name, int32_t value) {
  msg_.WriteInteger(name, TOrdType::otSLong, &value);
}

void Call::WriteBoolean(const char* name, bool value) {
  msg_.WriteEnumerated(name, TypeInfo_Boolean(), &value);
}

void Call::WriteDateTime(const char* name, double value) {
  msg_.WriteDateTime(name, value);
}

void Call::WriteAnsi(const char* name, const std::string& utf8) {
  msg_.WriteString(name, Utf8ToAnsi(utf8));
}

void Call::WriteBinary(const char* name, const std::string& bytes) {
  TBytesViewStream stream(bytes);  // read in place: a blob can be tens of megabytes
  msg_.WriteBinary(name, &stream);
}

void Call::WriteBlob(const char* name, const std::string& blob) {
  WriteBinary(name, blob);
  compressedBytes_ += blob.size();
}

void Call::Note(const std::string& text) {
  if (!notes_.empty()) notes_ += ' ';
  notes_ += text;
}

void Call::NoteUser(const std::string& userId) {
  user_ = userId;
  Note("user=" + userId);
}

// ---- ServiceHost ----

void ServiceHost::Register(const std::string& service, const std::string& operation,
                           Handler handler, Runs runs) {
  Registered& r = handlers_[service][operation];
  r.handler = std::move(handler);
  if (r.number < 0) {
    r.number = int(operations_.size());
    operations_.push_back(service + "." + operation);
  }
  std::string key = service + '\0' + operation;
  std::erase(atOnce_, key);
  if (runs == Runs::AtOnce) atOnce_.push_back(std::move(key));
}

namespace {

// The next name of a message body (int32 little-endian count, then the bytes) at `at`; false
// when the view ends first or the count is out of range.
bool PeekName(std::string_view bytes, size_t& at, std::string_view& name) {
  if (bytes.size() - at < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  const uint32_t n =
      uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  at += 4;
  if (n > uint32_t(kMaxNameLength) || n > bytes.size() - at) return false;
  name = bytes.substr(at, n);
  at += n;
  return true;
}

}  // namespace

bool ServiceHost::AtOnce(std::string_view request) const {
  if (request == kProbe) return true;
  if (request.size() > kAtOnceMaxBytes || request.size() < size_t(kBinHeaderSize)) return false;
  if (request.substr(0, 5) != std::string_view(kBinSignature, 5)) return false;
  const auto flags = uint8_t(request[5]);
  const auto kind = uint8_t(request[6]);
  if ((flags & kBinFlagCompressed) != 0 || kind != kBinKindMessage) return false;
  size_t at = size_t(kBinHeaderSize);
  std::string_view service, operation;
  if (!PeekName(request, at, service) || !PeekName(request, at, operation)) return false;
  for (const std::string& key : atOnce_)
    if (key.size() == service.size() + 1 + operation.size() &&
        std::string_view(key).substr(0, service.size()) == service && key[service.size()] == '\0' &&
        std::string_view(key).substr(service.size() + 1) == operation)
      return true;
  return false;
}

int ServiceHost::ReplyLevel(const ServerConfig& config, size_t compressedBytes, int64_t bodySize) {
  if (config.replyCompressionLevel != ServerConfig::kReplyLevelAuto)
    return config.replyCompressionLevel;
  // Mostly compressed data: the fastest level keeps nearly all the gain of a second pass.
  return bodySize > 0 && int64_t(compressedBytes) * 4 >= bodySize * 3 ? 1 : -1;
}

std::string ServiceHost::Reply(TROBinMessage& msg) {
  TMemoryStream out;
  msg.WriteToStream(out);
  return std::string(out.View());
}

// An exception as it goes on the wire: the class name of the original, its text in the ANSI
// code set (texts are UTF-8 inside the server).
class WireException : public Exception {
 public:
  explicit WireException(const std::exception& e)
      : Exception(ToAnsi(e.what())),
        class_name_(dynamic_cast<const Exception*>(&e)
                        ? dynamic_cast<const Exception*>(&e)->ClassName()
                        : "Exception") {}
  const char* ClassName() const override { return class_name_.c_str(); }

 private:
  static std::string ToAnsi(const std::string& utf8) {
    try {
      return Utf8ToAnsi(utf8);
    } catch (const Exception&) {
      return utf8;  // a text the code set cannot hold goes as it is rather than not at all
    }
  }
  std::string class_name_;
};

std::string ServiceHost::ExceptionReply(TROBinMessage& msg, const std::exception& e) {
  TMemoryStream out;
  msg.WriteException(out, WireException(e));
  return std::string(out.View());
}

bool ServiceHost::HasOperation(const std::string& serviceDotOperation) const {
  const size_t dot = serviceDotOperation.find('.');
  if (dot == std::string::npos) return false;
  auto s = handlers_.find(serviceDotOperation.substr(0, dot));
  return s != handlers_.end() && s->second.count(serviceDotOperation.substr(dot + 1)) != 0;
}

DispatchReply ServiceHost::Dispatch(std::string_view request, const RequestInfo& info) {
  DispatchReply reply;
  if (request == kProbe) {
    reply.body = std::string(kProbeAnswer);
    reply.summary = "probe";
    return reply;
  }
  TROBinMessage msg;
  msg.UseCompression = state_.Config().compressReplies;
  msg.MaxDecompressedSize = state_.Config().maxInflatedRequest;
  Call call(msg, info);
  try {
    // The message reads the request where it lies: `request` outlives `msg`, and nothing of
    // the body is kept past this call (a binary parameter is copied out of it).
    msg.ReadFromStream(std::make_unique<TBytesViewStream>(request));
    state_.Clients().Seen(msg.GetClientID());
    std::string service = msg.GetInterfaceName();
    std::string operation = msg.GetMessageName();
    reply.summary = service + "." + operation;
    reply.operationName = reply.summary;
    auto s = handlers_.find(service);
    if (s == handlers_.end()) throw EROException("Unknown service \"" + service + "\"");
    auto op = s->second.find(operation);
    if (op == s->second.end())
      throw EROException("Service " + service + " has no operation \"" + operation + "\"");
    reply.operation = op->second.number;
    ServiceCounters& counters = state_.Counters(service);
    ++counters.total;
    ++counters.running;
    struct Running {
      std::atomic<int>& n;
      ~Running() { --n; }
    } running{counters.running};
    op->second.handler(call);
    msg.CompressionLevel = ReplyLevel(state_.Config(), call.CompressedBytes(),
                                      msg.Body() != nullptr ? msg.Body()->Size() : 0);
    // A reply of blobs at the automatic level goes through the faster compressor.
    if (state_.Config().replyCompressionLevel == ServerConfig::kReplyLevelAuto &&
        msg.CompressionLevel == 1)
      msg.BodyDeflater = DeflateBlobBody;
    reply.body = Reply(msg);
  } catch (const std::exception& e) {
    reply.failed = true;
    reply.body = ExceptionReply(msg, e);
    if (reply.summary.empty()) reply.summary = "invalid-message";
    reply.summary += std::string(" error=") + e.what();
    reply.error = e.what();
  }
  if (!call.Notes().empty()) reply.summary += " " + call.Notes();
  reply.user = call.User();
  return reply;
}

SessionUser SessionUserOf(const RequestInfo& info) {
  SessionUser user;
  if (info.user == nullptr) return user;
  user.name = info.user->name;
  user.role = info.user->role;
  user.readOnly = info.user->readOnly;
  return user;
}

bool MayAdminister(const ServerConfig& config, const RequestInfo& info) {
  return info.user != nullptr ? info.user->admin : config.admin;
}

DispatchReply ServiceHost::Refuse(const std::string& reason, const RequestInfo&) {
  DispatchReply reply;
  reply.failed = true;
  reply.summary = "refused " + reason;
  reply.error = reason;
  try {
    TROBinMessage msg;
    reply.body = ExceptionReply(msg, EROMessageTooLarge(reason));
  } catch (const std::exception&) {
    reply.body.clear();
  }
  return reply;
}

}  // namespace qorvin::server
