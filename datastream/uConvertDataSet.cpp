#include "datastream/uConvertDataSet.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/dataset/DataSetProvider.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

std::mutex g_providerMutex;
TDataSetProvider* g_provider = nullptr;  // guarded by g_providerMutex

TDataSetProvider& SharedProvider() {
  if (g_provider == nullptr) g_provider = new TDataSetProvider();
  return *g_provider;
}

bool IsBcdType(TFieldType type) {
  return type == ftBCD || type == ftFMTBcd;
}

// Types whose values have a width that a fixed-length column pads to.
bool IsSizedType(TFieldType type) {
  return type == ftString || type == ftFixedChar || type == ftWideString || type == ftBytes ||
         type == ftVarBytes;
}

TClientFieldDef ClientDefOf(const TFieldDef& def) {
  TClientFieldDef out;
  out.name = Utf16ToUtf8(def.name);
  out.dataType = def.dataType;
  // Long columns have no maximum; a client dataset states that as size 0.
  if (!def.IsLong())
    out.size = int32_t(std::min<uint32_t>(def.Size(), std::numeric_limits<int32_t>::max()));
  if (IsBcdType(def.dataType)) out.precision = int32_t(def.precision);
  if (def.ReadOnly()) out.attributes |= faReadonly;
  if (def.Required()) out.attributes |= faRequired;
  if (!def.visible) out.attributes |= faHiddenCol;
  if (def.FixedLength() && IsSizedType(def.dataType)) out.attributes |= faFixed;
  if (def.autoIncrement && def.dataType != ftAutoInc) out.attributes |= faAutoInc;
  return out;
}

// The record set as the provider reads it: its rows in cursor order (rows pending deletion are
// not part of it), by row number, without moving its cursor.
class AdoDataSetSource final : public IDataSetSource {
 public:
  explicit AdoDataSetSource(const TAdoDataSet& dataSet) : dataSet_(dataSet) {
    rows_.reserve(size_t(dataSet.RecordCount()));
    for (int64_t row = 0; row < dataSet.StoredRowCount(); ++row)
      if (dataSet.StoredRowStatus(row) != TRowStatus::Deleted) rows_.push_back(row);
  }

  bool Active() const override { return dataSet_.Active(); }
  int FieldCount() const override { return dataSet_.FieldCount(); }
  TClientFieldDef FieldDefAt(int index) const override {
    return ClientDefOf(dataSet_.FieldDefs()[index]);
  }
  int64_t RecordCount() const override { return int64_t(rows_.size()); }
  Variant ValueAt(int64_t row, int field) const override {
    return dataSet_.StoredValue(rows_.at(size_t(row)), field);
  }

 private:
  const TAdoDataSet& dataSet_;
  std::vector<int64_t> rows_;  // stored row of each visible row
};

// The definition an ADO copy of a client field gets. Read-only fields copy only name, type, size
// and precision, which makes them writable; the others keep nullability, visibility and a fixed
// width too. Auto-increment is dropped in both cases: the copy carries the values as data.
TFieldDef AdoDefOf(const TClientFieldDef& def) {
  const TFieldType type = def.dataType == ftAutoInc ? ftInteger : def.dataType;
  const auto size = uint32_t(std::max(def.size, 0));
  const auto precision = uint32_t(std::max(def.precision, 0));
  std::u16string name = Utf8ToUtf16(def.name);
  if (def.ReadOnly()) return MakeFieldDef(std::move(name), type, size, false, precision);
  TFieldDef out = MakeFieldDef(std::move(name), type, size, def.Required(), precision);
  out.visible = (def.attributes & faHiddenCol) == 0;
  if ((def.attributes & faFixed) != 0 && IsSizedType(type)) out.attributes |= adFldFixed;
  return out;
}

// Disables a record set's controls for one scope.
class ControlsDisabled {
 public:
  explicit ControlsDisabled(TAdoDataSet& dataSet) : dataSet_(dataSet) {
    dataSet_.DisableControls();
  }
  ~ControlsDisabled() { dataSet_.EnableControls(); }
  ControlsDisabled(const ControlsDisabled&) = delete;
  ControlsDisabled& operator=(const ControlsDisabled&) = delete;

 private:
  TAdoDataSet& dataSet_;
};

}  // namespace

std::unique_ptr<TClientDataSet> AdoToClientDataSet(const TAdoDataSet* adoDataSet,
                                                   std::string* failure) noexcept {
  try {
    if (adoDataSet == nullptr || !adoDataSet->Active()) return nullptr;
    const AdoDataSetSource source(*adoDataSet);
    auto client = std::make_unique<TClientDataSet>();
    Variant packet;
    {
      std::lock_guard<std::mutex> lock(g_providerMutex);
      const TProviderAttachment attachment(SharedProvider(), source);
      packet = g_provider->Data();
    }
    client->SetData(packet);
    return client;
  } catch (const std::exception& e) {
    if (failure != nullptr) {
      try {
        *failure = e.what();
      } catch (...) {  // no memory even for the message: the null result still says it failed
      }
    }
  } catch (...) {
    if (failure != nullptr) {
      try {
        *failure = "Conversion of the dataset failed";
      } catch (...) {
      }
    }
  }
  return nullptr;
}

std::unique_ptr<TAdoDataSet> ClientToAdoDataSet(TClientDataSet* clientDataSet) {
  if (clientDataSet == nullptr || !clientDataSet->Active()) return nullptr;
  auto ado = std::make_unique<TAdoDataSet>();
  for (const TClientFieldDef& def : clientDataSet->FieldDefs())
    ado->MutableFieldDefs().Add(AdoDefOf(def));
  ado->Open();
  ado->SetLockType(ltBatchOptimistic);

  const ControlsDisabled controls(*ado);
  const int fields = clientDataSet->FieldCount();
  for (clientDataSet->First(); !clientDataSet->Eof(); clientDataSet->Next()) {
    ado->Append();
    for (int field = 0; field < fields; ++field)
      ado->SetFieldValue(field, clientDataSet->FieldValue(field));
    ado->Post();
  }
  return ado;
}

std::unique_ptr<TAdoDataSet> VariantToAdoDataSet(const Variant& packet) {
  if (packet.IsNull()) return nullptr;
  TClientDataSet client;
  try {
    client.SetData(packet);
  } catch (const std::exception&) {
    return nullptr;  // a packet that does not load is treated like Null
  }
  return ClientToAdoDataSet(&client);
}

void FreeSharedDataSetProvider() noexcept {
  std::lock_guard<std::mutex> lock(g_providerMutex);
  delete g_provider;
  g_provider = nullptr;
}

}  // namespace qorvin
