#include "datastream/uConvertDataSet.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "datastream/uRecordSetBudget.h"
#include "platform/dataset/DataSetProvider.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/ZStream.h"

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

// The client field type a record-set column is held in. Types the client dataset has no field
// type for are held in one that keeps every value (docs/data-packet.md tables the mapping); the
// column type then travels with the field so that it comes back.
TFieldType ClientTypeOf(const TFieldDef& def) {
  // 20 digits hold every unsigned 64-bit value; ftLargeint would refuse those above 2^63 - 1.
  return def.adoType == adUnsignedBigInt ? ftFMTBcd : def.dataType;
}

}  // namespace

TClientFieldDef ClientFieldDefOfColumn(const TFieldDef& def, TPacketForm form) {
  TClientFieldDef out;
  out.name = Utf16ToUtf8(def.name);
  out.dataType = ClientTypeOf(def);
  // Long columns have no maximum; a client dataset states that as size 0.
  if (!def.IsLong())
    out.size = int32_t(std::min<uint32_t>(def.Size(), std::numeric_limits<int32_t>::max()));
  if (def.adoType == adUnsignedBigInt) {
    out.size = 0;
    out.precision = 20;
  } else if (IsBcdType(out.dataType)) {
    out.precision = int32_t(std::min<uint32_t>(def.precision, 255));
  }
  if (def.ReadOnly()) out.attributes |= faReadonly;
  if (def.Required()) out.attributes |= faRequired;
  if (!def.visible) out.attributes |= faHiddenCol;
  if (def.FixedLength() && IsSizedType(out.dataType)) out.attributes |= faFixed;
  if (def.autoIncrement && def.dataType != ftAutoInc) out.attributes |= faAutoInc;
  if (form == TPacketForm::Version1 && out.dataType == ftWideString && def.IsLong())
    out.dataType = ftMemo;
  // A long 8-bit text or binary column with a maximum keeps it as the field's size (0: none).
  if (def.IsLong() && def.maxLength != kAdoUnlimited && out.dataType != ftWideString)
    out.size = int32_t(std::min<uint32_t>(def.maxLength, std::numeric_limits<int32_t>::max()));
  if (form == TPacketForm::Version1) return out;
  // The column type travels when the field type would map back to another one.
  try {
    const TFieldDef back =
        MakeFieldDef(def.name, out.dataType, uint32_t(out.size), false, uint32_t(out.precision));
    if (back.adoType != def.adoType) out.columnType = def.adoType;
  } catch (const EAdoError&) {  // no plain mapping back (precision 255 / 255, ...)
    out.columnType = def.adoType;
  }
  return out;
}

namespace {

// The record set as the provider reads it: its rows in cursor order (rows pending deletion are
// not part of it), by row number, without moving its cursor.
class AdoDataSetSource final : public IDataSetSource {
 public:
  AdoDataSetSource(const TAdoDataSet& dataSet, TPacketForm form) : dataSet_(dataSet), form_(form) {
    rows_.reserve(size_t(dataSet.RecordCount()));
    for (int64_t row = 0; row < dataSet.StoredRowCount(); ++row)
      if (dataSet.StoredRowStatus(row) != TRowStatus::Deleted) rows_.push_back(row);
  }

  bool Active() const override { return dataSet_.Active(); }
  int FieldCount() const override { return dataSet_.FieldCount(); }
  TClientFieldDef FieldDefAt(int index) const override {
    return ClientFieldDefOfColumn(dataSet_.FieldDefs()[index], form_);
  }
  int64_t RecordCount() const override { return int64_t(rows_.size()); }
  Variant ValueAt(int64_t row, int field) const override {
    return dataSet_.StoredValue(rows_.at(size_t(row)), field);
  }

