// TAdoDataSet: the ADO-style record set of this platform — an in-memory dataset with field
// definitions, rows, a cursor, editing with row states, parameters and a command, saved and
// opened in the ADTG persist format.
//
// Lifecycle: define fields (MutableFieldDefs) and Open() for an empty record set, or Open(stream)
// to load an ADTG image (definitions, rows and row states come from the image). Close() drops the
// rows and keeps the definitions. An image saves back byte for byte when it was opened and not
// changed.
//
// Cursor (the dataset convention): after Open, First or Last the cursor is on a row when there is
// one. Next on the last row sets Eof and stays; Prior on the first sets Bof and stays. Rows pending
// deletion are not visited. RecNo is 1-based (0 when empty).
//
// Editing: Append() or Edit(), SetFieldValue(), Post() or Cancel(). With ltBatchOptimistic every
// change stays pending: appended rows are Inserted, edited rows Modified (original values kept),
// deleted rows Deleted (kept, written to an image, not visited). With another writable lock a
// change is applied at once (rows stay Unchanged; deleted rows go). ltReadOnly refuses changes.
// Post refuses a row that leaves a required field NULL. Deleting a pending insertion removes it.
//
// Failures raise EAdoError and leave the dataset as it was (a failed Open(stream) changes
// nothing). Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/AdoFieldDef.h"
#include "platform/ado/AdoParameters.h"
#include "platform/ado/AdoTypes.h"
#include "platform/ado/AdtgImageInfo.h"
#include "platform/ado/RowStore.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

namespace ado {
class AdtgSource;
struct AdtgMemoryCheck;
struct AdtgImage;
}  // namespace ado

class TAdoDataSet {
 public:
  explicit TAdoDataSet(TAdoDataSetKind kind = dkPlain);
  TAdoDataSet(const TAdoDataSet&) = delete;
  TAdoDataSet& operator=(const TAdoDataSet&) = delete;

  // ---- command ----
  TAdoDataSetKind Kind() const { return kind_; }
  // The command of a plain dataset.
  const std::u16string& CommandText() const { return commandText_; }
  void SetCommandText(std::u16string text) { commandText_ = std::move(text); }
  // The SQL of a query as lines; SQLText() joins them with CR LF, SetSQLText() splits at CR LF
  // only (so SQLText() gives back exactly what SetSQLText() was given).
  std::vector<std::u16string>& SQL() { return sql_; }
  const std::vector<std::u16string>& SQL() const { return sql_; }
  std::u16string SQLText() const;
  void SetSQLText(std::u16string_view text);
  const std::u16string& ProcedureName() const { return procedureName_; }
  void SetProcedureName(std::u16string name) { procedureName_ = std::move(name); }
  TParameters& Parameters() { return parameters_; }
  const TParameters& Parameters() const { return parameters_; }

  TLockType LockType() const { return lockType_; }
  void SetLockType(TLockType lockType);  // EAdoError while a row is being edited
  // Nesting count; the dataset has no attached controls, the flag is only kept.
  void DisableControls() { ++controlsDisabled_; }
  void EnableControls() {
    if (controlsDisabled_ > 0) --controlsDisabled_;
  }
  bool ControlsDisabled() const { return controlsDisabled_ > 0; }

  // ---- definitions and lifecycle ----
  const TFieldDefs& FieldDefs() const { return fieldDefs_; }
  // Changing the definitions of an open dataset is refused (EAdoError). Also forgets what an
  // opened image said about base tables (ImageInfo() returns to ADO's defaults).
  TFieldDefs& MutableFieldDefs();
  const AdtgImageInfo& ImageInfo() const { return imageInfo_; }

