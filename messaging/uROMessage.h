// TROMessage: everything of a remote-call message that does not depend on its wire form —
// names, client identity, the owned serializer, envelopes, events, parameter routing, Assign and
// Clone. TROBinMessage (uROBinMessage.h) adds the binary form.
//
// A TROMessage is a TROComponent, so that a remote service can link to it and learn of its
// destruction.
//
// Threads: a message serves one call at a time on the caller's thread and has no lock.
// Ownership: the message owns its serializer and its envelope collection (the collection borrows
// the envelopes). Events are plain std::function members, called only when set.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "messaging/uROClasses.h"
#include "messaging/uROClientIntf.h"
#include "messaging/uROComponent.h"
#include "messaging/uROExceptions.h"
#include "messaging/uROMessageEnvelope.h"
#include "messaging/uROStreamSerializer.h"
#include "messaging/uROTypes.h"
#include "platform/rtl/Guid.h"
#include "platform/rtl/Stream.h"

namespace qorvin {

class TROMessage;

// Message kinds given at initialization.
inline constexpr uint8_t kMessageKindRequest = 0;
inline constexpr uint8_t kMessageKindResponse = 1;
inline constexpr uint8_t kMessageKindEvent = 4;

// HTTP attributes set on web transports by InitializeMessage and PrepareTransport.
inline constexpr char kHttpContentTypeHeader[] = "Content-Type";
inline constexpr char kHttpContentType[] = "application/binary";
inline constexpr char kHttpUserAgent[] = "Larkspan SDK";

// Server exception replies are rebuilt with this text unless AddServerExceptionPrefix is false.
inline constexpr char kServerExceptionPrefixFormat[] = "An exception was raised on the server: %s";

using TStreamOperation = std::function<void(TStream& stream)>;
// The handler may take the exception (move it out); leaving `raiseException` true raises it.
using TROServerExceptionEvent =
    std::function<void(std::unique_ptr<EROException>& exception, bool& raiseException)>;
using TROInitializeMessageEvent =
    std::function<void(TROMessage& sender, IROTransport* transport,
                       const std::string& interfaceName, const std::string& messageName)>;
using TROFinalizeMessageEvent = std::function<void(TROMessage& sender)>;
using TROWriteMessageParameterEvent =
    std::function<void(TROMessage& sender, const std::string& name, const TTypeInfo& type,
                       const void* value, TParamAttributes attributes)>;
using TROReadMessageParameterEvent =
    std::function<void(TROMessage& sender, const std::string& name, const TTypeInfo& type,
                       void* value, TParamAttributes attributes)>;
using TROWriteExceptionEvent =
    std::function<void(TROMessage& sender, TStream& stream, const std::exception& e)>;

class TROMessage : public TROComponent, public IROMessage {
 public:
  // AddServerExceptionPrefix true, a new TROStreamSerializer without stream, a random ClientID,
  // no envelopes. `owner` frees the message with itself (see TROComponent).
  explicit TROMessage(TROComponent* owner = nullptr, std::string name = {});
  ~TROMessage() override;
  TROMessage(const TROMessage&) = delete;
  TROMessage& operator=(const TROMessage&) = delete;

  virtual const char* ClassName() const { return "TROMessage"; }

  // --- IROMessage ---
  void InitializeRequest(IROTransport* transport, const std::string& libraryName,
                         const std::string& interfaceName, const std::string& messageName) override;
  void InitializeResponse(IROTransport* transport, const std::string& libraryName,
                          const std::string& interfaceName,
                          const std::string& messageName) override;
  void InitializeEvent(IROTransport* transport, const std::string& libraryName,
                       const std::string& interfaceName, const std::string& messageName) override;
  // The library name is dropped.
  void InitializeMessage(IROTransport* transport, const std::string& libraryName,
                         const std::string& interfaceName, const std::string& messageName,
                         uint8_t kind);
  using IROMessage::InitializeMessage;
  void PrepareTransport(IROTransport* transport, const std::string& libraryName,
                        const std::string& interfaceName, const std::string& messageName) override;
  void FinalizeMessage() override;

  TGUID GetClientID() const override { return client_id_; }
  void SetClientID(const TGUID& id) override { client_id_ = id; }

  // Fires OnWriteMessageParameter, then writes through the serializer's WriteValue.
  void WriteMessageParameter(const std::string& name, const TTypeInfo& type, const void* value,
                             TParamAttributes attributes) override;
  // Reads through the serializer's ReadValue, then fires OnReadMessageParameter.
  void ReadMessageParameter(const std::string& name, const TTypeInfo& type, void* value,
                            TParamAttributes attributes) override;

  std::string GetInterfaceName() const override { return interface_name_; }
  std::string GetMessageName() const override { return message_name_; }
  void SetInterfaceName(const std::string& name) override { interface_name_ = name; }
  void SetMessageName(const std::string& name) override { message_name_ = name; }

  // Proxies call these after every call; they do nothing.
  void EndCall(IROTransport* transport) override { (void)transport; }
  void BeforeRead(IROTransport* transport) override { (void)transport; }

