// Result sets to dataset blobs and uploaded blobs back to tables, through the platform's ADO
// record set and the shared blob functions (datastream/uConvertAdo.h):
//
//   offset  size  content
//   0       A     record-set section: zlib stream of the record set's ADTG image
//   A       P     parameters section (never written by the server: P = 0)
//   A+P     8     trailer: A as a signed 64-bit little-endian integer
//
// Column names that the record set could not tell apart (duplicates ignoring case, empty names)
// are made unique ("Column1", "name_2"). A decimal column of 39 to 64 digits is a VARNUMERIC
// column (each value exactly); a wider one refuses the result (EDatabaseError naming the column).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datastream/uRecordSetBudget.h"
#include "platform/rtl/Stream.h"
#include "server/db/ResultTable.h"

namespace qorvin {
class TAdoDataSet;
}

namespace qorvin::server {

// The blob of one result set (record-set section compressed with zlib's fastest level). A table
// with packed rows is streamed row by row through the record-set writer into the zlib stream
// (the same bytes as the whole set written at once); a packed table can be read this way once
// only when taken (TakeResultTableBlob), which frees its rows as they are written.
std::string ResultTableToBlob(const ResultTable& table);
std::string TakeResultTableBlob(ResultTable&& table);

// Hands memory freed by large results back to the system (the allocator keeps it otherwise) when
// the call held 4 MiB or more (`held`: about the bytes of its rows and blobs) and the heap holds
// 16 MiB or more of free memory; below that the memory is kept for reuse.
void ReleaseFreeMemory(size_t held);

// The table of an uploaded blob (a Variant per value: for tests and small blobs; the services
// read uploads through UploadedRows). An empty blob (no bytes) is no table at all (nullopt); a
// blob without a record-set section is a table without columns or rows. Raises what the blob
// functions raise for a damaged blob (EReadError, EZCompressionError, EAdoError).
std::optional<ResultTable> BlobToResultTable(TStream& blob);

// The rows of an uploaded blob, read one at a time from the loaded record set, without a table
// of every value beside it. An empty blob, or one without a record-set section, has no columns
// and no rows. The constructor raises what BlobToResultTable raises.
//
// Memory: the loaded rows are counted in `budget` (the server's uploads together) from the
// moment they load until this object ends. ERecordSetTooLarge, nothing kept, when they would not
// fit what is left of it; its text names the budget and what the caller or the operator can do.
class UploadedRows {
 public:
  UploadedRows(TStream& blob, TSharedMemoryBudget& budget);
  explicit UploadedRows(TStream& blob);  // within the calling thread's record-set budget alone
  ~UploadedRows();
  UploadedRows(const UploadedRows&) = delete;
  UploadedRows& operator=(const UploadedRows&) = delete;

  const std::vector<ResultColumn>& Columns() const { return columns_; }
  size_t Count() const { return count_; }
  // Starts again at the first row.
  void Rewind();
  // The next row's values, one per column; false after the last row.
  bool Next(std::vector<Variant>& values);

 private:
  void Load(TStream& blob);

  std::optional<TMemoryClaim> claim_;  // first: outlives the rows it counts
  std::unique_ptr<TAdoDataSet> ds_;
  std::vector<ResultColumn> columns_;
  size_t count_ = 0;
  bool started_ = false;
};

}  // namespace qorvin::server
