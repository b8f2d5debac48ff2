#include "datastream/uBlobToPacket.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string_view>
#include <vector>

#include "datastream/uConvertAdo.h"
#include "datastream/uConvertDataSet.h"
#include "datastream/uInflatedImage.h"
#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdoValues.h"
#include "platform/ado/AdtgCodec.h"

namespace qorvin {

namespace {

// How a column's stored value becomes packet bytes. Every direct way writes the bytes the
// conversion through a Variant writes (the column type's value kind is already the one the
// field keeps); the others go through that conversion.
enum class CellWay : uint8_t {
  Copy,     // fixed-size value, the same bytes in both
  Boolean,  // 16-bit flag -> 0 / 1
  Wide,     // UTF-16 text (cut at its first NUL when fixed-width)
  Ansi,     // 8-bit text (cut at its first NUL when fixed-width)
  Bytes,    // binary
  Convert,  // through a Variant
};

struct CellPlanOut {
  CellWay way = CellWay::Convert;
  uint32_t width = 0;  // Copy
  bool cutAtNul = false;
};

CellPlanOut PlanFor(const CellPlan& cell, TValueClass cls) {
  CellPlanOut out;
  const auto copy = [&](TValueClass wanted) {
    if (cls == wanted) {
      out.way = CellWay::Copy;
      out.width = cell.width;
    }
  };
  switch (cell.adoType) {
    case adSmallInt:
      copy(TValueClass::SmallInt);
      break;
    case adUnsignedSmallInt:
      copy(TValueClass::Word);
      break;
    case adInteger:
      copy(TValueClass::Integer);
      break;
    case adBigInt:
      copy(TValueClass::LargeInt);
      break;
    case adDouble:
      copy(TValueClass::Float);
      break;
    case adCurrency:
      copy(TValueClass::Currency);
      break;
    case adDate:
      copy(TValueClass::DateTime);
      break;
    case adDBTimeStamp:  // year, month, day, hour, minute, second, fraction: one layout in both
      copy(TValueClass::TimeStamp);
      break;
    case adBoolean:
      if (cls == TValueClass::Boolean) out.way = CellWay::Boolean;
      break;
    case adWChar:
    case adBSTR:
      if (cls == TValueClass::WideText) out.way = CellWay::Wide;
      break;
    case adChar:
      if (cls == TValueClass::AnsiText) out.way = CellWay::Ansi;
      break;
    case adBinary:
      if (cls == TValueClass::Bytes) out.way = CellWay::Bytes;
      break;
    default:
      break;
  }
  out.cutAtNul = cell.form == CellForm::VarFixed;
  return out;
}

// Fixed-width text without the NULs that fill its slot after the value. 8-bit text keeps every
// byte before the last non-NUL one (an embedded NUL is data, and what follows it too); wide text
// ends at its first NUL unit.
std::string_view CutAtNul(std::string_view bytes, bool wide) {
  if (!wide) return bytes.substr(0, bytes.find_last_not_of('\0') + 1);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    if (bytes[i] == 0 && bytes[i + 1] == 0) return bytes.substr(0, i);
  return bytes;
}

// The rows of an image as data packets: one packet of every row, or (with a piece handler)
// packets of at most `rowsPerPiece` rows handed on as each fills.
class PacketRows final : public ado::AdtgRowSink {
 public:
  explicit PacketRows(TPacketForm form, uint32_t rowsPerPiece = 0,
                      const PacketPieceHandler* onPiece = nullptr)
      : form_(form), rowsPerPiece_(rowsPerPiece), onPiece_(onPiece) {}

  void Columns(const TFieldDefs& defs, uint32_t rowCountHint) override {
    try {
      defs_ = defs;
      for (const TFieldDef& def : defs_) fields_.push_back(ClientFieldDefOfColumn(def, form_));
      rowsLeft_ = rowCountHint;
      NewPacket();
      const RowLayout layout = RowLayout::For(defs_);
      for (int col = 0; col < layout.Count(); ++col)
        plans_.push_back(PlanFor(layout.cells[size_t(col)], builder_->ClassOf(col)));
    } catch (const std::exception& e) {
      throw EDataPacketConversion(e.what());
    }
  }

