// The in-memory client dataset: field definitions, rows of Variant values, a cursor, editing,
// and loading from / producing data packets.
//
// Values are kept in the one variant kind of their field's type (FieldValue.h); assigning a value
// converts it. Field definitions change only while the dataset is closed. Closing discards the
// rows (the definitions stay); opening a closed dataset gives an empty one with its definitions.
//
// Cursor: First / Last / Next / Prior move between rows; Eof is set when Next finds no further
// row (and on an empty dataset), Bof when Prior finds none (and after First).
//
// Editing: Append starts a new row (state dsInsert), Edit the current one (dsEdit; on an empty
// dataset Edit appends), SetFieldValue changes the pending row, Post stores it and Cancel drops it.
// Append, moving the cursor and producing Data() post a pending row first, as the platform's
// datasets do; Delete drops a pending new row instead of deleting, and an edited row's changes
// before deleting it. Post fills a NULL auto-increment field with the next number (one above the
// largest seen) and refuses a NULL required field.
//
// Failures raise EDatabaseError and leave the dataset as it was. Not thread-safe.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/dataset/ClientFieldDef.h"
#include "platform/dataset/DataPacket.h"
#include "platform/dataset/DataSetSource.h"
#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

class TClientDataSet : public IDataSetSource {
 public:
  TClientDataSet() = default;

  // ---- definitions (changed only while closed) ----
  const TClientFieldDefs& FieldDefs() const { return defs_; }
  // Checked with CheckClientFieldDef; EDatabaseError when open.
  void AddFieldDef(TClientFieldDef def);
  void ClearFieldDefs();

  // ---- state ----
  bool Active() const override { return state_ != dsInactive; }
  TDataSetState State() const { return state_; }
  // Empty storage from the definitions, in browse state. EDatabaseError when open already or when
  // there are no field definitions.
  void CreateDataSet();
  // CreateDataSet when closed; nothing when open.
  void Open();
  // Discards the rows and any pending row; the definitions stay.
  void Close();
  void SetActive(bool active) { active ? Open() : Close(); }

  // ---- data packets ----
  // The packet of the posted rows (a pending row is posted first); Null when closed.
  Variant Data();
  // Null or Empty closes the dataset and clears the definitions. Otherwise decodes the packet and
  // replaces definitions and rows; the dataset is then open on its first row. A packet that does
  // not decode raises EDatabaseError and changes nothing.
  void SetData(const Variant& packet);
  void SetPacketLimits(const TDataPacketLimits& limits) { limits_ = limits; }

  // ---- cursor ----
  int64_t RecordCount() const override { return int64_t(rows_.size()); }
  // 1-based number of the current row; 0 when the dataset is empty or closed.
  int64_t RecNo() const;
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  void First();
  void Last();
  void Next();
  void Prior();

  // ---- fields of the current row (or of the pending row) ----
  int FieldCount() const override { return int(defs_.size()); }
  // -1 when there is no field of that name (ASCII case ignored).
  int FieldIndex(std::string_view name) const { return IndexOfClientField(defs_, name); }
  // Null on an empty dataset. EDatabaseError when closed or for an unknown field.
  const Variant& FieldValue(int index) const;
  const Variant& FieldValue(std::string_view name) const;
  // Only in dsEdit / dsInsert; converts the value to the field's kind. EDatabaseError for a
  // read-only field or a value that does not convert.
  void SetFieldValue(int index, const Variant& value);
  void SetFieldValue(std::string_view name, const Variant& value);

  // ---- editing ----
  void Append();
  void Edit();
  void Post();
  void Cancel();
  // Removes the current row (a pending new row is just dropped). EDatabaseError when empty.
  void Delete();
  // Removes every row; stays open.
  void EmptyDataSet();
  // Append, assign `values` by field index (fewer values leave the rest NULL), Post.
  void AppendRecord(const std::vector<Variant>& values);

  // ---- IDataSetSource ----
  TClientFieldDef FieldDefAt(int index) const override { return defs_.at(size_t(index)); }
  Variant ValueAt(int64_t row, int field) const override { return *ValueRef(row, field); }
  const Variant* ValueRef(int64_t row, int field) const override {
    return &rows_.at(size_t(row)).at(size_t(field));
  }

 private:
  void CheckActive() const;
  void CheckBrowseMode();
  int CheckedIndex(int index) const;
  int CheckedIndex(std::string_view name) const;
  void ResetCursor();
  void FillAutoIncrement(std::vector<Variant>& row);
  void NoteAutoIncrement(const std::vector<Variant>& row);

  TClientFieldDefs defs_;
  std::vector<std::vector<Variant>> rows_;
  std::vector<Variant> buffer_;         // the pending row in dsEdit / dsInsert
  std::vector<int64_t> next_auto_inc_;  // per field: the number Post gives a NULL auto-inc
  TDataSetState state_ = dsInactive;
  int64_t cursor_ = 0;  // index of the current row
  bool eof_ = true;
  bool bof_ = true;
  TDataPacketLimits limits_;
};

}  // namespace qorvin
