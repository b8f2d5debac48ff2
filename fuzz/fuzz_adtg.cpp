// libFuzzer entry: arbitrary bytes as an ADTG image opened into a record set. An image that opens
// is then read completely (every stored value, original and current), walked with the cursor,
// saved and opened again. Every failure must be EAdoError; anything else (a crash, a sanitizer
// report, bad_alloc from an unchecked length, another exception) is a finding.
#include <cstddef>
#include <cstdint>

#include "platform/ado/AdoDataSet.h"

using namespace qorvin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream;
  stream.WriteBuffer(data, int64_t(size));
  stream.SetPosition(0);
  TAdoDataSet ds;
  try {
    ds.Open(stream);
  } catch (const EAdoError&) {
    return 0;  // rejected image: the expected outcome for most inputs
  }
  for (int64_t row = 0; row < ds.StoredRowCount(); ++row) {
    for (int field = 0; field < ds.FieldCount(); ++field) {
      try {
        ds.StoredValue(row, field, true);
        ds.StoredValue(row, field, false);
      } catch (const EAdoError&) {
        // A stored cell that has no variant form (a variant cell of an unreadable type).
      }
    }
  }
  for (ds.First(); !ds.Eof(); ds.Next()) ds.RowStatus();
  TMemoryStream saved;
  ds.Save(saved);  // an image that opened must save
  saved.SetPosition(0);
  TAdoDataSet again;
  again.Open(saved);  // and open again
  if (again.StoredRowCount() != ds.StoredRowCount()) __builtin_trap();
  return 0;
}