  // An empty record set from the field definitions. EAdoError without definitions or for a
  // definition the record set cannot hold. No effect when already open.
  void Open();
  // Loads the ADTG image at `source`'s position (to its end at most) with this lock type, and
  // positions `source` after the image's done token. Replaces definitions, image information
  // and rows, open or not. EAdoError for a damaged or unsupported image; the dataset and the
  // source position are then unchanged.
  void Open(TStream& source, TLockType lockType = ltBatchOptimistic);
  // Open(stream) of an image read piece by piece from `source` (an inflater, say), holding only
  // the rows and one window of the image's bytes. A failed read leaves the dataset unchanged.
  // `check` bounds the memory of the rows (ado::ReadAdtg); what it throws passes through.
  void Open(ado::AdtgSource& source, TLockType lockType = ltBatchOptimistic,
            const ado::AdtgMemoryCheck* check = nullptr);
  void Close();
  bool Active() const { return state_ != dsInactive; }
  TDataSetState State() const { return state_; }
  // Writes the ADTG image of the record set at `target`'s position. EAdoError when inactive or
  // while a row is being edited.
  void Save(TStream& target) const;

  // ---- cursor ----
  void First();
  void Last();
  void Next();
  void Prior();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  int64_t RecNo() const;
  int64_t RecordCount() const { return int64_t(visible_.size()); }
  // Memory the rows hold (the store's blocks and the cursor's list), and the least one more
  // row of NULLs adds.
  size_t HeldBytes() const { return store_.HeldBytes() + visible_.capacity() * sizeof(uint32_t); }
  size_t BytesPerRow() const { return store_.RecordSize() + sizeof(RowEntry) + sizeof(uint32_t); }
  bool IsEmpty() const { return visible_.empty(); }

  // ---- the current row (the edit buffer while editing) ----
  int FieldCount() const { return fieldDefs_.Count(); }
  // Index of a field by name (ASCII case ignored); EAdoError "Field 'X' not found".
  int FieldIndex(std::u16string_view name) const;
  Variant FieldValue(int field) const;
  Variant FieldValue(std::u16string_view name) const { return FieldValue(FieldIndex(name)); }
  bool FieldIsNull(int field) const;
  // The current row's value of a wide text field in UTF-8, as FieldValue(field).ToUtf8() gives
  // it, without the Variant (for readers of many values); false for another field type or NULL.
  bool FieldWideUtf8(int field, std::string& out) const;
  // The value as first read (differs from FieldValue for a Modified row).
  Variant OldFieldValue(int field) const;
  TRowStatus RowStatus() const;
  // Only in dsEdit / dsInsert. EAdoError for a read-only field or a value that does not fit.
  void SetFieldValue(int field, const Variant& value);
  void SetFieldValue(std::u16string_view name, const Variant& value) {
    SetFieldValue(FieldIndex(name), value);
  }

  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();

  // ---- every stored row, pending deletions included, in storage order ----
  int64_t StoredRowCount() const { return int64_t(store_.Rows().size()); }
  TRowStatus StoredRowStatus(int64_t row) const;
  // `original`: the values as first read (Modified and Deleted rows), else the current ones.
  Variant StoredValue(int64_t row, int field, bool original = false) const;
  // Whether a Modified or Inserted row assigns this field (a value or NULL).
  bool StoredFieldAssigned(int64_t row, int field) const;

 private:
  // Replaces definitions, image information and rows with those of a read image.
  void Adopt(ado::AdtgImage& image, TLockType lockType);
  void CheckActive() const;
  void CheckBrowse(const char* operation) const;
  void CheckWritable() const;
  void CheckField(int field) const;
  const RowEntry& CurrentEntry() const;
  const uint8_t* CurrentRecord() const;
  bool Batch() const { return lockType_ == ltBatchOptimistic; }
  void RebuildVisible();
  void CheckRequired(const std::vector<uint8_t>& record) const;

  TAdoDataSetKind kind_;
  std::u16string commandText_;
  std::vector<std::u16string> sql_;
  std::u16string procedureName_;
  TParameters parameters_;
  TLockType lockType_ = ltOptimistic;
  int controlsDisabled_ = 0;

  TFieldDefs fieldDefs_;
  AdtgImageInfo imageInfo_ = AdtgImageInfo::Default();
  RowStore store_;
  std::vector<uint32_t> visible_;  // indexes into store_.Rows() of rows not pending deletion
  size_t cursor_ = 0;              // index into visible_
  bool bof_ = true;
  bool eof_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<uint8_t> buffer_;  // the row being edited or appended
  bool bufferTouched_ = false;
};

}  // namespace qorvin
