#include "platform/ado/AdoDataSet.h"

#include <span>

#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdoValues.h"
#include "platform/ado/AdtgCodec.h"

namespace qorvin {

using ado::ShowName;

TAdoDataSet::TAdoDataSet(TAdoDataSetKind kind) : kind_(kind) {}

// ---- command ------------------------------------------------------------------------------

std::u16string TAdoDataSet::SQLText() const {
  std::u16string text;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i != 0) text += u"\r\n";
    text += sql_[i];
  }
  return text;
}

void TAdoDataSet::SetSQLText(std::u16string_view text) {
  sql_.clear();
  if (text.empty()) return;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(u"\r\n", start);
    sql_.emplace_back(text.substr(start, end == text.npos ? text.npos : end - start));
    if (end == text.npos) return;
    start = end + 2;
  }
}

void TAdoDataSet::SetLockType(TLockType lockType) {
  if (state_ == dsEdit || state_ == dsInsert)
    throw EAdoError("Cannot change the lock type while a row is being edited");
  lockType_ = lockType;
}

// ---- definitions and lifecycle ------------------------------------------------------------

TFieldDefs& TAdoDataSet::MutableFieldDefs() {
  if (Active()) throw EAdoError("Cannot change the field definitions of an open dataset");
  imageInfo_ = AdtgImageInfo::Default();
  return fieldDefs_;
}

void TAdoDataSet::Open() {
  if (Active()) return;
  if (fieldDefs_.Count() == 0) throw EAdoError("Cannot open a dataset without field definitions");
  if (fieldDefs_.Count() > 0xFFFF) throw EAdoError("A record set holds at most 65 535 fields");
  store_.Reset(RowLayout::For(fieldDefs_));
  visible_.clear();
  state_ = dsBrowse;
  First();
}

void TAdoDataSet::Open(TStream& source, TLockType lockType) {
  const int64_t start = source.Position();
  ado::AdtgImage image;
  try {
    std::vector<uint8_t> copy;
    std::span<const uint8_t> bytes;
    if (auto* memory = dynamic_cast<TMemoryStream*>(&source)) {
      if (start < memory->Size())
        bytes = {memory->Memory() + start, size_t(memory->Size() - start)};
    } else {
      // Whatever the stream yields, read piece by piece: no size from anywhere is trusted.
      constexpr size_t kPiece = 64 * 1024;
      for (;;) {
        const size_t used = copy.size();
        copy.resize(used + kPiece);
        const int64_t got = source.Read(copy.data() + used, int64_t(kPiece));
        copy.resize(used + size_t(std::max<int64_t>(got, 0)));
        if (got <= 0) break;
      }
      bytes = copy;
    }
    const size_t used = ado::ReadAdtg(bytes, image);
    source.SetPosition(start + int64_t(used));
  } catch (...) {
    try {
      source.SetPosition(start);
    } catch (...) {  // the first failure is the one to report
    }
    throw;
  }
  // From here on nothing can fail: the dataset changes only when the image was good.
  Adopt(image, lockType);
}

void TAdoDataSet::Open(ado::AdtgSource& source, TLockType lockType,
                       const ado::AdtgMemoryCheck* check) {
  ado::AdtgImage image;
  ado::ReadAdtg(source, image, size_t(1) << 20, check);
  Adopt(image, lockType);
}

void TAdoDataSet::Adopt(ado::AdtgImage& image, TLockType lockType) {
  Close();
  fieldDefs_ = std::move(image.defs);
  imageInfo_ = std::move(image.info);
  store_ = std::move(image.rows);
  lockType_ = lockType;
  state_ = dsBrowse;
  RebuildVisible();
  cursor_ = 0;
  bof_ = true;
  eof_ = visible_.empty();
}

void TAdoDataSet::Close() {
  store_.Clear();
  visible_.clear();
  buffer_.clear();
  state_ = dsInactive;
  cursor_ = 0;
  bof_ = eof_ = true;
}

void TAdoDataSet::Save(TStream& target) const {
  CheckBrowse("save");
  ado::WriteAdtg(imageInfo_, fieldDefs_, store_, target);
}

// ---- checks -------------------------------------------------------------------------------

void TAdoDataSet::CheckActive() const {
  if (!Active()) throw EAdoError("Cannot perform this operation on a closed dataset");
}

void TAdoDataSet::CheckBrowse(const char* operation) const {
  CheckActive();
  if (state_ != dsBrowse)
    throw EAdoError(Format("Cannot %s while a row is being edited", operation));
}

