// libFuzzer entry: arbitrary bytes as a received binary message, then a few parameters of every
// kind read from it. Every failure must be one of the system's exceptions; anything else (a
// crash, a sanitizer report, bad_alloc from an unchecked length) is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "messaging/uROBinMessage.h"
#include "platform/rtl/Exceptions.h"

using namespace qorvin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TROBinMessage message;
  // Inflation within 1 MiB: a body of a few kilobytes that inflates to 16 MiB cost 3 ms an input
  // (the pages of its buffer cleared and freed each time), so a run reached a few hundred inputs
  // a second. The limit's own failure is reached just the same.
  message.MaxDecompressedSize = 1 << 20;
  auto stream = std::make_unique<TMemoryStream>();
  stream->WriteBuffer(data, int64_t(size));
  try {
    message.ReadFromStream(std::move(stream));
    int32_t i = 0;
    std::string s, guid;
    std::u16string w;
    Variant v, d;
    std::unique_ptr<TROBinaryMemoryStream> b;
    bool flag = false;
    double dt = 0;
    message.ReadMessageParameter("Result", TypeInfo_Integer(), &i, 0);
    message.ReadMessageParameter("s", TypeInfo_String(), &s, 0);
    message.ReadMessageParameter("w", TypeInfo_WideString(), &w, 0);
    message.ReadMessageParameter("v", TypeInfo_Variant(), &v, 0);
    message.ReadMessageParameter("b", TypeInfo_Binary(), &b, 0);
    message.ReadMessageParameter("f", TypeInfo_Boolean(), &flag, 0);
    message.ReadMessageParameter("t", TypeInfo_TDateTime(), &dt, paIsDateTime);
    message.ReadMessageParameter("g", TypeInfo_Guid(), &guid, 0);
    message.ReadMessageParameter("d", TypeInfo_Decimal(), &d, 0);
  } catch (const Exception&) {
    // Rejected input: the expected outcome for most inputs.
  }
  message.ReleaseBody();
  return 0;
}
