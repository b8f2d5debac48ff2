// The typed value stream: a zlib-compressed, self-describing sequence of values (the parameters
// section of a dataset blob), and the parameter section functions built on it.
//
// Byte order is little-endian throughout. The stream has no header, magic, version or count: a
// reader must read the values in the order the writer wrote them. The encodings of the primitives
// and the variant tags are listed above their writers in uAdoParamsStream.cpp and in
// docs/typed-value-stream.md.
//
// Ownership: a writer owns its output buffer and compressor; a reader owns its input buffer.
// Streams passed in are borrowed for the call only.
// Threads: one writer or reader is used by one thread at a time; separate objects are independent.
// Failures: exceptions (see each operation); a failed operation frees everything it allocated.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

class TAdoDataSet;
class TZCompressionStream;

// A write into the compressor that did not take every byte ("Stream write error.").
QORVIN_DECLARE_EXCEPTION(EWriterError, EFilerError);
// A read past the end of the inflated content ("Stream read error.").
QORVIN_DECLARE_EXCEPTION(EReaderError, EFilerError);

inline constexpr const char* kWriterErrorText = "Stream write error.";
inline constexpr const char* kReaderErrorText = "Stream read error.";

// Variant tags that differ from our variant kind codes.
inline constexpr uint16_t kTagWrapped = 12;        // reader only: a tagged variant follows
inline constexpr uint16_t kTagAnsiString = 256;    // varString
inline constexpr uint16_t kTagBcd = 257;           // varBcd
inline constexpr uint16_t kTagSQLTimeStamp = 258;  // varSQLTimeStamp
inline constexpr uint16_t kTagArray = 0x2000;      // or-ed with the element kind

// Limits a reader applies to what it inflates and decodes. Each stops one kind of input that
// would otherwise make a small stream cost far more memory or stack than its size.
struct TWAStreamLimits {
  // Inflated bytes LoadFromStream accepts (zlib can expand about 1000:1, so a 256 KiB image could
  // otherwise demand 256 MiB): by default the inflation budget in force where the limits are
  // made (InflateBudget(), 256 MiB unless a scope sets another).
  int64_t max_inflated_size = InflateBudget();
  // Array elements of variable-size kinds (strings, variants, ...) one reader materialises in
  // total: each costs a Variant in memory but only two bytes on the wire.
  int64_t max_variant_elements = int64_t(1) << 20;
  // Bytes the arrays of variable-size kinds one reader decodes may claim in total (a Variant per
  // element, twice for an array of several dimensions, which is put in order through a copy),
  // checked before an array's elements are read: two bytes of an empty element cost 120 bytes
  // decoded, so a reply of 2 KB could otherwise claim hundreds of megabytes within the
  // inflation budget. By default the inflation budget in force where the limits are made.
  int64_t max_decoded_bytes = InflateBudget();
  // Depth of wrapped variants (tag 12) and of arrays nested in arrays of variants, so that a
  // chain of tags cannot exhaust the stack.
  int max_nesting = 32;
};

class TWAStreamWriter {
 public:
  // `level` indexes the compression level table: 0 none, 1 fastest, 2 default, 3 best, 4..12
  // zlib levels 1..9. EZCompressionError for any other index.
  explicit TWAStreamWriter(int level);
  ~TWAStreamWriter();
  TWAStreamWriter(const TWAStreamWriter&) = delete;
  TWAStreamWriter& operator=(const TWAStreamWriter&) = delete;

  // Passes `count` bytes to the compressor; a count of 0 does nothing. EWriterError "Stream
  // write error." when the writer no longer accepts values (after SaveToStream). Every other
  // write is built on it.
  void WriteBuffer(const void* data, int64_t count);

  void WriteByte(uint8_t value);
  void WriteShortInt(int8_t value);
  void WriteBoolean(bool value);
  void WriteSmallInt(int16_t value);
  void WriteWord(uint16_t value);
  void WriteInteger(int32_t value);
  void WriteLongWord(uint32_t value);
  void WriteSingle(float value);
  void WriteDouble(double value);
  void WriteDate(double value);
  void WriteCurrency(Currency value);
  void WriteInt64(int64_t value);
  // Lengths are 0 .. 0x7FFFFFFF (EWriteError otherwise).
  void WriteLength(int64_t value);
  // UTF-16 text, sent as UTF-8. EConvertError for text that is not valid UTF-16.
  void WriteWideString(std::u16string_view value);
  // 8-bit text in the ANSI code set, sent as UTF-8. EConvertError when it is not valid there.
  void WriteAnsiString(std::string_view value);
  void WriteBcd(const Bcd& value);
  void WriteSQLTimeStamp(const SQLTimeStamp& value);

  // Tag and payload. By-reference values are written as the value they refer to. EWriteError
  // "无效的Variant类型 %d" (with the full type word) for kinds the format cannot carry, and
  // EWriteError for an array of a variable-size element kind with an empty dimension or an
  // array nested deeper than the reader accepts.
  void WriteVariant(const Variant& value);

  // Finishes the zlib stream and appends the whole image to `target` at its position; nothing
  // when `target` is null. Afterwards the writer accepts no further values.
  void SaveToStream(TStream* target);

 private:
  void WriteTextUtf8(const std::string& utf8);
  void WriteVariantAt(const Variant& value, int depth);
  void WriteArray(const Variant& holder, const VarArray& array, int depth);