void TAdoDataSet::CheckWritable() const {
  if (lockType_ == ltReadOnly) throw EAdoError("Cannot modify a read-only dataset");
}

void TAdoDataSet::CheckField(int field) const {
  if (field < 0 || field >= fieldDefs_.Count())
    throw EAdoError(Format("Field index %d out of range", field));
}

int TAdoDataSet::FieldIndex(std::u16string_view name) const {
  const int index = fieldDefs_.IndexOf(name);
  if (index < 0) throw EAdoError(Format("Field '%s' not found", ShowName(name).c_str()));
  return index;
}

void TAdoDataSet::CheckRequired(const std::vector<uint8_t>& record) const {
  for (int col = 0; col < fieldDefs_.Count(); ++col)
    if (fieldDefs_[col].Required() && !store_.Present(record.data(), col))
      throw EAdoError(
          Format("Field '%s' must have a value", ShowName(fieldDefs_[col].name).c_str()));
}

// ---- cursor -------------------------------------------------------------------------------

void TAdoDataSet::RebuildVisible() {
  visible_.clear();
  const auto& rows = store_.Rows();
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].status != TRowStatus::Deleted) visible_.push_back(uint32_t(i));
}

void TAdoDataSet::First() {
  CheckBrowse("move the cursor");
  cursor_ = 0;
  bof_ = true;
  eof_ = visible_.empty();
}

void TAdoDataSet::Last() {
  CheckBrowse("move the cursor");
  cursor_ = visible_.empty() ? 0 : visible_.size() - 1;
  bof_ = visible_.empty();
  eof_ = true;
}

void TAdoDataSet::Next() {
  CheckBrowse("move the cursor");
  if (cursor_ + 1 < visible_.size()) {
    ++cursor_;
    bof_ = eof_ = false;
  } else {
    bof_ = visible_.empty();
    eof_ = true;
  }
}

void TAdoDataSet::Prior() {
  CheckBrowse("move the cursor");
  if (cursor_ > 0 && !visible_.empty()) {
    --cursor_;
    bof_ = eof_ = false;
  } else {
    bof_ = true;
    eof_ = visible_.empty();
  }
}

int64_t TAdoDataSet::RecNo() const {
  if (!Active() || visible_.empty()) return 0;
  return int64_t(cursor_) + 1;
}

// ---- current row --------------------------------------------------------------------------

const RowEntry& TAdoDataSet::CurrentEntry() const {
  CheckActive();
  if (visible_.empty()) throw EAdoError("The dataset is empty: there is no current row");
  return store_.Rows()[visible_[cursor_]];
}

const uint8_t* TAdoDataSet::CurrentRecord() const {
  if (state_ == dsEdit || state_ == dsInsert) return buffer_.data();
  CheckActive();
  if (visible_.empty()) return nullptr;
  return store_.Record(store_.Rows()[visible_[cursor_]].current);
}

Variant TAdoDataSet::FieldValue(int field) const {
  CheckField(field);
  const uint8_t* record = CurrentRecord();
  if (record == nullptr) return Variant::Null();
  return ado::CellValue(fieldDefs_[field], store_, record, field);
}

bool TAdoDataSet::FieldWideUtf8(int field, std::string& out) const {
  CheckField(field);
  const uint8_t* record = CurrentRecord();
  return record != nullptr && ado::WideCellUtf8(store_, record, field, out);
}

bool TAdoDataSet::FieldIsNull(int field) const {
  CheckField(field);
  const uint8_t* record = CurrentRecord();
  return record == nullptr || !store_.Present(record, field);
}

Variant TAdoDataSet::OldFieldValue(int field) const {
  CheckField(field);
  if (state_ == dsInsert || (state_ == dsBrowse && visible_.empty())) return Variant::Null();
  const RowEntry& entry = CurrentEntry();
  const uint32_t id = entry.original != kNoRecord ? entry.original : entry.current;
  return ado::CellValue(fieldDefs_[field], store_, store_.Record(id), field);
}

TRowStatus TAdoDataSet::RowStatus() const {
  if (state_ == dsInsert) return TRowStatus::Inserted;
  return CurrentEntry().status;
}

