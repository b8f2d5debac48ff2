// libFuzzer entry for the typed value stream reader.
//
// The first byte picks the input's form: 0 — the rest is a compressed image as it arrives
// (exercises inflation and its limits); otherwise the rest is the inflated content, stored
// uncompressed so that the fuzzer works on the value encoding itself. Every decoded variant is
// written back and must read back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datastream/uAdoParamsStream.h"
#include "platform/zlib/ZStream.h"

namespace {

// The image of one variant at level 0 (stored, deterministic); empty when the writer refuses it.
std::string Encode(const qorvin::Variant& value) {
  qorvin::TWAStreamWriter writer(0);
  try {
    writer.WriteVariant(value);
  } catch (const qorvin::EWriteError&) {
    return {};  // kinds only a reader meets, e.g. an empty array inside tag 12
  }
  qorvin::TMemoryStream image;
  writer.SaveToStream(&image);
  return std::string(image.View());
}

// Writing a decoded value and reading it back must give a value that writes the same bytes
// (bytes, not ==, so that NaN payloads compare too).
void CheckRoundTrip(const qorvin::Variant& value) {
  const std::string first = Encode(value);
  if (first.empty()) return;
  qorvin::TMemoryStream image;
  image.WriteBytes(first);
  image.SetPosition(0);
  qorvin::TWAStreamReader reader;
  reader.LoadFromStream(&image);
  const qorvin::Variant back = reader.ReadVariant();
  if (reader.Remaining() != 0 || Encode(back) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  qorvin::TMemoryStream image;
  if (data[0] == 0) {
    image.WriteBuffer(data + 1, int64_t(size - 1));
  } else {
    qorvin::TMemoryStream plain;
    plain.WriteBuffer(data + 1, int64_t(size - 1));
    plain.SetPosition(0);
    qorvin::ZCompress(plain, -1, image, 0);
  }
  image.SetPosition(0);
  qorvin::TWAStreamReader reader;
  qorvin::TWAStreamLimits limits;
  limits.max_inflated_size = 1 << 20;
  limits.max_variant_elements = 1 << 16;
  limits.max_decoded_bytes = 16 << 20;
  reader.SetLimits(limits);
  try {
    reader.LoadFromStream(&image);
    for (int i = 0; i < 64 && reader.Remaining() > 0; ++i) CheckRoundTrip(reader.ReadVariant());
  } catch (const qorvin::Exception&) {
    // Every malformed input must end here, as a clear error.
  }
  return 0;
}
