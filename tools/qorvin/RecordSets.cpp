#include "tools/qorvin/RecordSets.h"

#include "tools/qorvin/FieldTypes.h"

namespace qorvin::cli {

Table ReadRecordSet(QorvinAdoDataSet& ds) {
  Table t;
  const int32_t fields = ds.FieldCount();
  for (int32_t i = 0; i < fields; ++i) {
    HostText name;
    if (!ds.FieldName(i, &name.slot))
      throw RunError("the name of field " + std::to_string(i + 1) + " cannot be read");
    t.columns.push_back(Column{name.str(), ds.FieldType(i), ds.FieldSize(i)});
  }
  // Bounded by the row count the record set reports, should its cursor misbehave.
  const int64_t count = ds.RecordCount();
  int64_t row = 0;
  for (ds.First(); !ds.Eof() && row < count; ds.Next(), ++row) {
    std::vector<Cell> cells;
    for (int32_t i = 0; i < fields; ++i) {
      HostText value;
      bool isNull = false;
      if (!ds.GetValueText(i, &value.slot, &isNull))
        throw RunError("row " + std::to_string(row + 1) + ", field '" + t.columns[size_t(i)].name +
                       "': the value cannot be read (it may hold characters that the terminal's "
                       "code set lacks)");
      cells.push_back(isNull ? Cell() : Cell(value.str()));
    }
    t.rows.push_back(std::move(cells));
  }
  return t;
}

std::optional<Table> ReadPacket(IQorvinDataSetFactory& factory, const QorvinDataPacket& packet) {
  if (packet.kind != kQorvinPacketBytes || packet.bytes == nullptr) return std::nullopt;
  RecordSetPtr ds(factory.PacketToAdoDataSet(&packet));
  if (!ds) throw RunError("the data packet that came back does not load");
  return ReadRecordSet(*ds);
}

RecordSetPtr BuildRecordSet(IQorvinDataSetFactory& factory, const Table& table) {
  RecordSetPtr ds(factory.CreateAdoDataSet());
  if (!ds) throw RunError("the library did not create a record set");
  for (const Column& c : table.columns) {
    if (!ds->AddField(c.name.c_str(), c.type, c.size))
      throw RunError("the library refused the column '" + c.name + "' (" + FieldTypeName(c.type) +
                     ")");
  }
  if (!ds->Open()) throw RunError("the record set to upload does not open");
  for (size_t r = 0; r < table.rows.size(); ++r) {
    if (!ds->Append()) throw RunError("row " + std::to_string(r + 1) + " cannot be added");
    const std::vector<Cell>& row = table.rows[r];
    for (size_t c = 0; c < table.columns.size(); ++c) {
      const int32_t index = int32_t(c);
      const bool ok = row[c] ? ds->SetValueText(index, row[c]->c_str()) : ds->SetNull(index);
      if (!ok)
        throw UsageError("row " + std::to_string(r + 1) + ", column '" + table.columns[c].name +
                         "': " + (row[c] ? "'" + *row[c] + "'" : std::string("NULL")) +
                         " is not a valid " + FieldTypeName(table.columns[c].type) + " value");
    }
    if (!ds->Post()) throw RunError("row " + std::to_string(r + 1) + " cannot be stored");
  }
  return ds;
}

}  // namespace qorvin::cli
