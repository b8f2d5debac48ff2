// The dataset provider: makes the data packet of a dataset it is attached to.
//
// The provider borrows the dataset; whoever attaches one keeps it alive until it is detached.
// TProviderAttachment attaches a provider for one scope and detaches it on every path, which is
// how a provider shared by many conversions stays attached to no dataset between them.
// Not thread-safe: one conversion at a time per provider.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/dataset/DataPacket.h"
#include "platform/dataset/DataSetSource.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

class TDataSetProvider {
 public:
  TDataSetProvider() = default;
  TDataSetProvider(const TDataSetProvider&) = delete;
  TDataSetProvider& operator=(const TDataSetProvider&) = delete;

  // Null detaches.
  void SetDataSet(const IDataSetSource* dataSet) { dataSet_ = dataSet; }
  const IDataSetSource* DataSet() const { return dataSet_; }

  // The packet of every field definition and row of the attached dataset, as a byte-array
  // Variant. EDatabaseError "Missing data set" when none is attached, and what EncodeDataPacket
  // raises (a closed dataset, an unsupported field, a value that does not convert).
  Variant Data() const;
  std::vector<uint8_t> DataBytes() const;

 private:
  const IDataSetSource* dataSet_ = nullptr;
};

class TProviderAttachment {
 public:
  TProviderAttachment(TDataSetProvider& provider, const IDataSetSource& dataSet)
      : provider_(provider) {
    provider_.SetDataSet(&dataSet);
  }
  ~TProviderAttachment() { provider_.SetDataSet(nullptr); }
  TProviderAttachment(const TProviderAttachment&) = delete;
  TProviderAttachment& operator=(const TProviderAttachment&) = delete;

 private:
  TDataSetProvider& provider_;
};

}  // namespace qorvin
