// Writing a flat ADTG tablegram in pieces, for record sets too large to hold as one record set:
// the metadata first, then the rows in batches of any size, then the done token. Every row is
// written as an unchanged row (the form a record set built from field definitions and posted row
// by row saves). The bytes are exactly those WriteAdtg writes for a RowStore holding all rows at
// once with the same definitions and image information.
//
// Use: construct (writes the metadata, which carries the row count, so the count must be known
// beforehand); fill Batch() with rows (NewRecord, SetCellValue of AdoValues.h, then AddRow);
// WriteBatch() whenever it holds enough rows (it writes them and empties the batch); Finish()
// once. The target receives the bytes in pieces of at most one batch and the metadata.
//
// Failure: EAdoError when the count of rows written differs from the count announced (Finish),
// and whatever WriteAdtg raises for rows it cannot express; the target's write errors pass
// through. After a failure the target holds a partial image. Not thread-safe.
#pragma once

#include <cstdint>

#include "platform/ado/AdoFieldDef.h"
#include "platform/ado/AdtgImageInfo.h"
#include "platform/ado/RowStore.h"
#include "platform/rtl/Stream.h"

namespace qorvin::ado {

class AdtgStreamWriter {
 public:
  AdtgStreamWriter(const AdtgImageInfo& info, const TFieldDefs& defs, uint32_t rowCount,
                   TStream& target);
  AdtgStreamWriter(const AdtgStreamWriter&) = delete;
  AdtgStreamWriter& operator=(const AdtgStreamWriter&) = delete;

  // The batch: a store with the layout of the definitions, empty after each WriteBatch.
  RowStore& Batch() { return batch_; }
  // Adds record `id` of the batch as the next row (unchanged).
  void AddRow(uint32_t id);
  size_t BatchRows() const { return batch_.Rows().size(); }
  // Writes the batch's rows and empties the batch.
  void WriteBatch();
  // Writes what is left of the batch and the done token.
  void Finish();

 private:
  const AdtgImageInfo& info_;
  const TFieldDefs& defs_;
  TStream& target_;
  uint32_t announced_;
  uint64_t written_ = 0;
  size_t metadata_size_ = 0;  // bytes WriteAdtg writes before the first row
  RowStore batch_;
  TMemoryStream scratch_;
  bool finished_ = false;
};

}  // namespace qorvin::ado