 private:
  const TAdoDataSet& dataSet_;
  const TPacketForm form_;
  std::vector<int64_t> rows_;  // stored row of each visible row
};

// The definition an ADO copy of a client field gets. A field that carries a column type gets a
// column of that type again; otherwise the field type decides, with decimal fields whose precision
// and scale no NUMERIC column can take (255 / 255: not stated) becoming VARNUMERIC, as an image
// states them. Read-only fields copy only name, type, size and precision, which makes them
// writable; the others keep nullability, visibility and a fixed width too. Auto-increment is
// dropped in both cases: the copy carries the values as data.
TFieldDef AdoDefOf(const TClientFieldDef& def) {
  const TFieldType type = def.dataType == ftAutoInc ? ftInteger : def.dataType;
  const auto size = uint32_t(std::max(def.size, 0));
  const auto precision = uint32_t(std::max(def.precision, 0));
  std::u16string name = Utf8ToUtf16(def.name);
  const bool required = !def.ReadOnly() && def.Required();
  uint16_t column = def.columnType;
  if (column == 0 && IsBcdType(type) && (precision > 38 || size > precision)) column = adVarNumeric;
  TFieldDef out = column != 0 ? MakeColumnDef(std::move(name), column, size, precision, required)
                              : MakeFieldDef(std::move(name), type, size, required, precision);
  // A long field's size is its maximum. It is kept where the column's cells stay in the form
  // without a limit (more than 255 bytes), so that no value the host's packet holds is refused;
  // a smaller maximum is dropped (docs/data-packet.md).
  if (out.IsLong() && out.maxLength == kAdoUnlimited && size > 0 &&
      uint64_t(size) * (out.adoType == adWChar || out.adoType == adBSTR ? 2 : 1) > 255)
    out.maxLength = size;
  if (def.ReadOnly()) return out;
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

// The shared provider's packet of an active record set.
Variant ProviderPacket(const TAdoDataSet& adoDataSet, TPacketForm form) {
  const AdoDataSetSource source(adoDataSet, form);
  std::lock_guard<std::mutex> lock(g_providerMutex);
  const TProviderAttachment attachment(SharedProvider(), source);
  return g_provider->Data();
}

// From a catch handler: the message of the exception being handled into `failure` (when given).
// Never raises: with no memory even for the message, the caller's null result still says that
// the conversion failed.
void NoteFailure(std::string* failure) noexcept {
  if (failure == nullptr) return;
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      *failure = e.what();
    } catch (...) {
      *failure = "Conversion of the dataset failed";
    }
  } catch (...) {
  }
}

}  // namespace

Variant AdoToDataPacket(const TAdoDataSet* adoDataSet, std::string* failure,
                        TPacketForm form) noexcept {
  try {
    if (adoDataSet == nullptr || !adoDataSet->Active()) return Variant::Null();
    // As a client dataset refuses to load it.
    if (adoDataSet->FieldCount() == 0)
      throw EDatabaseError("Invalid data packet: it has no fields");
    return ProviderPacket(*adoDataSet, form);
  } catch (...) {
    NoteFailure(failure);
  }
  return Variant::Null();
}

std::unique_ptr<TClientDataSet> AdoToClientDataSet(const TAdoDataSet* adoDataSet,
                                                   std::string* failure,
                                                   TPacketForm form) noexcept {
  try {
    if (adoDataSet == nullptr || !adoDataSet->Active()) return nullptr;
    auto client = std::make_unique<TClientDataSet>();
    // The rows are already held in memory, so the dataset never refuses its own packet: the
    // budget guards against packets from elsewhere.
    TDataPacketLimits own;
    own.max_memory = std::numeric_limits<int64_t>::max();
    client->SetPacketLimits(own);
    client->SetData(ProviderPacket(*adoDataSet, form));
    return client;
  } catch (...) {
    NoteFailure(failure);
  }
  return nullptr;
}

namespace {

// A new open record set (batch-optimistic locking) with the fields `defs` describe.
std::unique_ptr<TAdoDataSet> NewAdoDataSetFor(const TClientFieldDefs& defs) {
  auto ado = std::make_unique<TAdoDataSet>();
  for (const TClientFieldDef& def : defs) ado->MutableFieldDefs().Add(AdoDefOf(def));
  ado->Open();
  ado->SetLockType(ltBatchOptimistic);
  return ado;
}

// Appends one row of `fields` values, value(i) giving field i's.
template <typename Value>
void AppendAdoRow(TAdoDataSet& ado, int fields, const Value& value) {
  ado.Append();
  for (int field = 0; field < fields; ++field) ado.SetFieldValue(field, value(field));
  ado.Post();
}

}  // namespace

std::unique_ptr<TAdoDataSet> ClientToAdoDataSet(TClientDataSet* clientDataSet) {
  if (clientDataSet == nullptr || !clientDataSet->Active()) return nullptr;
  std::unique_ptr<TAdoDataSet> ado = NewAdoDataSetFor(clientDataSet->FieldDefs());
  const ControlsDisabled controls(*ado);
  const int fields = clientDataSet->FieldCount();
  for (clientDataSet->First(); !clientDataSet->Eof(); clientDataSet->Next())
    AppendAdoRow(*ado, fields,
                 [&](int f) -> const Variant& { return clientDataSet->FieldValue(f); });
  return ado;
}

