#include "plugins/personal/PersonalClasses.h"

#include <strings.h>

#include "plugins/personal/fPersonalCommonFuncForm.h"

namespace qorvin {

const TPlugFormClass* PersonalClassLookup(const std::string& className) {
  static const TPlugFormClass kCommonFuncForm{"TPersonalCommonFuncForm",
                                              &TPersonalCommonFuncForm::Create};
  if (strcasecmp(className.c_str(), "TPersonalConfigurationForm") == 0) return nullptr;
  if (strcasecmp(className.c_str(), kCommonFuncForm.ClassName) == 0) return &kCommonFuncForm;
  return nullptr;
}

}  // namespace qorvin
