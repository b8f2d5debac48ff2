// The parameters section of a dataset blob (layout above WriteAdoParams in uAdoParamsStream.h).
#include <string>
#include <vector>

#include "datastream/uAdoParamsStream.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

// The field type a value kind of 247 .. 250 implies; ftUnknown for the typed kind.
TFieldType ImpliedFieldType(uint8_t kind) {
  switch (kind) {
    case kParamKindGraphic:
      return ftGraphic;
    case kParamKindMemo:
      return ftMemo;
    case kParamKindFmtMemo:
      return ftFmtMemo;
    case kParamKindBlob:
      return ftBlob;
    default:
      return ftUnknown;
  }
}

uint8_t ValueKindOf(TFieldType type) {
  switch (type) {
    case ftGraphic:
      return kParamKindGraphic;
    case ftMemo:
      return kParamKindMemo;
    case ftFmtMemo:
      return kParamKindFmtMemo;
    case ftBlob:
      return kParamKindBlob;
    default:
      return kParamKindTyped;
  }
}

// One decoded parameter entry, applied to the dataset once the whole section has decoded.
struct ParamEntry {
  std::u16string name;
  TParameterDirection direction = pdUnknown;
  uint8_t kind = kParamKindTyped;
  TFieldType type = ftUnknown;
  int32_t size = 0;
  Variant value;
};

ParamEntry ReadEntry(TWAStreamReader& reader) {
  ParamEntry e;
  e.name = reader.ReadWideString();
  const uint8_t direction = reader.ReadByte();
  if (direction > pdReturnValue)
    throw EReadError(Format("Invalid parameter direction %d", int(direction)));
  e.direction = TParameterDirection(direction);
  e.kind = reader.ReadByte();
  e.type = ImpliedFieldType(e.kind);
  if (e.type == ftUnknown) {
    const uint8_t type = reader.ReadByte();
    if (type >= kFieldTypeCount) throw EReadError(Format("Invalid field type %d", int(type)));
    e.type = TFieldType(type);
    e.size = reader.ReadInteger();
  }
  e.value = reader.ReadVariant();
  return e;
}

void ApplyEntry(TParameters& params, const ParamEntry& e) {
  TParameter* p = params.FindParam(e.name);
  if (p == nullptr) p = &params.Add(e.name);
  p->SetDirection(e.direction);
  if (ImpliedFieldType(e.kind) != ftUnknown) {
    // Set before and after the value: assigning a value may change the type.
    p->SetDataType(e.type);
    p->SetValue(e.value);
    p->SetDataType(e.type);
  } else {
    p->SetDataType(e.type);
    p->SetSize(e.size);
    p->SetValue(e.value);
  }
}

}  // namespace

bool WriteAdoParams(const TAdoDataSet* dataSet, TStream* stream, int level) {
  TWAStreamWriter writer(level);
  if (stream == nullptr || dataSet == nullptr) return false;
  std::u16string command;
  switch (dataSet->Kind()) {
    case dkQuery:
      command = dataSet->SQLText();
      break;
    case dkStoredProc:
      command = dataSet->ProcedureName();
      break;
    default:
      return false;  // a plain dataset has no parameters section
  }
  const TParameters& params = dataSet->Parameters();
  if (params.Count() > INT16_MAX)
    throw EWriteError(Format("%d parameters cannot be streamed", params.Count()));
  writer.WriteWideString(command);
  writer.WriteSmallInt(int16_t(params.Count()));
  for (int i = 0; i < params.Count(); ++i) {
    const TParameter& p = params[i];
    writer.WriteWideString(p.Name());
    writer.WriteByte(uint8_t(p.Direction()));
    const uint8_t kind = ValueKindOf(p.DataType());
    writer.WriteByte(kind);
    if (kind == kParamKindTyped) {
      writer.WriteByte(uint8_t(p.DataType()));
      writer.WriteInteger(p.Size());
    }
    writer.WriteVariant(p.Value());
  }
  writer.SaveToStream(stream);
  return true;
}

bool ReadAdoParams(TAdoDataSet* dataSet, TStream* stream) {
  TWAStreamReader reader;
  if (stream == nullptr || dataSet == nullptr) return false;
  reader.LoadFromStream(stream);
  if (reader.Size() == 0) return false;

  const std::u16string command = reader.ReadWideString();
  std::vector<ParamEntry> entries;
  const int16_t count = reader.ReadSmallInt();
  for (int i = 0; i < count; ++i) entries.push_back(ReadEntry(reader));

  dataSet->Close();
  switch (dataSet->Kind()) {
    case dkQuery:
      dataSet->SetSQLText(command);
      break;
    case dkPlain:
      dataSet->SetCommandText(command);
      break;
    case dkStoredProc:
      dataSet->SetProcedureName(command);
      break;
    default:
      return false;
  }
  for (const ParamEntry& e : entries) ApplyEntry(dataSet->Parameters(), e);
  return true;
}

}  // namespace qorvin
