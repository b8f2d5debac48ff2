#include "platform/ado/AdoParameters.h"

#include "platform/ado/AdoFieldDef.h"
#include "platform/rtl/Text.h"

namespace qorvin {

void TParameter::SetValue(const Variant& value) {
  value_ = value.IsByRef() ? value.Deref() : value;
  if (dataType_ == ftUnknown) dataType_ = FieldTypeOfVariant(value_);
}

TParameter& TParameters::Add(std::u16string name) {
  TParameter& added = items_.emplace_back();
  added.SetName(std::move(name));
  return added;
}

TParameter* TParameters::FindParam(std::u16string_view name) {
  for (TParameter& p : items_)
    if (SameFieldName(p.Name(), name)) return &p;
  return nullptr;
}

const TParameter* TParameters::FindParam(std::u16string_view name) const {
  return const_cast<TParameters*>(this)->FindParam(name);
}

TParameter& TParameters::ParamByName(std::u16string_view name) {
  if (TParameter* p = FindParam(name)) return *p;
  throw EAdoError(Format("Parameter '%s' not found", Utf16ToUtf8(name).c_str()));
}

}  // namespace qorvin
