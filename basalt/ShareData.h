// TShareData: the framework's shared data object, one per process, reached through ShareData().
//
// It holds what the host sets up once and every plug-in reads: the menu list, the installed plugs,
// the logged-in user, the remote SQL connection and the framework's local copies of tables.
// Thread: UI thread only. The object lives until the process ends; Reset() empties it.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "basalt/BasaltApi.h"
#include "basalt/Menu.h"
#include "basalt/PlugInfo.h"
#include "basalt/RemoteSql.h"

namespace qorvin {

class TBasaltDataSet;

class BASALT_API TShareData {
 public:
  TShareData();
  ~TShareData();
  TShareData(const TShareData&) = delete;
  TShareData& operator=(const TShareData&) = delete;

  TMenuList& GetMenuList() { return menus_; }
  TPlugList& GetPlugList() { return plugs_; }
  const TUserInfo& GetUserInfo() const { return user_; }
  void SetUserInfo(TUserInfo user) { user_ = std::move(user); }

  // The connection every remote framework call uses; nullptr until the host sets one, and then
  // those calls fail with the text of RemoteSqlUnavailableReason().
  IRemoteSql* RemoteSql() const { return remote_.get(); }
  void SetRemoteSql(std::unique_ptr<IRemoteSql> remote);
  const std::string& RemoteSqlUnavailableReason() const { return no_remote_reason_; }
  void SetRemoteSqlUnavailableReason(std::string reason) { no_remote_reason_ = std::move(reason); }

  // The bound every remote framework call gets (IRemoteSql::SetCallBound); 0: the transport's
  // own bounds only. TRemoteCallBound (RemoteCalls.h) sets it for a stretch of calls.
  std::chrono::milliseconds RemoteCallBound() const { return call_bound_; }
  void SetRemoteCallBound(std::chrono::milliseconds bound) { call_bound_ = bound; }

  // The framework's local copy of table `name` (names compared exactly), created empty and
  // closed on first use. Forms that open it share the object with the framework.
  std::shared_ptr<TBasaltDataSet> LocalTable(const std::string& name);

  // Drops the menus, plugs, user, connection, call bound and local tables.
  void Reset();

 private:
  TMenuList menus_;
  TPlugList plugs_;
  TUserInfo user_;
  std::unique_ptr<IRemoteSql> remote_;
  std::string no_remote_reason_;
  std::chrono::milliseconds call_bound_{0};
  std::map<std::string, std::shared_ptr<TBasaltDataSet>> tables_;
};

BASALT_API TShareData& ShareData();

}  // namespace qorvin
