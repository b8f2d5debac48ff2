#include "tools/qorvin/RecordSets.h"

#include "tools/qorvin/FieldTypes.h"

namespace qorvin::cli {

std::vector<Column> ColumnsOf(QorvinAdoDataSet& ds) {
  std::vector<Column> columns;
  const int32_t fields = ds.FieldCount();
  for (int32_t i = 0; i < fields; ++i) {
    HostText name;
    if (!ds.FieldName(i, &name.slot))
      throw RunError("the name of field " + std::to_string(i + 1) + " cannot be read");
    columns.push_back(Column{name.str(), ds.FieldType(i), ds.FieldSize(i)});
  }
  return columns;
}

void ReadCells(QorvinAdoDataSet& ds, const std::vector<Column>& columns, int64_t rowNumber,
               std::vector<Cell>& cells) {
  cells.resize(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    HostText value;
    bool isNull = false;
    if (!ds.GetValueText(int32_t(i), &value.slot, &isNull))
      throw RunError("row " + std::to_string(rowNumber) + ", field '" + columns[i].name +
                     "': the value cannot be read (it may hold characters that the terminal's "
                     "code set lacks)");
    if (isNull) {
      cells[i].reset();
    } else {
      const char* text = value.slot.data != nullptr ? value.slot.data : "";
      const size_t length = value.slot.data != nullptr ? size_t(value.slot.length) : 0;
      if (cells[i]) {
        cells[i]->assign(text, length);  // the cell's buffer is used again
      } else {
        cells[i].emplace(text, length);
      }
    }
  }
}

namespace {

class RecordSetRowSource : public RowSource {
 public:
  explicit RecordSetRowSource(RecordSetPtr ds) : ds_(std::move(ds)), columns_(ColumnsOf(*ds_)) {
    // Bounded by the row count the record set reports, should its cursor misbehave.
    count_ = ds_->RecordCount();
  }

  const std::vector<Column>& Columns() const override { return columns_; }

  void Rewind() override { row_ = -1; }

  bool Next(std::vector<Cell>& cells) override {
    if (row_ < 0) {
      ds_->First();
    } else {
      ds_->Next();
    }
    ++row_;
    if (ds_->Eof() || row_ >= count_) return false;
    ReadCells(*ds_, columns_, row_ + 1, cells);
    return true;
  }

 private:
  RecordSetPtr ds_;
  const std::vector<Column> columns_;
  int64_t count_ = 0;
  int64_t row_ = -1;  // the row last read; -1: before the first
};

}  // namespace

std::shared_ptr<RowSource> RecordSetRows(RecordSetPtr ds) {
  return std::make_shared<RecordSetRowSource>(std::move(ds));
}

std::shared_ptr<RowSource> ReadPacket(IQorvinDataSetFactory& factory,
                                      const QorvinDataPacket& packet) {
  if (packet.kind != kQorvinPacketBytes || packet.bytes == nullptr) return nullptr;
  RecordSetPtr ds(factory.PacketToAdoDataSet(&packet));
  if (!ds) throw RunError("the data packet that came back does not load");
  return RecordSetRows(std::move(ds));
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
