// The data packet of the record set in a dataset blob, made in one pass: the record-set section
// is inflated piece by piece and every row goes from the ADTG image straight into the packet, so
// neither the whole image, nor a record set of every row, nor a value object per cell is held.
// The packet's bytes are those AdoToClientDataSet gives for the record set StreamToAdoDataSet
// reads from the same blob.
//
// Ownership: the blob is borrowed (and cut, as StreamToAdoDataSet cuts it); the packet belongs
// to the caller. Threads: the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "datastream/uConvertDataSet.h"
#include "platform/dataset/DataPacketBuilder.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Stream.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

// A record set that was read but does not become a data packet (a value that does not convert,
// a column no packet field holds). The message is the reason.
QORVIN_DECLARE_EXCEPTION(EDataPacketConversion, Exception);

// Makes the packet into `packet` and returns true when the blob has a record-set section. Returns
// false, with `blob` and `packet` untouched, when it has none (shorter than a trailer, an empty
// section) or its trailer is damaged: StreamToAdoDataSet then tells what the blob holds.
// Failures: those of StreamToAdoDataSet for the parameters section, the zlib data (an image
// larger than `maxImageSize` included) and the image (EAdoError, with the same texts), and
// EDataPacketConversion; `packet` is then untouched. `form`: what the packet's field definitions
// say. `window`: the bytes of the image held at a time (grown for a larger row).
inline constexpr size_t kBlobPacketWindow = size_t(1) << 20;
bool BlobToDataPacket(TStream& blob, TPacketBlock& packet, int64_t maxImageSize = InflateBudget(),
                      TPacketForm form = TPacketForm::ColumnTypes,
                      size_t window = kBlobPacketWindow);

// BlobToDataPacket in pieces: the rows go into packets of at most `rowsPerPiece` rows (at least
// 1), each handed to `onPiece` as soon as it is full, so that no packet of every row is held.
// Every piece has the fields of the whole; together their rows are the packet's rows, in order.
// At least one piece comes when the blob has a record-set section: the last one, which may have
// no rows. A failure further on comes after the pieces before it were handed on; what `onPiece`
// throws passes through and ends the read.
using PacketPieceHandler = std::function<void(TPacketBlock&& piece)>;
bool BlobToDataPacketPieces(TStream& blob, uint32_t rowsPerPiece, const PacketPieceHandler& onPiece,
                            int64_t maxImageSize = InflateBudget(),
                            TPacketForm form = TPacketForm::ColumnTypes,
                            size_t window = kBlobPacketWindow);

}  // namespace qorvin
