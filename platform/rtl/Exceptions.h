// Base exception classes of the platform layer.
//
// Every failure inside the system is a C++ exception that carries a message text. The classes
// keep the platform's names so that callers (and the exception class registry of the messaging
// layer) can tell them apart by class and by name. `ClassName()` answers the class name exactly
// as the system spells it; it is what travels in exception replies.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace qorvin {

// Root of every exception the system raises. The message is 8-bit text in the process's ANSI
// code set, like every host-facing text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  virtual const char* ClassName() const { return "Exception"; }

 private:
  std::string message_;
};

// Declares `Name` deriving from `Parent`, with the message-only constructor and ClassName().
#define QORVIN_DECLARE_EXCEPTION(Name, Parent)                     \
  class Name : public Parent {                                     \
   public:                                                         \
    explicit Name(const std::string& message) : Parent(message) {} \
    const char* ClassName() const override { return #Name; }       \
  }

// Stream and persistence errors of the platform.
QORVIN_DECLARE_EXCEPTION(EStreamError, Exception);
QORVIN_DECLARE_EXCEPTION(EFilerError, EStreamError);
QORVIN_DECLARE_EXCEPTION(EReadError, EFilerError);
QORVIN_DECLARE_EXCEPTION(EWriteError, EFilerError);
// Conversion errors ("'%s' is not a valid GUID value", text code-set failures, ...).
QORVIN_DECLARE_EXCEPTION(EConvertError, Exception);
// Variant type mismatches and invalid variant operations.
QORVIN_DECLARE_EXCEPTION(EVariantError, Exception);
// Index and range checks on platform containers.
QORVIN_DECLARE_EXCEPTION(ERangeError, Exception);
// zlib failures; the message is zlib's own text for the error code.
QORVIN_DECLARE_EXCEPTION(EZCompressionError, Exception);
// Operating-system failures (random source, iconv set-up, ...), message names the call.
QORVIN_DECLARE_EXCEPTION(EOSError, Exception);
// Failed internal assertions ("Component already destroyed: ...").
QORVIN_DECLARE_EXCEPTION(EAssertionFailed, Exception);
// Interface casts that fail (the platform's "Interface not supported").
QORVIN_DECLARE_EXCEPTION(EIntfCastError, Exception);

// The platform's stream error texts.
inline constexpr std::string_view kStreamReadError = "Stream read error";
inline constexpr std::string_view kStreamWriteError = "Stream write error";

// printf-style formatting into a std::string (texts of the system use %s and %d).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qorvin
