// The example of docs/data-packet.md, decoded from the page itself and re-encoded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/dataset/ClientDataSet.h"
#include "platform/dataset/DataPacket.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

std::vector<uint8_t> DocumentedExample() {
  const char* root = std::getenv("QORVIN_SOURCE_DIR");
  std::ifstream in(std::string(root ? root : ".") + "/docs/data-packet.md");
  EXPECT_TRUE(in.good()) << "docs/data-packet.md not found; set QORVIN_SOURCE_DIR";
  std::string line;
  bool inside = false;
  std::string hex;
  while (std::getline(in, line)) {
    if (line == "```hex") {
      inside = true;
    } else if (inside && line == "```") {
      break;
    } else if (inside) {
      hex += line + " ";
    }
  }
  std::vector<uint8_t> bytes;
  std::istringstream words(hex);
  std::string word;
  while (words >> word) bytes.push_back(uint8_t(std::stoul(word, nullptr, 16)));
  return bytes;
}

TEST(DataPacketDoc, TheDocumentedExampleDecodes) {
  const std::vector<uint8_t> bytes = DocumentedExample();
  ASSERT_EQ(bytes.size(), 74u);
  const TDataPacketContent c = DecodeDataPacket(bytes);
  EXPECT_EQ(c.ansiCodeSet, "UTF-8");
  ASSERT_EQ(c.fields.size(), 4u);
  EXPECT_EQ(c.fields[0], (TClientFieldDef{"ID", ftInteger, 0, 0, faRequired}));
  EXPECT_EQ(c.fields[1], (TClientFieldDef{"Name", ftString, 20, 0, 0}));
  EXPECT_EQ(c.fields[2], (TClientFieldDef{"Price", ftCurrency, 0, 0, 0}));
  EXPECT_EQ(c.fields[3], (TClientFieldDef{"Note", ftWideString, 10, 0, 0}));
  ASSERT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(c.rows[0][0], Variant::Integer(1));
  EXPECT_EQ(c.rows[0][1], Variant::AnsiString("Tea"));
  EXPECT_EQ(c.rows[0][2], Variant::Currency(Currency{15000}));
  EXPECT_EQ(c.rows[0][3], Variant::OleStr(u"\u4e2d"));
  EXPECT_EQ(c.rows[1][0], Variant::Integer(2));
  for (int f = 1; f < 4; ++f) EXPECT_TRUE(c.rows[1][size_t(f)].IsNull());
}

TEST(DataPacketDoc, TheWriterProducesTheDocumentedExample) {
  SetAnsiCodeSet("UTF-8");
  TClientDataSet ds;
  ds.AddFieldDef({"ID", ftInteger, 0, 0, faRequired});
  ds.AddFieldDef({"Name", ftString, 20, 0, 0});
  ds.AddFieldDef({"Price", ftCurrency, 0, 0, 0});
  ds.AddFieldDef({"Note", ftWideString, 10, 0, 0});
  ds.CreateDataSet();
  ds.AppendRecord({Variant::Integer(1), Variant::AnsiString("Tea"), Variant::Double(1.5),
                   Variant::OleStr(u"\u4e2d")});
  ds.AppendRecord({Variant::Integer(2)});
  const Variant packet = ds.Data();
  SetAnsiCodeSet("");
  const std::span<const uint8_t> bytes = DataPacketBytes(packet);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), DocumentedExample());
}

}  // namespace
}  // namespace qorvin
