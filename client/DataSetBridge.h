// How the remote data module turns host datasets into dataset blobs and back, on top of the
// conversions of the dataset streaming layer. Each function frees every temporary it makes on
// every path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "datastream/uConvertDataSet.h"
#include "include/qorvin/QorvinClient.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// Stores the data packet of the record set in `blob` into `packet` (when not null) and returns
// true; returns false (packet untouched) when the blob does not yield a record set. A blob with a
// record-set section is decoded in one pass, straight into the packet's bytes; others go through
// a temporary ADO dataset and its client dataset. Fails with EROException when the record set
// read but could not become a data packet, and with the blob's own errors when it does not read.
// `form`: what the packet's field definitions say (the module's data packet version).
bool BlobToPacket(TStream& blob, QorvinDataPacket* packet, TPacketForm form);
// The record set of `blob` in pieces of at most `rowsPerPiece` rows (at least 1), each a new
// record set handed to `onPiece` as soon as it is decoded; false (nothing handed on) when the
// blob yields no record set. The pieces' fields, rows and values are those of the record set
// PacketToAdo makes of BlobToPacket's packet; at least one piece comes (an empty result: one
// without rows). Failures as BlobToPacket's, after the pieces before them; what `onPiece` throws
// passes through.
using AdoPieceHandler = std::function<void(std::unique_ptr<TAdoDataSet> piece)>;
bool BlobToAdoPieces(TStream& blob, TPacketForm form, uint32_t rowsPerPiece,
                     const AdoPieceHandler& onPiece);
// Closes `dataSet` and refills it from `blob`; whether that yields a record set is not reported.
void BlobToAdoDataSet(TStream& blob, TAdoDataSet& dataSet);
// Writes the blob of a host packet into `request`: nothing at all when the packet is Null or
// Empty. A packet that does not load as a data packet fails with EConvertError, writing nothing.
void PacketToBlob(const Variant& packet, TStream& request);
// Writes the blob of `dataSet` (with data, ADTG, fastest compression) into `request`.
void AdoDataSetToBlob(const TAdoDataSet& dataSet, TStream& request);

// Packet ↔ record set, for hosts (null / Null when there is nothing to convert). A packet that
// does not load gives null with the reason in `failure`; what the record set raises propagates.
std::unique_ptr<TAdoDataSet> PacketToAdo(const QorvinDataPacket* packet, std::string& failure);
Variant AdoToPacket(const TAdoDataSet& dataSet, TPacketForm form);

}  // namespace qorvin
