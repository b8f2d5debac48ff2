// Decodes the rows of a data packet column by column into NumPy arrays, for a DataFrame: no
// Python object is made for a number, a date or a boolean. Each column is a tuple
// (name, kind, values, mask):
//
//   kind        values                                    NULL
//   "int"       int64 (ftSmallint, ftWord, ftInteger,     mask (bool array, true = NULL)
//               ftAutoInc, ftLargeint)
//   "bool"      bool (ftBoolean)                          mask
//   "float"     float64 (ftFloat; decimals when asked)    NaN, mask None
//   "datetime"  datetime64[us] (ftDateTime, ftTimeStamp)  NaT, mask None
//   "date"      datetime64[us] at midnight (ftDate)       NaT, mask None
//   "time"      timedelta64[us] since midnight (ftTime)   NaT, mask None
//   "decimal"   object: decimal.Decimal (ftCurrency,      None, mask None
//               ftBCD, ftFMTBcd)
//   "object"    object: str, bytes, a variant's value     None, mask None
//
// Values are those of the row decoder (PacketDecoder.h), and a packet fails the same way.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#include "PacketDecoder.h"

namespace qorvin::python {

// The columns of the rows after `layout`; decimals as float64 ("float") when
// `decimalsAsFloat`, else as Decimal objects. Needs the GIL.
pybind11::list DecodeColumns(const uint8_t* bytes, size_t size, const PacketLayout& layout,
                             bool decimalsAsFloat);

}  // namespace qorvin::python
