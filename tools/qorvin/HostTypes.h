// Owners for the values that cross the client library's boundary, so that every text, packet
// and record set the library hands over is freed on every path.
#pragma once

#include <memory>
#include <string>

#include "include/qorvin/QorvinClient.h"

namespace qorvin::cli {

// A text slot for out and in/out arguments; frees whatever the library stored.
struct HostText {
  QorvinText slot{};
  HostText() = default;
  HostText(const HostText&) = delete;
  HostText& operator=(const HostText&) = delete;
  ~HostText() { qorvin_text_free(&slot); }
  std::string str() const {
    return slot.data != nullptr ? std::string(slot.data, size_t(slot.length)) : std::string();
  }
};

// A data packet slot; frees whatever the library stored.
struct HostPacket {
  QorvinDataPacket slot{};
  HostPacket() = default;
  HostPacket(const HostPacket&) = delete;
  HostPacket& operator=(const HostPacket&) = delete;
  ~HostPacket() { qorvin_packet_free(&slot); }
  bool HasBytes() const { return slot.kind == kQorvinPacketBytes && slot.bytes != nullptr; }
};

struct RecordSetRelease {
  void operator()(QorvinAdoDataSet* ds) const {
    if (ds != nullptr) ds->Release();
  }
};
// A record set the host frees (Release()) when it is done with it.
using RecordSetPtr = std::unique_ptr<QorvinAdoDataSet, RecordSetRelease>;

}  // namespace qorvin::cli
