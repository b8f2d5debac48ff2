// Inserting uploaded rows into a table, one INSERT per row, on a session whose transaction the
// caller owns.
//
// Every column of the uploaded table is inserted under its own name. When `keyColumn` is not
// empty, that column receives `keyValue` in every row (it is added when the upload lacks it).
// Table and column names are quoted as identifiers (SqlIdentifier), values written as literals,
// so no uploaded text can change the statement. Returns the number of rows inserted; the
// database's ESqlError on the first row that fails.
#pragma once

#include <cstdint>
#include <string>

#include "platform/rtl/Variant.h"
#include "server/db/Database.h"
#include "server/services/DataSetBlob.h"

namespace qorvin::server {

// The rows are read one at a time (from the first): no value of them is held beside the
// uploaded record set.
int64_t InsertRows(ISession& session, const ExecLimits& limits, const std::string& table,
                   UploadedRows& rows, const std::string& keyColumn, const Variant& keyValue);

}  // namespace qorvin::server
