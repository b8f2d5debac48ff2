// Conversions between the host boundary's C types and the library's own types.
//
// Every function here is safe on null pointers (a null out-argument is simply not written) and
// follows the ownership rule of the boundary: before storing, the old bytes are released through
// their own release function; stored bytes come from malloc with a matching release.
#pragma once

#include <string>

#include "include/qorvin/QorvinClient.h"
#include "platform/dataset/DataPacketBuilder.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// Stores `value` into `text` (empty → the slot is emptied).
void StoreText(QorvinText* text, const std::string& value);
// The bytes of an in-argument; null reads as empty text.
inline std::string InText(const char* value) {
  return value ? std::string(value) : std::string();
}

// A host packet as a Variant: empty, Null or a byte array. Other kinds fail with EConvertError.
Variant PacketToVariant(const QorvinDataPacket* packet);
// Stores a Variant byte array (or Null / Empty) into `packet`; other kinds fail with
// EConvertError before anything is released.
void StoreVariantPacket(QorvinDataPacket* packet, const Variant& value);
// Hands the bytes of `block` to `packet` without copying them (freed with the block when
// `packet` is null).
void StorePacketBlock(QorvinDataPacket* packet, TPacketBlock block);

}  // namespace qorvin