  std::unique_ptr<TMemoryStream> output_;
  std::unique_ptr<TZCompressionStream> compressor_;
};

class TWAStreamReader {
 public:
  TWAStreamReader();
  ~TWAStreamReader();
  TWAStreamReader(const TWAStreamReader&) = delete;
  TWAStreamReader& operator=(const TWAStreamReader&) = delete;

  void SetLimits(const TWAStreamLimits& limits) { limits_ = limits; }
  const TWAStreamLimits& Limits() const { return limits_; }

  // Inflates everything from `source`'s position to its end into the input buffer (position 0)
  // and leaves `source` at its end. Nothing when `source` is null or already at its end. Any
  // failure (zlib errors, content beyond max_inflated_size, ...) raises Exception with the text
  // "[DecompressStream]解压缩流出错(源流大小默认为流体积－流当前位置)！" + "\r" + the cause;
  // the input buffer then keeps what it held before.
  void LoadFromStream(TStream* source);

  // Bytes of inflated content, and how many of them are still unread.
  int64_t Size() const { return input_->Size(); }
  int64_t Remaining() const { return input_->Remaining(); }

  // Reads `count` bytes; EReaderError "Stream read error." (and nothing consumed) when fewer
  // remain. Every other read is built on it.
  void ReadBuffer(void* data, int64_t count);

  uint8_t ReadByte();
  int8_t ReadShortInt();
  bool ReadBoolean();
  int16_t ReadSmallInt();
  uint16_t ReadWord();
  int32_t ReadInteger();
  uint32_t ReadLongWord();
  float ReadSingle();
  double ReadDouble();
  double ReadDate();
  Currency ReadCurrency();
  int64_t ReadInt64();
  // EReadError for an encoding longer than five bytes or a value above 0x7FFFFFFF.
  int32_t ReadLength();
  // A length below 1 gives the empty string. EReaderError when the text is cut short,
  // EConvertError when it is not valid UTF-8 (or not representable in the ANSI code set).
  std::u16string ReadWideString();
  std::string ReadAnsiString();
  Bcd ReadBcd();
  SQLTimeStamp ReadSQLTimeStamp();

  // EReadError "无效的Variant类型 %d" (with the tag) for a tag outside the table, EReadError for
  // malformed arrays and exceeded limits, EReaderError for content cut short. An 8-bit string
  // (tag 256) that the ANSI code set cannot hold reads as wide text (kind OleStr) instead; an
  // array of them with such an element reads as an array of wide strings.
  Variant ReadVariant();

 private:
  std::string ReadTextUtf8();
  static Variant AnsiOrWideText(const std::string& utf8);
  Variant ReadVariantAt(int depth);
  Variant ReadArray(uint16_t tag, int depth);
  void NeedBytes(int64_t count) const;

  std::unique_ptr<TMemoryStream> input_;
  TWAStreamLimits limits_;
  int64_t variant_elements_ = 0;
  int64_t decoded_bytes_ = 0;
};

// ---- the parameters section of a dataset blob ----
//
// A typed value stream holding, in this order (names of the writer's operations):
//
// | value        | written with    | content                                                  |
// |--------------|-----------------|----------------------------------------------------------|
// | command text | AnsiString      | SQL text (lines joined by CR LF) of a query, procedure   |
// |              |                 | name of a stored procedure, command text of a plain set  |
// | count n      | SmallInt        | number of parameter entries                              |
// | n entries    |                 | name (AnsiString), direction (1 byte: pdUnknown 0 ..     |
// |              |                 | pdReturnValue 4), value kind (Byte), then for kinds 250  |
// |              |                 | graphic, 249 memo, 248 formatted memo, 247 blob only the |
// |              |                 | value (Variant); for kind 1 the field type (1 byte), the |
// |              |                 | size (Integer) and the value (Variant)                   |
//
// Text is carried as UTF-8 either way; the dataset's UTF-16 texts are converted directly, which
// gives the bytes an ANSI string would and keeps characters the ANSI code set lacks.
inline constexpr uint8_t kParamKindTyped = 1;
inline constexpr uint8_t kParamKindBlob = 247;
inline constexpr uint8_t kParamKindFmtMemo = 248;
inline constexpr uint8_t kParamKindMemo = 249;
inline constexpr uint8_t kParamKindGraphic = 250;

// Appends the parameters section of a query or stored procedure to `stream` (compression level
// index `level`) and returns true. Returns false, writing nothing, when `stream` or `dataSet` is
// null or the dataset is a plain one (the library's own datasets are plain). EWriteError for more
// than 32767 parameters or a value the stream cannot carry; EConvertError for text that is not
// valid UTF-16; nothing is appended then.
bool WriteAdoParams(const TAdoDataSet* dataSet, TStream* stream, int level);

// Reads a parameters section from `stream`'s position to its end into `dataSet`: the command
// text goes to the SQL text, procedure name or command text by the dataset's kind, and each
// entry updates the parameter of that name (ASCII case ignored) or adds one. The dataset is
// closed first. Returns false, touching nothing, when `stream` or `dataSet` is null or the
// section is empty; true otherwise. The whole section is decoded before the dataset is touched,
// so a damaged one raises (the "[DecompressStream]" failure, EReaderError, EReadError for an
// unknown tag, direction or field type, EConvertError) and leaves the dataset as it was.
bool ReadAdoParams(TAdoDataSet* dataSet, TStream* stream);

}  // namespace qorvin
