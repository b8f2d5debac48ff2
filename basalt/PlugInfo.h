// Per-invocation information that the framework hands to a plug-in form before any of the form's
// operations runs: what was invoked (TPlugInfo) and who is working (TUserInfo).
#pragma once

#include <string>

#include "basalt/BasaltApi.h"

namespace qorvin {

// Action type 2 asks a plug-in to edit the settings of a user group instead of the current user.
inline constexpr int kActionTypeUserGroup = 2;

class BASALT_API TPlugInfo {
 public:
  TPlugInfo() = default;
  TPlugInfo(int actionType, int menuId) : action_type_(actionType), menu_id_(menuId) {}
  int GetActionType() const { return action_type_; }
  // The menu function the plug was invoked for (0 when invoked otherwise).
  int GetMenuId() const { return menu_id_; }

 private:
  int action_type_ = 0;
  int menu_id_ = 0;
};

class BASALT_API TUserInfo {
 public:
  TUserInfo() = default;
  explicit TUserInfo(std::string userId) : user_id_(std::move(userId)) {}
  const std::string& GetUserId() const { return user_id_; }

 private:
  std::string user_id_;
};

}  // namespace qorvin
