#include "client/HostValues.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {
void ReleaseMallocBytes(uint8_t* bytes) {
  std::free(bytes);
}
}  // namespace

void StoreText(QorvinText* text, const std::string& value) {
  if (text == nullptr) return;
  char* copy = nullptr;
  if (!value.empty()) {
    copy = static_cast<char*>(std::malloc(value.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, value.data(), value.size());
    copy[value.size()] = '\0';
  }
  qorvin_text_free(text);
  if (copy == nullptr) return;
  text->data = copy;
  text->length = int32_t(value.size());
  text->release = qorvin_text_release_malloc;
}

Variant PacketToVariant(const QorvinDataPacket* packet) {
  if (packet == nullptr) return Variant();
  switch (packet->kind) {
    case kQorvinPacketEmpty:
      return Variant();
    case kQorvinPacketNull:
      return Variant::Null();
    case kQorvinPacketBytes:
      if (packet->size < 0 || (packet->size > 0 && packet->bytes == nullptr))
        throw EConvertError("Invalid data packet argument");
      return Variant::FromArray(VarArray::Bytes(packet->bytes, size_t(packet->size)));
    default:
      throw EConvertError(Format("Unsupported data packet kind %d", int(packet->kind)));
  }
}

void StoreVariantPacket(QorvinDataPacket* packet, const Variant& value) {
  if (packet == nullptr) return;
  uint8_t* copy = nullptr;
  int64_t size = 0;
  uint16_t kind = kQorvinPacketEmpty;
  if (value.IsNull()) {
    kind = kQorvinPacketNull;
  } else if (value.Type() == (varArray | varByte)) {
    const auto& raw = value.AsArray().RawData();
    size = int64_t(raw.size());
    kind = kQorvinPacketBytes;
    copy = static_cast<uint8_t*>(std::malloc(raw.empty() ? 1 : raw.size()));
    if (copy == nullptr) throw std::bad_alloc();
    if (!raw.empty()) std::memcpy(copy, raw.data(), raw.size());
  } else if (!value.IsEmpty()) {
    throw EConvertError(Format("A data packet cannot hold a variant of type %s",
                               VarTypeName(value.Type()).c_str()));
  }
  qorvin_packet_free(packet);
  packet->kind = kind;
  packet->bytes = copy;
  packet->size = size;
  packet->release = copy ? ReleaseMallocBytes : nullptr;
}

void StorePacketBlock(QorvinDataPacket* packet, TPacketBlock block) {
  if (packet == nullptr) return;
  qorvin_packet_free(packet);
  packet->kind = kQorvinPacketBytes;
  packet->size = int64_t(block.Size());
  packet->bytes = block.Release();
  packet->release = ReleaseMallocBytes;
}

}  // namespace qorvin
