// The interfaces through which proxies, messages and transport channels meet.
//
// Lifetimes: none of these interfaces owns what it is given unless the operation says so. The
// remote data module owns its message and channel for its whole life; proxies borrow them for
// one call. All operations run on the caller's thread; a message or channel serves one call at a
// time (the channel refuses a second concurrent dispatch with EROChannelBusy).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "messaging/uROTypes.h"
#include "platform/rtl/Guid.h"
#include "platform/rtl/Stream.h"

namespace qorvin {

class IROMessage;
class TROServerLocator;

// What a message is carried by. `GetTransportInstance` yields the channel object itself.
class IROTransport {
 public:
  virtual ~IROTransport() = default;
  virtual void* GetTransportInstance() = 0;
  // Capability queries in place of interface casts: null when the transport does not offer it.
  virtual class IROWebTransport* AsWebTransport() { return nullptr; }
};

// HTTP transports: headers of the next request and the user agent.
class IROWebTransport {
 public:
  virtual ~IROWebTransport() = default;
  virtual void SetHeaders(const std::string& name, const std::string& value) = 0;
  virtual std::string GetHeaders(const std::string& name) = 0;
  virtual std::string GetTransportName() = 0;
  virtual void SetUserAgent(const std::string& agent) = 0;
  virtual std::string GetUserAgent() = 0;
};

class IROTransportChannel : public IROTransport {
 public:
  // Raises the channel's locator-assignment event, then applies the locator.
  virtual void AssignServerLocator(TROServerLocator* locator, const std::exception* cause) = 0;
  virtual bool ProbeServer(TROServerLocator* locator) = 0;
  virtual void ProbeServerLocators() = 0;
  // Stream level: sends all of `request` (from offset 0) and fills `response`.
  virtual void Dispatch(TStream& request, TStream& response) = 0;
  // Message level: the message writes itself, the channel carries it, the message reads the
  // reply (taking the reply stream). A server exception reply raises here.
  virtual void Dispatch(IROMessage& message) = 0;
  // Hook before each message attempt and each probe (message may be null).
  virtual void PrepareDispatch(IROMessage* message) = 0;
};

// The message a proxy drives. Values are passed as (name, type description, pointer to storage)
// with the storage types listed in uROTypes.h.
class IROMessage {
 public:
  virtual ~IROMessage() = default;

  virtual void InitializeMessage(IROTransport* transport, const std::string& interfaceName,
                                 const std::string& messageName, uint8_t kind) = 0;
  virtual void InitializeRequest(IROTransport* transport, const std::string& libraryName,
                                 const std::string& interfaceName,
                                 const std::string& messageName) = 0;
  virtual void InitializeResponse(IROTransport* transport, const std::string& libraryName,
                                  const std::string& interfaceName,
                                  const std::string& messageName) = 0;
  virtual void InitializeEvent(IROTransport* transport, const std::string& libraryName,
                               const std::string& interfaceName,
                               const std::string& messageName) = 0;
  virtual void PrepareTransport(IROTransport* transport, const std::string& libraryName,
                                const std::string& interfaceName,
                                const std::string& messageName) = 0;
  virtual void FinalizeMessage() = 0;

  virtual TGUID GetClientID() const = 0;
  virtual void SetClientID(const TGUID& id) = 0;

  virtual void WriteMessageParameter(const std::string& name, const TTypeInfo& type,
                                     const void* value, TParamAttributes attributes) = 0;
  virtual void ReadMessageParameter(const std::string& name, const TTypeInfo& type, void* value,
                                    TParamAttributes attributes) = 0;

  virtual std::string GetInterfaceName() const = 0;
  virtual std::string GetMessageName() const = 0;
  virtual void SetInterfaceName(const std::string& name) = 0;
  virtual void SetMessageName(const std::string& name) = 0;

  // Appends header and body to `stream` at its position.
  virtual void WriteToStream(TStream& stream) = 0;
  // Reads a whole received message; the message copies the stream.
  virtual void ReadFromStream(TStream& stream) = 0;
  // Reads a whole received message and takes ownership of `stream` (the channel's form).
  // On return — normal or by exception — the stream is owned by the message or already freed;
  // the caller must not touch it again.
  virtual void ReadFromStream(std::unique_ptr<TStream> stream) = 0;
  virtual void WriteException(TStream& stream, const std::exception& e) = 0;

  virtual void ReleaseBody() = 0;
  virtual void EndCall(IROTransport* transport) = 0;
  virtual void BeforeRead(IROTransport* transport) = 0;
};

}  // namespace qorvin
