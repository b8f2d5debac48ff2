// The dataset blob: an ADO dataset's record set (ADTG image, zlib-compressed), its parameters
// section and an 8-byte trailer, as one byte sequence in a stream. The layout is tabled above
// AdoDataSetToStream in uConvertAdo.cpp.
//
// Ownership: datasets and streams are borrowed for the call only; every compressor, inflated
// image and temporary buffer is freed before the call returns, failures included.
// Threads: the caller's thread; a dataset or stream must not be used by another thread meanwhile.
// Failures: see each operation. The boolean results follow the remote data module's use of them.
#pragma once

#include <cstdint>

#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

// ADTG, the only persist format a record set of this platform saves and opens.
inline constexpr int kPersistADTG = 0;

// Appends the record set of `dataSet` to `stream` at its position as one zlib stream (RFC 1950)
// of the ADTG image, compressed with the level index `level` (0 none, 1 fastest, 2 default,
// 3 best, 4..12 zlib levels 1..9). Leaves `stream` positioned at the end of the zlib data.
// Returns false, writing nothing, when `dataSet` or `stream` is null or `dataSet` holds no record
// set (is not active).
// A record set that cannot be saved (a row being edited, a value the image cannot express, a
// persist format other than kPersistADTG) raises that failure, with `stream` cut back to the size
// and position it had: an incomplete section must never be passed on as a good one.
// EZCompressionError for a bad level.
bool SaveRecordsetToStream(const TAdoDataSet* dataSet, TStream* stream, int persistFormat,
                           int level);

// Replaces the content of `dataSet` with the record set whose compressed ADTG image fills
// `stream` from its first byte (bytes after the zlib stream are ignored). The dataset is closed
// first, then opened with batch-optimistic locking and positioned on its first row. Returns
// whether it is active afterwards; false, touching nothing, when `stream` is null or empty.
// Raises EAdoError for a null dataSet or a damaged image, EZCompressionError for damaged zlib data
// or an image larger than `maxImageSize` (by default the calling thread's inflation budget,
// InflateBudget(): zlib expands up to about 1000:1, so a small blob must not claim gigabytes);
// ERecordSetTooLarge when the rows would hold more memory than the record-set budget allows
// (uRecordSetBudget.h: the thread's budget, and its shared claim, which keeps the loaded rows
// counted); `dataSet` is then closed. Controls are enabled again on every path.
bool LoadRecordsetFromStream(TAdoDataSet* dataSet, TStream* stream,
                             int64_t maxImageSize = InflateBudget());

// Writes a whole dataset blob into `stream`, which should be fresh (empty, position 0): the
// record-set section when `withData` and the dataset is active, the parameters section when the
// dataset has one, and the trailer. Returns false, writing nothing, when `dataSet` or `stream` is
// null; true otherwise. Failures of the sections propagate (see SaveRecordsetToStream).
bool AdoDataSetToStream(const TAdoDataSet* dataSet, TStream* stream, bool withData,
                        int persistFormat, int level);

// Reads a whole dataset blob from `stream` into `dataSet`. The trailer and then the parameters
// section are cut off the stream, which is left holding only the record-set section.
// Returns false, touching nothing, when `dataSet` or `stream` is null or `stream` is shorter
// than 8 bytes. A trailer whose offset is negative or lies beyond the data raises EReadError,
// with `stream` and `dataSet` untouched. Otherwise the result is LoadRecordsetFromStream's when
// `withData` and the record-set section is not empty, else whether a parameters section was
// read. Failures of the sections propagate (EReadError, EZCompressionError, EAdoError, the typed
// value stream's errors).
bool StreamToAdoDataSet(TAdoDataSet* dataSet, TStream* stream, bool withData);

// The parts of StreamToAdoDataSet. The size of the record-set section of the blob in `stream`
// (the offset its trailer states): -1 when the stream is shorter than a trailer; EReadError for
// an offset outside the data. The stream's size and position do not change.
int64_t DataSetBlobSectionOffset(TStream& stream);
// Reads the parameters section at `offset` (from DataSetBlobSectionOffset) into `dataSet` and
// cuts the trailer and that section off `stream`; returns whether there was one.
bool ReadDataSetBlobParams(TAdoDataSet& dataSet, TStream& stream, int64_t offset);

}  // namespace qorvin
