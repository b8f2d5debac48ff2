// Conversions between the ADO-style record set, the in-memory client dataset and the data packet
// (the byte-array Variant in which hosts hand datasets in and receive them back).
//
// Ownership: inputs are borrowed for the call; every dataset returned belongs to the caller.
// One dataset provider is shared by the whole process: created on first use, attached to a
// dataset only for the duration of one conversion, freed by FreeSharedDataSetProvider (the
// library calls it when it unloads). A mutex serialises the conversions that use it, so modules
// running on different threads cannot attach it to two datasets at once.
// Threads: otherwise the caller's thread; a dataset must not be used by another thread meanwhile.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "platform/ado/AdoDataSet.h"
#include "platform/dataset/ClientDataSet.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// What the client field definitions made from record-set columns say, and so which version of
// the data packet carries them (docs/data-packet.md tables both).
enum class TPacketForm : uint8_t {
  // The field types version-1 packets have always had, in version 1: no column types, and long
  // wide text (WSTR, BSTR) as ftMemo, 8-bit text in the ANSI code set. What every reader of the
  // published version-1 layout loads; a column that no field type names exactly (R4, I1, UI1,
  // UI4, DECIMAL, FILETIME, ...) arrives in the field type that holds its values.
  Version1,
  // A field carries the column type it was read from when its field type would map back to
  // another (version 2 when any field does), and long wide text stays wide (ftWideString,
  // size 0): an upload of the packet gets the same columns back, and no character is narrowed.
  ColumnTypes,
};

// A client dataset holding every field definition and row of `adoDataSet` (rows pending deletion
// excluded), made through the shared provider's data packet. Null when `adoDataSet` is null or not
// active. Never raises: when the conversion fails the result is null (never a dataset without
// the data, which a caller would pass on as an empty result) and, when `failure` is given, it
// receives the failure's message. The ADO dataset's cursor does not move.
std::unique_ptr<TClientDataSet> AdoToClientDataSet(
    const TAdoDataSet* adoDataSet, std::string* failure = nullptr,
    TPacketForm form = TPacketForm::ColumnTypes) noexcept;

// The data packet of `adoDataSet`: the bytes AdoToClientDataSet(adoDataSet)->Data() gives, made
// without loading them into a client dataset and encoding them again. Null when `adoDataSet` is
// null or not active, and when the conversion fails (with its message in `failure`). Never
// raises; the cursor does not move.
Variant AdoToDataPacket(const TAdoDataSet* adoDataSet, std::string* failure = nullptr,
                        TPacketForm form = TPacketForm::ColumnTypes) noexcept;

// The client field definition a record-set column becomes in a data packet of `form`.
TClientFieldDef ClientFieldDefOfColumn(const TFieldDef& def,
                                       TPacketForm form = TPacketForm::ColumnTypes);
// A new open ADO dataset (plain, batch-optimistic locking) with a copy of every row of
// `clientDataSet`, positioned on the last row; null when `clientDataSet` is null or not active.
// Field definitions are copied in order; a read-only field becomes a writable one of the same
// name, type, size and precision, and an auto-increment field (ftAutoInc, or marked faAutoInc)
// becomes a plain field of its values (ftAutoInc turns into ftInteger), so that the values
// travel as data. The copied rows are pending inserts: saved, they are sent as rows to insert.
// The client dataset is left after its last row (a pending row of it is posted first).
// Raises EAdoError for a definition the record set cannot hold or a value that does not fit, and
// EConvertError for a field name that is not valid UTF-8; nothing is returned then.
std::unique_ptr<TAdoDataSet> ClientToAdoDataSet(TClientDataSet* clientDataSet);

// What ClientToAdoDataSet gives for a client dataset loaded from `packet`, made without one: the
// packet's rows go into the record set one at a time, so they are never all held as Variants.
// Null when `packet` is Null or Empty, or when it does not load as a data packet, at whatever row
// (that failure is swallowed; EDataPacketTooLarge is not). Failures of the record set propagate
// as in ClientToAdoDataSet. Nothing is kept on any failure.
std::unique_ptr<TAdoDataSet> VariantToAdoDataSet(const Variant& packet);

// VariantToAdoDataSet, except that a packet which does not load (EDataPacketTooLarge included)
// gives null with the reason in `packetFailure`, told apart from a Null or Empty packet (null,
// `packetFailure` untouched). What the record set raises propagates, as there.
std::unique_ptr<TAdoDataSet> LoadPacketIntoAdoDataSet(const Variant& packet,
                                                      std::string& packetFailure);
// LoadPacketIntoAdoDataSet of a packet's bytes as they lie, without copying them into a Variant.
std::unique_ptr<TAdoDataSet> LoadPacketBytesIntoAdoDataSet(std::span<const uint8_t> bytes,
                                                           std::string& packetFailure);

// Frees the shared provider (a later conversion creates a new one). For the library's unload;
// safe to call any number of times, and while no conversion runs.
void FreeSharedDataSetProvider() noexcept;

}  // namespace qorvin