void TAdoDataSet::SetFieldValue(int field, const Variant& value) {
  if (state_ != dsEdit && state_ != dsInsert) throw EAdoError("Dataset not in edit or insert mode");
  CheckField(field);
  const TFieldDef& def = fieldDefs_[field];
  if (def.ReadOnly())
    throw EAdoError(Format("Field '%s' cannot be modified", ShowName(def.name).c_str()));
  ado::SetCellValue(def, store_, buffer_.data(), field, value);
  store_.SetTouched(buffer_.data(), field, true);
  bufferTouched_ = true;
}

// ---- editing ------------------------------------------------------------------------------

void TAdoDataSet::Append() {
  CheckBrowse("append");
  CheckWritable();
  buffer_.assign(store_.RecordSize(), 0);
  bufferTouched_ = false;
  state_ = dsInsert;
}

void TAdoDataSet::Edit() {
  CheckBrowse("edit");
  CheckWritable();
  const RowEntry& entry = CurrentEntry();
  const uint8_t* record = store_.Record(entry.current);
  buffer_.assign(record, record + store_.RecordSize());
  if (entry.status == TRowStatus::Unchanged) store_.ClearTouched(buffer_.data());
  bufferTouched_ = false;
  state_ = dsEdit;
}

void TAdoDataSet::Post() {
  if (state_ != dsEdit && state_ != dsInsert) throw EAdoError("Dataset not in edit or insert mode");
  CheckRequired(buffer_);
  auto& rows = store_.Rows();
  if (state_ == dsInsert) {
    RowEntry entry;
    if (Batch()) {
      store_.TouchAll(buffer_.data());  // a pending insertion supplies every column
      entry.status = TRowStatus::Inserted;
    } else {
      store_.ClearTouched(buffer_.data());
    }
    entry.current = store_.NewRecord();
    store_.StoreRecord(entry.current, buffer_);
    rows.push_back(entry);
    visible_.push_back(uint32_t(rows.size() - 1));
    cursor_ = visible_.size() - 1;
  } else if (bufferTouched_) {
    RowEntry& entry = rows[visible_[cursor_]];
    if (entry.status == TRowStatus::Unchanged && Batch()) {
      entry.original = entry.current;
      entry.current = store_.NewRecord();
      entry.status = TRowStatus::Modified;
    } else if (entry.status == TRowStatus::Unchanged) {
      store_.ClearTouched(buffer_.data());
    }
    store_.StoreRecord(entry.current, buffer_);
  }
  buffer_.clear();
  state_ = dsBrowse;
  bof_ = eof_ = false;
}

void TAdoDataSet::Cancel() {
  if (state_ != dsEdit && state_ != dsInsert) return;
  buffer_.clear();
  state_ = dsBrowse;
}

void TAdoDataSet::Delete() {
  CheckBrowse("delete");
  CheckWritable();
  CurrentEntry();  // refuses an empty dataset
  auto& rows = store_.Rows();
  RowEntry& entry = rows[visible_[cursor_]];
  if (entry.status == TRowStatus::Inserted || !Batch()) {
    rows.erase(rows.begin() + visible_[cursor_]);
    RebuildVisible();
  } else {
    if (entry.status == TRowStatus::Unchanged) entry.original = entry.current;
    entry.current = entry.original;
    entry.status = TRowStatus::Deleted;
    visible_.erase(visible_.begin() + int64_t(cursor_));
  }
  if (cursor_ >= visible_.size() && cursor_ > 0) cursor_ = visible_.size() - 1;
  if (visible_.empty()) cursor_ = 0;
  bof_ = visible_.empty();
  eof_ = visible_.empty();
}

// ---- stored rows --------------------------------------------------------------------------

TRowStatus TAdoDataSet::StoredRowStatus(int64_t row) const {
  CheckActive();
  if (row < 0 || row >= StoredRowCount())
    throw EAdoError(Format("Row %lld out of range", static_cast<long long>(row)));
  return store_.Rows()[size_t(row)].status;
}

Variant TAdoDataSet::StoredValue(int64_t row, int field, bool original) const {
  StoredRowStatus(row);
  CheckField(field);
  const RowEntry& entry = store_.Rows()[size_t(row)];
  const uint32_t id = original && entry.original != kNoRecord ? entry.original : entry.current;
  return ado::CellValue(fieldDefs_[field], store_, store_.Record(id), field);
}

bool TAdoDataSet::StoredFieldAssigned(int64_t row, int field) const {
  const TRowStatus status = StoredRowStatus(row);
  CheckField(field);
  if (status != TRowStatus::Modified && status != TRowStatus::Inserted) return false;
  return store_.Touched(store_.Record(store_.Rows()[size_t(row)].current), field);
}

}  // namespace qorvin
