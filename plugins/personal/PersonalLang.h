// Language keys of the common-functions dialog and the lines its InitLang appends to the
// framework's text. Every text the dialog shows is looked up by one of these keys.
#pragma once

#include <string>

namespace qorvin::lang {

inline constexpr const char* kMenu = "Menu";
inline constexpr const char* kNewGroupName = "NewGroupName";
inline constexpr const char* kPleaseCreateFunctionGroupFirst = "PleaseCreateFunctionGroupFirst";
inline constexpr const char* kPleaseSelectFunctionNodeFirst = "PleaseSelectFunctionNodeFirst";
inline constexpr const char* kDeleteGroup = "DeleteGroup";
inline constexpr const char* kDeleteNode = "DeleteNode";
inline constexpr const char* kDeleteGroupX = "DeleteGroupX";
inline constexpr const char* kDeleteNodeX = "DeleteNodeX";
inline constexpr const char* kErrDataLoadFailed = "ErrDataLoadFailed";
inline constexpr const char* kErrAlreadyHasTheSameGroup = "ErrAlreadyHasTheSameGroup";
inline constexpr const char* kNotEditedAnything = "NotEditedAnything";
inline constexpr const char* kComfirmDeleteAllFuncs = "ComfirmDeleteAllFuncs";
inline constexpr const char* kErrUpdateCommonFunctions = "ErrUpdateCommonFunctions";
inline constexpr const char* kComfirmCloseWithoutSave = "ComfirmCloseWithoutSave";
inline constexpr const char* kInfoSaveCommonFunctionsOK = "InfoSaveCommonFunctionsOK";
inline constexpr const char* kErrGroupCantBeEmpty = "ErrGroupCantBeEmpty";
// Supplied by the framework's own part of the table.
inline constexpr const char* kComfirm = "Comfirm";

// The dialog's language lines in their fixed order, each "key=text" ended by a carriage return.
std::string PersonalLangLines();

}  // namespace qorvin::lang
