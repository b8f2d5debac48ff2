// The last error text of a module, shared with the record sets the module makes, so that a
// record set's refusal (a value that does not fit its field, say) can be read by the host
// through the module's GetLastErrorText. A mutex guards the text: a host may read it from any
// thread, also while a call of the module runs on another.
#pragma once

#include <mutex>
#include <string>

namespace qorvin {

class LastErrorText {
 public:
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = text;
  }
  void Clear() { Set(std::string()); }
  std::string Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace qorvin
