// Test support shared by the record-set tests: corpus location, byte helpers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ado/AdoDataSet.h"

namespace qorvin::test {

// tests/data/adtg of the source tree: $QORVIN_SOURCE_DIR when set, else the tree this file was
// compiled from.
std::string AdtgDataDir();
std::string ReadFileBytes(const std::string& path);
// "01 07 54" (spaces and line breaks ignored) to bytes.
std::string HexToBytes(std::string_view hex);
std::string BytesToHex(std::string_view bytes);

std::string SaveToBytes(const TAdoDataSet& dataSet);
void OpenFromBytes(TAdoDataSet& dataSet, std::string_view bytes);

}  // namespace qorvin::test
