// The class lookup the plug-in hands to the framework's CallPlug.
#pragma once

#include <string>

#include "basalt/PlugBase.h"

namespace qorvin {

// "TPersonalConfigurationForm" (any case) → nullptr; "TPersonalCommonFuncForm" (any case) → the
// common-functions dialog; any other name → nullptr.
const TPlugFormClass* PersonalClassLookup(const std::string& className);

}  // namespace qorvin