  void Row(const RowStore& store, const uint8_t* rec) override {
    if (onPiece_ != nullptr && rowsInPacket_ == rowsPerPiece_) {
      HandOn(Finish());
      NewPacket();
    }
    ++rowsInPacket_;
    if (rowsLeft_ > 0) --rowsLeft_;
    try {
      TDataPacketBuilder& out = *builder_;
      out.BeginRow();
      const int count = int(plans_.size());
      for (int col = 0; col < count; ++col) {
        if (!store.Present(rec, col)) {
          out.Null(col);
          continue;
        }
        const CellPlanOut& plan = plans_[size_t(col)];
        switch (plan.way) {
          case CellWay::Copy:
            out.Fixed(store.Cell(rec, col), plan.width);
            break;
          case CellWay::Boolean:
            out.Boolean(ado::LoadLE<int16_t>(store.Cell(rec, col)) != 0);
            break;
          case CellWay::Wide: {
            std::string_view text = store.Var(rec, col);
            if (plan.cutAtNul) text = CutAtNul(text, true);
            out.Wide(text.data(), text.size());
            break;
          }
          case CellWay::Ansi: {
            std::string_view text = store.Var(rec, col);
            if (plan.cutAtNul) text = CutAtNul(text, false);
            out.Counted(text.data(), text.size());
            break;
          }
          case CellWay::Bytes: {
            const std::string_view bytes = store.Var(rec, col);
            out.Counted(bytes.data(), bytes.size());
            break;
          }
          case CellWay::Convert:
            out.Value(col, ado::CellValue(defs_[col], store, rec, col));
            break;
        }
      }
    } catch (const std::exception& e) {
      throw EDataPacketConversion(e.what());
    }
  }

  // Gives a full piece to the handler. What the handler raises ends the read at once (the rest of
  // the image is not inflated); RethrowHandlerFailure then raises it.
  void HandOn(TPacketBlock&& piece) {
    try {
      (*onPiece_)(std::move(piece));
    } catch (...) {
      handlerFailure_ = std::current_exception();
      throw EImageReadAbandoned{};
    }
  }
  void RethrowHandlerFailure() const {
    if (handlerFailure_) std::rethrow_exception(handlerFailure_);
  }

  TPacketBlock Finish() {
    try {
      return builder_->Finish();
    } catch (const std::exception& e) {
      throw EDataPacketConversion(e.what());
    }
  }

 private:
  // A builder for the next packet, sized for the rows the image says are still to come.
  void NewPacket() {
    const uint32_t expected = onPiece_ != nullptr ? std::min(rowsLeft_, rowsPerPiece_) : rowsLeft_;
    builder_.emplace(fields_, expected);
    rowsInPacket_ = 0;
  }

  const TPacketForm form_;
  const uint32_t rowsPerPiece_;
  const PacketPieceHandler* const onPiece_;
  TFieldDefs defs_;
  TClientFieldDefs fields_;
  uint32_t rowsLeft_ = 0;      // rows the image's count says are still to come
  uint32_t rowsInPacket_ = 0;  // rows in the packet being built
  std::optional<TDataPacketBuilder> builder_;
  std::vector<CellPlanOut> plans_;
  std::exception_ptr handlerFailure_;
};

}  // namespace

namespace {

// Reads the blob's record-set section into `rows`; false when it has none (see BlobToDataPacket).
bool ReadBlobRows(TStream& blob, PacketRows& rows, int64_t maxImageSize, size_t window) {
  int64_t offset;
  try {
    offset = DataSetBlobSectionOffset(blob);
  } catch (const EReadError&) {
    return false;  // StreamToAdoDataSet reports it
  }
  if (offset <= 0) return false;
  {
    TAdoDataSet parameters;  // read as StreamToAdoDataSet reads them; not part of the packet
    ReadDataSetBlobParams(parameters, blob, offset);
  }
  blob.SetPosition(0);
  TZInflater inflater(blob, maxImageSize, true);
  TInflatedImage image(inflater, offset);
  image.ReadWhole([&] { ado::ReadAdtgRows(image, rows, window); });
  return true;
}

}  // namespace

bool BlobToDataPacket(TStream& blob, TPacketBlock& packet, int64_t maxImageSize, TPacketForm form,
                      size_t window) {
  PacketRows rows(form);
  if (!ReadBlobRows(blob, rows, maxImageSize, window)) return false;
  packet = rows.Finish();
  return true;
}

bool BlobToDataPacketPieces(TStream& blob, uint32_t rowsPerPiece, const PacketPieceHandler& onPiece,
                            int64_t maxImageSize, TPacketForm form, size_t window) {
  if (rowsPerPiece == 0) throw EDataPacketConversion("A piece must hold at least one row");
  PacketRows rows(form, rowsPerPiece, &onPiece);
  try {
    if (!ReadBlobRows(blob, rows, maxImageSize, window)) return false;
  } catch (const EImageReadAbandoned&) {
    rows.RethrowHandlerFailure();
    throw;
  }
  onPiece(rows.Finish());
  return true;
}

}  // namespace qorvin
