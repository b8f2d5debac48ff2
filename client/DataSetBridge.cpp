#include "client/DataSetBridge.h"

#include <span>
#include <string>

#include "client/HostValues.h"
#include "datastream/uBlobToPacket.h"
#include "datastream/uConvertAdo.h"
#include "datastream/uConvertDataSet.h"
#include "messaging/uROExceptions.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {
constexpr int kPersistFormat = kPersistADTG;
constexpr int kFastestLevel = 1;

[[noreturn]] void ConversionFailed(const std::string& failure) {
  throw EROException(failure.empty()
                         ? "The result set could not be turned into a client dataset"
                         : "The result set could not be turned into a client dataset: " + failure);
}

}  // namespace

bool BlobToPacket(TStream& blob, QorvinDataPacket* packet, TPacketForm form) {
  TPacketBlock block;
  try {
    // The image may inflate as far as the bytes that came allow (ImageInflateBudget).
    if (BlobToDataPacket(blob, block, ImageInflateBudget(blob.Size()), form)) {
      StorePacketBlock(packet, std::move(block));
      return true;
    }
  } catch (const EDataPacketConversion& e) {
    ConversionFailed(e.what());
  }
  // No record-set section: whatever the blob holds instead decides, as it always has.
  TAdoDataSet ado;
  if (!StreamToAdoDataSet(&ado, &blob, true)) return false;
  std::string failure;
  std::unique_ptr<TClientDataSet> client = AdoToClientDataSet(&ado, &failure, form);
  if (!client) ConversionFailed(failure);
  StoreVariantPacket(packet, client->Data());
  return true;
}

bool BlobToAdoPieces(TStream& blob, TPacketForm form, uint32_t rowsPerPiece,
                     const AdoPieceHandler& onPiece) {
  const auto load = [&](std::span<const uint8_t> bytes) {
    std::string failure;
    std::unique_ptr<TAdoDataSet> piece = LoadPacketBytesIntoAdoDataSet(bytes, failure);
    if (!piece) ConversionFailed(failure);
    onPiece(std::move(piece));
  };
  try {
    if (BlobToDataPacketPieces(
            blob, rowsPerPiece,
            [&](TPacketBlock&& piece) {
              load({piece.Data(), piece.Size()});
            },
            ImageInflateBudget(blob.Size()), form))
      return true;
  } catch (const EDataPacketConversion& e) {
    ConversionFailed(e.what());
  }
  // No record-set section: the record set the blob holds instead comes whole, in one piece.
  QorvinDataPacket packet{};
  if (!BlobToPacket(blob, &packet, form)) return false;
  struct FreeOnExit {
    QorvinDataPacket& packet;
    ~FreeOnExit() { qorvin_packet_free(&packet); }
  } freeOnExit{packet};
  if (packet.kind != kQorvinPacketBytes || packet.bytes == nullptr) return false;
  load({packet.bytes, size_t(packet.size)});
  return true;
}

void BlobToAdoDataSet(TStream& blob, TAdoDataSet& dataSet) {
  StreamToAdoDataSet(&dataSet, &blob, true);
}

void PacketToBlob(const Variant& packet, TStream& request) {
  if (packet.IsNull() || packet.IsEmpty()) return;
  // Not through VariantToAdoDataSet, which takes a packet that does not load for Null: sent on,
  // it would upload "no rows" in place of the host's data.
  std::string failure;
  std::unique_ptr<TAdoDataSet> ado = LoadPacketIntoAdoDataSet(packet, failure);
  if (!failure.empty())
    throw EConvertError("The data packet argument is not a valid data packet: " + failure);
  if (ado) AdoDataSetToStream(ado.get(), &request, true, kPersistFormat, kFastestLevel);
}

void AdoDataSetToBlob(const TAdoDataSet& dataSet, TStream& request) {
  AdoDataSetToStream(&dataSet, &request, true, kPersistFormat, kFastestLevel);
}

std::unique_ptr<TAdoDataSet> PacketToAdo(const QorvinDataPacket* packet, std::string& failure) {
  // The host's bytes are read where they lie: a copy held a large packet twice.
  if (packet != nullptr && packet->kind == kQorvinPacketBytes && packet->size > 0 &&
      packet->bytes != nullptr)
    return LoadPacketBytesIntoAdoDataSet({packet->bytes, size_t(packet->size)}, failure);
  return LoadPacketIntoAdoDataSet(PacketToVariant(packet), failure);
}

Variant AdoToPacket(const TAdoDataSet& dataSet, TPacketForm form) {
  if (!dataSet.Active()) return Variant::Null();
  std::string failure;
  Variant packet = AdoToDataPacket(&dataSet, &failure, form);
  if (packet.IsNull())
    throw EROException("The record set could not be turned into a data packet: " + failure);
  return packet;
}

}  // namespace qorvin
