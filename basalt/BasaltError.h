// Failures raised by the framework stand-in. Both carry a message text for the user.
#pragma once

#include "basalt/BasaltApi.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {

// Framework misuse or bad input (a malformed menu file, an unknown plug class, ...).
class BASALT_API EBasaltError : public Exception {
 public:
  explicit EBasaltError(const std::string& message) : Exception(message) {}
  const char* ClassName() const override { return "EBasaltError"; }
};

// Dataset misuse: a missing field, a cursor without a row, posting while not editing.
class BASALT_API EDataSetError : public EBasaltError {
 public:
  explicit EDataSetError(const std::string& message) : EBasaltError(message) {}
  const char* ClassName() const override { return "EDataSetError"; }
};

}  // namespace qorvin
