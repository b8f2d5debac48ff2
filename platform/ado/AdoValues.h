// Conversion between the stored form of a cell (row store slot or heap bytes, as an ADTG image
// carries the value) and Variant.
//
// Reading gives each column type one variant kind: I1 ShortInt, UI1 Byte, I2 Smallint, UI2 Word,
// I4 Integer, UI4 LongWord, I8 Int64, UI8 UInt64, R4 Single, R8 Double, CY Currency, BOOL Boolean,
// DATE / DBDATE / DBTIME / FILETIME Date, DBTIMESTAMP SQLTimeStamp (fractions in nanoseconds, as
// stored), DECIMAL Decimal, NUMERIC / VARNUMERIC Bcd, GUID OleStr "{...}", STR String (the stored
// ANSI bytes), WSTR / BSTR OleStr, BYTES a one-dimensional byte array, VARIANT the kind the cell
// holds. Fixed-width 8-bit text loses only the NULs at its end (an embedded NUL and the bytes
// after it stay); fixed-width wide text is cut at its first NUL. An absent value reads as Null.
//
// Writing converts what can be converted without loss of meaning and fails with EAdoError
// ("Field 'NAME': ...") otherwise: integers out of range, text longer than the field, a string in
// a numeric column that is not a number, ... Numbers are rounded half away from zero to the
// column's scale (NUMERIC, CY) or to 28 places (DECIMAL); dates to the millisecond when they
// change representation. Fixed-width text is padded with spaces, fixed-width binary with zeros.
// Null, and Empty in every column but a VARIANT one, store an absent value.
#pragma once

#include "platform/ado/RowStore.h"
#include "platform/rtl/Variant.h"

namespace qorvin::ado {

Variant CellValue(const TFieldDef& def, const RowStore& store, const uint8_t* rec, int col);
void SetCellValue(const TFieldDef& def, RowStore& store, uint8_t* rec, int col,
                  const Variant& value);
// SetCellValue of the text `utf8` (as the OleStr Variant of it) into a wide text column (adWChar,
// adBSTR), without making the Variant: the same cell. True when done; false, with the cell
// unchanged, for a column of another type, text that is not UTF-8 or does not fit: SetCellValue
// then sets it or fails as it always does. For writers of many rows.
bool SetWideCellFromUtf8(const TFieldDef& def, RowStore& store, uint8_t* rec, int col,
                         std::string_view utf8);
// SetCellValue of an Int64 or a Double Variant holding `value` into a SMALLINT, INTEGER, BIGINT
// or DOUBLE column, without making the Variant: the same cell. False, with the cell unchanged,
// for another column type or an integer outside the column's range (SetCellValue then says why).
bool SetNumberCell(RowStore& store, uint8_t* rec, int col, int64_t value);
// The text of a present wide text cell (adWChar, adBSTR) in UTF-8, as CellValue(...).ToUtf8()
// gives it, without making the Variant; false for another column type or a NULL cell. The same
// failures as that conversion (EConvertError for bytes that are not UTF-16).
bool WideCellUtf8(const RowStore& store, const uint8_t* rec, int col, std::string& out);
bool SetNumberCell(RowStore& store, uint8_t* rec, int col, double value);

}  // namespace qorvin::ado