  // --- typed operations: forward unchanged to the serializer ---
  TROSerializer& Serializer() { return *serializer_; }
  void WriteInteger(const std::string& name, TOrdType ord, const void* ref, int arrayIndex = -1);
  void WriteInt64(const std::string& name, const int64_t& ref, int arrayIndex = -1);
  void WriteEnumerated(const std::string& name, const TTypeInfo& type, const void* ref,
                       int arrayIndex = -1);
  void WriteUTF8String(const std::string& name, const std::string& ref, int arrayIndex = -1);
  void WriteString(const std::string& name, const std::string& ref, int arrayIndex = -1);
  void WriteWideString(const std::string& name, const std::u16string& ref, int arrayIndex = -1);
  void WriteDateTime(const std::string& name, const double& ref, int arrayIndex = -1);
  void WriteDouble(const std::string& name, TFloatType ft, const void* ref, int arrayIndex = -1);
  void WriteVariant(const std::string& name, const Variant& ref, int arrayIndex = -1);
  void WriteXml(const std::string& name, const std::string& ref, int arrayIndex = -1);
  void WriteGuid(const std::string& name, const std::string& ref, int arrayIndex = -1);
  void WriteDecimal(const std::string& name, const Variant& ref, int arrayIndex = -1);
  void WriteStruct(const std::string& name, const TTypeInfo& type, const TROComplexType* ref,
                   int arrayIndex = -1);
  void WriteArray(const std::string& name, const TTypeInfo& type, const TROArray* ref,
                  int arrayIndex = -1);
  void WriteBinary(const std::string& name, TStream* ref, int arrayIndex = -1);
  void ReadInteger(const std::string& name, TOrdType ord, void* ref, int arrayIndex = -1);
  void ReadInt64(const std::string& name, int64_t& ref, int arrayIndex = -1);
  void ReadEnumerated(const std::string& name, const TTypeInfo& type, void* ref,
                      int arrayIndex = -1);
  void ReadUTF8String(const std::string& name, std::string& ref, int arrayIndex = -1,
                      int32_t maxLength = -1);
  void ReadString(const std::string& name, std::string& ref, int arrayIndex = -1,
                  int32_t maxLength = -1);
  void ReadWideString(const std::string& name, std::u16string& ref, int arrayIndex = -1,
                      int32_t maxLength = -1);
  void ReadDateTime(const std::string& name, double& ref, int arrayIndex = -1);
  void ReadDouble(const std::string& name, TFloatType ft, void* ref, int arrayIndex = -1);
  void ReadVariant(const std::string& name, Variant& ref, int arrayIndex = -1);
  void ReadXml(const std::string& name, std::string& ref, int arrayIndex = -1);
  void ReadGuid(const std::string& name, std::string& ref, int arrayIndex = -1);
  void ReadDecimal(const std::string& name, Variant& ref, int arrayIndex = -1);
  void ReadStruct(const std::string& name, const TTypeInfo& type,
                  std::unique_ptr<TROComplexType>& ref, int arrayIndex = -1);
  void ReadArray(const std::string& name, const TTypeInfo& type, std::unique_ptr<TROArray>& ref,
                 int arrayIndex = -1);
  void ReadBinary(const std::string& name, std::unique_ptr<TROBinaryMemoryStream>& ref,
                  int arrayIndex = -1);

  // --- outside the interface ---
  // A new TROStreamSerializer without stream.
  static std::unique_ptr<TROStreamSerializer> CreateSerializer();
  // True when length >= 5 and the first five bytes are "RO107" or "roroc".
  static bool IsValidMessage(const void* buffer, size_t length);
  // Copies AddServerExceptionPrefix, Envelopes and all events (TROBinMessage adds its own
  // settings). Names, ClientID and body are not copied. Null does nothing. `source` must be of
  // this object's class or a descendant: EROException "Cannot Assign a %s t a %s" (this class
  // name, the source's) otherwise.
  virtual void Assign(const TROMessage* source);
  // A new message of the same class (without owner), Assign'ed from this one. The caller owns
  // it.
  std::unique_ptr<TROMessage> Clone() const;

  bool AddServerExceptionPrefix = true;
  TROMessageEnvelopeCollection Envelopes;

  TStreamOperation OnWriteToStream;
  TStreamOperation OnReadFromStream;
  TROServerExceptionEvent OnServerException;
  TROInitializeMessageEvent OnInitializeMessage;
  TROFinalizeMessageEvent OnFinalizeMessage;
  TROWriteMessageParameterEvent OnWriteMessageParameter;
  TROReadMessageParameterEvent OnReadMessageParameter;
  TROWriteExceptionEvent OnWriteException;
  TStreamOperation OnBeforeProcessOutgoingEnvelopes;
  TStreamOperation OnAfterProcessOutgoingEnvelopes;
  TStreamOperation OnBeforeProcessIncomingEnvelopes;
  TStreamOperation OnAfterProcessIncomingEnvelopes;

 protected:
  // A new default-constructed instance of this object's class (for Clone).
  virtual std::unique_ptr<TROMessage> CreateInstance() const = 0;
  // Whether `source` is of this object's class or a descendant.
  virtual bool IsAssignableFrom(const TROMessage& source) const {
    (void)source;
    return true;
  }
  // Sets "Content-Type" and the user agent when `transport` is a web transport.
  static void SetHTTPInfo(IROTransport* transport);
  // Envelope steps around the whole stream (position 0 afterwards), with their events.
  void ProcessOutgoingEnvelopes(TStream& stream);
  void ProcessIncomingEnvelopes(TStream& stream);
  TROStreamSerializer& StreamSerializer() { return *serializer_; }
  void StoreNames(const std::string& interfaceName, const std::string& messageName) {
    interface_name_ = interfaceName;
    message_name_ = messageName;
  }

 private:
  std::string interface_name_;
  std::string message_name_;
  TGUID client_id_;
  std::unique_ptr<TROStreamSerializer> serializer_;
};

// --- message class registry (stored-form loading) ---
using TROMessageFactory = std::function<std::unique_ptr<TROMessage>()>;
// Registering a name a second time replaces the entry.
void RegisterMessageClass(const std::string& name, TROMessageFactory factory);
void UnregisterMessageClass(const std::string& name);
// Null when the name is not registered.
std::unique_ptr<TROMessage> CreateMessageByClassName(const std::string& name);
bool IsMessageClassRegistered(const std::string& name);

}  // namespace qorvin
