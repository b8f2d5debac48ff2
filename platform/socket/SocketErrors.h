// Failures of the socket layer, with the texts the channels report to their callers.
//
// Every operating-system failure of a socket call is turned into an exception in exactly one
// place (`RaiseSocketError`), so that the code and text a caller sees do not depend on which call
// failed.
#pragma once

#include <string>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

// Base of every socket-layer failure.
QORVIN_DECLARE_EXCEPTION(EIdException, Exception);
// An operating-system failure: "Socket Error # %d\r\n%s" with the code and its text.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int code, const std::string& text);
  const char* ClassName() const override { return "EIdSocketError"; }
  int LastError() const { return code_; }

 private:
  int code_;
};
// The peer closed the connection while bytes were still expected: "Connection Closed Gracefully."
QORVIN_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdException);
// An operation on a client that has no open connection: "Not Connected".
QORVIN_DECLARE_EXCEPTION(EIdNotConnected, EIdException);
// A datagram larger than the platform can send (or than the receive buffer): "Package Size Too
// Big."
QORVIN_DECLARE_EXCEPTION(EIdPackageSizeTooBig, EIdException);
// The platform sent fewer bytes than the datagram held: "Not all bytes sent."
QORVIN_DECLARE_EXCEPTION(EIdNotAllBytesSent, EIdException);
// A bounded wait ran out. The text names the time-out and its value in milliseconds.
QORVIN_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
QORVIN_DECLARE_EXCEPTION(EIdWriteTimeout, EIdException);
QORVIN_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);

inline constexpr const char* kConnClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* kNotConnected = "Not Connected";
inline constexpr const char* kPackageSizeTooBig = "Package Size Too Big.";
inline constexpr const char* kNotAllBytesSent = "Not all bytes sent.";

// Error code reported when a host name cannot be resolved. Name resolution has no errno value of
// its own; this is the number conventionally used for "Host not found.".
inline constexpr int kHostNotFoundCode = 11001;

// The text for a socket error code ("Connection refused.", "Host not found.", ...). Codes
// without a text of their own fall back to the operating system's description.
std::string SocketErrorText(int code);

// Raises EIdSocketError for `code` (an errno value or kHostNotFoundCode).
[[noreturn]] void RaiseSocketError(int code);

}  // namespace qorvin
