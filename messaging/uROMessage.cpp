#include "messaging/uROMessage.h"

#include <cstring>

#include "messaging/uROBinaryHelpers.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {

TROMessage::TROMessage(TROComponent* owner, std::string name)
    : TROComponent(owner, std::move(name)),
      client_id_(TGUID::New()),
      serializer_(CreateSerializer()) {}

TROMessage::~TROMessage() = default;

std::unique_ptr<TROStreamSerializer> TROMessage::CreateSerializer() {
  return std::make_unique<TROStreamSerializer>();
}

void TROMessage::InitializeMessage(IROTransport* transport, const std::string& libraryName,
                                   const std::string& interfaceName, const std::string& messageName,
                                   uint8_t kind) {
  (void)libraryName;  // never part of the message
  InitializeMessage(transport, interfaceName, messageName, kind);
}

void TROMessage::InitializeRequest(IROTransport* transport, const std::string& libraryName,
                                   const std::string& interfaceName,
                                   const std::string& messageName) {
  InitializeMessage(transport, libraryName, interfaceName, messageName, kMessageKindRequest);
}

void TROMessage::InitializeResponse(IROTransport* transport, const std::string& libraryName,
                                    const std::string& interfaceName,
                                    const std::string& messageName) {
  InitializeMessage(transport, libraryName, interfaceName, messageName, kMessageKindResponse);
}

void TROMessage::InitializeEvent(IROTransport* transport, const std::string& libraryName,
                                 const std::string& interfaceName, const std::string& messageName) {
  InitializeMessage(transport, libraryName, interfaceName, messageName, kMessageKindEvent);
}

void TROMessage::PrepareTransport(IROTransport* transport, const std::string&, const std::string&,
                                  const std::string&) {
  SetHTTPInfo(transport);
}

void TROMessage::FinalizeMessage() {
  if (OnFinalizeMessage) OnFinalizeMessage(*this);
}

void TROMessage::SetHTTPInfo(IROTransport* transport) {
  if (transport == nullptr) return;
  if (IROWebTransport* web = transport->AsWebTransport()) {
    web->SetHeaders(kHttpContentTypeHeader, kHttpContentType);
    web->SetUserAgent(kHttpUserAgent);
  }
}

void TROMessage::WriteMessageParameter(const std::string& name, const TTypeInfo& type,
                                       const void* value, TParamAttributes attributes) {
  if (OnWriteMessageParameter) OnWriteMessageParameter(*this, name, type, value, attributes);
  serializer_->WriteValue(name, type, value, -1);
}

void TROMessage::ReadMessageParameter(const std::string& name, const TTypeInfo& type, void* value,
                                      TParamAttributes attributes) {
  serializer_->ReadValue(name, type, value, -1);
  if (OnReadMessageParameter) OnReadMessageParameter(*this, name, type, value, attributes);
}

bool TROMessage::IsValidMessage(const void* buffer, size_t length) {
  if (buffer == nullptr || length < 5) return false;
  return std::memcmp(buffer, "RO107", 5) == 0 || std::memcmp(buffer, "roroc", 5) == 0;
}

void TROMessage::Assign(const TROMessage* source) {
  if (source == nullptr) return;
  if (!IsAssignableFrom(*source))
    throw EROException(Format("Cannot Assign a %s t a %s", ClassName(), source->ClassName()));
  if (source == this) return;
  AddServerExceptionPrefix = source->AddServerExceptionPrefix;
  Envelopes = source->Envelopes;
  OnWriteToStream = source->OnWriteToStream;
  OnReadFromStream = source->OnReadFromStream;
  OnServerException = source->OnServerException;
  OnInitializeMessage = source->OnInitializeMessage;
  OnFinalizeMessage = source->OnFinalizeMessage;
  OnWriteMessageParameter = source->OnWriteMessageParameter;
  OnReadMessageParameter = source->OnReadMessageParameter;
  OnWriteException = source->OnWriteException;
  OnBeforeProcessOutgoingEnvelopes = source->OnBeforeProcessOutgoingEnvelopes;
  OnAfterProcessOutgoingEnvelopes = source->OnAfterProcessOutgoingEnvelopes;
  OnBeforeProcessIncomingEnvelopes = source->OnBeforeProcessIncomingEnvelopes;
  OnAfterProcessIncomingEnvelopes = source->OnAfterProcessIncomingEnvelopes;
}

std::unique_ptr<TROMessage> TROMessage::Clone() const {
  std::unique_ptr<TROMessage> copy = CreateInstance();
  copy->Assign(this);
  return copy;
}

void TROMessage::ProcessOutgoingEnvelopes(TStream& stream) {
  stream.SetPosition(0);
  if (OnBeforeProcessOutgoingEnvelopes) OnBeforeProcessOutgoingEnvelopes(stream);
  Envelopes.ProcessOutgoing(stream);
  stream.SetPosition(0);
  if (OnAfterProcessOutgoingEnvelopes) OnAfterProcessOutgoingEnvelopes(stream);
  stream.SetPosition(0);
}

