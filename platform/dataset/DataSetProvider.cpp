#include "platform/dataset/DataSetProvider.h"

namespace qorvin {

std::vector<uint8_t> TDataSetProvider::DataBytes() const {
  if (dataSet_ == nullptr) throw EDatabaseError("Missing data set");
  return EncodeDataPacket(*dataSet_);
}

Variant TDataSetProvider::Data() const {
  return DataPacketToVariant(DataBytes());
}

}  // namespace qorvin
