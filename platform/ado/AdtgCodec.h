// The ADTG persist format of the record set: reading and writing a flat tablegram. Layouts and the
// decisions taken where the format leaves room are described in docs/adtg.md and beside the code
// that writes each element (AdtgWriter.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
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

// Writes a tablegram of these definitions and rows at `target`'s position. EAdoError when the rows
// cannot be expressed (a NULL in a column without NULLs in an unchanged row, an element larger than
// 65 535 bytes); the stream's write errors pass through.
void WriteAdtg(const AdtgImageInfo& info, const TFieldDefs& defs, const RowStore& rows,
               TStream& target);

}  // namespace qorvin::ado
