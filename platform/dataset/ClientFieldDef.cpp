#include "platform/dataset/ClientFieldDef.h"

#include "platform/dataset/FieldValue.h"
#include "platform/rtl/Text.h"

namespace qorvin {

bool SameClientFieldName(std::string_view a, std::string_view b) {
  return AsciiEqualNoCase(a, b);
}

int IndexOfClientField(const TClientFieldDefs& defs, std::string_view name) {
  for (size_t i = 0; i < defs.size(); ++i)
    if (SameClientFieldName(defs[i].name, name)) return int(i);
  return -1;
}

void CheckClientFieldDef(const TClientFieldDef& def) {
  if (!IsClientFieldTypeSupported(def.dataType))
    throw EDatabaseError(Format("Field '%s': field type %s (%d) is not supported", def.name.c_str(),
                                FieldTypeName(def.dataType), int(def.dataType)));
  if (def.size < 0 || def.precision < 0)
    throw EDatabaseError(
        Format("Field '%s': size and precision cannot be negative", def.name.c_str()));
  if ((def.attributes & ~kAllFieldAttributes) != 0)
    throw EDatabaseError(
        Format("Field '%s': unknown attribute bits 0x%02X", def.name.c_str(), def.attributes));
}

}  // namespace qorvin
