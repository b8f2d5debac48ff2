#include "platform/dataset/ClientDataSet.h"

#include <algorithm>
#include <limits>
#include <string>

#include "platform/dataset/FieldValue.h"

namespace qorvin {

namespace {

const Variant& NullValue() {
  static const Variant kNull = Variant::Null();
  return kNull;
}

}  // namespace

// ---- definitions and state ----

void TClientDataSet::AddFieldDef(TClientFieldDef def) {
  if (Active()) throw EDatabaseError("Cannot change field definitions of an open dataset");
  CheckClientFieldDef(def);
  defs_.push_back(std::move(def));
}

void TClientDataSet::ClearFieldDefs() {
  if (Active()) throw EDatabaseError("Cannot change field definitions of an open dataset");
  defs_.clear();
}

void TClientDataSet::CheckActive() const {
  if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TClientDataSet::CreateDataSet() {
  if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
  if (defs_.empty()) throw EDatabaseError("Field definitions are missing");
  rows_.clear();
  buffer_.clear();
  next_auto_inc_.assign(defs_.size(), 1);
  state_ = dsBrowse;
  ResetCursor();
}

void TClientDataSet::Open() {
  if (!Active()) CreateDataSet();
}

void TClientDataSet::Close() {
  rows_.clear();
  rows_.shrink_to_fit();
  buffer_.clear();
  next_auto_inc_.clear();
  state_ = dsInactive;
  ResetCursor();
}

// ---- data packets ----

Variant TClientDataSet::Data() {
  if (!Active()) return Variant::Null();
  CheckBrowseMode();
  return DataPacketToVariant(EncodeDataPacket(*this));
}

void TClientDataSet::SetData(const Variant& packet) {
  if (packet.IsByRef() && !packet.IsArray()) {
    SetData(packet.Deref());
    return;
  }
  if (packet.IsNull() || packet.IsEmpty()) {
    Close();
    defs_.clear();
    return;
  }
  TDataPacketContent content = DecodeDataPacket(DataPacketBytes(packet), limits_);
  if (content.fields.empty()) throw EDatabaseError("Invalid data packet: it has no fields");
  defs_ = std::move(content.fields);
  rows_ = std::move(content.rows);
  buffer_.clear();
  next_auto_inc_.assign(defs_.size(), 1);
  for (const auto& row : rows_) NoteAutoIncrement(row);
  state_ = dsBrowse;
  ResetCursor();
}

// ---- cursor ----

void TClientDataSet::ResetCursor() {
  cursor_ = 0;
  bof_ = true;
  eof_ = rows_.empty();
}

int64_t TClientDataSet::RecNo() const {
  return Active() && !rows_.empty() ? cursor_ + 1 : 0;
}

void TClientDataSet::First() {
  CheckActive();
  CheckBrowseMode();
  ResetCursor();
}

void TClientDataSet::Last() {
  CheckActive();
  CheckBrowseMode();
  cursor_ = rows_.empty() ? 0 : int64_t(rows_.size()) - 1;
  eof_ = true;
  bof_ = rows_.empty();
}

void TClientDataSet::Next() {
  CheckActive();
  CheckBrowseMode();
  bof_ = false;
  if (cursor_ + 1 < int64_t(rows_.size())) {
    ++cursor_;
    eof_ = false;
  } else {
    eof_ = true;
  }
}

void TClientDataSet::Prior() {
  CheckActive();
  CheckBrowseMode();
  eof_ = rows_.empty();
  if (cursor_ > 0) {
    --cursor_;
    bof_ = false;
  } else {
    bof_ = true;
  }
}

// ---- fields ----

int TClientDataSet::CheckedIndex(int index) const {
  if (index < 0 || index >= int(defs_.size()))
    throw EDatabaseError(Format("Field index %d out of range", index));
  return index;
}

int TClientDataSet::CheckedIndex(std::string_view name) const {
  const int index = FieldIndex(name);
  if (index < 0) throw EDatabaseError(Format("Field '%s' not found", std::string(name).c_str()));
  return index;
}

const Variant& TClientDataSet::FieldValue(int index) const {
  CheckActive();
  CheckedIndex(index);
  if (state_ == dsEdit || state_ == dsInsert) return buffer_[size_t(index)];
  if (rows_.empty()) return NullValue();
  return rows_[size_t(cursor_)][size_t(index)];
}

const Variant& TClientDataSet::FieldValue(std::string_view name) const {
  return FieldValue(CheckedIndex(name));
}

void TClientDataSet::SetFieldValue(int index, const Variant& value) {
  CheckActive();
  const TClientFieldDef& def = defs_[size_t(CheckedIndex(index))];
  if (state_ != dsEdit && state_ != dsInsert)
    throw EDatabaseError("Dataset not in edit or insert mode");
  if (def.ReadOnly())
    throw EDatabaseError(Format("Field '%s' cannot be modified", def.name.c_str()));
  buffer_[size_t(index)] = CoerceFieldValue(def, value);
}

void TClientDataSet::SetFieldValue(std::string_view name, const Variant& value) {
  SetFieldValue(CheckedIndex(name), value);
}

// ---- editing ----

void TClientDataSet::CheckBrowseMode() {
  if (state_ == dsEdit || state_ == dsInsert) Post();
}

void TClientDataSet::Append() {
  CheckActive();
  CheckBrowseMode();
  buffer_.assign(defs_.size(), Variant::Null());
  state_ = dsInsert;
}

void TClientDataSet::Edit() {
  CheckActive();
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (rows_.empty()) {
    Append();
    return;
  }
  buffer_ = rows_[size_t(cursor_)];
  state_ = dsEdit;
}

void TClientDataSet::FillAutoIncrement(std::vector<Variant>& row) {
  for (size_t f = 0; f < defs_.size(); ++f) {
    if (!defs_[f].AutoIncrement() || !row[f].IsNull()) continue;
    const int64_t next = next_auto_inc_[f];
    if (next > std::numeric_limits<int32_t>::max() &&
        ValueClassOf(defs_[f].dataType) == TValueClass::Integer)
      throw EDatabaseError(
          Format("Field '%s': auto-increment values exhausted", defs_[f].name.c_str()));
    row[f] = CoerceFieldValue(defs_[f], Variant::Int64(next));
  }
}

void TClientDataSet::NoteAutoIncrement(const std::vector<Variant>& row) {
  for (size_t f = 0; f < defs_.size(); ++f) {
    if (!defs_[f].AutoIncrement() || row[f].IsNull()) continue;
    try {
      const int64_t v = row[f].ToInt64();
      if (v < std::numeric_limits<int64_t>::max())
        next_auto_inc_[f] = std::max(next_auto_inc_[f], v + 1);
    } catch (const Exception&) {
      // A value that is not a number (possible only in an ftVariant field) gives no next number.
    }
  }
}

void TClientDataSet::Post() {
  CheckActive();
  if (state_ != dsEdit && state_ != dsInsert) return;
  for (size_t f = 0; f < defs_.size(); ++f)
    if (defs_[f].Required() && buffer_[f].IsNull() && !defs_[f].AutoIncrement())
      throw EDatabaseError(Format("Field '%s' must have a value", defs_[f].name.c_str()));
  FillAutoIncrement(buffer_);
  if (state_ == dsInsert) {
    rows_.push_back(std::move(buffer_));
    cursor_ = int64_t(rows_.size()) - 1;
  } else {
    rows_[size_t(cursor_)] = std::move(buffer_);
  }
  NoteAutoIncrement(rows_[size_t(cursor_)]);
  buffer_.clear();
  state_ = dsBrowse;
  eof_ = bof_ = false;
}

void TClientDataSet::Cancel() {
  if (state_ != dsEdit && state_ != dsInsert) return;
  buffer_.clear();
  state_ = dsBrowse;
}

void TClientDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert) {
    Cancel();
    return;
  }
  Cancel();
  if (rows_.empty()) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  rows_.erase(rows_.begin() + cursor_);
  if (cursor_ >= int64_t(rows_.size())) cursor_ = rows_.empty() ? 0 : int64_t(rows_.size()) - 1;
  eof_ = bof_ = rows_.empty();
}

void TClientDataSet::EmptyDataSet() {
  CheckActive();
  Cancel();
  rows_.clear();
  ResetCursor();
}

void TClientDataSet::AppendRecord(const std::vector<Variant>& values) {
  if (values.size() > defs_.size()) throw EDatabaseError("More values than fields");
  Append();
  try {
    for (size_t i = 0; i < values.size(); ++i) {
      const TClientFieldDef& def = defs_[i];
      buffer_[i] = CoerceFieldValue(def, values[i]);  // read-only fields too: a whole new row
    }
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

}  // namespace qorvin