namespace {

// A packet's rows streamed into a new record set, or why the packet did not load.
struct PacketLoad {
  std::unique_ptr<TAdoDataSet> ado;  // null when the packet is Null or Empty, or failed
  std::exception_ptr packetFailure;  // what decoding the packet raised (EDataPacketTooLarge too)
};

// The memory budget of a packet loaded into a record set is the record set's own
// (RecordSetMemoryBudget(): four times the inflation budget), measured on the record set's
// compact rows: the packet reader's estimate (a Variant per value) is what a client dataset
// holds, and refused packets whose record set fits easily. The announced rows are checked before
// the first is read (each costs at least a record of NULLs), and the rows' memory after each row.
// `rows` < 0: the rows read so far already hold more.
[[noreturn]] void PacketTooLarge(int64_t rows, int64_t need, int64_t budget) {
  const auto mib = [](int64_t bytes) {
    return static_cast<long long>((bytes + (int64_t(1) << 20) - 1) >> 20);
  };
  const std::string what = rows < 0 ? Format("its rows need more than %lld MiB", mib(need))
                                    : Format("its %lld rows need at least %lld MiB",
                                             static_cast<long long>(rows), mib(need));
  throw EDataPacketTooLarge(
      Format("Data packet too large: %s of memory as a record set, more than the budget of %lld "
             "MiB (four times the inflation budget); raise the inflation budget to load larger "
             "packets, or read fewer rows at a time",
             what.c_str(), mib(budget)));
}

// The rows go from the packet's bytes into the record set one at a time: loading the packet into
// a client dataset first held every value as a Variant (about 700 bytes a row of six fields)
// beside the record set's own rows. The values are those of loading a client dataset and
// copying it. What the record set raises (a definition or value it refuses) propagates; what
// the packet's decoding raises, at any row, is returned and nothing of the record set is kept.
PacketLoad StreamPacketBytesIntoAdo(std::span<const uint8_t> bytes) {
  PacketLoad load;
  std::unique_ptr<TAdoDataSet> ado;
  std::optional<ControlsDisabled> controls;
  std::exception_ptr copyFailure;  // set when the record set, not the packet, failed
  int fields = 0;
  const int64_t budget = RecordSetMemoryBudget();
  TDataPacketLimits unmeasured;  // the record set's rows are measured instead
  unmeasured.max_memory = std::numeric_limits<int64_t>::max();
  try {
    ForEachDataPacketRow(
        bytes, unmeasured,
        [&](std::string&, TClientFieldDefs& defs, uint32_t rows) {
          if (defs.empty()) throw EDatabaseError("Invalid data packet: it has no fields");
          try {
            ado = NewAdoDataSetFor(defs);
            controls.emplace(*ado);
            fields = int(defs.size());
          } catch (...) {
            copyFailure = std::current_exception();
            throw;
          }
          const int64_t least = int64_t(rows) * int64_t(ado->BytesPerRow());
          if (least > budget) PacketTooLarge(rows, least, budget);
        },
        [&](std::vector<Variant>& row) {
          try {
            AppendAdoRow(*ado, fields, [&](int f) -> const Variant& { return row[size_t(f)]; });
          } catch (...) {
            copyFailure = std::current_exception();
            throw;
          }
          if (int64_t(ado->HeldBytes()) > budget)
            PacketTooLarge(-1, int64_t(ado->HeldBytes()), budget);
        });
  } catch (...) {
    controls.reset();
    if (copyFailure) std::rethrow_exception(copyFailure);
    load.packetFailure = std::current_exception();
    return load;
  }
  controls.reset();
  load.ado = std::move(ado);
  return load;
}

PacketLoad StreamPacketIntoAdo(const Variant& packet) {
  Variant held;
  const Variant* value = &packet;
  while (value->IsByRef() && !value->IsArray()) {
    held = value->Deref();
    value = &held;
  }
  if (value->IsNull() || value->IsEmpty()) return {};
  std::span<const uint8_t> bytes;
  try {
    bytes = DataPacketBytes(*value);
  } catch (...) {
    PacketLoad notBytes;  // not a packet at all: as a packet that does not load
    notBytes.packetFailure = std::current_exception();
    return notBytes;
  }
  return StreamPacketBytesIntoAdo(bytes);
}

// The record set of a load, or null with the reason it failed in `packetFailure`.
std::unique_ptr<TAdoDataSet> Loaded(PacketLoad load, std::string& packetFailure) {
  if (!load.packetFailure) return std::move(load.ado);
  try {
    std::rethrow_exception(load.packetFailure);
  } catch (const std::exception& e) {
    packetFailure = e.what();
  } catch (...) {
    packetFailure = "the data packet does not load";
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<TAdoDataSet> VariantToAdoDataSet(const Variant& packet) {
  PacketLoad load = StreamPacketIntoAdo(packet);
  if (!load.packetFailure) return std::move(load.ado);
  try {
    std::rethrow_exception(load.packetFailure);
  } catch (const EDataPacketTooLarge&) {
    throw;  // a well-formed packet beyond the memory budget must not pass for Null
  } catch (...) {
    return nullptr;  // a packet that does not load is treated like Null
  }
}

std::unique_ptr<TAdoDataSet> LoadPacketIntoAdoDataSet(const Variant& packet,
                                                      std::string& packetFailure) {
  return Loaded(StreamPacketIntoAdo(packet), packetFailure);
}

std::unique_ptr<TAdoDataSet> LoadPacketBytesIntoAdoDataSet(std::span<const uint8_t> bytes,
                                                           std::string& packetFailure) {
  return Loaded(StreamPacketBytesIntoAdo(bytes), packetFailure);
}

void FreeSharedDataSetProvider() noexcept {
  std::lock_guard<std::mutex> lock(g_providerMutex);
  delete g_provider;
  g_provider = nullptr;
}

}  // namespace qorvin
