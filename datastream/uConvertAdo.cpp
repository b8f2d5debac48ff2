#include "datastream/uConvertAdo.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "datastream/uAdoParamsStream.h"
#include "datastream/uInflatedImage.h"
#include "datastream/uRecordSetBudget.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

namespace {

constexpr int64_t kTrailerSize = 8;

// Disables a dataset's controls for one scope.
class ControlsDisabled {
 public:
  explicit ControlsDisabled(TAdoDataSet& dataSet) : dataSet_(dataSet) {
    dataSet_.DisableControls();
  }
  ~ControlsDisabled() { dataSet_.EnableControls(); }
  ControlsDisabled(const ControlsDisabled&) = delete;
  ControlsDisabled& operator=(const ControlsDisabled&) = delete;

 private:
  TAdoDataSet& dataSet_;
};

long long MiB(int64_t bytes) {
  return static_cast<long long>((bytes + (int64_t(1) << 20) - 1) >> 20);
}

// The memory check of one load: the calling thread's budget, and its claim when it has one.
ado::AdtgMemoryCheck RecordSetCheck() {
  ado::AdtgMemoryCheck check;
  const int64_t budget = RecordSetMemoryBudget();
  TMemoryClaim* claim = RecordSetMemoryClaim();
  const int64_t start = claim != nullptr ? claim->Bytes() : 0;
  check.limit = size_t(std::min<int64_t>(budget, int64_t(SIZE_MAX >> 1)));
  check.grown = [budget, claim, start](size_t held) {
    if (int64_t(held) > budget)
      throw ERecordSetTooLarge(
          Format("Record set too large: its rows need more than the memory budget of %lld MiB "
                 "(four times the inflation budget); raise the inflation budget to load larger "
                 "record sets, or read fewer rows at a time",
                 MiB(budget)));
    if (claim != nullptr && !claim->Resize(start + int64_t(held)))
      throw ERecordSetTooLarge(Format(
          "Record set too large: its rows need %lld MiB of memory, more than the %lld MiB left "
          "of the %lld MiB that the record sets loaded at once may hold",
          MiB(int64_t(held)), MiB(claim->Shared().Limit() - claim->Shared().InUse()),
          MiB(claim->Shared().Limit())));
  };
  return check;
}

}  // namespace

bool SaveRecordsetToStream(const TAdoDataSet* dataSet, TStream* stream, int persistFormat,
                           int level) {
  if (dataSet == nullptr || stream == nullptr || !dataSet->Active()) return false;
  const int zlibLevel = ZLibLevelFromIndex(level);
  const int64_t startSize = stream->Size();
  const int64_t startPosition = stream->Position();
  // Bytes the section may overwrite (none for a stream written from its end, the usual case).
  std::string tail;
  if (startPosition < startSize) {
    tail.resize(size_t(startSize - startPosition));
    stream->ReadBuffer(tail.data(), int64_t(tail.size()));
    stream->SetPosition(startPosition);
  }
  // A failed save is raised, not reported as success: the section would otherwise travel as a
  // valid blob holding diagnostic bytes (or nothing), and the receiver would take a broken or
  // empty record set for the data. The stream is restored so that nothing half-written remains.
  try {
    if (persistFormat != kPersistADTG)
      throw EAdoError(Format("Persist format %d is not supported; only ADTG (%d) is", persistFormat,
                             kPersistADTG));
    TZCompressionStream compressor(*stream, zlibLevel);
    dataSet->Save(compressor);
    compressor.Finish();  // ends the zlib data where the image ended; stream stays there
  } catch (...) {
    stream->SetSize(std::min(startSize, startPosition));
    stream->SetPosition(stream->Size());
    stream->WriteBuffer(tail.data(), int64_t(tail.size()));
    stream->SetSize(startSize);
    stream->SetPosition(startPosition);
    throw;
  }
  return true;
}

bool LoadRecordsetFromStream(TAdoDataSet* dataSet, TStream* stream, int64_t maxImageSize) {
  if (stream == nullptr || stream->Size() == 0) return false;
  if (dataSet == nullptr) throw EAdoError("LoadRecordsetFromStream: no dataset to load into");
  dataSet->Close();
  ControlsDisabled controls(*dataSet);
  stream->SetPosition(0);
  TZInflater inflater(*stream, maxImageSize, true);
  TInflatedImage image(inflater, stream->Size());
  TMemoryClaim* claim = RecordSetMemoryClaim();
  const int64_t claimed = claim != nullptr ? claim->Bytes() : 0;
  const ado::AdtgMemoryCheck check = RecordSetCheck();
  try {
    image.ReadWhole([&] { dataSet->Open(image, ltBatchOptimistic, &check); });
  } catch (...) {
    if (claim != nullptr) claim->Resize(claimed);  // the rows read are gone
    throw;
  }
  if (!dataSet->Bof()) dataSet->First();
  return dataSet->Active();
}

// Dataset blob, from the stream's first byte:
//
// | order | part                | size  | content                                               |
// |-------|---------------------|-------|-------------------------------------------------------|
// | 1     | record-set section  | A     | zlib stream of the ADTG image of the record set;      |
// |       |                     |       | A = 0 without data or when the dataset is not active  |
// | 2     | parameters section  | P     | typed value stream image (command text, parameters);  |
// |       |                     |       | P = 0 for a plain dataset                             |
// | 3     | trailer             | 8     | A as a signed 64-bit little-endian integer: the       |
// |       |                     |       | offset at which the parameters section starts         |
bool AdoDataSetToStream(const TAdoDataSet* dataSet, TStream* stream, bool withData,
                        int persistFormat, int level) {
  if (dataSet == nullptr || stream == nullptr) return false;
  int64_t recordsetSize = 0;
  if (withData && dataSet->Active()) {
    SaveRecordsetToStream(dataSet, stream, persistFormat, level);
    recordsetSize = stream->Size();
  }
  stream->SetPosition(recordsetSize);
  WriteAdoParams(dataSet, stream, level);
  stream->WriteLE<int64_t>(recordsetSize);
  return true;
}

int64_t DataSetBlobSectionOffset(TStream& stream) {
  const int64_t size = stream.Size();
  if (size < kTrailerSize) return -1;
  const int64_t dataSize = size - kTrailerSize;
  const int64_t startPosition = stream.Position();
  stream.SetPosition(dataSize);
  const auto offset = stream.ReadLE<int64_t>();
  stream.SetPosition(startPosition);
  // Checked before anything is cut: an offset past the data would otherwise grow the stream with
  // zero bytes and read them as sections.
  if (offset < 0 || offset > dataSize) {
    throw EReadError(
        Format("Invalid dataset blob: parameters offset %lld lies outside the %lld "
               "bytes before the trailer",
               static_cast<long long>(offset), static_cast<long long>(dataSize)));
  }
  return offset;
}

bool ReadDataSetBlobParams(TAdoDataSet& dataSet, TStream& stream, int64_t offset) {
  stream.SetSize(stream.Size() - kTrailerSize);
  stream.SetPosition(offset);
  const bool hasParams = ReadAdoParams(&dataSet, &stream);
  stream.SetSize(offset);
  return hasParams;
}

bool StreamToAdoDataSet(TAdoDataSet* dataSet, TStream* stream, bool withData) {
  if (dataSet == nullptr || stream == nullptr) return false;
  const int64_t offset = DataSetBlobSectionOffset(*stream);
  if (offset < 0) return false;
  const bool hasParams = ReadDataSetBlobParams(*dataSet, *stream, offset);
  if (withData && offset > 0) return LoadRecordsetFromStream(dataSet, stream);
  return hasParams;
}

}  // namespace qorvin
