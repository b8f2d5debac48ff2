// Piece reads through the public headers, against a scripted server: the pieces hold the rows of
// SynchReadData's packet, in order and in bounded numbers; the host owns them; it may stop the
// read or call the module from inside; failures come after the pieces before them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/qorvin/QorvinPieces.h"
#include "tests/client/Blobs.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin::testing {
namespace {

const IRemoteDataModule::Guid kFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

// Every row of a record set as "id:name" lines, and its field names and types.
std::string RowsOf(QorvinAdoDataSet* ds) {
  std::string out;
  for (ds->First(); !ds->Eof(); ds->Next()) {
    for (int32_t f = 0; f < ds->FieldCount(); ++f) {
      Text value;
      bool null = false;
      ds->GetValueText(f, &value, &null);
      out += (f == 0 ? "" : ":") + (null ? std::string("<null>") : value.str());
    }
    out += "\n";
  }
  return out;
}
std::string FieldsOf(QorvinAdoDataSet* ds) {
  std::string out;
  for (int32_t f = 0; f < ds->FieldCount(); ++f) {
    Text name;
    ds->FieldName(f, &name);
    out += name.str() + "/" + std::to_string(ds->FieldType(f)) + "/" +
           std::to_string(ds->FieldSize(f)) + " ";
  }
  return out;
}

// What a host's piece callback saw.
struct Pieces {
  std::vector<int32_t> rowCounts;
  std::vector<int32_t> results;
  std::string rows;
  std::string fields;  // of the first piece; every piece must have the same
  bool fieldsDiffer = false;
  int stopAfter = -1;            // return false from this piece on (-1: never)
  std::function<void()> inside;  // run inside each callback

  static bool On(void* self, int32_t result, QorvinAdoDataSet* piece) {
    auto& p = *static_cast<Pieces*>(self);
    p.results.push_back(result);
    p.rowCounts.push_back(piece->RecordCount());
    const std::string fields = FieldsOf(piece);
    if (p.rowCounts.size() == 1) p.fields = fields;
    p.fieldsDiffer = p.fieldsDiffer || fields != p.fields;
    p.rows += RowsOf(piece);
    piece->Release();
    if (p.inside) p.inside();
    return p.stopAfter < 0 || int(p.rowCounts.size()) <= p.stopAfter;
  }
  QorvinPieceCallback Callback() { return {&Pieces::On, this}; }
};

std::vector<std::pair<int, std::u16string>> NumberedRows(int count) {
  std::vector<std::pair<int, std::u16string>> rows;
  for (int i = 0; i < count; ++i) {
    std::u16string name = u"n";
    for (char c : std::to_string(i)) name += char16_t(c);
    rows.emplace_back(i, name);
  }
  return rows;
}

class HostPieces : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ScriptedServer>([this](const std::string&) {
      std::lock_guard<std::mutex> lock(mutex_);
      return reply_;
    });
    module_ = HostLibrary::Instance().Create(GetParam(), server_->Port(GetParam()));
    ASSERT_NE(module_, nullptr);
    void* object = nullptr;
    ASSERT_EQ(module_->QueryInterface(&kQorvinIID_IQorvinPieceReader, &object), 0);
    reader_ = static_cast<IQorvinPieceReader*>(object);
    ASSERT_EQ(module_->QueryInterface(&kFactoryIID, &object), 0);
    factory_ = static_cast<IQorvinDataSetFactory*>(object);
  }
  void Answer(int32_t result, const std::string* blob) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = Reply().Int(result).Binary(blob).Bytes();
  }
  // The rows and fields of the same reply read whole with SynchReadData.
  void ReadWhole(std::string& rows, std::string& fields) {
    QorvinDataPacket data{};
    int32_t result = 0;
    Text error;
    module_->SynchReadData("u", "s", "select", &data, &result, &error);
    ASSERT_EQ(error.str(), "");
    QorvinAdoDataSet* ds = factory_->PacketToAdoDataSet(&data);
    ASSERT_NE(ds, nullptr);
    rows = RowsOf(ds);
    fields = FieldsOf(ds);
    ds->Release();
    qorvin_packet_free(&data);
  }
  Text Read(Pieces& pieces, int32_t rowsPerPiece, int32_t& result) {
    Text error;
    reader_->SynchReadDataPieces("u", "s", "select", rowsPerPiece, pieces.Callback(), &result,
                                 &error);
    return error;
  }

  std::mutex mutex_;
  std::string reply_;
  std::unique_ptr<ScriptedServer> server_;
  IRemoteDataModule* module_ = nullptr;
  IQorvinPieceReader* reader_ = nullptr;
  IQorvinDataSetFactory* factory_ = nullptr;
};