void TROMessage::ProcessIncomingEnvelopes(TStream& stream) {
  stream.SetPosition(0);
  if (OnBeforeProcessIncomingEnvelopes) OnBeforeProcessIncomingEnvelopes(stream);
  Envelopes.ProcessIncoming(stream);
  stream.SetPosition(0);
  if (OnAfterProcessIncomingEnvelopes) OnAfterProcessIncomingEnvelopes(stream);
  stream.SetPosition(0);
}

// --- typed operations
// ------------------------------------------------------------------------------

#define QORVIN_FORWARD(Method, Params, Args) \
  void TROMessage::Method Params {           \
    serializer_->Method Args;                \
  }

QORVIN_FORWARD(WriteInteger, (const std::string& n, TOrdType o, const void* r, int i), (n, o, r, i))
QORVIN_FORWARD(WriteInt64, (const std::string& n, const int64_t& r, int i), (n, r, i))
QORVIN_FORWARD(WriteEnumerated, (const std::string& n, const TTypeInfo& t, const void* r, int i),
               (n, t, r, i))
QORVIN_FORWARD(WriteUTF8String, (const std::string& n, const std::string& r, int i), (n, r, i))
QORVIN_FORWARD(WriteString, (const std::string& n, const std::string& r, int i), (n, r, i))
QORVIN_FORWARD(WriteWideString, (const std::string& n, const std::u16string& r, int i), (n, r, i))
QORVIN_FORWARD(WriteDateTime, (const std::string& n, const double& r, int i), (n, r, i))
QORVIN_FORWARD(WriteDouble, (const std::string& n, TFloatType f, const void* r, int i),
               (n, f, r, i))
QORVIN_FORWARD(WriteVariant, (const std::string& n, const Variant& r, int i), (n, r, i))
QORVIN_FORWARD(WriteXml, (const std::string& n, const std::string& r, int i), (n, r, i))
QORVIN_FORWARD(WriteGuid, (const std::string& n, const std::string& r, int i), (n, r, i))
QORVIN_FORWARD(WriteDecimal, (const std::string& n, const Variant& r, int i), (n, r, i))
QORVIN_FORWARD(WriteStruct,
               (const std::string& n, const TTypeInfo& t, const TROComplexType* r, int i),
               (n, t, r, i))
QORVIN_FORWARD(WriteArray, (const std::string& n, const TTypeInfo& t, const TROArray* r, int i),
               (n, t, r, i))
QORVIN_FORWARD(WriteBinary, (const std::string& n, TStream* r, int i), (n, r, i))
QORVIN_FORWARD(ReadInteger, (const std::string& n, TOrdType o, void* r, int i), (n, o, r, i))
QORVIN_FORWARD(ReadInt64, (const std::string& n, int64_t& r, int i), (n, r, i))
QORVIN_FORWARD(ReadEnumerated, (const std::string& n, const TTypeInfo& t, void* r, int i),
               (n, t, r, i))
QORVIN_FORWARD(ReadUTF8String, (const std::string& n, std::string& r, int i, int32_t m),
               (n, r, i, m))
QORVIN_FORWARD(ReadString, (const std::string& n, std::string& r, int i, int32_t m), (n, r, i, m))
QORVIN_FORWARD(ReadWideString, (const std::string& n, std::u16string& r, int i, int32_t m),
               (n, r, i, m))
QORVIN_FORWARD(ReadDateTime, (const std::string& n, double& r, int i), (n, r, i))
QORVIN_FORWARD(ReadDouble, (const std::string& n, TFloatType f, void* r, int i), (n, f, r, i))
QORVIN_FORWARD(ReadVariant, (const std::string& n, Variant& r, int i), (n, r, i))
QORVIN_FORWARD(ReadXml, (const std::string& n, std::string& r, int i), (n, r, i))
QORVIN_FORWARD(ReadGuid, (const std::string& n, std::string& r, int i), (n, r, i))
QORVIN_FORWARD(ReadDecimal, (const std::string& n, Variant& r, int i), (n, r, i))
QORVIN_FORWARD(ReadStruct,
               (const std::string& n, const TTypeInfo& t, std::unique_ptr<TROComplexType>& r,
                int i),
               (n, t, r, i))
QORVIN_FORWARD(ReadArray,
               (const std::string& n, const TTypeInfo& t, std::unique_ptr<TROArray>& r, int i),
               (n, t, r, i))
QORVIN_FORWARD(ReadBinary, (const std::string& n, std::unique_ptr<TROBinaryMemoryStream>& r, int i),
               (n, r, i))

#undef QORVIN_FORWARD

}  // namespace qorvin
