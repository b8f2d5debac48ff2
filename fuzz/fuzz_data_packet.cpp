// libFuzzer entry for the data packet reader. A packet that decodes is loaded into a client
// dataset and written again: field definitions and rows must survive unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/dataset/ClientDataSet.h"
#include "platform/dataset/DataPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qorvin::TDataPacketLimits limits;
  limits.max_memory = int64_t(64) << 20;
  qorvin::TDataPacketContent first;
  try {
    first = qorvin::DecodeDataPacket({data, size}, limits);
  } catch (const qorvin::EDatabaseError&) {
    return 0;  // malformed packets end here, as a clear error
  }
  qorvin::TClientDataSet dataSet;
  dataSet.SetPacketLimits(limits);
  try {
    dataSet.SetData(qorvin::Variant::FromArray(qorvin::VarArray::Bytes(data, size)));
  } catch (const qorvin::EDatabaseError&) {
    if (!first.fields.empty()) std::abort();  // only a packet without fields may be refused
    return 0;
  }
  // Written again, the content must decode to the same definitions and row count, and load and
  // write to the very same bytes (bytes, not ==, so that NaN values compare too).
  const qorvin::Variant again = dataSet.Data();
  const qorvin::TDataPacketContent second =
      qorvin::DecodeDataPacket(qorvin::DataPacketBytes(again), limits);
  if (!(second.fields == first.fields) || second.rows.size() != first.rows.size()) std::abort();
  qorvin::TClientDataSet reloaded;
  reloaded.SetPacketLimits(limits);
  reloaded.SetData(again);
  const qorvin::Variant third = reloaded.Data();
  const auto a = qorvin::DataPacketBytes(again);
  const auto b = qorvin::DataPacketBytes(third);
  if (!std::equal(a.begin(), a.end(), b.begin(), b.end())) std::abort();
  return 0;
}
