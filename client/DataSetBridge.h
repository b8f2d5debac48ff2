// How the remote data module turns host datasets into dataset blobs and back, on top of the
// conversions of the dataset streaming layer. Each function frees every temporary it makes on
// every path.
#pragma once

#include <memory>

#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// Reads `blob` into a temporary ADO dataset and, when that read succeeds, hands back its client
// dataset's data packet in `packet` and returns true. Returns false (packet untouched) when the
// blob does not yield a record set. Fails with EROException when the record set read but could
// not become a client dataset.
bool BlobToPacket(TStream& blob, Variant& packet);
// Closes `dataSet` and refills it from `blob`; whether that yields a record set is not reported.
void BlobToAdoDataSet(TStream& blob, TAdoDataSet& dataSet);
// Writes the blob of a host packet into `request`: nothing at all when the packet is Null or
// Empty. A packet that does not load as a data packet fails with EConvertError, writing nothing.
void PacketToBlob(const Variant& packet, TStream& request);
// Writes the blob of `dataSet` (with data, ADTG, fastest compression) into `request`.
void AdoDataSetToBlob(const TAdoDataSet& dataSet, TStream& request);

// Packet ↔ record set, for hosts (null / Null when there is nothing to convert).
std::unique_ptr<TAdoDataSet> PacketToAdo(const Variant& packet);
Variant AdoToPacket(const TAdoDataSet& dataSet);

}  // namespace qorvin
