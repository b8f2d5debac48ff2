#include "tools/qorvin/RecordSets.h"

#include "tools/qorvin/FieldTypes.h"

namespace qorvin::cli {

namespace {

class RecordSetRowSource : public RowSource {
 public:
  explicit RecordSetRowSource(RecordSetPtr ds) : ds_(std::move(ds)) {
    const int32_t fields = ds_->FieldCount();
    for (int32_t i = 0; i < fields; ++i) {
      HostText name;
      if (!ds_->FieldName(i, &name.slot))
        throw RunError("the name of field " + std::to_string(i + 1) + " cannot be read");
      columns_.push_back(Column{name.str(), ds_->FieldType(i), ds_->FieldSize(i)});
    }
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
    cells.resize(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) {
      HostText value;
      bool isNull = false;
      if (!ds_->GetValueText(int32_t(i), &value.slot, &isNull))
        throw RunError("row " + std::to_string(row_ + 1) + ", field '" + columns_[i].name +
                       "': the value cannot be read (it may hold characters that the terminal's "
                       "code set lacks)");
      if (isNull) {
        cells[i].reset();
      } else {
        cells[i] = value.str();
      }
    }
    return true;
  }

 private:
  RecordSetPtr ds_;
  std::vector<Column> columns_;
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
