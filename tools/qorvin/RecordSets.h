// Moving tables in and out of the library's record sets, through the public record-set and
// factory interfaces only.
#pragma once

#include <optional>

#include "include/qorvin/QorvinClient.h"
#include "tools/qorvin/HostTypes.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

// Every field and row of `ds` (from its first row; the cursor ends past the last). RunError when
// a name or value cannot be read (for example a character the terminal's code set lacks).
Table ReadRecordSet(QorvinAdoDataSet& ds);

// The rows of a data packet, or nothing when the packet holds no data. RunError when the packet
// does not load.
std::optional<Table> ReadPacket(IQorvinDataSetFactory& factory, const QorvinDataPacket& packet);

// A new open record set holding `table`, owned by the caller. UsageError naming the row and
// column when a value does not fit its column's type; RunError when the library refuses a
// column definition.
RecordSetPtr BuildRecordSet(IQorvinDataSetFactory& factory, const Table& table);

}  // namespace qorvin::cli
