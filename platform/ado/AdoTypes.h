// The vocabulary of the ADO-style record set beyond the field types and dataset states shared by
// every dataset (platform/rtl/FieldTypes.h): ADO data types and field attributes, parameter
// directions, lock types, dataset kinds, row states, and the one exception class every
// record-set failure raises.
#pragma once

#include <cstdint>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// Every failure of the record set: a damaged or unsupported ADTG image, a value that does not fit
// its field, an operation in the wrong state. The message names the field or the image offset.
QORVIN_DECLARE_EXCEPTION(EAdoError, EDatabaseError);

// The field type a value of this variant kind naturally has (ftUnknown for Empty and Null).
TFieldType FieldTypeOfVariant(const Variant& value);

// ADO data types. The codes up to 139 are also the column type codes (DBTYPE) of an ADTG image;
// 200-205 are ADO's names for variable-length and long columns, which an image stores as the
// base code (129, 130, 128) plus the adFldFixed / adFldLong attributes.
enum AdoDataType : uint16_t {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adDate = 7,
  adBSTR = 8,
  adBoolean = 11,
  adVariant = 12,
  adDecimal = 14,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adUnsignedSmallInt = 18,
  adUnsignedInt = 19,
  adBigInt = 20,
  adUnsignedBigInt = 21,
  adFileTime = 64,
  adGUID = 72,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adVarNumeric = 139,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
};

// Field attributes: ADO's FieldAttributeEnum, bit for bit the column flags of an ADTG image.
enum AdoFieldAttribute : uint32_t {
  adFldMayDefer = 0x0002,
  adFldUpdatable = 0x0004,
  adFldUnknownUpdatable = 0x0008,
  adFldFixed = 0x0010,
  adFldIsNullable = 0x0020,
  adFldMayBeNull = 0x0040,
  adFldLong = 0x0080,
  adFldRowID = 0x0100,
  adFldRowVersion = 0x0200,
  adFldCacheDeferred = 0x1000,
  adFldIsChapter = 0x2000,
  adFldNegativeScale = 0x4000,
  adFldKeyColumn = 0x8000,
};

enum TParameterDirection : uint8_t { pdUnknown, pdInput, pdOutput, pdInputOutput, pdReturnValue };

// Lock types. ltBatchOptimistic keeps every change pending (row states, original values) until
// the record set is saved; every other writable lock applies a change at once, because a record
// set of this platform has no connection to send it to. ltReadOnly refuses changes.
enum TLockType : uint8_t {
  ltUnspecified,
  ltReadOnly,
  ltPessimistic,
  ltOptimistic,
  ltBatchOptimistic
};

// What the dataset's command is: a plain dataset (command text), a query (SQL text) or a stored
// procedure (procedure name).
enum TAdoDataSetKind : uint8_t { dkPlain, dkQuery, dkStoredProc };

// State of a stored row; the values are the row tokens an ADTG image uses for them.
enum class TRowStatus : uint8_t {
  Unchanged = 0x07,  // as read or as applied
  Modified = 0x0A,   // changed, original values kept
  Deleted = 0x0C,    // pending deletion, original values kept
  Inserted = 0x0D,   // pending insertion
};

}  // namespace qorvin
