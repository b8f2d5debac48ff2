// QorvinClient — the one header a host includes.
//
// A host links nothing of ours: it loads libQorvinClient.so with dlopen() and looks up the one
// C-linkage export, CreateRemoteDataModule, with dlsym(). Everything else is reached through the
// interfaces below, whose method order (the virtual-table layout) is part of the contract and
// never changes. See docs/host-api.md for who allocates and who frees each argument.
//
//   void* lib = dlopen("libQorvinClient.so", RTLD_NOW);
//   auto create = reinterpret_cast<QorvinCreateRemoteDataModuleFn>(
//       dlsym(lib, "CreateRemoteDataModule"));
//   QorvinText failure{};
//   IRemoteDataModule* m = create(0, 'H', "127.0.0.1", 8099, &failure);
//
// Threads: a module serves one call at a time. A call made while another call of the same
// module runs on another thread is refused at once with "Channel is busy. Try again later." in
// its error text (result 0, every other argument untouched); the running call is not disturbed.
// Separate modules are independent and may be used from different threads at once.
#ifndef QORVIN_CLIENT_H
#define QORVIN_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

// ---- 8-bit text --------------------------------------------------------------------------
// Text in the host's ANSI code set (the process locale's code set). An in-argument is a plain
// NUL-terminated `const char*` that the library only reads during the call. An out or in/out
// argument is a QorvinText: whoever stores new bytes into it first releases the old bytes with
// the old `release` function, then stores bytes it allocated together with the function that
// frees them. So the library may replace a text the host allocated, and the host frees what
// the library stored with qorvin_text_free().
struct QorvinText {
  char* data;                   // NUL-terminated; null when the text is empty
  int32_t length;               // bytes, without the terminator
  void (*release)(char* data);  // frees `data`; null when `data` is null
};

// Frees the bytes of `text` and leaves it empty.
inline void qorvin_text_free(QorvinText* text) {
  if (text->data != nullptr && text->release != nullptr) text->release(text->data);
  text->data = nullptr;
  text->length = 0;
  text->release = nullptr;
}

inline void qorvin_text_release_malloc(char* data) {
  std::free(data);
}

// Replaces the content of `text` with a copy of `value` (allocated with malloc).
inline void qorvin_text_assign(QorvinText* text, const char* value, size_t length) {
  qorvin_text_free(text);
  if (length == 0) return;
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return;
  std::memcpy(copy, value, length);
  copy[length] = '\0';
  text->data = copy;
  text->length = static_cast<int32_t>(length);
  text->release = qorvin_text_release_malloc;
}

// ---- data packets ------------------------------------------------------------------------
// The variant in which datasets cross the boundary: empty, null, or an array of bytes holding a
// client dataset's data packet (format: docs/data-packet.md). Ownership of `bytes` follows the
// same rule as QorvinText.
enum QorvinPacketKind : uint16_t {
  kQorvinPacketEmpty = 0x0000,
  kQorvinPacketNull = 0x0001,
  kQorvinPacketBytes = 0x2011,  // array of bytes
};

struct QorvinDataPacket {
  uint16_t kind;   // QorvinPacketKind
  uint8_t* bytes;  // kind == kQorvinPacketBytes: the packet; else null
  int64_t size;
  void (*release)(uint8_t* bytes);  // frees `bytes`; null when `bytes` is null
};

inline void qorvin_packet_free(QorvinDataPacket* packet) {
  if (packet->bytes != nullptr && packet->release != nullptr) packet->release(packet->bytes);
  packet->kind = kQorvinPacketEmpty;
  packet->bytes = nullptr;
  packet->size = 0;
  packet->release = nullptr;
}

// ---- callbacks ---------------------------------------------------------------------------
// A callback is a code pointer plus the object it belongs to; it is invoked only when `code` is
// set. Texts passed to a callback are valid for the duration of the call only.
struct QorvinErrorCallback {
  void (*code)(void* object, const char* message, const char* detail);
  void* object;
};
struct QorvinStatusCallback {
  void (*code)(void* object, int32_t first, int32_t second);
  void* object;
};

}  // extern "C"

