#include "channels/uROIndyTCPChannel.h"

#include <algorithm>
#include <cstdint>

namespace qorvin {

namespace {

int WaitBound(int ms) {
  return ms > 0 ? ms : kWaitForever;
}

// The largest payload a frame may announce: the high bit of the length is never set.
constexpr uint32_t kMaxFrameLength = 0x7FFFFFFF;
// Room reserved ahead for an answer: at most this much before the bytes have arrived.
constexpr int64_t kMaxReserveAhead = 1 << 20;

}  // namespace

void TIdTCPClient::Connect() {
  socket_.Connect(Host, Port, WaitBound(ConnectTimeout));
  ++connects_;
  connectedHost_ = Host;
  connectedPort_ = Port;
  if (!NoDelay) return;
  try {
    socket_.SetNoDelay(true);
  } catch (...) {
    socket_.Close();
    throw;
  }
}

TROIndyTCPChannel::TROIndyTCPChannel(TROComponent* owner, std::string name)
    : TROTransportChannel(owner, std::move(name)), client_(CreateIndyClient()) {
  client_->Socket().SetInterrupt(&Interrupt());
}

TROIndyTCPChannel::~TROIndyTCPChannel() {
  StopProbing();
}

std::unique_ptr<TIdTCPClient> TROIndyTCPChannel::CreateIndyClient() {
  return std::make_unique<TIdTCPClient>();
}

std::unique_ptr<TROTransportChannel> TROIndyTCPChannel::CreateProbeChannel() {
  auto probe = std::make_unique<TROIndyTCPChannel>(this);
  probe->SetConnectTimeout(ProbeBound(ConnectTimeout()));
  probe->SetReadTimeout(ProbeBound(ReadTimeout()));
  return probe;
}

bool TROIndyTCPChannel::AcceptsAssignFrom(const TROTransportChannel& source) const {
  return dynamic_cast<const TROIndyTCPChannel*>(&source) != nullptr;
}

void TROIndyTCPChannel::AssignAddress(const TROTransportChannel& source) {
  const auto& tcp = static_cast<const TROIndyTCPChannel&>(source);
  SetPort(tcp.Port());
  SetHost(tcp.Host());
}

void TROIndyTCPChannel::Assign(const TROTransportChannel& source) {
  TROTransportChannel::Assign(source);
  const auto& tcp = static_cast<const TROIndyTCPChannel&>(source);
  SetDisableNagle(tcp.DisableNagle());
  keepAlive_ = tcp.keepAlive_;
  SetConnectTimeout(tcp.ConnectTimeout());
  SetReadTimeout(tcp.ReadTimeout());
}

void TROIndyTCPChannel::IntDispatch(TStream& request, TStream& response) {
  TTcpClient& socket = client_->Socket();
  uint64_t sentBefore = socket.BytesSent();
  bool stray = false;
  try {
    // A kept connection to another server (a locator switched the address) is not this call's.
    if (client_->Connected() && !client_->ConnectedToAddress()) client_->Disconnect();
    // A kept connection that has something to read before a request was sent holds either a
    // close by the server or bytes of no request of ours (a second answer); either way it
    // cannot carry this request.
    if (client_->Connected() && socket.WaitReadable(0)) client_->Disconnect();
    if (!client_->Connected()) client_->Connect();
    sentBefore = socket.BytesSent();
    SendFrame(request);
    NoteRequestSent();
    // Bytes after the answer are what a readable kept connection holds before a request: the
    // connection cannot carry the next one.
    stray = ReceiveFrame(response);
  } catch (...) {
    if (socket.BytesSent() != sentBefore) NoteRequestSent();
    // Whatever state the connection is in, it cannot carry the next frame safely.
    client_->Disconnect();
    throw;
  }
  if (!keepAlive_ || stray) client_->Disconnect();
}

// Writes the 4-byte big-endian length, then the payload in pieces of at most 32768 bytes. The
// prefix goes out in one write with the first piece: written alone, it cost a second trip
// through the network stack per call, and with Nagle's algorithm on, the piece after it could
// wait for the peer's delayed acknowledgement.
void TROIndyTCPChannel::SendFrame(TStream& request) {
  request.SetPosition(0);
  const int64_t size = request.Size();
  if (size > int64_t(kMaxFrameLength)) {
    NoteRequestRefused();
    throw EROException(
        Format("Request too large for one frame (%lld bytes).", static_cast<long long>(size)));
  }
  const uint32_t n = uint32_t(size);
  const int wait = WaitBound(client_->ReadTimeout);
  TTcpClient& socket = client_->Socket();
  Transfer().BeginSend(size);
  // Left uninitialized but for the prefix: only the bytes written are sent, and filling 32 KiB
  // of stack with zeros on every call cost more than the rest of the call's own work.
  unsigned char buffer[4 + TIdTCPClient::kPieceSize];
  buffer[0] = uint8_t(n >> 24);
  buffer[1] = uint8_t(n >> 16);
  buffer[2] = uint8_t(n >> 8);
  buffer[3] = uint8_t(n);
  size_t prefix = 4;  // bytes of the prefix still to go with the next write
  int64_t left = size;
  do {
    const int64_t chunk = std::min<int64_t>(left, TIdTCPClient::kPieceSize);
    request.ReadBuffer(buffer + prefix, chunk);
    socket.SendAll(buffer, prefix + size_t(chunk), wait);
    prefix = 0;
    left -= chunk;
    Transfer().SentSoFar(size - left);
  } while (left > 0);
}

// Reads the 4-byte big-endian length L, then exactly L bytes at the response's position, in
// pieces of at most 32768 bytes. The stream grows as bytes arrive, never ahead by more than
// 1 MiB, so a false length cannot make the channel allocate memory for bytes it never gets.
//
// The answer cannot be there the moment the request has left, so the first read waits in the
// receive itself (a receive tried first only ever found nothing, and a wait before the receive
// is a system call of its own), and that receive takes the prefix together with as much of the
// payload as came with it. Bytes after the frame
// in it are dropped, and reported.
bool TROIndyTCPChannel::ReceiveFrame(TStream& response) {
  const int wait = WaitBound(client_->ReadTimeout);
  TTcpClient& socket = client_->Socket();
  unsigned char piece[4 + TIdTCPClient::kPieceSize];
  size_t have = socket.AwaitSome(piece, sizeof piece, wait);
  if (have == 0) throw EIdConnClosedGracefully(kConnClosedGracefully);
  if (have < 4) {
    socket.ReceiveExactly(piece + have, 4 - have, wait);
    have = 4;
  }
  const uint32_t n = uint32_t(piece[0]) << 24 | uint32_t(piece[1]) << 16 | uint32_t(piece[2]) << 8 |
                     uint32_t(piece[3]);
  if (n > kMaxFrameLength) throw EROException(Format("Invalid frame length %u received.", n));
  Transfer().BeginReceive(n);
  if (auto* memory = dynamic_cast<TMemoryStream*>(&response))
    memory->Reserve(response.Position() + std::min<int64_t>(n, kMaxReserveAhead));
  const size_t first = std::min<size_t>(have - 4, n);
  int64_t left = n;
  if (first > 0) {
    response.WriteBuffer(piece + 4, int64_t(first));
    left -= int64_t(first);
    Transfer().ReceivedSoFar(int64_t(n) - left);
  }
  while (left > 0) {
    const int64_t chunk = std::min<int64_t>(left, TIdTCPClient::kPieceSize);
    socket.ReceiveExactly(piece, size_t(chunk), wait);
    response.WriteBuffer(piece, chunk);
    left -= chunk;
    Transfer().ReceivedSoFar(int64_t(n) - left);
  }
  return have - 4 > first;
}

}  // namespace qorvin
