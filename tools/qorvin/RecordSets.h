// Moving tables in and out of the library's record sets, through the public record-set and
// factory interfaces only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "include/qorvin/QorvinClient.h"
#include "tools/qorvin/HostTypes.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

// The fields of `ds` as columns. RunError when a field's name cannot be read.
std::vector<Column> ColumnsOf(QorvinAdoDataSet& ds);
// The current row of `ds` as cells (one per column). RunError naming the row (`rowNumber`,
// counted from 1) and the field when a value cannot be read (for example a character the
// terminal's code set lacks).
void ReadCells(QorvinAdoDataSet& ds, const std::vector<Column>& columns, int64_t rowNumber,
               std::vector<Cell>& cells);

// The rows of `ds`, read from it one at a time as they are rendered (it is kept, not copied).
// RunError when a field's name cannot be read; Next raises RunError naming the row and field
// when a value cannot be read (for example a character the terminal's code set lacks).
std::shared_ptr<RowSource> RecordSetRows(RecordSetPtr ds);

// The rows of a data packet, or null when the packet holds no data. RunError when the packet
// does not load. The packet itself is not needed afterwards.
std::shared_ptr<RowSource> ReadPacket(IQorvinDataSetFactory& factory,
                                      const QorvinDataPacket& packet);

// A new open record set holding `table`, owned by the caller. UsageError naming the row and
// column when a value does not fit its column's type; RunError when the library refuses a
// column definition.
RecordSetPtr BuildRecordSet(IQorvinDataSetFactory& factory, const Table& table);

}  // namespace qorvin::cli