// ---- record sets -------------------------------------------------------------------------
// An ADO-style record set owned by the library's allocator. Every record set a host receives is
// the host's alone; it frees it with Release(). Field types are the codes of the field-type list
// in docs/data-packet.md (ftString = 1, ...). Methods never throw; failures return false, and
// the reason of a refused AddField, Open, Append, SetValueText, SetNull or Post is then the last
// error text (GetLastErrorText) of the module that made the record set.
class QorvinAdoDataSet {
 public:
  virtual void Release() = 0;  // frees the record set
  virtual bool Active() = 0;
  virtual int32_t FieldCount() = 0;
  virtual bool FieldName(int32_t index, QorvinText* name) = 0;
  virtual int32_t FieldType(int32_t index) = 0;  // -1 for a bad index
  virtual int32_t FieldSize(int32_t index) = 0;
  virtual int32_t RecordCount() = 0;
  virtual void First() = 0;
  virtual void Next() = 0;
  virtual bool Eof() = 0;
  // The current row's value as text: numbers in the C locale, date-times as
  // "YYYY-MM-DD HH:MM:SS" (with ".fff" when there are milliseconds), binary values as two
  // hexadecimal digits a byte; `isNull` tells NULL apart from empty text.
  virtual bool GetValueText(int32_t index, QorvinText* value, bool* isNull) = 0;

  // Building a record set to upload: define fields, Open, then Append / SetValue* / Post.
  virtual bool AddField(const char* name, int32_t fieldType, int32_t size) = 0;
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool Append() = 0;
  // Text in the same forms as GetValueText; false for text that is not a value of the field's
  // type or a number outside its range (never wrapped into the field).
  virtual bool SetValueText(int32_t index, const char* value) = 0;
  virtual bool SetNull(int32_t index) = 0;
  virtual bool Post() = 0;

 protected:
  ~QorvinAdoDataSet() = default;
};

// Extra services of a module reached through QueryInterface with their identifiers.
// {6C1E0D2A-6A53-4C4B-9E32-2B8C5D0F7A11}: create record sets and convert packets.
class IQorvinDataSetFactory {
 public:
  virtual QorvinAdoDataSet* CreateAdoDataSet() = 0;  // a new, closed record set, no owner
  // A record set filled from a data packet; null when the packet is null or does not load.
  virtual QorvinAdoDataSet* PacketToAdoDataSet(const QorvinDataPacket* packet) = 0;
  // The data packet of a record set (kind null when the record set is not open).
  virtual bool AdoDataSetToPacket(QorvinAdoDataSet* dataSet, QorvinDataPacket* packet) = 0;
  // The module's inflation budget: the most bytes one compressed reply body, record-set image or
  // parameters section may inflate to during its calls (default 256 MiB). A reply beyond it
  // fails with an error text that names the budget. `bytes` <= 0 restores the default.
  virtual void SetInflateBudget(int64_t bytes) = 0;
  virtual int64_t GetInflateBudget() = 0;
  // The data packet version of the packets the module hands out (its reads' results and
  // AdoDataSetToPacket); packets of both versions are taken in. 1, the default, is the layout
  // every reader of version 1 takes, with the field types it always had: a column no field type
  // names exactly (R4, I1, UI1, UI4, DECIMAL, FILETIME) comes in the field type that holds its
  // values, and long wide text as ftMemo (8-bit text in the ANSI code set). 2 adds to a field
  // the column type it was read from, so that an upload gets the same columns back, and keeps
  // long wide text wide (ftWideString, size 0); a packet is written as version 2 only when a
  // field carries a column type. docs/data-packet.md tables both. Returns false, changing
  // nothing, for another version.
  virtual bool SetDataPacketVersion(int32_t version) = 0;
  virtual int32_t GetDataPacketVersion() = 0;

 protected:
  ~IQorvinDataSetFactory() = default;
};

// The remote data module. Identifier {E4CF5BAA-CF78-4131-AE75-99FA72A91382}.
//
// The first three methods are the base interface's. AddRef and Release do not count and
// return -1: a module lives until the process ends. No method lets a failure out: each reports
// through its result and error-text arguments, GetLastErrorText and the two callbacks.
class IRemoteDataModule {
 public:
  // Interface identifier as 16 bytes in GUID memory layout.
  struct Guid {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
  };

  virtual int32_t QueryInterface(const Guid* iid, void** object) = 0;  // 0 = S_OK
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

