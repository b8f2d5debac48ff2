#include "plugins/personal/PersonalLang.h"

namespace qorvin::lang {

std::string PersonalLangLines() {
  static const char* const kLines[][2] = {
      {kMenu, "系统功能"},
      {kNewGroupName, "新建分组"},
      {kPleaseCreateFunctionGroupFirst, "请先创建一个功能分组"},
      {kPleaseSelectFunctionNodeFirst, "请先选择一个功能分组"},
      {kDeleteGroup, "删除分组"},
      {kDeleteNode, "移除此功能"},
      {kDeleteGroupX, "是否删除常用功能分组[%s]?"},
      {kDeleteNodeX, "是否从分组[%s]中移除[%s]?"},
      {kErrDataLoadFailed, "数据加载失败！！！"},
      {kErrAlreadyHasTheSameGroup, "已经存在相同名为[%s]的常用功能分组，修改失败！！！"},
      {kNotEditedAnything, "没有作任何修改"},
      {kComfirmDeleteAllFuncs, "确定要删除所有自定义常用功能吗？"},
      {kErrUpdateCommonFunctions, "更新自定义常用功能失败！！！"},
      {kComfirmCloseWithoutSave, "当前自定义常用功能有修改，是否保存？"},
      {kInfoSaveCommonFunctionsOK, "常用功能保存成功"},
      {kErrGroupCantBeEmpty, "分组名称不能为空！！！"},
  };
  std::string text;
  for (const auto& line : kLines) {
    text += line[0];
    text += '=';
    text += line[1];
    text += '\r';
  }
  return text;
}

}  // namespace qorvin::lang
