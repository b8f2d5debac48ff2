// What an ADTG image says besides columns and rows: handler options, result-descriptor fields and
// property sets, the record-set context and base-table descriptors. The record set does not
// interpret these; it keeps them so that an opened image saves back byte for byte, and it writes
// ADO's own blocks (`Default()`) for a record set built from field definitions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qorvin {

struct AdtgImageInfo {
  std::string handlerOptions;  // body of the handler-options element (after its size)
  std::array<uint8_t, 16> descriptorGuid{};
  uint8_t resultInfo = 0;
  uint8_t cursorModel = 0;
  uint8_t normalization = 0;
  uint16_t computedColumns = 0;
  uint16_t orderByColumns = 0;
  std::string resultProperties;     // property sets after the 33 fixed bytes of the descriptor
  std::string context;              // body of the record-set context element
  std::vector<std::string> tables;  // bodies of the table descriptors, in image order

  // ADO's blocks for a record set built on the client: synchronous handler options, the result
  // descriptor's 7 ADC properties, the context's ROWSET and ADC property sets.
  static AdtgImageInfo Default();
  bool operator==(const AdtgImageInfo&) const = default;
};

}  // namespace qorvin