TEST_P(HostPieces, ThePiecesHoldThePacketsRowsInOrderInBoundedNumbers) {
  const std::string blob = MakeBlob(NumberedRows(25003));
  Answer(5, &blob);
  std::string wholeRows, wholeFields;
  ReadWhole(wholeRows, wholeFields);

  for (const int32_t perPiece : {1000, 25003, 30000, 0, -1}) {
    SCOPED_TRACE(perPiece);
    Pieces pieces;
    int32_t result = 0;
    EXPECT_EQ(Read(pieces, perPiece, result).str(), "");
    EXPECT_EQ(result, 5);
    EXPECT_EQ(pieces.rows, wholeRows);
    EXPECT_EQ(pieces.fields, wholeFields);
    EXPECT_FALSE(pieces.fieldsDiffer);
    const int32_t bound = perPiece > 0 ? perPiece : IQorvinPieceReader::kDefaultRowsPerPiece;
    int32_t total = 0;
    for (size_t i = 0; i < pieces.rowCounts.size(); ++i) {
      total += pieces.rowCounts[i];
      if (i + 1 < pieces.rowCounts.size()) {
        EXPECT_EQ(pieces.rowCounts[i], bound);
      }
      EXPECT_LE(pieces.rowCounts[i], bound);
      EXPECT_GT(pieces.rowCounts[i], 0);
      EXPECT_EQ(pieces.results[i], 5);
    }
    EXPECT_EQ(total, 25003);
  }
}

TEST_P(HostPieces, AnEmptyResultIsOnePieceWithoutRowsAndNoRecordSetIsNone) {
  const std::string empty = MakeBlob({});
  Answer(1, &empty);
  Pieces pieces;
  int32_t result = 0;
  EXPECT_EQ(Read(pieces, 10, result).str(), "");
  ASSERT_EQ(pieces.rowCounts, std::vector<int32_t>{0});
  EXPECT_EQ(pieces.fields, "ID/3/0 Name/24/20 ");

  // An answer without a record set (an empty blob, none, a closed set's trailer): no piece.
  const std::string nothing;
  const std::string trailer(8, '\0');
  for (const std::string* blob : {&nothing, static_cast<const std::string*>(nullptr), &trailer}) {
    Answer(4, blob);
    Pieces none;
    EXPECT_EQ(Read(none, 10, result).str(), "");
    EXPECT_EQ(result, 4);
    EXPECT_TRUE(none.rowCounts.empty());
  }

  // Without a callback the rows are read and dropped.
  const std::string some = MakeBlob(NumberedRows(30));
  Answer(2, &some);
  Text error;
  reader_->SynchReadDataPieces("u", "s", "select", 10, QorvinPieceCallback{nullptr, nullptr},
                               &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 2);
}

TEST_P(HostPieces, TheHostStopsTheReadAndCallsTheModuleFromInside) {
  const std::string blob = MakeBlob(NumberedRows(100));
  Answer(3, &blob);
  Pieces stopped;
  stopped.stopAfter = 2;
  int32_t result = 0;
  EXPECT_EQ(Read(stopped, 10, result).str(), "The read was stopped by the host");
  EXPECT_EQ(result, 3);
  EXPECT_EQ(stopped.rowCounts.size(), 3u);  // the third returned false: none after it

  // A call made from the callback runs nested; the outer read goes on to its end.
  Pieces nested;
  int innerCalls = 0;
  std::string innerRows;
  nested.inside = [&] {
    if (innerCalls++ > 0) return;
    QorvinDataPacket data{};
    int32_t innerResult = 0;
    Text innerError;
    module_->SynchReadData("u", "s", "select", &data, &innerResult, &innerError);
    EXPECT_EQ(innerError.str(), "");
    QorvinAdoDataSet* ds = factory_->PacketToAdoDataSet(&data);
    if (ds != nullptr) {
      innerRows = RowsOf(ds);
      ds->Release();
    }
    qorvin_packet_free(&data);
  };
  EXPECT_EQ(Read(nested, 10, result).str(), "");
  EXPECT_EQ(nested.rowCounts.size(), 10u);
  EXPECT_EQ(innerRows, nested.rows);
}

TEST_P(HostPieces, DamageFurtherOnFailsTheReadAfterThePiecesBeforeIt) {
  std::string blob = MakeBlob(NumberedRows(100000));  // an image of several windows
  // The record-set section ends 8 + parameters bytes before the end; its zlib stream's last bytes
  // are the check value. A changed check value is found only once every row was inflated.
  const size_t at = blob.size() - 8 - 1 - 16;  // inside the last bytes of the zlib stream
  std::string rows, fields;
  Answer(7, &blob);
  ReadWhole(rows, fields);
  for (size_t back = 0; back < 64; ++back) {
    std::string damaged = blob;
    damaged[at - back] = char(damaged[at - back] ^ 0x5A);
    Answer(7, &damaged);
    Pieces pieces;
    int32_t result = 0;
    const std::string error = Read(pieces, 1000, result).str();
    if (error.empty()) continue;  // a byte the reader does not check (the parameters section)
    EXPECT_EQ(result, 7);
    EXPECT_GT(pieces.rowCounts.size(), 0u) << error;
    EXPECT_EQ(pieces.rows, rows.substr(0, pieces.rows.size()));
    // A host that stops at its first piece ends the read there: the damage further on is never
    // inflated, so the stop is what it is told.
    Pieces first;
    first.stopAfter = 0;
    EXPECT_EQ(Read(first, 1000, result).str(), "The read was stopped by the host");
    EXPECT_EQ(first.rowCounts.size(), 1u);
    return;
  }
  FAIL() << "no damaged byte made the read fail";
}

INSTANTIATE_TEST_SUITE_P(Letters, HostPieces, ::testing::Values('T', 'H'));

}  // namespace
}  // namespace qorvin::testing
