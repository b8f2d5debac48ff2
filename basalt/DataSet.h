// TBasaltDataSet: the framework's in-memory client dataset, as the plug-ins see it.
//
// A table of named fields and rows of Variants with one cursor. Text travels as 8-bit framework
// text (varString holding UTF-8 bytes, the code set of our hosts). The dataset must be open for
// every cursor and row operation; misuse raises EDataSetError and leaves the data unchanged.
//
// Ownership: the dataset owns its rows. Thread: one thread at a time (the UI thread).
#pragma once

#include <string>
#include <vector>

#include "basalt/BasaltApi.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

class BASALT_API TBasaltDataSet {
 public:
  // Replaces the field list and drops every row; the dataset is left closed.
  void SetFields(std::vector<std::string> names);
  const std::vector<std::string>& FieldNames() const { return fields_; }
  // Index of a field, names compared ignoring ASCII case; -1 when there is none.
  int FindField(const std::string& name) const;

  // Opening positions the cursor on the first row. Closing keeps the rows.
  void Open();
  void Close();
  bool Active() const { return active_; }

  int RecordCount() const { return int(rows_.size()); }
  bool IsEmpty() const { return rows_.empty(); }
  void First();
  void Next();
  // True when the cursor is past the last row (always for an empty dataset).
  bool Eof() const;
  int RecNo() const { return cursor_; }

  // Value of a field in the current row (or in the row being appended).
  const Variant& FieldValue(const std::string& name) const;
  // The value as text: 8-bit text as is, wide text and numbers converted, null and empty as "".
  std::string FieldText(const std::string& name) const;

  // Appending: Append starts a row of empty values, SetFieldValue fills it, Post adds it at the
  // end and moves the cursor onto it, Cancel drops it.
  void Append();
  void SetFieldValue(const std::string& name, Variant value);
  void Post();
  void Cancel();
  bool Appending() const { return appending_; }

  // Deletes the current row; the cursor stays at the same position (the next row), or moves to
  // the new last row when the last row was deleted.
  void Delete();
  // Deletes every row.
  void EmptyDataSet();
  // Adds a complete row (one value per field) without touching the cursor; for loaders.
  void AppendRow(std::vector<Variant> values);

  // Bound controls: counted suspension, as the framework's data-aware controls expect. The
  // stand-in has no bound controls; the count is observable so callers' pairing can be checked.
  void DisableControls() { ++disabled_; }
  void EnableControls();
  bool ControlsDisabled() const { return disabled_ > 0; }

 private:
  void RequireActive(const char* operation) const;
  int RequireField(const std::string& name) const;
  const std::vector<Variant>& CurrentRow(const char* operation) const;

  std::vector<std::string> fields_;
  std::vector<std::vector<Variant>> rows_;
  std::vector<Variant> pending_;
  bool active_ = false;
  bool appending_ = false;
  int cursor_ = 0;
  int disabled_ = 0;
};

// Disables a dataset's bound controls for one scope.
class ControlsSuspension {
 public:
  explicit ControlsSuspension(TBasaltDataSet& ds) : ds_(ds) { ds_.DisableControls(); }
  ~ControlsSuspension() { ds_.EnableControls(); }
  ControlsSuspension(const ControlsSuspension&) = delete;
  ControlsSuspension& operator=(const ControlsSuspension&) = delete;

 private:
  TBasaltDataSet& ds_;
};

}  // namespace qorvin
