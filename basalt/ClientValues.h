// Turning a record set of the client library into the framework's dataset content.
//
// The record set hands every value as text in the process's locale code set (numbers in the C
// locale, date-times as "YYYY-MM-DD HH:MM:SS[.fff]", binary as hexadecimal digits) together with
// the field's type code. Each value becomes the Variant of its field type, text becomes framework
// text (UTF-8), and NULL stays NULL:
//
//   ftString ftFixedChar ftMemo ftFmtMemo ftOraClob ftWideString ftGuid ftVariant -> varString
//   ftSmallint ftWord ftInteger ftAutoInc ftLargeint -> varSmallint/varWord/varInteger/varInt64
//   ftBoolean -> varBoolean      ftFloat -> varDouble      ftCurrency -> varCurrency (exact)
//   ftBCD ftFMTBcd -> BCD        ftDate ftTime ftDateTime ftTimeStamp -> varDate
//   ftBytes ftVarBytes ftBlob ftGraphic ... ftOraBlob -> byte array
//
// Failure: a value that does not parse as its type, text that is not valid in the locale's code
// set, or a field type the framework cannot hold raises EBasaltError naming the field and row.
#pragma once

#include <string>
#include <vector>

#include "basalt/BasaltApi.h"
#include "include/qorvin/QorvinClient.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

struct TDataSetContent {
  std::vector<std::string> Fields;  // UTF-8
  std::vector<std::vector<Variant>> Rows;
};

// Reads every field and row of `source` from its first row on. The record set is left at its end.
BASALT_API TDataSetContent ReadClientRecordSet(QorvinAdoDataSet& source);

// One value: `text` in the locale's code set, `fieldType` a field type code.
BASALT_API Variant ClientTextToVariant(int fieldType, const std::string& text);

// Days since 1899-12-30 with the time as the fraction, from "YYYY-MM-DD", "HH:MM:SS" or
// "YYYY-MM-DD HH:MM:SS[.fff]". EBasaltError for anything else or an impossible date.
BASALT_API double ParseClientDateTime(const std::string& text);

// Text the library stored, as UTF-8. Bytes that are not valid in the locale's code set are
// replaced by '?', so a reason is never lost because of its encoding.
BASALT_API std::string LibraryTextToUtf8(const QorvinText& text);

}  // namespace qorvin
