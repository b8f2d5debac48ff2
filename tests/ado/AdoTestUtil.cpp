#include "tests/ado/AdoTestUtil.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qorvin::test {

std::string AdtgDataDir() {
  if (const char* root = std::getenv("QORVIN_SOURCE_DIR"); root != nullptr && *root != '\0')
    return std::string(root) + "/tests/data/adtg";
  std::string file = __FILE__;  // .../tests/ado/AdoTestUtil.cpp
  file.resize(file.rfind('/'));
  file.resize(file.rfind('/'));
  return file + "/data/adtg";
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string HexToBytes(std::string_view hex) {
  std::string out;
  int high = -1;
  for (const char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out += char(high << 4 | v);
      high = -1;
    }
  }
  if (high >= 0) throw std::runtime_error("odd number of hex digits");
  return out;
}

std::string BytesToHex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string SaveToBytes(const TAdoDataSet& dataSet) {
  TMemoryStream stream;
  dataSet.Save(stream);
  return std::string(stream.View());
}

void OpenFromBytes(TAdoDataSet& dataSet, std::string_view bytes) {
  TMemoryStream stream;
  stream.WriteBytes(bytes);
  stream.SetPosition(0);
  dataSet.Open(stream);
}

}  // namespace qorvin::test
