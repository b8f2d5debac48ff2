// TROIndyTCPChannel: carries each request as one length-prefixed frame over a TCP connection and
// reads one frame back as the response.
//
// Frame (both directions):
//   offset 0  size 4  payload length, unsigned, big-endian (network order)
//   offset 4  size n  the payload, nothing else
//
// Connection: opened at the first dispatch (resolve Host, connect to Host:Port), closed after
// each dispatch unless KeepAlive. With DisableNagle, TCP_NODELAY is set once on every new
// connection, wherever it is opened (a dispatch, or IndyClient().Connect() by the module). A
// kept connection to another address than the current Host and Port (after a server locator
// switched them) is closed and a connection to the new address opened.
// After a failed dispatch the connection is always closed, KeepAlive or not: a frame cut off in
// the middle would otherwise hand the rest of one answer to the next request. For the same
// reason a kept connection on which bytes (or the server's close) are waiting before a request
// is sent is closed and opened anew.
//
// Waits: connecting waits at most ConnectTimeout, each wait for the socket while sending or
// receiving at most ReadTimeout (milliseconds; 0 means no limit). Defaults: 30000 and 600000.
//
// Failures (socket layer texts): EIdSocketError "Socket Error # %d\r\n%s", EIdConnClosedGracefully
// "Connection Closed Gracefully.", EIdNotConnected "Not Connected", EIdConnectTimeout "Connect
// timed out after %d ms.", EIdReadTimeout "Read timed out after %d ms.", and EROException
// "Invalid frame length %u received." for an answer announcing 2 GiB or more (checked before
// anything is allocated) or "Request too large for one frame (%lld bytes)." before sending.
//
// Progress and cancel: the frame's payload bytes are counted as they go and come (the total of
// an answer is the length its prefix announces); the socket watches the channel's cancel latch.
//
// Threads: one dispatch at a time (the base's busy guard); all socket calls block the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "channels/uROClient.h"
#include "platform/socket/TcpClient.h"

namespace qorvin {

// The channel's socket client: where to connect, the bounds of its waits, and the connection.
class TIdTCPClient {
 public:
  const std::string& Name() const { return name_; }
  std::string Host = "127.0.0.1";
  int32_t Port = 8090;
  int ConnectTimeout = 30000;
  int ReadTimeout = 600000;
  // Sets TCP_NODELAY on every connection Connect opens (the channel's DisableNagle).
  bool NoDelay = false;
  // The largest single write or read (the channel sends and receives in pieces of this size).
  static constexpr size_t kPieceSize = 32768;

  bool Connected() const { return socket_.Connected(); }
  // Opens a new connection (closing an open one) and applies NoDelay to it; a failing option
  // call closes the connection and fails with the socket error.
  void Connect();
  // Whether the open connection was made to the current Host and Port.
  bool ConnectedToAddress() const {
    return Connected() && connectedHost_ == Host && connectedPort_ == Port;
  }
  void Disconnect() { socket_.Close(); }
  TTcpClient& Socket() { return socket_; }
  // Number of connections opened so far (diagnostics, tests).
  uint64_t ConnectCount() const { return connects_; }

 private:
  std::string name_ = "InternalIndyClient";
  TTcpClient socket_;
  uint64_t connects_ = 0;
  std::string connectedHost_;
  int32_t connectedPort_ = 0;
};

class TROIndyTCPChannel : public TROTransportChannel, public IROSocketTransport {
 public:
  explicit TROIndyTCPChannel(TROComponent* owner = nullptr, std::string name = {});
  ~TROIndyTCPChannel() override;
  const char* ClassName() const override { return "TROIndyTCPChannel"; }

  int32_t Port() const { return client_->Port; }
  void SetPort(int32_t port) override { client_->Port = port; }
  const std::string& Host() const { return client_->Host; }
  void SetHost(const std::string& host) override { client_->Host = host; }
  bool DisableNagle() const { return client_->NoDelay; }
  void SetDisableNagle(bool value) { client_->NoDelay = value; }
  bool KeepAlive() const { return keepAlive_; }
  void SetKeepAlive(bool value) { keepAlive_ = value; }
  // Milliseconds; 0 waits without limit.
  int ConnectTimeout() const { return client_->ConnectTimeout; }
  void SetConnectTimeout(int ms) { client_->ConnectTimeout = ms < 0 ? 0 : ms; }
  int ReadTimeout() const { return client_->ReadTimeout; }
  void SetReadTimeout(int ms) { client_->ReadTimeout = ms < 0 ? 0 : ms; }
  TIdTCPClient& IndyClient() { return *client_; }
  // ConnectTimeout and ReadTimeout.
  void SetCallBounds(int connectMs, int readMs) override {
    if (connectMs > 0) SetConnectTimeout(connectMs);
    if (readMs > 0) SetReadTimeout(readMs);
  }

  // IROSocketTransport
  std::string GetPeerAddress() override { return client_->Socket().PeerAddress(); }
  std::string GetHost() override { return client_->Host; }
  int32_t GetPort() override { return client_->Port; }

  void Assign(const TROTransportChannel& source) override;

 protected:
  void IntDispatch(TStream& request, TStream& response) override;
  std::unique_ptr<TROTransportChannel> CreateProbeChannel() override;
  bool AddressIsSet() const override { return !client_->Host.empty(); }
  // What the base finds through a cross-cast, without one: it runs after every call.
  std::string AddressText() override { return HostPortText(client_->Host, client_->Port); }
  const char* AddressPropertyName() const override { return "Host"; }
  void AssignAddress(const TROTransportChannel& source) override;
  bool AcceptsAssignFrom(const TROTransportChannel& source) const override;
  // The socket client factory.
  virtual std::unique_ptr<TIdTCPClient> CreateIndyClient();

 private:
  void SendFrame(TStream& request);
  // True when bytes followed the frame in what was received (they belong to no request).
  bool ReceiveFrame(TStream& response);

  std::unique_ptr<TIdTCPClient> client_;
  bool keepAlive_ = false;
};

}  // namespace qorvin
