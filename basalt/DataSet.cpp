#include "basalt/DataSet.h"

#include <strings.h>

#include <utility>

#include "basalt/BasaltError.h"

namespace qorvin {

void TBasaltDataSet::SetFields(std::vector<std::string> names) {
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (strcasecmp(names[i].c_str(), names[j].c_str()) == 0)
        throw EDataSetError("Duplicate field name '" + names[i] + "'");
    }
  }
  fields_ = std::move(names);
  rows_.clear();
  pending_.clear();
  active_ = false;
  appending_ = false;
  cursor_ = 0;
}

int TBasaltDataSet::FindField(const std::string& name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (strcasecmp(fields_[i].c_str(), name.c_str()) == 0) return int(i);
  }
  return -1;
}

void TBasaltDataSet::Open() {
  active_ = true;
  appending_ = false;
  cursor_ = 0;
}

void TBasaltDataSet::Close() {
  active_ = false;
  appending_ = false;
  pending_.clear();
}

void TBasaltDataSet::First() {
  RequireActive("First");
  cursor_ = 0;
}

void TBasaltDataSet::Next() {
  RequireActive("Next");
  if (cursor_ < RecordCount()) ++cursor_;
}

bool TBasaltDataSet::Eof() const {
  return !active_ || cursor_ >= RecordCount();
}

const Variant& TBasaltDataSet::FieldValue(const std::string& name) const {
  const int index = RequireField(name);
  if (appending_) return pending_[size_t(index)];
  return CurrentRow("FieldValue")[size_t(index)];
}

std::string TBasaltDataSet::FieldText(const std::string& name) const {
  const Variant& value = FieldValue(name);
  if (value.IsEmpty() || value.IsNull()) return {};
  if (value.Kind() == varString && !value.IsByRef()) return value.AsAnsi();
  return value.ToUtf8();
}

void TBasaltDataSet::Append() {
  RequireActive("Append");
  if (appending_) throw EDataSetError("Dataset is already appending a row");
  pending_.assign(fields_.size(), Variant());
  appending_ = true;
}

void TBasaltDataSet::SetFieldValue(const std::string& name, Variant value) {
  const int index = RequireField(name);
  if (!appending_) throw EDataSetError("Dataset not in edit or insert mode");
  pending_[size_t(index)] = std::move(value);
}

void TBasaltDataSet::Post() {
  if (!appending_) throw EDataSetError("Dataset not in edit or insert mode");
  rows_.push_back(std::move(pending_));
  pending_.clear();
  appending_ = false;
  cursor_ = RecordCount() - 1;
}

void TBasaltDataSet::Cancel() {
  pending_.clear();
  appending_ = false;
}

void TBasaltDataSet::Delete() {
  CurrentRow("Delete");
  if (appending_) throw EDataSetError("Dataset is appending a row");
  rows_.erase(rows_.begin() + cursor_);
  if (cursor_ >= RecordCount() && cursor_ > 0) cursor_ = RecordCount() - 1;
}

void TBasaltDataSet::EmptyDataSet() {
  RequireActive("EmptyDataSet");
  rows_.clear();
  pending_.clear();
  appending_ = false;
  cursor_ = 0;
}

void TBasaltDataSet::AppendRow(std::vector<Variant> values) {
  if (values.size() != fields_.size()) {
    throw EDataSetError(Format("Row has %zu values for %zu fields", values.size(), fields_.size()));
  }
  rows_.push_back(std::move(values));
}

void TBasaltDataSet::EnableControls() {
  if (disabled_ > 0) --disabled_;
}

void TBasaltDataSet::RequireActive(const char* operation) const {
  if (!active_)
    throw EDataSetError(std::string("Cannot perform ") + operation + " on a closed dataset");
}

int TBasaltDataSet::RequireField(const std::string& name) const {
  const int index = FindField(name);
  if (index < 0) throw EDataSetError("Field '" + name + "' not found");
  return index;
}

const std::vector<Variant>& TBasaltDataSet::CurrentRow(const char* operation) const {
  RequireActive(operation);
  if (cursor_ >= RecordCount())
    throw EDataSetError(std::string(operation) + ": the dataset has no current row");
  return rows_[size_t(cursor_)];
}

}  // namespace qorvin
