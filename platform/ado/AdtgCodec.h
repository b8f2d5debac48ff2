// The ADTG persist format of the record set: reading and writing a flat tablegram. Layouts and the
// decisions taken where the format leaves room are described in docs/adtg.md and beside the code
// that writes each element (AdtgWriter.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "platform/ado/AdoFieldDef.h"
#include "platform/ado/AdtgImageInfo.h"
#include "platform/ado/RowStore.h"
#include "platform/rtl/Stream.h"

namespace qorvin::ado {

struct AdtgImage {
  AdtgImageInfo info;
  TFieldDefs defs;
  RowStore rows;
};

// Parses one tablegram at the start of `bytes` into `image` (which must be fresh) and returns the
// number of bytes it occupies, done token included. Never reads outside `bytes`. EAdoError
// ("Invalid ADTG image: ... at offset N") for a truncated, damaged, hierarchical or unsupported
// image.
size_t ReadAdtg(std::span<const uint8_t> bytes, AdtgImage& image);

// Where a tablegram's bytes come from when it is read piece by piece (an inflater, say).
class AdtgSource {
 public:
  virtual ~AdtgSource() = default;
  // Up to `room` (> 0) more bytes of the image into `into`; 0 only when no more will come.
  virtual size_t Read(uint8_t* into, size_t room) = 0;
};

// Receives what ReadAdtgRows decodes, as it is decoded.
class AdtgRowSink {
 public:
  virtual ~AdtgRowSink() = default;
  // Once, before any row: the column definitions, and the row count the image states (a hint: it
  // is not checked against the rows that follow).
  virtual void Columns(const TFieldDefs& defs, uint32_t rowCountHint) = 0;
  // Every row not pending deletion, in image order: its current values, as record `record` of
  // `store` (valid for this call only).
  virtual void Row(const RowStore& store, const uint8_t* record) = 0;
};

// Reads one tablegram from `source` and hands its rows to `sink` one by one, holding only the
// bytes of the row being decoded (and the image's metadata) at a time: the window over the image
// grows past `window` bytes only to hold one element or row that is larger. Returns the bytes
// the image occupies, done token included (bytes after it may have been read from `source`; they
// are dropped). The same failures as ReadAdtg, with the same texts, raised when the damage is
// reached (rows before it have been handed over by then); what the sink raises passes through.
size_t ReadAdtgRows(AdtgSource& source, AdtgRowSink& sink, size_t window = size_t(1) << 20);

// A bound on the memory of the rows a reader keeps. A few NULL cells cost a bit each in an image
// but a whole slot each once kept, so a small image could otherwise claim gigabytes.
struct AdtgMemoryCheck {
  // The most bytes the kept rows may hold; room reserved ahead for rows the image announces
  // stays well within it.
  size_t limit = ~size_t(0);
  // Told the bytes the kept rows hold (the store's blocks and the cursor's list of rows) each
  // time they grow; throws to stop the read. Without it, exceeding `limit` is not checked.
  std::function<void(size_t heldBytes)> grown;
};

// ReadAdtg of an image read piece by piece from `source` (see ReadAdtgRows): the rows are kept in
// `image`, the image's bytes are not (beyond one window). With `check`, the kept rows are
// measured after each row and the read stops with what `check.grown` throws.
size_t ReadAdtg(AdtgSource& source, AdtgImage& image, size_t window = size_t(1) << 20,
                const AdtgMemoryCheck* check = nullptr);

// The bytes a record set holds beyond its store for each visible row (its cursor's list).
inline constexpr size_t kAdtgCursorBytesPerRow = sizeof(uint32_t);

// Writes a tablegram of these definitions and rows at `target`'s position. EAdoError when the rows
// cannot be expressed (a NULL in a column without NULLs in an unchanged row, an element larger than
// 65 535 bytes); the stream's write errors pass through.
void WriteAdtg(const AdtgImageInfo& info, const TFieldDefs& defs, const RowStore& rows,
               TStream& target);

}  // namespace qorvin::ado