  /*  1 */ virtual bool GetConnected() = 0;
  /*  2 */ virtual void SetConnected(bool value) = 0;
  /*  3 */ virtual void SetOnStatus(QorvinStatusCallback callback) = 0;
  /*  4 */ virtual void SetOnError(QorvinErrorCallback callback) = 0;
  /*  5 */ virtual void SetKeepConnection(bool value) = 0;
  /*  6 */ virtual char GetConnectType() = 0;
  /*  7 */ virtual void GetLastErrorText(QorvinText* text) = 0;
  /*  8 */ virtual void Reserved1(void* unused) = 0;
  /*  9 */ virtual void Reserved2(void* unused) = 0;
  /* 10 */ virtual bool Reserved3() = 0;
  /* 11 */ virtual void Reserved4(int32_t unused1, int32_t unused2, const char* unused3) = 0;
  /* 12 */ virtual void ExecProcInsertTable(const char* userId, const char* hdhSerialNumber,
                                            const QorvinDataPacket* data, const char* procName,
                                            QorvinDataPacket* outData, int32_t* successCount,
                                            int32_t successReturnValue, int32_t* result,
                                            QorvinText* errorText) = 0;
  /* 13 */ virtual void ExecProcInsertTableDataSet(const char* userId, const char* hdhSerialNumber,
                                                   QorvinAdoDataSet* dataSet, const char* procName,
                                                   QorvinAdoDataSet** outDataSet,
                                                   int32_t* successCount,
                                                   int32_t successReturnValue, int32_t* result,
                                                   QorvinText* errorText) = 0;
  /* 14 */ virtual void SynchExecSQLInsert(const char* userId, const char* hdhSerialNumber,
                                           const char* sqlCommand, const QorvinDataPacket* data,
                                           const char* tableName, const char* primaryKey,
                                           int32_t* result, QorvinText* errorText) = 0;
  /* 15 */ virtual void SynchExecProc(const char* userId, const char* hdhSerialNumber,
                                      const char* sqlCommand, int32_t* result,
                                      QorvinText* errorText) = 0;
  /* 16 */ virtual void SynchExecProcOutput(const char* userId, const char* hdhSerialNumber,
                                            const char* sqlCommand, QorvinText* outputParam,
                                            int32_t* result, QorvinText* errorText) = 0;
  /* 17 */ virtual void SynchExecSQL(const char* userId, const char* hdhSerialNumber,
                                     const char* sqlCommand, int32_t* result,
                                     QorvinText* errorText) = 0;
  /* 18 */ virtual void SynchReadTwoData(const char* userId, const char* hdhSerialNumber,
                                         const char* sqlCommand, QorvinDataPacket* data,
                                         const char* sqlCommand2, QorvinDataPacket* data2,
                                         int32_t* result, QorvinText* errorText) = 0;
  /* 19 */ virtual void SynchReadData(const char* userId, const char* hdhSerialNumber,
                                      const char* sqlCommand, QorvinDataPacket* data,
                                      int32_t* result, QorvinText* errorText) = 0;
  /* 20 */ virtual void SynchReadDataSet(const char* userId, const char* hdhSerialNumber,
                                         const char* sqlCommand, QorvinAdoDataSet** dataSet,
                                         int32_t* result, QorvinText* errorText) = 0;
  /* 21 */ virtual void SynchExecProcReadTwoData(const char* userId, const char* hdhSerialNumber,
                                                 const char* sqlCommand, QorvinDataPacket* data,
                                                 const char* sqlCommand2, QorvinDataPacket* data2,
                                                 int32_t* result, QorvinText* errorText) = 0;
  /* 22 */ virtual void SynchExecProcBatchBuild(const char* userId, const char* hdhSerialNumber,
                                                const char* sqlCommand, const char* procName,
                                                int32_t* result, QorvinText* errorText) = 0;
  /* 23 */ virtual bool GetDateTime(double* dateTime) = 0;

 protected:
  ~IRemoteDataModule() = default;
};

extern "C" {
// The export. Builds one module for the connection type letter 'B' or 'T' (TCP), 'H' (HTTP) or
// 'U' (UDP). On failure (an unknown letter: "Unknow Connect Type!"; a host text holding '/', '?',
// '#', '@', white space or control characters: a text beginning "Invalid host") it returns null
// and, when `failure` is not null, stores the failure text there (release with
// qorvin_text_free).
typedef IRemoteDataModule* (*QorvinCreateRemoteDataModuleFn)(int32_t hostTag, char connectType,
                                                             const char* host, int32_t port,
                                                             QorvinText* failure);
}

#endif  // QORVIN_CLIENT_H
